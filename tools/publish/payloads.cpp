#include "payloads.h"

#include "publish.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

namespace qolven_publish {

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the block is written as the memory holds it: a little-endian host is needed"
#endif

namespace {

template <typename T>
void put(std::string &out, size_t at, T value) {
    std::memcpy(&out[at], &value, sizeof value);
}

template <typename T>
T get(const unsigned char *p, size_t at) {
    T value;
    std::memcpy(&value, p + at, sizeof value);
    return value;
}

enum Flags : uint8_t { kChannels = 1, kLoads = 2, kTared = 4 };

} // namespace

Topics::Topics(const std::string &site, const std::string &serial)
    : root("qolven/v" + std::to_string(kTopicVersion) + "/" + site + "/" + topicLevel(serial) + "/") {}

void Block::clear() {
    times.clear();
    counts.clear();
    loads.clear();
    channels.clear();
    lostBefore = 0;
}

std::string encodeBlock(const Block &b) {
    const size_t n = b.counts.size();
    std::string out(kBlockHeader + n * (4 + 4 + (b.hasLoads ? 4 : 0) + (b.hasChannels ? 1 : 0)), '\0');
    out[0] = 'Q';
    out[1] = 'F';
    out[2] = static_cast<char>(kBlockVersion);
    out[3] = static_cast<char>((b.hasChannels ? kChannels : 0) | (b.hasLoads ? kLoads : 0) | (b.tared ? kTared : 0));
    put<uint16_t>(out, 4, static_cast<uint16_t>(n));
    out[6] = static_cast<char>(b.rateCode);
    put<int64_t>(out, 8, b.firstSequence);
    put<double>(out, 16, b.streamStart);
    const double first = n ? b.times[0] : b.firstTime;
    put<double>(out, 24, first);
    put<uint32_t>(out, 32, b.lostBefore);
    put<float>(out, 36, b.nominalRate);
    size_t at = kBlockHeader;
    for (size_t i = 0; i < n; ++i, at += 4) {
        // Times never go back, and a block spans seconds at most.
        double us = std::round((b.times[i] - first) * 1e6);
        put<uint32_t>(out, at, us <= 0 ? 0u : us >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(us));
    }
    for (size_t i = 0; i < n; ++i, at += 4) put<int32_t>(out, at, b.counts[i]);
    if (b.hasLoads)
        for (size_t i = 0; i < n; ++i, at += 4) put<float>(out, at, b.loads[i]);
    if (b.hasChannels)
        for (size_t i = 0; i < n; ++i, ++at) out[at] = static_cast<char>(b.channels[i]);
    return out;
}

bool decodeBlock(const void *data, size_t size, Block &b, std::string *why) {
    auto fail = [why](const std::string &text) {
        if (why) *why = text;
        return false;
    };
    const auto *p = static_cast<const unsigned char *>(data);
    if (size < kBlockHeader || p[0] != 'Q' || p[1] != 'F') return fail("not a fast-data block");
    if (p[2] != kBlockVersion) return fail("block version " + std::to_string(p[2]) + " is not known");
    const uint8_t flags = p[3];
    const size_t n = get<uint16_t>(p, 4);
    b = Block();
    b.hasChannels = flags & kChannels;
    b.hasLoads = flags & kLoads;
    b.tared = flags & kTared;
    const size_t expected = kBlockHeader + n * (8 + (b.hasLoads ? 4 : 0) + (b.hasChannels ? 1 : 0));
    if (size != expected)
        return fail("a block of " + std::to_string(n) + " samples has " + std::to_string(expected) + " bytes, not " +
                    std::to_string(size));
    b.rateCode = p[6];
    b.firstSequence = get<int64_t>(p, 8);
    b.streamStart = get<double>(p, 16);
    b.firstTime = get<double>(p, 24);
    b.lostBefore = get<uint32_t>(p, 32);
    b.nominalRate = get<float>(p, 36);
    size_t at = kBlockHeader;
    b.times.resize(n);
    b.counts.resize(n);
    for (size_t i = 0; i < n; ++i, at += 4) b.times[i] = b.firstTime + get<uint32_t>(p, at) * 1e-6;
    for (size_t i = 0; i < n; ++i, at += 4) b.counts[i] = get<int32_t>(p, at);
    if (b.hasLoads) {
        b.loads.resize(n);
        for (size_t i = 0; i < n; ++i, at += 4) b.loads[i] = get<float>(p, at);
    }
    if (b.hasChannels) b.channels.assign(p + at, p + at + n);
    return true;
}

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string isoTime(double utc) {
    std::time_t whole = static_cast<std::time_t>(std::floor(utc));
    int ms = static_cast<int>(std::floor((utc - std::floor(utc)) * 1000));
    std::tm parts{};
    gmtime_r(&whole, &parts);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, ms);
    return text;
}

} // namespace qolven_publish
