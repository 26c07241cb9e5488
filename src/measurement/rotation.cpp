#include <cstdlib>

#include "board/board_types.h"
#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// The answer carries the angle (signed 24-bit) in its first three data bytes
// and the speed (unsigned 24-bit) in the last three.  No identification is
// made: the exchange alone decides.
std::string QOLVEN_USB_DLL::Get_Rotation_Values(void *handle) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!exchange(*this, handle, request(Command::RotationValues))) return kError;
    const unsigned char *v = packetData;
    angleValue = int(std::strtol(Calculate_PXV_ADC_Value2(v[0], v[1], v[2]).c_str(), nullptr, 10));
    rpmValue = int(std::strtol(Calculate_PXV_ADC_Value(v[3], v[4], v[5]).c_str(), nullptr, 10));
    return kOk;
}

int QOLVEN_USB_DLL::Get_Angle_Value() { return angleValue; }
int QOLVEN_USB_DLL::Get_RPM_Value() { return rpmValue; }

// The angle is kept in three memory registers; all three are cleared even
// when one write fails, and any failure is reported.
std::string QOLVEN_USB_DLL::Reset_Angle(void *handle, unsigned char) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!identify(*this, handle)) return kError;
    if (!serves(boardType, kRotation)) return fail(*this, ErrorText::InvalidTypeOfBoard);
    const unsigned char first = boardTypeRow(boardType).angleRegister;
    registerAddress = first;
    registerAddress2 = first + 1;
    registerAddress3 = first + 2;
    WriteSequence writes(*this, handle);
    for (unsigned char reg : {registerAddress, registerAddress2, registerAddress3}) writes.memory(reg, 0);
    return writes.result();
}

} // namespace _QOLVEN_USB_DLL
