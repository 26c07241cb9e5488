// Angle and speed of the rotation input, and the angle reset.
#include "fixture.h"

#include <algorithm>

namespace {

class Rotation : public BoardTest {
protected:
    void SetUp() override { useBoard(8); }
    // The board stays silent; the answer to the next request is this one.
    void answerNextWith(const Bytes &data) {
        qolven_sim::set_board_silent(serial, true);
        uint8_t n = dev.requestNumber <= 253 ? dev.requestNumber + 1 : 1;
        Bytes answer(data.size() + 4, 0xAA);
        answer[0] = n;
        answer[1] = uint8_t(answer.size());
        answer[2] = 0x4B;
        std::copy(data.begin(), data.end(), answer.begin() + 3);
        qolven_sim::queue_rx(serial, answer);
    }
};

TEST_F(Rotation, AngleIsSignedAndSpeedUnsigned) {
    struct Case {
        Bytes data;
        int angle, rpm;
    } cases[] = {
        {{0xFF, 0xFF, 0xFE, 0x00, 0x00, 0x3C}, -2, 60},
        {{0x80, 0x00, 0x00, 0xFF, 0xFF, 0xFF}, -8388608, 16777215},
        {{0x7F, 0xFF, 0xFF, 0x01, 0x02, 0x03}, 8388607, 66051},
        {{0x00, 0x01, 0x00, 0x80, 0x00, 0x00}, 256, 8388608},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.angle);
        clearWire();
        answerNextWith(c.data);
        EXPECT_EQ(dev.Get_Rotation_Values(h), "0") << error();
        EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 4, 0x4B, 0xAA}}));
        EXPECT_EQ(dev.Get_Angle_Value(), c.angle);
        EXPECT_EQ(dev.Get_RPM_Value(), c.rpm);
    }
}

TEST_F(Rotation, FailedReadKeepsThePreviousValues) {
    answerNextWith({0xFF, 0xFF, 0xFE, 0x00, 0x00, 0x3C});
    ASSERT_EQ(dev.Get_Rotation_Values(h), "0");
    answerNextWith({0x00, 0x00, 0x05, 0x00, 0x00, 0x07, 0x00});  // one byte too many
    EXPECT_EQ(dev.Get_Rotation_Values(h), "Error");
    EXPECT_EQ(error(), "Packet Size Error");
    qolven_sim::set_board_silent(serial, true);
    EXPECT_EQ(dev.Get_Rotation_Values(h), "Error");
    EXPECT_EQ(error(), "Timeout Error");
    EXPECT_EQ(dev.Get_Angle_Value(), -2);
    EXPECT_EQ(dev.Get_RPM_Value(), 60);
}

TEST_F(Rotation, ResetClearsTheThreeAngleRegistersOfTheBoard) {
    struct Case {
        int board;
        uint8_t first;
    } cases[] = {{8, 128}, {11, 45}, {14, 45}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.board);
        useBoard(c.board);
        for (int i = 0; i < 3; ++i) qolven_sim::set_memory_register(serial, c.first + i, 0x55);
        EXPECT_EQ(dev.Reset_Angle(h, 7), "0") << error();
        std::vector<Bytes> writes;
        for (int i = 0; i < 3; ++i) {
            writes.push_back({0, 6, 0x81, uint8_t(c.first + i), 0, 0xAA});
            EXPECT_EQ(qolven_sim::memory_register(serial, c.first + i), 0);
        }
        EXPECT_EQ(afterIdentification(), writes);
    }
    for (int board : {0, 2, 9, 16}) {
        useBoard(board);
        EXPECT_EQ(dev.Reset_Angle(h, 0), "Error");
        EXPECT_EQ(error(), "Invalid Type of Board");
        EXPECT_TRUE(afterIdentification().empty());
    }
}

TEST_F(Rotation, ResetReportsAFailedEarlierWrite) {
    // Answers: identification, register 128 (refused), 129, 130.
    qolven_sim::set_fault(serial, {qolven_sim::Fault::BoardError, qolven_sim::FaultMode::EveryNth, 0x4E, 0, 2});
    EXPECT_EQ(dev.Reset_Angle(h, 0), "Error");
    EXPECT_EQ(error(), "Packet Frame Error");
    EXPECT_EQ(afterIdentification().size(), 3u);
}

TEST_F(Rotation, OfflineAnswersWithoutTheBus) {
    answerNextWith({0x00, 0x00, 0x09, 0x00, 0x00, 0x04});
    ASSERT_EQ(dev.Get_Rotation_Values(h), "0");
    clearWire();
    dev.offlineMode = 1;
    EXPECT_EQ(dev.Get_Rotation_Values(h), "0");
    EXPECT_EQ(dev.Reset_Angle(h, 0), "0");
    EXPECT_EQ(dev.Get_Angle_Value(), 9);
    EXPECT_EQ(dev.Get_RPM_Value(), 4);
    EXPECT_TRUE(wire().empty());
}

} // namespace
