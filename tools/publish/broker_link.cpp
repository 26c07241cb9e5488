#include "broker_link.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace qolven_publish {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLongestBackoffSeconds = 32;
// Room beyond the fast-data limit for states, events and command results.
constexpr int kControlRoom = 256;
// QoS 1 messages sent and not yet acknowledged at once.
constexpr int kInFlight = 100;
// A command is a small JSON object; more is cut here and refused by the board's loop.
constexpr int kMostCommandBytes = 4097;

void makeFolders(const std::string &path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0700);
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw SettingsError("--queue-dir " + path + ": " + std::strerror(errno));
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw SettingsError("--queue-dir " + path + " is not a folder");
    if (access(path.c_str(), W_OK | X_OK) != 0)
        throw SettingsError("--queue-dir " + path + ": " + std::strerror(errno));
}

std::string connectFailure(const MQTTAsync_failureData *data) {
    if (!data) return "connection failed";
    // The broker's refusals of MQTT 3.1.1.
    switch (data->code) {
    case 1: return "the broker refused the protocol version";
    case 2: return "the broker refused the client identifier";
    case 3: return "the broker is unavailable";
    case 4: return "the broker refused the user name or password";
    case 5: return "the broker refused: not authorized";
    default: break;
    }
    std::string text = data->message ? data->message : "";
    const char *name = MQTTAsync_strerror(data->code);
    if (text.empty()) text = name ? name : "connection failed (code " + std::to_string(data->code) + ")";
    return text;
}

} // namespace

BrokerLink::BrokerLink(Options options, Log &log, std::string name, CommandHandler onCommand)
    : options_(std::move(options)), log_(log), name_(std::move(name)), onCommand_(std::move(onCommand)) {}

BrokerLink::~BrokerLink() {
    if (client_) MQTTAsync_destroy(&client_);
    if (lockFd_ >= 0) close(lockFd_);
}

void BrokerLink::open() {
    makeFolders(options_.queueDir);
    // Two publishers on one session would throw each other off the broker and share one queue.
    std::string lockPath = options_.queueDir + "/" + options_.clientId + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) throw SettingsError("--queue-dir: cannot create " + lockPath + ": " + std::strerror(errno));
    if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0)
        throw SettingsError(name_ + ": another qolven publish sends this board with the queue folder " +
                            options_.queueDir);

    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    create.struct_version = 2;  // the library refuses 3 (persistQoS0)
    create.sendWhileDisconnected = 1;
    create.allowDisconnectedSendAtAnyTime = 1;
    create.maxBufferedMessages = options_.queueLimit + kControlRoom;
    create.deleteOldestMessages = 0;  // the newest are refused, so that the publisher knows which
    create.restoreMessages = 1;       // what a previous run left in the folder goes out first
    create.MQTTVersion = MQTTVERSION_3_1_1;
    int rc = MQTTAsync_createWithOptions(&client_, options_.broker.clientUri().c_str(), options_.clientId.c_str(),
                                         MQTTCLIENT_PERSISTENCE_DEFAULT,
                                         const_cast<char *>(options_.queueDir.c_str()), &create);
    if (rc != MQTTASYNC_SUCCESS) {
        client_ = nullptr;
        const char *why = MQTTAsync_strerror(rc);
        throw SettingsError(name_ + ": the MQTT client cannot be created on " + options_.queueDir + ": " +
                            (why ? why : std::to_string(rc)));
    }
    MQTTAsync_setCallbacks(client_, this, onLost, onMessage, nullptr);

    MQTTAsync_connectOptions &c = connectOptions_;
    c.keepAliveInterval = options_.keepAliveSeconds;
    c.cleansession = 0;  // the broker keeps what it has not delivered across a restart of either side
    c.maxInflight = kInFlight;
    c.connectTimeout = 10;
    c.MQTTVersion = MQTTVERSION_3_1_1;
    c.automaticReconnect = 0;  // the back-off is the board loop's (tick)
    c.onSuccess = [](void *context, MQTTAsync_successData *) { onConnected(context, nullptr); };
    c.onFailure = onConnectFailure;
    c.context = this;
    will_.topicName = options_.willTopic.c_str();
    will_.message = options_.willPayload.c_str();
    will_.retained = 1;
    will_.qos = 1;
    c.will = &will_;
    if (!options_.user.empty()) c.username = options_.user.c_str();
    if (!options_.password.empty()) c.password = options_.password.c_str();
    if (options_.broker.tls) {
        if (!options_.caFile.empty()) ssl_.trustStore = options_.caFile.c_str();
        if (!options_.certFile.empty()) ssl_.keyStore = options_.certFile.c_str();
        if (!options_.keyFile.empty()) ssl_.privateKey = options_.keyFile.c_str();
        ssl_.enableServerCertAuth = 1;
        ssl_.verify = 1;  // the certificate must name the host
        ssl_.sslVersion = MQTT_SSL_VERSION_DEFAULT;  // the newest both sides speak; OpenSSL's floor holds
        c.ssl = &ssl_;
    }
    connect();
}

