// Front-panel key emulation on the handheld displays.
#include "fixture.h"

namespace {

class Keys : public BoardTest {};

using KeyCall = std::string (QOLVEN_USB_DLL::*)(void *);
struct Key {
    KeyCall press;
    int code;
};
const Key kKeys[] = {
    {&QOLVEN_USB_DLL::Change_Battery_Enter, 0x60}, {&QOLVEN_USB_DLL::Change_Tare_Up, 0x61},
    {&QOLVEN_USB_DLL::Change_Display_Back, 0x62},  {&QOLVEN_USB_DLL::Change_Reset_Left, 0x63},
    {&QOLVEN_USB_DLL::Change_Menu, 0x64},          {&QOLVEN_USB_DLL::Change_Unit_Right, 0x65},
    {&QOLVEN_USB_DLL::Change_Shunt_Exit, 0x66},    {&QOLVEN_USB_DLL::Change_Hold_Down, 0x67},
};

TEST_F(Keys, EachKeySendsItsCodeOnTheHandheldDisplays) {
    for (int board : {5, 10}) {
        useBoard(board);
        std::vector<int> pressed;
        for (const Key &k : kKeys) {
            SCOPED_TRACE(testing::Message() << "board " << board << " key " << k.code);
            clearWire();
            EXPECT_EQ((dev.*k.press)(h), "0") << error();
            EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 4, 0x44, 0xAA}, {0, 4, uint8_t(k.code), 0xAA}}));
            pressed.push_back(k.code);
        }
        EXPECT_EQ(qolven_sim::key_presses(serial), pressed);
    }
}

TEST_F(Keys, OtherBoardsAreRefusedAfterTheIdentification) {
    for (int board : {0, 2, 9, 15, 16}) {
        useBoard(board);
        for (const Key &k : kKeys) {
            SCOPED_TRACE(testing::Message() << "board " << board << " key " << k.code);
            clearWire();
            EXPECT_EQ((dev.*k.press)(h), "Error");
            EXPECT_EQ(error(), "Invalid Type of Board");
            EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 4, 0x44, 0xAA}}));
        }
    }
}

TEST_F(Keys, FailedIdentificationSendsNoKey) {
    useBoard(10);
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongEnd});
    EXPECT_EQ(dev.Change_Menu(h), "Error");
    EXPECT_EQ(error(), "End Of Packet Error");
    EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 4, 0x44, 0xAA}}));
    EXPECT_TRUE(qolven_sim::key_presses(serial).empty());
}

TEST_F(Keys, OfflineEveryKeyAnswersAtOnce) {
    dev.offlineMode = 1;
    for (const Key &k : kKeys) EXPECT_EQ((dev.*k.press)(h), "0");
    EXPECT_TRUE(wire().empty());
}

} // namespace
