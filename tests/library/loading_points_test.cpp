// The loading-point table: board commands, entries and loads per board class.
#include "fixture.h"

#include <functional>

namespace {

using qolven_sim::Fault;
using qolven_sim::FaultMode;
using Call = std::function<std::string(QOLVEN_USB_DLL &, void *)>;

class LoadingPoints : public BoardTest {
protected:
    // Fails the n-th answer from now (the identification is the first).
    void failAnswer(int n, Fault kind = Fault::WrongEnd) {
        qolven_sim::set_fault(serial, {kind, FaultMode::EveryNth, -1, 0, n});
    }
};

TEST_F(LoadingPoints, BoardCommandsTakeTheBoardsForm) {
    struct Case {
        Call call;
        Bytes plain, channel;  // channel form on board type 9, channel 1
    };
    const Case cases[] = {
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Loading_Point(h, 3, 1); },
         {0, 5, 0x24, 3, 0xAA}, {0, 6, 0x34, 1, 3, 0xAA}},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Number_of_Loading_Points(h, 8, 1); },
         {0, 5, 0x28, 8, 0xAA}, {0, 6, 0x38, 1, 8, 0xAA}},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Load_of_Loading_Point(h, 4, 1000, 1); },
         {0, 7, 0x25, 4, 0x03, 0xE8, 0xAA}, {0, 8, 0x35, 1, 4, 0x03, 0xE8, 0xAA}},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Load_of_Loading_Point(h, 0, 65535, 1); },
         {0, 7, 0x25, 0, 0xFF, 0xFF, 0xAA}, {0, 8, 0x35, 1, 0, 0xFF, 0xFF, 0xAA}},
    };
    for (int type : {0, 2, 5, 9, 10, 16}) {
        SCOPED_TRACE(type);
        useBoard(type);
        for (const Case &c : cases) {
            clearWire();
            EXPECT_EQ(c.call(dev, h), "0") << error();
            EXPECT_EQ(afterIdentification(), std::vector<Bytes>{type == 9 ? c.channel : c.plain});
        }
    }
    useBoard(15);
    for (const Case &c : cases) {
        EXPECT_EQ(c.call(dev, h), "Error");
        EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
    }
    EXPECT_TRUE(afterIdentification().empty());
}

TEST_F(LoadingPoints, ArgumentsAreCheckedBeforeAnythingIsSent) {
    const std::pair<Call, const char *> cases[] = {
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Number_of_Loading_Points(h, 256, 0); }, "Invalid Number Of Loading Points"},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Loading_Point(h, -1, 0); }, "Invalid Loading Point"},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Load_of_Loading_Point(h, 256, 70000, 0); }, "Invalid Loading Point"},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Load_of_Loading_Point(h, 1, 65536, 0); }, "Invalid Load Value"},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Load_of_Loading_Point(h, 1, -1, 0); }, "Invalid Load Value"},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Get_Loading_Point(h, 0, 0, 2); }, "Invalid Type Of Calibration"},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Zero_Correction(h, 0, 0, 0, -1); }, "Invalid Type Of Calibration"},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Zero_Correction(h, 0, 16777216, 0, 0); }, "Invalid Zero Correction"},
        {[](QOLVEN_USB_DLL &d, void *h) { return d.Set_Zero_Correction(h, 0, -16777217, 0, 0); }, "Invalid Zero Correction"},
    };
    useBoard(15);  // refused, yet the arguments are judged first
    for (const auto &c : cases) {
        SCOPED_TRACE(c.second);
        EXPECT_EQ(c.first(dev, h), "Error");
        EXPECT_STREQ(dev.lastErrorText, c.second);
    }
    EXPECT_TRUE(wire().empty());
}

