#include "backend.h"
#include "cli.h"

#include <qolven.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qolven_tool {

std::string quote(const std::string &text) {
    // A message stays one short line whatever was typed or read.
    const size_t kShown = 64;
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < kShown; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += "\"";
    if (text.size() > kShown) out += " (" + std::to_string(text.size()) + " bytes, cut)";
    return out;
}

std::string printable(const std::string &text) {
    for (unsigned char c : text)
        if (c < 0x20 || c >= 0x7F || c == '"') return quote(text);
    return text.size() <= 64 ? text : quote(text);
}

std::string integerProblem(const std::string &text, long long low, long long high, long long *value) {
    // The library's own reading of numbers, so that the tool and its interfaces agree.
    int64_t parsed = 0;
    char why[256] = "";
    if (qolven_parse_integer(text.c_str(), low, high, &parsed, why, sizeof why) != QOLVEN_OK)
        return why[0] ? why : quote(text) + " is not a number";
    *value = parsed;
    return "";
}

long long parseInteger(const std::string &text, const std::string &what, long long low, long long high) {
    long long value = 0;
    std::string problem = integerProblem(text, low, high, &value);
    if (!problem.empty()) throw usageError(what + ": " + problem);
    return value;
}

int parseInt(const std::string &text, const std::string &what) {
    return static_cast<int>(parseInteger(text, what, INT32_MIN, INT32_MAX));
}

unsigned char parseByte(const std::string &text, const std::string &what) {
    return static_cast<unsigned char>(parseInteger(text, what, 0, 255));
}

std::string Options::text(const std::string &name, const std::string &fallback) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

long long Options::integer(const std::string &name, long long fallback) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : std::strtoll(it->second.c_str(), nullptr, 10);
}

double Options::real(const std::string &name, double fallback) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : std::strtod(it->second.c_str(), nullptr);
}

std::string Session::check(const std::string &result, const std::string &what) const {
    if (result == "Error") fail(what);
    return result;
}

void Session::fail(const std::string &what) const {
    if (interrupted()) throw Failure(kExitSignal + interruptingSignal(), what + ": " + interruptionText());
    // A decoded count can be "Error" without a reason: the board sent status 0 and a zero count.
    std::string reason = dev->lastErrorText[0] ? dev->lastErrorText : "the board returned no valid value";
    throw Failure(kExitDevice, what + ": " + reason);
}

void Session::identify() {
    dev->Get_Version_of_Board(handle);
    if (dev->boardTypeText == "Error") fail("identify the board");
}

std::string transportHint(const Session &s) {
    // Status 18 is what FTDI's library answers to every call where it sees no USB at all.
    if (s.options->simulate || s.dev->lastStatus != 18) return "";
    return "\nD2XX status 18 (FT_OTHER_ERROR): FTDI's library cannot reach any USB device. It answers so "
           "where there is no USB file system, as in a container started without the host's USB devices. "
           "Check that /dev/bus/usb exists and is readable and that `lsusb` shows the bridge (0403:6001); "
           "see real-hardware.md in " QOLVEN_DOCDIR ".";
}

std::vector<std::string> attachedSerials(Session &s) {
    Device &d = *s.dev;
    std::string count = d.Get_Device_Count();
    if (count == "Error") {
        if (interrupted()) s.fail("count devices");
        throw Failure(kExitDevice, "count devices: " + std::string(d.lastErrorText) + transportHint(s));
    }
    std::vector<std::string> serials;
    for (int i = 0, n = std::atoi(count.c_str()); i < n; ++i) {
        std::string serial = d.Get_Device_Serial_Number(reinterpret_cast<void *>(intptr_t(i)));
        if (serial == "Error") {
            if (interrupted()) s.fail("serial number of device " + std::to_string(i));
            throw Failure(kExitDevice, "serial number of device " + std::to_string(i) + ": " + d.lastErrorText +
                                           transportHint(s));
        }
        serials.push_back(serial);
    }
    return serials;
}

bool Session::refusedBoardType() const { return std::string(dev->lastErrorText) == "Invalid Type of Board"; }

// ---- output

void writeFailure(const std::string &what, int error) {
    throw Failure(kExitWrite, "cannot write " + printable(what) + ": " + (error ? std::strerror(error) : "write error"));
}

void flushOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) writeFailure("standard output", errno);
}

Json Output::value(const std::string &text) {
    // Leading zeros and more than ten digits stay text: they are not the board's plain decimal.
    size_t sign = text.size() > 1 && text[0] == '-' ? 1 : 0;
    size_t digits = text.size() - sign;
    bool number = digits >= 1 && digits <= 10 && !(digits > 1 && text[sign] == '0');
    for (size_t i = sign; number && i < text.size(); ++i) number = text[i] >= '0' && text[i] <= '9';
    if (number) return std::strtoll(text.c_str(), nullptr, 10);
    return text;
}

std::string Output::latin1(const std::string &bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

void Output::field(const std::string &name, const std::string &value) {
    if (json_)
        put(name, Output::value(value));
    else
        std::printf("%s %s\n", name.c_str(), value.c_str());
}

void Output::put(const std::string &name, Json value) {
    if (doc_.is_null()) doc_ = Json::object();
    doc_[name] = std::move(value);
}

Json &Output::list(const std::string &name) {
    if (doc_.is_null()) doc_ = Json::object();
    Json &member = doc_[name];
    if (!member.is_array()) member = Json::array();
    return member;
}

void Output::startArray() { doc_ = Json::array(); }

void Output::element(Json value) {
    if (!doc_.is_array()) startArray();
    doc_.push_back(std::move(value));
}

void Output::finish() {
    if (!json_ || done_) return;
    done_ = true;
    if (doc_.is_null()) doc_ = Json::object();
    if (interrupted() && doc_.is_object() && !doc_.contains("error")) doc_["error"] = interruptionText();
    // Bytes that are not UTF-8 (a serial number, a board's text) become U+FFFD.
    std::string text = doc_.dump(2, ' ', false, Json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
}

void Output::abandon(const std::string &reason) {
    if (!json_ || done_) return;
    if (doc_.is_null() || doc_.is_object()) put("error", reason);
    finish();
}

// ---- signals

namespace {
volatile std::sig_atomic_t g_signal = 0;
extern "C" void onSignal(int number) {
    if (g_signal == 0) g_signal = number;
    cancelTransfers();
}
} // namespace

int interruptingSignal() { return g_signal; }

std::string interruptionText() {
    switch (g_signal) {
    case SIGINT: return "interrupted by SIGINT";
    case SIGTERM: return "interrupted by SIGTERM";
    case SIGHUP: return "interrupted by SIGHUP";
    default: return "interrupted by signal " + std::to_string(g_signal);
    }
}

void installInterruptHandler() {
    struct sigaction action = {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;  // output under way is not cut short
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

} // namespace qolven_tool
