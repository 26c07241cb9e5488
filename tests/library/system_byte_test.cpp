// Sensor identity, sensor configuration and the system byte: crosstalk, type
// of calibration, number of active channels and active page.
#include "fixture.h"

#include <cstring>

namespace {

class SystemByte : public BoardTest {
protected:
    size_t identifications() { return requests().size() - afterIdentification().size(); }
};

using Getter = std::string (QOLVEN_USB_DLL::*)(void *, unsigned char);
using Setter = std::string (QOLVEN_USB_DLL::*)(void *, int, unsigned char);
const Bytes kReadChannel0{0, 6, 0x86, 0, 127, 0xAA};
const Bytes kRead126{0, 5, 0x82, 126, 0xAA};

TEST_F(SystemByte, ChannelBoardRebuildsTheByteFromTheOtherFields) {
    useBoard(9);
    // Type of calibration 1, two active channels, page 5.
    qolven_sim::set_channel_register(serial, 0, 127, 0x65);
    EXPECT_EQ(dev.Set_Active_Page_Number(h, 3, 0), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{kReadChannel0, kReadChannel0, kReadChannel0,
                                                         {0, 7, 0x87, 0, 127, 0x63, 0xAA}}));
    EXPECT_EQ(identifications(), 4u);
    EXPECT_EQ(dev.Get_Active_Page_Number(h, 0), "3");
    EXPECT_EQ(dev.Get_Number_of_Active_Channels(h, 0), "2");

    qolven_sim::set_channel_register(serial, 0, 127, 0x65);
    EXPECT_EQ(dev.Set_CrossTalk(h, 1, 0), "0") << error();
    EXPECT_EQ(qolven_sim::channel_register(serial, 0, 127), 0xE5);
    EXPECT_EQ(dev.Get_CrossTalk(h, 0), "1.000000");
    EXPECT_EQ(dev.Get_Type_of_Calibration(h, 0), "1");
}

TEST_F(SystemByte, ChannelBoardKeepsTheOtherFieldsOfTheChannelWritten) {
    useBoard(9);
    qolven_sim::set_channel_register(serial, 0, 127, 0xE7);
    qolven_sim::set_channel_register(serial, 2, 127, 0x21);
    EXPECT_EQ(dev.Set_Active_Page_Number(h, 4, 2), "0") << error();
    const Bytes readChannel2{0, 6, 0x86, 2, 127, 0xAA};
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{readChannel2, readChannel2, readChannel2,
                                                         {0, 7, 0x87, 2, 127, 0x24, 0xAA}}));
    EXPECT_EQ(qolven_sim::channel_register(serial, 0, 127), 0xE7);
}

TEST_F(SystemByte, EepromBoardsKeepTheVoltageOutputInTheLowByte) {
    struct Case {
        Setter set;
        int value;
        uint16_t before, after;
    } cases[] = {
        {&QOLVEN_USB_DLL::Set_Type_of_Calibration, 1, 0x0003, 0x4003},
        {&QOLVEN_USB_DLL::Set_Number_of_Active_Channels, 3, 0x0005, 0x3005},
        {&QOLVEN_USB_DLL::Set_Active_Page_Number, 0, 0xFFFF, 0xF0FF},  // bit 3 is written as 0
        {&QOLVEN_USB_DLL::Set_CrossTalk, 0, 0xC2A0, 0x42A0},
    };
    for (int board : {11, 14}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << "board " << board << " before " << c.before);
            useBoard(board);
            qolven_sim::set_eeprom(serial, 126, c.before);
            EXPECT_EQ((dev.*c.set)(h, c.value, 1), "0") << error();
            // Three fields and the voltage output read back, then one write.
            EXPECT_EQ(afterIdentification(),
                      (std::vector<Bytes>{kRead126, kRead126, kRead126, kRead126,
                                          {0, 7, 0x83, 126, uint8_t(c.after >> 8), uint8_t(c.after), 0xAA}}));
            EXPECT_EQ(identifications(), 5u);
        }
    }
}