TEST_F(LoadingPoints, PointRangeFollowsTheBoardType) {
    for (auto [type, last] : {std::pair{0, 19}, {2, 15}, {9, 15}}) {
        SCOPED_TRACE(type);
        useBoard(type);
        EXPECT_NE(dev.Get_Loading_Point(h, last, 0, 0), "Error") << error();
        EXPECT_NE(dev.Get_Load_of_Loading_Point(h, last, 0), "Error") << error();
        for (int bad : {-1, last + 1}) {
            clearWire();
            EXPECT_EQ(dev.Get_Loading_Point(h, bad, 0, 0), "Error");
            EXPECT_STREQ(dev.lastErrorText, "Invalid Point");
            EXPECT_EQ(dev.Set_Zero_Correction(h, bad, 5, 0, 0), "Error");
            EXPECT_STREQ(dev.lastErrorText, "Invalid Point");
            EXPECT_EQ(dev.Get_Load_of_Loading_Point(h, bad, 0), "Error");
            EXPECT_STREQ(dev.lastErrorText, "Invalid Point");
            EXPECT_TRUE(afterIdentification().empty());
        }
    }
}

TEST_F(LoadingPoints, EntryRegistersAreReadStatusFirst) {
    useBoard(0);
    EXPECT_NE(dev.Get_Loading_Point(h, 19, 0, 0), "Error");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, 78, 0xAA}, {0, 5, 0x82, 76, 0xAA}}));
    useBoard(9);
    // The second block serves channels above 2 with the second type of calibration.
    for (auto [channel, type, base] : {std::tuple{3, 1, 64}, {2, 1, 0}, {3, 0, 0}}) {
        clearWire();
        EXPECT_NE(dev.Get_Loading_Point(h, 0, channel, type), "Error");
        std::vector<Bytes> reads;
        for (int r = 3; r >= 0; --r) reads.push_back({0, 6, 0x86, (uint8_t)channel, (uint8_t)(base + r), 0xAA});
        EXPECT_EQ(afterIdentification(), reads);
    }
}

TEST_F(LoadingPoints, ZeroCorrectionEncodingsReadBack) {
    struct Case {
        int count;
        uint8_t status, high, middle, low;
    };
    const Case cases[] = {{-1, 1, 0xFF, 0xFF, 0xFF}, {0, 2, 0, 0, 0}, {1193046, 2, 0x12, 0x34, 0x56},
                          {-16777216, 1, 0, 0, 0}, {16777215, 2, 0xFF, 0xFF, 0xFF}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.count);
        useBoard(2);
        EXPECT_EQ(dev.Set_Zero_Correction(h, 3, c.count, 1, 0), "0") << error();
        EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 7, 0x83, 14, c.status, c.high, 0xAA},
                                                             {0, 7, 0x83, 12, c.middle, c.low, 0xAA}}));
        EXPECT_EQ(dev.Get_Loading_Point(h, 3, 0, 0), std::to_string(c.count));
        useBoard(9);
        EXPECT_EQ(dev.Set_Zero_Correction(h, 1, c.count, 3, 1), "0") << error();
        EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 7, 0x87, 3, 71, c.status, 0xAA},
                                                             {0, 7, 0x87, 3, 70, c.high, 0xAA},
                                                             {0, 7, 0x87, 3, 69, c.middle, 0xAA},
                                                             {0, 7, 0x87, 3, 68, c.low, 0xAA}}));
        EXPECT_EQ(dev.Get_Loading_Point(h, 1, 3, 1), std::to_string(c.count));
    }
}

TEST_F(LoadingPoints, EntryTextsComeFromTheCountDecoder) {
    qolven_sim::set_eeprom(serial, 2, 0xFFFF);
    qolven_sim::set_eeprom(serial, 0, 0xFFFF);
    EXPECT_EQ(dev.Get_Loading_Point(h, 0, 0, 0), "Unassigned");
    qolven_sim::set_eeprom(serial, 2, 0x0000);
    qolven_sim::set_eeprom(serial, 0, 0x0000);
    EXPECT_EQ(dev.Get_Loading_Point(h, 0, 0, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "");
}

TEST_F(LoadingPoints, ReadsStopAtTheFirstFailure) {
    useBoard(9);
    for (int failing : {2, 3, 5}) {  // answer 1 is the identification
        SCOPED_TRACE(failing);
        clearWire();
        failAnswer(failing);
        EXPECT_EQ(dev.Get_Loading_Point(h, 0, 1, 0), "Error");
        EXPECT_STREQ(dev.lastErrorText, "End Of Packet Error");
        EXPECT_EQ(afterIdentification().size(), size_t(failing - 1));
        qolven_sim::clear_faults(serial);
    }
    clearWire();
    failAnswer(2);
    EXPECT_EQ(dev.Get_Load_of_Loading_Point(h, 2, 1), "Error");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 6, 0x86, 1, 69, 0xAA}}));
}

