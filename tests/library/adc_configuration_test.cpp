// Converter configuration byte (gain and sampling rate) and the average setting.
#include "fixture.h"

namespace {

class AdcConfiguration : public BoardTest {};

TEST_F(AdcConfiguration, RateChangeKeepsTheBoardsGain) {
    useBoard(1);
    qolven_sim::set_eeprom(serial, 100, 0x0052);
    EXPECT_EQ(dev.Get_ADC_PGA_Setting(h, 0), "5");
    EXPECT_EQ(dev.Get_ADC_Sampling_Rate(h, 0), "2");
    clearWire();
    EXPECT_EQ(dev.Set_ADC_Configuration(h, 7, 0), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, 100, 0xAA}, {0, 5, 0x29, 0x57, 0xAA}}));
    EXPECT_EQ(dev.Get_ADC_Sampling_Rate(h, 0), "7");
}

TEST_F(AdcConfiguration, RateChangePerBoardClass) {
    struct Case {
        int type;
        unsigned char rate, channel;
        std::vector<Bytes> wire;  // after identification
    };
    const Case cases[] = {
        {12, 14, 0, {{0, 5, 0x82, 100, 0xAA}, {0, 5, 0x29, 0x3B, 0xAA}}},  // 12 has no rate above 11
        {9, 3, 2, {{0, 6, 0x86, 2, 100, 0xAA}, {0, 6, 0x39, 2, 0x33, 0xAA}}},
        {0, 15, 1, {{0, 5, 0x82, 122, 0xAA}, {0, 5, 0x29, 0x3F, 0xAA}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        useBoard(c.type);
        qolven_sim::set_eeprom(serial, 100, 0xFF35);
        qolven_sim::set_eeprom(serial, 122, 0xFF35);
        qolven_sim::set_channel_register(serial, 2, 100, 0x35);
        EXPECT_EQ(dev.Set_ADC_Configuration(h, c.rate, c.channel), "0") << error();
        EXPECT_EQ(afterIdentification(), c.wire);
    }
}

TEST_F(AdcConfiguration, TypeZeroHasNoGainToRead) {
    useBoard(0);
    qolven_sim::set_eeprom(serial, 122, 0x0034);
    EXPECT_EQ(dev.Get_ADC_PGA_Setting(h, 0), "0");
    EXPECT_TRUE(afterIdentification().empty());
    EXPECT_EQ(dev.Get_ADC_Sampling_Rate(h, 0), "4");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, 122, 0xAA}}));
}

TEST_F(AdcConfiguration, WholeByteIsLimitedOnlyOnType12) {
    useBoard(12);
    EXPECT_EQ(dev.Set_ADC_Configuration2(h, 0xFF, 0), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x29, 0x7B, 0xAA}}));
    EXPECT_EQ(dev.pgaSetting, 7);
    EXPECT_EQ(dev.samplingRateCode, 11);
    for (int type : {1, 5, 10, 0}) {
        SCOPED_TRACE(type);
        useBoard(type);
        dev.samplingRateCode = 3;
        EXPECT_EQ(dev.Set_ADC_Configuration2(h, 0xFF, 0), "0") << error();
        EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x29, 0xFF, 0xAA}}));
        EXPECT_EQ(dev.samplingRateCode, 3);
    }
    useBoard(9);
    EXPECT_EQ(dev.Set_ADC_Configuration2(h, 0x12, 3), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 6, 0x39, 3, 0x12, 0xAA}}));
}

TEST_F(AdcConfiguration, RefusalsAndRangeCheck) {
    EXPECT_EQ(dev.Set_ADC_Configuration(h, 16, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Invalid Sampling Rate");
    EXPECT_EQ(dev.Set_Average_Setting(h, 256, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Invalid Average Setting");
    EXPECT_EQ(dev.Set_Average_Setting(h, -1, 0), "Error");
    EXPECT_TRUE(wire().empty());
    for (int type : {5, 10, 15, 17}) {
        SCOPED_TRACE(type);
        useBoard(type);
        bool handheld = type == 5 || type == 10;
        for (const std::string &refused : {dev.Set_ADC_Configuration(h, 1, 0), dev.Get_ADC_PGA_Setting(h, 0),
                                           dev.Get_ADC_Sampling_Rate(h, 0), dev.Get_Average_Setting(h, 0)})
            EXPECT_EQ(refused, "Error");
        EXPECT_EQ(dev.Set_ADC_Configuration2(h, 1, 0), handheld ? "0" : "Error");
        EXPECT_EQ(dev.Set_Average_Setting(h, 1, 0), handheld ? "0" : "Error");
        EXPECT_EQ(afterIdentification().size(), handheld ? 2u : 0u);
    }
}

TEST_F(AdcConfiguration, FailedReadBackSendsNoCommand) {
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongEnd, qolven_sim::FaultMode::EveryNth, -1, 0, 2});
    EXPECT_EQ(dev.Set_ADC_Configuration(h, 3, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "End Of Packet Error");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, 100, 0xAA}}));
}

