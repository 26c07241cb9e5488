// Board identification, activity inquiry and the raw register primitives.
#include "fixture.h"

namespace {

class Identity : public BoardTest {};

TEST_F(Identity, DecodesTypeVersionsAndDateNibbles) {
    qolven_sim::BoardConfig c;
    c.answerDelayUs = 0;
    c.hardwareVersion = 3;
    c.firmwareVersion = 7;
    c.firmwareYear = 11;
    c.firmwareMonth = 5;
    useBoard(16, c);
    EXPECT_EQ(dev.Get_Type_of_Board(h), "16");
    EXPECT_EQ(dev.Get_Hardware_Version(h), "3");
    EXPECT_EQ(dev.Get_Firmware_Version(h), "7");
    EXPECT_EQ(dev.Get_Firmware_Year(h), "11");
    EXPECT_EQ(dev.Get_Firmware_Month(h), "5");
    EXPECT_EQ(requests()[0], (Bytes{0, 4, 0x44, 0xAA}));
    dev.Get_Version_of_Board(h);
    EXPECT_EQ(dev.boardType, 16);
    // One character whose code is the value, not its digits.
    EXPECT_EQ(dev.boardTypeText, std::string(1, char(16)));
    EXPECT_EQ(dev.hardwareVersionText, std::string(1, char(3)));
    EXPECT_EQ(dev.firmwareVersionText, std::string(1, char(7)));
    EXPECT_EQ(dev.firmwareYearText, std::string(1, char(11)));
    EXPECT_EQ(dev.firmwareMonthText, std::string(1, char(5)));
}

TEST_F(Identity, FailedIdentificationMarksTheBoardUnknown) {
    dev.Get_Version_of_Board(h);
    EXPECT_EQ(dev.boardType, 2);
    qolven_sim::set_fault(serial, {qolven_sim::Fault::NoAnswer});
    dev.Get_Version_of_Board(h);
    EXPECT_EQ(dev.boardType, 255);
    EXPECT_EQ(dev.boardTypeText, "Error");
    EXPECT_EQ(dev.firmwareMonthText, "Error");
    EXPECT_STREQ(dev.lastErrorText, "Timeout Error");
    // Everything that dispatches on the type refuses the unknown board...
    qolven_sim::set_fault(serial, {qolven_sim::Fault::NoAnswer});
    EXPECT_EQ(dev.Get_Decimal_Point(h, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Timeout Error");
    // ...and the getters leave boardType alone.
    qolven_sim::set_fault(serial, {qolven_sim::Fault::NoAnswer});
    EXPECT_EQ(dev.Get_Type_of_Board(h), "Error");
    EXPECT_EQ(dev.boardTypeText, "Error");
}

TEST_F(Identity, SuccessAfterFailureClearsTheErrorText) {
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongEnd});
    EXPECT_EQ(dev.Get_Firmware_Version(h), "Error");
    EXPECT_STREQ(dev.lastErrorText, "End Of Packet Error");
    EXPECT_EQ(dev.Get_Firmware_Version(h), "4");
    EXPECT_STREQ(dev.lastErrorText, "");
}

TEST_F(Identity, ActivityInquiryIsAnAcknowledgedPing) {
    EXPECT_EQ(dev.Slave_Activity_Inquiry(h), "0");
    EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 4, 0x01, 0xAA}}));
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongNumber});
    EXPECT_EQ(dev.Slave_Activity_Inquiry(h), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Packet Number Error");
}

class Registers : public BoardTest {};

