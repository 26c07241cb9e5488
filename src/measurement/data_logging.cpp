#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Get_Data_Logging(void *handle, int recordNumber) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
