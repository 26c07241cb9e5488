// `qolven publish` against a real mosquitto: what a subscriber receives from
// virtual boards, the last will, a broker restart and a full queue proved by
// sequence numbers, commands with the simulated bridge's write log, and TLS
// with a password.
#include <gtest/gtest.h>

#include "broker_fixture.h"
#include "payloads.h"
#include "publish.h"

#include <qolven.h>
#include <qolven_sim_c.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <thread>

namespace {

using namespace publish_test;
using qolven_publish::Json;

Json json(const Message &m) { return Json::parse(m.payload, nullptr, false); }

// The fast data of one board as a consumer checks it.
struct Received {
    int64_t samples = 0, duplicates = 0;
    // Samples the stream knew lost on the board's side (a late request on a
    // busy machine), announced in the block after them.
    int64_t boardLost = 0;
    struct Gap {
        int64_t first, last;  // sequence numbers missing
        int64_t lostAfter;    // of these, the board lost the last ones (the next block says so)
    };
    std::vector<Gap> gaps;  // any other
    // The boards of these tests carry a slow sine without noise (kSignal): the
    // counts of neighbouring samples lie close together, and a block garbled,
    // cut or put together out of order shows as a jump.
    bool countsFollowSequence() const { return pairs > 0 && jumps == 0; }
    int64_t pairs = 0, jumps = 0;
    bool channels = false;
};

// A sine of 100000 counts once a second, without noise: see countsFollowSequence().
constexpr const char *kSignal = ",offset=9000000,amplitude=100000,period=1,noise=0";

// The tests see each stream from its start: its first sample is number 0.
Received check(const std::vector<Message> &fast) {
    Received r;
    int64_t next = 0;

    for (const Message &m : fast) {
        qolven_publish::Block b;
        std::string why;
        EXPECT_TRUE(qolven_publish::decodeBlock(m.payload.data(), m.payload.size(), b, &why)) << why;
        if (b.nextSequence() <= next) {
            ++r.duplicates;  // QoS 1 sent it again after a reconnection
            continue;
        }
        if (b.firstSequence > next && b.lostBefore == b.firstSequence - next) {
            r.boardLost += b.lostBefore;
        }
        else if (b.firstSequence > next) {
            r.gaps.push_back({next, b.firstSequence - 1, b.lostBefore});
        }
        for (size_t i = 0; i < b.size(); ++i) {
            int64_t sequence = b.firstSequence + static_cast<int64_t>(i);
            if (sequence < next) continue;
            ++r.samples;
            if (i == 0) continue;
            ++r.pairs;
            // The sine's steepest step at 1000 samples/s is 2 pi 100000 / 1000, about 630 counts;
            // a multi-channel board's neighbours are a channel apart, a sample later.
            r.jumps += std::abs(int64_t(b.counts[i]) - int64_t(b.counts[i - 1])) > 1000;
        }
        r.channels = b.hasChannels;
        next = b.nextSequence();
    }
    return r;
}

std::vector<Json> jsonOn(Subscriber &s, const std::string &topicEnd) {
    std::vector<Json> list;
    for (const Message &m : s.on(topicEnd)) list.push_back(json(m));
    return list;
}

bool lastStateIs(Subscriber &s, const std::string &serial, const std::string &state) {
    std::vector<Json> states = jsonOn(s, serial + "/state");
    return !states.empty() && states.back()["state"] == state;
}

class PublishBroker : public ::testing::Test {
protected:
    fs::path dir;
    std::unique_ptr<Broker> broker;

