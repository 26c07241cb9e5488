// Construction, offline mode, status texts, discovery and connection.
#include <algorithm>
#include <cstring>

#include "fixture.h"

namespace {

TEST(Construction, EveryFieldStartsDefined) {
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    EXPECT_EQ(d->adapter.vendorId, 0x0403u);
    EXPECT_EQ(d->adapter.productId, 0x6001u);
    EXPECT_EQ(d->DeviceHandle, nullptr);
    EXPECT_EQ(d->adapter.ftHandle, nullptr);
    EXPECT_EQ(d->adapter.deviceInfoList, nullptr);
    EXPECT_EQ(d->requestNumber, 0);
    EXPECT_EQ(d->offlineMode, 0);
    EXPECT_EQ(d->offlineSerialNumber, 123456);
    EXPECT_STREQ(d->lastErrorText, "");
    EXPECT_EQ(d->sampleCounters[15][3], 0);
    const int expected[25] = {8386698, 12530488, 0, 2, 1, 10458593, 7, 0, 34, 0, 2986902, 0, 0,
                              21, 7, 11, 360, 0, 34, 2, 1, 4, 11, 1, 257};
    for (int i = 0; i < 25; ++i) EXPECT_EQ(d->offlineValues[i], expected[i]) << "entry " << i + 1;
}

TEST(StatusTexts, EveryD2xxStatusHasItsText) {
    const char *texts[] = {"OK", "Invalid Handle", "Device Not Found", "Device Not Opened", "IO Error",
                           "Insufficient Resources", "Invalid Parameter", "Invalid Baud Rate",
                           "Device Not Opened For Erase", "Device Not Opened For Write", "Failed to Write Device",
                           "EEPROM Read Failed", "EEPROM Write Failed", "EEPROM Erased Failed",
                           "EEPROM Not Present", "EEPROM Not Programmed", "Invalid Arguments", "Not Supported",
                           "Other Errors", "Device List Not Ready"};
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    for (unsigned s = 0; s < 20; ++s) {
        d->GetErrorDescription(s);
        EXPECT_STREQ(d->lastErrorText, texts[s]);
    }
    for (unsigned s : {20u, 255u, 0xFFFFFFFFu}) {
        d->GetErrorDescription(s);
        EXPECT_STREQ(d->lastErrorText, "Unknown Error");
    }
    // A shorter text leaves nothing of the longer one before it.
    d->GetErrorDescription(9);
    d->GetErrorDescription(4);
    EXPECT_STREQ(d->lastErrorText, "IO Error");
}

TEST(Offline, AnswersFromTheTableWithoutTouchingTheBus) {
    qolven_sim::reset();
    qolven_sim::clear_calls();
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    d->offlineMode = 1;
    EXPECT_EQ(d->Get_Device_Count(), "1");
    EXPECT_EQ(d->Get_Device_Serial_Number(reinterpret_cast<void *>(7)), "123456");
    d->Open_Device_Connection(const_cast<char *>("anything"));
    ASSERT_NE(d->DeviceHandle, nullptr);
    EXPECT_EQ(*static_cast<int *>(d->DeviceHandle), 123456);
    EXPECT_EQ(d->lastStatus, 0u);
    void *h = d->DeviceHandle;
    EXPECT_EQ(d->Get_Decimal_Point(h, 3), "0");
    EXPECT_EQ(d->Get_Calibration_Day(h, 0), "21");
    EXPECT_EQ(d->Get_Type_of_Board(h), "2");
    EXPECT_EQ(d->Set_Decimal_Point(h, 999, 0), "0");
    EXPECT_EQ(d->Get_Unit_Code(h, 0), "34");
    EXPECT_EQ(d->Normal_Data_Request(h, 0), "10458593");
    d->offlineValues[0] = 0;
    d->offlineValues[1] = 3;
    EXPECT_EQ(d->Normal_Data_Request(h, 0), "1");
    d->Get_Version_of_Board(h);
    EXPECT_EQ(d->boardType, 2);
    EXPECT_EQ(d->boardTypeText, std::string(1, '\x02'));
    EXPECT_EQ(d->firmwareYearText, std::string(1, '\x0b'));
    d->writeStatus = "kept";
    d->WritePacket(0);
    EXPECT_EQ(d->writeStatus, "kept");
    EXPECT_EQ(d->requestNumber, 0);
    d->Close_Device_Connection(h);
    EXPECT_EQ(d->lastStatus, 0u);
    EXPECT_TRUE(qolven_sim::calls().empty());
}

class Connection : public BoardTest {};

TEST_F(Connection, ListsAttachedBridges) {
    qolven_sim::BoardConfig second;
    second.serial = "SIM0002";
    qolven_sim::attach(second);
    EXPECT_EQ(dev.Get_Device_Count(), "2");
    std::vector<std::string> serials = qolven_sim::serials();
    for (size_t i = 0; i < serials.size(); ++i)
        EXPECT_EQ(dev.Get_Device_Serial_Number(reinterpret_cast<void *>(i)), serials[i]);
    // An index without a device fails and keeps the previous serial number.
    std::string before = dev.adapter.serialNumber;
    EXPECT_EQ(dev.Get_Device_Serial_Number(reinterpret_cast<void *>(9)), "Error");
    EXPECT_NE(dev.lastStatus, 0u);
    EXPECT_STRNE(dev.lastErrorText, "");
    EXPECT_EQ(std::string(dev.adapter.serialNumber), before);
}

TEST_F(Connection, OpensWithTheFixedTransportSettingsInOrder) {
    dev.Close_Device_Connection(h);
    h = nullptr;
    qolven_sim::clear_calls();
    std::string s = serial;
    dev.Open_Device_Connection(&s[0]);
    ASSERT_NE(dev.DeviceHandle, nullptr);
    h = dev.DeviceHandle;
    EXPECT_EQ(dev.lastStatus, 0u);
    std::vector<std::string> order;
    for (const auto &c : qolven_sim::calls()) {
        order.push_back(c.function);
        if (c.function == "FT_SetTimeouts") EXPECT_EQ(c.args, (std::vector<uint64_t>{500, 500}));
        if (c.function == "FT_SetUSBParameters") EXPECT_EQ(c.args, (std::vector<uint64_t>{8, 8}));
        if (c.function == "FT_SetLatencyTimer") EXPECT_EQ(c.args, (std::vector<uint64_t>{2}));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"FT_OpenEx", "FT_GetDeviceInfo", "FT_GetStatus", "FT_SetTimeouts",
                                                "FT_SetUSBParameters", "FT_SetLatencyTimer"}));
}

