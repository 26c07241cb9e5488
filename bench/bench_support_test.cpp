// The benchmarks subtract the replayed bridge calls from the library's calls
// and take the fast-data pause out: these tests make sure the replay is the
// same traffic, the packets are what the library decodes, and the pause
// switch really switches.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "bench_support.h"

using qbench::Board;
using qbench::Bytes;

namespace {

class BenchSupport : public ::testing::Test {
protected:
    void SetUp() override { qolven_sim::reset(); }
    void TearDown() override {
        qbench::skipPauses(false);
        qolven_sim::reset();
    }
};

struct Traffic {
    const char *name;
    std::function<std::string(Board &)> call;
    size_t calls;      // bridge calls of one library call
    size_t exchanges;  // requests written
};

TEST_F(BenchSupport, ReplayMakesTheLibrarysBridgeCallsWithTheSameBytes) {
    const Traffic table[] = {
        {"identification", [](Board &b) { return b.dev().Get_Type_of_Board(b.handle()); }, 4, 1},
        {"register read", [](Board &b) { return b.dev().Read_EEPROM_Register(b.handle(), 114); }, 4, 1},
        {"parameter get", [](Board &b) { return b.dev().Get_Decimal_Point(b.handle(), 0); }, 8, 2},
        {"parameter set", [](Board &b) { return b.dev().Set_Decimal_Point(b.handle(), 3, 0); }, 8, 2},
    };
    for (const Traffic &t : table) {
        SCOPED_TRACE(t.name);
        Board b(2, 0);
        ASSERT_TRUE(b.opened());
        ASSERT_NE(t.call(b), "Error") << b.dev().lastErrorText;
        const std::vector<Bytes> library = qolven_sim::writes(b.serial());
        const qbench::BridgeScript script = qbench::BridgeScript::record(b.serial());
        EXPECT_EQ(script.calls(), t.calls);
        EXPECT_EQ(script.exchanges(), t.exchanges);

        qolven_sim::clear_writes(b.serial());
        ASSERT_TRUE(script.replay(b.handle()));
        EXPECT_EQ(qolven_sim::writes(b.serial()), library);
        EXPECT_EQ(qolven_sim::rx_pending(b.serial()), 0u) << "the replay left answer bytes unread";
    }
}

// While the answer is on its way the library polls the status again and
// again; the bridge logs such a run as one record, the replay must not.
TEST_F(BenchSupport, ReplayKeepsEveryPollOfAWaitedAnswer) {
    // The reader sleeps between polls: 20 ms of waiting are some hundred
    // polls on a quiet machine, and still more than a handful on a busy one.
    Board b(2, 20000);
    ASSERT_EQ(b.dev().Get_Type_of_Board(b.handle()), "2") << b.dev().lastErrorText;
    const qbench::BridgeScript script = qbench::BridgeScript::record(b.serial());
    EXPECT_EQ(script.exchanges(), 1u);
    EXPECT_GT(script.calls(), 5u) << "20 ms of polling recorded as a single status call";
}

TEST_F(BenchSupport, ReplayFailsWhenTheBridgeGivesLessThanTheLibraryGot) {
    Board b(2, 0);
    b.dev().Get_Version_of_Board(b.handle());
    qolven_sim::set_board_silent(b.serial(), true);
    qolven_sim::clear_calls();
    qolven_sim::clear_writes(b.serial());
    qbench::skipPauses(true);
    qolven_sim::queue_rx(b.serial(), qbench::fastPacket(qbench::nextPacketNumber(b.dev()), 8, 2));
    ASSERT_NE(b.dev().Fast_Data_Request(b.handle(), 0, 0, "2", "15", "4", 0), "Error") << b.dev().lastErrorText;
    const qbench::BridgeScript script = qbench::BridgeScript::record(b.serial());

    EXPECT_FALSE(script.replay(b.handle())) << "nothing queued, yet the replay read the packet";
    qolven_sim::queue_rx(b.serial(), qbench::fastPacket(1, 8, 2));
    EXPECT_TRUE(script.replay(b.handle()));
}

TEST_F(BenchSupport, FastPacketBytes) {
    const uint32_t c0 = qbench::sampleCount(0), c1 = qbench::sampleCount(1);
    auto b = [](uint32_t c, int shift) { return uint8_t(c >> shift); };
    EXPECT_EQ(qbench::fastPacket(7, 2, 3),
              (Bytes{7, 10, 0x43, b(c0, 16), b(c0, 8), b(c0, 0), b(c1, 16), b(c1, 8), b(c1, 0), 0xAA}));
    EXPECT_EQ(qbench::fastPacket(7, 2, 2), (Bytes{7, 8, 0x43, b(c0, 16), b(c0, 8), b(c1, 16), b(c1, 8), 0xAA}));
    EXPECT_EQ(qbench::fastPacket(9, 2, 2, 4, 3),
              (Bytes{9, 10, 0x53, 3, b(c0, 16), b(c0, 8), 0, b(c1, 16), b(c1, 8), 0xAA}));
    EXPECT_EQ(qbench::fastPacket(1, 0, 2), (Bytes{1, 4, 0x43, 0xAA}));
}

// The benchmarks check their calls by these counts; the library must read
// the packets the same way.
TEST_F(BenchSupport, LibraryDecodesTheFastPacketsIntoTheirCounts) {
    struct Row {
        const char *rate;
        int countBytes;
    } rows[] = {{"0", 3}, {"15", 2}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.rate);
        Board b(2, 0);
        b.dev().Get_Version_of_Board(b.handle());
        qolven_sim::set_board_silent(b.serial(), true);
        qbench::skipPauses(true);
        const int n = 64;
        qolven_sim::queue_rx(b.serial(), qbench::fastPacket(qbench::nextPacketNumber(b.dev()), n, r.countBytes));
        ASSERT_NE(b.dev().Fast_Data_Request(b.handle(), 0, 5, "2", r.rate, "4", 0), "Error") << b.dev().lastErrorText;
        for (int i = 0; i < n; ++i) {
            const uint32_t sent = qbench::sampleCount(i);
            const int expected = int(r.countBytes == 3 ? sent : (sent & 0xFFFF00u) | 0x80u);
            ASSERT_EQ(b.dev().sampleCounts[5][0][i], expected) << "sample " << i;
            ASSERT_EQ(b.dev().samplesPerPacket[5][0][i], n);
        }
    }
}

double callMs(Board &b) {
    qolven_sim::queue_rx(b.serial(), qbench::fastPacket(qbench::nextPacketNumber(b.dev()), 1, 2));
    const auto start = std::chrono::steady_clock::now();
    b.dev().Fast_Data_Request(b.handle(), 0, 0, "2", "15", "4", 0);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The library pauses 1.5 ms, that is two whole milliseconds, after a
// fast-data request: skipped, the fastest of a few calls is well below that.
TEST_F(BenchSupport, PauseSwitchTakesThePauseOutAndPutsItBack) {
    Board b(2, 0);
    b.dev().Get_Version_of_Board(b.handle());
    qolven_sim::set_board_silent(b.serial(), true);

    qbench::skipPauses(true);
    const long before = qbench::pausesSeen();
    double fastest = 1e9;
    for (int i = 0; i < 5; ++i) fastest = std::min(fastest, callMs(b));
    EXPECT_EQ(qbench::pausesSeen() - before, 5) << "the library's own pause ran: the switch is not in place";
    EXPECT_LT(fastest, 1.5);

    qbench::skipPauses(false);
    EXPECT_GE(callMs(b), 2.0);
    EXPECT_EQ(qbench::pausesSeen() - before, 6);
}

} // namespace
