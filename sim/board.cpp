// Virtual board firmware: request framing and parsing (layouts 0 and 1),
// the command table, board-type acceptance, dispatch to the handler families,
// fault application and scheduling of the answers in the receive queue.
#include "sim_internal.h"

#include <algorithm>
#include <cstdio>

namespace qolven_sim {
namespace detail {

std::string hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02x", v & 0xFF);
    return buf;
}

std::string hex_bytes(const std::vector<uint8_t> &bytes) {
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += hex2(bytes[i]);
    }
    return s;
}

std::vector<uint8_t> make_packet(uint8_t number, uint8_t command, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> p;
    p.reserve(data.size() + 4);
    p.push_back(number);
    p.push_back(static_cast<uint8_t>(data.size() + 4));
    p.push_back(command);
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(0xAA);
    return p;
}

std::vector<uint8_t> make_ack(uint8_t number) { return {number, 4, 0x01, 0xAA}; }

std::vector<uint8_t> make_error(uint8_t number, uint8_t code, uint8_t detail) {
    return {number, 5, code, detail, 0xAA};
}

void HandlerContext::fail(uint8_t code, const std::string &diagnostic) {
    a = Answer();
    a.primary = make_error(r.number, code, r.command);
    add_diagnostic(d, diagnostic);
}

void schedule(Device &d, TimePoint visibleAt, std::vector<uint8_t> bytes) {
    if (bytes.empty()) return;
    if (d.rxBytes + bytes.size() > kMaxRxBytes) {
        add_diagnostic(d, "receive queue full (" + std::to_string(d.rxBytes) + " bytes unread): " +
                              std::to_string(bytes.size()) + " answer bytes lost");
        return;
    }
    d.rxBytes += bytes.size();
    RxChunk c{visibleAt, std::move(bytes), 0};
    // Stable insertion by visibility time.
    auto it = std::upper_bound(d.rx.begin(), d.rx.end(), visibleAt,
                               [](TimePoint t, const RxChunk &x) { return t < x.visibleAt; });
    d.rx.insert(it, std::move(c));
}

