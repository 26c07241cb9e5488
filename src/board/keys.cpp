#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// Key codes run from 0x60 in front-panel order.
enum Key : unsigned char { BatteryEnter = 0x60, TareUp, DisplayBack, ResetLeft, Menu, UnitRight, ShuntExit, HoldDown };

// Only the handheld displays have a front panel.
constexpr TypeSet kKeyBoards = typeSet({5, 10});

std::string press(QOLVEN_USB_DLL &d, void *handle, Key key) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!identify(d, handle)) return kError;
    if (!accepts(kKeyBoards, d.boardType)) return fail(d, kInvalidTypeOfBoard);
    return exchange(d, handle, plainRequest(key, {}, 4, kAck, 50)) ? kOk : kError;
}
} // namespace

std::string QOLVEN_USB_DLL::Change_Battery_Enter(void *handle) { return press(*this, handle, BatteryEnter); }
std::string QOLVEN_USB_DLL::Change_Tare_Up(void *handle) { return press(*this, handle, TareUp); }
std::string QOLVEN_USB_DLL::Change_Display_Back(void *handle) { return press(*this, handle, DisplayBack); }
std::string QOLVEN_USB_DLL::Change_Reset_Left(void *handle) { return press(*this, handle, ResetLeft); }
std::string QOLVEN_USB_DLL::Change_Menu(void *handle) { return press(*this, handle, Menu); }
std::string QOLVEN_USB_DLL::Change_Unit_Right(void *handle) { return press(*this, handle, UnitRight); }
std::string QOLVEN_USB_DLL::Change_Shunt_Exit(void *handle) { return press(*this, handle, ShuntExit); }
std::string QOLVEN_USB_DLL::Change_Hold_Down(void *handle) { return press(*this, handle, HoldDown); }

} // namespace _QOLVEN_USB_DLL
