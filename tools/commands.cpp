// The device commands of qolven other than get, set and stream.
#include "cli.h"

#include <qolven.h>
#include <qolven_bridge.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace qolven_tool {
namespace {

using Clock = std::chrono::steady_clock;

// Sleeps in short steps so that Ctrl-C ends a long interval at once.
void pause(double seconds) {
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!interrupted() && Clock::now() < until)
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(50)));
}

void expectArguments(const Session &s, size_t count, const std::string &usage) {
    if (s.options->arguments.size() != count) throw usageError("usage: " + usage);
}

std::string number(long long value) { return std::to_string(value); }

} // namespace

int commandList(Session &s, Output &out) {
    expectArguments(s, 0, "qolven list");
    CutTransfers cut;
    std::fprintf(stderr, "qolven: bridge library: %s\n", bridgeInUse().c_str());
    std::vector<std::string> serials = attachedSerials(s);
    if (serials.empty()) std::fprintf(stderr, "qolven: no bridge attached\n");
    if (out.json()) out.startArray();
    for (size_t i = 0; i < serials.size(); ++i) {
        if (out.json())
            out.element(Json{{"index", i}, {"serial", serials[i]}});
        else
            std::printf("%zu %s\n", i, serials[i].c_str());
    }
    return kExitOk;
}

int commandInfo(Session &s, Output &out) {
    expectArguments(s, 0, "qolven info");
    CutTransfers cut;
    qolven_board_identity identity{};
    s.require(qolven_identify(s.dev(), &identity), "identify the board");
    out.field("serial", qolven_open_serial(s.dev()));
    out.field("board-type", number(identity.board_type));
    out.field("hardware-version", number(identity.hardware_version));
    out.field("firmware-version", number(identity.firmware_version));
    out.field("firmware-year", number(identity.firmware_year));
    out.field("firmware-month", number(identity.firmware_month));
    int status = QOLVEN_OK;
    s.call("Slave_Activity_Inquiry", {}, "activity inquiry", &status);
    out.field("answers", status == QOLVEN_OK ? "yes" : "no");
    out.field("bridge", qolven_bridge_name());
    out.field("bridge-library", qolven_bridge_path());
    s.require(status, "activity inquiry");
    return kExitOk;
}

int commandRead(Session &s, Output &out) {
    expectArguments(s, 0, "qolven read [--count N] [--interval SECONDS]");
    long long count = s.options->integer("count", 1);
    double interval = s.options->real("interval", 1.0);
    CutTransfers cut;
    const std::string channel = number(s.channel);
    static const struct {
        const char *name, *method;
    } references[] = {
        {"offset-count", "Get_Offset_Value"},
        {"fullscale-count", "Get_Fullscale_Value"},
        {"offset-load", "Get_Offset_Load"},
        {"fullscale-load", "Get_Fullscale_Load"},
    };
    for (const auto &r : references) {
        int status = QOLVEN_OK;
        std::string value = s.call(r.method, {channel}, r.name, &status);
        if (status == QOLVEN_BOARD_TYPE) continue;  // boards without stored loads
        s.require(status, r.name);
        out.field(r.name, value);
    }
    // In JSON the readings form the arrays "count" and "load"; plain output
    // has a "count" line each, then its "load", or why there is none.
    Json *counts = out.json() ? &out.list("count") : nullptr;
    Json *loads = out.json() ? &out.list("load") : nullptr;
    std::string lastWhy;
    for (long long i = 0; count == 0 || i < count; ++i) {
        if (i > 0) pause(interval);
        if (interrupted()) break;
        qolven_reading reading{};
        s.require(qolven_read(s.dev(), &reading), "count");
        std::string shown = reading.has_count ? number(reading.count) : reading.status[0] ? reading.status : "invalid";
        std::string why = reading.has_load ? "" : safeText(reading.why);
        if (counts) {
            counts->push_back(reading.has_count ? Json(reading.count) : Json(shown));
            loads->push_back(reading.has_load ? Json(reading.load) : Json());
            if (!why.empty()) out.put("no-load", why);
            continue;
        }
        out.field("count", shown);
        if (reading.has_load) out.field("load", reading.load_text);
        else if (why != lastWhy) out.field("no-load", why);
        lastWhy = why;
        flushOutput();
    }
    return kExitOk;
}

