// The FT_* functions: listing, opening, handles, unplugging, queues and delays, purge,
// configuration records, injected statuses and the call log.
#include "sim_test_util.h"

#include <cstring>

using namespace simtest;
namespace sim = qolven_sim;

namespace {

class SimBridge : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        auto a = board("A100", 2);
        a.description = "BOARD A";
        a.deviceType = 5;
        auto b = board("B200", 9);
        b.description = "BOARD B";
        b.deviceType = 8;
        sim::attach(a);
        sim::attach(b);
    }
    void TearDown() override { sim::reset(); }
};

TEST_F(SimBridge, ListsDevicesByNumberSerialAndDescription) {
    uint32_t count = 99;
    ASSERT_EQ(FT_ListDevices(&count, nullptr, 0x80000000u), 0u);
    EXPECT_EQ(count, 2u);
    char serial[16];
    ASSERT_EQ(FT_ListDevices(reinterpret_cast<void *>(1), serial, 0x40000001u), 0u);
    EXPECT_STREQ(serial, "B200");
    char desc[64];
    ASSERT_EQ(FT_ListDevices(reinterpret_cast<void *>(0), desc, 0x40000002u), 0u);
    EXPECT_STREQ(desc, "BOARD A");
    std::strcpy(serial, "unchanged");
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void *>(2), serial, 0x40000001u), 2u);
    EXPECT_STREQ(serial, "unchanged");
    EXPECT_EQ(FT_ListDevices(&count, nullptr, 0x12u), 6u);
    EXPECT_EQ((sim::serials()), (std::vector<std::string>{"A100", "B200"}));
}

TEST_F(SimBridge, OpensBySerialDescriptionAndIndex) {
    uint32_t st = 0;
    void *h = open_serial("NOPE", &st);
    EXPECT_EQ(st, 2u);
    EXPECT_EQ(h, nullptr);
    void *a = open_serial("A100", &st);
    ASSERT_EQ(st, 0u);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(sim::is_open("A100"));
    open_serial("A100", &st);
    EXPECT_EQ(st, 3u) << "a device already open";
    void *b = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("BOARD B"), 2, &b), 0u);
    EXPECT_NE(b, nullptr);
    EXPECT_NE(a, b);
    void *c = nullptr;
    EXPECT_EQ(FT_Open(0, &c), 3u);
    EXPECT_EQ(FT_Open(5, &c), 2u);
    EXPECT_EQ(FT_Close(b), 0u);
    EXPECT_EQ(FT_Open(1, &c), 0u);
    EXPECT_NE(c, b) << "handles are never reused";
    uint32_t type = 0, id = 0;
    char serial[16], desc[64];
    ASSERT_EQ(FT_GetDeviceInfo(a, &type, &id, serial, desc, nullptr), 0u);
    EXPECT_EQ(type, 5u);
    EXPECT_EQ(id, 0x04036001u);
    EXPECT_STREQ(serial, "A100");
    EXPECT_STREQ(desc, "BOARD A");
    ASSERT_EQ(FT_GetDeviceInfo(c, &type, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(type, 8u);
}

TEST_F(SimBridge, ClosedAndUnknownHandlesAreInvalid) {
    void *h = open_serial("A100");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_Close(h), 0u);
    EXPECT_FALSE(sim::is_open("A100"));
    uint32_t rx = 0, tx = 0, ev = 0, n = 0;
    uint8_t buf[4] = {1, 4, 1, 0xAA};
    EXPECT_EQ(FT_Close(h), 1u);
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &ev), 1u);
    EXPECT_EQ(FT_Write(h, buf, 4, &n), 1u);
    EXPECT_EQ(FT_Read(h, buf, 4, &n), 1u);
    EXPECT_EQ(FT_Purge(h, 3), 1u);
    EXPECT_EQ(FT_SetTimeouts(h, 500, 500), 1u);
    EXPECT_EQ(FT_GetStatus(nullptr, &rx, &tx, &ev), 1u);
    EXPECT_EQ(FT_GetStatus(reinterpret_cast<void *>(0x1234), &rx, &tx, &ev), 1u);
    // The reopened device gets a new handle; the stale one stays invalid.
    void *h2 = open_serial("A100");
    ASSERT_NE(h2, nullptr);
    EXPECT_NE(h2, h);
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &ev), 1u);
    EXPECT_EQ(FT_GetStatus(h2, &rx, &tx, &ev), 0u);
}

