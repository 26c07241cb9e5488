// Device descriptions: the one grammar of `qolven --simulate` texts, description files
// and qolven_sim_configure().
//
//   - devices are separated by ';' or a line end, key=value pairs by ',' or white space;
//   - '#' at the start of a pair starts a comment that runs to the end of the line;
//   - a value may be quoted ("LOAD CELL 1") to hold separators; a quote ends on its line;
//   - numbers are decimal (a leading zero changes nothing) or hexadecimal after 0x;
//   - a device without serial= is SIM0001, SIM0002, ... by its position.
// The whole text is checked before anything is attached; an error names the device (and
// the line, for texts of several lines), the key and what is wrong with its value, and
// quotes the input only in part, with unprintable bytes escaped.
#include "sim_internal.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace qolven_sim {
namespace detail {

namespace {

const char *const kKnownKeys =
    "serial, description, type, hw, fw, year, month, device_type, delay_us, reset_delay_ms, completion_delay_ms, "
    "channels, seed, offset, amplitude, period, noise, rpm, eeprom.A, channel.C.A, memory.A, teds.A, internal.R, "
    "fault, fault_every, fault_probability, fault_arg, fault_delay_us, replay, replay_device";

struct Pair {
    std::string key, value;
    bool quoted = false;
};

struct RawDevice {
    int position = 0;  // 1-based, among the devices that have pairs
    int line = 0;
    std::vector<Pair> pairs;
};

struct Fail {
    std::string message;
};

// Splits the text into devices and pairs.
class Splitter {
public:
    Splitter(const std::string &text, bool lines) : text_(text), lines_(lines) {}

    std::vector<RawDevice> run() {
        for (i_ = 0; i_ < text_.size(); ++i_) {
            char c = text_[i_];
            if (c == '\n' || c == ';') {
                end_pair();
                end_device();
                if (c == '\n') ++line_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == ',') {
                end_pair();
            } else if (c == '#') {
                if (inPair_) fail("'#' inside a pair (a comment starts after a space, or quote the value)");
                while (i_ + 1 < text_.size() && text_[i_ + 1] != '\n') ++i_;
            } else if (c == '"') {
                quote();
            } else {
                if (afterQuote_) fail("text after the closing quote");
                take(c);
            }
        }
        end_pair();
        end_device();
        return std::move(devices_);
    }

    std::string where() const {
        std::string s = "device " + std::to_string(devices_.size() + 1);
        if (lines_) s += " (line " + std::to_string(line_) + ")";
        return s;
    }

private:
    [[noreturn]] void fail(const std::string &what) {
        std::string key = sawEq_ && !pair_.key.empty() ? "key " + quoted(pair_.key) + ": " : "";
        throw Fail{where() + ": " + key + what};
    }
    void refuse_control(char c) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) return;
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", u);
        fail(std::string("unexpected byte ") + buf);
    }
    void take(char c) {
        refuse_control(c);
        if (!inPair_) startLine_ = line_;
        inPair_ = true;
        if (!sawEq_ && c == '=') sawEq_ = true;
        else if (sawEq_) pair_.value += c;
        else pair_.key += c;
    }
    void quote() {
        if (!sawEq_ || !pair_.value.empty() || pair_.quoted) fail("a quote only opens a value (key=\"...\")");
        pair_.quoted = true;
        for (++i_; i_ < text_.size() && text_[i_] != '"'; ++i_) {
            if (text_[i_] == '\n') break;
            refuse_control(text_[i_]);
            pair_.value += text_[i_];
        }
        if (i_ >= text_.size() || text_[i_] != '"') fail("unclosed quote");
        afterQuote_ = true;
    }
    void end_pair() {
        if (!inPair_) return;
        if (!sawEq_) fail(quoted(pair_.key) + " is not key=value (known keys: " + kKnownKeys + ")");
        if (pair_.key.empty()) fail("pair " + quoted("=" + pair_.value) + " has no key");
        if (current_.pairs.empty()) current_.line = startLine_;
        current_.pairs.push_back(std::move(pair_));
        pair_ = Pair();
        inPair_ = sawEq_ = afterQuote_ = false;
    }
    void end_device() {
        if (current_.pairs.empty()) return;
        if (devices_.size() >= kMaxDevices)
            throw Fail{where() + ": too many devices (at most " + std::to_string(kMaxDevices) + ")"};
        current_.position = static_cast<int>(devices_.size()) + 1;
        devices_.push_back(std::move(current_));
        current_ = RawDevice();
    }

