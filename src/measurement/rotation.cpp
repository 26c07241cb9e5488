#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Get_Rotation_Values(void *handle) { return notBuilt(*this); }
int QOLVEN_USB_DLL::Get_Angle_Value() { return 0; }
int QOLVEN_USB_DLL::Get_RPM_Value() { return 0; }
std::string QOLVEN_USB_DLL::Reset_Angle(void *handle, unsigned char unused) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