TEST_F(SimBridge, UnpluggedDeviceGivesIoErrors) {
    void *h = open_serial("A100");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(sim::detach("A100"));
    EXPECT_FALSE(sim::detach("A100"));
    uint32_t rx = 0, tx = 0, ev = 0, n = 0, count = 0;
    uint8_t buf[4] = {1, 4, 1, 0xAA};
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &ev), 4u);
    EXPECT_EQ(FT_Write(h, buf, 4, &n), 4u);
    EXPECT_EQ(FT_Read(h, buf, 4, &n), 4u);
    FT_ListDevices(&count, nullptr, 0x80000000u);
    EXPECT_EQ(count, 1u);
    // Plugged in again: a new device behind the same serial; the old handle stays dead.
    sim::attach(board("A100", 2));
    void *h2 = open_serial("A100");
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &ev), 4u);
    EXPECT_EQ(FT_Close(h), 4u);
    EXPECT_EQ(FT_Close(h), 1u) << "closing released the handle";
    EXPECT_EQ(FT_GetStatus(h2, &rx, &tx, &ev), 0u);
}

TEST_F(SimBridge, AttachReplacesDeviceWithSameSerial) {
    void *h = open_serial("A100");
    auto c = board("A100", 16);
    sim::attach(c);
    EXPECT_EQ(sim::config("A100").boardType, 16);
    EXPECT_EQ(sim::serials().size(), 2u);
    EXPECT_EQ(sim::serials()[0], "A100") << "keeps its index";
    uint32_t rx, tx, ev;
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &ev), 4u);
}

TEST_F(SimBridge, DeviceInfoList) {
    void *h = open_serial("B200");
    uint32_t n = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&n), 0u);
    ASSERT_EQ(n, 2u);
    Node nodes[2] = {};
    ASSERT_EQ(FT_GetDeviceInfoList(nodes, &n), 0u);
    EXPECT_EQ(n, 2u);
    EXPECT_STREQ(nodes[0].SerialNumber, "A100");
    EXPECT_STREQ(nodes[1].Description, "BOARD B");
    EXPECT_EQ(nodes[0].Flags & 1u, 0u);
    EXPECT_EQ(nodes[1].Flags & 1u, 1u);
    EXPECT_EQ(nodes[1].ftHandle, h);
    EXPECT_EQ(nodes[1].Type, 8u);
    EXPECT_EQ(nodes[0].ID, 0x04036001u);
}

// Serial numbers up to 63 bytes: FT_ListDevices writes them whole with the NUL, the device
// information cuts them at 15, and the cut text opens nothing.
TEST_F(SimBridge, LongSerialNumbers) {
    const std::string field = "QV0002-LONG-SERIAL", longest = std::string(60, 'L') + "063";
    for (const std::string &serial : {field, longest}) {
        SCOPED_TRACE(serial);
        sim::attach(board(serial, 2));
        char listed[80];
        std::memset(listed, 0x7E, sizeof listed);
        ASSERT_EQ(FT_ListDevices(reinterpret_cast<void *>(2), listed, 0x40000001u), 0u);
        EXPECT_EQ(std::string(listed), serial);
        EXPECT_EQ(listed[64], 0x7E) << "nothing beyond 64 bytes";
        char all[3][64];
        char *buffers[4] = {all[0], all[1], all[2], nullptr};
        uint32_t n = 0;
        ASSERT_EQ(FT_ListDevices(buffers, &n, 0x20000001u), 0u);
        EXPECT_EQ(std::string(all[2]), serial);

        uint32_t st = 0;
        EXPECT_EQ(open_serial(serial.substr(0, 15), &st), nullptr);
        EXPECT_EQ(st, 2u);
        void *h = open_serial(serial, &st);
        ASSERT_NE(h, nullptr) << st;
        char info[64], desc[64];
        ASSERT_EQ(FT_GetDeviceInfo(h, nullptr, nullptr, info, desc, nullptr), 0u);
        EXPECT_EQ(std::string(info), serial.substr(0, 15));
        ASSERT_EQ(FT_CreateDeviceInfoList(&n), 0u);
        Node nodes[3] = {};
        ASSERT_EQ(FT_GetDeviceInfoList(nodes, &n), 0u);
        EXPECT_EQ(std::string(nodes[2].SerialNumber), serial.substr(0, 15));
        EXPECT_EQ(nodes[2].ftHandle, h);
        FT_Close(h);
        sim::detach(serial);
    }
    EXPECT_THROW(sim::attach(board(std::string(64, 'S'), 2)), std::invalid_argument);
    EXPECT_THROW(sim::attach(board("", 2)), std::invalid_argument);
}