    const std::string &text_;
    bool lines_;
    size_t i_ = 0;
    int line_ = 1, startLine_ = 1;
    bool inPair_ = false, sawEq_ = false, afterQuote_ = false;
    Pair pair_;
    RawDevice current_;
    std::vector<RawDevice> devices_;
};

// Integers: decimal (optionally negative) or 0x hexadecimal.
bool parse_integer(const std::string &s, long long &v) {
    const char *p = s.c_str(), *end = p + s.size();
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (p == end || *p == '+') return false;
    auto r = std::from_chars(p, end, v, base);
    return r.ec == std::errc() && r.ptr == end;
}

bool parse_real(const std::string &s, double &v) {
    const char *p = s.c_str(), *end = p + s.size();
    if (p == end) return false;
    auto r = std::from_chars(p, end, v, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == end && std::isfinite(v);
}

// Serial numbers and descriptions: printable ASCII or UTF-8, no control bytes.
bool printable_text(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_length(s, i);
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (n == 0 || (n == 1 && (c < 0x20 || c == 0x7F))) return false;
        i += n;
    }
    return true;
}

struct FaultName {
    const char *name;
    Fault kind;
    bool arg, delay;
};
const FaultName kFaults[] = {
    {"none", Fault::None, false, false},
    {"no_answer", Fault::NoAnswer, false, false},
    {"late", Fault::Late, false, true},
    {"partial", Fault::Partial, true, false},
    {"wrong_number", Fault::WrongNumber, false, false},
    {"wrong_size", Fault::WrongSize, false, false},
    {"wrong_command", Fault::WrongCommand, true, false},
    {"wrong_end", Fault::WrongEnd, false, false},
    {"board_error", Fault::BoardError, true, false},
    {"leading_ff", Fault::LeadingFF, false, false},
    {"split", Fault::Split, true, true},
    {"extra_bytes", Fault::ExtraBytes, true, false},
    {"fast_empty", Fault::FastEmpty, false, false},
    {"fast_two_pieces", Fault::FastTwoPieces, false, true},
    {"fast_refusal", Fault::FastRefusal, true, false},
    {"fast_short", Fault::FastShort, false, false},
};

// Turns the pairs of one device into its description.
class DeviceBuilder {
public:
    DeviceBuilder(const RawDevice &raw, bool lines) : raw_(raw) {
        where_ = "device " + std::to_string(raw.position);
        if (lines) where_ += " (line " + std::to_string(raw.line) + ")";
    }

    DeviceDescription build() {
        std::set<std::string> seen;
        for (const Pair &p : raw_.pairs) {
            pair_ = &p;
            if (!seen.insert(p.key).second) fail("given twice");
            apply(p);
        }
        pair_ = nullptr;
        finish_fault(seen);
        finish_replay(seen);
        if (!seen.count("serial") && !replaySerial_) {
            char serial[16];
            std::snprintf(serial, sizeof serial, "SIM%04d", raw_.position);
            d_.cfg.serial = serial;
        }
        return d_;
    }

