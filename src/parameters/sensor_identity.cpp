#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_Sensor_Identification_Number(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Sensor_Identification_Number(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Sensor_Configuration(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_CrossTalk(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_CrossTalk(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Type_of_Calibration(void *handle, int value, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Type_of_Calibration(void *handle, unsigned char channel) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
