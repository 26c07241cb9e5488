// The recording: every device method on every board type against the
// simulated bridge, with a few argument sets, representative faults and the
// offline mode, written as text and compared with the checked-in golden file
// (golden/recording.txt).  It pins what the library does byte for byte: the
// requests on the wire (packet numbers included), the result, lastErrorText,
// lastStatus, and a hash of the host-visible fields after the call.
//
// When a change is meant to alter behaviour, regenerate the golden file and
// review its diff:
//   QOLVEN_RECORDING=update build/default/bin/recording_test
// On a mismatch the run writes what it saw to recording.actual (working
// directory).  To see which field a hash stands for, run both builds with
//   QOLVEN_RECORDING=verbose <binary>
// which writes recording.verbose with the fields in full, and diff the two.
//
// Each board type runs on one object and one board, the methods in table
// order, so a setter's effect shows in the getters after it.  Everything
// that depends on the clock is kept out: boards answer at once, the signal
// and the shaft stand still, fast data comes from a canned answer, and the
// date and time in records are masked.
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "fixture.h"
#include "robustness/device_methods.h"

#ifndef QOLVEN_GOLDEN_RECORDING
#error "QOLVEN_GOLDEN_RECORDING names the golden file"
#endif

namespace {

using robustness::deviceMethods;
using robustness::Family;
using robustness::Method;
using qolven_sim::Fault;

// Every type code the library knows, and one above them.
constexpr int kLastType = 17;
// The classes the faults are put on (as the fault matrix).
const int kFaultTypes[] = {0, 2, 5, 9, 10, 13, 14, 16};

// Argument bytes (see device_methods.h): channel 1 and small values; channel
// 3, value 1, second calibration type, rate code 15; and two that push
// values past their ranges.
const uint8_t kCleanArguments[] = {0x01, 0x3F};
const uint8_t kOutOfRange[] = {0x81, 0xFF};
const int kOutOfRangeTypes[] = {0, 2, 5, 9, 12, 16};
// Fast data only: rate codes 13 and 14, where sample widths change.
const uint8_t kFastRates[] = {0x11, 0x21};
// Offline: rate code 15 keeps the offline pause at 1 ms.
const uint8_t kOfflineArguments[] = {0x31, 0xFF};

struct Injection {
    const char *name;
    Fault board;           // Fault::None: a bridge status instead
    const char *function;  // the FT_* call that fails
    uint32_t status;
};
// Put on the last exchange of a call (board faults) or on every call of
// the bridge function (statuses); none of them costs a time-out.
const Injection kQuickFaults[] = {
    {"WrongSize", Fault::WrongSize, nullptr, 0},
    {"WrongCommand", Fault::WrongCommand, nullptr, 0},
    {"WrongEnd", Fault::WrongEnd, nullptr, 0},
    {"LeadingFF", Fault::LeadingFF, nullptr, 0},
    {"ExtraBytes", Fault::ExtraBytes, nullptr, 0},
    {"WriteFails", Fault::None, "FT_Write", 10},
    {"ReadFails", Fault::None, "FT_Read", 4},
    {"StatusFails", Fault::None, "FT_GetStatus", 18},
};
// Faults that end in a time-out: on a few methods with short time-outs.
const Injection kTimedFaults[] = {
    {"NoAnswer", Fault::NoAnswer, nullptr, 0},
    {"Partial", Fault::Partial, nullptr, 0},
    {"BoardError", Fault::BoardError, nullptr, 0},
};
const char *const kTimedMethods[] = {"Slave_Activity_Inquiry", "Normal_Data_Request", "Get_Rotation_Values",
                                     "Get_Unit_Code",          "Set_Unit_Code",       "Get_Shunt_Value",
                                     "Get_Data_Logging"};
const int kTimedTypes[] = {2, 9};

std::string hex(const Bytes &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// Printable characters as they are, a tab as \t; the others, '|' and '\' as \xHH.
std::string escaped(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '|' && c != '\\') {
            out += char(c);
        } else if (c == '\t') {
            out += "\\t";
        } else {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        }
    }
    return out;
}

