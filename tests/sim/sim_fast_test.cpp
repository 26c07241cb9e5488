// Fast data: sample widths per board type and rate code, pacing, the 64-sample limit with
// visible loss, channel cycling on type 9, empty answers.
#include "sim_test_util.h"

using namespace simtest;
namespace sim = qolven_sim;

namespace {

using SimFast = SimFixture;

// Sets the ADC configuration byte through the board command (channel form on type 9).
void set_rate(void *h, int type, uint8_t code) {
    Bytes a = type == 9 ? exchange(h, {1, 6, 0x39, 0, static_cast<uint8_t>(0x70 | code), 0xAA}, 4)
                        : exchange(h, {1, 5, 0x29, static_cast<uint8_t>(0x70 | code), 0xAA}, 4);
    ASSERT_EQ(a, (Bytes{1, 4, 0x01, 0xAA}));
}

Bytes fast_request(void *h, int type, uint8_t n = 2) {
    return type == 9 ? exchange(h, {n, 5, 0x53, 0, 0xAA}, 4) : exchange(h, {n, 4, 0x43, 0xAA}, 4);
}

struct WidthCase {
    int type, code, width;
};

TEST_F(SimFast, SampleWidthPerTypeAndRate) {
    const WidthCase cases[] = {{2, 0, 3},  {2, 13, 3}, {2, 14, 2}, {16, 15, 2}, {4, 12, 3}, {4, 13, 2},
                               {14, 13, 2}, {8, 15, 3}, {9, 0, 4},  {9, 13, 4}, {9, 14, 3}, {11, 14, 2}};
    for (const auto &c : cases) {
        use_type(c.type);
        set_rate(h, c.type, static_cast<uint8_t>(c.code));
        fast_request(h, c.type);  // empty the waiting samples
        sleep_ms(c.code >= 8 ? 60 : 450);
        Bytes a = fast_request(h, c.type, 3);
        ASSERT_GE(a.size(), 4u) << "type " << c.type << " code " << c.code;
        EXPECT_EQ(a[0], 3);
        EXPECT_EQ(a[1], a.size());
        EXPECT_EQ(a[2], c.type == 9 ? 0x53 : 0x43);
        EXPECT_EQ(a.back(), 0xAA);
        size_t payload = a.size() - 4;
        EXPECT_GT(payload, 0u) << "type " << c.type << " code " << c.code;
        EXPECT_EQ(payload % c.width, 0u) << "type " << c.type << " code " << c.code;
    }
}

TEST_F(SimFast, NoFastDataOnBoardsWithoutIt) {
    for (int type : {0, 5, 10, 15}) {
        use_type(type);
        EXPECT_EQ(exchange(h, {1, 4, 0x43, 0xAA}, 5), (Bytes{1, 5, 0x4D, 0x43, 0xAA})) << type;
    }
}

TEST_F(SimFast, EmptyAnswerWhenNothingWaits) {
    // Rate code 0 (2.5 samples/s) on a freshly opened device: nothing gathered yet.
    EXPECT_EQ(fast_request(h, 2, 5), (Bytes{5, 4, 0x43, 0xAA}));
}

TEST_F(SimFast, PacingFollowsTheRate) {
    set_rate(h, 2, 8);  // 100 samples/s
    fast_request(h, 2);
    auto t0 = std::chrono::steady_clock::now();
    sleep_ms(200);
    Bytes a = fast_request(h, 2);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    size_t samples = (a.size() - 4) / 3;
    double expected = ms / 10.0;
    EXPECT_GE(samples, static_cast<size_t>(expected * 0.6)) << ms << " ms";
    EXPECT_LE(samples, static_cast<size_t>(expected * 1.2 + 2)) << ms << " ms";
}

TEST_F(SimFast, SequenceNumbersTravelInTheSamples) {
    set_rate(h, 2, 10);  // 200 samples/s, 3-byte samples
    fast_request(h, 2);
    uint32_t seqBefore = sim::next_sample_sequence("T1");
    sleep_ms(60);
    Bytes a = fast_request(h, 2);
    size_t n = (a.size() - 4) / 3;
    ASSERT_GE(n, 3u);
    for (size_t i = 0; i < n; ++i)
        EXPECT_EQ(a[3 + 3 * i + 2], static_cast<uint8_t>(seqBefore + i)) << "sample " << i;
    EXPECT_GE(sim::next_sample_sequence("T1"), seqBefore + n);
}

TEST_F(SimFast, AtMost64SamplesWaitAndLossIsVisible) {
    set_rate(h, 2, 15);  // 1000 samples/s, 2-byte samples
    fast_request(h, 2);
    uint32_t before = sim::next_sample_sequence("T1");
    sleep_ms(150);
    uint32_t after = sim::next_sample_sequence("T1");
    EXPECT_GT(after - before, 100u);
    Bytes a = fast_request(h, 2);
    ASSERT_EQ(a.size(), 4u + 64 * 2) << "the 64 newest samples";
    // The samples are consecutive among themselves, and do not start at `before`.
    uint8_t first = a[4] & 0x0F;
    for (size_t i = 0; i < 64; ++i) EXPECT_EQ(a[3 + 2 * i + 1] & 0x0F, (first + i) & 0x0F);
    EXPECT_NE(first, before & 0x0F);
}

TEST_F(SimFast, ChannelBoardCyclesOverActiveChannels) {
    auto c = board("N9", 9);
    c.activeChannels = 3;
    sim::attach(c);
    void *p = open_serial("N9");
    set_rate(p, 9, 12);  // 300 samples/s, 4-byte samples
    fast_request(p, 9);
    sleep_ms(40);
    Bytes a = fast_request(p, 9);
    size_t n = (a.size() - 4) / 4;
    ASSERT_GE(n, 4u);
    for (size_t i = 1; i < n; ++i) {
        uint8_t prev = a[3 + 4 * (i - 1)], cur = a[3 + 4 * i];
        EXPECT_LT(cur, 3);
        EXPECT_EQ(cur, (prev + 1) % 3);
    }
}

TEST_F(SimFast, SamplesFollowTheSignal) {
    auto c = board("SIG", 2);
    c.signalOffset = 0x345678;
    c.signalAmplitude = 0;
    c.signalNoise = 0;
    sim::attach(c);
    void *p = open_serial("SIG");
    set_rate(p, 2, 13);
    sleep_ms(20);
    Bytes a = fast_request(p, 2);
    ASSERT_GE(a.size(), 7u);
    EXPECT_EQ(a[3], 0x34);
    EXPECT_EQ(a[4], 0x56);
}

TEST_F(SimFast, TypeNinePacketsStayWithinTheSizeByte) {
    auto c = board("BIG", 9);
    sim::attach(c);
    void *p = open_serial("BIG");
    set_rate(p, 9, 13);  // 500 samples/s, 4-byte samples
    sleep_ms(200);
    Bytes a = fast_request(p, 9);
    EXPECT_EQ(a.size(), 4u + 62 * 4) << "62 samples fit a 255-byte packet";
    EXPECT_EQ(a[1], a.size());
    Bytes b = fast_request(p, 9, 4);
    EXPECT_GE(b.size(), 4u + 2 * 4) << "the rest waits for the next request";
}

} // namespace
