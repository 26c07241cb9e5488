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

enum class Command : uint8_t {
    SlaveActivity,
    SensorIdentification,
    CalibrationRegister,
    LoadingPoint,
    LoadOfLoadingPoint,
    SensorConfiguration,
    LoadSwitch,
    NumberOfLoadingPoints,
    AdcConfiguration,
    AverageSetting,
    VoltageOutput,
    DigitalComponents,
    CalibrationMode,
    OffsetValue,
    FullscaleValue,
    NormalData,
    FastData,
    VersionOfBoard,
    ResetBoard,
    DisplayPage,
    InternalRegister,
    DataLogging,
    CreateBackUp,
    RestoreBackUp,
    RotationValues,
    KeyBatteryEnter,  // the eight keys in front-panel order
    KeyTareUp,
    KeyDisplayBack,
    KeyResetLeft,
    KeyMenu,
    KeyUnitRight,
    KeyShuntExit,
    KeyHoldDown,
    ReadMemory,
    WriteMemory,
    ReadEeprom,
    WriteEeprom,
    ReadTeds,
    WriteTeds,
    ReadChannel,
    WriteChannel,
    ReadPage,
    Count
};

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

const CommandRow &command(Command c);

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

// The plain form of a command.
Request request(Command c, std::initializer_list<unsigned char> data = {});
// The form the board takes: the channel form on a multi-channel board when
// the command has one.
Request request(Command c, bool channelBoard, unsigned char channel, std::initializer_list<unsigned char> data = {});

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
