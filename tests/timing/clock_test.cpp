// The library's clock module on the real clock, and the library's waits as a
// caller sees them: never shorter than asked, and asleep rather than spinning.
// Upper bounds are loose: the machine is shared and busy.
#include <time.h>

#include <cmath>
#include <limits>

#include "core/timing.h"
#include "library/fixture.h"

namespace {

using namespace _QOLVEN_USB_DLL::detail;

constexpr int64_t kMs = 1000000;

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

TEST(Clock, SleepUntilNeverEndsEarly) {
    // Around the final spin, and a deadline already past.
    const int64_t waits[] = {-kMs, 0, 10000, kFinalSpinNanos - 1000, kFinalSpinNanos + 1000, 200000, 2 * kMs, 10 * kMs};
    for (int64_t wait : waits) {
        const int64_t deadline = monotonicNanos() + wait;
        sleepUntil(deadline);
        const int64_t woke = monotonicNanos();
        EXPECT_GE(woke, deadline) << wait;
        EXPECT_LT(woke - deadline, 100 * kMs) << wait;
    }
}

TEST(Clock, PollPauseIsShortAndStopsAtItsLimit) {
    struct Case {
        int64_t limitIn;  // from now
        int64_t atLeast;  // the pause lasts at least this
    } cases[] = {
        {-kMs, 0}, {0, 0}, {5000, 5000}, {kPollPauseNanos, kPollPauseNanos}, {100 * kMs, kPollPauseNanos}};
    for (const Case &c : cases) {
        const int64_t start = monotonicNanos();
        pollPause(start + c.limitIn);
        const int64_t took = monotonicNanos() - start;
        EXPECT_GE(took, c.atLeast) << c.limitIn;
        EXPECT_LT(took, 50 * kMs) << c.limitIn;  // never the whole 100 ms limit
    }
}

TEST(Clock, NanosAfterRoundsUpAndKeepsHugeLimitsRepresentable) {
    const int64_t start = 123456789;
    EXPECT_EQ(nanosAfter(start, 1.5), start + 1500000);
    EXPECT_EQ(nanosAfter(start, 1e-7), start + 1);
    EXPECT_EQ(nanosAfter(start, 0), start);
    EXPECT_EQ(nanosAfter(start, -5), start);
    const int64_t month = nanosAfter(start, 30.0 * 24 * 3600 * 1000);
    const double never[] = {std::numeric_limits<double>::infinity(), std::nan(""), 1e300, 9.3e15};
    for (double ms : never) {
        const int64_t t = nanosAfter(start, ms);
        EXPECT_GT(t, month) << ms;
        // Seconds that a 32-bit time_t holds.
        EXPECT_LT(t / 1000000000, int64_t(std::numeric_limits<int32_t>::max())) << ms;
    }
}

// ---- the library's waits

class Waits : public BoardTest {};

TEST_F(Waits, Delay2SleepsThroughItsMilliseconds) {
    const double cpu0 = threadCpuMs();
    auto start = Clock::now();
    dev.Delay2(50);
    const double took = millisSince(start);
    EXPECT_GE(took, 50.0);
    EXPECT_LT(threadCpuMs() - cpu0, 20.0) << "Delay2 spins instead of sleeping";
}

TEST_F(Waits, PacketTimeOutSleepsAndRunsOnTheWallClock) {
    qolven_sim::set_board_silent(serial, true);
    const double cpu0 = threadCpuMs();
    auto start = Clock::now();
    EXPECT_EQ(dev.Version_of_Board(h), "Error");  // 100 ms
    const double took = millisSince(start);
    EXPECT_STREQ(dev.lastErrorText, "Timeout Error");
    EXPECT_GE(took, 100.0);
    EXPECT_LT(took, 1000.0);
    EXPECT_LT(threadCpuMs() - cpu0, 50.0) << "the reader spins instead of sleeping";
}

} // namespace