TEST_F(LoadingPoints, ZeroCorrectionMakesEveryWrite) {
    qolven_sim::set_eeprom(serial, 2, 0xABCD);
    failAnswer(2, Fault::BoardError);  // the first write is refused
    EXPECT_EQ(dev.Set_Zero_Correction(h, 0, 0x010203, 0, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Command Error");
    EXPECT_EQ(afterIdentification().size(), 2u);
    EXPECT_EQ(qolven_sim::eeprom(serial, 2), 0xABCD);
    EXPECT_EQ(qolven_sim::eeprom(serial, 0), 0x0203);
}

TEST_F(LoadingPoints, LoadsAndCountPerBoardClass) {
    useBoard(0);
    qolven_sim::set_eeprom(serial, 82, 0x1234);
    qolven_sim::set_eeprom(serial, 120, 0x0907);
    EXPECT_EQ(dev.Get_Load_of_Loading_Point(h, 1, 0), "4660");
    EXPECT_EQ(dev.Get_Number_of_Loading_Points(h, 0), "7");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, 0x82, 82, 0xAA}, {0, 5, 0x82, 120, 0xAA}}));
    useBoard(2);
    EXPECT_EQ(dev.Set_Load_of_Loading_Point(h, 5, 700, 0), "0");
    EXPECT_EQ(dev.Get_Load_of_Loading_Point(h, 5, 0), "700");
    EXPECT_EQ(dev.Set_Number_of_Loading_Points(h, 6, 0), "0");
    EXPECT_EQ(dev.Get_Number_of_Loading_Points(h, 0), "6");
    useBoard(9);
    qolven_sim::set_channel_register(serial, 2, 69, 0x01);
    qolven_sim::set_channel_register(serial, 2, 68, 0x2C);
    qolven_sim::set_channel_register(serial, 2, 96, 4);
    EXPECT_EQ(dev.Get_Load_of_Loading_Point(h, 2, 2), "300");
    EXPECT_EQ(dev.Get_Number_of_Loading_Points(h, 2), "4");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 6, 0x86, 2, 69, 0xAA}, {0, 6, 0x86, 2, 68, 0xAA},
                                                         {0, 6, 0x86, 2, 96, 0xAA}}));
}

TEST_F(LoadingPoints, Type5ReadsEntriesOnly) {
    useBoard(5);
    EXPECT_NE(dev.Get_Loading_Point(h, 15, 0, 0), "Error") << error();
    for (const Call &refused : std::vector<Call>{
             [](QOLVEN_USB_DLL &d, void *h) { return d.Set_Zero_Correction(h, 0, 1, 0, 0); },
             [](QOLVEN_USB_DLL &d, void *h) { return d.Get_Load_of_Loading_Point(h, 0, 0); },
             [](QOLVEN_USB_DLL &d, void *h) { return d.Get_Number_of_Loading_Points(h, 0); }}) {
        clearWire();
        EXPECT_EQ(refused(dev, h), "Error");
        EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
        EXPECT_TRUE(afterIdentification().empty());
    }
}

TEST(LoadingPointsOffline, AnswersWithoutTheBus) {
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    d->offlineMode = 1;
    EXPECT_EQ(d->Get_Number_of_Loading_Points(nullptr, 0), "1");
    EXPECT_EQ(d->Get_Loading_Point(nullptr, 99, 0, 7), "0");
    EXPECT_EQ(d->Get_Load_of_Loading_Point(nullptr, 0, 0), "0");
    EXPECT_EQ(d->Set_Zero_Correction(nullptr, 0, 1 << 30, 0, 9), "0");
    EXPECT_EQ(d->Set_Loading_Point(nullptr, -1, 0), "0");
    EXPECT_EQ(d->Set_Number_of_Loading_Points(nullptr, -1, 0), "0");
    EXPECT_EQ(d->Set_Load_of_Loading_Point(nullptr, 0, -1, 0), "0");
}

} // namespace
