// Clocks for the busy-poll waits.  Packet time-outs run on processor time;
// the fast-data waits on a monotonic clock so that setting the system clock
// can neither stretch nor cut them.
#ifndef QOLVEN_TIMING_H
#define QOLVEN_TIMING_H

#include <cstdint>

namespace _QOLVEN_USB_DLL {
namespace detail {

// Microseconds of processor time used by this process.
int64_t processorMicros();
// Nanoseconds since an arbitrary fixed point, never going backwards.
int64_t monotonicNanos();

// Elapsed whole milliseconds between two readings: the difference is
// truncated, not each reading, so a 1 ms limit is a real millisecond.
inline int64_t wholeMillisBetween(int64_t startNanos, int64_t nowNanos) {
    return (nowNanos - startNanos) / 1000000;
}

class MonotonicStopwatch {
public:
    MonotonicStopwatch() : start_(monotonicNanos()) {}
    int64_t elapsedWholeMillis() const { return wholeMillisBetween(start_, monotonicNanos()); }

private:
    int64_t start_;
};

class ProcessorStopwatch {
public:
    ProcessorStopwatch() : start_(processorMicros()) {}
    double elapsedMillis() const { return double(processorMicros() - start_) / 1000.0; }

private:
    int64_t start_;
};

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