TEST_F(SimBridge, VidPid) {
    uint32_t vid = 0, pid = 0;
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), 0u);
    EXPECT_EQ(vid, 0x0403u);
    EXPECT_EQ(pid, 0x6001u);
    ASSERT_EQ(FT_SetVIDPID(0x1234, 0x5678), 0u);
    FT_GetVIDPID(&vid, &pid);
    EXPECT_EQ(vid, 0x1234u);
    EXPECT_EQ(pid, 0x5678u);
}

TEST_F(SimBridge, RecordsConfigurationPerDevice) {
    void *h = open_serial("A100");
    ASSERT_EQ(FT_SetTimeouts(h, 500, 400), 0u);
    ASSERT_EQ(FT_SetUSBParameters(h, 8, 8), 0u);
    ASSERT_EQ(FT_SetLatencyTimer(h, 2), 0u);
    EXPECT_EQ(FT_SetLatencyTimer(h, 1), 6u);
    unsigned char lat = 0;
    ASSERT_EQ(FT_GetLatencyTimer(h, &lat), 0u);
    EXPECT_EQ(lat, 2);
    auto s = sim::device_settings("A100");
    EXPECT_EQ(s.readTimeoutMs, 500u);
    EXPECT_EQ(s.writeTimeoutMs, 400u);
    EXPECT_EQ(s.usbInSize, 8u);
    EXPECT_EQ(s.usbOutSize, 8u);
    EXPECT_EQ(s.latencyMs, 2);
    EXPECT_EQ(s.order, (std::vector<std::string>{"FT_SetTimeouts", "FT_SetUSBParameters", "FT_SetLatencyTimer"}));
    EXPECT_EQ(sim::device_settings("B200").order.size(), 0u);
}

TEST_F(SimBridge, LogsEveryCall) {
    sim::clear_calls();
    void *h = open_serial("A100");
    FT_SetTimeouts(h, 500, 500);
    uint32_t count;
    FT_ListDevices(&count, nullptr, 0x80000000u);
    FT_Close(h);
    FT_Close(h);
    auto log = sim::calls();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].function, "FT_OpenEx");
    EXPECT_EQ(log[0].args, (std::vector<uint64_t>{1}));
    EXPECT_EQ(log[0].serial, "A100");
    EXPECT_EQ(log[1].function, "FT_SetTimeouts");
    EXPECT_EQ(log[1].args, (std::vector<uint64_t>{500, 500}));
    EXPECT_EQ(log[1].status, 0u);
    EXPECT_EQ(log[2].function, "FT_ListDevices");
    EXPECT_EQ(log[2].args, (std::vector<uint64_t>{0x80000000u}));
    EXPECT_EQ(log[3].status, 0u);
    EXPECT_EQ(log[4].function, "FT_Close");
    EXPECT_EQ(log[4].status, 1u);
    sim::clear_calls();
    EXPECT_TRUE(sim::calls().empty());
}

TEST_F(SimBridge, InjectedStatusSkipsTheWork) {
    void *h = open_serial("A100");
    sim::queue_rx("A100", {1, 2, 3});
    sim::inject_status("FT_Read", 4, 2);
    uint8_t buf[8];
    uint32_t n = 77;
    EXPECT_EQ(FT_Read(h, buf, 3, &n), 4u);
    EXPECT_EQ(FT_Read(h, buf, 3, &n), 4u);
    EXPECT_EQ(sim::rx_pending("A100"), 3u) << "nothing was read";
    EXPECT_EQ(FT_Read(h, buf, 3, &n), 0u);
    EXPECT_EQ(n, 3u);
    sim::inject_status("FT_OpenEx", 2);
    void *b = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("B200"), 1, &b), 2u);
    EXPECT_FALSE(sim::is_open("B200"));
    EXPECT_EQ(FT_OpenEx(const_cast<char *>("B200"), 1, &b), 0u);
    sim::inject_status("FT_Write", 4);
    sim::clear_writes("A100");
    EXPECT_EQ(write_bytes(h, {1, 4, 1, 0xAA}), 4u);
    EXPECT_TRUE(sim::writes("A100").empty());
    auto log = sim::calls();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().function, "FT_Write");
    EXPECT_EQ(log.back().status, 4u);
    uint32_t count = 0;
    sim::inject_status("FT_ListDevices", 5);
    EXPECT_EQ(FT_ListDevices(&count, nullptr, 0x80000000u), 5u);
}