namespace {

using Handler = void (*)(HandlerContext &);
enum Accept { AnyType, NotChannelBoard, ChannelBoardOnly, BoardCommandL0, FastL0, Keys, Calib23, LoadSwitch, VoltageOut, Type16 };

struct CommandSpec {
    uint8_t code;
    uint8_t size;       // request size (bytes on the wire)
    Accept accept;
    bool write;         // changes stored values (state file is saved afterwards)
    Handler handler;
    const char *name;
};

const CommandSpec kCommands[] = {
    {0x01, 4, AnyType, false, handle_identity, "activity inquiry"},
    {0x44, 4, AnyType, false, handle_identity, "identification"},
    {0x45, 4, AnyType, false, handle_identity, "reset"},
    {0x20, 7, BoardCommandL0, true, handle_parameters, "sensor identification number"},
    {0x30, 8, ChannelBoardOnly, true, handle_parameters, "sensor identification number (channel form)"},
    {0x23, 7, Calib23, true, handle_parameters, "calibration register"},
    {0x24, 5, BoardCommandL0, true, handle_parameters, "set loading point"},
    {0x34, 6, ChannelBoardOnly, true, handle_parameters, "set loading point (channel form)"},
    {0x25, 7, BoardCommandL0, true, handle_parameters, "load of loading point"},
    {0x35, 8, ChannelBoardOnly, true, handle_parameters, "load of loading point (channel form)"},
    {0x26, 5, BoardCommandL0, true, handle_parameters, "sensor configuration"},
    {0x36, 6, ChannelBoardOnly, true, handle_parameters, "sensor configuration (channel form)"},
    {0x27, 5, LoadSwitch, true, handle_parameters, "load switch"},
    {0x28, 5, BoardCommandL0, true, handle_parameters, "number of loading points"},
    {0x38, 6, ChannelBoardOnly, true, handle_parameters, "number of loading points (channel form)"},
    {0x29, 5, BoardCommandL0, true, handle_parameters, "ADC configuration"},
    {0x39, 6, ChannelBoardOnly, true, handle_parameters, "ADC configuration (channel form)"},
    {0x2A, 5, BoardCommandL0, true, handle_parameters, "average setting"},
    {0x3A, 6, ChannelBoardOnly, true, handle_parameters, "average setting (channel form)"},
    {0x2B, 5, VoltageOut, true, handle_parameters, "voltage output"},
    {0x2C, 7, Type16, true, handle_parameters, "digital components"},
    {0x2D, 6, Type16, true, handle_parameters, "calibration mode"},
    {0x40, 4, NotChannelBoard, false, handle_measurement, "offset value"},
    {0x50, 5, ChannelBoardOnly, false, handle_measurement, "offset value (channel form)"},
    {0x41, 4, NotChannelBoard, false, handle_measurement, "full-scale value"},
    {0x51, 5, ChannelBoardOnly, false, handle_measurement, "full-scale value (channel form)"},
    {0x42, 4, NotChannelBoard, false, handle_measurement, "normal data"},
    {0x52, 5, ChannelBoardOnly, false, handle_measurement, "normal data (channel form)"},
    {0x43, 4, FastL0, false, handle_fast, "fast data"},
    {0x53, 5, ChannelBoardOnly, false, handle_fast, "fast data (channel form)"},
    {0x46, 4, AnyType, false, handle_display, "display page"},
    {0x47, 5, AnyType, false, handle_measurement, "internal register"},
    {0x48, 6, AnyType, false, handle_measurement, "data logging"},
    {0x49, 5, NotChannelBoard, true, handle_registers, "create backup"},
    {0x59, 6, ChannelBoardOnly, true, handle_registers, "create backup (two pages)"},
    {0x4A, 5, NotChannelBoard, true, handle_registers, "restore backup"},
    {0x5A, 6, ChannelBoardOnly, true, handle_registers, "restore backup (two pages)"},
    {0x4B, 4, AnyType, false, handle_rotation, "rotation values"},
    {0x60, 4, Keys, false, handle_display, "key Battery/Enter"},
    {0x61, 4, Keys, false, handle_display, "key Tare/Up"},
    {0x62, 4, Keys, false, handle_display, "key Display/Back"},
    {0x63, 4, Keys, false, handle_display, "key Reset/Left"},
    {0x64, 4, Keys, false, handle_display, "key Menu"},
    {0x65, 4, Keys, false, handle_display, "key Unit/Right"},
    {0x66, 4, Keys, false, handle_display, "key Shunt/Exit"},
    {0x67, 4, Keys, false, handle_display, "key Hold/Down"},
    {0x80, 5, AnyType, false, handle_registers, "read memory register"},
    {0x81, 6, AnyType, true, handle_registers, "write memory register"},
    {0x82, 5, AnyType, false, handle_registers, "read EEPROM register"},
    {0x83, 7, AnyType, true, handle_registers, "write EEPROM register"},
    {0x84, 6, AnyType, false, handle_registers, "read TEDS register"},
    {0x85, 7, AnyType, true, handle_registers, "write TEDS register"},
    {0x86, 6, AnyType, false, handle_registers, "read channel register"},
    {0x87, 7, AnyType, true, handle_registers, "write channel register"},
    {0x88, 5, AnyType, false, handle_registers, "read page"},
};

const CommandSpec *find_command(uint8_t code) {
    for (const auto &c : kCommands)
        if (c.code == code) return &c;
    return nullptr;
}

bool accepted(Accept a, int type) {
    switch (a) {
    case AnyType: return true;
    case NotChannelBoard: return type != 9;
    case ChannelBoardOnly: return type == 9;
    case BoardCommandL0: return type >= 0 && type <= 16 && type != 9 && type != 15;
    case FastL0: return fast_width(type, 0) != 0 && type != 9;
    case Keys: return type == 5 || type == 10;
    case Calib23: return type == 5 || type == 10;
    case LoadSwitch: return (type >= 0 && type <= 6) || (type >= 10 && type <= 13) || type == 16;
    case VoltageOut: return type == 11 || type == 14;
    case Type16: return type == 16;
    }
    return false;
}

// With a state file, a write is only acknowledged once it is stored: when the save
// fails the storage goes back to what it was and the board answers with an error report.
void store_or_refuse(HandlerContext &c, const CommandSpec &command, Storage &before) {
    Device &d = c.d;
    std::string why;
    if (d.state->save({{d.cfg.serial, &d.st}}, &why)) return;
    d.st = std::move(before);
    fast_set_rate(d, rate_for_code(adc_config_byte(d, 0) & 0x0F), c.now);
    if (d.reportError) d.reportError(why);
    else record_error(bridge(), why);
    c.fail(kErrCommand, std::string("command 0x") + hex2(command.code) + " (" + command.name +
                            ") not stored: " + why);
}

// The answer's delay runs from the end of the board's work on the request, not from
// its start: natively they are microseconds apart, but under an emulator the first
// request of a process takes milliseconds of code translation, which would otherwise
// eat into the answer delay the host waits for.
TimePoint answer_base(const Device &d, TimePoint now) {
    return std::max(now, Clock::now()) + std::chrono::microseconds(d.cfg.answerDelayUs);
}

// Handles one complete frame (size byte and end byte already checked).
void handle_packet(Device &d, const std::vector<uint8_t> &raw, TimePoint now) {
    Request r;
    r.raw = raw;
    r.number = raw[0];
    r.size = raw[1];
    r.command = raw[2];
    r.data.assign(raw.begin() + 3, raw.end() - 1);

    Answer a;
    HandlerContext c{d, r, a, now};
    const CommandSpec *command = find_command(r.command);
    bool valid = false;
    if (!command) {
        c.fail(kErrCommand, "unrecognised command 0x" + hex2(r.command) + " in request [" + hex_bytes(raw) + "]");
    } else if (r.size != command->size) {
        c.fail(kErrPacketCommand, std::string("command 0x") + hex2(r.command) + " (" + command->name + ") takes a " +
                                      std::to_string(command->size) + "-byte request, got " + std::to_string(r.size) +
                                      " bytes [" + hex_bytes(raw) + "]");
    } else if (!accepted(command->accept, d.cfg.boardType)) {
        c.fail(kErrCommand, std::string("command 0x") + hex2(r.command) + " (" + command->name +
                                ") is not accepted by board type " + std::to_string(d.cfg.boardType) + " [" +
                                hex_bytes(raw) + "]");
    } else {
        valid = true;
    }

    bool fastCmd = valid && (r.command == 0x43 || r.command == 0x53);
    FaultSpec f = pick_fault(d, fastCmd);
    if (f.kind == Fault::NoAnswer) return;  // request swallowed, not executed
    bool skip = f.kind == Fault::BoardError || f.kind == Fault::FastEmpty || f.kind == Fault::FastRefusal;
    if (valid && !skip) {
        std::optional<Storage> before;
        if (command->write && d.state) before = d.st;
        command->handler(c);
        if (before && c.wrote) store_or_refuse(c, *command, *before);
    }

    std::vector<Piece> pieces = apply_fault(d, f, r, a);
    TimePoint base = answer_base(d, now);
    for (auto &p : pieces) schedule(d, base + std::chrono::microseconds(p.offsetUs), std::move(p.bytes));
}

void frame_error(Device &d, const std::vector<uint8_t> &raw, const std::string &why, TimePoint now) {
    Request r;
    r.raw = raw;
    r.number = raw.empty() ? 0 : raw[0];
    r.size = raw.size() > 1 ? raw[1] : 0;
    r.command = raw.size() > 2 ? raw[2] : 0;
    Answer a;
    HandlerContext c{d, r, a, now};
    c.fail(kErrFrame, "malformed request: " + why + " [" + hex_bytes(raw) + "]");
    FaultSpec f = pick_fault(d, false);
    if (f.kind == Fault::NoAnswer) return;
    std::vector<Piece> pieces = apply_fault(d, f, r, a);
    TimePoint base = answer_base(d, now);
    for (auto &p : pieces) schedule(d, base + std::chrono::microseconds(p.offsetUs), std::move(p.bytes));
}

} // namespace

