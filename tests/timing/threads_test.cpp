// Many objects in many threads, one object per thread, as a test rig drives
// its load cells.  Devices must not wait for each other or mix up their
// answers; under the tsan preset these also check for data races.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "library/fixture.h"

namespace {

using _QOLVEN_USB_DLL::QOLVEN_USB_DLL;

qolven_sim::BoardConfig board(const std::string &serial, int type, unsigned delayUs) {
    qolven_sim::BoardConfig c;
    c.serial = serial;
    c.boardType = type;
    c.answerDelayUs = delayUs;
    c.resetDelayMs = c.completionDelayMs = 0;
    return c;
}

struct Opened {
    std::unique_ptr<QOLVEN_USB_DLL> dev = std::make_unique<QOLVEN_USB_DLL>();
    void *h = nullptr;
    explicit Opened(std::string serial) {
        dev->Open_Device_Connection(&serial[0]);
        h = dev->DeviceHandle;
    }
    ~Opened() {
        if (h) dev->Close_Device_Connection(h);
    }
};

// Requests with their packet numbers as 0, and whether the numbers ran on
// one by one: what one object sent, untouched by the others.
std::vector<Bytes> numberedInTurn(const std::string &serial, bool &inTurn) {
    std::vector<Bytes> out = qolven_sim::writes(serial);
    inTurn = true;
    for (size_t i = 1; i < out.size(); ++i)
        if (out[i][0] != out[i - 1][0] + 1 && !(out[i - 1][0] == 255 && out[i][0] == 1)) inTurn = false;
    for (Bytes &b : out) b[0] = 0;
    return out;
}

class Threads : public ::testing::Test {
protected:
    void TearDown() override { qolven_sim::reset(); }
};

// One device stops answering: its calls fail after their own time-out in
// wall time, and the other device, driven at the same time, never fails.
TEST_F(Threads, SilentDeviceTimesOutAloneWhileTheOtherKeepsExchanging) {
    qolven_sim::reset();
    qolven_sim::attach(board("SILENT1", 2, 0));
    qolven_sim::attach(board("TALKER1", 2, 300));
    qolven_sim::set_board_silent("SILENT1", true);
    Opened silent("SILENT1"), talker("TALKER1");
    ASSERT_TRUE(silent.h && talker.h);

    std::atomic<bool> done{false};
    long exchanges = 0, failures = 0;
    std::string firstFailure;
    std::thread other([&] {
        while (!done) {
            if (talker.dev->Get_Type_of_Board(talker.h) == "2") {
                ++exchanges;
            } else if (failures++ == 0) {
                firstFailure = talker.dev->lastErrorText;
            }
        }
    });
    std::vector<double> took;
    std::vector<std::string> texts;
    for (int i = 0; i < 5; ++i) {
        auto start = Clock::now();
        const std::string result = silent.dev->Version_of_Board(silent.h);  // 100 ms
        took.push_back(millisSince(start));
        texts.push_back(result + " " + silent.dev->lastErrorText);
    }
    done = true;
    other.join();

    for (size_t i = 0; i < took.size(); ++i) {
        EXPECT_EQ(texts[i], "Error Timeout Error");
        EXPECT_GE(took[i], 100.0) << i;
        EXPECT_LT(took[i], 600.0) << i;
    }
    EXPECT_EQ(failures, 0) << firstFailure;
    // 0.5 s of exchanges of about 0.4 ms each; a few dozen even when busy.
    EXPECT_GT(exchanges, 20);
}

// Each thread drives its own device and object with every kind of exchange;
// each must see only its own board's values and send only its own requests.
TEST_F(Threads, DevicesDrivenFromTheirOwnThreadsStayApart) {
    constexpr int kDevices = 6, kRounds = 60;
    const int types[kDevices] = {2, 9, 13, 16, 2, 14};
    qolven_sim::reset();
    std::vector<std::string> serials;
    for (int i = 0; i < kDevices; ++i) {
        serials.push_back("HAMMER" + std::to_string(i));
        qolven_sim::attach(board(serials[i], types[i], i % 2 ? 0 : 100));
        qolven_sim::set_eeprom(serials[i], 40, uint16_t(0x1100 + i));
    }
    std::vector<std::unique_ptr<Opened>> opened;
    for (const std::string &s : serials) {
        opened.push_back(std::make_unique<Opened>(s));
        ASSERT_NE(opened.back()->h, nullptr);
    }
    // The requests of one round, from a call on its own.
    auto round = [&](int i, std::vector<std::string> &wrong) {
        QOLVEN_USB_DLL &d = *opened[i]->dev;
        void *h = opened[i]->h;
        const std::string eeprom{char(0x11), char(i)};
        if (d.Get_Type_of_Board(h) != std::to_string(types[i])) wrong.push_back("type: " + std::string(d.lastErrorText));
        if (d.Read_EEPROM_Register(h, 40) != eeprom) wrong.push_back("eeprom: " + std::string(d.lastErrorText));
        if (d.Slave_Activity_Inquiry(h) != "0") wrong.push_back("ping: " + std::string(d.lastErrorText));
    };
    std::vector<std::vector<Bytes>> oneRound(kDevices);
    std::vector<std::vector<std::string>> wrong(kDevices);
    for (int i = 0; i < kDevices; ++i) {
        qolven_sim::clear_writes(serials[i]);
        round(i, wrong[i]);
        bool inTurn;
        oneRound[i] = numberedInTurn(serials[i], inTurn);
        qolven_sim::clear_writes(serials[i]);
    }

    std::vector<std::thread> threads;
    for (int i = 0; i < kDevices; ++i)
        threads.emplace_back([&, i] {
            for (int r = 0; r < kRounds; ++r) round(i, wrong[i]);
        });
    for (std::thread &t : threads) t.join();

    for (int i = 0; i < kDevices; ++i) {
        SCOPED_TRACE(serials[i]);
        EXPECT_TRUE(wrong[i].empty()) << wrong[i].size() << " wrong, first " << wrong[i].front();
        bool inTurn;
        const std::vector<Bytes> sent = numberedInTurn(serials[i], inTurn);
        EXPECT_TRUE(inTurn);
        ASSERT_EQ(sent.size(), oneRound[i].size() * kRounds);
        for (size_t k = 0; k < sent.size(); ++k) ASSERT_EQ(sent[k], oneRound[i][k % oneRound[i].size()]) << k;
    }
}

// Two threads, each with its own object, call on the same open device
// without a lock of their own: the answers may go to the wrong caller, but
// every call ends with an answer or a reason, and every request goes out.
TEST_F(Threads, OneDeviceFromTwoThreads) {
    constexpr int kCalls = 300;
    qolven_sim::reset();
    qolven_sim::attach(board("SHARED1", 2, 0));
    Opened owner("SHARED1");
    ASSERT_NE(owner.h, nullptr);
    QOLVEN_USB_DLL borrower;
    qolven_sim::clear_writes("SHARED1");

    long answered[2] = {0, 0};
    std::vector<std::string> unexplained[2];
    auto hammer = [&](QOLVEN_USB_DLL &d, int who) {
        for (int i = 0; i < kCalls; ++i) {
            const std::string result = d.Slave_Activity_Inquiry(owner.h);
            if (result == "0") {
                ++answered[who];
            } else if (result != "Error" || d.lastErrorText[0] == 0) {
                unexplained[who].push_back(result);
            }
        }
    };
    std::thread first(hammer, std::ref(*owner.dev), 0), second(hammer, std::ref(borrower), 1);
    first.join();
    second.join();

    for (int who = 0; who < 2; ++who) EXPECT_TRUE(unexplained[who].empty()) << who;
    const std::vector<Bytes> sent = qolven_sim::writes("SHARED1");
    EXPECT_EQ(sent.size(), size_t(2 * kCalls));
    for (const Bytes &b : sent) EXPECT_EQ(Bytes(b.begin() + 1, b.end()), (Bytes{4, 0x01, 0xAA}));
    // Most calls find their own answer.
    EXPECT_GT(answered[0] + answered[1], kCalls);
}

} // namespace
