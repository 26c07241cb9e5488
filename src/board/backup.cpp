#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Create_Back_Up(void *handle, int sourcePage, int destinationPage) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Restore_Back_Up(void *handle, int destinationPage, int sourcePage) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
