#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Get_Display_Page(void *handle) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!exchange(*this, handle, request(Command::DisplayPage))) return kError;
    // A host expects the lines of the page it just fetched.
    GetDisplayPage(int(answerData(*this)));
    return kOk;
}

void QOLVEN_USB_DLL::GetDisplayPage(int start) {
    if (offline(*this)) return;
    std::string *lines[] = {&displayLine1, &displayLine2, &displayLine3, &displayLine4};
    displayPageText.clear();
    for (std::string *line : lines) line->clear();
    // 64 characters from start; a start that would run past the buffer reads nothing.
    if (start < 0 || size_t(start) + 64 > sizeof adapter.readBuffer) return;
    for (int l = 0; l < 4; ++l)
        lines[l]->assign(reinterpret_cast<const char *>(adapter.readBuffer) + start + 16 * l, 16);
    displayPageText = displayLine1 + displayLine2 + displayLine3 + displayLine4;
}

} // namespace _QOLVEN_USB_DLL
