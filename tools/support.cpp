#include "backend.h"
#include "cli.h"

#include <qolven.h>
#include <qolven_bridge.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
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

int exitCodeOf(int status) {
    switch (status) {
    case QOLVEN_OK: return kExitOk;
    case QOLVEN_INVALID_ARGUMENT:
    case QOLVEN_UNKNOWN_NAME:
    case QOLVEN_NOT_SUPPORTED: return kExitUsage;
    case QOLVEN_NO_DEVICE: return kExitNoDevice;
    case QOLVEN_INTERRUPTED: return kExitSignal + (interrupted() ? interruptingSignal() : SIGINT);
    default: return kExitDevice;
    }
}

Session::~Session() { interruptDevice(nullptr); }

void Session::require(int status, const std::string &what) const {
    if (status != QOLVEN_OK) fail(status, what);
}

void Session::fail(int status, const std::string &what) const {
    std::string prefix = what.empty() ? "" : what + ": ";
    // Once a signal cut the transfers every call fails: that failure is the signal's.
    if (status == QOLVEN_INTERRUPTED || (interrupted() && transfersCut()))
        throw Failure(kExitSignal + interruptingSignal(), prefix + interruptionText());
    std::string text = qolven_error_text(dev());
    if (text.empty()) text = qolven_error_name(status);
    throw Failure(exitCodeOf(status), prefix + safeText(text) + transportHint(*this));
}

std::string Session::call(const char *method, const std::vector<std::string> &arguments, const std::string &what,
                          int *status) const {
    std::vector<const char *> texts;
    for (const std::string &a : arguments) texts.push_back(a.c_str());
    char result[256];
    size_t length = 0;
    int code = qolven_call(dev(), method, texts.data(), static_cast<int>(texts.size()), result, sizeof result, &length);
    std::string text;
    if (length < sizeof result) {
        text.assign(result, length);
    } else {
        // A result longer than the buffer: the whole text once more.
        std::vector<char> whole(length + 1);
        qolven_result_text(dev(), whole.data(), whole.size(), nullptr);
        text.assign(whole.data(), length);
    }
    if (code == QOLVEN_BUFFER_TOO_SMALL) code = QOLVEN_OK;
    if (status) *status = code;
    else require(code, what);
    return text;
}

void Session::beginWrite(const std::string &what) {
    if (interrupted()) throw Failure(kExitSignal + interruptingSignal(), interruptionText() + "; nothing was written");
    written = what;
}

std::string safeText(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\n') || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string transportHint(const Session &s) {
    // Status 18 is what FTDI's library answers to every call where it sees no USB at all.
    if (s.options->simulate || qolven_d2xx_status(s.dev()) != 18) return "";
    return "\nD2XX status 18 (FT_OTHER_ERROR): FTDI's library cannot reach any USB device. It answers so "
           "where there is no USB file system, as in a container started without the host's USB devices. "
           "Check that /dev/bus/usb exists and is readable and that `lsusb` shows the bridge (0403:6001); "
           "see real-hardware.md in " + documentation() + ".";
}

std::vector<std::string> attachedSerials(Session &s) {
    int count = 0;
    s.require(qolven_device_count(s.dev(), &count), "count devices");
    std::vector<std::string> serials;
    for (int i = 0; i < count; ++i) {
        char serial[64];
        int status = qolven_device_serial(s.dev(), i, serial, sizeof serial);
        std::string whole = serial;
        if (status == QOLVEN_BUFFER_TOO_SMALL) {
            size_t length = 0;
            qolven_result_text(s.dev(), nullptr, 0, &length);
            std::vector<char> text(length + 1);
            status = qolven_result_text(s.dev(), text.data(), text.size(), nullptr);
            whole.assign(text.data(), length);
        }
        s.require(status, "serial number of device " + std::to_string(i));
        serials.push_back(whole);
    }
    return serials;
}

std::string bridgeInUse() {
    std::string name = qolven_bridge_name(), path = qolven_bridge_path();
    if (name.empty()) return "none loaded";
    return name + (path.empty() ? "" : " (" + safeText(path) + ")");
}

std::string documentation() {
    auto holdsGuide = [](const std::string &folder) {
        struct stat st;
        return !folder.empty() && stat((folder + "/real-hardware.md").c_str(), &st) == 0 && S_ISREG(st.st_mode);
    };
    // An install under any prefix keeps the documentation at the same place
    // relative to the program.
    std::string relative = QOLVEN_DOCDIR_RELATIVE;
    if (!relative.empty() && relative[0] != '/') {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            std::string program(self, static_cast<size_t>(n));
            std::string folder = program.substr(0, program.rfind('/')) + "/../" + relative;
            char resolved[PATH_MAX];
            if (holdsGuide(folder) && realpath(folder.c_str(), resolved)) return resolved;
        }
    }
    if (holdsGuide(QOLVEN_DOCDIR)) return QOLVEN_DOCDIR;
    if (holdsGuide(QOLVEN_SOURCE_DOCS)) return QOLVEN_SOURCE_DOCS;
    return "the docs folder of the qolven_usb sources (installed: " QOLVEN_DOCDIR ")";
}

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
std::atomic<qolven_device *> g_device{nullptr};
std::atomic<int> g_cutAllowed{0};
std::atomic<bool> g_cut{false};

void cut() {
    g_cut.store(true);
    cancelTransfers();
}

extern "C" void onSignal(int number) {
    if (g_signal == 0) g_signal = number;
    if (qolven_device *device = g_device.load()) qolven_interrupt(device);
    if (g_cutAllowed.load() > 0) cut();
}
} // namespace

int interruptingSignal() { return g_signal; }

void interruptDevice(qolven_device *device) { g_device.store(device); }

bool transfersCut() { return g_cut.load(); }

CutTransfers::CutTransfers() {
    g_cutAllowed.fetch_add(1);
    if (interrupted()) cut();  // the signal came before the scope
}

CutTransfers::~CutTransfers() { g_cutAllowed.fetch_sub(1); }

std::string signalName() {
    switch (g_signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(g_signal);
    }
}

std::string interruptionText() { return "interrupted by " + signalName(); }

void installInterruptHandler() {
    struct sigaction action = {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;  // output under way is not cut short
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

} // namespace qolven_tool
