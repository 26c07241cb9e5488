// The parameter path, exercised through the display settings.
#include "fixture.h"

namespace {

class DisplaySettings : public BoardTest {};

using Setter = std::string (QOLVEN_USB_DLL::*)(void *, int, unsigned char);
using Getter = std::string (QOLVEN_USB_DLL::*)(void *, unsigned char);
struct Setting {
    const char *name;
    Setter set;
    Getter get;
    unsigned char reg;
    const char *rangeText;
};
const Setting kSettings[] = {
    {"unit code", &QOLVEN_USB_DLL::Set_Unit_Code, &QOLVEN_USB_DLL::Get_Unit_Code, 106, "Invalid Unit Code"},
    {"decimal point", &QOLVEN_USB_DLL::Set_Decimal_Point, &QOLVEN_USB_DLL::Get_Decimal_Point, 114,
     "Invalid Decimal Point"},
    {"direction", &QOLVEN_USB_DLL::Set_Direction, &QOLVEN_USB_DLL::Get_Direction, 108, "Invalid Direction"},
};

TEST_F(DisplaySettings, RangeIsCheckedBeforeAnythingIsSent) {
    for (const Setting &s : kSettings) {
        SCOPED_TRACE(s.name);
        for (int bad : {-1, 256, INT32_MIN, INT32_MAX}) {
            clearWire();
            EXPECT_EQ((dev.*s.set)(h, bad, 0), "Error");
            EXPECT_STREQ(dev.lastErrorText, s.rangeText);
            EXPECT_TRUE(wire().empty());
        }
        EXPECT_EQ((dev.*s.set)(h, 0, 0), "0");
        EXPECT_EQ((dev.*s.set)(h, 255, 0), "0");
    }
}

TEST_F(DisplaySettings, EepromBoardsUseTheLowByteAndIgnoreTheChannel) {
    for (int type : {1, 2, 3, 4, 6, 7, 8, 11, 12, 13, 14, 16}) {
        SCOPED_TRACE(type);
        useBoard(type);
        for (const Setting &s : kSettings) {
            clearWire();
            EXPECT_EQ((dev.*s.set)(h, 1, 3), "0") << dev.lastErrorText;
            EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 7, 0x83, s.reg, 0xFF, 1, 0xAA}}));
            EXPECT_EQ(qolven_sim::eeprom(serial, s.reg), 0xFF01);
            clearWire();
            EXPECT_EQ((dev.*s.get)(h, 0), "1");
            EXPECT_EQ((dev.*s.get)(h, 2), "1");
            EXPECT_EQ(afterIdentification(),
                      (std::vector<Bytes>{{0, 5, 0x82, s.reg, 0xAA}, {0, 5, 0x82, s.reg, 0xAA}}));
        }
    }
}

TEST_F(DisplaySettings, ChannelBoardSelectsTheChannelRegister) {
    useBoard(9);
    for (const Setting &s : kSettings) {
        clearWire();
        EXPECT_EQ((dev.*s.set)(h, 3, 2), "0") << dev.lastErrorText;
        EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 7, 0x87, 2, s.reg, 3, 0xAA}}));
        EXPECT_EQ(qolven_sim::channel_register(serial, 2, s.reg), 3);
        qolven_sim::set_channel_register(serial, 1, s.reg, 7);
        clearWire();
        EXPECT_EQ((dev.*s.get)(h, 2), "3");
        EXPECT_EQ((dev.*s.get)(h, 1), "7");
        EXPECT_EQ(afterIdentification(),
                  (std::vector<Bytes>{{0, 6, 0x86, 2, s.reg, 0xAA}, {0, 6, 0x86, 1, s.reg, 0xAA}}));
    }
}

// Type 0 keeps direction (high byte) and unit code (low byte) in register 126
// and has no decimal point.
TEST_F(DisplaySettings, TypeZeroSharesRegister126) {
    useBoard(0);
    qolven_sim::set_eeprom(serial, 126, 0x0122);
    EXPECT_EQ(dev.Set_Unit_Code(h, 12, 0), "0") << dev.lastErrorText;
    EXPECT_EQ(afterIdentification(),
              (std::vector<Bytes>{{0, 5, 0x82, 126, 0xAA}, {0, 7, 0x83, 126, 1, 12, 0xAA}}));
    EXPECT_EQ(dev.Get_Direction(h, 0), "1");
    EXPECT_EQ(dev.Get_Unit_Code(h, 0), "12");
    EXPECT_EQ(dev.Set_Direction(h, 2, 3), "0");
    EXPECT_EQ(qolven_sim::eeprom(serial, 126), 0x020C);

    clearWire();
    EXPECT_EQ(dev.Set_Decimal_Point(h, 3, 0), "0");
    EXPECT_EQ(dev.Get_Decimal_Point(h, 0), "0");
    EXPECT_TRUE(afterIdentification().empty());
}

TEST_F(DisplaySettings, TypeZeroPartnerFailureWritesNothing) {
    useBoard(0);
    qolven_sim::set_eeprom(serial, 126, 0x0122);
    // Answers: own identification, partner identification, partner read (faulted).
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongEnd, qolven_sim::FaultMode::EveryNth, -1, 0, 3});
    EXPECT_EQ(dev.Set_Unit_Code(h, 12, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "End Of Packet Error");
    EXPECT_EQ(qolven_sim::eeprom(serial, 126), 0x0122);
}

TEST_F(DisplaySettings, UnsupportedBoardTypesAreRefusedAfterIdentification) {
    for (int type : {5, 10, 15, 17, 200}) {
        SCOPED_TRACE(type);
        useBoard(type);
        for (const Setting &s : kSettings) {
            clearWire();
            EXPECT_EQ((dev.*s.set)(h, 1, 0), "Error");
            EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
            EXPECT_EQ((dev.*s.get)(h, 0), "Error");
            EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
            EXPECT_TRUE(afterIdentification().empty());
            EXPECT_EQ(requests().size(), 2u);
        }
    }
}

TEST_F(DisplaySettings, FailedExchangesKeepTheirText) {
    qolven_sim::set_fault(serial, {qolven_sim::Fault::NoAnswer});
    EXPECT_EQ(dev.Set_Decimal_Point(h, 1, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Timeout Error");
    qolven_sim::set_fault(serial, {qolven_sim::Fault::BoardError, qolven_sim::FaultMode::EveryNth, 0x4D, 0, 2});
    EXPECT_EQ(dev.Set_Decimal_Point(h, 1, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Command Error");
    qolven_sim::clear_faults(serial);
    qolven_sim::inject_status("FT_Write", 10);
    EXPECT_EQ(dev.Get_Unit_Code(h, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Failed to Write Device");
    EXPECT_EQ(dev.lastStatus, 10u);
}

TEST(DisplaySettingsOffline, AnswersFromTheTable) {
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    d->offlineMode = 1;
    EXPECT_EQ(d->Get_Unit_Code(nullptr, 0), "34");
    EXPECT_EQ(d->Get_Direction(nullptr, 0), "0");
    EXPECT_EQ(d->Get_Decimal_Point(nullptr, 0), "0");
    for (const Setting &s : kSettings) EXPECT_EQ(((*d).*s.set)(nullptr, -5, 0), "0");
}

} // namespace
