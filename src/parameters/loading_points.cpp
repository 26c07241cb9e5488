#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_Number_of_Loading_Points(void *handle, int number, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Number_of_Loading_Points(void *handle, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Loading_Point(void *handle, int point, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Loading_Point(void *handle, int point, unsigned char channel, int typeOfCalibration) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Load_of_Loading_Point(void *handle, int point, int load, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Get_Load_of_Loading_Point(void *handle, int point, unsigned char channel) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Set_Zero_Correction(void *handle, int point, int count, unsigned char channel, int typeOfCalibration) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
