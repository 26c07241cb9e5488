// Offset and full-scale loads: one 16-bit value per board class.
#include "fixture.h"

#include <cstring>

namespace {

using Getter = std::string (QOLVEN_USB_DLL::*)(void *, unsigned char);

class Loads : public BoardTest {};

struct Load {
    const char *name;
    Getter get;
    int type0Reg, eepromReg, channelLowReg;
};
const Load kLoads[] = {
    {"offset", &QOLVEN_USB_DLL::Get_Offset_Load, 80, 64, 64},
    {"full scale", &QOLVEN_USB_DLL::Get_Fullscale_Load, 118, 94, 94},
};

TEST_F(Loads, EachBoardClassHasItsRegister) {
    for (const Load &l : kLoads) {
        SCOPED_TRACE(l.name);
        for (int type : {0, 2, 16}) {
            useBoard(type);
            int reg = type == 0 ? l.type0Reg : l.eepromReg;
            qolven_sim::set_eeprom(serial, reg, 0x03E8);
            EXPECT_EQ((dev.*l.get)(h, 3), "1000") << error();
            EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, (uint8_t)reg, 0xAA}}));
        }
        useBoard(9);
        qolven_sim::set_channel_register(serial, 2, l.channelLowReg + 1, 0xFF);
        qolven_sim::set_channel_register(serial, 2, l.channelLowReg, 0xFE);
        EXPECT_EQ((dev.*l.get)(h, 2), "65534") << error();
        EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 6, 0x86, 2, (uint8_t)(l.channelLowReg + 1), 0xAA},
                                                             {0, 6, 0x86, 2, (uint8_t)l.channelLowReg, 0xAA}}));
    }
}

TEST_F(Loads, ChannelBoardStopsAtTheFirstFailedRead) {
    useBoard(9);
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongEnd, qolven_sim::FaultMode::EveryNth, -1, 0, 2});
    EXPECT_EQ(dev.Get_Offset_Load(h, 1), "Error");
    EXPECT_STREQ(dev.lastErrorText, "End Of Packet Error");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 6, 0x86, 1, 65, 0xAA}}));
}

TEST_F(Loads, UnsupportedBoardsAreRefused) {
    for (int type : {5, 10, 15, 17}) {
        SCOPED_TRACE(type);
        useBoard(type);
        for (const Load &l : kLoads) {
            EXPECT_EQ((dev.*l.get)(h, 0), "Error");
            EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
        }
        EXPECT_TRUE(afterIdentification().empty());
    }
}

TEST(LoadsOffline, AnswersFromTheTable) {
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    d->offlineMode = 1;
    std::strcpy(d->lastErrorText, "stale");
    EXPECT_EQ(d->Get_Offset_Load(nullptr, 0), "0");
    EXPECT_STREQ(d->lastErrorText, "");
    EXPECT_EQ(d->Get_Fullscale_Load(nullptr, 0), "2");
}

} // namespace