    [[noreturn]] void fail(const std::string &what) const {
        throw Fail{where_ + ": " + (pair_ ? "key " + quoted(pair_->key) + ": " : "") + what};
    }

private:
    long long integer(long long lo, long long hi, const char *what) const {
        long long v = 0;
        if (!parse_integer(pair_->value, v))
            fail(quoted(pair_->value) + " is not a number (" + what + ", decimal or 0x hexadecimal)");
        if (v < lo || v > hi)
            fail(pair_->value + " is outside " + std::to_string(lo) + ".." + std::to_string(hi) + " (" + what + ")");
        return v;
    }
    double real(double lo, const char *what) const {
        double v = 0;
        if (!parse_real(pair_->value, v)) fail(quoted(pair_->value) + " is not a number (" + what + ")");
        if (v < lo) fail(pair_->value + " is below " + std::to_string(static_cast<int>(lo)) + " (" + what + ")");
        return v;
    }

    void apply(const Pair &p) {
        const std::string &k = p.key;
        BoardConfig &c = d_.cfg;
        const double any = -INFINITY;
        if (k == "serial") {
            const std::string range = "serial numbers: 1 to " + std::to_string(kMaxSerialBytes) + " bytes";
            if (p.value.empty()) fail("empty (" + range + ")");
            if (p.value.size() > kMaxSerialBytes)
                fail(quoted(p.value) + " has " + std::to_string(p.value.size()) + " bytes (" + range + ")");
            if (!printable_text(p.value) || p.value.find_first_of(" \"#,;=\\") != std::string::npos)
                fail(quoted(p.value) + " is not a serial number (printable characters without spaces or \"#,;=\\)");
            c.serial = p.value;
        } else if (k == "description") {
            if (p.value.size() > 63)
                fail(quoted(p.value) + " has " + std::to_string(p.value.size()) + " bytes (at most 63)");
            if (!printable_text(p.value) || p.value.find_first_of("\"\\") != std::string::npos)
                fail(quoted(p.value) + " holds characters a description cannot take");
            c.description = p.value;
        } else if (k == "type") {
            c.boardType = static_cast<int>(integer(0, 16, "board types"));
        } else if (k == "hw") {
            c.hardwareVersion = static_cast<int>(integer(0, 255, "hardware version"));
        } else if (k == "fw") {
            c.firmwareVersion = static_cast<int>(integer(0, 255, "firmware version"));
        } else if (k == "year") {
            c.firmwareYear = static_cast<int>(integer(0, 15, "firmware year nibble"));
        } else if (k == "month") {
            c.firmwareMonth = static_cast<int>(integer(0, 15, "firmware month nibble"));
        } else if (k == "device_type") {
            c.deviceType = static_cast<uint32_t>(integer(0, 0xFFFFFFFFLL, "D2XX device type"));
        } else if (k == "delay_us") {
            c.answerDelayUs = static_cast<unsigned>(integer(0, 100000000, "answer delay in microseconds"));
        } else if (k == "reset_delay_ms") {
            c.resetDelayMs = static_cast<unsigned>(integer(0, 1000000, "milliseconds"));
        } else if (k == "completion_delay_ms") {
            c.completionDelayMs = static_cast<unsigned>(integer(0, 1000000, "milliseconds"));
        } else if (k == "channels") {
            c.activeChannels = static_cast<int>(integer(1, 4, "active channels"));
        } else if (k == "seed") {
            c.seed = static_cast<uint32_t>(integer(0, 0xFFFFFFFFLL, "seed"));
        } else if (k == "offset") {
            c.signalOffset = real(any, "counts");
        } else if (k == "amplitude") {
            c.signalAmplitude = real(any, "counts");
        } else if (k == "period") {
            c.signalPeriodS = real(0, "seconds");
        } else if (k == "noise") {
            c.signalNoise = real(0, "counts");
        } else if (k == "rpm") {
            c.rotationRpm = real(any, "revolutions per minute");
        } else if (k == "replay") {
            if (p.value.empty()) fail("empty (the recording to play back, FILE.h5)");
            replay_ = p.value;
        } else if (k == "replay_device") {
            if (p.value.empty()) fail("empty (a device of the recording: its serial number or group)");
            replayDevice_ = p.value;
        } else if (k.rfind("fault", 0) == 0 && fault_key(k)) {
        } else if (register_key(k)) {
        } else {
            fail_unknown();
        }
    }

