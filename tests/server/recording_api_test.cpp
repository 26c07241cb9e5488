// Recording through the JSON API of `qolven serve`: a recording started,
// marked, tared and stopped from the page lands in the server's folder with
// those events; the devices recorded answer "recording" meanwhile and serve
// again after; file names that would leave the folder are refused.
#include <gtest/gtest.h>

#include "qolven_sim.h"
#include "server.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>
#include <thread>

namespace {

namespace sim = qolven_sim;
namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char *kToken = "recording-token-0123456789";

class RecordingApi : public ::testing::Test {
protected:
    fs::path dir, before;
    std::unique_ptr<qolven_server::Server> server;
    std::unique_ptr<httplib::Client> client;

    void SetUp() override {
        char pattern[] = "/tmp/qolven-serve-record-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        before = fs::current_path();
        fs::current_path(dir);  // the server records into the folder it starts in
        sim::reset();
        for (const char *serial : {"REC1", "REC2"}) {
            sim::BoardConfig c;
            c.serial = serial;
            c.answerDelayUs = 0;
            sim::attach(c);
        }
        qolven_server::Options o;
        o.port = 0;
        o.token = kToken;
        o.version = "test";
        server = std::make_unique<qolven_server::Server>(o);
        server->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(30, 0);
    }
    void TearDown() override {
        client.reset();
        server.reset();
        fs::current_path(before);
        fs::remove_all(dir);
    }

    httplib::Headers auth() const { return {{"Authorization", std::string("Bearer ") + kToken}}; }
    std::pair<int, Json> get(const std::string &path) {
        auto r = client->Get(path.c_str(), auth());
        return {r ? r->status : 0, r ? Json::parse(r->body, nullptr, false) : Json()};
    }
    std::pair<int, Json> post(const std::string &path, const Json &body) {
        auto r = client->Post(path.c_str(), auth(), body.dump(), "application/json");
        return {r ? r->status : 0, r ? Json::parse(r->body, nullptr, false) : Json()};
    }
    Json waitForState(const std::string &state) {
        for (int i = 0; i < 200; ++i) {
            auto s = get("/api/recording?since=0");
            if (s.second.value("state", "") == state) return s.second;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return get("/api/recording?since=0").second;
    }
};

TEST_F(RecordingApi, ARecordingFromThePageLandsInTheServersFolder) {
    // A page watches REC1's live view all along: its stream is ended under it by the recording.
    std::atomic<int> liveEvents{0};
    std::atomic<bool> stopLive{false};
    std::thread live([&] {
        httplib::Client c("127.0.0.1", server->port());
        c.set_read_timeout(30, 0);
        c.Get("/api/devices/REC1/stream", auth(), [&](const char *data, size_t size) {
            for (std::string_view chunk(data, size); chunk.find("event: samples") != std::string_view::npos;
                 chunk.remove_prefix(chunk.find("event: samples") + 1))
                ++liveEvents;
            return !stopLive;
        });
    });
    for (int i = 0; i < 200 && liveEvents == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GT(liveEvents, 0);
    auto started = post("/api/recording", {{"file", "page.csv"}, {"rate", 13}, {"tare", true}});
    ASSERT_EQ(started.first, 200) << started.second.dump();
    EXPECT_EQ(started.second["file"], "page.csv");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(post("/api/recording/mark", {{"text", "valve open"}}).first, 200);
    EXPECT_EQ(post("/api/recording/tare", {{"serial", "REC2"}}).first, 200);

    auto busy = get("/api/devices/REC1/reading");
    EXPECT_EQ(busy.first, 409) << "the device is lent to the recorder";
    EXPECT_NE(busy.second.value("error", "").find("recording"), std::string::npos) << busy.second.dump();
    EXPECT_EQ(post("/api/recording", {{"file", "second.csv"}}).first, 409) << "one recording at a time";

    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(post("/api/recording/stop", Json::object()).first, 200);
    Json end = waitForState("finished");
    EXPECT_EQ(end["result"], "QOLVEN_OK") << end.dump();
    EXPECT_EQ(end["stopReason"], "stopped on request");
    std::vector<std::string> kinds;
    for (const Json &e : end["events"]) kinds.push_back(e["kind"]);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "tare"), 3) << "two before the start, one during";
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "mark"), 1);
    EXPECT_EQ(kinds.back(), "stop");
    auto later = get("/api/recording?since=" + std::to_string(end["nextEvent"].get<long long>()));
    EXPECT_TRUE(later.second["events"].empty()) << "events from an index on";

    std::ifstream in(dir / "page.csv");
    std::stringstream text;
    text << in.rdbuf();
    const std::string csv = text.str();
    EXPECT_NE(csv.find("serial=\"REC1\""), std::string::npos);
    EXPECT_NE(csv.find("serial=\"REC2\""), std::string::npos);
    EXPECT_NE(csv.find("application=\"qolven serve test\""), std::string::npos);
    EXPECT_NE(csv.find("text=\"valve open\""), std::string::npos);
    EXPECT_NE(csv.find("\nREC2,"), std::string::npos) << "rows of both devices";
    EXPECT_NE(csv.find("# end: complete=1"), std::string::npos);

    EXPECT_EQ(get("/api/devices/REC1/reading").first, 200) << "the device serves again";
    const int seen = liveEvents;
    for (int i = 0; i < 200 && liveEvents == seen; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GT(liveEvents, seen) << "the live view goes on after the recording";
    stopLive = true;
    live.join();
}

TEST_F(RecordingApi, NamesThatLeaveTheFolderAreRefused) {
    const Json bad[] = {
        Json::object(),
        {{"file", "../escape.h5"}},
        {{"file", "sub/dir.h5"}},
        {{"file", ".hidden.h5"}},
        {{"file", "notes.txt"}},
        {{"file", 5}},
        {{"file", "ok.h5"}, {"serials", {"NOPE"}}},
        {{"file", "ok.h5"}, {"rate", 16}},
        {{"file", "ok.h5"}, {"extra", 1}},
    };
    for (const Json &body : bad) {
        auto r = post("/api/recording", body);
        EXPECT_EQ(r.first, 400) << body.dump() << " " << r.second.dump();
    }
    EXPECT_TRUE(fs::is_empty(dir) || !fs::exists(dir / "ok.h5"));
    EXPECT_EQ(post("/api/recording/stop", Json::object()).first, 409) << "nothing to stop";
    EXPECT_EQ(get("/api/recording").second["state"], "idle");
}

} // namespace
