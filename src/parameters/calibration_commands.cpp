#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_Calibration_Mode(void *handle, unsigned char first, unsigned char second, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Calibration_Register(void *handle, unsigned char reg, unsigned char first, unsigned char second, unsigned char channel) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
