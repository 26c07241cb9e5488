// Fast data: the stream reader fed with exact packets, the request on the
// wire, the records and tables, offline pacing, and the board's generator.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <stdexcept>

#include "fixture.h"

namespace {

class FastData : public BoardTest {
protected:
    // A board of the given type whose answers the test writes itself.
    void silentBoard(int type, unsigned char rate = 0) {
        useBoard(type);
        qolven_sim::set_board_silent(serial, true);
        dev.boardType = type;
        dev.samplingRateCode = rate;
    }
    unsigned char next() const { return dev.requestNumber >= 254 ? 1 : dev.requestNumber + 1; }
    // Fast-data packet numbered for the next request, its size byte counting the samples.
    Bytes packet(const Bytes &samples, unsigned char kind = 0x43) {
        Bytes p{next(), uint8_t(4 + samples.size()), kind};
        for (uint8_t byte : samples) p.push_back(byte);
        p.push_back(0xAA);
        return p;
    }
    void feed(const Bytes &bytes, unsigned delayUs = 0) { qolven_sim::queue_rx(serial, bytes, delayUs); }
    // The reader on its own, expecting the packet numbered `number`.
    void read(unsigned char number, double limit = 5.0) {
        dev.expectedNumber = number;
        dev.ReadFastPacket(limit);
    }
    std::string fast(int slot = 0, const std::string &rate = "0", int separator = 0, unsigned char channel = 0) {
        return dev.Fast_Data_Request(h, separator, slot, std::to_string(dev.boardType), rate, "4", channel);
    }
    std::string record(int number, int total, int count, char sep = ',', int channel = -1) {
        std::string s = std::to_string(number) + sep + std::to_string(total) + sep;
        if (channel >= 0) s += std::to_string(channel) + sep;
        return s + std::to_string(count) + sep + sep + sep + sep + dev.dateText + sep + dev.timeText + sep;
    }
};

// ---- the reader

struct Width { int type; unsigned char rate; int width; int otherWidth; };

TEST_F(FastData, PacketIsWholeOnlyForTheWidthOfTypeAndRate) {
    const Width rows[] = {{2, 13, 3, 2}, {2, 14, 2, 3}, {16, 0, 3, 2}, {1, 15, 2, 3}, {4, 12, 3, 2},
                          {4, 13, 2, 3}, {14, 13, 2, 3}, {8, 15, 3, 2}, {9, 13, 4, 3}, {9, 14, 3, 4}};
    for (const Width &w : rows) {
        SCOPED_TRACE(testing::Message() << "type " << w.type << " rate " << int(w.rate));
        silentBoard(w.type, w.rate);
        feed(packet(Bytes(w.width, 0x11)));
        read(next());
        EXPECT_EQ(dev.fastReadStatus, "Finished");
        EXPECT_EQ(dev.expectedSize, 4 + w.width);
        // One sample of the other width is never a whole packet.
        feed(packet(Bytes(w.otherWidth, 0x11)));
        read(next(), 2.0);
        EXPECT_EQ(error(), "Timeout Error");
        EXPECT_EQ(qolven_sim::rx_pending(serial), 0u);  // purged
    }
}

TEST_F(FastData, ReaderTakesExactlyTheWholePacketAndShowsIt) {
    silentBoard(2);
    const Bytes p = packet({1, 2, 3, 4, 5, 6, 7, 8, 9});
    feed(p);
    read(p[0]);
    ASSERT_EQ(dev.fastReadStatus, "Finished");
    EXPECT_EQ(Bytes(dev.adapter.readBuffer, dev.adapter.readBuffer + 13), p);
    EXPECT_EQ(dev.packetReceivedText.size(), 26u);
    EXPECT_EQ(dev.packetReceivedText.substr(2, 6), "0d4301");
    // Fewer than four bytes are never read.
    feed({p[0], 4, 0x43});
    read(p[0], 2.0);
    EXPECT_EQ(error(), "Timeout Error");
    EXPECT_EQ(dev.fastReadStatus, "");
}

struct Refused { Bytes bytes; const char *text; };

TEST_F(FastData, EveryFailureTextOfTheReader) {
    silentBoard(2);
    const unsigned char n = next();
    const Refused rows[] = {
        {{uint8_t(n + 1), 0, 0x43, 0xAA}, "Empty Buffer Error"},  // before the number
        {{uint8_t(n + 1), 7, 0x43, 1, 2, 3, 0xAA}, "Packet Number Error"},
        {{n, 10, 0x01, 1, 2, 3, 0xAA}, "Packet Size Error"},     // kind 1 is never completed
        {{n, 7, 0x43, 1, 2, 3, 0x00}, "End Of Packet Error"},
        {{n, 4, 0x4C, 0xAA}, "TEDS Error"},
        {{n, 4, 0x4D, 0xAA}, "Command Error"},
        {{n, 4, 0x4E, 0xAA}, "Packet Frame Error"},
        {{n, 4, 0x4F, 0xAA}, "Packet Command Error"},
        {{n, 4, 0x7F, 0xAA}, "Command Number Error"},
        {{n, 4, 0x43, 1, 2, 3, 0xAA}, "Packet Size Error"},      // announces less than came
        {{n, 8, 0x43, 1, 2, 3, 0xAA}, "Packet Size Error"},      // 8 is no whole number of samples
    };
    for (const Refused &r : rows) {
        SCOPED_TRACE(r.text);
        feed(r.bytes);
        read(n);
        EXPECT_EQ(error(), std::string(r.text));
        EXPECT_EQ(dev.fastReadStatus, "");
        EXPECT_EQ(qolven_sim::rx_pending(serial), 0u);  // nothing left to wait for
    }
}

TEST_F(FastData, PacketInTwoPiecesIsJoined) {
    silentBoard(2);
    Bytes whole = packet({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});  // 19 bytes
    feed(Bytes(whole.begin(), whole.begin() + 13));
    feed(Bytes(whole.begin() + 13, whole.end()), 1500);
    read(whole[0]);
    ASSERT_EQ(dev.fastReadStatus, "Finished") << error();
    EXPECT_EQ(dev.expectedSize, 19);
    EXPECT_EQ(dev.fragmentFirstSize, 13);
    EXPECT_EQ(dev.fragmentRemainder, 6);
    EXPECT_EQ(Bytes(dev.adapter.readBuffer, dev.adapter.readBuffer + 19), whole);

    // Seven bytes are not the six missing ones: the piece is never taken.
    feed(Bytes(whole.begin(), whole.begin() + 13));
    feed(Bytes{16, 17, 18, 19, 20, 21, 0xAA}, 500);
    read(whole[0], 3.0);
    EXPECT_EQ(error(), "Timeout Error");
    EXPECT_EQ(qolven_sim::rx_pending(serial), 0u);
}

TEST_F(FastData, QueueLongerThanAnyPacketIsRefusedWithinTheBuffer) {
    silentBoard(2);
    const Bytes sent(dev.adapter.writeBuffer, dev.adapter.writeBuffer + 16);
    feed(Bytes(260, 0x55));  // 4 + 128 * 2: whole, but its length does not fit the size byte
    read(next());
    EXPECT_EQ(error(), "Packet Size Error");
    EXPECT_EQ(qolven_sim::rx_pending(serial), 0u);
    feed(Bytes(1100, 0x66));
    read(next());
    EXPECT_EQ(error(), "Packet Size Error");
    EXPECT_EQ(qolven_sim::rx_pending(serial), 1100u - 1024u);  // read what fits, no more
    EXPECT_EQ(dev.adapter.readBuffer[1023], 0x66);
    EXPECT_EQ(Bytes(dev.adapter.writeBuffer, dev.adapter.writeBuffer + 16), sent);
}

TEST_F(FastData, TransportFailuresAndUnservedTypes) {
    silentBoard(2);
    qolven_sim::inject_status("FT_GetStatus", 4);
    read(next());
    EXPECT_EQ(error(), "IO Error");
    EXPECT_EQ(dev.lastStatus, 4u);
    feed(packet({1, 2, 3}));
    qolven_sim::inject_status("FT_Read", 4);
    read(next());
    EXPECT_EQ(error(), "IO Error");
    EXPECT_EQ(dev.fastReadStatus, "");

    dev.boardType = 5;  // no sample width: nothing is read
    read(next());
    EXPECT_EQ(error(), "Invalid Type of Board");
    EXPECT_EQ(qolven_sim::rx_pending(serial), 7u);

    dev.fastReadStatus = "Finished";
    dev.offlineMode = 1;
    dev.ReadFastPacket(1.0);
    EXPECT_EQ(dev.fastReadStatus, "Finished");
}

TEST_F(FastData, Delay2CountsWholeMillisecondsTolerantly) {
    for (double ms : {1.0, 1.5, 4.0 / 3}) {
        auto start = Clock::now();
        dev.Delay2(ms);
        double took = millisSince(start);
        EXPECT_GE(took, std::ceil(ms) - 0.001) << ms;  // the clock counts whole microseconds
        EXPECT_LT(took, std::ceil(ms) + 300) << ms;
    }
}

// ---- the request

TEST_F(FastData, RequestOnTheWireForEachBoardClass) {
    silentBoard(9);
    feed(packet({}, 0x53));
    EXPECT_EQ(fast(0, "0", 0, 2), "");
    EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 5, 0x53, 2, 0xAA}}));
    silentBoard(2);
    dev.samplesPerPacket[4][0][0] = 9;
    feed(packet({}));
    EXPECT_EQ(fast(4, "0", 0, 3), "");
    EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 4, 0x43, 0xAA}}));
    EXPECT_EQ(dev.samplesPerPacket[4][0][0], 0);
    EXPECT_EQ(error(), "");
}