void board_receive(Device &d, const std::vector<uint8_t> &bytes, TimePoint now) {
    size_t pos = 0;
    // One write normally holds one request; several complete requests back to back are
    // taken one after the other.  Anything that does not frame is one malformed request.
    while (pos < bytes.size()) {
        size_t remaining = bytes.size() - pos;
        std::vector<uint8_t> rest(bytes.begin() + pos, bytes.end());
        if (remaining < 4) {
            frame_error(d, rest, "only " + std::to_string(remaining) + " bytes written (a request has at least 4)", now);
            break;
        }
        size_t size = bytes[pos + 1];
        if (size < 4 || size > remaining) {
            frame_error(d, rest,
                        "size byte " + std::to_string(size) + " does not match the " + std::to_string(remaining) +
                            " bytes written",
                        now);
            break;
        }
        if (bytes[pos + size - 1] != 0xAA) {
            if (size == remaining)
                frame_error(d, rest, "end byte 0x" + hex2(bytes[pos + size - 1]) + " instead of 0xaa", now);
            else
                frame_error(d, rest,
                            "size byte " + std::to_string(size) + " does not match the " + std::to_string(remaining) +
                                " bytes written (no end byte 0xaa at byte " + std::to_string(size - 1) + ")",
                            now);
            break;
        }
        std::vector<uint8_t> frame(bytes.begin() + pos, bytes.begin() + pos + size);
        handle_packet(d, frame, now);
        pos += size;
    }
}

} // namespace detail
} // namespace qolven_sim
