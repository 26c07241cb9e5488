#include "protocol/commands.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

namespace {
#define QOLVEN_COMMAND_ROW(name, code, data, form, size, answer, timeout, completion) \
    {code, data, ChannelForm::form, size, Answer::answer, timeout, completion},
constexpr CommandRow kRows[] = {QOLVEN_COMMANDS(QOLVEN_COMMAND_ROW)};
#undef QOLVEN_COMMAND_ROW

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