namespace {

// Backup and restore copy a page on the board; the library takes the pages in its own order.
int copyPage(Session &s, const char *name, const char *method, bool sourceFirst) {
    expectArguments(s, 0, std::string("qolven ") + name + " --from PAGE --to PAGE");
    if (!s.options->has("from") || !s.options->has("to"))
        throw usageError(std::string(name) + " needs --from PAGE and --to PAGE");
    std::string from = number(s.options->integer("from", 0)), to = number(s.options->integer("to", 0));
    s.beginWrite(std::string(name) + " of page " + from + " to page " + to);
    s.call(method, sourceFirst ? std::vector<std::string>{from, to} : std::vector<std::string>{to, from}, name);
    return kExitOk;
}

} // namespace

int commandBackup(Session &s, Output &) { return copyPage(s, "backup", "Create_Back_Up", true); }

int commandRestore(Session &s, Output &) { return copyPage(s, "restore", "Restore_Back_Up", false); }

std::string keyDetails() {
    std::string text = "\nKeys (the other name printed on the key in brackets):\n ";
    size_t line = 1;
    for (int i = 0; i < qolven_key_count(); ++i) {
        std::string key = std::string(" ") + qolven_key_name(i);
        if (std::strcmp(qolven_key_name(i), qolven_key_alias(i)) != 0) key += std::string(" (") + qolven_key_alias(i) + ")";
        key += i + 1 < qolven_key_count() ? "," : ".";
        if (line + key.size() > 96) {
            text += "\n ";
            line = 1;
        }
        text += key;
        line += key.size();
    }
    return text + "\n";
}

int commandKey(Session &s, Output &) {
    expectArguments(s, 1, "qolven key NAME (qolven key --help lists the keys)");
    const std::string &name = s.options->arguments[0];
    // An unknown name is refused before the board is asked anything.
    bool known = false;
    for (int i = 0; i < qolven_key_count(); ++i) known = known || name == qolven_key_name(i) || name == qolven_key_alias(i);
    if (!known) throw usageError("unknown key " + quote(name) + " (qolven key --help lists the keys)");
    s.beginWrite("key " + name);
    s.require(qolven_press_key(s.dev(), name.c_str()), "key " + name);
    return kExitOk;
}

int commandDisplay(Session &s, Output &out) {
    expectArguments(s, 0, "qolven display");
    CutTransfers cut;
    char lines[QOLVEN_DISPLAY_LINES][QOLVEN_DISPLAY_LINE_LENGTH + 1];
    s.require(qolven_read_display(s.dev(), lines), "display page");
    for (int i = 0; i < QOLVEN_DISPLAY_LINES; ++i) {
        // Every one of the 16 bytes counts, a zero byte included.
        std::string line(lines[i], QOLVEN_DISPLAY_LINE_LENGTH);
        if (out.json()) {
            out.put("line" + number(i + 1), Output::latin1(line));
            continue;
        }
        for (char &c : line)
            if ((unsigned char)c < 0x20 || (unsigned char)c >= 0x7F) c = '.';
        std::printf("%s\n", line.c_str());
    }
    return kExitOk;
}

int commandReset(Session &s, Output &) {
    expectArguments(s, 0, "qolven reset");
    // One frame is sent, then the wait for the restarted board: a signal may cut it.
    CutTransfers cut;
    s.call("Reset_Board", {}, "reset");
    return kExitOk;
}

// ---- registers

