// The device commands of qolven other than get and set.
#include "cli.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
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

void expectArguments(const Session &s, size_t count, const char *usage) {
    if (s.options->arguments.size() != count) throw usageError(std::string("usage: ") + usage);
}

} // namespace

int commandList(Session &s, Output &out) {
    expectArguments(s, 0, "qolven list");
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
    Device &d = *s.dev;
    s.identify();
    out.field("serial", s.serial);
    out.field("board-type", identityCode(d.boardTypeText));
    out.field("hardware-version", identityCode(d.hardwareVersionText));
    out.field("firmware-version", identityCode(d.firmwareVersionText));
    out.field("firmware-year", identityCode(d.firmwareYearText));
    out.field("firmware-month", identityCode(d.firmwareMonthText));
    bool answers = d.Slave_Activity_Inquiry(s.handle) != "Error";
    std::string reason = d.lastErrorText;
    out.field("answers", answers ? "yes" : "no");
    if (!answers) throw Failure(kExitDevice, "activity inquiry: " + reason);
    return kExitOk;
}

int commandRead(Session &s, Output &out) {
    expectArguments(s, 0, "qolven read [--count N] [--interval SECONDS]");
    long long count = s.options->integer("count", 1);
    double interval = s.options->real("interval", 1.0);
    Device &d = *s.dev;
    struct Reference {
        const char *name;
        std::string (Device::*get)(void *, unsigned char);
    };
    static const Reference references[] = {
        {"offset-count", &Device::Get_Offset_Value},
        {"fullscale-count", &Device::Get_Fullscale_Value},
        {"offset-load", &Device::Get_Offset_Load},
        {"fullscale-load", &Device::Get_Fullscale_Load},
    };
    for (const Reference &r : references) {
        std::string value = (d.*r.get)(s.handle, s.channel);
        if (value == "Error" && s.refusedBoardType()) continue;  // boards without stored loads
        out.field(r.name, s.check(value, r.name));
    }
    // In JSON the live counts form one array; plain output has one "count" line each.
    Json *counts = out.json() ? &out.list("count") : nullptr;
    for (long long i = 0; count == 0 || i < count; ++i) {
        if (i > 0) pause(interval);
        if (interrupted()) break;
        std::string value = s.check(d.Normal_Data_Request(s.handle, s.channel), "count");
        if (counts) {
            counts->push_back(Output::value(value));
        } else {
            out.field("count", value);
            flushOutput();
        }
    }
    return kExitOk;
}

namespace {

// Backup and restore copy a page on the board; the library takes the pages in its own order.
int copyPage(Session &s, const char *name, std::string (*copy)(Session &, int from, int to)) {
    expectArguments(s, 0, (std::string("qolven ") + name + " --from PAGE --to PAGE").c_str());
    if (!s.options->has("from") || !s.options->has("to"))
        throw usageError(std::string(name) + " needs --from PAGE and --to PAGE");
    int from = static_cast<int>(s.options->integer("from", 0));
    int to = static_cast<int>(s.options->integer("to", 0));
    s.check(copy(s, from, to), name);
    return kExitOk;
}

} // namespace

int commandBackup(Session &s, Output &) {
    return copyPage(s, "backup", [](Session &s, int from, int to) { return s.dev->Create_Back_Up(s.handle, from, to); });
}

int commandRestore(Session &s, Output &) {
    return copyPage(s, "restore",
                    [](Session &s, int from, int to) { return s.dev->Restore_Back_Up(s.handle, to, from); });
}

int commandKey(Session &s, Output &) {
    expectArguments(s, 1, "qolven key enter|tare|display|reset|menu|unit|shunt|hold");
    struct Key {
        const char *name, *alias;
        std::string (Device::*press)(void *);
    };
    static const Key keys[] = {
        {"enter", "battery", &Device::Change_Battery_Enter}, {"tare", "up", &Device::Change_Tare_Up},
        {"display", "back", &Device::Change_Display_Back},   {"reset", "left", &Device::Change_Reset_Left},
        {"menu", "menu", &Device::Change_Menu},              {"unit", "right", &Device::Change_Unit_Right},
        {"shunt", "exit", &Device::Change_Shunt_Exit},       {"hold", "down", &Device::Change_Hold_Down},
    };
    const std::string &name = s.options->arguments[0];
    for (const Key &k : keys)
        if (name == k.name || name == k.alias) {
            s.check((s.dev.get()->*k.press)(s.handle), "key " + name);
            return kExitOk;
        }
    throw usageError("unknown key " + quote(name) + " (enter, tare, display, reset, menu, unit, shunt, hold)");
}