struct Check { int storedType; std::string typeText, version; int slot; const char *text; };

TEST_F(FastData, ArgumentChecksSendNothingAndStoreNothing) {
    const Check rows[] = {
        {2, "2", "3", 0, "Invalid Firmware Version"},   {2, "2", "abc", 0, "Invalid Firmware Version"},
        {2, "2", "nan", 0, "Invalid Firmware Version"}, {5, "2", "4", 0, "Invalid Type of Board"},
        {0, "2", "4", 0, "Invalid Type of Board"},      {2, "10", "4", 0, "Invalid Type of Board"},
        {2, "17", "4", 0, "Invalid Type of Board"},     {2, "-1", "4", 0, "Invalid Type of Board"},
        {2, "2", "4", -1, "Invalid Slot"},              {2, "2", "4", 16, "Invalid Slot"},
    };
    for (const Check &c : rows) {
        SCOPED_TRACE(c.text + (" " + c.typeText + " " + c.version));
        silentBoard(c.storedType, 3);
        EXPECT_EQ(dev.Fast_Data_Request(h, 0, c.slot, c.typeText, "15", c.version, 0), "Error");
        EXPECT_EQ(error(), std::string(c.text));
        EXPECT_TRUE(wire().empty());
        EXPECT_EQ(dev.boardType, c.storedType);  // a refused type is not kept
        EXPECT_EQ(dev.samplingRateCode, 3);
    }
    // Versions with a number above 3 pass.
    for (const char *version : {"3.5", " 4", "5abc"}) {
        silentBoard(2);
        feed(packet({}));
        EXPECT_EQ(dev.Fast_Data_Request(h, 0, 0, "2", "0", version, 0), "") << version << error();
    }
}