namespace {

struct Range {
    long long first, last;
};

Range addressRange(const std::string &text, long long high) {
    size_t dash = text.find('-', 1);
    if (dash == std::string::npos) {
        long long a = parseInteger(text, "address", 0, high);
        return {a, a};
    }
    Range r{parseInteger(text.substr(0, dash), "address", 0, high),
            parseInteger(text.substr(dash + 1), "address", 0, high)};
    if (r.last < r.first) throw usageError("address range " + quote(text) + " runs backwards");
    return r;
}

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

void printPage(Session &s, Output &out, int page) {
    unsigned char bytes[QOLVEN_PAGE_BYTES];
    s.require(qolven_read_page(s.dev(), page, bytes), "page " + number(page));
    if (s.options->json) {
        out.put("page", page);
        out.put("bytes", Json(std::vector<int>(bytes, bytes + QOLVEN_PAGE_BYTES)));
        return;
    }
    for (int row = 0; row < QOLVEN_PAGE_BYTES; row += 16) {
        std::printf("page %d %03d:", page, row);
        for (int i = row; i < row + 16 && i < QOLVEN_PAGE_BYTES; ++i) std::printf(" %02x", bytes[i]);
        std::printf("\n");
    }
}

unsigned numberField(Session &s, const char *field) {
    char value[32];
    s.require(qolven_get_field(s.dev(), field, value, sizeof value, nullptr), field);
    return static_cast<unsigned>(std::strtoul(value, nullptr, 10));
}

// One register's value, as the kind of register holds it.
unsigned readRegister(Session &s, const std::string &kind, long long a) {
    const std::string what = "read " + kind + " " + number(a);
    if (kind == "eeprom") {
        s.call("Read_EEPROM_Register", {number(a)}, what);
        return numberField(s, "eepromHighByte") * 256u + numberField(s, "eepromLowByte");
    }
    if (kind == "channel") {
        std::string raw = s.call("Read_Channel_Register", {number(s.channel), number(a)}, what);
        if (raw.empty()) throw Failure(kExitDevice, what + ": the board sent no value");
        return static_cast<unsigned char>(raw[0]);
    }
    std::string text = kind == "teds" ? s.call("Read_TEDS_Register", {number(a >> 8), number(a & 0xFF)}, what)
                                      : s.call("Read_Memory_Register", {number(a)}, what);
    return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
}

} // namespace

int commandRegisters(Session &s, Output &out) {
    const auto &args = s.options->arguments;
    const char *usage =
        "qolven registers eeprom|channel|memory|teds ADDRESS[-LAST] [VALUE], "
        "qolven registers page N, qolven registers internal N";
    if (args.size() < 2 || args.size() > 3) throw usageError(std::string("usage: ") + usage);
    const std::string &kind = args[0];
    if (kind == "page" || kind == "internal") {
        if (args.size() != 2) throw usageError(kind + " registers are read only");
        CutTransfers cut;
        if (kind == "page") {
            printPage(s, out, static_cast<int>(parseInteger(args[1], "page", 0, 255)));
            return kExitOk;
        }
        std::string reg = number(parseInteger(args[1], "internal register", 0, 255));
        out.field("internal " + reg, s.call("Get_Internal_Register", {reg}, "internal register"));
        return kExitOk;
    }
    bool eeprom = kind == "eeprom", teds = kind == "teds";
    if (!eeprom && !teds && kind != "channel" && kind != "memory")
        throw usageError("unknown register kind " + quote(kind) + "; " + usage);
    Range range = addressRange(args[1], teds ? 65535 : 255);
    if (args.size() == 3) {
        if (range.first != range.last) throw usageError("write one register at a time");
        long long a = range.first;
        long long v = parseInteger(args[2], "value", 0, eeprom ? 65535 : 255);
        std::string what = kind + " register " + number(a);
        s.beginWrite(what);
        if (eeprom) s.call("Write_EEPROM_Register", {number(a), number(v >> 8), number(v & 0xFF)}, "write " + what);
        else if (teds) s.call("Write_TEDS_Register", {number(a >> 8), number(a & 0xFF), number(v)}, "write " + what);
        else if (kind == "channel") s.call("Write_Channel_Register", {number(s.channel), number(a), number(v)}, "write " + what);
        else s.call("Write_Memory_Register", {number(a), number(v)}, "write " + what);
        return kExitOk;
    }
    CutTransfers cut;
    for (long long a = range.first; a <= range.last && !interrupted(); ++a) {
        unsigned value = readRegister(s, kind, a);
        out.field(kind + " " + number(a), s.options->json ? number(value) : hex(value, eeprom ? 4 : 2));
    }
    return kExitOk;
}

} // namespace qolven_tool