TEST_F(SimBridge, WriteArgumentErrors) {
    void *h = open_serial("A100");
    uint8_t buf[4] = {1, 4, 1, 0xAA};
    uint32_t n = 0;
    EXPECT_EQ(FT_Write(h, nullptr, 4, &n), 6u);
    EXPECT_EQ(FT_Write(h, buf, 0, &n), 6u);
    EXPECT_EQ(FT_Write(h, buf, 4, nullptr), 6u);
    EXPECT_EQ(FT_Purge(h, 4), 6u);
    EXPECT_EQ(FT_Write(h, buf, 4, &n), 0u);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(sim::writes("A100").size(), 1u);
    EXPECT_EQ(sim::writes("A100")[0], (Bytes{1, 4, 1, 0xAA}));
}

TEST_F(SimBridge, AnswerBecomesVisibleAfterTheDelay) {
    sim::set_answer_delay_us("A100", 30000);
    void *h = open_serial("A100");
    write_bytes(h, {1, 4, 0x01, 0xAA});
    EXPECT_EQ(rx_visible(h), 0u);
    EXPECT_EQ(sim::rx_pending("A100"), 4u);
    uint8_t buf[4];
    uint32_t n = 9;
    EXPECT_EQ(FT_Read(h, buf, 4, &n), 0u);
    EXPECT_EQ(n, 0u) << "nothing is visible yet";
    sleep_ms(40);
    EXPECT_EQ(rx_visible(h), 4u);
    EXPECT_EQ(read_now(h), (Bytes{1, 4, 0x01, 0xAA}));
}

