#include "broker_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace publish_test {

namespace {

using Clock = std::chrono::steady_clock;

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

bool listening(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

pid_t spawn(const std::vector<std::string> &argv, const fs::path &out, const fs::path &err,
            const std::map<std::string, std::string> &env) {
    pid_t pid = fork();
    if (pid == 0) {
        for (const auto &e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> raw;
        for (const std::string &a : argv) raw.push_back(const_cast<char *>(a.c_str()));
        raw.push_back(nullptr);
        execv(raw[0], raw.data());
        _exit(127);
    }
    return pid;
}

} // namespace

Broker::Broker(fs::path dir, std::string config) : dir_(std::move(dir)), config_(std::move(config)), port_(freePort()) {
    fs::create_directories(dir_ / "data");
}

Broker::~Broker() { stop(); }

std::string Broker::url(bool tls) const { return (tls ? "mqtts://127.0.0.1:" : "mqtt://127.0.0.1:") + std::to_string(port_); }

void Broker::start() {
    std::ofstream conf(dir_ / "mosquitto.conf");
    conf << "user root\npersistence true\npersistence_location " << (dir_ / "data").string() << "/\n"
         << "max_queued_messages 100000\nlog_dest stderr\nlog_type error\nlog_type warning\n"
         << "per_listener_settings false\nlistener " << port_ << " 127.0.0.1\n"
         << (config_.empty() ? "allow_anonymous true\n" : config_);
    conf.close();
    pid_ = spawn({QOLVEN_MOSQUITTO, "-c", (dir_ / "mosquitto.conf").string()}, dir_ / "mosquitto.out",
                 dir_ / "mosquitto.err", {});
    for (int i = 0; i < 200 && !listening(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (!listening(port_)) throw std::runtime_error("mosquitto did not start: " + slurp(dir_ / "mosquitto.err"));
}

void Broker::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

Subscriber::Subscriber(const std::string &uri, const std::string &clientId, bool persistent)
    : persistent_(persistent) {
    std::string paho = uri;
    paho.replace(0, paho.find("://"), paho.compare(0, 6, "mqtts:") == 0 ? "ssl" : "tcp");
    MQTTClient_create(&client_, paho.c_str(), clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    MQTTClient_setCallbacks(client_, this, nullptr, arrived, nullptr);
    options_.cleansession = persistent ? 0 : 1;
    options_.keepAliveInterval = 5;
    options_.connectTimeout = 5;
}

Subscriber::~Subscriber() {
    if (connected()) MQTTClient_disconnect(client_, 500);
    MQTTClient_destroy(&client_);
}

void Subscriber::setTls(const std::string &caFile) {
    ca_ = caFile;
    ssl_.trustStore = ca_.c_str();
    ssl_.verify = 1;
    options_.ssl = &ssl_;
}

void Subscriber::setLogin(const std::string &user, const std::string &password) {
    user_ = user, password_ = password;
    options_.username = user_.c_str();
    options_.password = password_.c_str();
}

bool Subscriber::connect() { return MQTTClient_connect(client_, &options_) == MQTTCLIENT_SUCCESS; }

void Subscriber::subscribe(const std::string &filter) { MQTTClient_subscribe(client_, filter.c_str(), 1); }

void Subscriber::publish(const std::string &topic, const std::string &payload, bool retained) {
    MQTTClient_deliveryToken token;
    MQTTClient_publish(client_, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retained ? 1 : 0,
                       &token);
    MQTTClient_waitForCompletion(client_, token, 2000);
}

int Subscriber::arrived(void *context, char *topic, int length, MQTTClient_message *message) {
    auto *self = static_cast<Subscriber *>(context);
    Message m{length > 0 ? std::string(topic, length) : std::string(topic),
              std::string(static_cast<const char *>(message->payload), message->payloadlen), message->retained != 0};
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.push_back(std::move(m));
    }
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic);
    return 1;
}

std::vector<Message> Subscriber::messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<Message> Subscriber::on(const std::string &topicEnd) {
    std::vector<Message> picked;
    for (Message &m : messages())
        if (m.topic.size() >= topicEnd.size() && m.topic.compare(m.topic.size() - topicEnd.size(), topicEnd.size(), topicEnd) == 0)
            picked.push_back(std::move(m));
    return picked;
}

bool Subscriber::waitFor(const std::function<bool(const std::vector<Message> &)> &done, double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        if (done(messages())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done(messages());
}

Tool startTool(const fs::path &dir, const std::vector<std::string> &args, const std::map<std::string, std::string> &env) {
    static int runs = 0;
    Tool t;
    ++runs;
    t.out = dir / ("tool" + std::to_string(runs) + ".out");
    t.err = dir / ("tool" + std::to_string(runs) + ".err");
    std::vector<std::string> argv{QOLVEN_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> all{{"QOLVEN_SIM_STATE", (dir / "sim-state").string()},
                                           {"XDG_STATE_HOME", (dir / "xdg").string()}};
    for (const auto &e : env) all[e.first] = e.second;
    t.pid = spawn(argv, t.out, t.err, all);
    return t;
}

int waitTool(Tool &t, double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (waitpid(t.pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    t.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string slurp(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool shell(const std::string &command) { return std::system(command.c_str()) == 0; }

} // namespace publish_test
