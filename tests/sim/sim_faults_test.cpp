// Fault injection on answers: every kind, the three modes, replay from the seed.
#include "sim_test_util.h"

using namespace simtest;
namespace sim = qolven_sim;

namespace {

using SimFaults = SimFixture;

sim::FaultSpec fault(sim::Fault k, int arg = -1, unsigned delayUs = 0) {
    sim::FaultSpec f;
    f.kind = k;
    f.arg = arg;
    f.delayUs = delayUs;
    return f;
}

const Bytes kIdent{7, 4, 0x44, 0xAA};
const Bytes kIdentAnswer{7, 8, 0x44, 2, 1, 4, 0xB1, 0xAA};

TEST_F(SimFaults, NoAnswerSwallowsTheRequest) {
    sim::set_fault("T1", fault(sim::Fault::NoAnswer));
    write_bytes(h, {1, 7, 0x83, 50, 1, 2, 0xAA});
    sleep_ms(5);
    EXPECT_EQ(sim::rx_pending("T1"), 0u);
    EXPECT_EQ(sim::eeprom("T1", 50), 0xFFFF) << "the command did not run";
    EXPECT_EQ(exchange(h, {2, 7, 0x83, 50, 1, 2, 0xAA}, 4), (Bytes{2, 4, 0x01, 0xAA})) << "Next: once only";
    EXPECT_EQ(sim::eeprom("T1", 50), 0x0102);
}

TEST_F(SimFaults, LateAnswer) {
    sim::set_fault("T1", fault(sim::Fault::Late, -1, 40000));
    write_bytes(h, kIdent);
    sleep_ms(10);
    EXPECT_EQ(rx_visible(h), 0u);
    EXPECT_EQ(sim::rx_pending("T1"), 8u);
    EXPECT_EQ(read_at_least(h, 8, 1000), kIdentAnswer);
}

TEST_F(SimFaults, PartialAnswer) {
    sim::set_fault("T1", fault(sim::Fault::Partial));
    EXPECT_EQ(exchange(h, kIdent, 4), (Bytes{7, 8, 0x44, 2}));
    sim::set_fault("T1", fault(sim::Fault::Partial, 6));
    EXPECT_EQ(exchange(h, kIdent, 6), (Bytes{7, 8, 0x44, 2, 1, 4}));
    sleep_ms(2);
    EXPECT_EQ(sim::rx_pending("T1"), 0u);
}

TEST_F(SimFaults, DamagedFields) {
    sim::set_fault("T1", fault(sim::Fault::WrongNumber));
    EXPECT_EQ(exchange(h, kIdent, 8), (Bytes{8, 8, 0x44, 2, 1, 4, 0xB1, 0xAA}));
    sim::set_fault("T1", fault(sim::Fault::WrongSize));
    EXPECT_EQ(exchange(h, kIdent, 8), (Bytes{7, 9, 0x44, 2, 1, 4, 0xB1, 0xAA}));
    sim::set_fault("T1", fault(sim::Fault::WrongCommand));
    EXPECT_EQ(exchange(h, kIdent, 8), (Bytes{7, 8, 0x7F, 2, 1, 4, 0xB1, 0xAA}));
    sim::set_fault("T1", fault(sim::Fault::WrongCommand, 0x4F));
    EXPECT_EQ(exchange(h, kIdent, 8), (Bytes{7, 8, 0x4F, 2, 1, 4, 0xB1, 0xAA}));
    sim::set_fault("T1", fault(sim::Fault::WrongEnd));
    EXPECT_EQ(exchange(h, kIdent, 8), (Bytes{7, 8, 0x44, 2, 1, 4, 0xB1, 0x00}));
    EXPECT_EQ(exchange(h, kIdent, 8), kIdentAnswer);
    sim::set_fault("T1", fault(sim::Fault::WrongNumber));
    EXPECT_EQ(exchange(h, {254, 4, 0x01, 0xAA}, 4), (Bytes{1, 4, 0x01, 0xAA})) << "254 + 1 wraps to 1";
}

TEST_F(SimFaults, BoardErrorReport) {
    sim::set_fault("T1", fault(sim::Fault::BoardError));
    EXPECT_EQ(exchange(h, kIdent, 5), (Bytes{7, 5, 0x4D, 0x44, 0xAA}));
    sim::set_fault("T1", fault(sim::Fault::BoardError, 0x4C));
    EXPECT_EQ(exchange(h, {8, 7, 0x83, 200, 1, 2, 0xAA}, 5), (Bytes{8, 5, 0x4C, 0x83, 0xAA}));
    EXPECT_EQ(sim::eeprom("T1", 200), 0xFFFF) << "a refused write is not made";
}

TEST_F(SimFaults, LeadingFFAndExtraBytes) {
    sim::set_fault("T1", fault(sim::Fault::LeadingFF));
    EXPECT_EQ(exchange(h, kIdent, 9), (Bytes{0xFF, 7, 8, 0x44, 2, 1, 4, 0xB1, 0xAA}));
    sim::set_fault("T1", fault(sim::Fault::ExtraBytes));
    Bytes a = exchange(h, {9, 4, 0x01, 0xAA}, 7);
    EXPECT_EQ(a.size(), 7u);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 4), (Bytes{9, 4, 0x01, 0xAA}));
    sim::set_fault("T1", fault(sim::Fault::ExtraBytes, 1));
    EXPECT_EQ(exchange(h, {9, 4, 0x01, 0xAA}, 5).size(), 5u);
}