    [[noreturn]] void fail_unknown() const {
        const Pair *p = pair_;
        throw Fail{where_ + ": unknown key " + quoted(p->key) + " (known keys: " + kKnownKeys + ")"};
    }

    bool fault_key(const std::string &k) {
        if (k == "fault") {
            for (const FaultName &f : kFaults)
                if (pair_->value == f.name) {
                    fault_ = &f;
                    return true;
                }
            std::string names;
            for (const FaultName &f : kFaults) names += (names.empty() ? "" : ", ") + std::string(f.name);
            fail(quoted(pair_->value) + " is not a fault (" + names + ")");
        }
        if (k == "fault_every") spec_.every = static_cast<int>(integer(1, 1000000, "every N-th answer"));
        else if (k == "fault_probability") spec_.probability = probability();
        else if (k == "fault_arg") spec_.arg = static_cast<int>(integer(0, 255, "fault argument"));
        else if (k == "fault_delay_us") spec_.delayUs = static_cast<unsigned>(integer(0, 10000000, "microseconds"));
        else return false;
        return true;
    }
    double probability() const {
        double v = 0;
        if (!parse_real(pair_->value, v) || v < 0 || v > 1)
            fail(quoted(pair_->value) + " is not a probability (0..1)");
        return v;
    }
    void finish_fault(const std::set<std::string> &seen) {
        auto has = [&](const char *k) { return seen.count(k) != 0; };
        auto refuse = [&](const char *key, const std::string &why) {
            throw Fail{where_ + ": key " + quoted(key) + ": " + why};
        };
        for (const char *k : {"fault_every", "fault_probability", "fault_arg", "fault_delay_us"})
            if (has(k) && (!fault_ || fault_->kind == Fault::None)) refuse(k, "needs fault=NAME");
        if (!fault_ || fault_->kind == Fault::None) return;
        if (has("fault_every") && has("fault_probability"))
            refuse("fault_probability", "fault_every and fault_probability exclude each other");
        if (has("fault_arg") && !fault_->arg) refuse("fault_arg", std::string("fault ") + fault_->name + " takes no argument");
        if (has("fault_delay_us") && !fault_->delay)
            refuse("fault_delay_us", std::string("fault ") + fault_->name + " takes no delay");
        spec_.kind = fault_->kind;
        spec_.mode = has("fault_every") ? FaultMode::EveryNth
                     : has("fault_probability") ? FaultMode::Random
                                                : FaultMode::Next;
        d_.fault = spec_;
    }

    // A recording to play back: read now, so that a bad file is refused with
    // the rest of the description.  Its board type and serial number stand
    // unless the description gives its own.
    void finish_replay(const std::set<std::string> &seen) {
        if (replay_.empty()) {
            if (seen.count("replay_device")) throw Fail{where_ + ": key \"replay_device\": needs replay=FILE"};
            return;
        }
        auto replay = std::make_shared<Replay>();
        std::string why;
        if (!load_replay(replay_, replayDevice_, *replay, &why)) throw Fail{where_ + ": key \"replay\": " + why};
        if (!seen.count("type")) {
            if (replay->boardType > 16)
                throw Fail{where_ + ": key \"replay\": the recorded board type " + std::to_string(replay->boardType) +
                           " is outside 0..16; give type="};
            d_.cfg.boardType = replay->boardType;
        }
        const std::string &serial = replay->serial;
        if (!seen.count("serial") && !serial.empty() && serial.size() <= 15 && printable_text(serial) &&
            serial.find_first_of(" \"#,;=\\") == std::string::npos) {
            d_.cfg.serial = serial;
            replaySerial_ = true;
        }
        d_.replay = replay;
    }

