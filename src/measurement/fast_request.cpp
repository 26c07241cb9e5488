#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Fast_Data_Request(void *handle, int separatorChoice, int slot, std::string typeText, std::string rateText, std::string versionText, unsigned char channel) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