TEST_F(FastData, TextsWithoutANumberThrowBeforeAnythingChanges) {
    silentBoard(2, 3);
    EXPECT_THROW(dev.Fast_Data_Request(h, 0, 0, "x", "0", "4", 0), std::invalid_argument);
    EXPECT_THROW(dev.Fast_Data_Request(h, 0, 0, "9", "", "4", 0), std::invalid_argument);
    EXPECT_THROW(dev.Fast_Data_Request(h, 0, 0, "99999999999", "0", "4", 0), std::out_of_range);
    EXPECT_EQ(dev.boardType, 2);
    EXPECT_EQ(dev.samplingRateCode, 3);
    EXPECT_TRUE(wire().empty());
}

TEST_F(FastData, RecordsWithCommaAndTabAndRunningNumbers) {
    silentBoard(2);
    dev.sampleCounters[3][0] = 41;
    feed(packet({0x12, 0x34, 0x56, 0x00, 0x00, 0x07}));
    std::string text = fast(3, "0", 2);
    EXPECT_EQ(text, record(41, 2, 0x123456) + record(42, 2, 7));
    EXPECT_EQ(dev.sampleCounters[3][0], 43);
    EXPECT_EQ(dev.lastSampleNumber, 42);
    EXPECT_EQ(dev.sampleNumbers[3][0][1], 42);
    EXPECT_EQ(dev.samplesPerPacket[3][0][1], 2);
    EXPECT_EQ(dev.sampleCounts[3][0][0], 0x123456);
    EXPECT_EQ(dev.sampleTimes[3][0][0], dev.dateTimeText);
    EXPECT_EQ(dev.sampleCounters[2][0], 0);  // other slots keep their own numbers

    // Rate 15: two-byte samples, the low count byte taken as 0x80; tabs.
    feed(packet({0x12, 0x34, 0, 0, 0xFF, 0xFF}));
    text = fast(3, "15", 1);
    EXPECT_EQ(text, record(43, 3, 0x123480, '\t') + record(44, 3, 0x80, '\t') + record(45, 3, 0xFFFF80, '\t'));
    EXPECT_EQ(dev.samplingRateCode, 15);
    EXPECT_EQ(dev.adapter.readBuffer[0], 0);  // the packet area is cleared
}

