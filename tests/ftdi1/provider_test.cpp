// The provider's FT_* functions over a fake bus: listing, opening by serial
// number or USB path, the receive queue through FT_GetStatus and FT_Read,
// purge, and the statuses while a bridge is gone, as FTDI's library gives them.
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "d2xx_types.h"
#include "fake_bus.h"

using namespace qolven_ftdi1;
using namespace qolven_ftdi1_test;

extern "C" {
Status FT_ListDevices(void *arg1, void *arg2, Dword flags);
Status FT_OpenEx(void *arg, Dword flags, void **handle);
Status FT_Open(int index, void **handle);
Status FT_Close(void *handle);
Status FT_GetDeviceInfo(void *handle, Dword *type, Dword *id, char *serial, char *description, void *dummy);
Status FT_CreateDeviceInfoList(Dword *count);
Status FT_GetDeviceInfoList(DeviceListNode *nodes, Dword *count);
Status FT_GetStatus(void *handle, Dword *rx, Dword *tx, Dword *events);
Status FT_SetTimeouts(void *handle, Dword readMs, Dword writeMs);
Status FT_SetUSBParameters(void *handle, Dword in, Dword out);
Status FT_SetLatencyTimer(void *handle, unsigned char ms);
Status FT_GetLatencyTimer(void *handle, unsigned char *ms);
Status FT_SetVIDPID(Dword vid, Dword pid);
Status FT_GetVIDPID(Dword *vid, Dword *pid);
Status FT_Read(void *handle, void *buffer, Dword count, Dword *done);
Status FT_Write(void *handle, void *buffer, Dword count, Dword *done);
Status FT_Purge(void *handle, Dword mask);
}

namespace {

using Bytes = std::vector<uint8_t>;

class Provider : public ::testing::Test {
protected:
    void SetUp() override {
        fakeBus().reset();
        fakeBus().bridges = {bridge("QV0001", "1-1"), bridge("QV0002-LONG-SERIAL", "1-2"), bridge("TWIN", "1-3.1"),
                             bridge("TWIN", "1-3.2")};
    }
    void TearDown() override {
        for (void *h : opened_) FT_Close(h);
    }

    void *open(const char *serial) {
        void *h = nullptr;
        EXPECT_EQ(FT_OpenEx(const_cast<char *>(serial), kBySerialNumber, &h), kOk) << serial;
        if (h) opened_.push_back(h);
        return h;
    }

    std::vector<void *> opened_;
};

Dword queued(void *h) {
    Dword rx = 0, tx = 0, events = 0;
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &events), kOk);
    return rx;
}

Bytes read(void *h, Dword count) {
    Bytes out(count);
    Dword got = 0;
    EXPECT_EQ(FT_Read(h, out.data(), count, &got), kOk);
    out.resize(got);
    return out;
}

TEST_F(Provider, ListsEveryBridgeWithTheWholeSerialNumberByIndex) {
    Dword count = 0;
    ASSERT_EQ(FT_ListDevices(&count, nullptr, kListNumberOnly), kOk);
    EXPECT_EQ(count, 4u);
    // The whole serial number and its NUL, into the 64 bytes callers give.
    char text[80];
    std::memset(text, 0x7e, sizeof text);
    ASSERT_EQ(FT_ListDevices(reinterpret_cast<void *>(1), text, kListByIndex | kBySerialNumber), kOk);
    EXPECT_STREQ(text, "QV0002-LONG-SERIAL");
    EXPECT_EQ(text[19], 0x7e);
    ASSERT_EQ(FT_ListDevices(reinterpret_cast<void *>(0), text, kListByIndex | kByDescription), kOk);
    EXPECT_STREQ(text, "FT232R USB UART");
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void *>(4), text, kListByIndex | kBySerialNumber), kDeviceNotFound);

    char a[64], b[64], c[64], d[64];
    char *buffers[] = {a, b, c, d, nullptr};
    ASSERT_EQ(FT_ListDevices(buffers, &count, kListAll | kBySerialNumber), kOk);
    EXPECT_EQ(count, 4u);
    EXPECT_STREQ(a, "QV0001");
    // Bridges that share a serial number are listed by the path that opens each.
    EXPECT_STREQ(c, "@1-3.1");
    EXPECT_STREQ(d, "@1-3.2");
    for (char *listed : {c, d}) {
        void *h = nullptr;
        EXPECT_EQ(FT_OpenEx(listed, kBySerialNumber, &h), kOk) << listed;
        if (h) opened_.push_back(h);
    }
}