void BrokerLink::connect() {
    connecting_ = true;
    int rc = MQTTAsync_connect(client_, &connectOptions_);
    if (rc != MQTTASYNC_SUCCESS) {
        MQTTAsync_failureData data{};
        data.code = rc;
        onConnectFailure(this, &data);
    }
}

void BrokerLink::tick() {
    if (connected_ || connecting_ || closing_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (Clock::now() < nextAttempt_) return;
    }
    connect();
}

void BrokerLink::onConnected(void *context, char *) {
    auto *self = static_cast<BrokerLink *>(context);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->backoffSeconds_ = 1;
        self->lastFailure_.clear();
    }
    self->connected_ = true;
    self->connecting_ = false;
    ++self->connections_;
    self->fresh_ = true;
    self->log_.line(self->name_ + ": connected to " + self->options_.broker.text());
    // At most once: a command that waited on the broker while the publisher
    // was away would act on the board at a moment nobody chose.
    if (!self->options_.commandTopic.empty()) {
        MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
        MQTTAsync_subscribe(self->client_, self->options_.commandTopic.c_str(), 0, &response);
    }
}

void BrokerLink::onConnectFailure(void *context, MQTTAsync_failureData *data) {
    auto *self = static_cast<BrokerLink *>(context);
    std::string why = connectFailure(data);
    int wait;
    bool report;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        wait = self->backoffSeconds_;
        self->backoffSeconds_ = std::min(kLongestBackoffSeconds, self->backoffSeconds_ * 2);
        self->nextAttempt_ = Clock::now() + std::chrono::seconds(wait);
        report = why != self->lastFailure_;
        self->lastFailure_ = why;
    }
    self->connecting_ = false;
    if (report)
        self->log_.line(self->name_ + ": cannot connect to " + self->options_.broker.text() + ": " + why +
                        " (trying again with a growing pause, at most " + std::to_string(kLongestBackoffSeconds) +
                        " s; fast data waits in the queue)");
}

void BrokerLink::onLost(void *context, char *cause) {
    auto *self = static_cast<BrokerLink *>(context);
    self->connected_ = false;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->nextAttempt_ = Clock::now();
        self->lastFailure_.clear();
    }
    if (!self->closing_)
        self->log_.line(self->name_ + ": connection to the broker lost" + (cause ? std::string(": ") + cause : "") +
                        "; reconnecting");
}

int BrokerLink::onMessage(void *context, char *topic, int topicLength, MQTTAsync_message *message) {
    auto *self = static_cast<BrokerLink *>(context);
    std::string name = topicLength > 0 ? std::string(topic, topicLength) : std::string(topic);
    if (name == self->options_.commandTopic && self->onCommand_) {
        int length = std::min(message->payloadlen, kMostCommandBytes);
        self->onCommand_(std::string(static_cast<const char *>(message->payload), length), message->retained != 0);
    }
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

int BrokerLink::waiting() {
    MQTTAsync_token *tokens = nullptr;
    if (MQTTAsync_getPendingTokens(client_, &tokens) != MQTTASYNC_SUCCESS || !tokens) return 0;
    int n = 0;
    while (tokens[n] != -1) ++n;
    MQTTAsync_free(tokens);
    return n;
}

BrokerLink::Sent BrokerLink::publish(const std::string &topic, const std::string &payload, int qos, bool retained,
                                     bool fastData) {
    if (!client_) return Sent::Failed;
    if (fastData && fastWaiting_ >= options_.queueLimit) return Sent::Full;
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char *>(payload.data());
    m.payloadlen = static_cast<int>(payload.size());
    m.qos = qos;
    m.retained = retained ? 1 : 0;
    MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
    if (fastData) {
        // Counted out when the broker has it (or the client library gives it up).
        response.context = this;
        response.onSuccess = [](void *context, MQTTAsync_successData *) { --static_cast<BrokerLink *>(context)->fastWaiting_; };
        response.onFailure = [](void *context, MQTTAsync_failureData *) { --static_cast<BrokerLink *>(context)->fastWaiting_; };
        ++fastWaiting_;
    }
    int rc = MQTTAsync_sendMessage(client_, topic.c_str(), &m, &response);
    if (rc != MQTTASYNC_SUCCESS && fastData) --fastWaiting_;
    if (rc == MQTTASYNC_SUCCESS) return Sent::Ok;
    if (rc == MQTTASYNC_MAX_BUFFERED_MESSAGES) return Sent::Full;
    return Sent::Failed;
}

void BrokerLink::close(int flushMs) {
    if (!client_) return;
    closing_ = true;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(flushMs);
    while (connected_ && waiting() > 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (connected_) {
        MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
        options.timeout = 1000;
        options.context = &disconnected_;
        options.onSuccess = [](void *context, MQTTAsync_successData *) { *static_cast<std::atomic<bool> *>(context) = true; };
        options.onFailure = [](void *context, MQTTAsync_failureData *) { *static_cast<std::atomic<bool> *>(context) = true; };
        if (MQTTAsync_disconnect(client_, &options) == MQTTASYNC_SUCCESS) {
            const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(2000);
            while (!disconnected_ && Clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        connected_ = false;
    }
    MQTTAsync_destroy(&client_);
    client_ = nullptr;
}

} // namespace qolven_publish
