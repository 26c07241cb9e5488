// The library's clock: every wait of the library is here, so that this one
// module decides how time is read and how a thread waits.  Time is read on
// the monotonic clock, per call: nothing is shared between devices, and
// neither the other threads of the process nor a change of the system clock
// can stretch or cut a wait.  Waits sleep and give the processor back.
#ifndef QOLVEN_TIMING_H
#define QOLVEN_TIMING_H

#include <cmath>
#include <cstdint>
#include <limits>

namespace _QOLVEN_USB_DLL {
namespace detail {

// Pause between two looks at a receive queue.  The sleep itself overshoots
// by the timer slack (about 50 us), so an answer is noticed some 50 to
// 100 us after it came, against exchanges of 1 to 2 ms.
constexpr int64_t kPollPauseNanos = 20000;
// The last stretch of a deadline sleep that is spun instead, so that
// waking late does not lengthen every fast-data pause: a sleep ends some
// 60 to 90 us after its deadline (50 us of timer slack, then the wake-up).
// A longer spin costs processor time for nothing.
constexpr int64_t kFinalSpinNanos = 80000;

// Nanoseconds since an arbitrary fixed point, never going backwards.
int64_t monotonicNanos();
// Returns once monotonicNanos() has reached the deadline, never before.
void sleepUntil(int64_t deadlineNanos);
// Sleeps about kPollPauseNanos, but not past `limitNanos` (not at all
// once it has passed).
void pollPause(int64_t limitNanos);

// The reading `millis` milliseconds after `startNanos` (rounded up to a
// whole nanosecond).  A limit too large to represent, or not a number,
// gives a reading some 17 years away: in effect never, yet small enough for
// a 32-bit time_t.
inline int64_t nanosAfter(int64_t startNanos, double millis) {
    constexpr int64_t kNeverNanos = int64_t(std::numeric_limits<int32_t>::max() / 4) * 1000000000;
    if (millis <= 0) return startNanos;
    if (!(millis * 1e6 < double(kNeverNanos))) return startNanos + kNeverNanos;
    return startNanos + int64_t(std::ceil(millis * 1e6));
}

// Elapsed whole milliseconds between two readings: the difference is
// truncated, not each reading, so a 1 ms limit is a real millisecond.
inline int64_t wholeMillisBetween(int64_t startNanos, int64_t nowNanos) {
    return (nowNanos - startNanos) / 1000000;
}

inline double millisBetween(int64_t startNanos, int64_t nowNanos) { return double(nowNanos - startNanos) / 1e6; }

class MonotonicStopwatch {
public:
    MonotonicStopwatch() : start_(monotonicNanos()) {}
    int64_t start() const { return start_; }
    int64_t elapsedWholeMillis() const { return wholeMillisBetween(start_, monotonicNanos()); }
    double elapsedMillis() const { return millisBetween(start_, monotonicNanos()); }

private:
    int64_t start_;
};

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
