// Sensitivity and bridge resistance (one packed byte), the 24-bit shunt value
// and the read-only values of board type 16.
#include "fixture.h"

namespace {

using qolven_sim::Fault;
using qolven_sim::FaultMode;
using Getter = std::string (QOLVEN_USB_DLL::*)(void *, unsigned char);

class SensorBridge : public BoardTest {
protected:
    void failAnswer(int n, Fault kind) { qolven_sim::set_fault(serial, {kind, FaultMode::EveryNth, -1, 0, n}); }
};

TEST_F(SensorBridge, SensitivityKeepsTheStoredBridgeResistance) {
    qolven_sim::set_eeprom(serial, 98, 0xFF02);
    EXPECT_EQ(dev.Set_Sensitivity(h, 3, 1), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, 98, 0xAA}, {0, 7, 0x83, 98, 0xFF, 14, 0xAA}}));
    EXPECT_EQ(dev.Get_Sensitivity(h, 0), "3");
    EXPECT_EQ(dev.Get_Bridge_Resistance(h, 0), "2");
    EXPECT_EQ(dev.Set_Bridge_Resistance(h, 1, 0), "0");
    EXPECT_EQ(qolven_sim::eeprom(serial, 98), 0xFF0D);
}

// Type 0 keeps the bridge byte above the number of loading points.
TEST_F(SensorBridge, TypeZeroKeepsTheNumberOfLoadingPoints) {
    useBoard(0);
    qolven_sim::set_eeprom(serial, 120, 0x0108);
    EXPECT_EQ(dev.Set_Sensitivity(h, 2, 0), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, 120, 0xAA}, {0, 5, 0x82, 120, 0xAA},
                                                         {0, 7, 0x83, 120, 9, 8, 0xAA}}));
    EXPECT_EQ(dev.Get_Bridge_Resistance(h, 0), "1");
}

TEST_F(SensorBridge, ChannelBoardReadsTheOtherCodeFromTheChannelWritten) {
    useBoard(9);
    qolven_sim::set_channel_register(serial, 0, 98, 0x03);
    qolven_sim::set_channel_register(serial, 2, 98, 0x01);
    EXPECT_EQ(dev.Set_Sensitivity(h, 2, 2), "0") << error();
    EXPECT_EQ(afterIdentification(),
              (std::vector<Bytes>{{0, 6, 0x86, 2, 98, 0xAA}, {0, 7, 0x87, 2, 98, 9, 0xAA}}));
    EXPECT_EQ(qolven_sim::channel_register(serial, 0, 98), 0x03);
}

