#include "protocol/commands.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

namespace {
using F = ChannelForm;
constexpr Answer kAck = Answer::Ack, kEcho = Answer::Echo;

// clang-format off
// In the order of Command.
//                                 code  data  channel form     answer    time-out second answer
constexpr CommandRow kRows[] = {
    /* SlaveActivity         */ {0x01, 0, F::None,        4,   kAck,  10,   0},
    /* SensorIdentification  */ {0x20, 3, F::ChannelByte, 4,   kAck,  300,  0},
    /* CalibrationRegister   */ {0x23, 3, F::None,        4,   kAck,  300,  0},
    /* LoadingPoint          */ {0x24, 1, F::ChannelByte, 4,   kAck,  300,  0},
    /* LoadOfLoadingPoint    */ {0x25, 3, F::ChannelByte, 4,   kAck,  300,  0},
    /* SensorConfiguration   */ {0x26, 1, F::ChannelByte, 4,   kAck,  300,  0},
    /* LoadSwitch            */ {0x27, 1, F::None,        4,   kAck,  300,  0},
    /* NumberOfLoadingPoints */ {0x28, 1, F::ChannelByte, 4,   kAck,  300,  0},
    /* AdcConfiguration      */ {0x29, 1, F::ChannelByte, 4,   kAck,  2000, 0},
    /* AverageSetting        */ {0x2A, 1, F::ChannelByte, 4,   kAck,  300,  0},
    /* VoltageOutput         */ {0x2B, 1, F::None,        4,   kAck,  300,  0},
    /* DigitalComponents     */ {0x2C, 3, F::None,        4,   kAck,  300,  3000},
    /* CalibrationMode       */ {0x2D, 2, F::None,        4,   kAck,  300,  3000},
    /* OffsetValue           */ {0x40, 0, F::ChannelByte, 8,   kEcho, 10,   0},
    /* FullscaleValue        */ {0x41, 0, F::ChannelByte, 8,   kEcho, 10,   0},
    /* NormalData            */ {0x42, 0, F::ChannelByte, 8,   kEcho, 10,   0},
    /* FastData              */ {0x43, 0, F::ChannelByte, 0,   kEcho, 0,    0},
    /* VersionOfBoard        */ {0x44, 0, F::None,        8,   kEcho, 100,  0},
    /* ResetBoard            */ {0x45, 0, F::None,        4,   kAck,  1000, 10000},
    /* DisplayPage           */ {0x46, 0, F::None,        68,  kEcho, 50,   0},
    /* InternalRegister      */ {0x47, 1, F::None,        7,   kEcho, 50,   0},
    /* DataLogging           */ {0x48, 2, F::None,        12,  kEcho, 50,   0},
    /* CreateBackUp          */ {0x49, 1, F::TwoPages,    4,   kAck,  200,  0},
    /* RestoreBackUp         */ {0x4A, 1, F::TwoPages,    4,   kAck,  200,  0},
    /* RotationValues        */ {0x4B, 0, F::None,        10,  kEcho, 10,   0},
    /* KeyBatteryEnter       */ {0x60, 0, F::None,        4,   kAck,  50,   0},
    /* KeyTareUp             */ {0x61, 0, F::None,        4,   kAck,  50,   0},
    /* KeyDisplayBack        */ {0x62, 0, F::None,        4,   kAck,  50,   0},
    /* KeyResetLeft          */ {0x63, 0, F::None,        4,   kAck,  50,   0},
    /* KeyMenu               */ {0x64, 0, F::None,        4,   kAck,  50,   0},
    /* KeyUnitRight          */ {0x65, 0, F::None,        4,   kAck,  50,   0},
    /* KeyShuntExit          */ {0x66, 0, F::None,        4,   kAck,  50,   0},
    /* KeyHoldDown           */ {0x67, 0, F::None,        4,   kAck,  50,   0},
    /* ReadMemory            */ {0x80, 1, F::None,        6,   kEcho, 50,   0},
    /* WriteMemory           */ {0x81, 2, F::None,        4,   kAck,  100,  0},
    /* ReadEeprom            */ {0x82, 1, F::None,        7,   kEcho, 50,   0},
    /* WriteEeprom           */ {0x83, 3, F::None,        4,   kAck,  100,  0},
    /* ReadTeds              */ {0x84, 2, F::None,        7,   kEcho, 50,   0},
    /* WriteTeds             */ {0x85, 3, F::None,        4,   kAck,  200,  0},
    /* ReadChannel           */ {0x86, 2, F::None,        7,   kEcho, 50,   0},
    /* WriteChannel          */ {0x87, 3, F::None,        4,   kAck,  100,  0},
    /* ReadPage              */ {0x88, 1, F::None,        133, kEcho, 50,   0},
};
// clang-format on
static_assert(sizeof kRows / sizeof kRows[0] == size_t(Command::Count), "one row per command");

constexpr unsigned char kTwoPages = 2;

Request build(const CommandRow &row, unsigned char code, unsigned char dataBytes,
              std::initializer_list<unsigned char> data) {
    Request r{code, 0, 0, {}, dataBytes, row.answerSize,
              row.answer == Answer::Ack ? kAckCode : code, row.timeoutMs};
    unsigned char i = 0;
    for (unsigned char byte : data)
        if (i < dataBytes) r.data[i++] = byte;
    return r;
}
} // namespace

const CommandRow &command(Command c) { return kRows[size_t(c)]; }

Request request(Command c, std::initializer_list<unsigned char> data) {
    const CommandRow &row = command(c);
    return build(row, row.code, row.dataBytes, data);
}

Request request(Command c, bool channelBoard, unsigned char channel, std::initializer_list<unsigned char> data) {
    const CommandRow &row = command(c);
    if (!channelBoard || row.channelForm == ChannelForm::None) return build(row, row.code, row.dataBytes, data);
    const unsigned char code = row.code + kChannelFormOffset;
    if (row.channelForm == ChannelForm::TwoPages) return build(row, code, kTwoPages, data);
    Request r = build(row, code, row.dataBytes, data);
    r.layout = 1;
    r.channel = channel;
    return r;
}

ErrorText boardErrorText(unsigned char code) {
    switch (code) {
    case 0x4C: return ErrorText::Teds;
    case 0x4D: return ErrorText::Command;
    case 0x4E: return ErrorText::PacketFrame;
    case 0x4F: return ErrorText::PacketCommand;
    default: return ErrorText::None;
    }
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
