#include "acquisition/value_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace qolven_acquisition {

namespace {

// Shown back to the user: printable ASCII only, and not too long.
std::string quoted(const char *text) {
    std::string shown = "\"";
    size_t i = 0;
    for (; text[i] && i < 40; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        }
    }
    if (text[i]) shown += "...";
    return shown + "\"";
}

} // namespace

std::string rangeText(long long low, long long high) {
    if (low == 0 && high == 1) return "0|1";
    return std::to_string(low) + ".." + std::to_string(high);
}

bool parseInteger(const char *text, long long low, long long high, long long &value, std::string &why, bool *outside) {
    if (outside) *outside = false;
    if (!text) {
        why = "no value given";
        return false;
    }
    const char *p = text;
    const char *end = text + std::strlen(text);
    bool negative = *p == '-';
    if (negative) ++p;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    // from_chars takes neither a sign nor a prefix here, and no spaces.
    unsigned long long magnitude = 0;
    auto parsed = p < end ? std::from_chars(p, end, magnitude, base) : std::from_chars_result{p, std::errc::invalid_argument};
    if (parsed.ec == std::errc::result_out_of_range ||
        (parsed.ec == std::errc() && parsed.ptr == end && magnitude > (1ULL << 62))) {
        why = quoted(text) + " is outside " + rangeText(low, high);
        if (outside) *outside = true;
        return false;
    }
    if (parsed.ec != std::errc() || parsed.ptr != end) {
        why = quoted(text) + " is not a number (decimal, or hexadecimal with 0x)";
        return false;
    }
    long long number = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (number < low || number > high) {
        why = std::string(text) + " is outside " + rangeText(low, high);
        if (outside) *outside = true;
        return false;
    }
    value = number;
    return true;
}

bool parseBytes(const char *text, char separator, size_t count, int base, std::vector<unsigned char> &bytes,
                std::string &why) {
    bytes.clear();
    const char *p = text ? text : "";
    const char *end = p + std::strlen(p);
    bool ok = true;
    while (ok) {
        const char *stop = std::find(p, end, separator);
        std::string part(p, stop);
        long long number = 0;
        std::string ignored;
        if (base == 16) {
            unsigned value = 0;
            auto r = std::from_chars(part.data(), part.data() + part.size(), value, 16);
            ok = !part.empty() && part.size() <= 2 && r.ec == std::errc() && r.ptr == part.data() + part.size();
            number = value;
        } else {
            ok = parseInteger(part.c_str(), 0, 255, number, ignored);
        }
        if (ok) bytes.push_back(static_cast<unsigned char>(number));
        if (stop == end) break;
        p = stop + 1;
    }
    if (ok && bytes.size() == count) return true;
    why = quoted(text ? text : "") + " is not ";
    if (separator == ':')
        why += "a MAC address like 00:11:22:aa:bb:cc";
    else if (separator == '.')
        why += "an IP address like 192.168.1.10";
    else {
        std::string example;
        for (size_t i = 1; i <= count; ++i) example += (i > 1 ? std::string(1, separator) : "") + std::to_string(i);
        why += std::to_string(count) + " bytes 0..255 like " + example;
    }
    bytes.clear();
    return false;
}

std::string formatMac(const unsigned char *bytes) {
    char text[24];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2], bytes[3],
                  bytes[4], bytes[5]);
    return text;
}

std::string formatIp(const unsigned char *bytes) {
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

} // namespace qolven_acquisition