TEST_F(AdcConfiguration, AverageSetting) {
    useBoard(9);
    EXPECT_EQ(dev.Set_Average_Setting(h, 16, 1), "0") << error();
    EXPECT_EQ(dev.Get_Average_Setting(h, 3), "16");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 6, 0x3A, 1, 16, 0xAA}, {0, 5, 0x80, 35, 0xAA}}));
    useBoard(2);
    EXPECT_EQ(dev.Set_Average_Setting(h, 255, 1), "0") << error();
    EXPECT_EQ(dev.Get_Average_Setting(h, 0), "255");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x2A, 255, 0xAA}, {0, 5, 0x80, 35, 0xAA}}));
    useBoard(0);
    EXPECT_EQ(dev.Set_Average_Setting(h, 5, 0), "0");
    EXPECT_EQ(dev.Get_Average_Setting(h, 0), "0");
    EXPECT_TRUE(afterIdentification().empty());
}

// Get_ADC_Configuration has no handle argument and goes through DeviceHandle;
// every other member uses the handle it is given.
TEST_F(AdcConfiguration, HandlesAreHonoured) {
    useBoard(9);
    dev.Get_Version_of_Board(h);
    ASSERT_EQ(dev.boardType, 9);
    qolven_sim::set_channel_register(serial, 1, 101, 0x61);
    EXPECT_EQ(dev.Get_ADC_Configuration(101, 1), "Finished");
    EXPECT_EQ(dev.pgaSetting, 6);
    EXPECT_EQ(dev.samplingRateCode, 1);

    qolven_sim::BoardConfig other;
    other.serial = "SIM0002";
    other.boardType = 1;
    other.answerDelayUs = 0;
    qolven_sim::attach(other);
    qolven_sim::set_eeprom(other.serial, 100, 0x0020);
    QOLVEN_USB_DLL second;
    second.Open_Device_Connection(&other.serial[0]);
    ASSERT_NE(second.DeviceHandle, nullptr);
    clearWire();
    EXPECT_EQ(dev.Set_ADC_Configuration(second.DeviceHandle, 5, 0), "0") << error();
    EXPECT_EQ(dev.Get_ADC_PGA_Setting(second.DeviceHandle, 0), "2");
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(qolven_sim::writes(other.serial).size(), 5u);
    EXPECT_EQ(qolven_sim::eeprom(other.serial, 100) & 0xFF, 0x25);
    second.Close_Device_Connection(second.DeviceHandle);
}

TEST(AdcConfigurationOffline, AnswersFromTheTable) {
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    d->offlineMode = 1;
    EXPECT_EQ(d->Get_ADC_PGA_Setting(nullptr, 0), "7");
    EXPECT_EQ(d->Get_ADC_Sampling_Rate(nullptr, 0), "0");
    EXPECT_EQ(d->Get_Average_Setting(nullptr, 0), "34");
    EXPECT_EQ(d->Get_ADC_Configuration(100, 0), "Finished");
    EXPECT_EQ(d->pgaSetting, 7);
    d->offlineValues[7] = 9;
    EXPECT_EQ(d->Set_ADC_Configuration(nullptr, 200, 0), "0");
    EXPECT_EQ(d->Get_ADC_Sampling_Rate(nullptr, 0), "0");
    EXPECT_EQ(d->Set_ADC_Configuration2(nullptr, 1, 0), "0");
    EXPECT_EQ(d->Set_Average_Setting(nullptr, -1, 0), "0");
}

} // namespace
