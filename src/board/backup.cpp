#include "board/parameter_path.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// Both page arguments are checked, in argument order, on every board: the
// channel board takes both pages as given, every other board the source page
// alone, and a call that is valid on one board stays valid on another.
std::string copyPage(QOLVEN_USB_DLL &d, void *handle, int first, const char *firstText, int second,
                     const char *secondText, int sourcePage, unsigned char onePageCommand) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!inRange(d, first, 255, firstText) || !inRange(d, second, 255, secondText)) return kError;
    if (!identify(d, handle)) return kError;
    Request r = d.boardType == 9
                    ? plainRequest(onePageCommand + 0x10, {(unsigned char)first, (unsigned char)second}, 4, kAck, 200)
                    : plainRequest(onePageCommand, {(unsigned char)sourcePage}, 4, kAck, 200);
    return exchange(d, handle, r) ? kOk : kError;
}

const char *const kSource = "Invalid Source Page Number";
const char *const kDestination = "Invalid Destination Page Number";
} // namespace

std::string QOLVEN_USB_DLL::Create_Back_Up(void *handle, int sourcePage, int destinationPage) {
    return copyPage(*this, handle, sourcePage, kSource, destinationPage, kDestination, sourcePage, 0x49);
}

std::string QOLVEN_USB_DLL::Restore_Back_Up(void *handle, int destinationPage, int sourcePage) {
    return copyPage(*this, handle, destinationPage, kDestination, sourcePage, kSource, sourcePage, 0x4A);
}

} // namespace _QOLVEN_USB_DLL
