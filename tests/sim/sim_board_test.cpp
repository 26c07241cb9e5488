// The virtual board: framing, identity, reset, register commands, error reports,
// measurement answers, display and keys, internal registers, data log, backup, rotation.
#include "qolven_sim_c.h"
#include "sim_test_util.h"

using namespace simtest;
namespace sim = qolven_sim;

namespace {

using SimBoard = SimFixture;

TEST_F(SimBoard, IdentificationAnswer) {
    auto c = board("ID1", 16);
    c.hardwareVersion = 3;
    c.firmwareVersion = 7;
    c.firmwareYear = 11;
    c.firmwareMonth = 5;
    sim::attach(c);
    void *h2 = open_serial("ID1");
    EXPECT_EQ(exchange(h2, {0x21, 4, 0x44, 0xAA}, 8), (Bytes{0x21, 8, 0x44, 16, 3, 7, 0xB5, 0xAA}));
}

TEST_F(SimBoard, PingAndPacketNumbersEcho) {
    for (uint8_t n : {1, 2, 127, 253, 254})
        EXPECT_EQ(exchange(h, {n, 4, 0x01, 0xAA}, 4), (Bytes{n, 4, 0x01, 0xAA}));
}

TEST_F(SimBoard, TwoRequestsInOneWrite) {
    write_bytes(h, {1, 4, 0x01, 0xAA, 2, 4, 0x44, 0xAA});
    EXPECT_EQ(read_at_least(h, 12), (Bytes{1, 4, 0x01, 0xAA, 2, 8, 0x44, 2, 1, 4, 0xB1, 0xAA}));
}

TEST_F(SimBoard, ResetAnnouncesInTheSameReadWhenDelayIsZero) {
    EXPECT_EQ(exchange(h, {5, 4, 0x45, 0xAA}, 8), (Bytes{5, 4, 0x01, 0xAA, 1, 4, 0x45, 0xAA}));
    EXPECT_EQ(sim::reset_count("T1"), 1);
}

TEST_F(SimBoard, ResetAnnouncesAfterTheResetDelay) {
    auto c = board("R1", 2);
    c.resetDelayMs = 40;
    sim::attach(c);
    void *r = open_serial("R1");
    EXPECT_EQ(exchange(r, {9, 4, 0x45, 0xAA}, 4), (Bytes{9, 4, 0x01, 0xAA}));
    EXPECT_EQ(rx_visible(r), 0u);
    EXPECT_EQ(sim::rx_pending("R1"), 4u);
    EXPECT_EQ(read_at_least(r, 4, 1000), (Bytes{1, 4, 0x45, 0xAA}));
    EXPECT_EQ(sim::reset_count("R1"), 1);
}

TEST_F(SimBoard, UnknownCommandGivesErrorReportAndDiagnostic) {
    EXPECT_EQ(exchange(h, {3, 4, 0x99, 0xAA}, 5), (Bytes{3, 5, 0x4D, 0x99, 0xAA}));
    auto diag = sim::diagnostics("T1");
    ASSERT_EQ(diag.size(), 1u);
    EXPECT_NE(diag[0].find("0x99"), std::string::npos) << diag[0];
    EXPECT_NE(diag[0].find("unrecognised"), std::string::npos) << diag[0];
}

TEST_F(SimBoard, MalformedRequestsGiveFrameErrors) {
    EXPECT_EQ(exchange(h, {4, 7, 0x82, 10, 0xAA}, 5), (Bytes{4, 5, 0x4E, 0x82, 0xAA})) << "size byte too large";
    EXPECT_EQ(exchange(h, {5, 5, 0x82, 10, 0x00}, 5), (Bytes{5, 5, 0x4E, 0x82, 0xAA})) << "no end byte";
    EXPECT_EQ(exchange(h, {6, 4}, 5), (Bytes{6, 5, 0x4E, 0, 0xAA})) << "too short";
    auto diag = sim::diagnostics("T1");
    ASSERT_EQ(diag.size(), 3u);
    EXPECT_NE(diag[0].find("size byte 7"), std::string::npos) << diag[0];
    EXPECT_NE(diag[1].find("end byte"), std::string::npos) << diag[1];
}

TEST_F(SimBoard, WrongRequestSizeForAKnownCommand) {
    EXPECT_EQ(exchange(h, {7, 4, 0x82, 0xAA}, 5), (Bytes{7, 5, 0x4F, 0x82, 0xAA}));
    ASSERT_EQ(sim::diagnostics("T1").size(), 1u);
    EXPECT_NE(sim::diagnostics("T1")[0].find("5-byte"), std::string::npos);
}

TEST_F(SimBoard, ChannelFormsOnlyOnChannelBoards) {
    EXPECT_EQ(exchange(h, {1, 5, 0x52, 0, 0xAA}, 5), (Bytes{1, 5, 0x4D, 0x52, 0xAA}));
    use_type(9);
    EXPECT_EQ(exchange(h, {2, 4, 0x42, 0xAA}, 5), (Bytes{2, 5, 0x4D, 0x42, 0xAA}));
    EXPECT_EQ(exchange(h, {3, 5, 0x52, 1, 0xAA}, 8).size(), 8u);
}

TEST_F(SimBoard, EepromRegisterRoundTrip) {
    EXPECT_EQ(exchange(h, {1, 7, 0x83, 200, 0x01, 0x2C, 0xAA}, 4), (Bytes{1, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::eeprom("T1", 200), 0x012C);
    EXPECT_EQ(exchange(h, {2, 5, 0x82, 200, 0xAA}, 7), (Bytes{2, 7, 0x82, 200, 0x01, 0x2C, 0xAA}));
    sim::set_eeprom("T1", 201, 0xBEEF);
    EXPECT_EQ(exchange(h, {3, 5, 0x82, 201, 0xAA}, 7), (Bytes{3, 7, 0x82, 201, 0xBE, 0xEF, 0xAA}));
}

TEST_F(SimBoard, ChannelMemoryAndTedsRegisterRoundTrips) {
    EXPECT_EQ(exchange(h, {1, 7, 0x87, 2, 114, 3, 0xAA}, 4), (Bytes{1, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::channel_register("T1", 2, 114), 3);
    EXPECT_EQ(exchange(h, {2, 6, 0x86, 2, 114, 0xAA}, 7), (Bytes{2, 7, 0x86, 2, 114, 3, 0xAA}));
    EXPECT_EQ(exchange(h, {3, 6, 0x86, 4, 114, 0xAA}, 5), (Bytes{3, 5, 0x4F, 0x86, 0xAA})) << "no channel 4";

    EXPECT_EQ(exchange(h, {4, 6, 0x81, 77, 7, 0xAA}, 4), (Bytes{4, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::memory_register("T1", 77), 7);
    EXPECT_EQ(exchange(h, {5, 5, 0x80, 77, 0xAA}, 6), (Bytes{5, 6, 0x80, 77, 7, 0xAA}));

    EXPECT_EQ(exchange(h, {6, 7, 0x85, 0x12, 0x34, 0x56, 0xAA}, 4), (Bytes{6, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::teds_register("T1", 0x1234), 0x56);
    EXPECT_EQ(exchange(h, {7, 6, 0x84, 0x12, 0x34, 0xAA}, 7), (Bytes{7, 7, 0x84, 0x12, 0x34, 0x56, 0xAA}));
    sim::set_teds_register("T1", 0xFFFF, 9);
    EXPECT_EQ(exchange(h, {8, 6, 0x84, 0xFF, 0xFF, 0xAA}, 7)[5], 9);
}

TEST_F(SimBoard, PageRead) {
    Bytes p(129);
    for (int i = 0; i < 129; ++i) p[i] = static_cast<uint8_t>(255 - i);
    sim::set_page("T1", 5, p);
    Bytes a = exchange(h, {1, 5, 0x88, 5, 0xAA}, 133);
    ASSERT_EQ(a.size(), 133u);
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(a[1], 133);
    EXPECT_EQ(a[2], 0x88);
    EXPECT_EQ(Bytes(a.begin() + 3, a.begin() + 132), p);
    EXPECT_EQ(a[132], 0xAA);
    EXPECT_EQ(sim::page("T1", 5), p);
    EXPECT_EQ(sim::page("T1", 6).size(), 129u);
}

TEST_F(SimBoard, BackupAndRestoreOfPages) {
    Bytes orig = sim::page("T1", 2);
    EXPECT_EQ(exchange(h, {1, 5, 0x49, 2, 0xAA}, 4), (Bytes{1, 4, 0x01, 0xAA}));
    sim::set_page("T1", 2, Bytes(129, 0x11));
    EXPECT_EQ(exchange(h, {2, 5, 0x4A, 2, 0xAA}, 4), (Bytes{2, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::page("T1", 2), orig);
    EXPECT_EQ(exchange(h, {3, 6, 0x59, 2, 3, 0xAA}, 5)[2], 0x4D) << "two-page form is for type 9";
    use_type(9);
    sim::set_page("T1", 2, Bytes(129, 0x22));
    EXPECT_EQ(exchange(h, {4, 6, 0x59, 2, 3, 0xAA}, 4), (Bytes{4, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::page("T1", 3), Bytes(129, 0x22));
    sim::set_page("T1", 4, Bytes(129, 0x44));
    EXPECT_EQ(exchange(h, {5, 6, 0x5A, 3, 4, 0xAA}, 4), (Bytes{5, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::page("T1", 3), Bytes(129, 0x44)) << "restore: destination first, then source";
}

// Live count of a board with a constant signal.
static sim::BoardConfig steady(const std::string &serial, int type, double offset) {
    auto c = board(serial, type);
    c.signalOffset = offset;
    c.signalAmplitude = 0;
    c.signalNoise = 0;
    return c;
}

TEST_F(SimBoard, NormalDataStatusPrefixedAndChannelLayouts) {
    sim::attach(steady("P1", 2, 0x123456));
    sim::attach(steady("N1", 2, -2));
    sim::attach(steady("C9", 9, 8388608));
    void *p = open_serial("P1"), *n = open_serial("N1"), *c = open_serial("C9");
    EXPECT_EQ(exchange(p, {1, 4, 0x42, 0xAA}, 8), (Bytes{1, 8, 0x42, 2, 0x12, 0x34, 0x56, 0xAA}));
    EXPECT_EQ(exchange(n, {1, 4, 0x42, 0xAA}, 8), (Bytes{1, 8, 0x42, 1, 0xFF, 0xFF, 0xFE, 0xAA}));
    EXPECT_EQ(exchange(c, {1, 5, 0x52, 2, 0xAA}, 8), (Bytes{1, 8, 0x52, 2, 0x80, 0x00, 0x00, 0xAA}));
}

TEST_F(SimBoard, SignalChangedWhileOpen) {
    sim::attach(steady("V1", 2, 1000));
    void *v = open_serial("V1");
    EXPECT_EQ(exchange(v, {1, 4, 0x42, 0xAA}, 8), (Bytes{1, 8, 0x42, 2, 0x00, 0x03, 0xE8, 0xAA}));
    EXPECT_TRUE(sim::set_signal("V1", 0x123456, 0, 0, 0));
    EXPECT_EQ(exchange(v, {2, 4, 0x42, 0xAA}, 8), (Bytes{2, 8, 0x42, 2, 0x12, 0x34, 0x56, 0xAA}));
    // The C form, as a program that loads the bridge at run time finds it.
    EXPECT_EQ(qolven_sim_set_signal("V1", -2, 0, 0, 0), 0);
    EXPECT_EQ(exchange(v, {3, 4, 0x42, 0xAA}, 8), (Bytes{3, 8, 0x42, 1, 0xFF, 0xFF, 0xFE, 0xAA}));
    EXPECT_NE(qolven_sim_set_signal("NOPE", 0, 0, 0, 0), 0);
    EXPECT_NE(qolven_sim_set_signal(nullptr, 0, 0, 0, 0), 0);
    EXPECT_FALSE(sim::set_signal("NOPE", 0, 0, 0, 0));

    // The signal in use, for a page that shows it.
    ASSERT_TRUE(sim::set_signal("V1", 8388608.5, 1000, 2.5, 7));
    double offset = 0, amplitude = 0, period = 0, noise = 0;
    ASSERT_TRUE(sim::get_signal("V1", offset, amplitude, period, noise));
    EXPECT_EQ(offset, 8388608.5);
    EXPECT_EQ(amplitude, 1000);
    EXPECT_EQ(period, 2.5);
    EXPECT_EQ(noise, 7);
    offset = amplitude = period = noise = 0;
    ASSERT_EQ(qolven_sim_get_signal("V1", &offset, nullptr, &period, &noise), 0);
    EXPECT_EQ(offset, 8388608.5);
    EXPECT_EQ(period, 2.5);
    EXPECT_EQ(noise, 7);
    EXPECT_NE(qolven_sim_get_signal("NOPE", &offset, &amplitude, &period, &noise), 0);
    EXPECT_NE(qolven_sim_get_signal(nullptr, &offset, &amplitude, &period, &noise), 0);
    EXPECT_FALSE(sim::get_signal("NOPE", offset, amplitude, period, noise));
}

TEST_F(SimBoard, LiveSignalMovesWithNoiseAndSine) {
    auto c = board("S1", 2);
    c.signalAmplitude = 100000;
    c.signalPeriodS = 0.2;
    sim::attach(c);
    void *s = open_serial("S1");
    int lo = 1 << 30, hi = -(1 << 30);
    for (int i = 0; i < 20; ++i) {
        Bytes a = exchange(s, {static_cast<uint8_t>(i + 1), 4, 0x42, 0xAA}, 8);
        ASSERT_EQ(a.size(), 8u);
        ASSERT_EQ(a[3], 2);
        int v = (a[4] << 16) | (a[5] << 8) | a[6];
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sleep_ms(10);
    }
    EXPECT_GT(hi - lo, 50000);
    EXPECT_LT(hi, 8388608 + 100000 + 100);
    EXPECT_GT(lo, 8388608 - 100000 - 100);
}

TEST_F(SimBoard, OffsetAndFullScaleCountsPerBoardType) {
    const Bytes off{2, 0x7F, 0xF8, 0x8A}, fs{2, 0xBF, 0x33, 0x38};  // 8386698, 12530488
    for (int type : {2, 0, 16}) {
        use_type(type);
        Bytes a = exchange(h, {1, 4, 0x40, 0xAA}, 8);
        EXPECT_EQ(Bytes(a.begin() + 3, a.begin() + 7), off) << "type " << type;
        a = exchange(h, {2, 4, 0x41, 0xAA}, 8);
        EXPECT_EQ(Bytes(a.begin() + 3, a.begin() + 7), fs) << "type " << type;
    }
    use_type(9);
    EXPECT_EQ(exchange(h, {3, 5, 0x50, 3, 0xAA}, 8), (Bytes{3, 8, 0x50, 3, 0x7F, 0xF8, 0x8A, 0xAA}));
    EXPECT_EQ(exchange(h, {4, 5, 0x51, 1, 0xAA}, 8), (Bytes{4, 8, 0x51, 1, 0xBF, 0x33, 0x38, 0xAA}));
    // The counts come from the loading-point registers: point 0 and point 15.
    sim::set_channel_register("T1", 1, 3, 2);
    sim::set_channel_register("T1", 1, 2, 0);
    sim::set_channel_register("T1", 1, 1, 0x03);
    sim::set_channel_register("T1", 1, 0, 0xE8);
    EXPECT_EQ(exchange(h, {5, 5, 0x50, 1, 0xAA}, 8), (Bytes{5, 8, 0x50, 1, 0, 0x03, 0xE8, 0xAA}));
}

TEST_F(SimBoard, InternalRegisterAndDataLog) {
    sim::set_internal_register("T1", 5, 0x010203);
    EXPECT_EQ(exchange(h, {1, 5, 0x47, 5, 0xAA}, 7), (Bytes{1, 7, 0x47, 1, 2, 3, 0xAA}));
    EXPECT_EQ(exchange(h, {2, 5, 0x47, 6, 0xAA}, 7), (Bytes{2, 7, 0x47, 0, 0, 0, 0xAA}));
    sim::set_log_record("T1", 300, {0x01, 0x02, 0x00, 0x00, 0x10, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(exchange(h, {3, 6, 0x48, 0x01, 0x2C, 0xAA}, 12),
              (Bytes{3, 12, 0x48, 0x01, 0x02, 0x00, 0x00, 0x10, 0xFF, 0xFF, 0xFF, 0xAA}));
    Bytes a = exchange(h, {4, 6, 0x48, 0x00, 0x07, 0xAA}, 12);
    ASSERT_EQ(a.size(), 12u);
    EXPECT_EQ(a[3], 0);
    EXPECT_EQ(a[4], 7) << "default records carry their number";
}

TEST_F(SimBoard, DisplayPageAnswer) {
    Bytes a = exchange(h, {1, 4, 0x46, 0xAA}, 68);
    ASSERT_EQ(a.size(), 68u);
    EXPECT_EQ(a[1], 68);
    EXPECT_EQ(a[2], 0x46);
    EXPECT_EQ(a[67], 0xAA);
    std::string text(a.begin() + 3, a.begin() + 67);
    EXPECT_EQ(text.substr(0, 4), "LOAD");
    EXPECT_EQ(text.substr(16, 7), "UNIT 34");
    EXPECT_EQ(text.substr(16), sim::display_page("T1").substr(16)) << text;
    sim::set_display_page("T1", "HELLO");
    a = exchange(h, {2, 4, 0x46, 0xAA}, 68);
    EXPECT_EQ(std::string(a.begin() + 3, a.begin() + 67), "HELLO" + std::string(59, ' '));
    EXPECT_EQ(sim::display_page("T1"), "HELLO" + std::string(59, ' '));
}

TEST_F(SimBoard, KeysOnBoardTypes5And10) {
    EXPECT_EQ(exchange(h, {1, 4, 0x64, 0xAA}, 5), (Bytes{1, 5, 0x4D, 0x64, 0xAA})) << "type 2 has no keys";
    EXPECT_TRUE(sim::key_presses("T1").empty());
    for (int type : {5, 10}) {
        use_type(type);
        std::string before = sim::display_page("T1");
        EXPECT_EQ(before.substr(48, 16), "KEY NONE        ");
        EXPECT_EQ(exchange(h, {2, 4, 0x64, 0xAA}, 4), (Bytes{2, 4, 0x01, 0xAA}));
        Bytes a = exchange(h, {3, 4, 0x46, 0xAA}, 68);
        std::string page(a.begin() + 3, a.begin() + 67);
        EXPECT_EQ(page.substr(32, 16), "MENU ITEM 0     ");
        EXPECT_EQ(page.substr(48, 16), "KEY MENU        ");
        EXPECT_EQ(exchange(h, {4, 4, 0x67, 0xAA}, 4), (Bytes{4, 4, 0x01, 0xAA}));
        EXPECT_EQ(sim::display_page("T1").substr(32, 16), "MENU ITEM 1     ");
        EXPECT_EQ(sim::display_page("T1").substr(48, 16), "KEY HOLD/DOWN   ");
    }
    EXPECT_EQ(sim::key_presses("T1"), (std::vector<int>{0x64, 0x67, 0x64, 0x67}));
}

TEST_F(SimBoard, RotationAdvancesWithTime) {
    auto c = board("ROT", 8);
    c.rotationRpm = 600;  // 10 turns/s, 360 pulses per turn: 3600 counts/s
    sim::attach(c);
    void *r = open_serial("ROT");
    Bytes a = exchange(r, {1, 4, 0x4B, 0xAA}, 10);
    ASSERT_EQ(a.size(), 10u);
    EXPECT_EQ(a[1], 10);
    int angle1 = (a[3] << 16) | (a[4] << 8) | a[5];
    EXPECT_EQ((a[6] << 16) | (a[7] << 8) | a[8], 600);
    sleep_ms(100);
    a = exchange(r, {2, 4, 0x4B, 0xAA}, 10);
    int angle2 = (a[3] << 16) | (a[4] << 8) | a[5];
    EXPECT_GT(angle2 - angle1, 200);
    EXPECT_LT(angle2 - angle1, 3000);
    // Reset of the angle through memory registers 128..130.
    for (uint8_t reg : {128, 129, 130}) exchange(r, {3, 6, 0x81, reg, 0, 0xAA}, 4);
    a = exchange(r, {4, 4, 0x4B, 0xAA}, 10);
    EXPECT_LT((a[3] << 16) | (a[4] << 8) | a[5], 200);
    // No pulses per rotation: the angle stands still and the speed is 0.
    exchange(r, {5, 7, 0x83, 124, 0, 0, 0xAA}, 4);
    a = exchange(r, {6, 4, 0x4B, 0xAA}, 10);
    int still = (a[3] << 16) | (a[4] << 8) | a[5];
    sleep_ms(30);
    a = exchange(r, {7, 4, 0x4B, 0xAA}, 10);
    EXPECT_EQ((a[3] << 16) | (a[4] << 8) | a[5], still);
    EXPECT_EQ((a[6] << 16) | (a[7] << 8) | a[8], 0);
}

TEST_F(SimBoard, RotationOnBoardsWithoutInputIsZero) {
    EXPECT_EQ(exchange(h, {1, 4, 0x4B, 0xAA}, 10), (Bytes{1, 10, 0x4B, 0, 0, 0, 0, 0, 0, 0xAA}));
}

} // namespace
