// The receive queue against what libftdi1's own reads get wrong: every USB
// packet's status bytes come off (a transfer is whole packets, only its last
// one may be short), a read waits for its whole count or its
// time-out and then takes what came without losing it, and a purge drops what
// was on its way.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "fake_bus.h"
#include "receive_queue.h"

namespace {

using namespace qolven_ftdi1;
using namespace qolven_ftdi1_test;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr size_t kPacket = 64;

Bytes take(ReceiveQueue &q, size_t count, unsigned timeoutMs = 1) {
    Bytes out(count);
    size_t got = 0;
    EXPECT_EQ(q.read(out.data(), count, timeoutMs, &got), ReceiveQueue::Outcome::Ok);
    out.resize(got);
    return out;
}

Bytes run(uint8_t first, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

struct Transfers {
    const char *name;
    std::vector<Bytes> transfers;
    Bytes payload;
};

TEST(ReceiveQueue, TakesTheStatusBytesOffEveryPacket) {
    const Bytes full = run(0, 62), tail = run(100, 10);
    Bytes twoAndAHalf = transfer({full, full, tail});
    Bytes withStray = transfer({full});
    withStray.push_back(0x11);  // a last packet of one byte has no room for data
    const Transfers cases[] = {
        {"one short packet", {transfer({tail})}, tail},
        {"full packets, then a short one", {twoAndAHalf}, [&] {
             Bytes b = full;
             b.insert(b.end(), full.begin(), full.end());
             b.insert(b.end(), tail.begin(), tail.end());
             return b;
         }()},
        {"status-only packets between data", {transfer({{}}), transfer({tail}), transfer({{}})}, tail},
        {"a status-only packet inside a transfer", {transfer({full, {}})}, full},
        {"a one-byte packet after a full one", {withStray}, full},
        {"an empty transfer", {Bytes{}, transfer({tail})}, tail},
        {"a packet cut after its status bytes", {Bytes{0x11, 0x60}}, {}},
    };
    for (const Transfers &c : cases) {
        SCOPED_TRACE(c.name);
        ReceiveQueue q(kPacket, 1 << 20);
        for (const Bytes &t : c.transfers) q.received(t.data(), t.size());
        EXPECT_EQ(q.size(), c.payload.size());
        EXPECT_EQ(take(q, c.payload.size() + 5), c.payload);
        EXPECT_EQ(q.size(), 0u);
    }
}

TEST(ReceiveQueue, KeepsTheLastStatusBytes) {
    ReceiveQueue q(kPacket, 1 << 20);
    Bytes t = transfer({run(0, 3)}, 0x31, 0x62);
    q.received(t.data(), t.size());
    EXPECT_EQ(q.modemStatus(), 0x31);
    EXPECT_EQ(q.lineStatus(), 0x62);
}

TEST(ReceiveQueue, ShortReadsTakeTheBytesInOrder) {
    ReceiveQueue q(kPacket, 1 << 20);
    Bytes t = transfer({run(1, 8)});
    q.received(t.data(), t.size());
    EXPECT_EQ(take(q, 3), run(1, 3));
    EXPECT_EQ(q.size(), 5u);
    EXPECT_EQ(take(q, 5), run(4, 5));
    EXPECT_EQ(take(q, 0), Bytes{});
}

TEST(ReceiveQueue, ReadAskingForMoreThanComesGivesWhatCameAtItsTimeOut) {
    ReceiveQueue q(kPacket, 1 << 20);
    Bytes t = transfer({run(1, 8)});
    q.received(t.data(), t.size());
    auto start = Clock::now();
    EXPECT_EQ(take(q, 64, 60), run(1, 8));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(55));
    // Nothing was lost on the way: what comes next follows.
    t = transfer({run(9, 4)});
    q.received(t.data(), t.size());
    EXPECT_EQ(take(q, 4), run(9, 4));
}

TEST(ReceiveQueue, ReadWaitsForItsWholeCountAcrossTransfers) {
    ReceiveQueue q(kPacket, 1 << 20);
    std::thread board([&] {
        for (uint8_t part = 0; part < 3; ++part) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            Bytes t = transfer({run(static_cast<uint8_t>(part * 4), 4)});
            q.received(t.data(), t.size());
        }
    });
    auto start = Clock::now();
    EXPECT_EQ(take(q, 12, 10000), run(0, 12));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    board.join();
}

TEST(ReceiveQueue, ReadWithoutTimeOutWaitsUntilTheCountIsThere) {
    ReceiveQueue q(kPacket, 1 << 20);
    std::thread board([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Bytes t = transfer({run(0, 2)});
        q.received(t.data(), t.size());
    });
    EXPECT_EQ(take(q, 2, 0), run(0, 2));
    board.join();
}

TEST(ReceiveQueue, PurgeDropsWhatWasOnItsWayAndKeepsWhatCameAfter) {
    ReceiveQueue q(kPacket, 1 << 20);
    Bytes before = transfer({run(0, 5)}), inFlight = transfer({run(10, 5)}), after = transfer({run(20, 5)});
    q.received(before.data(), before.size());
    q.startDiscarding();
    EXPECT_EQ(q.size(), 0u);
    q.received(inFlight.data(), inFlight.size());
    EXPECT_EQ(q.size(), 0u);
    q.stopDiscarding();
    q.received(after.data(), after.size());
    EXPECT_EQ(take(q, 10), run(20, 5));
}

TEST(ReceiveQueue, PurgesThatOverlapDiscardUntilTheLastEnds) {
    ReceiveQueue q(kPacket, 1 << 20);
    Bytes t = transfer({run(0, 5)});
    q.startDiscarding();
    q.startDiscarding();
    q.stopDiscarding();
    q.received(t.data(), t.size());
    EXPECT_EQ(q.size(), 0u);
    q.stopDiscarding();
    q.received(t.data(), t.size());
    EXPECT_EQ(q.size(), 5u);
}

TEST(ReceiveQueue, AWaitingReadEndsWhenTheBridgeGoesOrTheHandleCloses) {
    for (bool unplug : {true, false}) {
        SCOPED_TRACE(unplug ? "unplugged" : "closed");
        ReceiveQueue q(kPacket, 1 << 20);
        Bytes t = transfer({run(0, 3)});
        q.received(t.data(), t.size());
        std::thread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (unplug)
                q.lost();
            else
                q.close();
        });
        uint8_t out[8];
        size_t got = 99;
        EXPECT_EQ(q.read(out, sizeof out, 0, &got),
                  unplug ? ReceiveQueue::Outcome::Gone : ReceiveQueue::Outcome::Closed);
        EXPECT_EQ(got, 0u);
        other.join();
        // Nothing more is taken in.
        q.received(t.data(), t.size());
        EXPECT_EQ(q.size(), unplug ? 0u : 3u);
    }
}

TEST(ReceiveQueue, AFullQueueAsksTheLinkToWait) {
    ReceiveQueue q(kPacket, 100);
    EXPECT_TRUE(q.wantsMore());
    Bytes t = transfer({run(0, 62), run(0, 62)});
    q.received(t.data(), t.size());
    EXPECT_FALSE(q.wantsMore());
    take(q, 30);
    EXPECT_TRUE(q.wantsMore());
}

} // namespace