TEST_F(Registers, RequestBytesAndResults) {
    qolven_sim::set_eeprom(serial, 40, 0x012C);
    qolven_sim::set_channel_register(serial, 2, 114, 0x41);
    qolven_sim::set_memory_register(serial, 35, 7);
    qolven_sim::set_teds_register(serial, 0x0102, 99);

    EXPECT_EQ(dev.Read_EEPROM_Register(h, 40), std::string("\x01\x2c", 2));
    EXPECT_EQ(dev.eepromHighByte, 0x01);
    EXPECT_EQ(dev.eepromLowByte, 0x2C);
    EXPECT_EQ(dev.Read_Channel_Register(h, 2, 114), "A");
    EXPECT_EQ(dev.Read_Memory_Register(h, 35), "7");
    EXPECT_EQ(dev.Read_TEDS_Register(h, 1, 2), "99");
    EXPECT_EQ(dev.Write_EEPROM_Register(h, 41, 0xAB, 0xCD), "0");
    EXPECT_EQ(dev.Write_Channel_Register(h, 2, 114, 3), "0");
    EXPECT_EQ(dev.Write_Memory_Register(h, 36, 9), "0");
    EXPECT_EQ(dev.Write_TEDS_Register(h, 1, 3, 77), "0");
    EXPECT_EQ(dev.Read_Page_Register(h, 4), "0");

    const std::vector<Bytes> expected = {
        {0, 5, 0x82, 40, 0xAA},          {0, 6, 0x86, 2, 114, 0xAA},     {0, 5, 0x80, 35, 0xAA},
        {0, 6, 0x84, 1, 2, 0xAA},         {0, 7, 0x83, 41, 0xAB, 0xCD, 0xAA}, {0, 7, 0x87, 2, 114, 3, 0xAA},
        {0, 6, 0x81, 36, 9, 0xAA},        {0, 7, 0x85, 1, 3, 77, 0xAA},    {0, 5, 0x88, 4, 0xAA},
    };
    EXPECT_EQ(requests(), expected);
    EXPECT_EQ(qolven_sim::eeprom(serial, 41), 0xABCD);
    EXPECT_EQ(qolven_sim::channel_register(serial, 2, 114), 3);
    EXPECT_EQ(qolven_sim::memory_register(serial, 36), 9);
    EXPECT_EQ(qolven_sim::teds_register(serial, 0x0103), 77);
    // The page stays in readBuffer behind the three header bytes.
    std::vector<uint8_t> page = qolven_sim::page(serial, 4);
    ASSERT_EQ(page.size(), 129u);
    EXPECT_EQ(Bytes(dev.adapter.readBuffer + 3, dev.adapter.readBuffer + 132), page);
    EXPECT_EQ(dev.adapter.readBuffer[132], 0xAA);
}

TEST_F(Registers, AcknowledgementWithAnotherNumberIsRefused) {
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongNumber});
    EXPECT_EQ(dev.Write_Channel_Register(h, 2, 114, 3), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Packet Number Error");
}

TEST_F(Registers, BoardRefusalIsReported) {
    qolven_sim::set_fault(serial, {qolven_sim::Fault::BoardError, qolven_sim::FaultMode::Next, 0x4C});
    EXPECT_EQ(dev.Write_TEDS_Register(h, 0, 1, 2), "Error");
    EXPECT_STREQ(dev.lastErrorText, "TEDS Error");
}

TEST_F(Registers, OfflinePrimitivesSendNothing) {
    dev.offlineMode = 1;
    EXPECT_EQ(dev.Read_EEPROM_Register(h, 1), "0");
    EXPECT_EQ(dev.Write_EEPROM_Register(h, 1, 2, 3), "0");
    EXPECT_EQ(dev.Read_Channel_Register(h, 1, 2), "0");
    EXPECT_EQ(dev.Write_Channel_Register(h, 1, 2, 3), "0");
    EXPECT_EQ(dev.Read_Memory_Register(h, 1), "0");
    EXPECT_EQ(dev.Write_Memory_Register(h, 1, 2), "0");
    EXPECT_EQ(dev.Read_TEDS_Register(h, 1, 2), "0");
    EXPECT_EQ(dev.Write_TEDS_Register(h, 1, 2, 3), "0");
    EXPECT_EQ(dev.Read_Page_Register(h, 1), "0");
    EXPECT_EQ(dev.Slave_Activity_Inquiry(h), "0");
    EXPECT_EQ(dev.Reset_Board(h), "0");
    EXPECT_TRUE(wire().empty());
}

} // namespace
