#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_Voltage_Output(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Voltage_Output(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Analog_Voltage_Output(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Excitation(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Gain_Switch(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Polarity(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Output_Type(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Load_Switch(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Digital_Components(void *handle, unsigned char first, unsigned char second, unsigned char third, unsigned char fourth) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Pulses_Per_Rotation(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Pulses_Per_Rotation(void *handle, unsigned char channel) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
