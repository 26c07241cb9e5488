// The calibration commands: mode (type 16, answered twice) and register (types 5, 10).
#include "fixture.h"

namespace {

using qolven_sim::Fault;
using qolven_sim::FaultMode;

class Calibration : public BoardTest {};

TEST_F(Calibration, ModeAcceptsBothAnswersInOneRead) {
    useBoard(16);
    EXPECT_EQ(dev.Set_Calibration_Mode(h, 0x12, 0x34, 3), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 6, 0x2D, 0x12, 0x34, 0xAA}}));
    EXPECT_EQ(dev.additionalPacket[2], 0x45);
    EXPECT_EQ(qolven_sim::memory_register(serial, 56), 0x12);
    EXPECT_EQ(qolven_sim::memory_register(serial, 57), 0x34);
}

TEST_F(Calibration, ModeWaitsForALateCompletion) {
    qolven_sim::BoardConfig late;
    late.answerDelayUs = 0;
    late.completionDelayMs = 40;
    useBoard(16, late);
    EXPECT_EQ(dev.Set_Calibration_Mode(h, 1, 2, 0), "0") << error();
    EXPECT_EQ(dev.packetReceivedText.substr(2), "0445aa");
}

TEST_F(Calibration, ModeFailsWithoutCompletion) {
    useBoard(16);
    // The whole acknowledgement arrives, the completion never does.
    qolven_sim::set_fault(serial, {Fault::Partial, FaultMode::EveryNth, 4, 0, 2});
    EXPECT_EQ(dev.Set_Calibration_Mode(h, 1, 2, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "Timeout Error");
}

// Scripted answers: identification of a type-16 board, then acknowledgement and a
// damaged completion arriving together.
TEST_F(Calibration, ModeChecksACompletionThatCameAlong) {
    useBoard(16);
    qolven_sim::set_board_silent(serial, true);
    unsigned char n = dev.requestNumber;
    unsigned char id = n + 1, mode = n + 2;
    qolven_sim::queue_rx(serial, {id, 8, 0x44, 16, 1, 4, 0xB1, 0xAA});
    qolven_sim::queue_rx(serial, {mode, 4, 0x01, 0xAA, mode, 4, 0x45, 0x00}, 100000);
    EXPECT_EQ(dev.Set_Calibration_Mode(h, 1, 2, 0), "Error");
    EXPECT_STREQ(dev.lastErrorText, "End Of Packet Error");
}

TEST_F(Calibration, RegisterCommandOnHandheldBoards) {
    for (int type : {5, 10}) {
        SCOPED_TRACE(type);
        useBoard(type);
        EXPECT_EQ(dev.Set_Calibration_Register(h, 40, 0xAB, 0xCD, 2), "0") << error();
        EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 7, 0x23, 40, 0xAB, 0xCD, 0xAA}}));
        EXPECT_EQ(qolven_sim::eeprom(serial, 40), 0xABCD);
    }
}

TEST_F(Calibration, CommandsRefuseOtherBoards) {
    for (int type : {0, 2, 5, 9, 10, 15, 16, 17}) {
        SCOPED_TRACE(type);
        useBoard(type);
        if (type != 16) {
            EXPECT_EQ(dev.Set_Calibration_Mode(h, 1, 2, 0), "Error");
            EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
        }
        if (type != 5 && type != 10) {
            EXPECT_EQ(dev.Set_Calibration_Register(h, 1, 2, 3, 0), "Error");
            EXPECT_STREQ(dev.lastErrorText, "Invalid Type of Board");
        }
        EXPECT_TRUE(afterIdentification().empty());
    }
}

TEST(CalibrationOffline, CommandsAnswerZero) {
    auto d = std::make_unique<QOLVEN_USB_DLL>();
    d->offlineMode = 1;
    EXPECT_EQ(d->Set_Calibration_Mode(nullptr, 1, 2, 0), "0");
    EXPECT_EQ(d->Set_Calibration_Register(nullptr, 1, 2, 3, 0), "0");
}

} // namespace
