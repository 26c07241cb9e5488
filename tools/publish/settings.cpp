#include "publish.h"

#include <qolven.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace qolven_publish {

namespace {

bool plainLevelByte(unsigned char c) { return std::isalnum(c) || c == '-' || c == '_' || c == '.'; }

std::string shown(const std::string &text) {
    std::string out;
    for (unsigned char c : text.substr(0, 80)) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return "\"" + out + (text.size() > 80 ? "...\"" : "\"");
}

bool hostByte(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_'; }

void checkReadableFile(const std::string &option, const std::string &path) {
    struct stat st;
    if (path.empty()) throw SettingsError(option + ": empty; give a file name");
    if (stat(path.c_str(), &st) != 0) throw SettingsError(option + " " + shown(path) + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw SettingsError(option + " " + shown(path) + " is not a regular file");
    if (access(path.c_str(), R_OK) != 0) throw SettingsError(option + " " + shown(path) + ": " + std::strerror(errno));
}

} // namespace

std::string BrokerAddress::clientUri() const {
    std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(tls ? "ssl://" : "tcp://") + name + ":" + std::to_string(port);
}

std::string BrokerAddress::text() const {
    std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(tls ? "mqtts://" : "mqtt://") + name + ":" + std::to_string(port);
}

BrokerAddress parseBrokerUrl(const std::string &url) {
    // Whatever stands before an '@' may be a password: it is never shown.
    size_t at = url.find('@');
    size_t scheme = url.find("://");
    const std::string what =
        "--broker " + shown(at == std::string::npos ? url
                                                    : url.substr(0, scheme == std::string::npos ? 0 : scheme + 3) +
                                                          "...@" + url.substr(at + 1));
    BrokerAddress a;
    std::string rest;
    if (url.compare(0, 7, "mqtt://") == 0) {
        rest = url.substr(7);
    } else if (url.compare(0, 8, "mqtts://") == 0) {
        a.tls = true;
        rest = url.substr(8);
    } else {
        throw SettingsError(what + ": give mqtt://HOST[:PORT], or mqtts://HOST[:PORT] for TLS");
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('@') != std::string::npos)
        throw SettingsError(what + ": no user or password in the address (they would show in the process list); "
                                   "use --user and --password-file or QOLVEN_MQTT_PASSWORD");
    if (rest.find('/') != std::string::npos || rest.find('?') != std::string::npos)
        throw SettingsError(what + ": an MQTT address has no path");
    std::string port;
    bool hasPort = false;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos) throw SettingsError(what + ": the IPv6 address lacks its ']'");
        a.host = rest.substr(1, close - 1);
        std::string after = rest.substr(close + 1);
        if (!after.empty() && after[0] != ':') throw SettingsError(what + ": only :PORT may follow the address");
        hasPort = !after.empty();
        if (hasPort) port = after.substr(1);
        if (a.host.empty() || a.host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
            throw SettingsError(what + ": " + shown(a.host) + " is not an IPv6 address");
    } else {
        size_t colon = rest.find(':');
        a.host = rest.substr(0, colon);
        hasPort = colon != std::string::npos;
        if (hasPort) port = rest.substr(colon + 1);
        if (a.host.empty()) throw SettingsError(what + ": the host name is missing");
        for (unsigned char c : a.host)
            if (!hostByte(c)) throw SettingsError(what + ": " + shown(a.host) + " is not a host name");
    }
    a.port = a.tls ? 8883 : 1883;
    if (hasPort) {
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(port) < 1 || std::stoi(port) > 65535)
            throw SettingsError(what + ": the port " + shown(port) + " is not a number in 1..65535");
        a.port = std::stoi(port);
    }
    return a;
}

std::string topicLevel(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (plainLevelByte(c)) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string siteProblem(const std::string &site) {
    if (site.empty()) return "empty; give a name for this machine's place in the topics";
    if (site.size() > 64) return shown(site) + " has " + std::to_string(site.size()) + " bytes; at most 64";
    for (unsigned char c : site)
        if (!plainLevelByte(c)) return shown(site) + ": only letters, digits, '-', '_' and '.' (it is one topic level)";
    return "";
}

void checkSettings(const Settings &s) {
    if (s.broker.host.empty()) throw SettingsError("--broker is needed: mqtt://HOST[:PORT]");
    std::string problem = siteProblem(s.site);
    if (!problem.empty()) throw SettingsError("--site: " + problem);
    if (!s.allowed.empty() && !s.commands)
        throw SettingsError("--allow lists what commands may set: give --commands as well");
    for (const std::string &name : s.allowed) {
        int index = qolven_parameter_find(name.c_str());
        if (index < 0) throw SettingsError("--allow: " + shown(name) + " is no parameter (qolven set --help lists them)");
        if (!(qolven_parameter_flags(index) & QOLVEN_PARAMETER_WRITABLE))
            throw SettingsError("--allow: " + name + " cannot be written");
    }
    if (!s.broker.tls && (!s.caFile.empty() || !s.certFile.empty() || !s.keyFile.empty()))
        throw SettingsError("--ca-file, --cert and --key are for TLS: give the broker as mqtts://");
    if (s.certFile.empty() != s.keyFile.empty()) throw SettingsError("--cert and --key go together");
    if (!s.caFile.empty()) checkReadableFile("--ca-file", s.caFile);
    if (!s.certFile.empty()) checkReadableFile("--cert", s.certFile);
    if (!s.keyFile.empty()) checkReadableFile("--key", s.keyFile);
    if (!s.password.empty() && s.user.empty()) throw SettingsError("a password needs --user");
    if (s.loadLimits && !(s.lowLimit < s.highLimit))
        throw SettingsError("--load-limits: the low limit must be below the high limit");
    if (s.queueDir.empty()) throw SettingsError("--queue-dir: empty; give a folder");
}

std::string readPasswordFile(const std::string &path) {
    checkReadableFile("--password-file", path);
    std::ifstream in(path, std::ios::binary);
    std::string password;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) throw SettingsError("--password-file " + shown(path) + ": the first line is empty");
    return password;
}

void Log::line(const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stream_, "qolven publish: %s\n", text.c_str());
    std::fflush(stream_);
}

} // namespace qolven_publish