    bool register_key(const std::string &k) {
        struct Area {
            const char *prefix;
            RegisterOverride::Kind kind;
            long long maxAddress, maxValue;
        };
        static const Area areas[] = {
            {"eeprom.", RegisterOverride::Eeprom, 255, 0xFFFF},   {"memory.", RegisterOverride::Memory, 255, 255},
            {"teds.", RegisterOverride::Teds, 0xFFFF, 255},       {"internal.", RegisterOverride::Internal, 255, 0xFFFFFF},
            {"channel.", RegisterOverride::Channel, 255, 255},
        };
        for (const Area &a : areas) {
            if (k.rfind(a.prefix, 0) != 0) continue;
            std::string rest = k.substr(std::strlen(a.prefix));
            RegisterOverride o;
            o.kind = a.kind;
            long long channel = 0, address = 0;
            if (a.kind == RegisterOverride::Channel) {
                size_t dot = rest.find('.');
                if (dot == std::string::npos || !parse_integer(rest.substr(0, dot), channel) || channel < 0 || channel > 3)
                    fail("not a channel register (channel.C.A with C 0..3, A 0..255)");
                rest = rest.substr(dot + 1);
            }
            if (!parse_integer(rest, address) || address < 0 || address > a.maxAddress)
                fail("register address " + quoted(rest) + " is outside 0.." + std::to_string(a.maxAddress));
            o.channel = static_cast<int>(channel);
            o.address = static_cast<int>(address);
            o.value = static_cast<uint32_t>(integer(0, a.maxValue, "register value"));
            d_.overrides.push_back(o);
            return true;
        }
        return false;
    }

    const RawDevice &raw_;
    std::string where_;
    const Pair *pair_ = nullptr;
    DeviceDescription d_;
    const FaultName *fault_ = nullptr;
    FaultSpec spec_;
    std::string replay_, replayDevice_;
    bool replaySerial_ = false;
};

// A NUL would end the text for every C caller: refused wherever it is.
void refuse_nul(const std::string &text) {
    size_t at = text.find('\0');
    if (at == std::string::npos) return;
    size_t lineStart = text.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    long line = 1 + static_cast<long>(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n'));
    throw Fail{"line " + std::to_string(line) + ", byte " + std::to_string(at - lineStart + 1) +
               ": a NUL byte (a description is text)"};
}

} // namespace

bool parse_description(const std::string &text, std::vector<DeviceDescription> &out, std::string *error) {
    try {
        refuse_nul(text);
        // A byte-order mark, as some editors write, is not part of the first key.
        const std::string body = text.rfind("\xef\xbb\xbf", 0) == 0 ? text.substr(3) : text;
        bool lines = body.find('\n') != std::string::npos && body.find('\n') + 1 < body.size();
        std::vector<RawDevice> raw = Splitter(body, lines).run();
        if (raw.empty()) throw Fail{"no device described"};
        std::vector<DeviceDescription> devices;
        std::map<std::string, int> serials;
        for (const RawDevice &r : raw) {
            DeviceBuilder builder(r, lines);
            devices.push_back(builder.build());
            const std::string &serial = devices.back().cfg.serial;
            auto earlier = serials.emplace(serial, r.position);
            if (!earlier.second)
                builder.fail("serial number " + quoted(serial) + " is already device " +
                             std::to_string(earlier.first->second) + "'s");
        }
        out = std::move(devices);
        if (error) error->clear();
        return true;
    } catch (const Fail &f) {
        if (error) *error = f.message;
        return false;
    }
}

bool read_description_file(const std::string &path, std::string &text, std::string *error) {
    auto fail = [&](const std::string &why) {
        if (error) *error = why;
        return false;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(std::string("cannot read: ") + std::strerror(errno));
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return fail("is a directory, not a description file");
    }
    // A pipe is read as well as a file; a blocking read was only avoided for the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    text.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            return fail(std::string("cannot read: ") + std::strerror(e));
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxDescriptionBytes) {
            ::close(fd);
            return fail("larger than " + std::to_string(kMaxDescriptionBytes >> 10) + " KiB");
        }
    }
    ::close(fd);
    return true;
}

} // namespace detail
} // namespace qolven_sim
