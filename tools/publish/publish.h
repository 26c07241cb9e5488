// `qolven publish`: the boards of this machine on an MQTT broker, one thread
// and one broker connection per board, through the acquisition layer
// (qolven.h) only.
#ifndef QOLVEN_PUBLISH_H
#define QOLVEN_PUBLISH_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace qolven_publish {

// A setting that cannot work; nothing was sent anywhere.
struct SettingsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A board that could not be opened; `status` is the library's qolven_status.
struct StartFailure : std::runtime_error {
    int status;
    StartFailure(int code, const std::string &text) : std::runtime_error(text), status(code) {}
};

struct BrokerAddress {
    bool tls = false;
    std::string host;  // IPv6 without the brackets
    int port = 0;
    // The form the client library takes: "tcp://host:port" or "ssl://host:port".
    std::string clientUri() const;
    // The form a user writes: "mqtt://host:port" or "mqtts://host:port".
    std::string text() const;
};

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883).  Credentials in
// the address are refused: they would show in the process list.
BrokerAddress parseBrokerUrl(const std::string &url);

// One level of a topic from any bytes: letters, digits, '-', '_' and '.' stay,
// every other byte becomes %XX, so that '/', '+', '#' and control bytes never
// reach a topic.
std::string topicLevel(const std::string &text);
// A site name as the user gives it: 1..64 of letters, digits, '-', '_', '.'.
// "" when it is fine, else what is wrong.
std::string siteProblem(const std::string &site);

struct Settings {
    BrokerAddress broker;
    std::string site;                  // a topic level already
    std::vector<std::string> serials;  // empty: see `all`, else the only device attached
    bool all = false;
    int channel = 0;
    bool stream = true;
    int rateCode = -1;                 // -1: the board's own
    int readingIntervalMs = 1000;      // 0: no readings
    int blockIntervalMs = 100;
    std::string queueDir;
    int queueLimit = 3600;             // fast-data blocks waiting at most, per board
    bool commands = false;
    std::vector<std::string> allowed;  // parameter names that commands may set
    std::string user, password;
    std::string caFile, certFile, keyFile;
    bool loadLimits = false;
    double lowLimit = 0, highLimit = 0;
    int keepAliveSeconds = 10;
    // Besides Fleet::stop(): true once the publisher must end (a signal).
    std::function<bool()> stopSignal;
};

// Checks what can be checked before anything is opened: the allow-list
// against the library's parameter table, the TLS files, the queue folder.
void checkSettings(const Settings &settings);
// The password from a file (its first line) or from QOLVEN_MQTT_PASSWORD.
std::string readPasswordFile(const std::string &path);

// Lines for people on stderr, one whole line at a time from any thread.
class Log {
public:
    explicit Log(std::FILE *stream) : stream_(stream) {}
    void line(const std::string &text);

private:
    std::mutex mutex_;
    std::FILE *stream_;
};

// What one board did, for the summary at the end.
struct BoardSummary {
    std::string serial;
    uint64_t blocks = 0;         // fast-data blocks handed to the client library
    uint64_t samples = 0;        // samples in them
    uint64_t droppedBlocks = 0;  // refused by the full queue
    uint64_t droppedSamples = 0;
    uint64_t lost = 0;           // samples the stream knew lost on the board's side
    uint64_t readings = 0;
    uint64_t events = 0;
};

class BoardPublisher;

// Every board of the settings, each on its own thread.
class Fleet {
public:
    Fleet(Settings settings, Log &log);
    ~Fleet();
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

    // Opens and identifies every board (StartFailure when one fails: then
    // none runs), then starts their threads.
    void start();
    // Ends every board's loop: the gathered samples go out, the state
    // becomes "offline", each connection closes after at most `flushMs` of
    // sending what waits (what is left stays in the queue folder).
    void stop(int flushMs = 3000);
    std::vector<std::string> serials() const;
    std::vector<BoardSummary> summaries() const;
    const Settings &settings() const { return settings_; }

private:
    Settings settings_;
    Log &log_;
    std::vector<std::unique_ptr<BoardPublisher>> boards_;
};

} // namespace qolven_publish

#endif
