// Serial numbers longer than the 15 characters of D2XX's device information.  FT_ListDevices
// writes a bridge's whole serial number (up to 63 characters and the NUL): the library
// takes it without overflowing (the sanitize preset checks), gives it cut to 15 through its
// public field, lists it in full internally, and opening by the cut text opens nothing.
#include "fixture.h"

#include <cstring>

#include "transport/ftd2xx_api.h"
#include "transport/serial_numbers.h"

namespace {

using _QOLVEN_USB_DLL::detail::fullSerialNumber;

const char *const kShort = "QV0001";

class LongSerialNumbers : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        qolven_sim::reset();
        for (const std::string &serial : {std::string(kShort), GetParam()}) {
            qolven_sim::BoardConfig c;
            c.serial = serial;
            c.answerDelayUs = 0;
            qolven_sim::attach(c);
        }
    }
    void TearDown() override { qolven_sim::reset(); }
    std::string cut() const { return GetParam().substr(0, 15); }
    std::unique_ptr<QOLVEN_USB_DLL> dev = std::make_unique<QOLVEN_USB_DLL>();
};

TEST_P(LongSerialNumbers, ListedInFullInternallyAndCutInTheField) {
    EXPECT_EQ(dev->Get_Device_Count(), "2");
    EXPECT_EQ(dev->Get_Device_Serial_Number(reinterpret_cast<void *>(0)), kShort);
    EXPECT_EQ(dev->Get_Device_Serial_Number(reinterpret_cast<void *>(1)), cut());
    EXPECT_EQ(std::strlen(dev->adapter.serialNumber), 15u);

    uint32_t status = 99;
    EXPECT_EQ(fullSerialNumber(0, status), kShort);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(fullSerialNumber(1, status), GetParam());
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(fullSerialNumber(2, status), "");
    EXPECT_EQ(status, 2u);

    // The device-information nodes cut it at 15, NUL-terminated, as D2XX does.
    dev->adapter.QOLVEN_FT_GetDeviceInfoList();
    ASSERT_EQ(dev->adapter.ftStatus, 0u);
    ASSERT_EQ(dev->adapter.numDevices, 2u);
    auto *nodes = static_cast<FT_DEVICE_LIST_INFO_NODE *>(dev->adapter.deviceInfoList);
    EXPECT_STREQ(nodes[0].SerialNumber, kShort);
    EXPECT_EQ(std::string(nodes[1].SerialNumber), cut());
}

TEST_P(LongSerialNumbers, TheShortOneOpensTheCutTextOpensNothing) {
    std::string serial = kShort;
    dev->Open_Device_Connection(&serial[0]);
    ASSERT_NE(dev->DeviceHandle, nullptr) << dev->lastErrorText;
    EXPECT_EQ(dev->Get_Type_of_Board(dev->DeviceHandle), "2");
    dev->Close_Device_Connection(dev->DeviceHandle);

    std::string cutText = cut();
    dev->Open_Device_Connection(&cutText[0]);
    EXPECT_EQ(dev->DeviceHandle, nullptr);
    EXPECT_EQ(dev->lastStatus, 2u);
    EXPECT_STREQ(dev->lastErrorText, "Device Not Found");
    EXPECT_FALSE(qolven_sim::is_open(GetParam()));

    std::string whole = GetParam();
    dev->Open_Device_Connection(&whole[0]);
    EXPECT_EQ(dev->DeviceHandle, nullptr);
    EXPECT_STREQ(dev->lastErrorText, "Invalid Serial Number");
}

INSTANTIATE_TEST_SUITE_P(FieldAndLongest, LongSerialNumbers,
                         ::testing::Values("QV0002-LONG-SERIAL", std::string(60, 'L') + "063"));

} // namespace
