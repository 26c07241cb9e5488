// Fast data: sample widths per board type and rate code, pacing, samples that carry the
// count only, the generator's counters, the 64-sample limit, channel cycling on type 9,
// empty answers.
#include "sim_test_util.h"

#include "qolven_sim_c.h"

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

// What the generator did, from its counters: generated = delivered + dropped + waiting.
void expect_balanced(const sim::FastCounters &c) {
    EXPECT_EQ(c.generated, c.delivered + c.dropped + c.waiting)
        << c.generated << " generated, " << c.delivered << " delivered, " << c.dropped << " dropped, " << c.waiting
        << " waiting";
}

TEST_F(SimFast, CountersTellWhatTheGeneratorDid) {
    set_rate(h, 2, 10);  // 200 samples/s, 3-byte samples
    fast_request(h, 2);
    sim::FastCounters before = sim::fast_counters("T1");
    expect_balanced(before);
    EXPECT_EQ(before.waiting, 0u);
    sleep_ms(60);
    Bytes a = fast_request(h, 2);
    size_t n = (a.size() - 4) / 3;
    ASSERT_GE(n, 3u);
    sim::FastCounters after = sim::fast_counters("T1");
    expect_balanced(after);
    EXPECT_EQ(after.delivered - before.delivered, n);
    EXPECT_EQ(after.dropped, before.dropped);
    EXPECT_GE(after.generated - before.generated, n);
    // The next sample's number is the count generated (each call brings the generator up to now).
    const uint32_t first = sim::next_sample_sequence("T1");
    const uint64_t made = sim::fast_counters("T1").generated;
    EXPECT_LE(first, made);
    EXPECT_LE(made, sim::next_sample_sequence("T1"));

    // A reset clears what waits: dropped, not delivered.
    sleep_ms(30);
    ASSERT_GT(sim::fast_counters("T1").waiting, 0u);
    exchange(h, {7, 4, 0x45, 0xAA}, 8);
    sim::FastCounters reset = sim::fast_counters("T1");
    expect_balanced(reset);
    EXPECT_GT(reset.dropped, after.dropped);
    EXPECT_EQ(reset.delivered, after.delivered);
    EXPECT_EQ(sim::fast_counters("NOPE").generated, 0u);

    // The C form, for hosts that load the bridge at run time.
    unsigned long long generated = 0, delivered = 0, dropped = 0;
    char error[128];
    ASSERT_EQ(qolven_sim_fast_counters("T1", &generated, &delivered, &dropped, nullptr, error, sizeof error), 0)
        << error;
    EXPECT_GE(generated, reset.generated);
    EXPECT_EQ(delivered, reset.delivered);
    EXPECT_GE(dropped, reset.dropped);
    EXPECT_NE(qolven_sim_fast_counters("NOPE", &generated, nullptr, nullptr, nullptr, error, sizeof error), 0);
    EXPECT_STREQ(error, "no virtual device with serial number \"NOPE\" is attached");
}

TEST_F(SimFast, AtMost64SamplesWaitAndLossIsCounted) {
    set_rate(h, 2, 15);  // 1000 samples/s, 2-byte samples
    fast_request(h, 2);
    sim::FastCounters before = sim::fast_counters("T1");
    sleep_ms(150);
    sim::FastCounters after = sim::fast_counters("T1");
    EXPECT_GT(after.generated - before.generated, 100u);
    EXPECT_EQ(after.waiting, 64u);
    EXPECT_EQ(after.delivered, before.delivered);
    EXPECT_EQ(after.dropped - before.dropped, after.generated - before.generated + before.waiting - 64)
        << "all but the newest 64 were dropped";
    expect_balanced(after);
    Bytes a = fast_request(h, 2);
    ASSERT_EQ(a.size(), 4u + 64 * 2) << "the 64 newest samples";
    sim::FastCounters taken = sim::fast_counters("T1");
    EXPECT_GE(taken.delivered - after.delivered, 64u);
    expect_balanced(taken);
}

struct QuietCase {
    int type, code;
    Bytes sample;  // the bytes of every sample of a constant signal 0x345678
};

TEST_F(SimFast, SamplesCarryTheCountOnly) {
    const QuietCase cases[] = {
        {2, 13, {0x34, 0x56, 0x78}},       // 3-byte count
        {2, 15, {0x34, 0x56}},             // 2-byte count: its upper 16 bits
        {9, 12, {0x00, 0x34, 0x56, 0x78}}, // channel byte and 3-byte count
        {9, 15, {0x00, 0x34, 0x56}},       // channel byte and 2-byte count
    };
    for (const QuietCase &c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " code " + std::to_string(c.code));
        use_type(c.type);
        ASSERT_TRUE(sim::set_signal("T1", 0x345678, 0, 10, 0));
        set_rate(h, c.type, static_cast<uint8_t>(c.code));
        fast_request(h, c.type);
        sleep_ms(40);
        Bytes a = fast_request(h, c.type, 3);
        const size_t width = c.sample.size();
        ASSERT_GE(a.size(), 4 + 5 * width);
        ASSERT_EQ((a.size() - 4) % width, 0u);
        for (size_t i = 3; i + width < a.size(); i += width)
            EXPECT_EQ(Bytes(a.begin() + i, a.begin() + i + width), c.sample) << "sample at byte " << i;
    }
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
