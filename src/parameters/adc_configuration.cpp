#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_ADC_Configuration(void *handle, unsigned char rate, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_ADC_Configuration2(void *handle, unsigned char configuration, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_ADC_Configuration(unsigned char reg, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_ADC_PGA_Setting(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_ADC_Sampling_Rate(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Average_Setting(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Average_Setting(void *handle, unsigned char channel) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
