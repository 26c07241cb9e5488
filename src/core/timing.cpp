#include "core/timing.h"

#include <time.h>

namespace _QOLVEN_USB_DLL {
namespace detail {

static int64_t nanos(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t processorMicros() { return nanos(CLOCK_PROCESS_CPUTIME_ID) / 1000; }
int64_t monotonicNanos() { return nanos(CLOCK_MONOTONIC); }

} // namespace detail
} // namespace _QOLVEN_USB_DLL
