#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Set_Unit_Code(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::unitCode); }
std::string QOLVEN_USB_DLL::Get_Unit_Code(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::unitCode); }
std::string QOLVEN_USB_DLL::Set_Decimal_Point(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::decimalPoint); }
std::string QOLVEN_USB_DLL::Get_Decimal_Point(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::decimalPoint); }
std::string QOLVEN_USB_DLL::Set_Direction(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::direction); }
std::string QOLVEN_USB_DLL::Get_Direction(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::direction); }

} // namespace _QOLVEN_USB_DLL