TEST_F(SystemByte, ArgumentsAreCheckedBeforeAnythingIsSent) {
    struct Case {
        Setter set;
        int max;
        const char *text;
    } cases[] = {
        {&QOLVEN_USB_DLL::Set_Active_Page_Number, 7, "Invalid Active Page Number"},
        {&QOLVEN_USB_DLL::Set_Number_of_Active_Channels, 3, "Invalid Number of Active Channels"},
        {&QOLVEN_USB_DLL::Set_CrossTalk, 1, "Invalid CrossTalk"},
        {&QOLVEN_USB_DLL::Set_Type_of_Calibration, 1, "Invalid Type Of Calibration"},
        {&QOLVEN_USB_DLL::Set_Sensor_Configuration, 255, "Invalid Sensor Configuration"},
        {&QOLVEN_USB_DLL::Set_Sensor_Identification_Number, 16777215, "Invalid Serial Number"},
    };
    useBoard(9);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        for (int bad : {-1, c.max + 1, INT32_MIN}) {
            clearWire();
            EXPECT_EQ((dev.*c.set)(h, bad, 0), "Error");
            EXPECT_EQ(error(), c.text);
            EXPECT_TRUE(wire().empty());
        }
        EXPECT_EQ((dev.*c.set)(h, c.max, 0), "0") << error();
    }
}

TEST_F(SystemByte, OnlyTheBoardsWithASystemByteServeIt) {
    const Getter getters[] = {&QOLVEN_USB_DLL::Get_CrossTalk, &QOLVEN_USB_DLL::Get_Type_of_Calibration,
                              &QOLVEN_USB_DLL::Get_Active_Page_Number, &QOLVEN_USB_DLL::Get_Number_of_Active_Channels};
    const Setter setters[] = {&QOLVEN_USB_DLL::Set_CrossTalk, &QOLVEN_USB_DLL::Set_Type_of_Calibration,
                              &QOLVEN_USB_DLL::Set_Active_Page_Number, &QOLVEN_USB_DLL::Set_Number_of_Active_Channels};
    for (int board : {0, 1, 2, 8, 10, 13, 15, 16}) {
        SCOPED_TRACE(board);
        useBoard(board);
        for (Getter g : getters) EXPECT_EQ((dev.*g)(h, 0), "Error");
        for (Setter s : setters) EXPECT_EQ((dev.*s)(h, 1, 0), "Error");
        EXPECT_EQ(error(), "Invalid Type of Board");
        EXPECT_TRUE(afterIdentification().empty());
    }
}

TEST_F(SystemByte, FailedCompanionReadWritesNothing) {
    useBoard(9);
    qolven_sim::set_channel_register(serial, 0, 127, 0x65);
    // Answers: own identification, then identification and read of the first companion.
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongCommand, qolven_sim::FaultMode::EveryNth, 0x4F, 0, 3});
    EXPECT_EQ(dev.Set_CrossTalk(h, 1, 0), "Error");
    EXPECT_EQ(error(), "Packet Command Error");
    qolven_sim::clear_faults(serial);
    for (const Bytes &b : requests()) EXPECT_NE(b[2], 0x87);
    EXPECT_EQ(qolven_sim::channel_register(serial, 0, 127), 0x65);
}

TEST_F(SystemByte, IdentificationNumberCommand) {
    struct Case {
        int board;
        unsigned char channel;
        Bytes sent;
    } cases[] = {
        {2, 1, {0, 7, 0x20, 0x12, 0x34, 0x56, 0xAA}},
        {0, 1, {0, 7, 0x20, 0x12, 0x34, 0x56, 0xAA}},
        {10, 1, {0, 7, 0x20, 0x12, 0x34, 0x56, 0xAA}},
        {9, 1, {0, 8, 0x30, 1, 0x12, 0x34, 0x56, 0xAA}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.board);
        useBoard(c.board);
        EXPECT_EQ(dev.Set_Sensor_Identification_Number(h, 1193046, c.channel), "0") << error();
        EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{c.sent}));
    }
    useBoard(15);
    EXPECT_EQ(dev.Set_Sensor_Identification_Number(h, 1, 0), "Error");
    EXPECT_EQ(error(), "Invalid Type of Board");
    EXPECT_EQ(dev.Set_Sensor_Configuration(h, 1, 0), "Error");
    EXPECT_TRUE(afterIdentification().empty());
}

