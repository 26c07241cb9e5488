#include "board/board_types.h"
#include "parameters/parameter_path.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// Both page arguments are checked, in argument order, on every board: the
// channel board takes both pages as given, every other board the source page
// alone, and a call that is valid on one board stays valid on another.
std::string copyPage(QOLVEN_USB_DLL &d, void *handle, int first, ErrorText firstText, int second,
                     ErrorText secondText, int sourcePage, Command c) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!inRange(d, first, {255, firstText}) || !inRange(d, second, {255, secondText})) return kError;
    if (!identify(d, handle)) return kError;
    const bool twoPages = multiChannel(d.boardType);
    const unsigned char source = (unsigned char)sourcePage;
    Request r = twoPages ? request(c, true, 0, {(unsigned char)first, (unsigned char)second}) : request(c, {source});
    return exchange(d, handle, r) ? kOk : kError;
}

constexpr ErrorText kSource = ErrorText::InvalidSourcePage;
constexpr ErrorText kDestination = ErrorText::InvalidDestinationPage;
} // namespace

std::string QOLVEN_USB_DLL::Create_Back_Up(void *handle, int sourcePage, int destinationPage) {
    return copyPage(*this, handle, sourcePage, kSource, destinationPage, kDestination, sourcePage,
                    Command::CreateBackUp);
}

std::string QOLVEN_USB_DLL::Restore_Back_Up(void *handle, int destinationPage, int sourcePage) {
    return copyPage(*this, handle, destinationPage, kDestination, sourcePage, kSource, sourcePage,
                    Command::RestoreBackUp);
}

} // namespace _QOLVEN_USB_DLL