// A failure at any step leaves no handle, the step's status and its text,
// and no device left open behind the host's back.
TEST_F(Connection, FailureAtEachStepLeavesNoHandle) {
    const char *steps[] = {"FT_OpenEx", "FT_GetDeviceInfo", "FT_GetStatus", "FT_SetTimeouts", "FT_SetUSBParameters",
                           "FT_SetLatencyTimer"};
    dev.Close_Device_Connection(h);
    h = nullptr;
    for (const char *step : steps) {
        SCOPED_TRACE(step);
        qolven_sim::clear_calls();
        qolven_sim::inject_status(step, 4);
        std::string s = serial;
        dev.Open_Device_Connection(&s[0]);
        EXPECT_EQ(dev.DeviceHandle, nullptr);
        EXPECT_EQ(dev.lastStatus, 4u);
        EXPECT_STREQ(dev.lastErrorText, "IO Error");
        std::vector<std::string> order;
        for (const auto &c : qolven_sim::calls()) order.push_back(c.function);
        bool opened = std::string(step) != "FT_OpenEx";
        EXPECT_EQ(std::count(order.begin(), order.end(), "FT_Close"), opened ? 1 : 0);
        if (std::string(step) != "FT_SetLatencyTimer")
            EXPECT_EQ(std::count(order.begin(), order.end(), "FT_SetLatencyTimer"), 0);
        // The device is free again: a plain open succeeds.
        dev.Open_Device_Connection(&s[0]);
        ASSERT_NE(dev.DeviceHandle, nullptr) << dev.lastErrorText;
        dev.Close_Device_Connection(dev.DeviceHandle);
    }
}

TEST_F(Connection, UnknownOrOverlongSerialNumberOpensNothing) {
    dev.Close_Device_Connection(h);
    h = nullptr;
    std::string unknown = "NOPE";
    dev.Open_Device_Connection(&unknown[0]);
    EXPECT_EQ(dev.DeviceHandle, nullptr);
    EXPECT_EQ(dev.lastStatus, 2u);
    EXPECT_STREQ(dev.lastErrorText, "Device Not Found");

    // 16 characters whose first 15 name an attached device must not open it.
    qolven_sim::BoardConfig c;
    c.serial = "ABCDEFGHIJKLMNO";
    qolven_sim::attach(c);
    qolven_sim::clear_calls();
    std::string longer = "ABCDEFGHIJKLMNOP";
    dev.Open_Device_Connection(&longer[0]);
    EXPECT_EQ(dev.DeviceHandle, nullptr);
    EXPECT_STREQ(dev.lastErrorText, "Invalid Serial Number");
    EXPECT_TRUE(qolven_sim::calls().empty());
}

TEST_F(Connection, CloseAndUseAfterClose) {
    dev.Close_Device_Connection(h);
    EXPECT_EQ(dev.lastStatus, 0u);
    // The closed handle is refused by the bridge with its text.
    EXPECT_EQ(dev.Get_Type_of_Board(h), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Invalid Handle");
    dev.Close_Device_Connection(h);
    EXPECT_EQ(dev.lastStatus, 1u);
    EXPECT_STREQ(dev.lastErrorText, "Invalid Handle");
    h = nullptr;
}

TEST_F(Connection, ReadNeverWritesPastReadBuffer) {
    qolven_sim::set_board_silent(serial, true);
    unsigned char guard[sizeof dev.adapter.writeBuffer];
    std::memcpy(guard, dev.adapter.writeBuffer, sizeof guard);
    dev.adapter.ftHandle = h;
    dev.adapter.QOLVEN_FT_GetStatus();
    qolven_sim::queue_rx(serial, Bytes(3000, 0x5A));
    dev.adapter.QOLVEN_FT_Read(3000);
    EXPECT_EQ(dev.adapter.ftStatus, 0u);
    EXPECT_EQ(dev.adapter.readBuffer[1023], 0x5A);
    EXPECT_EQ(std::memcmp(guard, dev.adapter.writeBuffer, sizeof guard), 0);
    EXPECT_EQ(qolven_sim::rx_pending(serial), 3000u - 1024u);
}

TEST_F(Connection, PurgeEmptiesBothQueues) {
    qolven_sim::clear_calls();
    dev.adapter.ftHandle = h;
    dev.adapter.QOLVEN_FT_Purge();
    ASSERT_FALSE(qolven_sim::calls().empty());
    EXPECT_EQ(qolven_sim::calls().back().function, "FT_Purge");
    EXPECT_EQ(qolven_sim::calls().back().args, (std::vector<uint64_t>{3}));
}

} // namespace
