// Description files: one device per line, key=value pairs separated by spaces or commas,
// '#' starts a comment, values may be quoted ("QOLVEN USB SIM").  Keys:
//   serial, description, device_type, type, hw, fw, year, month, delay_us, reset_delay_ms,
//   completion_delay_ms, channels, seed, offset, amplitude, period, noise, rpm,
//   eeprom.A=V (16-bit), channel.C.A=V, memory.A=V, teds.A=V (A 0..65535), internal.R=V (24-bit).
// Numbers are decimal or 0x-hexadecimal.  The whole file is checked before any device is
// attached: one bad line (unknown key, bad value, missing serial) rejects the file, and the
// error names the line.  Devices are attached in file order, replacing attached devices of
// the same serial number; other attached devices stay.
#include "sim_internal.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qolven_sim {
namespace detail {

namespace {

bool split_tokens(const std::string &line, std::vector<std::string> &out, std::string &err) {
    std::string cur;
    bool inQuote = false, have = false;
    for (char ch : line) {
        if (inQuote) {
            if (ch == '"') inQuote = false;
            else cur += ch;
            continue;
        }
        if (ch == '"') { inQuote = true; have = true; continue; }
        if (ch == '#') break;
        if (ch == ' ' || ch == '\t' || ch == ',' || ch == '\r') {
            if (have) out.push_back(cur);
            cur.clear();
            have = false;
            continue;
        }
        cur += ch;
        have = true;
    }
    if (inQuote) { err = "unterminated quote"; return false; }
    if (have) out.push_back(cur);
    return true;
}

bool parse_int(const std::string &s, long long lo, long long hi, long long &v) {
    if (s.empty()) return false;
    errno = 0;
    char *end = nullptr;
    v = std::strtoll(s.c_str(), &end, 0);
    return errno == 0 && end && *end == 0 && v >= lo && v <= hi;
}

bool parse_double(const std::string &s, double &v) {
    if (s.empty()) return false;
    char *end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end && *end == 0;
}

} // namespace

bool parse_description_text(const std::string &text,
                            std::vector<std::pair<BoardConfig, std::vector<RegisterOverride>>> &out,
                            std::string *error) {
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string &msg) {
        if (error) *error = "line " + std::to_string(lineNo) + ": " + msg;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        std::vector<std::string> tokens;
        std::string terr;
        if (!split_tokens(line, tokens, terr)) return fail(terr);
        if (tokens.empty()) continue;
        BoardConfig cfg;
        std::vector<RegisterOverride> ovr;
        bool haveSerial = false;
        for (const auto &tok : tokens) {
            auto eq = tok.find('=');
            if (eq == std::string::npos || eq == 0) return fail("expected key=value, got '" + tok + "'");
            std::string key = tok.substr(0, eq), val = tok.substr(eq + 1);
            long long iv = 0;
            double dv = 0;
            auto bad = [&]() { return fail("bad value '" + val + "' for key '" + key + "'"); };
            auto intKey = [&](long long lo, long long hi) { return parse_int(val, lo, hi, iv); };
            if (key == "serial") {
                if (val.empty() || val.size() > 15) return fail("serial number must have 1 to 15 characters");
                cfg.serial = val;
                haveSerial = true;
            } else if (key == "description") {
                if (val.size() > 63) return fail("description longer than 63 characters");
                cfg.description = val;
            } else if (key == "device_type") {
                if (!intKey(0, 0xFFFFFFFFLL)) return bad();
                cfg.deviceType = static_cast<uint32_t>(iv);
            } else if (key == "type") {
                if (!intKey(0, 255)) return bad();
                cfg.boardType = static_cast<int>(iv);
            } else if (key == "hw") {
                if (!intKey(0, 255)) return bad();
                cfg.hardwareVersion = static_cast<int>(iv);
            } else if (key == "fw") {
                if (!intKey(0, 255)) return bad();
                cfg.firmwareVersion = static_cast<int>(iv);
            } else if (key == "year") {
                if (!intKey(0, 15)) return bad();
                cfg.firmwareYear = static_cast<int>(iv);
            } else if (key == "month") {
                if (!intKey(0, 15)) return bad();
                cfg.firmwareMonth = static_cast<int>(iv);
            } else if (key == "delay_us") {
                if (!intKey(0, 100000000)) return bad();
                cfg.answerDelayUs = static_cast<unsigned>(iv);
            } else if (key == "reset_delay_ms") {
                if (!intKey(0, 1000000)) return bad();
                cfg.resetDelayMs = static_cast<unsigned>(iv);
            } else if (key == "completion_delay_ms") {
                if (!intKey(0, 1000000)) return bad();
                cfg.completionDelayMs = static_cast<unsigned>(iv);
            } else if (key == "channels") {
                if (!intKey(1, 4)) return bad();
                cfg.activeChannels = static_cast<int>(iv);
            } else if (key == "seed") {
                if (!intKey(0, 0xFFFFFFFFLL)) return bad();
                cfg.seed = static_cast<uint32_t>(iv);
            } else if (key == "offset" || key == "amplitude" || key == "period" || key == "noise" || key == "rpm") {
                if (!parse_double(val, dv)) return bad();
                if ((key == "period" || key == "noise") && dv < 0) return bad();
                if (key == "offset") cfg.signalOffset = dv;
                else if (key == "amplitude") cfg.signalAmplitude = dv;
                else if (key == "period") cfg.signalPeriodS = dv;
                else if (key == "noise") cfg.signalNoise = dv;
                else cfg.rotationRpm = dv;
            } else if (key.rfind("eeprom.", 0) == 0 || key.rfind("memory.", 0) == 0 || key.rfind("teds.", 0) == 0 ||
                       key.rfind("internal.", 0) == 0 || key.rfind("channel.", 0) == 0) {
                RegisterOverride o;
                std::string rest = key.substr(key.find('.') + 1);
                long long addr = 0, ch = 0;
                long long maxAddr = 255, maxVal = 255;
                if (key.rfind("eeprom.", 0) == 0) { o.kind = RegisterOverride::Eeprom; maxVal = 0xFFFF; }
                else if (key.rfind("memory.", 0) == 0) o.kind = RegisterOverride::Memory;
                else if (key.rfind("teds.", 0) == 0) { o.kind = RegisterOverride::Teds; maxAddr = 0xFFFF; }
                else if (key.rfind("internal.", 0) == 0) { o.kind = RegisterOverride::Internal; maxVal = 0xFFFFFF; }
                else {
                    o.kind = RegisterOverride::Channel;
                    auto dot = rest.find('.');
                    if (dot == std::string::npos || !parse_int(rest.substr(0, dot), 0, 3, ch))
                        return fail("bad register key '" + key + "' (expected channel.C.A with C 0..3)");
                    rest = rest.substr(dot + 1);
                }
                if (!parse_int(rest, 0, maxAddr, addr)) return fail("bad register address in key '" + key + "'");
                if (!intKey(0, maxVal)) return bad();
                o.channel = static_cast<int>(ch);
                o.address = static_cast<int>(addr);
                o.value = static_cast<uint32_t>(iv);
                ovr.push_back(o);
            } else {
                return fail("unknown key '" + key + "'");
            }
        }
        if (!haveSerial) return fail("missing serial");
        out.emplace_back(cfg, ovr);
    }
    return true;
}

bool load_description_locked(Bridge &b, const std::string &path, std::string *error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    std::vector<std::pair<BoardConfig, std::vector<RegisterOverride>>> devices;
    if (!parse_description_text(ss.str(), devices, error)) return false;
    for (auto &d : devices) attach_locked(b, d.first, d.second);
    if (error) error->clear();
    return true;
}

} // namespace detail
} // namespace qolven_sim
