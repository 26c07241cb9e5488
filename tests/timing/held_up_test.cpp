// The readers' time-outs on a scripted clock: time passes only while the
// library sleeps, answers arrive at exact moments, and a sleep can be held
// up past the limit, as the scheduler does to a thread on a busy machine.
// The library here is built from its sources with scripted_clock.cpp in
// place of its clock.
#include <string>

#include "core/timing.h"
#include "library/fixture.h"
#include "scripted_clock.h"

namespace {

using scripted_clock::kMs;

class HeldUp : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        qolven_sim::set_board_silent(serial, true);
        qolven_sim::clear_calls();
        scripted_clock::reset();
    }
    // `bytes` reach the receive queue at `when` on the scripted clock.
    void arrive(int64_t when, Bytes bytes) {
        const std::string s = serial;
        scripted_clock::at(when, [s, bytes] { qolven_sim::queue_rx(s, bytes); });
    }
};

struct Case {
    const char *name;
    double answerMs;          // when the answer arrives
    double holdFromMs, holdUntilMs;  // a pause held up; from < 0: none
    bool accepted;
    double returnMs;          // when the call returns, to 0.025 ms
};

// Version_of_Board waits 100 ms for its answer.
const Case kPacketCases[] = {
    {"answer in time", 60, -1, 0, true, 60},
    {"answer after the limit", 130, -1, 0, false, 100},
    {"held up across the limit, answer came before it", 99.99, 99.98, 180, true, 180},
    {"held up across the limit, answer came during the hold-up", 120, 99.98, 180, true, 180},
    {"held up across the limit, answer comes later", 190, 50, 180, false, 180},
    {"held up early, answer came meanwhile", 20, 10, 50, true, 50},
};

TEST_F(HeldUp, PacketTimeOutLooksOnceMoreAfterTheLimit) {
    for (const Case &c : kPacketCases) {
        SCOPED_TRACE(c.name);
        useBoard(2);
        qolven_sim::set_board_silent(serial, true);
        scripted_clock::reset();
        arrive(int64_t(c.answerMs * kMs), {1, 8, 0x44, 2, 1, 4, 0xB1, 0xAA});
        if (c.holdFromMs >= 0) scripted_clock::holdUp(int64_t(c.holdFromMs * kMs), int64_t(c.holdUntilMs * kMs));

        const std::string result = dev.Get_Type_of_Board(h);
        const double returned = double(scripted_clock::now()) / kMs;
        EXPECT_NEAR(returned, c.returnMs, 0.025);
        if (c.accepted) {
            EXPECT_EQ(result, "2") << error();
        } else {
            EXPECT_EQ(result, "Error");
            EXPECT_EQ(error(), "Timeout Error");
            // The limit is exceeded, not merely reached.
            if (c.holdFromMs < 0) EXPECT_GT(scripted_clock::now(), int64_t(c.returnMs * kMs));
        }
        EXPECT_EQ(wire(), (std::vector<Bytes>{{1, 4, 0x44, 0xAA}}));
    }
}

// Between looks the reader sleeps; it does not look more often than its
// pause allows, nor sleep through the limit.
TEST_F(HeldUp, PacketReaderSleepsBetweenLooks) {
    EXPECT_EQ(dev.Slave_Activity_Inquiry(h), "Error");
    EXPECT_EQ(error(), "Timeout Error");
    const int64_t pause = _QOLVEN_USB_DLL::detail::kPollPauseNanos;
    const int expected = int(10 * kMs / pause);
    EXPECT_GE(scripted_clock::sleeps(), expected);
    EXPECT_LE(scripted_clock::sleeps(), expected + 2);
    EXPECT_LE(scripted_clock::now(), 10 * kMs + 1);
}

TEST_F(HeldUp, Delay2EndsAtTheWholeMillisecond) {
    const std::pair<double, int64_t> cases[] = {{1.5, 2 * kMs}, {1.0, 1 * kMs}, {0.2, 1 * kMs}, {0, 0}, {-3, 0}, {7.25, 8 * kMs}};
    for (auto [ms, ends] : cases) {
        scripted_clock::reset();
        dev.Delay2(ms);
        EXPECT_EQ(scripted_clock::now(), ends) << ms;
    }
}

// The fast-data request pauses 2 ms after its request, then gives the
// packet 1 ms.
const Case kFastCases[] = {
    {"packet during the pause", 1.5, -1, 0, true, 2},
    {"packet within the limit", 2.5, -1, 0, true, 2.5},
    {"packet after the limit", 3.5, -1, 0, false, 3},
    {"held up across the limit, packet came before it", 2.95, 2.9, 4.5, true, 4.5},
    {"held up across the limit, packet comes later", 5, 2.9, 4.5, false, 4.5},
};

TEST_F(HeldUp, FastReaderLooksOnceMoreAfterTheLimit) {
    for (const Case &c : kFastCases) {
        SCOPED_TRACE(c.name);
        useBoard(2);
        qolven_sim::set_board_silent(serial, true);
        dev.boardType = 2;
        scripted_clock::reset();
        arrive(int64_t(c.answerMs * kMs), {1, 8, 0x43, 0x80, 0x10, 0x80, 0x20, 0xAA});
        if (c.holdFromMs >= 0) scripted_clock::holdUp(int64_t(c.holdFromMs * kMs), int64_t(c.holdUntilMs * kMs));

        const std::string result = dev.Fast_Data_Request(h, 1, 0, "2", "15", "4", 0);
        EXPECT_NEAR(double(scripted_clock::now()) / kMs, c.returnMs, 0.025);
        if (c.accepted) {
            EXPECT_NE(result, "Error") << error();
            EXPECT_EQ(dev.samplesPerPacket[0][0][0], 2);
        } else {
            EXPECT_EQ(result, "Error");
            EXPECT_EQ(error(), "Timeout Error");
        }
        EXPECT_EQ(wire(), (std::vector<Bytes>{{1, 4, 0x43, 0xAA}}));
    }
}

} // namespace
