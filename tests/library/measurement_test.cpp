// Count decoding, the single readings and the display page.
#include <cstdlib>

#include "fixture.h"

namespace {

struct Decode {
    unsigned char s, h, m, l;
    std::string text;
};

TEST(CountDecoding, StatusPrefixedCount) {
    const Decode cases[] = {
        {2, 0x12, 0x34, 0x56, "1193046"}, {1, 0xFF, 0xFF, 0xFF, "-1"},        {1, 0, 0, 0, "-16777216"},
        {2, 0, 0, 0, "0"},                {2, 0xFF, 0xFF, 0xFF, "16777215"},  {0, 0, 0, 0, "Error"},
        {0, 255, 255, 255, "Negative Overflow"}, {3, 0, 0, 0, "Positive Overflow"},
        {255, 255, 255, 255, "Unassigned"},      {0, 0, 0, 1, ""},             {3, 0, 0, 1, ""},
        {4, 0, 0, 0, std::string("Data \x04, \0, \0, \0", 15)},
        {255, 0, 0, 0, std::string("Data \xff, \0, \0, \0", 15)},
    };
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    for (const Decode &c : cases) EXPECT_EQ(d->Calculate_ADC_Value(c.s, c.h, c.m, c.l), c.text);
    // A value text "Error" is no failure: lastErrorText is not written.
    EXPECT_STREQ(d->lastErrorText, "");
}

TEST(CountDecoding, TwentyFourAndSixteenBitCounts) {
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    EXPECT_EQ(d->Calculate_PXV_ADC_Value2(0x80, 0, 0), "-8388608");
    EXPECT_EQ(d->Calculate_PXV_ADC_Value2(0x7F, 0xFF, 0xFF), "8388607");
    EXPECT_EQ(d->Calculate_PXV_ADC_Value2(0xFF, 0xFF, 0xFE), "-2");
    EXPECT_EQ(d->Calculate_PXV_ADC_Value(0x80, 0, 0), "8388608");
    EXPECT_EQ(d->Calculate_ADC_Value_Fast_Data_Request(0xFF, 0xFF, 0xFF), "16777215");
    EXPECT_EQ(d->Calculate_ADC_Value_Fast_Data_Request2(0x12, 0x34), "1193088");
    EXPECT_EQ(d->Calculate_ADC_Value_Fast_Data_Request2(0, 0), "128");
    d->offlineMode = 1;
    EXPECT_EQ(d->Calculate_ADC_Value(2, 1, 2, 3), "0");
    EXPECT_EQ(d->Calculate_PXV_ADC_Value(1, 2, 3), "0");
    EXPECT_EQ(d->Calculate_PXV_ADC_Value2(1, 2, 3), "0");
    EXPECT_EQ(d->Calculate_ADC_Value_Fast_Data_Request(1, 2, 3), "0");
    EXPECT_EQ(d->Calculate_ADC_Value_Fast_Data_Request2(1, 2), "0");
}

// The virtual board answers the offset and full-scale requests with the
// stored entries of the first and last loading point, byte for byte.
class Readings : public BoardTest {
protected:
    void storeEntry(int point, Bytes entry) {
        qolven_sim::set_eeprom(serial, 4 * point + 2, uint16_t(entry[0] << 8 | entry[1]));
        qolven_sim::set_eeprom(serial, 4 * point, uint16_t(entry[2] << 8 | entry[3]));
    }
};

TEST_F(Readings, RequestFormPerBoardType) {
    struct Case {
        int type;
        Bytes request;
    } cases[] = {{9, {0, 5, 0x52, 3, 0xAA}}, {2, {0, 4, 0x42, 0xAA}}, {0, {0, 4, 0x42, 0xAA}},
                 {5, {0, 4, 0x42, 0xAA}},    {15, {0, 4, 0x42, 0xAA}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        useBoard(c.type);
        std::string count = dev.Normal_Data_Request(h, 3);
        EXPECT_NE(count, "Error") << dev.lastErrorText;
        EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{c.request}));
    }
}

TEST_F(Readings, OffsetAndFullScaleCommands) {
    useBoard(9);
    EXPECT_NE(dev.Get_Offset_Value(h, 1), "Error");
    EXPECT_NE(dev.Get_Fullscale_Value(h, 1), "Error");
    useBoard(2);
    EXPECT_NE(dev.Get_Offset_Value(h, 1), "Error");
    EXPECT_NE(dev.Get_Fullscale_Value(h, 1), "Error");
    // The virtual board keeps the defaults of a calibrated sensor.
    EXPECT_EQ(dev.Get_Offset_Value(h, 0), "8386698");
    EXPECT_EQ(dev.Get_Fullscale_Value(h, 0), "12530488");
}

