// The board commands, each once: its code, the data bytes of its request,
// the form a multi-channel board takes it in, the answer it expects and how
// long that may take.  Every request is built from a row by name.
#ifndef QOLVEN_COMMANDS_H
#define QOLVEN_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "core/error_texts.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

// How a multi-channel board takes a command: as every other board does, with
// the channel byte after the code, or with two page numbers as its data
// (backup and restore); both of the latter under a code 0x10 higher.
enum class ChannelForm : uint8_t { None, ChannelByte, TwoPages };

// What answers a request: the acknowledgement, or a packet with the code sent.
enum class Answer : uint8_t { Ack, Echo };

struct CommandRow {
    unsigned char code;       // plain form
    uint8_t dataBytes;        // data bytes of the plain request; missing ones are sent as 0
    ChannelForm channelForm;
    uint8_t answerSize;       // 0: a fast-data stream of its own length
    Answer answer;
    int timeoutMs;
    int secondAnswerMs;       // > 0: a completion packet follows the acknowledgement within this
};

// clang-format off
// The command table: a name, then the fields of CommandRow in their order.
//   name                   code  data form         size answer time-out completion
#define QOLVEN_COMMANDS(X)                                                      \
    X(SlaveActivity,         0x01, 0, None,        4,   Ack,  10,   0)     \
    X(SensorIdentification,  0x20, 3, ChannelByte, 4,   Ack,  300,  0)     \
    X(CalibrationRegister,   0x23, 3, None,        4,   Ack,  300,  0)     \
    X(LoadingPoint,          0x24, 1, ChannelByte, 4,   Ack,  300,  0)     \
    X(LoadOfLoadingPoint,    0x25, 3, ChannelByte, 4,   Ack,  300,  0)     \
    X(SensorConfiguration,   0x26, 1, ChannelByte, 4,   Ack,  300,  0)     \
    X(LoadSwitch,            0x27, 1, None,        4,   Ack,  300,  0)     \
    X(NumberOfLoadingPoints, 0x28, 1, ChannelByte, 4,   Ack,  300,  0)     \
    X(AdcConfiguration,      0x29, 1, ChannelByte, 4,   Ack,  2000, 0)     \
    X(AverageSetting,        0x2A, 1, ChannelByte, 4,   Ack,  300,  0)     \
    X(VoltageOutput,         0x2B, 1, None,        4,   Ack,  300,  0)     \
    X(DigitalComponents,     0x2C, 3, None,        4,   Ack,  300,  3000)  \
    X(CalibrationMode,       0x2D, 2, None,        4,   Ack,  300,  3000)  \
    X(OffsetValue,           0x40, 0, ChannelByte, 8,   Echo, 10,   0)     \
    X(FullscaleValue,        0x41, 0, ChannelByte, 8,   Echo, 10,   0)     \
    X(NormalData,            0x42, 0, ChannelByte, 8,   Echo, 10,   0)     \
    X(FastData,              0x43, 0, ChannelByte, 0,   Echo, 0,    0)     \
    X(VersionOfBoard,        0x44, 0, None,        8,   Echo, 100,  0)     \
    X(ResetBoard,            0x45, 0, None,        4,   Ack,  1000, 10000) \
    X(DisplayPage,           0x46, 0, None,        68,  Echo, 50,   0)     \
    X(InternalRegister,      0x47, 1, None,        7,   Echo, 50,   0)     \
    X(DataLogging,           0x48, 2, None,        12,  Echo, 50,   0)     \
    X(CreateBackUp,          0x49, 1, TwoPages,    4,   Ack,  200,  0)     \
    X(RestoreBackUp,         0x4A, 1, TwoPages,    4,   Ack,  200,  0)     \
    X(RotationValues,        0x4B, 0, None,        10,  Echo, 10,   0)     \
    X(KeyBatteryEnter,       0x60, 0, None,        4,   Ack,  50,   0)     \
    X(KeyTareUp,             0x61, 0, None,        4,   Ack,  50,   0)     \
    X(KeyDisplayBack,        0x62, 0, None,        4,   Ack,  50,   0)     \
    X(KeyResetLeft,          0x63, 0, None,        4,   Ack,  50,   0)     \
    X(KeyMenu,               0x64, 0, None,        4,   Ack,  50,   0)     \
    X(KeyUnitRight,          0x65, 0, None,        4,   Ack,  50,   0)     \
    X(KeyShuntExit,          0x66, 0, None,        4,   Ack,  50,   0)     \
    X(KeyHoldDown,           0x67, 0, None,        4,   Ack,  50,   0)     \
    X(ReadMemory,            0x80, 1, None,        6,   Echo, 50,   0)     \
    X(WriteMemory,           0x81, 2, None,        4,   Ack,  100,  0)     \
    X(ReadEeprom,            0x82, 1, None,        7,   Echo, 50,   0)     \
    X(WriteEeprom,           0x83, 3, None,        4,   Ack,  100,  0)     \
    X(ReadTeds,              0x84, 2, None,        7,   Echo, 50,   0)     \
    X(WriteTeds,             0x85, 3, None,        4,   Ack,  200,  0)     \
    X(ReadChannel,           0x86, 2, None,        7,   Echo, 50,   0)     \
    X(WriteChannel,          0x87, 3, None,        4,   Ack,  100,  0)     \
    X(ReadPage,              0x88, 1, None,        133, Echo, 50,   0)