TEST_F(Provider, RefusesListRequestsItCannotAnswer) {
    Dword count = 0;
    char text[64];
    EXPECT_EQ(FT_ListDevices(nullptr, nullptr, kListNumberOnly), kInvalidParameter);
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void *>(0), nullptr, kListByIndex | kBySerialNumber), kInvalidParameter);
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void *>(0), text, kListByIndex), kInvalidParameter);
    EXPECT_EQ(FT_ListDevices(&count, text, 0), kInvalidParameter);
    // No USB at all: D2XX answers "Other Errors".
    fakeBus().scanResult = Result::Failed;
    EXPECT_EQ(FT_ListDevices(&count, nullptr, kListNumberOnly), kOtherError);
    EXPECT_EQ(FT_CreateDeviceInfoList(&count), kOtherError);
}

TEST_F(Provider, TheDeviceListCutsSerialNumbersAndMarksOpenBridges) {
    void *h = open("QV0001");
    fakeBus().bridges[2].claimed = true;  // another program holds one twin
    Dword count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), kOk);
    ASSERT_EQ(count, 4u);
    std::vector<DeviceListNode> nodes(count);
    ASSERT_EQ(FT_GetDeviceInfoList(nodes.data(), &count), kOk);
    EXPECT_EQ(nodes[0].Flags, kNodeOpened);
    EXPECT_EQ(nodes[0].ftHandle, h);
    EXPECT_EQ(nodes[0].Type, kDevice232R);
    EXPECT_EQ(nodes[0].ID, 0x04036001u);
    EXPECT_STREQ(nodes[1].SerialNumber, "QV0002-LONG-SER");
    EXPECT_EQ(nodes[1].Flags, 0u);
    EXPECT_EQ(nodes[1].ftHandle, nullptr);
    // Held elsewhere: marked open and nothing else shown, as D2XX does.
    EXPECT_EQ(nodes[2].Flags, kNodeOpened);
    EXPECT_EQ(nodes[2].Type, kDeviceUnknown);
    EXPECT_EQ(nodes[2].ID, 0u);
    EXPECT_STREQ(nodes[2].SerialNumber, "");
    // The list is the one FT_CreateDeviceInfoList made.
    fakeBus().bridges.pop_back();
    ASSERT_EQ(FT_GetDeviceInfoList(nodes.data(), &count), kOk);
    EXPECT_EQ(count, 4u);
}

TEST_F(Provider, ChipTypeFollowsTheDevicesRelease) {
    const struct {
        uint16_t release;
        Dword type;
    } cases[] = {{0x0200, kDeviceAm}, {0x0400, kDeviceBm},    {0x0500, kDevice2232C},   {0x0600, kDevice232R},
                 {0x0700, kDevice2232H}, {0x0800, kDevice4232H}, {0x0900, kDevice232H}, {0x1000, kDeviceXSeries},
                 {0x0300, kDeviceUnknown}};
    for (const auto &c : cases) {
        fakeBus().bridges = {bridge("CHIP", "2-1", c.release)};
        void *h = open("CHIP");
        Dword type = 99, id = 0;
        char serial[16], description[64];
        EXPECT_EQ(FT_GetDeviceInfo(h, &type, &id, serial, description, nullptr), kOk);
        EXPECT_EQ(type, c.type) << std::hex << c.release;
        EXPECT_EQ(FT_Close(h), kOk);
        opened_.clear();
    }
}

TEST_F(Provider, OpensBySerialNumberOnlyWhenItNamesOneBridge) {
    void *h = nullptr;
    const struct {
        const char *serial;
        Status status;
    } cases[] = {
        {"QV0001", kOk},
        {"QV-MISSING", kDeviceNotFound},
        {"QV0002-LONG-SER", kDeviceNotFound},  // the cut serial is not the bridge's
        {"QV0002-LONG-SERIAL", kOk},
        {"TWIN", kInvalidArgs},               // two bridges: which one is not for us to guess
        {"@1-3.2", kOk},                      // one of them by its USB path
        {"@9-9", kDeviceNotFound},
    };
    for (const auto &c : cases) {
        h = nullptr;
        EXPECT_EQ(FT_OpenEx(const_cast<char *>(c.serial), kBySerialNumber, &h), c.status) << c.serial;
        EXPECT_EQ(h != nullptr, c.status == kOk) << c.serial;
        if (h) opened_.push_back(h);
    }
    EXPECT_NE(fakeBus().link("1-3.2"), nullptr);
    EXPECT_EQ(fakeBus().link("1-3.1"), nullptr);
    // Open already, here: D2XX says "not opened".
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("QV0001"), kBySerialNumber, &h), kDeviceNotOpened);
}

