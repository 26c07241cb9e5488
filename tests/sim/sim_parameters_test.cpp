// Board commands 0x20..0x2D / 0x30..0x3A store their values where the getters of each
// board type read them; the factory defaults of the register maps.
#include "sim_test_util.h"

using namespace simtest;
namespace sim = qolven_sim;

namespace {

using SimParameters = SimFixture;
const Bytes kAck1{1, 4, 0x01, 0xAA};

TEST_F(SimParameters, FactoryDefaultsOfAnEepromBoard) {
    EXPECT_EQ(sim::eeprom("T1", 106), 0xFF22) << "unit code 34";
    EXPECT_EQ(sim::eeprom("T1", 114), 0xFF00) << "decimal point 0";
    EXPECT_EQ(sim::eeprom("T1", 118) & 0xFF, 21);
    EXPECT_EQ(sim::eeprom("T1", 120) & 0xFF, 7);
    EXPECT_EQ(sim::eeprom("T1", 122) & 0xFF, 11);
    EXPECT_EQ(sim::eeprom("T1", 96) & 0xFF, 1) << "loading points";
    EXPECT_EQ(sim::eeprom("T1", 100) & 0xFF, 0x70) << "PGA 7, rate 0";
    EXPECT_EQ(sim::memory_register("T1", 35), 34) << "average";
    EXPECT_EQ(sim::eeprom("T1", 64), 0) << "offset load";
    EXPECT_EQ(sim::eeprom("T1", 94), 2) << "full-scale load";
    EXPECT_EQ(((sim::eeprom("T1", 112) & 0xFF) << 16) | sim::eeprom("T1", 110), 2986902) << "shunt";
    EXPECT_EQ(sim::eeprom("T1", 6), 0xFFFF) << "unused loading point is erased";
    use_type(8);
    EXPECT_EQ(sim::eeprom("T1", 124), 360) << "pulses per rotation";
}

TEST_F(SimParameters, FactoryDefaultsOfTypes0And9) {
    use_type(0);
    EXPECT_EQ(sim::eeprom("T1", 126), 0x0022) << "direction 0, unit code 34";
    EXPECT_EQ(sim::eeprom("T1", 120) & 0xFF, 1);
    EXPECT_EQ(sim::eeprom("T1", 122) & 0xFF, 0x70);
    EXPECT_EQ(sim::eeprom("T1", 80), 0);
    EXPECT_EQ(sim::eeprom("T1", 118), 2);
    use_type(9);
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_EQ(sim::channel_register("T1", ch, 106), 34);
        EXPECT_EQ(sim::channel_register("T1", ch, 100), 0x70);
        EXPECT_EQ(sim::channel_register("T1", ch, 118), 21);
        EXPECT_EQ(sim::channel_register("T1", ch, 96), 1);
        EXPECT_EQ(sim::channel_register("T1", ch, 94), 2);
    }
}

TEST_F(SimParameters, SensorIdentificationPerType) {
    EXPECT_EQ(exchange(h, {1, 7, 0x20, 0x12, 0x34, 0x56, 0xAA}, 4), kAck1);
    EXPECT_EQ(sim::eeprom("T1", 104), 0xFF12);
    EXPECT_EQ(sim::eeprom("T1", 102), 0x3456);
    use_type(0);
    uint16_t low122 = sim::eeprom("T1", 122) & 0xFF;
    EXPECT_EQ(exchange(h, {1, 7, 0x20, 0x12, 0x34, 0x56, 0xAA}, 4), kAck1);
    EXPECT_EQ(sim::eeprom("T1", 124), 0x1234);
    EXPECT_EQ(sim::eeprom("T1", 122), 0x5600 | low122);
    use_type(9);
    EXPECT_EQ(exchange(h, {1, 8, 0x30, 1, 0x12, 0x34, 0x56, 0xAA}, 4), kAck1);
    EXPECT_EQ(sim::channel_register("T1", 1, 104), 0x12);
    EXPECT_EQ(sim::channel_register("T1", 1, 103), 0x34);
    EXPECT_EQ(sim::channel_register("T1", 1, 102), 0x56);
    EXPECT_EQ(exchange(h, {2, 7, 0x20, 0x12, 0x34, 0x56, 0xAA}, 5)[2], 0x4D) << "layout 0 refused on type 9";
}

