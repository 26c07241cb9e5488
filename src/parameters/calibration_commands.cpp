#include "board/board_command.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
constexpr TypeSet kCalibrationRegisterBoards = typeSet({5, 10});
// Register and the two data bytes travel as one 24-bit value; every byte is in range.
const CommandSetting kCalibrationRegister{kCalibrationRegisterBoards, 0x23, 3, 0xFFFFFF, nullptr, 300};
} // namespace

// The channel arguments are accepted for the shape of the family; neither command carries one.

std::string QOLVEN_USB_DLL::Set_Calibration_Mode(void *handle, unsigned char first, unsigned char second,
                                                 unsigned char /*channel*/) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!identify(*this, handle)) return kError;
    if (boardType != 16) return fail(*this, kInvalidTypeOfBoard);
    if (!exchange(*this, handle, plainRequest(0x2D, {first, second}, 4, kAck, 300))) return kError;
    // The board acknowledges at once and answers again once it has finished.
    return secondAnswer(*this, requestNumber, 0x45, 3000) ? kOk : kError;
}

std::string QOLVEN_USB_DLL::Set_Calibration_Register(void *handle, unsigned char reg, unsigned char first,
                                                     unsigned char second, unsigned char channel) {
    long long value = (long long)reg << 16 | first << 8 | second;
    return setByCommand(*this, handle, value, channel, kCalibrationRegister);
}

} // namespace _QOLVEN_USB_DLL
