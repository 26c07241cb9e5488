// Logged records fetched by number.
#include "fixture.h"

namespace {

class DataLogging : public BoardTest {
protected:
    std::vector<int> record() { return std::vector<int>(dev.dataLogRecord, dev.dataLogRecord + 5); }
    void fillRecord(int v) { std::fill(std::begin(dev.dataLogRecord), std::end(dev.dataLogRecord), v); }
};

TEST_F(DataLogging, RecordNumberIsSentHighByteFirstAndTheValuesDecoded) {
    struct Case {
        int number;
        Bytes stored;
        std::vector<int> entries;
    } cases[] = {
        {300, {0x01, 0x02, 0x00, 0x00, 0x10, 0xFF, 0xFF, 0xFF}, {258, 16, 16777215, 0, 0}},
        {65535, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00}, {65535, 16777215, 0, 0, 0}},
        {0, {0x00, 0x80, 0x80, 0x00, 0x01, 0x12, 0x34, 0x56}, {128, 8388609, 1193046, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.number);
        qolven_sim::set_log_record(serial, c.number, c.stored);
        clearWire();
        fillRecord(-7);
        EXPECT_EQ(dev.Get_Data_Logging(h, c.number), "0") << error();
        EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 6, 0x48, uint8_t(c.number >> 8), uint8_t(c.number), 0xAA}}));
        EXPECT_EQ(record(), c.entries);
    }
}

TEST_F(DataLogging, FailuresLeaveAnEmptyRecord) {
    for (int bad : {-1, 65536}) {
        fillRecord(-7);
        EXPECT_EQ(dev.Get_Data_Logging(h, bad), "Error");
        EXPECT_EQ(error(), "Invalid Counter");
        EXPECT_EQ(record(), std::vector<int>(5, 0));
    }
    EXPECT_TRUE(wire().empty());
    qolven_sim::set_log_record(serial, 1, {1, 2, 3, 4, 5, 6, 7, 8});
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongCommand});
    fillRecord(-7);
    EXPECT_EQ(dev.Get_Data_Logging(h, 1), "Error");
    EXPECT_EQ(error(), "Command Number Error");
    EXPECT_EQ(record(), std::vector<int>(5, 0));
}

TEST_F(DataLogging, OfflineLeavesTheRecordAlone) {
    dev.offlineMode = 1;
    fillRecord(-7);
    EXPECT_EQ(dev.Get_Data_Logging(h, 70000), "0");
    EXPECT_EQ(record(), std::vector<int>(5, -7));
    EXPECT_TRUE(wire().empty());
}

} // namespace
