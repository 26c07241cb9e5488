// What travels on the topics: JSON for what people read, and the compact
// fast-data block (docs/mqtt.md describes both).
#ifndef QOLVEN_PUBLISH_PAYLOADS_H
#define QOLVEN_PUBLISH_PAYLOADS_H

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qolven_publish {

using Json = nlohmann::ordered_json;

// The version in the topics and in the payloads.
constexpr int kTopicVersion = 1;
constexpr int kBlockVersion = 1;
constexpr size_t kBlockHeader = 40;
// Samples one block holds at most.
constexpr size_t kBlockMostSamples = 4096;

// The topics of one board: qolven/v1/<site>/<serial>/...
struct Topics {
    std::string root;  // ends with '/'
    Topics(const std::string &site, const std::string &serial);
    std::string identity() const { return root + "identity"; }
    std::string state() const { return root + "state"; }
    std::string reading() const { return root + "reading"; }
    std::string fast() const { return root + "fast"; }
    std::string event() const { return root + "event"; }
    std::string command() const { return root + "command"; }
    std::string commandResult() const { return root + "command/result"; }
};

// Consecutive samples of one stream.
struct Block {
    double streamStart = 0;   // UTC seconds: which stream the sequence numbers count
    int64_t firstSequence = 0;
    double firstTime = 0;     // seconds since the stream start
    uint32_t lostBefore = 0;  // samples known lost right before the first
    int rateCode = 0;
    float nominalRate = 0;
    bool tared = false;
    bool hasChannels = false;
    bool hasLoads = false;
    std::vector<double> times;      // seconds since the stream start
    std::vector<int32_t> counts;
    std::vector<float> loads;       // with hasLoads
    std::vector<uint8_t> channels;  // with hasChannels

    size_t size() const { return counts.size(); }
    int64_t nextSequence() const { return firstSequence + static_cast<int64_t>(counts.size()); }
    void clear();
};

std::string encodeBlock(const Block &block);
// False with the reason when `data` is no block of a known version.
bool decodeBlock(const void *data, size_t size, Block &block, std::string *why);

// UTC seconds now.
double wallNow();
// "2024-05-01T12:00:00.123Z"
std::string isoTime(double utcSeconds);

} // namespace qolven_publish

#endif
