#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_Calibration_Code(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::calibrationCode); }
std::string QOLVEN_USB_DLL::Set_Calibration_Day(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::calibrationDay); }
std::string QOLVEN_USB_DLL::Set_Calibration_Month(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::calibrationMonth); }
std::string QOLVEN_USB_DLL::Set_Calibration_Year(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::calibrationYear); }
std::string QOLVEN_USB_DLL::Get_Calibration_Code(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::calibrationCode); }
std::string QOLVEN_USB_DLL::Get_Calibration_Day(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::calibrationDay); }
std::string QOLVEN_USB_DLL::Get_Calibration_Month(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::calibrationMonth); }
std::string QOLVEN_USB_DLL::Get_Calibration_Year(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::calibrationYear); }

} // namespace _QOLVEN_USB_DLL
