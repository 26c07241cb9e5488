// Request framing, response checks, time-outs and two answers in one read.
#include <chrono>
#include <cstring>

#include "fixture.h"

namespace {

class Protocol : public BoardTest {
protected:
    // The board stays quiet; the test writes the answers itself.
    void quiet() { qolven_sim::set_board_silent(serial, true); }
    void answer(const Bytes &b, unsigned delayUs = 0) { qolven_sim::queue_rx(serial, b, delayUs); }
    bool purged() {
        for (const auto &c : qolven_sim::calls())
            if (c.function == "FT_Purge") return true;
        return false;
    }
    void expectNoData() {
        EXPECT_EQ(dev.readStatus, "");
        for (unsigned char b : dev.packetData) EXPECT_EQ(b, 0);
    }
};

struct Framing {
    signed char layout;
    unsigned char size;
    Bytes expected;
};

TEST_F(Protocol, RequestBytesInBothLayouts) {
    quiet();
    const Framing cases[] = {
        {0, 4, {1, 4, 0x44, 0xAA}},
        {0, 5, {2, 5, 0x44, 0x11, 0xAA}},
        {0, 8, {3, 8, 0x44, 0x11, 0x22, 0x33, 0x44, 0xAA}},
        {1, 5, {4, 5, 0x44, 0x07, 0xAA}},
        {1, 6, {5, 6, 0x44, 0x07, 0x11, 0xAA}},
        {1, 9, {6, 9, 0x44, 0x07, 0x11, 0x22, 0x33, 0x44, 0xAA}},
    };
    for (const Framing &c : cases) {
        clearWire();
        dev.adapter.ftHandle = h;
        dev.NextPacketNumber();
        dev.requestSize = c.size;
        dev.requestCommand = 0x44;
        dev.requestChannel = 7;
        const unsigned char data[] = {0x11, 0x22, 0x33, 0x44};
        std::memcpy(dev.packetData, data, 4);
        dev.endOfPacket = 0xAA;
        dev.WritePacket(c.layout);
        EXPECT_EQ(dev.writeStatus, "Finished");
        ASSERT_EQ(wire().size(), 1u);
        EXPECT_EQ(wire()[0], c.expected);
        EXPECT_EQ(dev.packetSentText.size(), 2u * c.size);
    }
    // A size outside the layout's range is not sent.
    clearWire();
    dev.requestSize = 10;
    dev.WritePacket(1);
    EXPECT_EQ(dev.writeStatus, "");
    EXPECT_TRUE(wire().empty());
}

TEST_F(Protocol, PacketNumbersSkipZeroAndFF) {
    EXPECT_EQ(dev.requestNumber, 0);
    dev.NextPacketNumber();
    EXPECT_EQ(dev.requestNumber, 1);
    dev.requestNumber = 253;
    dev.NextPacketNumber();
    EXPECT_EQ(dev.requestNumber, 254);
    dev.NextPacketNumber();
    EXPECT_EQ(dev.requestNumber, 1);
    dev.requestNumber = 255;
    dev.NextPacketNumber();
    EXPECT_EQ(dev.requestNumber, 1);
}

TEST_F(Protocol, SentAndReceivedTextsAreLowerCaseHex) {
    EXPECT_EQ(dev.Write_Channel_Register(h, 2, 114, 0xAB), "0");
    EXPECT_EQ(dev.packetSentText, "0107870272abaa");
    EXPECT_EQ(dev.packetReceivedText, "010401aa");
}

struct Answer {
    const char *name;
    Bytes bytes;
    const char *error;  // nullptr: accepted
};

// Identification expects 8 bytes, command 0x44, number 1.
TEST_F(Protocol, ResponseChecksInOrder) {
    const Answer cases[] = {
        {"plain", {1, 8, 0x44, 16, 3, 7, 0xB5, 0xAA}, nullptr},
        {"leading FF", {0xFF, 1, 8, 0x44, 16, 3, 7, 0xB5, 0xAA}, nullptr},
        {"number", {2, 8, 0x44, 16, 3, 7, 0xB5, 0xAA}, "Packet Number Error"},
        {"number before size", {2, 9, 0x45, 16, 3, 7, 0xB5, 0, 0xAA}, "Packet Number Error"},
        {"size", {1, 9, 0x44, 16, 3, 7, 0xB5, 0, 0xAA}, "Packet Size Error"},
        {"command", {1, 8, 0x45, 16, 3, 7, 0xB5, 0xAA}, "Command Number Error"},
        {"report as command", {1, 8, 0x4E, 16, 3, 7, 0xB5, 0xAA}, "Packet Frame Error"},
        {"end byte", {1, 8, 0x44, 16, 3, 7, 0xB5, 0x00}, "End Of Packet Error"},
        {"FF end byte", {0xFF, 1, 8, 0x44, 16, 3, 7, 0xB5, 0x00}, "End Of Packet Error"},
        {"FF number", {0xFF, 3, 8, 0x44, 16, 3, 7, 0xB5, 0xAA}, "Packet Number Error"},
    };
    for (const Answer &c : cases) {
        SCOPED_TRACE(c.name);
        useBoard(2);
        quiet();
        answer(c.bytes);
        std::string result = dev.Version_of_Board(h);
        if (!c.error) {
            EXPECT_EQ(result, "0");
            EXPECT_EQ(dev.readStatus, "Finished");
            EXPECT_EQ(Bytes(dev.packetData, dev.packetData + 4), (Bytes{16, 3, 7, 0xB5}));
            EXPECT_EQ(dev.expectedSize, c.bytes.size());
            EXPECT_EQ(dev.packetReceivedText.size(), 2 * c.bytes.size());
        } else {
            EXPECT_EQ(result, "Error");
            EXPECT_STREQ(dev.lastErrorText, c.error);
            expectNoData();
        }
    }
}

TEST_F(Protocol, BoardErrorReportsEndTheReadAtOnce) {
    const std::pair<unsigned char, const char *> reports[] = {
        {0x4C, "TEDS Error"}, {0x4D, "Command Error"}, {0x4E, "Packet Frame Error"}, {0x4F, "Packet Command Error"}};
    for (auto [code, text] : reports) {
        useBoard(2);
        quiet();
        answer({1, 5, code, 0, 0xAA});
        EXPECT_EQ(dev.Slave_Activity_Inquiry(h), "Error");
        EXPECT_STREQ(dev.lastErrorText, text);
    }
}

// An 8-byte answer is awaited whole: a shorter error report is only looked at
// when the time runs out.
TEST_F(Protocol, ShortErrorReportToALongerAnswerWaitsForTheTimeOut) {
    quiet();
    answer({1, 5, 0x4D, 0, 0xAA});
    auto start = Clock::now();
    EXPECT_EQ(dev.Version_of_Board(h), "Error");
    EXPECT_GE(millisSince(start), 95.0);
    EXPECT_STREQ(dev.lastErrorText, "Command Error");
    EXPECT_FALSE(purged());
}

TEST_F(Protocol, TimeOutPaths) {
    struct Case {
        const char *name;
        Bytes partial;
        const char *text;
        bool purge;
    } cases[] = {
        {"nothing", {}, "Timeout Error", true},
        {"three bytes", {1, 8, 0x44}, "Timeout Error", true},
        {"incomplete", {1, 8, 0x44, 16, 3}, "Timeout Error", true},
        {"other number", {5, 8, 0x44, 16, 3}, "Packet Number Error", false},
        {"other command", {1, 8, 0x12, 16, 3}, "Command Number Error", false},
        {"error report", {1, 5, 0x4F, 0, 0xAA}, "Packet Command Error", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        useBoard(2);
        quiet();
        if (!c.partial.empty()) answer(c.partial);
        EXPECT_EQ(dev.Version_of_Board(h), "Error");
        EXPECT_STREQ(dev.lastErrorText, c.text);
        EXPECT_EQ(purged(), c.purge);
        if (c.purge) EXPECT_EQ(qolven_sim::rx_pending(serial), 0u);
        expectNoData();
    }
}

TEST_F(Protocol, TenMillisecondTimeOutGivesUpAfterAboutTenMilliseconds) {
    quiet();
    auto start = Clock::now();
    EXPECT_EQ(dev.Slave_Activity_Inquiry(h), "Error");
    double elapsed = millisSince(start);
    EXPECT_STREQ(dev.lastErrorText, "Timeout Error");
    EXPECT_GE(elapsed, 9.0);
    EXPECT_LT(elapsed, 1000.0);
}

// The end byte of a leading-0xFF frame is one byte further; it is not
// checked before it has arrived.
TEST_F(Protocol, LeadingFFFrameWaitsForItsLastByte) {
    quiet();
    answer({0xFF, 1, 8, 0x44, 16, 3, 7, 0xB5});
    answer({0xAA}, 5000);
    EXPECT_EQ(dev.Version_of_Board(h), "0") << dev.lastErrorText;
    EXPECT_EQ(dev.packetReceivedText, "ff0108441003" "07b5aa");
}

TEST_F(Protocol, AnswerInTwoPiecesIsJoined) {
    quiet();
    answer({1, 8, 0x44, 2});
    answer({1, 4, 0x21, 0xAA}, 3000);
    EXPECT_EQ(dev.Get_Firmware_Month(h), "1");
}

TEST_F(Protocol, ReadOfMoreThanTheBufferIsBounded) {
    quiet();
    Bytes flood(1500, 0x33);
    flood[0] = 1;
    flood[1] = 8;
    flood[2] = 0x44;
    flood[7] = 0xAA;
    answer(flood);
    EXPECT_EQ(dev.Version_of_Board(h), "0");
    EXPECT_EQ(dev.adapter.rxBytes, 1024u);
}

// ---- two answers to one request

TEST_F(Protocol, ResetAnnouncementInTheSameRead) {
    quiet();
    answer({1, 4, 0x01, 0xAA, 1, 4, 0x45, 0xAA});
    auto start = Clock::now();
    EXPECT_EQ(dev.Reset_Board(h), "0") << dev.lastErrorText;
    EXPECT_LT(millisSince(start), 1000.0);
    EXPECT_EQ(Bytes(dev.additionalPacket, dev.additionalPacket + 4), (Bytes{1, 4, 0x45, 0xAA}));
    EXPECT_EQ(dev.packetReceivedText, "010445aa");
}

TEST_F(Protocol, ResetAnnouncementAfterLeadingFFAcknowledgement) {
    quiet();
    answer({0xFF, 1, 4, 0x01, 0xAA, 1, 4, 0x45, 0xAA});
    EXPECT_EQ(dev.Reset_Board(h), "0") << dev.lastErrorText;
    EXPECT_EQ(dev.additionalPacket[0], 1);
}

TEST_F(Protocol, ResetAnnouncementInALaterRead) {
    quiet();
    answer({1, 4, 0x01, 0xAA});
    answer({1, 4, 0x45, 0xAA}, 20000);
    EXPECT_EQ(dev.Reset_Board(h), "0") << dev.lastErrorText;
    // Only the start of the announcement came with the acknowledgement.
    useBoard(2);
    quiet();
    answer({1, 4, 0x01, 0xAA, 1, 4});
    answer({0x45, 0xAA}, 5000);
    EXPECT_EQ(dev.Reset_Board(h), "0") << dev.lastErrorText;
}

TEST_F(Protocol, SecondAnswerIsCheckedToo) {
    quiet();
    answer({1, 4, 0x01, 0xAA, 1, 4, 0x45, 0x00});
    EXPECT_EQ(dev.Reset_Board(h), "Error");
    EXPECT_STREQ(dev.lastErrorText, "End Of Packet Error");
    useBoard(2);
    quiet();
    answer({1, 4, 0x01, 0xAA, 2, 4, 0x45, 0xAA});
    EXPECT_EQ(dev.Reset_Board(h), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Packet Number Error");
}

TEST_F(Protocol, SurplusNeverOverrunsTheAdditionalPacket) {
    quiet();
    Bytes flood = {1, 4, 0x01, 0xAA};
    flood.resize(1000, 0x77);
    answer(flood);
    dev.lastSampleNumber = 0x1234;
    EXPECT_EQ(dev.Reset_Board(h), "Error");
    EXPECT_EQ(dev.additionalPacket[256], 0x77);
    EXPECT_EQ(dev.lastSampleNumber, 0x1234);
}

TEST_F(Protocol, ResetOnTheVirtualBoard) {
    EXPECT_EQ(dev.Reset_Board(h), "0") << dev.lastErrorText;
    EXPECT_EQ(qolven_sim::reset_count(serial), 1);
    qolven_sim::BoardConfig c;
    c.answerDelayUs = 0;
    c.resetDelayMs = 30;
    useBoard(2, c);
    EXPECT_EQ(dev.Reset_Board(h), "0") << dev.lastErrorText;
    // Numbering goes on after a reset.
    EXPECT_EQ(dev.Slave_Activity_Inquiry(h), "0");
    EXPECT_EQ(wire().back()[0], 2);
}

} // namespace
