#include "core/internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Change_Battery_Enter(void *handle) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Change_Tare_Up(void *handle) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Change_Display_Back(void *handle) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Change_Reset_Left(void *handle) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Change_Menu(void *handle) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Change_Unit_Right(void *handle) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Change_Shunt_Exit(void *handle) { return notBuilt(*this); }
std::string QOLVEN_USB_DLL::Change_Hold_Down(void *handle) { return notBuilt(*this); }

} // namespace _QOLVEN_USB_DLL
