// One board's connection to the broker, on the Eclipse Paho asynchronous
// client: a persistent session, QoS 1 messages kept in a folder until the
// broker has them, and a bounded number of fast-data blocks waiting.
#ifndef QOLVEN_PUBLISH_BROKER_LINK_H
#define QOLVEN_PUBLISH_BROKER_LINK_H

#include "publish.h"

#include <MQTTAsync.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace qolven_publish {

class BrokerLink {
public:
    struct Options {
        BrokerAddress broker;
        std::string clientId;
        std::string queueDir;      // the client library keeps the waiting messages below it
        int queueLimit = 3600;     // fast-data blocks waiting at most
        std::string willTopic, willPayload;
        std::string user, password;
        std::string caFile, certFile, keyFile;
        std::string commandTopic;  // "" subscribes to nothing
        int keepAliveSeconds = 10;
    };
    // Called on the client library's thread with a command's payload.
    using CommandHandler = std::function<void(const std::string &payload, bool retained)>;

    BrokerLink(Options options, Log &log, std::string name, CommandHandler onCommand);
    ~BrokerLink();
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;

    // Creates the client on its queue folder (SettingsError when it cannot)
    // and starts connecting.
    void open();
    // Connects again when the back-off has run out; called by the board's loop.
    void tick();
    enum class Sent { Ok, Full, Failed };
    // Fast data counts against the queue limit; the other messages have a
    // little room beyond it, so that states and events still go out.
    Sent publish(const std::string &topic, const std::string &payload, int qos, bool retained, bool fastData);
    bool connected() const { return connected_.load(); }
    // True once after each (re)connection: retained states are sent again then.
    bool takeConnected() { return fresh_.exchange(false); }
    // Messages the client library holds: waiting, or sent and not yet acknowledged.
    int waiting();
    // The fast-data blocks among them (those of this run).
    int fastWaiting() const { return fastWaiting_.load(); }
    uint64_t connections() const { return connections_.load(); }
    // Disconnects after sending what waits for at most `flushMs`; the rest stays in the folder.
    void close(int flushMs);

private:
    static void onLost(void *context, char *cause);
    static int onMessage(void *context, char *topic, int topicLength, MQTTAsync_message *message);
    static void onConnected(void *context, char *cause);
    static void onConnectFailure(void *context, MQTTAsync_failureData *data);
    void connect();

    Options options_;
    Log &log_;
    std::string name_;
    CommandHandler onCommand_;
    MQTTAsync client_ = nullptr;
    int lockFd_ = -1;
    MQTTAsync_willOptions will_ = MQTTAsync_willOptions_initializer;
    MQTTAsync_SSLOptions ssl_ = MQTTAsync_SSLOptions_initializer;
    MQTTAsync_connectOptions connectOptions_ = MQTTAsync_connectOptions_initializer;

    std::atomic<bool> connected_{false};
    std::atomic<bool> fresh_{false};
    std::atomic<bool> connecting_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> disconnected_{false};
    std::atomic<uint64_t> connections_{0};
    std::atomic<int> fastWaiting_{0};
    std::mutex mutex_;  // the back-off and what was last reported
    std::chrono::steady_clock::time_point nextAttempt_{};
    int backoffSeconds_ = 1;
    std::string lastFailure_;
};

} // namespace qolven_publish

#endif