TEST_F(SimParameters, SetLoadingPointStoresTheLiveCount) {
    auto c = board("LP", 2);
    c.signalOffset = 1193046;
    c.signalAmplitude = 0;
    c.signalNoise = 0;
    sim::attach(c);
    void *p = open_serial("LP");
    EXPECT_EQ(exchange(p, {1, 5, 0x24, 3, 0xAA}, 4), kAck1);
    EXPECT_EQ(sim::eeprom("LP", 14), 0x0212);  // status 2, high 0x12
    EXPECT_EQ(sim::eeprom("LP", 12), 0x3456);
    EXPECT_EQ(exchange(p, {2, 5, 0x24, 16, 0xAA}, 5)[2], 0x4F) << "point outside the table";
    EXPECT_EQ(exchange(p, {3, 7, 0x25, 4, 0x03, 0xE8, 0xAA}, 4), (Bytes{3, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::eeprom("LP", 72), 1000);
    EXPECT_EQ(exchange(p, {4, 5, 0x28, 8, 0xAA}, 4), (Bytes{4, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::eeprom("LP", 96), 0xFF08);
    // Offset value (point 0) follows Set_Loading_Point(0).
    exchange(p, {5, 5, 0x24, 0, 0xAA}, 4);
    EXPECT_EQ(exchange(p, {6, 4, 0x40, 0xAA}, 8), (Bytes{6, 8, 0x40, 2, 0x12, 0x34, 0x56, 0xAA}));
}

TEST_F(SimParameters, LoadingPointsOnTypes0And9) {
    use_type(0);
    EXPECT_EQ(exchange(h, {1, 5, 0x24, 19, 0xAA}, 4), kAck1) << "type 0 has 20 points";
    EXPECT_EQ(sim::eeprom("T1", 78) >> 8, 2);
    EXPECT_EQ(exchange(h, {2, 7, 0x25, 1, 0x01, 0x02, 0xAA}, 4), (Bytes{2, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::eeprom("T1", 82), 0x0102);
    EXPECT_EQ(exchange(h, {3, 5, 0x28, 8, 0xAA}, 4), (Bytes{3, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::eeprom("T1", 120) & 0xFF, 8);
    use_type(9);
    EXPECT_EQ(exchange(h, {4, 8, 0x35, 2, 4, 0x03, 0xE8, 0xAA}, 4), (Bytes{4, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::channel_register("T1", 2, 73), 0x03);
    EXPECT_EQ(sim::channel_register("T1", 2, 72), 0xE8);
    EXPECT_EQ(exchange(h, {5, 6, 0x34, 1, 2, 0xAA}, 4), (Bytes{5, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::channel_register("T1", 1, 11), 2) << "status byte of point 2";
    EXPECT_EQ(exchange(h, {6, 6, 0x38, 3, 5, 0xAA}, 4), (Bytes{6, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::channel_register("T1", 3, 96), 5);
}

TEST_F(SimParameters, AdcConfigurationAverageAndOutputs) {
    EXPECT_EQ(exchange(h, {1, 5, 0x29, 0x57, 0xAA}, 4), kAck1);
    EXPECT_EQ(sim::eeprom("T1", 100), 0xFF57);
    EXPECT_EQ(exchange(h, {2, 5, 0x2A, 16, 0xAA}, 4), (Bytes{2, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::memory_register("T1", 35), 16);
    EXPECT_EQ(exchange(h, {3, 5, 0x2B, 12, 0xAA}, 5)[2], 0x4D) << "voltage output only on 11, 14";
    use_type(14);
    sim::set_eeprom("T1", 126, 0x4000);
    EXPECT_EQ(exchange(h, {4, 5, 0x2B, 12, 0xAA}, 4), (Bytes{4, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::eeprom("T1", 126), 0x400C) << "system byte kept";
    EXPECT_EQ(exchange(h, {5, 5, 0x27, 1, 0xAA}, 5)[2], 0x4D) << "no load switch on 14";
    use_type(0);
    EXPECT_EQ(exchange(h, {6, 5, 0x29, 0x35, 0xAA}, 4), (Bytes{6, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::eeprom("T1", 122) & 0xFF, 0x35);
    EXPECT_EQ(exchange(h, {7, 5, 0x27, 9, 0xAA}, 4), (Bytes{7, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::memory_register("T1", 39), 9);
    use_type(9);
    EXPECT_EQ(exchange(h, {8, 6, 0x39, 2, 0x23, 0xAA}, 4), (Bytes{8, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::channel_register("T1", 2, 100), 0x23);
    EXPECT_EQ(exchange(h, {9, 6, 0x3A, 1, 16, 0xAA}, 4), (Bytes{9, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::memory_register("T1", 35), 16);
    EXPECT_EQ(exchange(h, {10, 6, 0x36, 3, 0x42, 0xAA}, 4), (Bytes{10, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::memory_register("T1", 51), 0x42) << "sensor configuration of channel 3";
}

TEST_F(SimParameters, CompletionPacketsOnType16) {
    EXPECT_EQ(exchange(h, {1, 7, 0x2C, 1, 2, 3, 0xAA}, 5), (Bytes{1, 5, 0x4D, 0x2C, 0xAA}));
    use_type(16);
    EXPECT_EQ(exchange(h, {2, 7, 0x2C, 1, 2, 3, 0xAA}, 8), (Bytes{2, 4, 0x01, 0xAA, 2, 4, 0x45, 0xAA}));
    EXPECT_EQ(sim::memory_register("T1", 44), 1);
    EXPECT_EQ(sim::memory_register("T1", 46), 3);
    EXPECT_EQ(exchange(h, {3, 6, 0x2D, 5, 6, 0xAA}, 8), (Bytes{3, 4, 0x01, 0xAA, 3, 4, 0x45, 0xAA}));
    EXPECT_EQ(sim::memory_register("T1", 56), 5);
    auto c = board("C16", 16);
    c.completionDelayMs = 30;
    sim::attach(c);
    void *p = open_serial("C16");
    EXPECT_EQ(exchange(p, {4, 7, 0x2C, 1, 2, 3, 0xAA}, 4), (Bytes{4, 4, 0x01, 0xAA}));
    EXPECT_EQ(rx_visible(p), 0u);
    EXPECT_EQ(read_at_least(p, 4, 1000), (Bytes{4, 4, 0x45, 0xAA}));
}

TEST_F(SimParameters, CalibrationRegisterOnTypes5And10) {
    EXPECT_EQ(exchange(h, {1, 7, 0x23, 150, 1, 2, 0xAA}, 5)[2], 0x4D);
    use_type(10);
    EXPECT_EQ(exchange(h, {2, 7, 0x23, 150, 1, 2, 0xAA}, 4), (Bytes{2, 4, 0x01, 0xAA}));
    EXPECT_EQ(sim::eeprom("T1", 150), 0x0102);
}

TEST_F(SimParameters, Type15RefusesBoardCommands) {
    use_type(15);
    EXPECT_EQ(exchange(h, {1, 5, 0x28, 1, 0xAA}, 5)[2], 0x4D);
    EXPECT_EQ(exchange(h, {2, 4, 0x42, 0xAA}, 8).size(), 8u) << "but measures";
}

} // namespace
