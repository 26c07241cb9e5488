// The tables every method reads: error texts, board commands, board types.
// A wrong entry would pass wherever the table is read on both sides, so the
// texts and commands are pinned here as the protocol fixes them, and the
// board-type rows are checked against each other.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "board/board_types.h"
#include "core/error_texts.h"
#include "protocol/commands.h"

namespace {

using namespace _QOLVEN_USB_DLL::detail;

// ---- error texts

struct Named {
    ErrorText id;
    const char *text;
};

// clang-format off
const Named kTexts[] = {
    {ErrorText::None, ""},
    {ErrorText::Timeout, "Timeout Error"},
    {ErrorText::PacketNumber, "Packet Number Error"},
    {ErrorText::PacketSize, "Packet Size Error"},
    {ErrorText::CommandNumber, "Command Number Error"},
    {ErrorText::EndOfPacket, "End Of Packet Error"},
    {ErrorText::EmptyBuffer, "Empty Buffer Error"},
    {ErrorText::Teds, "TEDS Error"},
    {ErrorText::Command, "Command Error"},
    {ErrorText::PacketFrame, "Packet Frame Error"},
    {ErrorText::PacketCommand, "Packet Command Error"},
    {ErrorText::InvalidTypeOfBoard, "Invalid Type of Board"},
    {ErrorText::InvalidSourcePage, "Invalid Source Page Number"},
    {ErrorText::InvalidDestinationPage, "Invalid Destination Page Number"},
    {ErrorText::InvalidActivePage, "Invalid Active Page Number"},
    {ErrorText::InvalidAverageSetting, "Invalid Average Setting"},
    {ErrorText::InvalidBridgeResistance, "Invalid Bridge Resistance"},
    {ErrorText::InvalidCalibrationCode, "Invalid Calibration Code"},
    {ErrorText::InvalidCalibrationDay, "Invalid Calibration Day"},
    {ErrorText::InvalidCalibrationMonth, "Invalid Calibration Month"},
    {ErrorText::InvalidCalibrationYear, "Invalid Calibration Year"},
    {ErrorText::InvalidCrossTalk, "Invalid CrossTalk"},
    {ErrorText::InvalidDecimalPoint, "Invalid Decimal Point"},
    {ErrorText::InvalidDirection, "Invalid Direction"},
    {ErrorText::InvalidLoadValue, "Invalid Load Value"},
    {ErrorText::InvalidLoadingPoint, "Invalid Loading Point"},
    {ErrorText::InvalidNumberOfLoadingPoints, "Invalid Number Of Loading Points"},
    {ErrorText::InvalidNumberOfActiveChannels, "Invalid Number of Active Channels"},
    {ErrorText::InvalidPoint, "Invalid Point"},
    {ErrorText::InvalidPortNumber, "Invalid Port Number"},
    {ErrorText::InvalidPulsesPerRotation, "Invalid Pulses Per Rotation"},
    {ErrorText::InvalidSamplingRate, "Invalid Sampling Rate"},
    {ErrorText::InvalidSensitivity, "Invalid Sensitivity"},
    {ErrorText::InvalidSensorConfiguration, "Invalid Sensor Configuration"},
    {ErrorText::InvalidSerialNumber, "Invalid Serial Number"},
    {ErrorText::InvalidShuntValue, "Invalid Shunt Value"},
    {ErrorText::InvalidSimulatedLoad, "Invalid Simulated Load"},
    {ErrorText::InvalidTypeOfCalibration, "Invalid Type Of Calibration"},
    {ErrorText::InvalidUnitCode, "Invalid Unit Code"},
    {ErrorText::InvalidVoltagePoint, "Invalid Voltage Point"},
    {ErrorText::InvalidCounter, "Invalid Counter"},
    {ErrorText::InvalidFirmwareVersion, "Invalid Firmware Version"},
    {ErrorText::InvalidSlot, "Invalid Slot"},
    {ErrorText::InvalidZeroCorrection, "Invalid Zero Correction"},
};
const char *const kStatuses[] = {
    "OK", "Invalid Handle", "Device Not Found", "Device Not Opened", "IO Error", "Insufficient Resources",
    "Invalid Parameter", "Invalid Baud Rate", "Device Not Opened For Erase", "Device Not Opened For Write",
    "Failed to Write Device", "EEPROM Read Failed", "EEPROM Write Failed", "EEPROM Erased Failed",
    "EEPROM Not Present", "EEPROM Not Programmed", "Invalid Arguments", "Not Supported", "Other Errors",
    "Device List Not Ready",
};
// clang-format on

TEST(ErrorTexts, EveryTextAsTheInterfaceFixesIt) {
    ASSERT_EQ(std::size(kTexts), size_t(ErrorText::Count)) << "a text without a pin, or a pin without a text";
    std::set<std::string> seen;
    for (const Named &n : kTexts) {
        EXPECT_STREQ(errorText(n.id), n.text) << "text " << int(n.id);
        EXPECT_TRUE(seen.insert(n.text).second) << "written twice: " << n.text;
    }
    EXPECT_STREQ(errorText(ErrorText::Count), "");

    ASSERT_EQ(std::size(kStatuses), size_t(kStatusTexts));
    for (size_t status = 0; status < kStatusTexts; ++status) EXPECT_STREQ(kStatusText[status], kStatuses[status]);
    EXPECT_STREQ(kUnknownStatusText, "Unknown Error");
    // Every text fits lastErrorText (64 bytes) whole.
    for (const Named &n : kTexts) EXPECT_LT(std::strlen(n.text), 64u) << n.text;
}

TEST(ErrorTexts, BoardErrorReports) {
    EXPECT_EQ(boardErrorText(0x4C), ErrorText::Teds);
    EXPECT_EQ(boardErrorText(0x4D), ErrorText::Command);
    EXPECT_EQ(boardErrorText(0x4E), ErrorText::PacketFrame);
    EXPECT_EQ(boardErrorText(0x4F), ErrorText::PacketCommand);
    for (int code : {0x00, 0x01, 0x4B, 0x50, 0xFF}) EXPECT_EQ(boardErrorText(code), ErrorText::None) << code;
}

// ---- commands

struct Pinned {
    Command id;
    unsigned char code;
    int requestSize;       // plain form, the end byte included
    int channelSize;       // the multi-channel board's form; 0: it has none
    int answerSize;
    unsigned char answer;  // command byte of the answer to the plain form
    int timeoutMs;
    int secondAnswerMs;
};

// clang-format off
const Pinned kCommands[] = {
    {Command::SlaveActivity,         0x01, 4, 0, 4,   0x01, 10,   0},
    {Command::SensorIdentification,  0x20, 7, 8, 4,   0x01, 300,  0},
    {Command::CalibrationRegister,   0x23, 7, 0, 4,   0x01, 300,  0},
    {Command::LoadingPoint,          0x24, 5, 6, 4,   0x01, 300,  0},
    {Command::LoadOfLoadingPoint,    0x25, 7, 8, 4,   0x01, 300,  0},
    {Command::SensorConfiguration,   0x26, 5, 6, 4,   0x01, 300,  0},
    {Command::LoadSwitch,            0x27, 5, 0, 4,   0x01, 300,  0},
    {Command::NumberOfLoadingPoints, 0x28, 5, 6, 4,   0x01, 300,  0},
    {Command::AdcConfiguration,      0x29, 5, 6, 4,   0x01, 2000, 0},
    {Command::AverageSetting,        0x2A, 5, 6, 4,   0x01, 300,  0},
    {Command::VoltageOutput,         0x2B, 5, 0, 4,   0x01, 300,  0},
    {Command::DigitalComponents,     0x2C, 7, 0, 4,   0x01, 300,  3000},
    {Command::CalibrationMode,       0x2D, 6, 0, 4,   0x01, 300,  3000},
    {Command::OffsetValue,           0x40, 4, 5, 8,   0x40, 10,   0},
    {Command::FullscaleValue,        0x41, 4, 5, 8,   0x41, 10,   0},
    {Command::NormalData,            0x42, 4, 5, 8,   0x42, 10,   0},
    {Command::FastData,              0x43, 4, 5, 0,   0x43, 0,    0},
    {Command::VersionOfBoard,        0x44, 4, 0, 8,   0x44, 100,  0},
    {Command::ResetBoard,            0x45, 4, 0, 4,   0x01, 1000, 10000},
    {Command::DisplayPage,           0x46, 4, 0, 68,  0x46, 50,   0},
    {Command::InternalRegister,      0x47, 5, 0, 7,   0x47, 50,   0},
    {Command::DataLogging,           0x48, 6, 0, 12,  0x48, 50,   0},
    {Command::CreateBackUp,          0x49, 5, 6, 4,   0x01, 200,  0},
    {Command::RestoreBackUp,         0x4A, 5, 6, 4,   0x01, 200,  0},
    {Command::RotationValues,        0x4B, 4, 0, 10,  0x4B, 10,   0},
    {Command::KeyBatteryEnter,       0x60, 4, 0, 4,   0x01, 50,   0},
    {Command::KeyTareUp,             0x61, 4, 0, 4,   0x01, 50,   0},
    {Command::KeyDisplayBack,        0x62, 4, 0, 4,   0x01, 50,   0},
    {Command::KeyResetLeft,          0x63, 4, 0, 4,   0x01, 50,   0},
    {Command::KeyMenu,               0x64, 4, 0, 4,   0x01, 50,   0},
    {Command::KeyUnitRight,          0x65, 4, 0, 4,   0x01, 50,   0},
    {Command::KeyShuntExit,          0x66, 4, 0, 4,   0x01, 50,   0},
    {Command::KeyHoldDown,           0x67, 4, 0, 4,   0x01, 50,   0},
    {Command::ReadMemory,            0x80, 5, 0, 6,   0x80, 50,   0},
    {Command::WriteMemory,           0x81, 6, 0, 4,   0x01, 100,  0},
    {Command::ReadEeprom,            0x82, 5, 0, 7,   0x82, 50,   0},
    {Command::WriteEeprom,           0x83, 7, 0, 4,   0x01, 100,  0},
    {Command::ReadTeds,              0x84, 6, 0, 7,   0x84, 50,   0},
    {Command::WriteTeds,             0x85, 7, 0, 4,   0x01, 200,  0},
    {Command::ReadChannel,           0x86, 6, 0, 7,   0x86, 50,   0},
    {Command::WriteChannel,          0x87, 7, 0, 4,   0x01, 100,  0},
    {Command::ReadPage,              0x88, 5, 0, 133, 0x88, 50,   0},
};
// clang-format on

// Bytes on the wire: number, size, command, [channel], data..., end byte.
int wireSize(const Request &r) { return 4 + r.layout + r.dataCount; }

TEST(Commands, EveryCommandAsTheProtocolFixesIt) {
    ASSERT_EQ(std::size(kCommands), size_t(Command::Count)) << "a command without a pin";
    for (const Pinned &p : kCommands) {
        SCOPED_TRACE("command " + std::to_string(p.code));
        const CommandRow &row = command(p.id);
        const Request plain = request(p.id);
        EXPECT_EQ(plain.command, p.code);
        EXPECT_EQ(plain.layout, 0);
        EXPECT_EQ(wireSize(plain), p.requestSize);
        EXPECT_EQ(plain.answerSize, p.answerSize);
        EXPECT_EQ(plain.answerCommand, p.answer);
        EXPECT_EQ(plain.timeoutMs, p.timeoutMs);
        EXPECT_EQ(row.secondAnswerMs, p.secondAnswerMs);

        const Request board = request(p.id, true, 3);
        if (p.channelSize == 0) {
            EXPECT_EQ(board.command, p.code) << "no channel form: the plain one";
            EXPECT_EQ(wireSize(board), p.requestSize);
            continue;
        }
        EXPECT_EQ(board.command, p.code + 0x10);
        EXPECT_EQ(wireSize(board), p.channelSize);
        EXPECT_EQ(board.channel, board.layout == 1 ? 3 : 0);
        // An answer with the code sent comes back under the channel-form code.
        EXPECT_EQ(board.answerCommand, p.answer == p.code ? p.code + 0x10 : p.answer);
        EXPECT_EQ(board.timeoutMs, p.timeoutMs);
    }
}

TEST(Commands, RequestsCarryTheirDataBytesAndNoMore) {
    // Extra bytes are dropped, missing ones are sent as 0: the size is the row's.
    const Request write = request(Command::WriteEeprom, {0x10, 0x20, 0x30, 0x40});
    EXPECT_EQ(write.dataCount, 3);
    EXPECT_EQ(write.data[0], 0x10);
    EXPECT_EQ(write.data[2], 0x30);
    const Request read = request(Command::ReadEeprom);
    EXPECT_EQ(read.dataCount, 1);
    EXPECT_EQ(read.data[0], 0);
    // Backup on a multi-channel board: both pages as data, no channel byte.
    const Request pages = request(Command::CreateBackUp, true, 2, {7, 9});
    EXPECT_EQ(pages.layout, 0);
    EXPECT_EQ(pages.dataCount, 2);
    EXPECT_EQ(pages.data[1], 9);
    // The plain form on any other board, whatever channel it is given.
    EXPECT_EQ(request(Command::NormalData, false, 2).layout, 0);
}

TEST(Commands, NoTwoCommandsShareACode) {
    std::set<int> codes;
    for (const Pinned &p : kCommands) {
        EXPECT_TRUE(codes.insert(p.code).second) << "plain code " << int(p.code);
        if (p.channelSize) EXPECT_TRUE(codes.insert(p.code + 0x10).second) << "channel code " << p.code + 0x10;
    }
    // Nor with the answers that are not requests.
    EXPECT_EQ(codes.count(kCompletionCode), 1u);  // the reset's own code: its announcement
    for (int report = 0x4C; report <= 0x4F; ++report) EXPECT_EQ(codes.count(report), 0u) << report;
}

// ---- board types

TEST(BoardTypes, RowsAgreeWithTheirClass) {
    std::set<int> refused;
    for (int code = 0; code <= kLastBoardType; ++code) {
        SCOPED_TRACE("board type " + std::to_string(code));
        const BoardType &t = boardTypeRow(code);
        const bool parameters = t.boardClass == BoardClass::OwnLayout || t.boardClass == BoardClass::Eeprom ||
                                t.boardClass == BoardClass::MultiChannel;
        EXPECT_EQ(serves(code, kParameters), parameters);
        EXPECT_EQ(serves(code, kStoredSettings), t.boardClass != BoardClass::Refused);
        EXPECT_EQ(serves(code, kKeys), t.boardClass == BoardClass::Display);
        if (t.boardClass == BoardClass::Refused) {
            EXPECT_EQ(t.families, 0u);
            refused.insert(code);
        }
        // Fast data needs a sample width, and a sample of the channel board
        // starts with its channel byte.
        EXPECT_EQ(serves(code, kFastData), t.fastWidth > 0);
        if (t.fastWidth) EXPECT_EQ(t.fastWidth, t.boardClass == BoardClass::MultiChannel ? 4 : 3);
        EXPECT_EQ(serves(code, kRotation), t.angleRegister != 0);
        EXPECT_LE(t.lastRateCode, 15);
        EXPECT_GE(t.fastWaitMs, 1);
        EXPECT_EQ(t.lastLoadingPoint, t.boardClass == BoardClass::OwnLayout ? 19 : 15);
    }
    EXPECT_EQ(refused, std::set<int>{15});
    EXPECT_TRUE(multiChannel(9));
    EXPECT_TRUE(ownLayout(0));
}

TEST(BoardTypes, UnknownCodesAreRefused) {
    for (int code : {-1, kLastBoardType + 1, 17, 100, 255, 256}) {
        const BoardType &t = boardTypeRow(code);
        EXPECT_EQ(t.boardClass, BoardClass::Refused) << code;
        EXPECT_EQ(t.families, 0u) << code;
    }
}

TEST(BoardTypes, EveryClassAndFamilyIsNamedForPeople) {
    std::set<std::string> names, meanings;
    for (int c = 0; c < int(BoardClass::Count); ++c) {
        EXPECT_TRUE(names.insert(className(BoardClass(c))).second) << c;
        EXPECT_TRUE(meanings.insert(classMeaning(BoardClass(c))).second) << c;
        EXPECT_STRNE(className(BoardClass(c)), "");
    }
    uint32_t all = 0;
    for (int code = 0; code <= kLastBoardType; ++code) all |= boardTypeRow(code).families;
    for (int f = 0; f < kFamilyCount; ++f) {
        EXPECT_TRUE(names.insert(familyName(f)).second) << f;
        EXPECT_STRNE(familyMeaning(f), "") << f;
        EXPECT_NE(all & (1u << f), 0u) << "no board serves " << familyName(f);
    }
    EXPECT_EQ(all >> kFamilyCount, 0u) << "a family without a name";
    EXPECT_STREQ(familyName(kFamilyCount), "");
}

} // namespace
