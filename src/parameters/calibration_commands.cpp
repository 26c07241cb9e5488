#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// The channel arguments are accepted for the shape of the family; neither command carries one.

// A two-answer command: the board acknowledges at once and answers again once it has finished.
std::string QOLVEN_USB_DLL::Set_Calibration_Mode(void *handle, unsigned char first, unsigned char second,
                                                 unsigned char /*channel*/) {
    return completedCommand(*this, handle, kDigitalComponents, Command::CalibrationMode, {first, second});
}

std::string QOLVEN_USB_DLL::Set_Calibration_Register(void *handle, unsigned char reg, unsigned char first,
                                                     unsigned char second, unsigned char channel) {
    long long value = (long long)reg << 16 | first << 8 | second;
    return setParameter(*this, handle, value, channel, table::calibrationRegister);
}

} // namespace _QOLVEN_USB_DLL
