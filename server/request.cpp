#include "request.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qolven_server {

namespace {

std::string kind(const Json &value) {
    switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "true or false";
    case Json::value_t::string: return "a text";
    case Json::value_t::array: return "a list";
    case Json::value_t::object: return "an object";
    case Json::value_t::number_float: {
        double v = value.get<double>();
        return std::isfinite(v) && std::trunc(v) == v ? "a number out of range" : "a fraction";
    }
    default: return "a number";
    }
}

std::string range(long long low, long long high) { return std::to_string(low) + ".." + std::to_string(high); }

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool tokenCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || (c && std::strchr("!#$%&'*+-.^_`|~", c));
}

// Header text for a message: printable ASCII, the rest escaped.
std::string shown(const std::string &text) {
    std::string out;
    for (unsigned char c : text.substr(0, 100)) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return text.size() > 100 ? out + "..." : out;
}

// As a person writes it: 1000000, 0.5, 1e+300.
std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

} // namespace

MediaType parseMediaType(const std::string &header) {
    MediaType media;
    size_t at = 0;
    auto fail = [&](const std::string &what) {
        return BadRequest("Content-Type \"" + shown(header) + "\": " + what);
    };
    auto token = [&]() {
        size_t start = at;
        while (at < header.size() && tokenCharacter(header[at])) ++at;
        return header.substr(start, at - start);
    };
    auto spaces = [&]() {
        while (at < header.size() && (header[at] == ' ' || header[at] == '\t')) ++at;
    };
    spaces();
    std::string type = token();
    if (type.empty() || at >= header.size() || header[at] != '/') throw fail("not a media type (type/subtype)");
    ++at;
    std::string subtype = token();
    if (subtype.empty()) throw fail("not a media type (type/subtype)");
    media.type = lower(type + "/" + subtype);
    for (;;) {
        spaces();
        if (at == header.size()) return media;
        if (header[at] != ';') throw fail("unexpected \"" + shown(header.substr(at, 1)) + "\" after " + media.type);
        ++at;
        spaces();
        if (at == header.size()) return media;
        std::string name = lower(token());
        if (name.empty() || at >= header.size() || header[at] != '=') throw fail("a parameter is not name=value");
        ++at;
        std::string value;
        if (at < header.size() && header[at] == '"') {
            for (++at;; ++at) {
                if (at >= header.size()) throw fail("a quoted value does not end");
                if (header[at] == '"') break;
                if (header[at] == '\\' && ++at >= header.size()) throw fail("a quoted value does not end");
                value += header[at];
            }
            ++at;
        } else {
            value = token();
            if (value.empty()) throw fail("parameter " + name + " has no value");
        }
        media.parameters[name] = value;
    }
}

void requireJsonMediaType(const std::string &header) {
    if (header.empty()) throw BadRequest("body: send it as Content-Type: application/json (the request names no type)");
    MediaType media = parseMediaType(header);
    if (media.type != "application/json")
        throw BadRequest("body: send it as Content-Type: application/json, not \"" + shown(header) + "\"");
    auto charset = media.parameters.find("charset");
    if (charset != media.parameters.end() && lower(charset->second) != "utf-8")
        throw BadRequest("body: Content-Type charset \"" + shown(charset->second) + "\": JSON is sent in UTF-8");
}

Json parseBody(const std::string &body, const std::set<std::string> &allowed) {
    if (body.empty()) return Json::object();
    Json value = Json::parse(body, nullptr, false);
    if (value.is_discarded()) throw BadRequest("body: not valid JSON");
    if (!value.is_object()) throw BadRequest("body: expected a JSON object, got " + kind(value));
    for (auto it = value.begin(); it != value.end(); ++it)
        if (!allowed.count(it.key())) {
            std::string names;
            for (const std::string &a : allowed) names += (names.empty() ? "" : ", ") + a;
            throw BadRequest("body: unknown field \"" + it.key() + "\" (fields: " + names + ")");
        }
    return value;
}

long long integerField(const Json &body, const std::string &name, long long low, long long high,
                       std::optional<long long> fallback) {
    auto it = body.find(name);
    if (it == body.end()) {
        if (fallback) return *fallback;
        throw BadRequest(name + ": missing");
    }
    long long value;
    if (it->is_number_integer()) {
        value = it->is_number_unsigned() && it->get<unsigned long long>() > (1ULL << 62)
                    ? high + 1  // far out of any range this API takes
                    : it->get<long long>();
    } else if (it->is_number_float() && std::isfinite(it->get<double>()) && std::trunc(it->get<double>()) == it->get<double>() &&
               std::fabs(it->get<double>()) < 1e15) {
        value = static_cast<long long>(it->get<double>());
    } else {
        throw BadRequest(name + ": expected a whole number, got " + kind(*it));
    }
    if (value < low || value > high)
        throw BadRequest(name + ": " + it->dump() + " is outside " + range(low, high));
    return value;
}

bool booleanField(const Json &body, const std::string &name, bool fallback) {
    auto it = body.find(name);
    if (it == body.end()) return fallback;
    if (!it->is_boolean()) throw BadRequest(name + ": expected true or false, got " + kind(*it));
    return it->get<bool>();
}

double numberField(const Json &body, const std::string &name, double low, double high, std::optional<double> fallback) {
    auto it = body.find(name);
    if (it == body.end()) {
        if (fallback) return *fallback;
        throw BadRequest(name + ": missing");
    }
    if (!it->is_number()) throw BadRequest(name + ": expected a number, got " + kind(*it));
    double value = it->get<double>();
    if (!(value >= low && value <= high))
        throw BadRequest(name + ": " + it->dump() + " is outside " + numberText(low) + ".." + numberText(high));
    return value;
}

std::string valueText(const Json &body, const std::string &name) {
    auto it = body.find(name);
    if (it == body.end()) throw BadRequest(name + ": missing");
    if (it->is_string()) {
        std::string text = it->get<std::string>();
        if (text.size() > 64) throw BadRequest(name + ": longer than 64 characters");
        // The library takes C strings: a NUL would cut the value short unseen.
        if (text.find('\0') != std::string::npos) throw BadRequest(name + ": holds a NUL character");
        return text;
    }
    if (it->is_number_integer()) return it->dump();
    throw BadRequest(name + ": expected a whole number or a text, got " + kind(*it));
}

bool wholeNumber(const std::string &text, long long &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return *end == 0 && errno == 0;
}

long long integerParameter(const std::string &text, bool present, const std::string &name, long long low,
                           long long high, long long fallback) {
    if (!present) return fallback;
    long long value = 0;
    if (!wholeNumber(text, value)) throw BadRequest(name + ": \"" + text + "\" is not a whole number");
    if (value < low || value > high) throw BadRequest(name + ": " + text + " is outside " + range(low, high));
    return value;
}

} // namespace qolven_server