TEST_F(SystemByte, SensorConfigurationCommand) {
    EXPECT_EQ(dev.Set_Sensor_Configuration(h, 255, 3), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x26, 255, 0xAA}}));
    useBoard(9);
    EXPECT_EQ(dev.Set_Sensor_Configuration(h, 7, 3), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 6, 0x36, 3, 7, 0xAA}}));
}

TEST_F(SystemByte, IdentificationNumberIsGatheredFromThreeBytes) {
    struct Case {
        int board;
        std::vector<std::pair<int, uint16_t>> eeprom;
        std::vector<Bytes> reads;
    } cases[] = {
        {0, {{124, 0x1234}, {122, 0x5699}}, {{0, 5, 0x82, 124, 0xAA}, {0, 5, 0x82, 122, 0xAA}}},
        {2, {{104, 0xAB12}, {102, 0x3456}}, {{0, 5, 0x82, 104, 0xAA}, {0, 5, 0x82, 102, 0xAA}}},
        {9, {}, {{0, 6, 0x86, 1, 104, 0xAA}, {0, 6, 0x86, 1, 103, 0xAA}, {0, 6, 0x86, 1, 102, 0xAA}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.board);
        useBoard(c.board);
        for (const auto &r : c.eeprom) qolven_sim::set_eeprom(serial, r.first, r.second);
        for (int reg = 102; reg <= 104; ++reg) qolven_sim::set_channel_register(serial, 1, reg, 0x12 + 0x22 * (104 - reg));
        EXPECT_EQ(dev.Get_Sensor_Identification_Number(h, 1), "1193046") << error();
        EXPECT_EQ(afterIdentification(), c.reads);
    }
    // The first failed read ends the getter.
    qolven_sim::set_fault(serial, {qolven_sim::Fault::NoAnswer, qolven_sim::FaultMode::EveryNth, -1, 0, 3});
    clearWire();
    EXPECT_EQ(dev.Get_Sensor_Identification_Number(h, 1), "Error");
    EXPECT_EQ(error(), "Timeout Error");
    EXPECT_EQ(afterIdentification().size(), 2u);
}

TEST_F(SystemByte, InternalRegisterIsReadWithoutIdentification) {
    qolven_sim::set_internal_register(serial, 5, 0x010203);
    EXPECT_EQ(dev.Get_Internal_Register(h, 5), "66051");
    EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 5, 0x47, 5, 0xAA}}));
    clearWire();
    for (int bad : {256, -1}) {
        std::strcpy(dev.lastErrorText, "old");
        EXPECT_EQ(dev.Get_Internal_Register(h, bad), "Error");
        EXPECT_EQ(error(), "");
    }
    EXPECT_TRUE(wire().empty());
}

TEST_F(SystemByte, OfflineAnswers) {
    dev.offlineMode = 1;
    EXPECT_EQ(dev.Get_Sensor_Identification_Number(h, 0), "123456");
    for (Getter g : {&QOLVEN_USB_DLL::Get_CrossTalk, &QOLVEN_USB_DLL::Get_Type_of_Calibration,
                     &QOLVEN_USB_DLL::Get_Active_Page_Number, &QOLVEN_USB_DLL::Get_Number_of_Active_Channels})
        EXPECT_EQ((dev.*g)(h, 0), "0");
    for (Setter s : {&QOLVEN_USB_DLL::Set_CrossTalk, &QOLVEN_USB_DLL::Set_Type_of_Calibration,
                     &QOLVEN_USB_DLL::Set_Active_Page_Number, &QOLVEN_USB_DLL::Set_Number_of_Active_Channels,
                     &QOLVEN_USB_DLL::Set_Sensor_Configuration, &QOLVEN_USB_DLL::Set_Sensor_Identification_Number})
        EXPECT_EQ((dev.*s)(h, 1, 0), "0");
    EXPECT_EQ(dev.Get_Internal_Register(h, 5), "0");
    EXPECT_TRUE(wire().empty());
}

} // namespace