TEST_F(Provider, OpenFailuresGiveD2xxStatuses) {
    void *h = reinterpret_cast<void *>(1);
    fakeBus().refuse["1-1"] = Result::Busy;
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("QV0001"), kBySerialNumber, &h), kDeviceNotOpened);
    EXPECT_EQ(h, nullptr);
    fakeBus().refuse["1-1"] = Result::Gone;
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("QV0001"), kBySerialNumber, &h), kDeviceNotFound);
    EXPECT_EQ(FT_Open(7, &h), kDeviceNotFound);
    EXPECT_EQ(FT_OpenEx(nullptr, kBySerialNumber, &h), kInvalidParameter);
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("QV0001"), 0x40, &h), kInvalidParameter);
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("QV0001"), kBySerialNumber, nullptr), kInvalidParameter);
    // By description, the first that opens.
    fakeBus().refuse.clear();
    ASSERT_EQ(FT_OpenEx(const_cast<char *>("FT232R USB UART"), kByDescription, &h), kOk);
    opened_.push_back(h);
    ASSERT_EQ(FT_Open(1, &h), kOk);
    opened_.push_back(h);
    EXPECT_NE(fakeBus().link("1-2"), nullptr);
}

TEST_F(Provider, ReadsThroughTheQueueAsD2xxDoes) {
    void *h = open("QV0001");
    FakeLink *link = fakeBus().link("1-1");
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(FT_SetTimeouts(h, 50, 50), kOk);
    EXPECT_EQ(queued(h), 0u);
    link->deliver(transfer({{1, 2, 3}}));
    link->deliver(transfer({{}}));
    link->deliver(transfer({{4, 5, 6, 7, 8}}));
    EXPECT_EQ(queued(h), 8u);
    EXPECT_EQ(read(h, 3), (Bytes{1, 2, 3}));
    // More than is there: the read time-out, then what came.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(h, 64), (Bytes{4, 5, 6, 7, 8}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    EXPECT_GT(link->resumes, 0);

    Dword done = 0;
    uint8_t request[] = {0x01, 0x04, 0x44, 0xAA};
    EXPECT_EQ(FT_Write(h, request, sizeof request, &done), kOk);
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(link->written, Bytes(request, request + 4));
    // A write that times out is no failure: the count says how much went.
    link->writeRoom = 2;
    EXPECT_EQ(FT_Write(h, request, sizeof request, &done), kOk);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(FT_Write(h, request, 0, &done), kOk);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(FT_Write(h, nullptr, 4, &done), kInvalidParameter);
    EXPECT_EQ(FT_Read(h, request, 4, nullptr), kInvalidParameter);
}

TEST_F(Provider, PurgeDropsTheQueueAndWhatArrivesWhileTheChipIsCleared) {
    void *h = open("QV0001");
    FakeLink *link = fakeBus().link("1-1");
    link->deliver(transfer({{1, 2, 3}}));
    link->duringPurge = [link] { link->deliver(transfer({{4, 5}})); };
    ASSERT_EQ(FT_Purge(h, kPurgeReceive | kPurgeTransmit), kOk);
    EXPECT_EQ(queued(h), 0u);
    link->duringPurge = nullptr;
    link->deliver(transfer({{6}}));
    EXPECT_EQ(queued(h), 1u);
    ASSERT_EQ(FT_Purge(h, kPurgeTransmit), kOk);
    EXPECT_EQ(queued(h), 1u);  // the receive queue stays
    EXPECT_EQ(FT_Purge(h, 0), kOk);
    EXPECT_EQ(FT_Purge(h, 4), kInvalidParameter);
    std::vector<std::pair<bool, bool>> expected = {{true, true}, {false, true}};
    EXPECT_EQ(link->purges, expected);
}

