#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_Destination_MAC_Address(void *handle, unsigned char m1, unsigned char m2, unsigned char m3, unsigned char m4, unsigned char m5, unsigned char m6, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Destination_IP_Address(void *handle, unsigned char o1, unsigned char o2, unsigned char o3, unsigned char o4, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Destination_Port_Number(void *handle, int port, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Source_IP_Address(void *handle, unsigned char o1, unsigned char o2, unsigned char o3, unsigned char o4, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Source_Port_Number(void *handle, int port, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Destination_MAC_Address(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Destination_IP_Address(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Destination_Port_Number(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Source_MAC_Address(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Source_IP_Address(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Source_Port_Number(void *handle, unsigned char channel) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