// clang-format on

#define QOLVEN_COMMAND_NAME(name, ...) name,
enum class Command : uint8_t { QOLVEN_COMMANDS(QOLVEN_COMMAND_NAME) Count };
#undef QOLVEN_COMMAND_NAME

#define QOLVEN_COMMAND_ROW(name, code, data, form, size, answer, timeout, completion) \
    {code, data, ChannelForm::form, size, Answer::answer, timeout, completion},
// In the header so that a request by a constant name is built at compile time.
inline constexpr CommandRow kCommandRows[] = {QOLVEN_COMMANDS(QOLVEN_COMMAND_ROW)};
#undef QOLVEN_COMMAND_ROW
static_assert(sizeof kCommandRows / sizeof kCommandRows[0] == size_t(Command::Count), "one row per command");
constexpr const CommandRow &command(Command c) { return kCommandRows[size_t(c)]; }


// Packet codes that are not requests.
constexpr unsigned char kAckCode = 0x01;
constexpr unsigned char kCompletionCode = 0x45;  // the second answer of a two-answer command
constexpr unsigned char kCompletionSize = 4;
constexpr unsigned char kEndOfPacket = 0xAA;
constexpr unsigned char kChannelFormOffset = 0x10;

// Text of a board error report (command 0x4C..0x4F), or None for any other code.
ErrorText boardErrorText(unsigned char code);

// ---- one request and its expected answer
struct Request {
    unsigned char command;
    signed char layout;        // 0: no channel byte, 1: channel byte
    unsigned char channel;
    unsigned char data[4];
    unsigned char dataCount;
    unsigned char answerSize;
    unsigned char answerCommand;
    int timeoutMs;
};

namespace request_detail {
inline Request build(const CommandRow &row, unsigned char code, unsigned char dataBytes,
                     std::initializer_list<unsigned char> data) {
    Request r{code, 0, 0, {}, dataBytes, row.answerSize, row.answer == Answer::Ack ? kAckCode : code, row.timeoutMs};
    unsigned char i = 0;
    for (unsigned char byte : data)
        if (i < dataBytes) r.data[i++] = byte;
    return r;
}
} // namespace request_detail

// The plain form of a command.
inline Request request(Command c, std::initializer_list<unsigned char> data = {}) {
    const CommandRow &row = command(c);
    return request_detail::build(row, row.code, row.dataBytes, data);
}

// The form the board takes: the channel form on a multi-channel board when
// the command has one.
inline Request request(Command c, bool channelBoard, unsigned char channel,
                       std::initializer_list<unsigned char> data = {}) {
    const CommandRow &row = command(c);
    if (!channelBoard || row.channelForm == ChannelForm::None)
        return request_detail::build(row, row.code, row.dataBytes, data);
    const unsigned char code = row.code + kChannelFormOffset;
    if (row.channelForm == ChannelForm::TwoPages) return request_detail::build(row, code, 2, data);
    Request r = request_detail::build(row, code, row.dataBytes, data);
    r.layout = 1;
    r.channel = channel;
    return r;
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
