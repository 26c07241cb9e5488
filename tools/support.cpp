#include "cli.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace qolven_tool {

long long parseInteger(const std::string &text, const std::string &what, long long low, long long high) {
    const char *start = text.c_str();
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(start, &end, 0);
    if (text.empty() || *end != 0 || errno == ERANGE)
        throw usageError(what + ": \"" + text + "\" is not a number");
    if (value < low || value > high)
        throw usageError(what + ": " + text + " is outside " + std::to_string(low) + ".." + std::to_string(high));
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

long long Options::integer(const std::string &name, long long fallback, long long low, long long high) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : parseInteger(it->second, "--" + name, low, high);
}

double Options::real(const std::string &name, double fallback, double low, double high) const {
    auto it = values.find(name);
    if (it == values.end()) return fallback;
    char *end = nullptr;
    double value = std::strtod(it->second.c_str(), &end);
    if (it->second.empty() || *end != 0) throw usageError("--" + name + ": \"" + it->second + "\" is not a number");
    if (!(value >= low && value <= high))
        throw usageError("--" + name + ": " + it->second + " is outside " + std::to_string(low) + ".." +
                         std::to_string(high));
    return value;
}

std::string Session::check(const std::string &result, const std::string &what) const {
    if (result == "Error") fail(what);
    return result;
}

void Session::fail(const std::string &what) const {
    // A decoded count can be "Error" without a reason: the board sent status 0 and a zero count.
    std::string reason = dev->lastErrorText[0] ? dev->lastErrorText : "the board returned no valid value";
    throw Failure(kExitDevice, what + ": " + reason);
}

void Session::identify() {
    dev->Get_Version_of_Board(handle);
    if (dev->boardTypeText == "Error") fail("identify the board");
}

bool Session::refusedBoardType() const { return std::string(dev->lastErrorText) == "Invalid Type of Board"; }

std::string Output::jsonString(const std::string &value) {
    std::string text = "\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + "\"";
}

std::string Output::jsonValue(const std::string &value) {
    // Plain integers stay numbers; everything else (overflow texts, addresses) is a string.
    size_t digits = value.size() > 1 && value[0] == '-' ? 1 : 0;
    bool number = digits < value.size() && value.size() - digits <= 10;
    for (size_t i = digits; number && i < value.size(); ++i) number = value[i] >= '0' && value[i] <= '9';
    if (number && value.size() - digits > 1 && value[digits] == '0') number = false;
    return number ? value : jsonString(value);
}

void Output::field(const std::string &name, const std::string &value) {
    if (!json_) {
        std::printf("%s %s\n", name.c_str(), value.c_str());
        return;
    }
    std::printf("%s%s: %s", open_ ? ",\n  " : "{\n  ", jsonString(name).c_str(), jsonValue(value).c_str());
    open_ = true;
}

void Output::rawField(const std::string &name, const std::string &json) {
    std::printf("%s%s: %s", open_ ? ",\n  " : "{\n  ", jsonString(name).c_str(), json.c_str());
    open_ = true;
}

void Output::finish() {
    if (json_) std::printf(open_ ? "\n}\n" : "{}\n");
    open_ = false;
    std::fflush(stdout);
}

namespace {
volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void onInterrupt(int) { g_interrupted = 1; }
} // namespace

bool interrupted() { return g_interrupted != 0; }

void installInterruptHandler() {
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESTART;  // output under way is not cut short
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace qolven_tool
