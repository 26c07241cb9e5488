// A mosquitto of the test's own (a free port, a temporary folder), a
// subscriber on it, and the qolven program run as a process.
#ifndef QOLVEN_TESTS_PUBLISH_BROKER_FIXTURE_H
#define QOLVEN_TESTS_PUBLISH_BROKER_FIXTURE_H

#include <MQTTClient.h>

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace publish_test {

namespace fs = std::filesystem;

class Broker {
public:
    // `config` is added to the listener's lines (TLS, passwords).
    Broker(fs::path dir, std::string config = "");
    ~Broker();
    void start();
    void stop();  // SIGTERM: mosquitto saves its sessions
    int port() const { return port_; }
    std::string url(bool tls = false) const;

private:
    fs::path dir_;
    std::string config_;
    int port_;
    pid_t pid_ = -1;
};

struct Message {
    std::string topic, payload;
    bool retained;
};

class Subscriber {
public:
    // A persistent session keeps its subscriptions and messages at the broker.
    Subscriber(const std::string &uri, const std::string &clientId, bool persistent);
    ~Subscriber();
    void setTls(const std::string &caFile);
    void setLogin(const std::string &user, const std::string &password);
    bool connect();
    void subscribe(const std::string &filter);
    void publish(const std::string &topic, const std::string &payload, bool retained = false);
    bool connected() const { return MQTTClient_isConnected(client_) != 0; }
    std::vector<Message> messages();
    std::vector<Message> on(const std::string &topicEnd);
    // Waits until `done` holds for the messages so far.
    bool waitFor(const std::function<bool(const std::vector<Message> &)> &done, double seconds);

private:
    static int arrived(void *context, char *topic, int length, MQTTClient_message *message);
    MQTTClient client_ = nullptr;
    MQTTClient_connectOptions options_ = MQTTClient_connectOptions_initializer;
    MQTTClient_SSLOptions ssl_ = MQTTClient_SSLOptions_initializer;
    std::string ca_, user_, password_;
    bool persistent_;
    std::mutex mutex_;
    std::vector<Message> messages_;
};

// The qolven program with `args`; stdout and stderr into files of `dir`.
struct Tool {
    pid_t pid = -1;
    fs::path out, err;
};
Tool startTool(const fs::path &dir, const std::vector<std::string> &args,
               const std::map<std::string, std::string> &env = {});
// Exit code (128+N after signal N); -1 when it did not end within `seconds`.
int waitTool(Tool &tool, double seconds);
std::string slurp(const fs::path &file);
// Runs a command line through /bin/sh; true on exit code 0.
bool shell(const std::string &command);

} // namespace publish_test

#endif