TEST_F(SensorBridge, FailedCompanionReadWritesNothing) {
    qolven_sim::set_eeprom(serial, 98, 0xFF02);
    failAnswer(3, Fault::WrongEnd);  // own identification, companion's identification, companion's read
    EXPECT_EQ(dev.Set_Sensitivity(h, 3, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "End Of Packet Error");
    EXPECT_EQ(afterIdentification().size(), 1u);
    EXPECT_EQ(qolven_sim::eeprom(serial, 98), 0xFF02);
}

TEST_F(SensorBridge, RangesAreCheckedBeforeAnythingIsSent) {
    EXPECT_EQ(dev.Set_Sensitivity(h, 4, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Invalid Sensitivity");
    EXPECT_EQ(dev.Set_Bridge_Resistance(h, -1, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Invalid Bridge Resistance");
    for (int bad : {-1, 16777216}) {
        EXPECT_EQ(dev.Set_Shunt_Value(h, bad, 0), "Error");
        EXPECT_STREQ(dev.lastErrorText, "Invalid Shunt Value");
    }
    EXPECT_TRUE(wire().empty());
}

TEST_F(SensorBridge, ShuntValueSpansThreeBytes) {
    useBoard(9);
    EXPECT_EQ(dev.Set_Shunt_Value(h, 1193046, 1), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 7, 0x87, 1, 112, 0x12, 0xAA},
                                                         {0, 7, 0x87, 1, 111, 0x34, 0xAA},
                                                         {0, 7, 0x87, 1, 110, 0x56, 0xAA}}));
    clearWire();
    EXPECT_EQ(dev.Get_Shunt_Value(h, 1), "1193046");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 6, 0x86, 1, 112, 0xAA}, {0, 6, 0x86, 1, 111, 0xAA},
                                                         {0, 6, 0x86, 1, 110, 0xAA}}));
    useBoard(2);
    EXPECT_EQ(dev.Set_Shunt_Value(h, 1193046, 1), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 7, 0x83, 112, 0xFF, 0x12, 0xAA},
                                                         {0, 7, 0x83, 110, 0x34, 0x56, 0xAA}}));
    useBoard(5);  // readable, not writable
    qolven_sim::set_eeprom(serial, 112, 0xFFFF);
    qolven_sim::set_eeprom(serial, 110, 0xFFFE);
    EXPECT_EQ(dev.Get_Shunt_Value(h, 0), "16777214");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, 112, 0xAA}, {0, 5, 0x82, 110, 0xAA}}));
    EXPECT_EQ(dev.Set_Shunt_Value(h, 1, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
    useBoard(0);  // has none
    EXPECT_EQ(dev.Set_Shunt_Value(h, 1, 0), "0");
    EXPECT_EQ(dev.Get_Shunt_Value(h, 0), "0");
    EXPECT_TRUE(afterIdentification().empty());
}

TEST_F(SensorBridge, ShuntWritesAllAndReportsTheFirstFailure) {
    useBoard(9);
    // Answers: identification, then the three writes; the first damaged, the last refused.
    qolven_sim::set_fault(serial, {Fault::BoardError, FaultMode::EveryNth, -1, 0, 4});
    qolven_sim::set_fault(serial, {Fault::WrongEnd, FaultMode::EveryNth, -1, 0, 2});
    EXPECT_EQ(dev.Set_Shunt_Value(h, 0x123456, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "End Of Packet Error");
    EXPECT_EQ(afterIdentification().size(), 3u);
    qolven_sim::clear_faults(serial);
    clearWire();
    qolven_sim::set_fault(serial, {Fault::WrongEnd, FaultMode::EveryNth, -1, 0, 3});
    EXPECT_EQ(dev.Get_Shunt_Value(h, 0), "Error");
    EXPECT_EQ(afterIdentification().size(), 2u);
}

TEST_F(SensorBridge, Type16ReadOnlyValues) {
    struct Case {
        Getter get;
        int reg;
        const char *value;  // of the register holding 0x012C
    };
    const Case cases[] = {{&QOLVEN_USB_DLL::Get_Shunt_Resistor, 160, "44"},
                          {&QOLVEN_USB_DLL::Get_Sensor_Sensitivity, 162, "300"},
                          {&QOLVEN_USB_DLL::Get_Zero_Potentiometer, 164, "300"},
                          {&QOLVEN_USB_DLL::Get_Span_1_Potentiometer, 166, "300"},
                          {&QOLVEN_USB_DLL::Get_Span_2_Potentiometer, 168, "300"}};
    for (int type : {16, 0, 2, 5, 9}) {
        SCOPED_TRACE(type);
        useBoard(type);
        for (const Case &c : cases) {
            qolven_sim::set_eeprom(serial, c.reg, 0x012C);
            clearWire();
            if (type == 16) {
                EXPECT_EQ((dev.*c.get)(h, 3), c.value);
                EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, (uint8_t)c.reg, 0xAA}}));
            } else {
                EXPECT_EQ((dev.*c.get)(h, 0), "Error");
                EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
                EXPECT_TRUE(afterIdentification().empty());
            }
        }
    }
}

TEST_F(SensorBridge, RefusedBoardTypes) {
    for (int type : {5, 10, 15, 17}) {
        SCOPED_TRACE(type);
        useBoard(type);
        for (const std::string &result : {dev.Set_Sensitivity(h, 1, 0), dev.Get_Sensitivity(h, 0),
                                          dev.Set_Bridge_Resistance(h, 1, 0), dev.Get_Bridge_Resistance(h, 0)}) {
            EXPECT_EQ(result, "Error");
        }
        EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
        if (type != 5) EXPECT_EQ(dev.Get_Shunt_Value(h, 0), "Error");
        EXPECT_TRUE(afterIdentification().empty());
    }
}

TEST(SensorBridgeOffline, AnswersFromTheTable) {
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    d->offlineMode = 1;
    EXPECT_EQ(d->Get_Shunt_Value(nullptr, 0), "2986902");
    for (Getter g : {&QOLVEN_USB_DLL::Get_Sensitivity, &QOLVEN_USB_DLL::Get_Bridge_Resistance,
                     &QOLVEN_USB_DLL::Get_Shunt_Resistor, &QOLVEN_USB_DLL::Get_Span_2_Potentiometer})
        EXPECT_EQ(((*d).*g)(nullptr, 0), "0");
    EXPECT_EQ(d->Set_Sensitivity(nullptr, 9, 0), "0");
    EXPECT_EQ(d->Set_Shunt_Value(nullptr, -1, 0), "0");
}

} // namespace