TEST_F(FastData, ChannelBoardNumbersEachChannelAndSkipsUnknownChannels) {
    silentBoard(9);
    dev.sampleCounters[0][2] = 7;
    feed(packet({1, 0, 0, 5, 2, 0, 0, 6, 1, 0, 0, 8, 9, 0, 0, 1}, 0x53));
    std::string text = fast(0, "0", 0, 1);
    EXPECT_EQ(text, record(0, 4, 5, ',', 1) + record(7, 4, 6, ',', 2) + record(1, 4, 8, ',', 1) +
                        record(-1, 4, 1, ',', 9));
    EXPECT_EQ(dev.sampleCounters[0][1], 2);
    EXPECT_EQ(dev.sampleCounters[0][2], 8);
    EXPECT_EQ(dev.sampleCounts[0][1][2], 8);
    EXPECT_EQ(dev.sampleCounts[0][2][1], 6);
    EXPECT_EQ(dev.sampleCounts[0][1][1], 0);  // position 1 belongs to channel 2
    EXPECT_EQ(dev.lastSampleNumber, 1);
    // Rate 14: channel byte and two count bytes.
    feed(packet({3, 0x01, 0x02}, 0x53));
    text = fast(0, "14", 0, 3);
    EXPECT_EQ(text, record(0, 1, 0x010280, ',', 3));
}

TEST_F(FastData, SamplesPastTheTableKeepTheirRecords) {
    silentBoard(2, 15);
    Bytes samples;
    for (int i = 0; i < 70; ++i) samples.insert(samples.end(), {0, uint8_t(i)});
    feed(packet(samples));
    std::string text = fast(5, "15");
    EXPECT_EQ(text.substr(0, record(0, 70, 0x80).size()), record(0, 70, 0x80));
    EXPECT_NE(text.find(record(69, 70, 69 * 256 + 0x80)), std::string::npos);
    EXPECT_EQ(dev.sampleCounters[5][0], 70);
    EXPECT_EQ(dev.sampleNumbers[5][0][64], 64);
    EXPECT_EQ(dev.sampleNumbers[5][1][0], 0);  // nothing spilled past position 64
}

TEST_F(FastData, FailedCallLeavesTablesAndStampAlone) {
    silentBoard(2);
    dev.dateText = "before";
    dev.sampleCounters[0][0] = 5;
    EXPECT_EQ(fast(), "Error");
    EXPECT_EQ(error(), "Timeout Error");
    feed(packet({1, 2, 3}), 3000);  // would be in time, but the request never left
    qolven_sim::inject_status("FT_Write", 4);
    EXPECT_EQ(fast(), "Error");
    EXPECT_EQ(error(), "IO Error");
    EXPECT_EQ(dev.sampleCounters[0][0], 5);
    EXPECT_EQ(dev.dateText, "before");
}

