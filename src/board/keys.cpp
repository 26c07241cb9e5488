#include "board/board_types.h"
#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
std::string press(QOLVEN_USB_DLL &d, void *handle, Command key) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!identify(d, handle)) return kError;
    if (!serves(d.boardType, kKeys)) return fail(d, ErrorText::InvalidTypeOfBoard);
    return exchange(d, handle, request(key)) ? kOk : kError;
}
} // namespace

std::string QOLVEN_USB_DLL::Change_Battery_Enter(void *handle) { return press(*this, handle, Command::KeyBatteryEnter); }
std::string QOLVEN_USB_DLL::Change_Tare_Up(void *handle) { return press(*this, handle, Command::KeyTareUp); }
std::string QOLVEN_USB_DLL::Change_Display_Back(void *handle) { return press(*this, handle, Command::KeyDisplayBack); }
std::string QOLVEN_USB_DLL::Change_Reset_Left(void *handle) { return press(*this, handle, Command::KeyResetLeft); }
std::string QOLVEN_USB_DLL::Change_Menu(void *handle) { return press(*this, handle, Command::KeyMenu); }
std::string QOLVEN_USB_DLL::Change_Unit_Right(void *handle) { return press(*this, handle, Command::KeyUnitRight); }
std::string QOLVEN_USB_DLL::Change_Shunt_Exit(void *handle) { return press(*this, handle, Command::KeyShuntExit); }
std::string QOLVEN_USB_DLL::Change_Hold_Down(void *handle) { return press(*this, handle, Command::KeyHoldDown); }

} // namespace _QOLVEN_USB_DLL
