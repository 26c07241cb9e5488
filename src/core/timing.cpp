#include "core/timing.h"

#include <errno.h>
#include <time.h>

namespace _QOLVEN_USB_DLL {
namespace detail {

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

timespec asTimespec(int64_t nanos) {
    timespec ts{};
    ts.tv_sec = time_t(nanos / kNanosPerSecond);
    ts.tv_nsec = long(nanos % kNanosPerSecond);
    return ts;
}

// An absolute sleep, restarted after a signal: the deadline does not move.
void sleepTo(int64_t deadlineNanos) {
    const timespec ts = asTimespec(deadlineNanos);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

} // namespace

int64_t monotonicNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

void sleepUntil(int64_t deadlineNanos) {
    int64_t now = monotonicNanos();
    if (deadlineNanos - now > kFinalSpinNanos) {
        sleepTo(deadlineNanos - kFinalSpinNanos);
        now = monotonicNanos();
    }
    while (now < deadlineNanos) now = monotonicNanos();
}

void pollPause(int64_t limitNanos) {
    const int64_t now = monotonicNanos();
    if (now >= limitNanos) return;
    sleepTo(limitNanos - now < kPollPauseNanos ? limitNanos : now + kPollPauseNanos);
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
