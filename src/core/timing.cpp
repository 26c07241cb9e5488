#include "core/timing.h"

#include <time.h>

namespace _QOLVEN_USB_DLL {
namespace detail {

static int64_t micros(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t processorMicros() { return micros(CLOCK_PROCESS_CPUTIME_ID); }
int64_t monotonicMicros() { return micros(CLOCK_MONOTONIC); }

} // namespace detail
} // namespace _QOLVEN_USB_DLL
