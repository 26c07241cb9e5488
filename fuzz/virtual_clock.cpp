// Both clocks of the library run on the fake bridge's virtual time in the
// fuzz targets: time-outs then cost polls, not seconds, and a run replays
// exactly from its input.
#include "core/timing.h"
#include "fake_bridge.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

int64_t processorMicros() { return qolven_fuzz::virtualMicros(); }
int64_t monotonicNanos() { return qolven_fuzz::virtualMicros() * 1000; }

} // namespace detail
} // namespace _QOLVEN_USB_DLL