TEST_F(FastData, TimeStampUsesTheCalendarYear) {
    silentBoard(2);
    feed(packet({}));
    fast();
    std::time_t now = std::time(nullptr);
    char expected[80];
    std::strftime(expected, sizeof expected, "%A, %B %d,%Y", std::localtime(&now));
    EXPECT_EQ(dev.dateText, expected);
    EXPECT_EQ(dev.dateFormat, "%A, %B %d,%Y");
    EXPECT_EQ(dev.dateTimeText, dev.dateText + "," + dev.timeText);
    EXPECT_EQ(dev.timeText.size(), 11u);  // hh:mm:ss AM
}

TEST_F(FastData, OfflineRecordAndPacing) {
    dev.offlineMode = 1;
    auto start = Clock::now();
    std::string text = dev.Fast_Data_Request(nullptr, 0, 2, "junk", "2", "junk", 0);
    double took = millisSince(start);
    EXPECT_EQ(text, record(0, 1, 10458593));
    EXPECT_GE(took, 50);
    EXPECT_LT(took, 400);
    EXPECT_EQ(dev.sampleCounters[2][0], 1);
    EXPECT_EQ(dev.sampleCounts[2][0][0], 10458593);

    start = Clock::now();
    dev.offlineValues[5] = -3;
    text = dev.Fast_Data_Request(nullptr, 1, 2, "", "x", "", 0);
    EXPECT_EQ(text, record(1, 1, -3, '\t'));  // the record's stamp is read after the call
    EXPECT_LT(millisSince(start), 300);  // no pacing for an unknown rate text (not the 400 ms of "0")
    EXPECT_EQ(dev.Fast_Data_Request(nullptr, 0, 16, "", "15", "", 0), "Error");
    EXPECT_EQ(error(), "Invalid Slot");
}

// ---- against the board's generator

TEST_F(FastData, StreamFromTheGeneratorIsContiguous) {
    useBoard(2);
    qolven_sim::set_eeprom(serial, 100, 0xFF0F);  // rate code 15: 1000 samples/s, two-byte samples
    dev.Get_Version_of_Board(h);
    const qolven_sim::FastCounters before = qolven_sim::fast_counters(serial);
    int records = 0;
    for (int call = 0; call < 20; ++call) {
        std::string text = fast(1, "15", 1);
        ASSERT_NE(text, "Error") << error();
        const int total = text.empty() ? 0 : dev.samplesPerPacket[1][0][0];
        EXPECT_EQ(int(std::count(text.begin(), text.end(), '\t')), 8 * total);
        records += total;
    }
    EXPECT_GT(records, 20);  // about two samples per call of 2 ms or more
    EXPECT_EQ(dev.sampleCounters[1][0], records);
    // Every sample the board sent arrived, and the board dropped none.
    const qolven_sim::FastCounters after = qolven_sim::fast_counters(serial);
    EXPECT_EQ(after.delivered - before.delivered, static_cast<uint64_t>(records));
    EXPECT_EQ(after.dropped, before.dropped);
}

TEST_F(FastData, BoardType8WaitsLongerForItsPacket) {
    useBoard(8);
    dev.Get_Version_of_Board(h);
    qolven_sim::set_answer_delay_us(serial, 4000);  // after the pause, within 5 ms
    // Three tries: a busy machine may take the thread away for the 3 ms of margin.
    std::string result = "Error";
    for (int attempt = 0; attempt < 3 && result == "Error"; ++attempt) result = fast();
    EXPECT_NE(result, "Error") << error();
    useBoard(2);
    dev.Get_Version_of_Board(h);
    qolven_sim::set_answer_delay_us(serial, 200000);  // far beyond 1 ms, even on a busy machine
    EXPECT_EQ(fast(), "Error");
    EXPECT_EQ(error(), "Timeout Error");
}

} // namespace