TEST_F(Provider, SettingsGoToTheChip) {
    void *h = open("QV0001");
    FakeLink *link = fakeBus().link("1-1");
    // Every value goes to the chip, as D2XX sends it.
    for (unsigned char ms : {2, 0, 1, 255}) {
        ASSERT_EQ(FT_SetLatencyTimer(h, ms), kOk);
        unsigned char back = 99;
        ASSERT_EQ(FT_GetLatencyTimer(h, &back), kOk);
        EXPECT_EQ(back, ms);
    }
    // Transfers are whole packets, at least one, at most 64 KiB.
    const struct {
        Dword asked;
        size_t used;
    } sizes[] = {{8, 64}, {64, 64}, {100, 128}, {4096, 4096}, {70000, 65536}};
    EXPECT_EQ(link->transferSize, 4096u);
    for (const auto &s : sizes) {
        ASSERT_EQ(FT_SetUSBParameters(h, s.asked, s.asked), kOk);
        EXPECT_EQ(link->transferSize, s.used) << s.asked;
    }
    Dword vid = 0, pid = 0;
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), kOk);
    EXPECT_EQ(vid, 0x15d6u);  // FTDI's library before any FT_SetVIDPID
    ASSERT_EQ(FT_SetVIDPID(0x1234, 0x5678), kOk);
    Dword count = 0;
    fakeBus().scans.clear();
    ASSERT_EQ(FT_ListDevices(&count, nullptr, kListNumberOnly), kOk);
    const std::vector<UsbId> &ids = fakeBus().scans.back();
    EXPECT_TRUE(std::any_of(ids.begin(), ids.end(), [](const UsbId &i) { return i.vendor == 0x1234 && i.product == 0x5678; }));
    EXPECT_EQ(FT_SetVIDPID(0x10000, 1), kInvalidParameter);
    ASSERT_EQ(FT_SetVIDPID(0x15d6, 0x0001), kOk);
}

TEST_F(Provider, AGoneBridgeAnswersAsD2xxDoes) {
    void *h = open("QV0001");
    FakeLink *link = fakeBus().link("1-1");
    link->deliver(transfer({{1, 2}}));
    link->unplug();
    Dword rx = 0, tx = 0, events = 0, done = 0;
    uint8_t bytes[4] = {};
    unsigned char ms = 0;
    char serial[16];
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &events), kIoError);
    EXPECT_EQ(FT_Read(h, bytes, 2, &done), kIoError);
    EXPECT_EQ(FT_Write(h, bytes, 4, &done), kIoError);
    EXPECT_EQ(FT_Purge(h, kPurgeReceive), kIoError);
    EXPECT_EQ(FT_SetLatencyTimer(h, 2), kIoError);
    EXPECT_EQ(FT_GetLatencyTimer(h, &ms), kIoError);
    EXPECT_EQ(FT_SetUSBParameters(h, 64, 64), kIoError);
    EXPECT_EQ(FT_GetDeviceInfo(h, &rx, &tx, serial, nullptr, nullptr), kOtherError);
    EXPECT_EQ(FT_SetTimeouts(h, 500, 500), kOk);
    EXPECT_EQ(FT_Close(h), kOk);
    opened_.clear();
    EXPECT_EQ(FT_Close(h), kInvalidHandle);
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &events), kInvalidHandle);
}

TEST_F(Provider, AWriteThatFindsTheBridgeGoneEndsEveryLaterCall) {
    void *h = open("QV0001");
    fakeBus().link("1-1")->gone = true;
    Dword done = 9;
    uint8_t bytes[4] = {};
    EXPECT_EQ(FT_Write(h, bytes, 4, &done), kIoError);
    EXPECT_EQ(done, 0u);
    Dword rx, tx, events;
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &events), kIoError);
}

TEST_F(Provider, ClosingEndsAReadWaitingInAnotherThread) {
    void *h = open("QV0001");
    ASSERT_EQ(FT_SetTimeouts(h, 0, 0), kOk);  // no limit: only the close ends it
    Status status = kOk;
    std::thread reader([&] {
        uint8_t bytes[8];
        Dword done = 0;
        status = FT_Read(h, bytes, sizeof bytes, &done);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(FT_Close(h), kOk);
    opened_.clear();
    reader.join();
    EXPECT_EQ(status, kInvalidHandle);
    // The bridge is free again.
    open("QV0001");
}

TEST_F(Provider, HandlesAreNeverReused) {
    void *first = open("QV0001");
    ASSERT_EQ(FT_Close(first), kOk);
    opened_.clear();
    void *second = open("QV0001");
    EXPECT_NE(first, second);
    Dword rx, tx, events;
    EXPECT_EQ(FT_GetStatus(first, &rx, &tx, &events), kInvalidHandle);
    EXPECT_EQ(FT_GetStatus(nullptr, &rx, &tx, &events), kInvalidHandle);
}

} // namespace
