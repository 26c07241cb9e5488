// The library's clock runs on the fake bridge's virtual time in the fuzz
// targets: a sleep moves virtual time on instead of sleeping, so time-outs
// cost polls, not seconds, and a run replays exactly from its input.
#include <algorithm>

#include "core/timing.h"
#include "fake_bridge.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

namespace {
int64_t microsRoundedUp(int64_t nanos) { return nanos / 1000 + (nanos % 1000 > 0); }
} // namespace

int64_t monotonicNanos() { return qolven_fuzz::virtualMicros() * 1000; }

void sleepUntil(int64_t deadlineNanos) { qolven_fuzz::sleepVirtualUntil(microsRoundedUp(deadlineNanos)); }

void pollPause(int64_t limitNanos) {
    const int64_t now = monotonicNanos();
    if (now >= limitNanos) return;
    qolven_fuzz::sleepVirtualUntil(microsRoundedUp(std::min(now + kPollPauseNanos, limitNanos)));
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
