// Many threads on the bridge: threads on different devices work side by side, threads
// sharing a device are serialised, and a device held up (in a save) holds up no other.
// Built with -fsanitize=thread, these tests must run without a report.
#include "sim_test_util.h"

#include "qolven_sim_c.h"

#include <atomic>
#include <future>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

using namespace simtest;
namespace sim = qolven_sim;

namespace {

class SimThreads : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override {
        qolven_sim_use_state_file(nullptr, nullptr, 0);
        sim::reset();
    }
};

// Pings until `count` answers came back with the right packet number; the failures.
int ping(void *h, int count) {
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        uint8_t n = static_cast<uint8_t>(i % 250 + 1);
        if (exchange(h, {n, 4, 0x01, 0xAA}, 4, 2000) != Bytes{n, 4, 0x01, 0xAA}) ++failures;
    }
    return failures;
}

TEST_F(SimThreads, DevicesInParallelAndOneDeviceSharedByTwoThreads) {
    const int devices = 6, rounds = 300;
    for (int i = 0; i < devices; ++i) sim::attach(board("D" + std::to_string(i), i % 2 ? 9 : 2));
    sim::attach(board("SHARED", 2));
    std::vector<void *> handles;
    for (int i = 0; i < devices; ++i) handles.push_back(open_serial("D" + std::to_string(i)));
    void *shared = open_serial("SHARED");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < devices; ++i) threads.emplace_back([&, i] { failures += ping(handles[i], rounds); });
    // Two threads on one device, each writing its own registers and polling the queue;
    // a third looks at it through the control API and the bridge-level calls.
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            uint32_t n = 0, rx = 0;
            for (int i = 0; i < rounds; ++i) {
                uint8_t address = static_cast<uint8_t>(t * 128 + i % 100);
                Bytes w{1, 7, 0x83, address, static_cast<uint8_t>(t), static_cast<uint8_t>(i % 100), 0xAA};
                if (FT_Write(shared, w.data(), 7, &n) != 0 || FT_GetStatus(shared, &rx, nullptr, nullptr) != 0) ++failures;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < rounds; ++i) {
            uint32_t count = 0;
            if (FT_ListDevices(&count, nullptr, 0x80000000u) != 0 || count != devices + 1u) ++failures;
            sim::eeprom("SHARED", i % 256);
            sim::rx_pending("SHARED");
            if (i % 50 == 0) sim::calls();
        }
    });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures, 0);
    for (int t = 0; t < 2; ++t)
        for (int i = rounds - 100; i < rounds; ++i)
            ASSERT_EQ(sim::eeprom("SHARED", t * 128 + i % 100), t << 8 | i % 100) << "thread " << t << " write " << i;
    EXPECT_EQ(sim::writes("SHARED").size(), 2u * rounds);
    EXPECT_EQ(sim::rx_pending("SHARED"), 2u * rounds * 4) << "every write answered once";
    size_t logged = 0;
    for (const auto &c : sim::calls())
        if (c.serial == "D3" && c.function == "FT_Write") ++logged;
    EXPECT_EQ(logged, size_t(rounds));
}

TEST_F(SimThreads, ADeviceStuckInASaveHoldsUpNoOtherDevice) {
    char name[] = "/tmp/qolven_sim_threads_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string dir = name, state = dir + "/state";
    sim::attach(board("FREE", 2));
    void *other = open_serial("FREE");  // opened without a state file: it never saves
    sim::attach(board("STUCK", 2));
    ASSERT_EQ(qolven_sim_use_state_file(state.c_str(), nullptr, 0), 0);
    void *stuck = open_serial("STUCK");
    ASSERT_NE(stuck, nullptr);
    // Holding the file's lock here keeps STUCK's save (and so its FT_Write) waiting.
    int lock = open((state + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    std::atomic<bool> written{false};
    std::thread writer([&] {
        write_bytes(stuck, {1, 7, 0x83, 9, 1, 2, 0xAA});
        written = true;
    });
    sleep_ms(50);
    EXPECT_FALSE(written) << "the save waits for the lock";
    EXPECT_EQ(ping(other, 200), 0) << "another device keeps working";
    uint32_t count = 0, n = 0;
    EXPECT_EQ(FT_ListDevices(&count, nullptr, 0x80000000u), 0u);
    EXPECT_EQ(FT_CreateDeviceInfoList(&n), 0u);
    EXPECT_FALSE(written);
    flock(lock, LOCK_UN);
    writer.join();
    EXPECT_EQ(read_at_least(stuck, 4), (Bytes{1, 4, 0x01, 0xAA})) << "acknowledged once stored";
    EXPECT_EQ(sim::eeprom("STUCK", 9), 0x0102);

    // Unplugged while stuck: the list lets go at once, only the unplug waits.
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    std::thread second([&] { write_bytes(stuck, {2, 7, 0x83, 9, 3, 4, 0xAA}); });
    sleep_ms(20);
    std::thread unplug([&] { sim::detach("STUCK"); });
    sleep_ms(50);
    // Asked from another thread, so that a bridge that waits fails here instead of hanging.
    auto others = std::async(std::launch::async, [&] {
        return ping(other, 100) == 0 && FT_ListDevices(&count, nullptr, 0x80000000u) == 0 && count == 1;
    });
    EXPECT_EQ(others.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "held up by the unplug";
    flock(lock, LOCK_UN);
    EXPECT_TRUE(others.get()) << "pings answered; the device gone from the list already";
    second.join();
    unplug.join();
    sim::attach(board("STUCK", 2));
    EXPECT_EQ(sim::eeprom("STUCK", 9), 0x0304) << "the write in progress was stored";
    close(lock);
    qolven_sim_use_state_file(nullptr, nullptr, 0);
    std::system(("rm -rf " + dir).c_str());
}

} // namespace
