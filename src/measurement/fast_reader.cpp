#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

void QOLVEN_USB_DLL::ReadFastPacket(double limit) { notBuilt(*this); }
void QOLVEN_USB_DLL::ReadFastPacketFragment(double limit) { notBuilt(*this); }
void QOLVEN_USB_DLL::Delay2(double milliseconds) { notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