    void SetUp() override {
        char pattern[] = "/tmp/qolven-publish-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        broker.reset();
        fs::remove_all(dir);
    }
    void startBroker(const std::string &config = "") {
        broker.reset(new Broker(dir / "broker", config));
        broker->start();
    }
    std::vector<std::string> publishArgs(const std::string &boards, std::vector<std::string> more) {
        std::vector<std::string> args{"--simulate", boards, "publish", "--broker", broker->url(), "--all",
                                      "--site", "t", "--queue-dir", (dir / "queue").string()};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
};

TEST_F(PublishBroker, TwoBoardsGiveIdentityReadingsAndEverySample) {
    startBroker();
    Subscriber sub(broker->url(), "watch", false);
    ASSERT_TRUE(sub.connect());
    sub.subscribe("qolven/v1/t/#");
    // The consumer of the documentation, beside the test's own subscriber.
    Tool consumer;
    const bool python = shell("/usr/bin/python3 -c 'import paho.mqtt.client' 2>/dev/null");
    if (python) {
        consumer.out = dir / "consumer.out";
        consumer.pid = fork();
        if (consumer.pid == 0) {
            freopen(consumer.out.c_str(), "w", stdout);
            execl("/usr/bin/python3", "python3", QOLVEN_CONSUMER, "--port", std::to_string(broker->port()).c_str(),
                  "--site", "t", "--quiet", "--seconds", "120", (char *)nullptr);
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // subscribed before the boards start
    }
    Tool tool = startTool(dir, publishArgs(std::string("type=2,serial=PUBA") + kSignal + ";type=9,serial=PUBB" + kSignal,
                                           {"--rate", "15", "--reading-interval", "200", "--seconds", "3"}));
    ASSERT_EQ(waitTool(tool, 60), 0) << slurp(tool.err);
    for (const std::string serial : {"PUBA", "PUBB"}) {
        SCOPED_TRACE(serial);
        ASSERT_TRUE(sub.waitFor([&](const std::vector<Message> &) { return lastStateIs(sub, serial, "offline"); }, 10));
        std::vector<Json> identity = jsonOn(sub, serial + "/identity");
        ASSERT_FALSE(identity.empty());
        EXPECT_EQ(identity.back()["serial"], serial);
        EXPECT_EQ(identity.back()["board_type"], serial == "PUBA" ? 2 : 9);
        EXPECT_EQ(identity.back()["rate_code"], 15);
        std::vector<Json> readings = jsonOn(sub, serial + "/reading");
        EXPECT_GE(readings.size(), 5u);
        for (const Json &r : readings) EXPECT_TRUE(r["count"].is_number_integer()) << r.dump();
        Json final = jsonOn(sub, serial + "/state").back();
        Received got = check(sub.on(serial + "/fast"));
        EXPECT_TRUE(got.gaps.empty());
        EXPECT_EQ(got.samples, final["samples"].get<int64_t>());
        EXPECT_EQ(got.boardLost, final["lost"].get<int64_t>()) << final.dump() << [&] { std::string t; for (const Json &e : jsonOn(sub, serial + "/event")) t += e.dump() + "\n"; return t; }();
        EXPECT_GT(got.samples, 1500);  // three seconds at 1000 per second, less the start and a busy machine's losses
        EXPECT_TRUE(got.countsFollowSequence()) << got.jumps << " jumps in " << got.pairs;
        EXPECT_EQ(got.channels, serial == "PUBB");
        EXPECT_NE(slurp(tool.out).find(serial + " blocks"), std::string::npos);
    }
    if (python) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the final states reach it too
        kill(consumer.pid, SIGINT);  // it prints its summary and ends
        ASSERT_EQ(waitTool(consumer, 30), 0) << slurp(consumer.out);
        std::string out = slurp(consumer.out);
        Json summary = Json::parse(out.substr(out.rfind("\n{") + 1), nullptr, false);
        for (const std::string serial : {"PUBA", "PUBB"}) {
            EXPECT_EQ(summary["samples"][serial], jsonOn(sub, serial + "/state").back()["samples"]) << out;
            EXPECT_TRUE(summary["gaps"][serial].empty());
            EXPECT_EQ(summary["states"][serial], "offline");
        }
    }
}

TEST_F(PublishBroker, LastWillMarksAKilledPublisherOffline) {
    startBroker();
    Tool tool = startTool(dir, publishArgs("type=2,serial=WILL1", {"--reading-interval", "0"}));
    Subscriber sub(broker->url(), "watch", false);
    ASSERT_TRUE(sub.connect());
    sub.subscribe("qolven/v1/t/#");
    ASSERT_TRUE(sub.waitFor([&](const std::vector<Message> &) { return !sub.on("WILL1/fast").empty(); }, 20));
    EXPECT_TRUE(lastStateIs(sub, "WILL1", "online"));
    kill(tool.pid, SIGKILL);
    waitTool(tool, 10);
    ASSERT_TRUE(sub.waitFor([&](const std::vector<Message> &) { return lastStateIs(sub, "WILL1", "offline"); }, 15));
    EXPECT_NE(jsonOn(sub, "WILL1/state").back()["reason"].get<std::string>().find("without a goodbye"),
              std::string::npos);
    // Retained: whoever subscribes later learns it too.
    Subscriber later(broker->url(), "later", false);
    ASSERT_TRUE(later.connect());
    later.subscribe("qolven/v1/t/WILL1/state");
    ASSERT_TRUE(later.waitFor([&](const std::vector<Message> &m) { return !m.empty(); }, 5));
    EXPECT_TRUE(later.messages()[0].retained);
    EXPECT_EQ(json(later.messages()[0])["state"], "offline");
}

TEST_F(PublishBroker, BrokerRestartLosesNothingAndKeepsTheOrder) {
    startBroker();
    Subscriber sub(broker->url(), "keeper", true);
    ASSERT_TRUE(sub.connect());
    sub.subscribe("qolven/v1/t/#");
    Tool tool = startTool(dir, publishArgs(std::string("type=2,serial=RST1") + kSignal, {"--rate", "15"}));
    ASSERT_TRUE(sub.waitFor([&](const std::vector<Message> &) { return check(sub.on("RST1/fast")).samples > 1500; }, 20));
    broker->stop();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    broker->start();
    for (int i = 0; i < 100 && !sub.connect(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(sub.connected());
    const int64_t before = check(sub.on("RST1/fast")).samples;
    // Fed again: the ten seconds queued, then live data.
    ASSERT_TRUE(sub.waitFor([&](const std::vector<Message> &) { return check(sub.on("RST1/fast")).samples > before + 12000; }, 60))
        << slurp(tool.err);
    kill(tool.pid, SIGINT);
    EXPECT_EQ(waitTool(tool, 30), 130);
    ASSERT_TRUE(sub.waitFor([&](const std::vector<Message> &) { return lastStateIs(sub, "RST1", "offline"); }, 15));
    Received got = check(sub.on("RST1/fast"));
    for (const auto &gap : got.gaps) ADD_FAILURE() << "samples " << gap.first << ".." << gap.last << " missing";
    EXPECT_TRUE(got.countsFollowSequence()) << got.jumps << " jumps in " << got.pairs;
    EXPECT_EQ(got.samples, jsonOn(sub, "RST1/state").back()["samples"].get<int64_t>());
    EXPECT_EQ(got.boardLost, jsonOn(sub, "RST1/state").back()["lost"].get<int64_t>());
    for (const Json &e : jsonOn(sub, "RST1/event")) EXPECT_NE(e["kind"], "queue-full");
    EXPECT_NE(slurp(tool.err).find("connection to the broker lost"), std::string::npos);
}

TEST_F(PublishBroker, FullQueueDropsTheNewestAndSaysWhichWereDropped) {
    startBroker();
    {
        Subscriber first(broker->url(), "keeper", true);  // a session the broker keeps
        ASSERT_TRUE(first.connect());
        first.subscribe("qolven/v1/t/#");
    }
    broker->stop();
    Tool tool = startTool(dir, publishArgs("type=2,serial=FULL1", {"--rate", "15", "--queue-limit", "3",
                                                                   "--reading-interval", "0"}));
    std::this_thread::sleep_for(std::chrono::seconds(6));
    broker->start();
    Subscriber sub(broker->url(), "keeper", true);
    for (int i = 0; i < 50 && !sub.connect(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto queueFull = [&](const std::vector<Message> &) {
        for (const Json &e : jsonOn(sub, "FULL1/event"))
            if (e["kind"] == "queue-full") return true;
        return false;
    };
    ASSERT_TRUE(sub.waitFor(queueFull, 40)) << slurp(tool.err);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(tool.pid, SIGINT);
    waitTool(tool, 30);
    ASSERT_TRUE(sub.waitFor([&](const std::vector<Message> &) { return lastStateIs(sub, "FULL1", "offline"); }, 15));
    Received got = check(sub.on("FULL1/fast"));
    Json event;
    for (const Json &e : jsonOn(sub, "FULL1/event"))
        if (e["kind"] == "queue-full") event = e;
    ASSERT_EQ(got.gaps.size(), 1u);
    const auto &gap = got.gaps[0];
    const int64_t first = event["first_sequence"], last = event["last_sequence"];
    EXPECT_EQ(gap.first + event["lost_before"].get<int64_t>(), first);
    EXPECT_EQ(gap.last - gap.lostAfter, last);
    EXPECT_EQ(event["samples"].get<int64_t>() + event["board_lost"].get<int64_t>(), last - first + 1);
    EXPECT_EQ(jsonOn(sub, "FULL1/state").back()["dropped_samples"], event["samples"]);
    EXPECT_NE(slurp(tool.err).find("the queue is full"), std::string::npos);
}

// ---- commands, in this process: the simulated bridge's write log is at hand

size_t writes(const char *serial) {
    size_t count = 0;
    EXPECT_EQ(qolven_sim_write_count(serial, &count, nullptr, 0), 0);
    return count;
}

// A parameter that board type 2 takes but the allow-list below leaves out.
std::string otherWritable() {
    for (int i = 0; i < qolven_parameter_count(); ++i)
        if (qolven_parameter_serves(i, 2, QOLVEN_PARAMETER_WRITABLE) &&
            !(qolven_parameter_flags(i) & QOLVEN_PARAMETER_INDEXED) &&
            std::string(qolven_parameter_name(i)) != "decimal-point")
            return qolven_parameter_name(i);
    return "";
}

// One above the highest decimal point the table takes.
std::string tooHigh() {
    int64_t low = 0, high = 0;
    qolven_parameter_range(qolven_parameter_find("decimal-point"), &low, &high);
    return std::to_string(high + 1);
}

// What the library says to that, from a board of its own.
std::string libraryRefusal() {
    qolven_device *d = qolven_create();
    EXPECT_EQ(qolven_open(d, "CMD2"), QOLVEN_OK);
    EXPECT_EQ(qolven_set_parameter(d, "decimal-point", 0, tooHigh().c_str()), QOLVEN_INVALID_ARGUMENT);
    std::string text = qolven_error_text(d);
    qolven_destroy(d);
    return text;
}

class PublishCommands : public PublishBroker {
protected:
    std::unique_ptr<Subscriber> sub;
    std::unique_ptr<qolven_publish::Log> log;
    std::unique_ptr<qolven_publish::Fleet> fleet;

    // `waiting`: a command left retained on the broker before the publisher subscribes.
    void start(bool commands, const std::string &waiting = "") {
        ASSERT_EQ(qolven_sim_use_state_file(nullptr, nullptr, 0), 0);
        ASSERT_EQ(qolven_sim_configure("type=2,serial=CMD1;type=2,serial=CMD2", nullptr, 0), 0);
        startBroker();
        sub.reset(new Subscriber(broker->url(), "commander", false));
        ASSERT_TRUE(sub->connect());
        if (!waiting.empty()) sub->publish("qolven/v1/lab/CMD1/command", waiting, true);
        sub->subscribe("qolven/v1/lab/CMD1/#");
        qolven_publish::Settings s;
        s.broker = qolven_publish::parseBrokerUrl(broker->url());
        s.site = "lab";
        s.serials = {"CMD1"};
        s.stream = false;
        s.readingIntervalMs = 0;
        s.commands = commands;
        if (commands) s.allowed = {"decimal-point"};
        s.queueDir = (dir / "queue").string();
        log.reset(new qolven_publish::Log(stderr));
        fleet.reset(new qolven_publish::Fleet(s, *log));
        fleet->start();
        ASSERT_TRUE(sub->waitFor([&](const std::vector<Message> &) { return lastStateIs(*sub, "CMD1", "online"); }, 15));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the command subscription
    }
    void TearDown() override {
        fleet.reset();
        sub.reset();
        PublishBroker::TearDown();
    }
    // The result of one command, and the bytes written to the board meanwhile.
    std::pair<Json, size_t> command(const std::string &payload, bool retained = false) {
        size_t results = sub->on("CMD1/command/result").size(), before = writes("CMD1");
        sub->publish("qolven/v1/lab/CMD1/command", payload, retained);
        bool came = sub->waitFor([&](const std::vector<Message> &) { return sub->on("CMD1/command/result").size() > results; }, 5);
        return {came ? json(sub->on("CMD1/command/result")[results]) : Json(), writes("CMD1") - before};
    }
};

TEST_F(PublishCommands, AllowedRunRefusedNeverReachTheBoard) {
    // A retained command would run again at every subscription: refused.
    start(true, R"({"id":"kept","action":"tare"})");
    ASSERT_TRUE(sub->waitFor([&](const std::vector<Message> &) { return !sub->on("CMD1/command/result").empty(); }, 5));
    Json kept = json(sub->on("CMD1/command/result")[0]);
    EXPECT_EQ(kept["id"], "kept");
    EXPECT_EQ(kept["ok"], false);
    EXPECT_NE(kept["error"].get<std::string>().find("retained"), std::string::npos);
    sub->publish("qolven/v1/lab/CMD1/command", "", true);  // an empty retained message removes it
    const std::string other = otherWritable();
    ASSERT_FALSE(other.empty());
    struct Case {
        std::string payload;
        bool retained, ok;
        std::string status, error;
    } cases[] = {
        {R"({"id":"a","action":"set","name":"decimal-point","value":"2"})", false, true, "", ""},
        {R"({"id":"b","action":"set","name":")" + other + R"(","value":"1"})", false, false, "refused", "allow-list"},
        {R"({"id":"c","action":"set","name":"decimal-point","value":")" + tooHigh() + R"("})", false, false, "QOLVEN_INVALID_ARGUMENT",
         libraryRefusal()},
        {R"({"id":"d","action":"set","name":"decimal-point","value":2.5})", false, false, "refused", "a text or an integer"},
        {R"({"id":"e","action":"launch"})", false, false, "refused", "unknown action"},
        {"not json", false, false, "refused", "JSON object"},
        {R"({"id":"g","action":"tare"})", false, true, "", ""},
        {R"({"id":"h","action":"clear-tare"})", false, true, "", ""},  // host-side: nothing to write
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.payload);
        auto [result, written] = command(c.payload, c.retained);
        ASSERT_FALSE(result.is_null()) << "no result";
        EXPECT_EQ(result["ok"], c.ok) << result.dump();
        if (c.ok) {
            EXPECT_EQ(written > 0, result["action"] != "clear-tare");
        } else {
            EXPECT_EQ(written, 0u) << "a refused command reached the board";
            EXPECT_EQ(result["status"], c.status);
            EXPECT_NE(result["error"].get<std::string>().find(c.error), std::string::npos) << result.dump();
        }
    }
    EXPECT_EQ(command(R"({"id":"r","action":"set","name":"decimal-point","value":3})").first["value"], "3");
    std::set<std::string> kinds;
    for (const Json &e : jsonOn(*sub, "CMD1/event")) kinds.insert(e["kind"]);
    EXPECT_EQ(kinds, (std::set<std::string>{"parameter-set", "tare", "tare-cleared"}));
    // Fast data on request, and off again.
    EXPECT_EQ(command(R"({"action":"stream-start","rate":15})").first["ok"], true);
    ASSERT_TRUE(sub->waitFor([&](const std::vector<Message> &) { return check(sub->on("CMD1/fast")).samples > 300; }, 10));
    EXPECT_EQ(command(R"({"action":"stream-stop"})").first["ok"], true);
    EXPECT_EQ(command(R"({"action":"stream-start","rate":16})").first["status"], "refused");
}

TEST_F(PublishCommands, OffByDefault) {
    start(false);
    const size_t before = writes("CMD1");
    sub->publish("qolven/v1/lab/CMD1/command", R"({"action":"tare"})");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(sub->on("CMD1/command/result").empty());
    EXPECT_EQ(writes("CMD1"), before);
}

// ---- TLS with a certificate made here, and a password

TEST_F(PublishBroker, TlsWithPassword) {
    const std::string d = dir.string(), openssl = QOLVEN_OPENSSL;
    auto ca = [&](const std::string &name) {
        return shell(openssl + " req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name + " -keyout " + d + "/" +
                     name + ".key -out " + d + "/" + name + ".pem 2>/dev/null");
    };
    ASSERT_TRUE(ca("test-ca") && ca("other-ca"));
    ASSERT_TRUE(shell(openssl + " req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout " + d + "/server.key -out " +
                      d + "/server.csr 2>/dev/null"));
    std::ofstream(dir / "san.ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    ASSERT_TRUE(shell(openssl + " x509 -req -in " + d + "/server.csr -CA " + d + "/test-ca.pem -CAkey " + d +
                      "/test-ca.key -CAcreateserial -days 2 -extfile " + d + "/san.ext -out " + d +
                      "/server.pem 2>/dev/null"));
    ASSERT_TRUE(shell(std::string(QOLVEN_MOSQUITTO_PASSWD) + " -b -c " + d + "/passwords rig s3cret-word"));
    std::ofstream(dir / "password") << "s3cret-word\n";
    std::ofstream(dir / "wrong") << "guess\n";
    startBroker("allow_anonymous false\npassword_file " + d + "/passwords\ncafile " + d + "/test-ca.pem\ncertfile " +
                d + "/server.pem\nkeyfile " + d + "/server.key\n");
    Subscriber sub(broker->url(true), "watch", false);
    sub.setTls(d + "/test-ca.pem");
    sub.setLogin("rig", "s3cret-word");
    ASSERT_TRUE(sub.connect());
    sub.subscribe("qolven/v1/t/#");
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        bool gets;
        std::string says;
    } cases[] = {
        {{"--ca-file", d + "/test-ca.pem", "--user", "rig"}, {{"QOLVEN_MQTT_PASSWORD", "s3cret-word"}}, true, "connected"},
        {{"--ca-file", d + "/test-ca.pem", "--user", "rig", "--password-file", d + "/password"}, {}, true, "connected"},
        {{"--ca-file", d + "/test-ca.pem", "--user", "rig", "--password-file", d + "/wrong"}, {}, false,
         "the broker refused"},
        {{"--ca-file", d + "/other-ca.pem", "--user", "rig", "--password-file", d + "/password"}, {}, false,
         "cannot connect"},
    };
    int run = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(run);
        std::string serial = "TLS" + std::to_string(++run);
        std::vector<std::string> args{"--simulate", "type=2,serial=" + serial, "publish", "--broker", broker->url(true),
                                      "--all", "--site", "t", "--queue-dir", d + "/queue", "--seconds", "3"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Tool tool = startTool(dir, args, c.env);
        EXPECT_EQ(waitTool(tool, 30), 0);
        std::string err = slurp(tool.err);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(err.find("s3cret"), std::string::npos) << "the password was printed";
        bool got = sub.waitFor([&](const std::vector<Message> &) { return !sub.on(serial + "/identity").empty(); },
                               c.gets ? 10 : 1);
        EXPECT_EQ(got, c.gets);
    }
}

} // namespace
