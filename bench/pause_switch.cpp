// Stands in for the library's Delay2 by symbol interposition: the executable's
// definition wins over the one in libqolven_usb.so, and the library's own is
// reached through RTLD_NEXT when the pause is wanted.
#include <dlfcn.h>

#include <atomic>

#include "bench_support.h"

namespace {
std::atomic<bool> skipping{false};
std::atomic<long> seen{0};

using Pause = void (*)(_QOLVEN_USB_DLL::QOLVEN_USB_DLL *, double);

Pause libraryPause() {
    static Pause pause = reinterpret_cast<Pause>(dlsym(RTLD_NEXT, "_ZN15_QOLVEN_USB_DLL14QOLVEN_USB_DLL6Delay2Ed"));
    return pause;
}
} // namespace

namespace qbench {
void skipPauses(bool skip) { skipping = skip; }
long pausesSeen() { return seen; }
} // namespace qbench

void _QOLVEN_USB_DLL::QOLVEN_USB_DLL::Delay2(double milliseconds) {
    ++seen;
    if (skipping) return;
    if (Pause pause = libraryPause()) pause(this, milliseconds);
}
