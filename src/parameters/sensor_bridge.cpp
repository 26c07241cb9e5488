#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_Sensitivity(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Sensitivity(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Bridge_Resistance(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Bridge_Resistance(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Shunt_Value(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Shunt_Value(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Shunt_Resistor(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Sensor_Sensitivity(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Zero_Potentiometer(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Span_1_Potentiometer(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Span_2_Potentiometer(void *handle, unsigned char channel) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
