#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Get_Offset_Load(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::offsetLoad); }
std::string QOLVEN_USB_DLL::Get_Fullscale_Load(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::fullscaleLoad); }

} // namespace _QOLVEN_USB_DLL