void replaceAll(std::string &text, const std::string &what, const std::string &with) {
    if (what.empty()) return;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

// The host-visible fields a call may change, as text; the clock-bound ones
// (date and time texts, sample times) left out.
std::string fields(const QOLVEN_USB_DLL &d) {
    std::ostringstream s;
    auto bytes = [&](const char *name, const unsigned char *b, size_t n) {
        s << name << '=' << hex(Bytes(b, b + n)) << ' ';
    };
    auto ints = [&](const char *name, const int *v, size_t n) {
        s << name << '=';
        for (size_t i = 0; i < n; ++i) s << v[i] << (i + 1 < n ? "," : " ");
    };
    auto text = [&](const char *name, const std::string &t) { s << name << "='" << escaped(t) << "' "; };
    const unsigned char scratch[] = {d.requestNumber, d.requestSize, d.requestChannel, d.requestCommand,
                                     d.endOfPacket, d.expectedNumber, d.expectedSize, d.expectedCommand,
                                     d.fragmentFirstSize, d.fragmentRemainder, d.pgaSetting, d.samplingRateCode,
                                     d.registerAddress, d.registerAddress2, d.registerAddress3, d.valueHighByte,
                                     d.valueMiddleByte, d.valueLowByte, d.counterHighByte, d.counterLowByte,
                                     d.eepromHighByte, d.eepromLowByte};
    bytes("scratch", scratch, sizeof scratch);
    bytes("packetData", d.packetData, sizeof d.packetData);
    s << "boardType=" << d.boardType << " handle=" << (d.DeviceHandle ? 1 : 0) << ' ';
    text("read", d.readStatus);
    text("write", d.writeStatus);
    text("fast", d.fastReadStatus);
    text("sent", d.packetSentText);
    text("received", d.packetReceivedText);
    const std::string *texts[] = {&d.boardTypeText,  &d.hardwareVersionText, &d.firmwareVersionText,
                                  &d.firmwareYearText, &d.firmwareMonthText, &d.partnerText1,
                                  &d.partnerText2,   &d.partnerText3,        &d.partnerText4,
                                  &d.companionText1, &d.companionText2,      &d.companionText3,
                                  &d.companionText4, &d.companionText5,      &d.companionText6,
                                  &d.displayPageText, &d.displayLine1,       &d.displayLine2,
                                  &d.displayLine3,   &d.displayLine4};
    for (const std::string *t : texts) text("t", *t);
    bytes("network", reinterpret_cast<const unsigned char *>(&d.networkSettings), sizeof d.networkSettings);
    bytes("additional", d.additionalPacket, sizeof d.additionalPacket);
    ints("log", d.dataLogRecord, 5);
    ints("offline", d.offlineValues, QOLVEN_USB_DLL::OFFLINE_VALUES);
    const int rotation[] = {d.angleValue, d.rpmValue, d.lastSampleNumber};
    ints("rotation", rotation, 3);
    ints("counters", &d.sampleCounters[0][0], sizeof d.sampleCounters / sizeof(int));
    ints("numbers", &d.sampleNumbers[0][0][0], sizeof d.sampleNumbers / sizeof(int));
    ints("perPacket", &d.samplesPerPacket[0][0][0], sizeof d.samplesPerPacket / sizeof(int));
    ints("counts", &d.sampleCounts[0][0][0], sizeof d.sampleCounts / sizeof(int));
    return s.str();
}

std::string fnv1a(const std::string &text) {
    uint32_t h = 2166136261u;
    for (unsigned char c : text) h = (h ^ c) * 16777619u;
    char out[9];
    std::snprintf(out, sizeof out, "%08x", h);
    return out;
}

// Answers at once, and nothing that moves with the clock.
qolven_sim::BoardConfig stillBoard() {
    qolven_sim::BoardConfig config;
    config.answerDelayUs = config.resetDelayMs = config.completionDelayMs = 0;
    config.signalNoise = 0;
    config.signalAmplitude = 0;
    config.rotationRpm = 0;
    return config;
}

class Recording : public BoardTest {
protected:
    bool verbose = false;
    std::vector<std::string> groups;                      // in the order first seen
    std::map<std::string, std::vector<std::string>> lines;  // by group

    void add(const std::string &group, const std::string &line) {
        if (!lines.count(group)) groups.push_back(group);
        lines[group].push_back(line);
    }

    std::string text() const {
        std::string out =
            "# What every device method does against the simulated bridge; see recording_test.cpp.\n"
            "# Line: board type (or 'off'), argument byte, [fault]|requests|result|lastErrorText|"
            "lastStatus|fields\n";
        for (const std::string &g : groups) {
            out += "= " + g + "\n";
            for (const std::string &l : lines.at(g)) out += l + "\n";
        }
        return out;
    }

    std::string masked(std::string result) const {
        replaceAll(result, dev.dateText, "<d>");
        replaceAll(result, dev.timeText, "<t>");
        return result;
    }

    // One line: what went over the wire in the call just made, and its outcome.
    std::string outcome(const std::string &result) {
        std::string line = "|";
        for (const Bytes &request : wire()) line += (line.size() > 1 ? " " : "") + hex(request);
        std::string shown = masked(result);
        std::string state = fields(dev);
        line += '|' + escaped(shown) + '|' + escaped(dev.lastErrorText) + '|' + std::to_string(dev.lastStatus);
        line += '|' + (verbose ? state : fnv1a(state));
        return line;
    }

    static std::string prefix(const std::string &board, uint8_t arg, const char *fault) {
        char head[16];
        std::snprintf(head, sizeof head, "%s %02x", board.c_str(), arg);
        std::string out = head;
        if (fault) out += std::string(" ") + fault;
        return out;
    }

    // The board is silent for fast data: the answer is canned, so that the
    // samples do not depend on how long the walk took.  12 sample bytes are
    // whole samples at every width; a type-9 channel byte of 5 is past the
    // sample tables.  `spoil` may change the answer before it is queued.
    void queueFastAnswer() {
        const uint8_t next = dev.requestNumber <= 253 ? dev.requestNumber + 1 : 1;
        Bytes answer = {next, 16, 0x43, 0x01, 0x7F, 0x10, 0x20, 0x02, 0x80, 0x00, 0xFF, 0x05, 0x12, 0x34, 0x56, 0xAA};
        if (spoil) spoil(answer);
        qolven_sim::set_board_silent(serial, true);
        qolven_sim::queue_rx(serial, answer);
    }
    void (*spoil)(Bytes &) = nullptr;

    // Leaves nothing of one call waiting for the next.
    void settle() {
        qolven_sim::set_board_silent(serial, false);
        if (qolven_sim::rx_pending(serial) == 0 || !h) return;
        dev.adapter.ftHandle = h;
        dev.adapter.QOLVEN_FT_Purge();
    }

    std::string call(const Method &m, uint8_t arg) {
        clearWire();
        const bool fast = m.family == Family::Fast && !dev.offlineMode;
        if (fast) queueFastAnswer();
        std::string result = m.call(dev, h, arg);
        if (fast) settle();
        return result;
    }

    void record(const Method &m, const std::string &board, uint8_t arg, const char *fault = nullptr) {
        std::string result = call(m, arg);
        add(m.name, prefix(board, arg, fault) + outcome(result));
        settle();
    }

    void freshBoard(int type) {
        useBoard(type, stillBoard());
        for (int n : {1, 0x3F}) {
            qolven_sim::set_log_record(serial, n, {0x12, 0x34, 0x80, 0x00, 0x01, 0x7F, 0xFF, 0xFE});
            qolven_sim::set_internal_register(serial, n, 0x800001u * unsigned(n));
        }
        dev.Get_Version_of_Board(h);
        clearWire();
    }

    void walkCleanBoards() {
        for (int t = 0; t <= kLastType; ++t) {
            freshBoard(t);
            for (const Method &m : deviceMethods()) {
                for (uint8_t a : kCleanArguments) record(m, std::to_string(t), a);
                if (m.family == Family::Fast)
                    for (uint8_t a : kFastRates) record(m, std::to_string(t), a);
            }
        }
    }

    void walkOutOfRange() {
        for (int t : kOutOfRangeTypes) {
            freshBoard(t);
            for (const Method &m : deviceMethods())
                for (uint8_t a : kOutOfRange) record(m, std::to_string(t), a);
        }
    }

    void inject(const Injection &f, size_t exchanges) {
        if (f.board == Fault::None) {
            qolven_sim::inject_status(f.function, f.status, 1 << 20);
            return;
        }
        qolven_sim::FaultSpec rule;
        rule.kind = f.board;
        rule.mode = qolven_sim::FaultMode::EveryNth;
        rule.every = int(exchanges);
        qolven_sim::set_fault(serial, rule);
    }

    void heal(const Injection &f) {
        qolven_sim::clear_faults(serial);
        if (f.board == Fault::None) qolven_sim::inject_status(f.function, 0, 0);
    }

    // A fault on the last exchange of a call; calls that took the same road
    // (same requests but for their numbers, same outcome) are faulted once.
    template <size_t N>
    void walkFaults(const int *types, size_t typeCount, const Injection (&faults)[N],
                    const std::set<std::string> &only) {
        std::set<std::string> roads;
        for (size_t i = 0; i < typeCount; ++i) {
            const std::string board = std::to_string(types[i]);
            freshBoard(types[i]);
            for (const Method &m : deviceMethods()) {
                if (!only.empty() && !only.count(m.name)) continue;
                const uint8_t a = kCleanArguments[0];
                std::string result = call(m, a);
                const std::vector<Bytes> sent = requests();
                settle();
                std::string road = masked(result) + '|' + dev.lastErrorText;
                for (const Bytes &r : sent) road += ' ' + hex(Bytes(r.begin() + 1, r.end()));
                if (sent.empty() || !roads.insert(road).second) continue;
                for (const Injection &f : faults) {
                    // Fast data comes canned: its faults are walkFastAnswers'.
                    if (m.family == Family::Fast && f.board != Fault::None) continue;
                    inject(f, sent.size());
                    const std::string faulted = call(m, a);
                    heal(f);
                    add(m.name, prefix(board, a, f.name) + outcome(faulted));
                    settle();
                }
            }
        }
    }

    // Fast-data answers the reader must refuse or complete.
    void walkFastAnswers() {
        struct Spoiled {
            const char *name;
            void (*spoil)(Bytes &);
        };
        static const Spoiled kSpoiled[] = {
            {"FastEmpty", [](Bytes &b) { b[1] = 0; }},
            {"FastRefusal", [](Bytes &b) { b[2] = 0x4D; }},
            {"FastAcknowledged", [](Bytes &b) { b = {b[0], 4, 0x01, 0xAA}; }},
            {"FastWrongNumber", [](Bytes &b) { b[0] ^= 0x40; }},
            {"FastWrongEnd", [](Bytes &b) { b.back() = 0; }},
            {"FastLonger", [](Bytes &b) { b[1] = 28; }},
            {"FastOdd", [](Bytes &b) { b.insert(b.end() - 1, 0x77); b[1] = uint8_t(b.size()); }},
            {"FastStale", [](Bytes &b) { b.insert(b.begin(), 256, 0x55); }},
        };
        const Method *fast = nullptr;
        for (const Method &m : deviceMethods())
            if (m.family == Family::Fast) fast = &m;
        ASSERT_NE(fast, nullptr);
        for (int t : {2, 8, 9, 14}) {
            freshBoard(t);
            for (const Spoiled &s : kSpoiled) {
                spoil = s.spoil;
                for (uint8_t a : {kCleanArguments[0], kFastRates[1]}) record(*fast, std::to_string(t), a, s.name);
                spoil = nullptr;
            }
        }
    }

    void walkOffline() {
        useBoard(2, stillBoard());
        dev.Close_Device_Connection(h);
        dev.offlineMode = 1;
        std::string s = serial;
        dev.Open_Device_Connection(&s[0]);
        h = dev.DeviceHandle;
        clearWire();
        for (const Method &m : deviceMethods())
            for (uint8_t a : kOfflineArguments) record(m, "off", a);
        add("Get_Device_Count", "off|" + dev.Get_Device_Count());
        add("Get_Device_Serial_Number", "off|" + dev.Get_Device_Serial_Number(nullptr));
        dev.Close_Device_Connection(h);
        h = nullptr;
        dev.offlineMode = 0;
    }

    // Discovery, opening with bad serial numbers, and the status texts.
    void walkConnection() {
        useBoard(2, stillBoard());
        add("Get_Device_Count", "2|" + dev.Get_Device_Count() + "|" + std::to_string(dev.lastStatus));
        for (uintptr_t index : {0, 1}) {
            std::string serialText = dev.Get_Device_Serial_Number(reinterpret_cast<void *>(index));
            add("Get_Device_Serial_Number", std::to_string(index) + "|" + serialText + "|" +
                                                escaped(dev.lastErrorText) + "|" + std::to_string(dev.lastStatus));
        }
        QOLVEN_USB_DLL other;
        for (std::string name : {std::string("NOPE"), std::string(40, 'S')}) {
            other.Open_Device_Connection(&name[0]);
            add("Open_Device_Connection", name.substr(0, 8) + "|" + (other.DeviceHandle ? "open" : "none") +
                                              "|" + escaped(other.lastErrorText) + "|" +
                                              std::to_string(other.lastStatus));
        }
        for (unsigned status = 0; status <= 21; ++status) {
            other.GetErrorDescription(status);
            add("GetErrorDescription", std::to_string(status) + "|" + other.lastErrorText);
        }
    }
};

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST_F(Recording, EveryMethodOnEveryBoardDoesWhatTheGoldenFileSays) {
    const char *mode = std::getenv("QOLVEN_RECORDING");
    const std::string how = mode ? mode : "";
    verbose = how == "verbose";

    walkCleanBoards();
    walkOutOfRange();
    walkFaults(kFaultTypes, std::size(kFaultTypes), kQuickFaults, {});
    walkFaults(kTimedTypes, std::size(kTimedTypes), kTimedFaults,
               std::set<std::string>(std::begin(kTimedMethods), std::end(kTimedMethods)));
    walkFastAnswers();
    walkOffline();
    walkConnection();
    const std::string actual = text();

    if (how == "update" || verbose) {
        const std::string path = verbose ? "recording.verbose" : QOLVEN_GOLDEN_RECORDING;
        std::ofstream(path, std::ios::binary) << actual;
        GTEST_SKIP() << "recording written to " << path;
    }
    const std::string golden = readFile(QOLVEN_GOLDEN_RECORDING);
    ASSERT_FALSE(golden.empty()) << "no golden file at " << QOLVEN_GOLDEN_RECORDING;
    if (actual == golden) return;

    std::ofstream("recording.actual", std::ios::binary) << actual;
    const std::vector<std::string> want = splitLines(golden), got = splitLines(actual);
    std::string group;
    int shown = 0;
    for (size_t i = 0; i < std::max(want.size(), got.size()) && shown < 12; ++i) {
        const std::string w = i < want.size() ? want[i] : "(end)", g = i < got.size() ? got[i] : "(end)";
        if (w.rfind("= ", 0) == 0) group = w.substr(2);
        if (w == g) continue;
        ADD_FAILURE() << "line " << i + 1 << " (" << group << ")\n  golden: " << w << "\n  now:    " << g;
        ++shown;
    }
    FAIL() << "the recording differs from " << QOLVEN_GOLDEN_RECORDING
           << "; what this build does is in recording.actual (working directory)";
}

} // namespace