int commandDisplay(Session &s, Output &out) {
    expectArguments(s, 0, "qolven display");
    Device &d = *s.dev;
    s.check(d.Get_Display_Page(s.handle), "display page");
    // The page sits in the read buffer after the three framing bytes (four with a leading 0xFF).
    d.GetDisplayPage(d.adapter.readBuffer[0] == 0xFF ? 4 : 3);
    const std::string *lines[] = {&d.displayLine1, &d.displayLine2, &d.displayLine3, &d.displayLine4};
    for (int i = 0; i < 4; ++i) {
        if (out.json()) {
            out.put("line" + std::to_string(i + 1), Output::latin1(*lines[i]));
            continue;
        }
        std::string shown = *lines[i];
        for (char &c : shown)
            if ((unsigned char)c < 0x20 || (unsigned char)c >= 0x7F) c = '.';
        std::printf("%s\n", shown.c_str());
    }
    return kExitOk;
}

int commandReset(Session &s, Output &) {
    expectArguments(s, 0, "qolven reset");
    s.check(s.dev->Reset_Board(s.handle), "reset");
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
    Device &d = *s.dev;
    s.check(d.Read_Page_Register(s.handle, static_cast<unsigned char>(page)), "page " + std::to_string(page));
    const unsigned char *bytes = d.adapter.readBuffer + (d.adapter.readBuffer[0] == 0xFF ? 4 : 3);
    if (s.options->json) {
        out.put("page", page);
        out.put("bytes", Json(std::vector<int>(bytes, bytes + 129)));
        return;
    }
    for (int row = 0; row < 129; row += 16) {
        std::printf("page %d %03d:", page, row);
        for (int i = row; i < row + 16 && i < 129; ++i) std::printf(" %02x", bytes[i]);
        std::printf("\n");
    }
}

} // namespace

int commandRegisters(Session &s, Output &out) {
    const auto &args = s.options->arguments;
    const char *usage =
        "qolven registers eeprom|channel|memory|teds ADDRESS[-LAST] [VALUE], "
        "qolven registers page N, qolven registers internal N";
    if (args.size() < 2 || args.size() > 3) throw usageError(std::string("usage: ") + usage);
    const std::string &kind = args[0];
    Device &d = *s.dev;
    void *h = s.handle;
    unsigned char ch = s.channel;
    if (kind == "page" || kind == "internal") {
        if (args.size() != 2) throw usageError(kind + " registers are read only");
        if (kind == "page") {
            printPage(s, out, static_cast<int>(parseInteger(args[1], "page", 0, 255)));
            return kExitOk;
        }
        int reg = static_cast<int>(parseInteger(args[1], "internal register", 0, 255));
        out.field("internal " + std::to_string(reg), s.check(d.Get_Internal_Register(h, reg), "internal register"));
        return kExitOk;
    }
    bool eeprom = kind == "eeprom", teds = kind == "teds";
    if (!eeprom && !teds && kind != "channel" && kind != "memory")
        throw usageError("unknown register kind " + quote(kind) + "; " + usage);
    Range range = addressRange(args[1], teds ? 65535 : 255);
    if (args.size() == 3) {
        if (range.first != range.last) throw usageError("write one register at a time");
        unsigned a = static_cast<unsigned>(range.first);
        long long v = parseInteger(args[2], "value", 0, eeprom ? 65535 : 255);
        unsigned char lo = static_cast<unsigned char>(v & 0xFF);
        std::string result = eeprom   ? d.Write_EEPROM_Register(h, a, static_cast<unsigned char>(v >> 8), lo)
                             : teds   ? d.Write_TEDS_Register(h, a >> 8, a & 0xFF, lo)
                             : kind == "channel" ? d.Write_Channel_Register(h, ch, a, lo)
                                                 : d.Write_Memory_Register(h, a, lo);
        s.check(result, "write " + kind + " register " + std::to_string(a));
        return kExitOk;
    }
    for (long long a = range.first; a <= range.last && !interrupted(); ++a) {
        std::string what = kind + " " + std::to_string(a);
        unsigned value;
        if (eeprom) {
            s.check(d.Read_EEPROM_Register(h, static_cast<unsigned char>(a)), "read " + what);
            value = d.eepromHighByte * 256u + d.eepromLowByte;
        } else if (kind == "channel") {
            value = (unsigned char)s.check(d.Read_Channel_Register(h, ch, static_cast<unsigned char>(a)), "read " + what)[0];
        } else if (teds) {
            value = std::atoi(s.check(d.Read_TEDS_Register(h, a >> 8, a & 0xFF), "read " + what).c_str());
        } else {
            value = std::atoi(s.check(d.Read_Memory_Register(h, static_cast<unsigned char>(a)), "read " + what).c_str());
        }
        out.field(what, s.options->json ? std::to_string(value) : hex(value, eeprom ? 4 : 2));
    }
    return kExitOk;
}

} // namespace qolven_tool