TEST_F(SimFaults, SplitAnswer) {
    sim::set_fault("T1", fault(sim::Fault::Split, 3, 40000));
    write_bytes(h, kIdent);
    Bytes first = read_at_least(h, 3);
    EXPECT_EQ(first, (Bytes{7, 8, 0x44}));
    EXPECT_EQ(rx_visible(h), 0u);
    EXPECT_EQ(read_at_least(h, 5, 1000), (Bytes{2, 1, 4, 0xB1, 0xAA}));
}

TEST_F(SimFaults, SplitKeepsTheCompletionAfterTheAcknowledgement) {
    use_type(16);
    sim::set_fault("T1", fault(sim::Fault::Split, 2, 20000));
    write_bytes(h, {3, 6, 0x2D, 1, 2, 0xAA});
    EXPECT_EQ(read_at_least(h, 2), (Bytes{3, 4}));
    EXPECT_EQ(read_at_least(h, 6, 1000), (Bytes{0x01, 0xAA, 3, 4, 0x45, 0xAA}));
}

TEST_F(SimFaults, FaultsApplyToErrorReportsToo) {
    sim::set_fault("T1", fault(sim::Fault::WrongEnd));
    EXPECT_EQ(exchange(h, {1, 4, 0x99, 0xAA}, 5), (Bytes{1, 5, 0x4D, 0x99, 0x00}));
}

TEST_F(SimFaults, EveryNthAnswer) {
    sim::FaultSpec f = fault(sim::Fault::WrongEnd);
    f.mode = sim::FaultMode::EveryNth;
    f.every = 3;
    sim::set_fault("T1", f);
    std::vector<int> damaged;
    for (int i = 1; i <= 9; ++i) {
        Bytes a = exchange(h, {static_cast<uint8_t>(i), 4, 0x01, 0xAA}, 4);
        ASSERT_EQ(a.size(), 4u);
        if (a[3] == 0) damaged.push_back(i);
    }
    EXPECT_EQ(damaged, (std::vector<int>{3, 6, 9}));
    sim::clear_faults("T1");
    EXPECT_EQ(exchange(h, {12, 4, 0x01, 0xAA}, 4), (Bytes{12, 4, 0x01, 0xAA}));
}

std::vector<int> random_pattern(uint32_t seed) {
    auto c = board("RND", 2);
    c.seed = seed;
    sim::attach(c);
    void *r = open_serial("RND");
    sim::FaultSpec f = fault(sim::Fault::WrongEnd);
    f.mode = sim::FaultMode::Random;
    f.probability = 0.4;
    sim::set_fault("RND", f);
    std::vector<int> damaged;
    for (int i = 1; i <= 40; ++i) {
        Bytes a = exchange(r, {static_cast<uint8_t>(i), 4, 0x01, 0xAA}, 4);
        if (a.size() == 4 && a[3] == 0) damaged.push_back(i);
    }
    FT_Close(r);
    return damaged;
}

TEST_F(SimFaults, RandomFaultsReplayFromTheSeed) {
    auto a = random_pattern(42), b = random_pattern(42), c = random_pattern(43);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_GT(a.size(), 5u);
    EXPECT_LT(a.size(), 30u);
}

TEST_F(SimFaults, FastOnlyFaultsWaitForFastData) {
    sim::set_fault("T1", fault(sim::Fault::FastRefusal, 0x4E));
    EXPECT_EQ(exchange(h, kIdent, 8), kIdentAnswer) << "not a fast-data answer";
    EXPECT_EQ(exchange(h, {8, 4, 0x43, 0xAA}, 4), (Bytes{8, 4, 0x4E, 0xAA}));
    sim::set_fault("T1", fault(sim::Fault::FastEmpty));
    EXPECT_EQ(exchange(h, {9, 4, 0x43, 0xAA}, 4), (Bytes{9, 0, 0x43, 0xAA}));
}

TEST_F(SimFaults, FastTwoPiecesAndShort) {
    exchange(h, {1, 5, 0x29, 0x0F, 0xAA}, 4);  // rate code 15: 1000 samples/s, 2-byte samples
    sleep_ms(30);
    sim::set_fault("T1", fault(sim::Fault::FastTwoPieces, -1, 30000));
    write_bytes(h, {2, 4, 0x43, 0xAA});
    Bytes first = read_at_least(h, 4);
    ASSERT_GE(first.size(), 4u);
    size_t total = first[1];
    EXPECT_LT(first.size(), total);
    EXPECT_EQ((first.size() - 4) % 2, 0u) << "the first piece is a whole number of samples";
    Bytes second = read_at_least(h, total - first.size(), 1000);
    EXPECT_EQ(first.size() + second.size(), total);
    EXPECT_EQ(second.back(), 0xAA);

    sleep_ms(20);
    sim::set_fault("T1", fault(sim::Fault::FastShort));
    Bytes s = exchange(h, {3, 4, 0x43, 0xAA}, 4);
    ASSERT_GE(s.size(), 6u);
    EXPECT_EQ(s[1], s.size() + 2) << "announces one sample more than arrives";
    EXPECT_EQ(s.back(), 0xAA);
}

} // namespace