TEST_F(Readings, DecodingPerBoardType) {
    useBoard(9);
    // Type 9: the first data byte is not part of the count, which is unsigned.
    for (int reg = 0; reg < 4; ++reg) qolven_sim::set_channel_register(serial, 0, reg, reg == 2 ? 0x80 : 0);
    qolven_sim::set_channel_register(serial, 0, 3, 0x05);
    EXPECT_EQ(dev.Get_Offset_Value(h, 0), "8388608");
    useBoard(2);
    storeEntry(0, {0x01, 0xFF, 0xFF, 0xFE});
    EXPECT_EQ(dev.Get_Offset_Value(h, 0), "-2");
    storeEntry(0, {0x03, 0, 0, 0});
    EXPECT_EQ(dev.Get_Offset_Value(h, 0), "Positive Overflow");
    storeEntry(15, {0, 0, 0, 0});
    EXPECT_EQ(dev.Get_Fullscale_Value(h, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "");
}

TEST_F(Readings, LiveCountFollowsTheSignal) {
    qolven_sim::BoardConfig c;
    c.answerDelayUs = 0;
    c.signalAmplitude = 0;
    c.signalNoise = 0;
    c.signalOffset = 1193046;
    useBoard(2, c);
    EXPECT_EQ(dev.Normal_Data_Request(h, 0), "1193046");
}

// The answer comes a second late: even a thread the scheduler holds up for a
// long while on a loaded machine must not see it in its last look.
TEST_F(Readings, TenMillisecondLimit) {
    qolven_sim::set_fault(serial, {qolven_sim::Fault::Late, qolven_sim::FaultMode::EveryNth, -1, 1000000, 2});
    EXPECT_EQ(dev.Normal_Data_Request(h, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Timeout Error");
}

TEST(ReadingsOffline, AnswersFromTheTable) {
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    d->offlineMode = 1;
    EXPECT_EQ(d->Normal_Data_Request(nullptr, 9), "10458593");
    EXPECT_EQ(d->Get_Offset_Value(nullptr, 9), "8386698");
    EXPECT_EQ(d->Get_Fullscale_Value(nullptr, 9), "12530488");
}

class DisplayPage : public BoardTest {};

TEST_F(DisplayPage, FetchedPageFillsTheFourLines) {
    std::string page = "LOAD" + std::string(60, ' ');
    page[20] = '\0';
    page[40] = '\x1f';
    qolven_sim::set_display_page(serial, page);
    EXPECT_EQ(dev.Get_Display_Page(h), "0") << dev.lastErrorText;
    EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 4, 0x46, 0xAA}}));
    EXPECT_EQ(dev.displayLine1, "LOAD" + std::string(12, ' '));
    EXPECT_EQ(dev.displayLine2, page.substr(16, 16));
    EXPECT_EQ(dev.displayLine2.size(), 16u);
    EXPECT_EQ(dev.displayLine3, page.substr(32, 16));
    EXPECT_EQ(dev.displayLine4, std::string(16, ' '));
    EXPECT_EQ(dev.displayPageText, page);
    // The next exchange empties the page text, not the lines.
    EXPECT_EQ(dev.Slave_Activity_Inquiry(h), "0");
    EXPECT_EQ(dev.displayPageText, "");
    EXPECT_EQ(dev.displayLine1, "LOAD" + std::string(12, ' '));
}

TEST_F(DisplayPage, OfflineChangesNothing) {
    dev.displayLine1 = "kept";
    dev.offlineMode = 1;
    EXPECT_EQ(dev.Get_Display_Page(h), "0");
    dev.GetDisplayPage(3);
    EXPECT_EQ(dev.displayLine1, "kept");
    EXPECT_TRUE(wire().empty());
}

TEST_F(DisplayPage, StartBeyondTheBufferReadsNothing) {
    dev.GetDisplayPage(1000);
    EXPECT_EQ(dev.displayPageText, "");
    dev.GetDisplayPage(-1);
    EXPECT_EQ(dev.displayLine4, "");
}

} // namespace