TEST_F(SimBridge, ReadReturnsUpToTheCount) {
    void *h = open_serial("A100");
    sim::queue_rx("A100", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    uint8_t buf[16];
    uint32_t n = 0;
    ASSERT_EQ(FT_Read(h, buf, 4, &n), 0u);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(rx_visible(h), 6u);
    ASSERT_EQ(FT_Read(h, buf, 16, &n), 0u);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(buf[5], 10);
}

TEST_F(SimBridge, QueuedBytesKeepOrderAndDelay) {
    void *h = open_serial("A100");
    sim::queue_rx("A100", {1, 2}, 0);
    sim::queue_rx("A100", {3, 4}, 30000);
    sim::queue_rx("A100", {5}, 0);  // after what is already queued
    EXPECT_EQ(rx_visible(h), 2u);
    EXPECT_EQ(sim::rx_pending("A100"), 5u);
    sleep_ms(40);
    EXPECT_EQ(read_now(h), (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(SimBridge, PurgeMasks) {
    void *h = open_serial("A100");
    sim::queue_rx("A100", {1, 2, 3});
    sim::queue_rx("A100", {4, 5}, 1000000);
    EXPECT_EQ(FT_Purge(h, 2), 0u);
    EXPECT_EQ(sim::rx_pending("A100"), 5u) << "transmit purge leaves the receive queue";
    EXPECT_EQ(FT_Purge(h, 1), 0u);
    EXPECT_EQ(sim::rx_pending("A100"), 0u);
    sim::queue_rx("A100", {1, 2, 3});
    sim::set_answer_delay_us("A100", 1000000);
    write_bytes(h, {1, 4, 0x01, 0xAA});
    EXPECT_EQ(sim::rx_pending("A100"), 7u);
    EXPECT_EQ(FT_Purge(h, 3), 0u);
    EXPECT_EQ(sim::rx_pending("A100"), 0u) << "not-yet-visible answers are purged too";
    uint32_t rx = 9, tx = 9, ev = 9;
    FT_GetStatus(h, &rx, &tx, &ev);
    EXPECT_EQ(rx, 0u);
    EXPECT_EQ(tx, 0u);
}

TEST_F(SimBridge, SilentBoardRecordsWritesOnly) {
    void *h = open_serial("A100");
    sim::set_board_silent("A100", true);
    write_bytes(h, {1, 4, 0x44, 0xAA});
    sleep_ms(2);
    EXPECT_EQ(sim::rx_pending("A100"), 0u);
    EXPECT_EQ(sim::writes("A100").size(), 1u);
    sim::set_board_silent("A100", false);
    EXPECT_EQ(exchange(h, {2, 4, 0x44, 0xAA}, 8).size(), 8u);
}

TEST_F(SimBridge, ResetDetachesEverything) {
    void *h = open_serial("A100");
    sim::inject_status("FT_Read", 4, 5);
    sim::reset();
    EXPECT_TRUE(sim::serials().empty());
    EXPECT_TRUE(sim::calls().empty());
    uint32_t rx, tx, ev;
    EXPECT_EQ(FT_GetStatus(h, &rx, &tx, &ev), 1u);
    sim::attach(board("A100", 2));
    void *h2 = open_serial("A100");
    uint8_t buf[1];
    uint32_t n;
    EXPECT_EQ(FT_Read(h2, buf, 1, &n), 0u) << "injections are cleared";
}

TEST_F(SimBridge, UnknownSerialControlCallsAreHarmless) {
    EXPECT_EQ(sim::eeprom("NOPE", 1), 0);
    EXPECT_TRUE(sim::writes("NOPE").empty());
    EXPECT_TRUE(sim::page("NOPE", 1).empty());
    EXPECT_EQ(sim::config("NOPE").serial, "");
    sim::set_eeprom("NOPE", 1, 2);
    sim::set_fault("NOPE", sim::FaultSpec{});
}

TEST_F(SimBridge, DeviceLogsKeepTheirNewestEntries) {
    void *h = open_serial("A100");
    sim::set_answer_delay_us("A100", 0);
    for (int i = 0; i < 5000; ++i) write_bytes(h, {static_cast<uint8_t>(i % 250 + 1), 4, static_cast<uint8_t>(0x90 + i % 2), 0xAA});
    auto w = sim::writes("A100");
    ASSERT_EQ(w.size(), 4096u);
    EXPECT_EQ(w.back(), (Bytes{4999 % 250 + 1, 4, 0x91, 0xAA}));
    EXPECT_EQ(w.front()[2], 0x90 + (5000 - 4096) % 2) << "the oldest are dropped";
    auto d = sim::diagnostics("A100");
    ASSERT_EQ(d.size(), 1000u);
    EXPECT_NE(d.back().find("0x91"), std::string::npos);
    FT_Purge(h, 1);
    Bytes big(600 << 10, 0x01);
    sim::set_board_silent("A100", true);
    write_bytes(h, big);
    write_bytes(h, big);
    EXPECT_EQ(sim::writes("A100").size(), 1u) << "at most 1 MiB of writes";
    write_bytes(h, {1, 4, 0x01, 0xAA});
    EXPECT_EQ(sim::writes("A100").back(), (Bytes{1, 4, 0x01, 0xAA}));

    // Answers nobody reads stop at 1 MiB; a diagnostic says what was lost.
    sim::set_board_silent("A100", false);
    Bytes page{1, 5, 0x88, 3, 0xAA};
    for (int i = 0; i < 8000; ++i) write_bytes(h, page);
    EXPECT_LE(sim::rx_pending("A100"), size_t(1) << 20);
    EXPECT_GT(sim::rx_pending("A100"), (size_t(1) << 20) - 133);
    EXPECT_NE(sim::diagnostics("A100").back().find("receive queue full"), std::string::npos);
    uint32_t got = 0;
    Bytes buffer(1 << 20);
    ASSERT_EQ(FT_Read(h, buffer.data(), static_cast<uint32_t>(buffer.size()), &got), 0u);
    EXPECT_EQ(got % 133, 0u) << "whole answers only";
    EXPECT_EQ(exchange(h, {2, 4, 0x01, 0xAA}, 4), (Bytes{2, 4, 0x01, 0xAA})) << "room again once read";
}

} // namespace
