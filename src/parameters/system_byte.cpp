#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_Active_Page_Number(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Active_Page_Number(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Number_of_Active_Channels(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Number_of_Active_Channels(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Internal_Register(void *handle, int reg) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
