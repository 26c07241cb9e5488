#include <cstdio>
#include <ctime>

#include "recording/recorder.h"

namespace qolven_recording {

void Columns::dropFront(size_t n) {
    if (n == 0) return;
    if (n >= size()) return clear();
    sequence.erase(sequence.begin(), sequence.begin() + long(n));
    channel.erase(channel.begin(), channel.begin() + long(n));
    count.erase(count.begin(), count.begin() + long(n));
    time.erase(time.begin(), time.begin() + long(n));
    load.erase(load.begin(), load.begin() + long(n));
}

void Columns::clear() {
    sequence.clear();
    channel.clear();
    count.clear();
    time.clear();
    load.clear();
}

std::string isoUtc(double wallSeconds) {
    double whole = std::floor(wallSeconds);
    long micros = std::lround((wallSeconds - whole) * 1e6);
    if (micros >= 1000000) {
        whole += 1;
        micros -= 1000000;
    }
    time_t seconds = static_cast<time_t>(whole);
    struct tm utc {};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, micros);
    return text;
}

std::string rotatedPath(const std::string &path, int index) {
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
    char number[16];
    std::snprintf(number, sizeof number, "-%04d", index);
    return path.substr(0, dot) + number + path.substr(dot);
}

std::string groupName(const std::string &serial) {
    std::string name = serial;
    for (char &c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!plain) c = '_';
    }
    return name.empty() ? "_" : name;
}

const char *quantityName(int quantity) { return quantity == QOLVEN_RECORD_LOAD ? "load" : "count"; }

const char *edgeName(int edge) { return edge == QOLVEN_RECORD_FALLING ? "falling" : "rising"; }


std::string crossingText(const Crossing &c, const std::string &serial) {
    char level[64];
    std::snprintf(level, sizeof level, "%.15g", c.level);
    return std::string(edgeName(c.edge)) + " " + quantityName(c.quantity) + " " + level + " on " + serial;
}

} // namespace qolven_recording
