// The JSON API of `qolven serve` over HTTP, against virtual boards: every
// endpoint, refused requests (token, Host, Origin, bad input) with nothing
// sent to the board, and the live stream.
#include <gtest/gtest.h>

#include "qolven_sim.h"
#include "server.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace sim = qolven_sim;
using Json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

constexpr const char *kToken = "test-token-0123456789";
constexpr double kSignal = 8388608 + 4660;  // 0x801234

sim::BoardConfig board(const std::string &serial, int type) {
    sim::BoardConfig c;
    c.serial = serial;
    c.boardType = type;
    c.answerDelayUs = 0;
    c.resetDelayMs = 0;
    c.signalOffset = kSignal;
    c.signalAmplitude = 0;
    c.signalNoise = 0;
    return c;
}

struct Answer {
    int status = 0;
    Json body;
    std::string text;
};

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A TCP connection to the server, written and read by hand.
class Raw {
public:
    explicit Raw(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Raw() {
        if (fd_ >= 0) close(fd_);
    }
    Raw(const Raw &) = delete;
    Raw &operator=(const Raw &) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(const std::string &text) {
        return fd_ >= 0 && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // Reads what comes until the server closes the connection or `wait` has
    // passed; true when it closed.
    bool readUntilClosed(std::chrono::milliseconds wait) {
        auto until = Clock::now() + wait;
        while (fd_ >= 0 && Clock::now() < until) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buffer[65536];
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return true;
            received.append(buffer, static_cast<size_t>(n));
        }
        return false;
    }

    std::string received;

private:
    int fd_;
};

class Api : public ::testing::Test {
protected:
    std::unique_ptr<qolven_server::Server> server;
    std::unique_ptr<httplib::Client> client;

    void SetUp() override {
        sim::reset();
        sim::attach(board("SIM0002", 2));
        sim::attach(board("SIM0009", 9));
        sim::attach(board("SIM0005", 5));
        start(options());
    }
    void TearDown() override {
        client.reset();
        server.reset();
    }

    static qolven_server::Options options() {
        qolven_server::Options o;
        o.port = 0;
        o.token = kToken;
        o.simulation = [](const std::string &serial, double offset, double amplitude, double period, double noise) {
            return sim::set_signal(serial, offset, amplitude, period, noise);
        };
        o.simulationSignal = [](const std::string &serial, double &offset, double &amplitude, double &period,
                                double &noise) {
            return sim::get_signal(serial, offset, amplitude, period, noise);
        };
        return o;
    }

    void start(qolven_server::Options o) {
        client.reset();
        server.reset();
        server = std::make_unique<qolven_server::Server>(std::move(o));
        server->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(30, 0);
    }

    httplib::Headers auth(httplib::Headers extra = {}) const {
        extra.emplace("Authorization", std::string("Bearer ") + kToken);
        return extra;
    }

    static Answer answer(const httplib::Result &r) {
        Answer a;
        if (!r) return a;
        a.status = r->status;
        a.text = r->body;
        a.body = Json::parse(r->body, nullptr, false);
        return a;
    }
    Answer get(const std::string &path, httplib::Headers headers) { return answer(client->Get(path.c_str(), headers)); }
    Answer get(const std::string &path) { return get(path, auth()); }
    Answer send(const std::string &method, const std::string &path, const std::string &body,
                httplib::Headers headers) {
        if (method == "PUT") return answer(client->Put(path.c_str(), headers, body, "application/json"));
        return answer(client->Post(path.c_str(), headers, body, "application/json"));
    }
    Answer send(const std::string &method, const std::string &path, const Json &body) {
        return send(method, path, body.dump(), auth());
    }

    static void clearWire() {
        for (const char *s : {"SIM0002", "SIM0009", "SIM0005"}) sim::clear_writes(s);
    }

    // What a browser gets from the printed address: the page's session path and
    // its cookie ("qolven_session=..."), from the Set-Cookie header.
    struct PageSession {
        std::string path, cookie, setCookie;
    };
    PageSession openPage() {
        PageSession p;
        auto moved = client->Get((std::string("/?token=") + kToken).c_str());
        if (!moved || moved->status != 303) return p;
        std::string location = moved->get_header_value("Location");
        p.path = location.substr(0, location.find("/?"));
        auto page = client->Get(location.c_str());
        if (!page || page->status != 200) return p;
        p.setCookie = page->get_header_value("Set-Cookie");
        p.cookie = p.setCookie.substr(0, p.setCookie.find(';'));
        return p;
    }
    static size_t wire(const std::string &serial) { return sim::writes(serial).size(); }
};

// ---- who may ask

TEST_F(Api, RefusedCallersReachNoBoard) {
    const std::string port = std::to_string(server->port());
    const std::string bearer = std::string("Bearer ") + kToken;
    struct Case {
        const char *what;
        httplib::Headers headers;
        int status;
    } cases[] = {
        {"no token", {}, 401},
        {"wrong token", {{"Authorization", "Bearer nope"}}, 401},
        {"token as a prefix", {{"Authorization", bearer + "x"}}, 401},
        {"wrong cookie", {{"Cookie", "qolven_session=nope"}}, 401},
        {"the token as a cookie", {{"Cookie", std::string("qolven_session=") + kToken}}, 401},
        {"the token in a cookie of the port", {{"Cookie", "qolven_token_" + port + "=" + kToken}}, 401},
        {"foreign Host", {{"Authorization", bearer}, {"Host", "evil.example:" + port}}, 403},
        {"rebound Host", {{"Authorization", bearer}, {"Host", "127.0.0.1.evil.example:" + port}}, 403},
        {"loopback Host, other port", {{"Authorization", bearer}, {"Host", "127.0.0.1:1"}}, 403},
        {"foreign Origin", {{"Authorization", bearer}, {"Origin", "http://evil.example"}}, 403},
        {"null Origin", {{"Authorization", bearer}, {"Origin", "null"}}, 403},
        {"Origin of another port", {{"Authorization", bearer}, {"Origin", "http://127.0.0.1:1"}}, 403},
        {"https Origin", {{"Authorization", bearer}, {"Origin", "https://127.0.0.1:" + port}}, 403},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clearWire();
        Answer a = send("PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": 5})", c.headers);
        EXPECT_EQ(a.status, c.status);
        EXPECT_TRUE(a.body.contains("error")) << a.text;
        Answer r = answer(client->Post("/api/devices/SIM0005/keys/tare", c.headers, "", "application/json"));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(wire("SIM0002"), 0u);
        EXPECT_EQ(wire("SIM0005"), 0u);
        EXPECT_TRUE(sim::key_presses("SIM0005").empty());
    }
    EXPECT_EQ(sim::eeprom("SIM0002", 114) & 0xFF, 0) << "decimal point unchanged";
}

TEST_F(Api, AcceptedCallers) {
    const std::string port = std::to_string(server->port());
    PageSession page = openPage();
    ASSERT_FALSE(page.cookie.empty());
    struct Case {
        const char *what;
        std::string path;
        httplib::Headers headers;
    } cases[] = {
        {"bearer token", "/api", {{"Authorization", std::string("Bearer ") + kToken}}},
        {"token in the address", std::string("/api?token=") + kToken, {}},
        {"token, percent-encoded", std::string("/api?token=test%2Dtoken-0123456789"), {}},
        {"the page's cookie below its path", page.path + "/api", {{"Cookie", "a=b; " + page.cookie + "; c=d"}}},
        {"bearer token below the page's path", page.path + "/api", {{"Authorization", std::string("Bearer ") + kToken}}},
        {"localhost Host and same Origin",
         "/api",
         {{"Authorization", std::string("Bearer ") + kToken},
          {"Host", "localhost:" + port},
          {"Origin", "http://localhost:" + port}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Answer a = get(c.path, c.headers);
        EXPECT_EQ(a.status, 200) << a.text;
        EXPECT_EQ(a.body["devices"], Json({"SIM0002", "SIM0009", "SIM0005"})) << "in the order attached";
    }
}

// Browsers send a cookie to every port of a host: the page's cookie is its
// session's secret, and goes only below a path of that session.
TEST_F(Api, PageKeepsItsSessionBelowItsOwnPath) {
    auto moved = client->Get((std::string("/?token=") + kToken).c_str());
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->status, 303);
    EXPECT_EQ(moved->get_header_value("Set-Cookie"), "") << "no cookie on the way";
    PageSession page = openPage();
    ASSERT_EQ(page.path.size(), 35u) << page.path;
    EXPECT_EQ(moved->get_header_value("Location"), page.path + "/?token=" + kToken);
    EXPECT_EQ(page.setCookie, page.cookie + "; Path=" + page.path + "/; HttpOnly; SameSite=Strict");
    EXPECT_EQ(page.cookie.rfind("qolven_session=", 0), 0u);
    EXPECT_EQ(page.setCookie.find(kToken), std::string::npos) << "the token itself is never stored";
    auto html = client->Get((page.path + "/").c_str(), httplib::Headers{{"Cookie", page.cookie}});
    ASSERT_TRUE(html);
    EXPECT_EQ(html->status, 200);
    EXPECT_NE(html->body.find("<script src=\"app.js\">"), std::string::npos) << "addresses relative to the session";
    EXPECT_NE(html->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
    for (const char *asset : {"/", "/app.js", "/app.css", "/vendor/uPlot.iife.min.js", "/vendor/uPlot.min.css"}) {
        SCOPED_TRACE(asset);
        std::string path = page.path + asset;
        auto refused = client->Get(path.c_str());
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 401);
        auto served = client->Get(path.c_str(), httplib::Headers{{"Cookie", page.cookie}});
        ASSERT_TRUE(served);
        EXPECT_EQ(served->status, 200);
        EXPECT_GT(served->body.size(), 100u);
    }
    // Another server's session path is not this one's.
    auto elsewhere = client->Get("/s/0123456789abcdef0123456789abcdef/api", httplib::Headers{{"Cookie", page.cookie}});
    ASSERT_TRUE(elsewhere);
    EXPECT_EQ(elsewhere->status, 404);
}

TEST(ApiStart, NothingIsAnsweredBeforeServing) {
    sim::reset();
    sim::attach(board("SIM0002", 2));
    qolven_server::Options o;
    o.port = 0;
    o.token = kToken;
    qolven_server::Server s(o);
    s.prepare();
    ASSERT_GT(s.port(), 0);
    EXPECT_EQ(s.url(), "http://127.0.0.1:" + std::to_string(s.port()) + "/?token=" + kToken);
    Raw early(s.port());
    ASSERT_TRUE(early.connected()) << "the port is taken";
    early.send(std::string("GET /api HTTP/1.1\r\nHost: 127.0.0.1:") + std::to_string(s.port()) +
               "\r\nAuthorization: Bearer " + kToken + "\r\nConnection: close\r\n\r\n");
    EXPECT_FALSE(early.readUntilClosed(std::chrono::milliseconds(500)));
    EXPECT_EQ(early.received, "") << "nothing answered while only prepared";
    s.serve();
    EXPECT_TRUE(early.readUntilClosed(std::chrono::seconds(10)));
    EXPECT_EQ(early.received.rfind("HTTP/1.1 200", 0), 0u) << early.received;
}

TEST_F(Api, APersonWithoutTheTokenReadsWhatToDo) {
    // A reload after a restart with a new token: a page that says what to do, not JSON.
    auto page = client->Get("/", httplib::Headers{{"Accept", "text/html,application/xhtml+xml,*/*;q=0.8"},
                                                  {"Cookie", "qolven_token_" + std::to_string(server->port()) + "=old"}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 401);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html");
    EXPECT_NE(page->body.find("needs its token"), std::string::npos) << page->body;
    EXPECT_NE(page->body.find("?token="), std::string::npos);
    // Programs keep getting JSON.
    Answer api = get("/api", httplib::Headers{{"Accept", "application/json"}});
    EXPECT_EQ(api.status, 401);
    EXPECT_TRUE(api.body.contains("error")) << api.text;
}

// What a client sent byte for byte, and what came back within `wait`.
std::string rawExchange(int port, const std::string &request, std::chrono::milliseconds wait) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 &&
        send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) answer.assign(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

TEST_F(Api, ARequestWithoutABodyIsAnsweredAtOnce) {
    // No Content-Length, no body: an empty body, which these endpoints take as {}.
    const std::string port = std::to_string(server->port());
    for (const char *what : {"POST /api/devices/SIM0005/keys/tare", "POST /api/devices/SIM0002/reset",
                             "DELETE /api/devices/SIM0002/tare"}) {
        SCOPED_TRACE(what);
        std::string answer = rawExchange(server->port(),
                                         std::string(what) + " HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                             "\r\nAuthorization: Bearer " + kToken + "\r\n\r\n",
                                         std::chrono::milliseconds(3000));
        EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    }
    EXPECT_EQ(sim::key_presses("SIM0005"), std::vector<int>({0x61}));
}

TEST(ApiStart, RefusesUnsafeOrImpossibleStarts) {
    sim::reset();
    sim::attach(board("SIM0002", 2));
    struct Case {
        const char *what;
        std::string bind, token;
        std::vector<std::string> serials;
        const char *message;
    } cases[] = {
        {"network address without a token", "0.0.0.0", "", {}, "give a token"},
        {"network address, short token", "0.0.0.0", "secret", {}, "--token: is 6 characters long"},
        {"network address, repetitive token", "0.0.0.0", "abcabcabcabcabcabc", {}, "only 3 different characters"},
        {"line break in the token", "127.0.0.1", "t\r\nX-Evil: 1", {}, "--token: holds byte 0x0d"},
        {"line break in the address", "127.0.0.1\n", kToken, {}, "--bind: the address holds a control byte"},
        {"not an address of this machine", "192.0.2.1", kToken, {}, "cannot listen on 192.0.2.1"},
        {"not an address at all", "not-an-address", kToken, {}, "cannot listen"},
        {"device not attached", "127.0.0.1", "t", {"NOPE"}, "no device with serial number \"NOPE\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qolven_server::Options o;
        o.port = 0;
        o.bind = c.bind;
        o.token = c.token;
        o.serials = c.serials;
        qolven_server::Server s(o);
        try {
            s.start();
            ADD_FAILURE() << "started";
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    // A loopback server needs no token; a port in use is named.
    qolven_server::Options open;
    open.port = 0;
    qolven_server::Server first(open);
    EXPECT_NO_THROW(first.start());
    EXPECT_EQ(first.url(), "http://127.0.0.1:" + std::to_string(first.port()) + "/");
    qolven_server::Options same = open;
    same.port = first.port();
    same.token = "t";
    qolven_server::Server second(same);
    try {
        second.start();
        ADD_FAILURE() << "two servers on one port";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("cannot listen on 127.0.0.1 port " + std::to_string(first.port())),
                  std::string::npos)
            << e.what();
    }
}

// ---- bad input: a clear answer, nothing sent

TEST_F(Api, BadInputIsRefusedBeforeTheBoard) {
    struct Case {
        const char *method;
        std::string path, body;
        int status;
        const char *error;
    } cases[] = {
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", "{not json", 400, "body: not valid JSON"},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", "[3]", 400, "expected a JSON object, got a list"},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", "{}", 400, "value: missing"},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": true})", 400,
         "value: expected a whole number or a text, got true or false"},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": 2.5})", 400, "got a fraction"},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": "abc"})", 400,
         "decimal-point: value \"abc\" is not a number"},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": 3, "colour": 1})", 400,
         "unknown field \"colour\""},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": 3, "channel": 4})", 400,
         "channel: 4 is outside 0..3"},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": 3, "channel": "1"})", 400,
         "channel: expected a whole number, got a text"},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": 99999999999999999999})", 400,
         "got a number out of range"},
        // The library's parameter table checks every value before anything is written.
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": 256})", 400,
         "Invalid Decimal Point (decimal-point: value 256 is outside 0..255)"},
        {"PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": -1})", 400,
         "Invalid Decimal Point (decimal-point: value -1 is outside 0..255)"},
        {"PUT", "/api/devices/SIM0002/settings/unit-code", R"({"value": "300"})", 400,
         "Invalid Unit Code (unit-code: value 300 is outside 0..255)"},
        {"PUT", "/api/devices/SIM0002/settings/load-of-loading-point", R"({"value": 65536, "point": 1})", 400,
         "Invalid Load Value (load-of-loading-point: value 65536 is outside 0..65535)"},

        {"PUT", "/api/devices/SIM0002/settings/dest-ip", R"({"value": "1.2.3"})", 400, "is not an IP address"},
        {"PUT", "/api/devices/SIM0002/settings/no-such-setting", R"({"value": 1})", 404, "unknown setting"},
        {"PUT", "/api/devices/SIM0002/settings/shunt-resistor", R"({"value": 1})", 405, "cannot be written"},
        {"PUT", "/api/devices/NOPE/settings/decimal-point", R"({"value": 1})", 404,
         "no device with serial number \"NOPE\""},
        {"GET", "/api/devices/NOPE", "", 404, "no device with serial number"},
        {"GET", "/api/devices/NOPE/stream", "", 404, "no device with serial number"},
        {"GET", "/api/devices/SIM0002/reading?channel=x", "", 400, "channel: \"x\" is not a whole number"},
        // An indexed setting names its point: an empty capture once overwrote a calibration's zero point.
        {"PUT", "/api/devices/SIM0002/settings/loading-point", R"({"value": ""})", 400,
         "point: missing; loading-point keeps one value per loading point"},
        {"PUT", "/api/devices/SIM0002/settings/load-of-loading-point", R"({"value": 5, "channel": 0})", 400,
         "point: missing"},
        {"GET", "/api/devices/SIM0002/settings/loading-point", "", 400, "point: missing"},
        {"GET", "/api/devices/SIM0002/settings/loading-point?point=x", "", 400, "point: \"x\" is not a whole number"},
        {"GET", "/api/devices/SIM0002/nothing-here", "", 404, "no such address"},
        {"POST", "/api/devices/SIM0002/average", R"({"samples": 0})", 400, "samples: 0 is outside 1..500"},
        {"POST", "/api/devices/SIM0002/backup", R"({"from": 256, "to": 1})", 400, "from: 256 is outside 0..255"},
        {"POST", "/api/devices/SIM0002/backup", R"({"from": "1", "to": 1})", 400, "from: expected a whole number"},
        {"POST", "/api/devices/SIM0002/restore", R"({"from": 1})", 400, "to: missing"},
        {"POST", "/api/devices/SIM0002/reset", R"({"hard": true})", 400, "unknown field \"hard\""},
        {"POST", "/api/devices/SIM0005/keys/jump", "", 404,
         "unknown key \"jump\" (enter, tare, display, reset, menu, unit, shunt, hold)"},
        {"PUT", "/api/devices/SIM0002/stream", R"({"rate": 16})", 400, "rate: 16 is outside 0..15"},
        {"PUT", "/api/devices/SIM0002/simulation", R"({"offset": "x"})", 400, "offset: expected a number"},
        {"PUT", "/api/devices/SIM0002/simulation", R"({"offset": 1e300})", 400,
         "offset: 1e+300 is outside -8388608..16777215"},
        {"PUT", "/api/devices/SIM0002/simulation", R"({"noise": -1})", 400, "noise: -1 is outside 0..1000000"},
        {"PUT", "/api/devices/SIM0002/simulation", R"({"noise": 0.5, "period": -0.25})", 400,
         "period: -0.25 is outside 0..3600"},
        {"PUT", "/api/devices/SIM0002/tare", R"({"count": "x"})", 400, "count: expected a whole number"},
        {"PUT", "/api/devices/SIM0002/tare", R"({"channel": 4})", 400, "channel: 4 is outside 0..3"},
        {"POST", "/api/devices/SIM0002/calibration", R"({"points": 3})", 400, "points: expected a list"},
        {"POST", "/api/devices/SIM0002/calibration", R"({"points": [{"count": 1, "load": 0}, {"count": "2", "load": 1}]})",
         400, "points[1].count: expected a whole number, got a text"},
        {"POST", "/api/devices/SIM0002/calibration", R"({"points": [{"count": 1, "load": 0}, {"count": 900, "load": 70000}]})",
         400, "points[1].load: 70000 is outside 0..65535"},
        {"POST", "/api/devices/SIM0002/calibration", R"({"points": [{"count": 1, "load": 0, "x": 1}]})", 400,
         "points[0]: unknown field \"x\""},
        {"POST", "/api/devices/SIM0002/calibration",
         R"({"points": [{"count": 1, "load": 0}, {"count": 9000, "load": 10}], "date": {"day": 1, "month": 13, "year": 24}})",
         400, "month: 13 is outside 1..12"},
        {"POST", "/api/devices/SIM0002/calibration", R"({"points": [{"count": 1000, "load": 0}]})", 422,
         "needs the zero point and at least one known load"},
        {"POST", "/api/devices/SIM0002/calibration",
         R"({"points": [{"count": 1000, "load": 0}, {"count": 1040, "load": 100}]})", 422,
         "span too small: point 1 is only 40 counts from point 0"},
        {"POST", "/api/devices/SIM0002/calibration",
         R"({"points": [{"count": 1000, "load": 0}, {"count": 5000, "load": 100}, {"count": 3000, "load": 200}]})",
         422, "not monotonic: the count must rise with the load, but point 2 reads 3000 after 5000"},
        {"POST", "/api/devices/SIM0002/calibration",
         R"({"points": [{"count": 1000, "load": 100}, {"count": 5000, "load": 100}]})", 422,
         "loads must increase from point to point"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body);
        clearWire();
        Answer a = c.method == std::string("GET") ? get(c.path) : send(c.method, c.path, c.body, auth());
        EXPECT_EQ(a.status, c.status) << a.text;
        ASSERT_TRUE(a.body.is_object()) << a.text;
        EXPECT_NE(a.body.value("error", "").find(c.error), std::string::npos) << a.text;
        EXPECT_EQ(wire("SIM0002"), 0u);
        EXPECT_EQ(wire("SIM0005"), 0u);
    }
}

TEST_F(Api, BodiesMustSayTheyAreJson) {
    struct Case {
        const char *type;
        int status;
    } cases[] = {
        {"application/json; charset=utf-8", 200},
        {"application/jsonfoo", 400},
        {"application/json; charset=iso-8859-1", 400},
        {"text/plain; application/json", 400},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        clearWire();
        auto r = client->Put("/api/devices/SIM0002/settings/decimal-point", auth(), R"({"value": 1})", c.type);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status) << r->body;
        if (c.status == 400) {
            EXPECT_NE(r->body.find("Content-Type"), std::string::npos) << r->body;
            EXPECT_EQ(wire("SIM0002"), 0u) << "nothing sent to the board";
        }
    }
}

TEST_F(Api, PointsBeyondTheBoardsTableAreRefusedAfterIdentifyingIt) {
    // Type 2 keeps 16 loading points, type 0 twenty: only the board's answer tells, and
    // reading and writing follow the same rule, the board type's.
    const std::string rule = "loading-point: point 99 is outside 0..15 of board type 2";
    struct Case {
        const char *method;
        std::string path;
        Json body;
    } cases[] = {
        {"PUT", "/api/devices/SIM0002/settings/loading-point", Json{{"value", 5}, {"point", 99}}},
        {"GET", "/api/devices/SIM0002/settings/loading-point?point=99", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        clearWire();
        Answer a = c.body.is_null() ? get(c.path) : send(c.method, c.path, c.body);
        EXPECT_EQ(a.status, 400) << a.text;
        EXPECT_EQ(a.body.value("error", ""), rule);
        EXPECT_EQ(a.body.value("code", ""), "QOLVEN_INVALID_ARGUMENT");
        for (const Bytes &frame : sim::writes("SIM0002")) {
            ASSERT_EQ(frame.size(), 4u);
            EXPECT_EQ(frame[2], 0x44) << "only the identification was sent";
        }
    }
    Answer sixteen = send("PUT", "/api/devices/SIM0002/settings/loading-point", Json{{"value", 5}, {"point", 16}});
    EXPECT_EQ(sixteen.body.value("error", ""), "loading-point: point 16 is outside 0..15 of board type 2");
    EXPECT_EQ(sim::eeprom("SIM0002", 66), 0xFFFF) << "nothing stored";
}

TEST_F(Api, HugeBodiesAreRefusedWhole) {
    clearWire();
    std::string huge = R"({"value": ")" + std::string(200000, '7') + "\"}";
    Answer a = send("PUT", "/api/devices/SIM0002/settings/decimal-point", huge, auth());
    EXPECT_EQ(a.status, 413) << a.text;
    // Plain text is what a page elsewhere can send without asking first.
    auto plain = client->Put("/api/devices/SIM0002/settings/decimal-point", auth(), R"({"value": 5})", "text/plain");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->status, 400);
    EXPECT_EQ(Json::parse(plain->body)["error"], "body: send it as Content-Type: application/json, not \"text/plain\"");
    std::string long_value = R"({"value": ")" + std::string(100, '7') + "\"}";
    Answer b = send("PUT", "/api/devices/SIM0002/settings/decimal-point", long_value, auth());
    EXPECT_EQ(b.status, 400);
    EXPECT_EQ(b.body["error"], "value: longer than 64 characters");
    // A NUL would cut the value short on its way to the library: "3\0" + "3" is not 3.
    Answer nul = send("PUT", "/api/devices/SIM0002/settings/decimal-point", R"({"value": "3\u00003"})", auth());
    EXPECT_EQ(nul.status, 400) << nul.text;
    EXPECT_EQ(nul.body["error"], "value: holds a NUL character");
    EXPECT_EQ(get("/api/devices/SIM0002/settings/decimal-point%00x").status, 404);
    EXPECT_EQ(wire("SIM0002"), 0u);
    // The server still answers.
    EXPECT_EQ(get("/api").status, 200);
}

// ---- the endpoints

TEST_F(Api, ListsAndIdentity) {
    EXPECT_EQ(get("/api/devices").body, Json::parse(R"([{"serial":"SIM0002"},{"serial":"SIM0009"},{"serial":"SIM0005"}])"));
    Answer settings = get("/api/settings");
    ASSERT_EQ(settings.status, 200);
    bool found = false;
    for (const Json &s : settings.body) {
        // Meanings are plain text: the page shows them as they are.
        EXPECT_EQ(s["meaning"].get<std::string>().find('`'), std::string::npos) << s["meaning"];
        EXPECT_EQ(s["meaning"].get<std::string>().find("write only"), std::string::npos) << s["meaning"];
    }
    for (const Json &s : settings.body)
        if (s["name"] == "decimal-point") {
            found = true;
            EXPECT_EQ(s["syntax"], "0..255");
            EXPECT_NE(std::find(s["writeTypes"].begin(), s["writeTypes"].end(), 2), s["writeTypes"].end());
            EXPECT_EQ(std::find(s["writeTypes"].begin(), s["writeTypes"].end(), 5), s["writeTypes"].end());
        }
    EXPECT_TRUE(found);

    struct Case {
        const char *serial;
        int type;
        const char *meaning;  // the start of the board-type table's text
    } cases[] = {{"SIM0002", 2, "amplifier or module"},
                 {"SIM0009", 9, "multi-channel board"},
                 {"SIM0005", 5, "handheld display"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.serial);
        Answer a = get(std::string("/api/devices/") + c.serial);
        ASSERT_EQ(a.status, 200) << a.text;
        EXPECT_EQ(a.body["serial"], c.serial);
        EXPECT_EQ(a.body["boardType"], c.type);
        EXPECT_EQ(a.body["meaning"].get<std::string>().rfind(c.meaning, 0), 0u) << a.body["meaning"];
        EXPECT_EQ(a.body["firmwareVersion"], 4);
        EXPECT_EQ(a.body["firmwareYear"], 11);
        EXPECT_EQ(a.body["firmwareMonth"], 1);
        EXPECT_EQ(a.body["answers"], true);
    }
    // What the page offers comes from the library's tables.
    Answer api = get("/api");
    ASSERT_EQ(api.body["rates"].size(), 16u);
    EXPECT_EQ(api.body["rates"][15], 1000.0);
    EXPECT_EQ(api.body["keys"][1], Json({{"name", "tare"}, {"alias", "up"}}));
    Answer display = get("/api/devices/SIM0005");
    EXPECT_EQ(display.body["class"], "display");
    EXPECT_NE(std::find(display.body["families"].begin(), display.body["families"].end(), "keys"),
              display.body["families"].end());
    EXPECT_EQ(get("/api/devices/SIM0009").body["class"], "multi-channel");

    // A board that stops answering is reported, not an error of the request.
    sim::set_board_silent("SIM0002", true);
    Answer silent = get("/api/devices/SIM0002");
    EXPECT_EQ(silent.status, 200);
    EXPECT_EQ(silent.body["answers"], false);
    EXPECT_FALSE(silent.body["error"].get<std::string>().empty());
}

TEST_F(Api, SettingWriteSendsOneRegisterWriteAndReadsBack) {
    clearWire();
    Answer a = send("PUT", "/api/devices/SIM0002/settings/decimal-point", Json{{"value", 3}});
    ASSERT_EQ(a.status, 200) << a.text;
    EXPECT_EQ(a.body["value"], "3");
    EXPECT_EQ(sim::eeprom("SIM0002", 114), 0xFF03);
    auto frames = sim::writes("SIM0002");
    ASSERT_GE(frames.size(), 2u);
    uint8_t n = frames[0][0];
    EXPECT_EQ(frames[0], (Bytes{n, 4, 0x44, 0xAA}));
    EXPECT_EQ(frames[1], (Bytes{static_cast<uint8_t>(n + 1), 7, 0x83, 114, 0xFF, 3, 0xAA}));
    EXPECT_EQ(get("/api/devices/SIM0002/settings/decimal-point").body["value"], "3");

    // Channel boards keep the value per channel; a text value is taken as the tool takes it.
    ASSERT_EQ(send("PUT", "/api/devices/SIM0009/settings/decimal-point", Json{{"value", "0x2"}, {"channel", 2}}).status,
              200);
    EXPECT_EQ(sim::channel_register("SIM0009", 2, 114), 2);
    EXPECT_EQ(get("/api/devices/SIM0009/settings/decimal-point?channel=2").body["value"], "2");
    EXPECT_EQ(get("/api/devices/SIM0009/settings/decimal-point?channel=1").body["value"], "0");

    // A board type the setting does not serve: the library's text.
    Answer refused = send("PUT", "/api/devices/SIM0005/settings/decimal-point", Json{{"value", 1}});
    EXPECT_EQ(refused.status, 422);
    EXPECT_EQ(refused.body["error"], "Invalid Type of Board");
}

TEST_F(Api, SettingsListFollowsTheBoardType) {
    sim::set_eeprom("SIM0002", 96, 0xFF02);  // two loading points
    Answer a = get("/api/devices/SIM0002/settings");
    ASSERT_EQ(a.status, 200) << a.text;
    EXPECT_EQ(a.body["boardType"], 2);
    std::map<std::string, Json> byName;
    for (const Json &s : a.body["settings"])
        byName[s["name"].get<std::string>() + (s.contains("point") ? "." + std::to_string(s["point"].get<int>()) : "")] = s;
    EXPECT_EQ(byName["decimal-point"]["value"], "0");
    EXPECT_EQ(byName["unit-code"]["value"], "34");
    EXPECT_TRUE(byName.count("loading-point.0") && byName.count("loading-point.1"));
    EXPECT_FALSE(byName.count("loading-point.2"));
    EXPECT_FALSE(byName.count("dest-ip")) << "network settings belong to type 13";
    EXPECT_EQ(byName["sensor-configuration"]["readable"], false);
    EXPECT_EQ(byName["sensor-configuration"]["value"], nullptr);

    Answer display = get("/api/devices/SIM0005/settings");
    ASSERT_EQ(display.status, 200);
    for (const Json &s : display.body["settings"]) EXPECT_NE(s["name"], "decimal-point");
}

// The calibration as the API gives it, for the acquisition layer's own arithmetic.
qolven_calibration calibrationOf(const Json &c) {
    qolven_calibration cal{};
    cal.source = c["source"] == "table" ? QOLVEN_LOAD_TABLE
                 : c["source"] == "offset-fullscale" ? QOLVEN_LOAD_OFFSET_FULLSCALE : QOLVEN_LOAD_NONE;
    cal.points = static_cast<int>(c["points"].size());
    for (int i = 0; i < cal.points; ++i) {
        cal.counts[i] = c["points"][i]["count"].get<int64_t>();
        cal.loads[i] = c["points"][i]["load"].get<int64_t>();
    }
    cal.decimal_point = c["decimalPoint"].is_null() ? -1 : c["decimalPoint"].get<int>();
    return cal;
}

TEST_F(Api, ReadingAndAveraging) {
    Answer r = get("/api/devices/SIM0002/reading");
    ASSERT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(r.body["count"], static_cast<long long>(kSignal));
    EXPECT_EQ(r.body["tared"], false);

    Answer avg = send("POST", "/api/devices/SIM0002/average", Json{{"samples", 5}});
    ASSERT_EQ(avg.status, 200) << avg.text;
    EXPECT_EQ(avg.body["samples"], 5);
    EXPECT_DOUBLE_EQ(avg.body["mean"].get<double>(), kSignal);
    EXPECT_DOUBLE_EQ(avg.body["stddev"].get<double>(), 0.0);
    EXPECT_EQ(avg.body["counts"].size(), 5u);
}

TEST_F(Api, TheLoadIsTheAcquisitionLayers) {
    auto check = [&](const char *what, const char *source) {
        SCOPED_TRACE(what);
        Answer c = get("/api/devices/SIM0002/calibration");
        ASSERT_EQ(c.status, 200) << c.text;
        EXPECT_EQ(c.body["source"], source);
        Answer r = get("/api/devices/SIM0002/reading");
        ASSERT_EQ(r.status, 200) << r.text;
        qolven_calibration cal = calibrationOf(c.body);
        double load = 0;
        ASSERT_EQ(qolven_calibration_load(&cal, r.body["count"].get<int64_t>(), &load), QOLVEN_OK);
        char text[64];
        ASSERT_EQ(qolven_format_load(&cal, load, text, sizeof text), QOLVEN_OK);
        EXPECT_EQ(r.body["calibrated"], true);
        EXPECT_DOUBLE_EQ(r.body["load"].get<double>(), load);
        EXPECT_EQ(r.body["loadText"], text);
        EXPECT_EQ(r.body["why"], "");
        EXPECT_EQ(r.body["decimalPoint"], c.body["decimalPoint"]);
        EXPECT_EQ(r.body["unit"], c.body["unit"]);
    };
    // As delivered: one point in use, the offset and full-scale pair gives the line.
    check("factory line", "offset-fullscale");

    // Calibrated: zero at the signal, 2.000 units 100000 counts above it, three decimals.
    ASSERT_EQ(send("PUT", "/api/devices/SIM0002/settings/decimal-point", Json{{"value", 3}}).status, 200);
    Json points = {{{"count", kSignal}, {"load", 0}}, {{"count", kSignal + 100000}, {"load", 2000}}};
    ASSERT_EQ(send("POST", "/api/devices/SIM0002/calibration", Json{{"points", points}}).status, 200);
    ASSERT_TRUE(sim::set_signal("SIM0002", kSignal + 25000, 0, 0, 0));
    check("loading points", "table");
    Answer loaded = get("/api/devices/SIM0002/reading");
    EXPECT_EQ(loaded.body["loadText"], "0.500");
    EXPECT_DOUBLE_EQ(loaded.body["load"].get<double>(), 0.5);
    EXPECT_EQ(loaded.body["decimalPoint"], 3);
    EXPECT_EQ(loaded.body["unit"], 34);

    // A decimal point written over a calibration moves every load, and the answer says so.
    Answer moved = send("PUT", "/api/devices/SIM0002/settings/decimal-point", Json{{"value", 2}});
    ASSERT_EQ(moved.status, 200) << moved.text;
    EXPECT_NE(moved.body.value("warning", "").find("now shows 2 decimal places"), std::string::npos) << moved.text;
    EXPECT_EQ(get("/api/devices/SIM0002/reading").body["loadText"], "5.00");

    // No load, and why: the acquisition layer's reasons.
    sim::set_eeprom("SIM0002", 6, 0xFFFF);  // loading point 1 erased
    sim::set_eeprom("SIM0002", 4, 0xFFFF);
    ASSERT_EQ(send("PUT", "/api/devices/SIM0002/settings/unit-code", Json{{"value", 34}}).status, 200);
    Answer none = get("/api/devices/SIM0002/reading");
    EXPECT_EQ(none.body["calibrated"], false);
    EXPECT_EQ(none.body["load"], nullptr);
    EXPECT_EQ(none.body["why"], "loading point 1 holds no count (Unassigned)");
    Answer display = get("/api/devices/SIM0005/reading");
    EXPECT_EQ(display.body["why"], "board type 5 keeps no calibration");
}

TEST_F(Api, CalibrationCheckWriteAndReadBack) {
    Json points = {{{"count", 8388608}, {"load", 0}},
                   {{"count", 8488608}, {"load", 1000}},
                   {{"count", 8588800}, {"load", 2000}}};
    clearWire();
    Answer check = send("POST", "/api/devices/SIM0002/calibration", Json{{"points", points}, {"check", true}});
    ASSERT_EQ(check.status, 200) << check.text;
    EXPECT_EQ(check.body["written"], false);
    EXPECT_NEAR(check.body["sensitivity"].get<double>(), 100.096, 1e-9);
    for (const auto &frame : sim::writes("SIM0002")) EXPECT_EQ(frame[2], 0x44) << "a check only identifies the board";

    Json date = {{"day", 24}, {"month", 12}, {"year", 26}};
    Answer written = send("POST", "/api/devices/SIM0002/calibration", Json{{"points", points}, {"date", date}});
    ASSERT_EQ(written.status, 200) << written.text;
    EXPECT_EQ(written.body["written"], true);
    EXPECT_EQ(written.body["stored"], 3);
    EXPECT_EQ(written.body["points"], points);
    // Entries (status, high | middle, low), loads and count where the board keeps them.
    EXPECT_EQ(sim::eeprom("SIM0002", 2), 0x0280);
    EXPECT_EQ(sim::eeprom("SIM0002", 0), 0x0000);
    EXPECT_EQ(sim::eeprom("SIM0002", 6), 0x0281);
    EXPECT_EQ(sim::eeprom("SIM0002", 4), 0x86A0);
    EXPECT_EQ(sim::eeprom("SIM0002", 66), 1000);
    EXPECT_EQ(sim::eeprom("SIM0002", 68), 2000);
    EXPECT_EQ(sim::eeprom("SIM0002", 96) & 0xFF, 3);
    EXPECT_EQ(sim::eeprom("SIM0002", 118) & 0xFF, 24);
    EXPECT_EQ(sim::eeprom("SIM0002", 120) & 0xFF, 12);
    EXPECT_EQ(sim::eeprom("SIM0002", 122) & 0xFF, 26);

    Answer table = get("/api/devices/SIM0002/calibration");
    ASSERT_EQ(table.status, 200) << table.text;
    EXPECT_EQ(table.body["points"], points);
    EXPECT_EQ(table.body["date"], date);

    // On a channel board the table is the channel's.
    ASSERT_EQ(send("POST", "/api/devices/SIM0009/calibration", Json{{"points", points}, {"channel", 1}}).status, 200);
    EXPECT_EQ(get("/api/devices/SIM0009/calibration?channel=1").body["points"], points);
    EXPECT_EQ(sim::channel_register("SIM0009", 1, 96), 3);
    EXPECT_NE(sim::channel_register("SIM0009", 0, 96), 3);

    // A display board keeps no table: no load and why, and no write gets through.
    Answer display = get("/api/devices/SIM0005/calibration");
    EXPECT_EQ(display.status, 200) << display.text;
    EXPECT_EQ(display.body["source"], "none");
    EXPECT_EQ(display.body["why"], "board type 5 keeps no calibration");
    sim::clear_writes("SIM0005");
    Answer refused = send("POST", "/api/devices/SIM0005/calibration", Json{{"points", points}});
    EXPECT_EQ(refused.status, 422) << refused.text;
    EXPECT_EQ(refused.body["error"].get<std::string>().rfind("count of loading point 0: ", 0), 0u) << refused.text;
    EXPECT_EQ(refused.body["stepsDone"], 0);
    for (const Bytes &frame : sim::writes("SIM0005")) EXPECT_EQ(frame[2], 0x44) << "only identified";
}

TEST_F(Api, MaintenanceBackupRestoreResetKeysDisplay) {
    // Single-channel boards keep one backup per page and take only the page number.
    sim::set_page("SIM0002", 3, Bytes(129, 0x33));
    clearWire();
    ASSERT_EQ(send("POST", "/api/devices/SIM0002/backup", Json{{"from", 3}, {"to", 4}}).status, 200);
    auto frames = sim::writes("SIM0002");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], (Bytes{static_cast<uint8_t>(frames[0][0] + 1), 5, 0x49, 3, 0xAA}));
    sim::set_page("SIM0002", 3, Bytes(129, 0x00));
    ASSERT_EQ(send("POST", "/api/devices/SIM0002/restore", Json{{"from", 3}, {"to", 3}}).status, 200);
    EXPECT_EQ(sim::page("SIM0002", 3), Bytes(129, 0x33));
    // Channel boards take both pages; the restore request names the destination first.
    sim::set_page("SIM0009", 2, Bytes(129, 0x22));
    ASSERT_EQ(send("POST", "/api/devices/SIM0009/backup", Json{{"from", 2}, {"to", 5}}).status, 200);
    sim::set_page("SIM0009", 2, Bytes(129, 0x00));
    clearWire();
    Answer restored = send("POST", "/api/devices/SIM0009/restore", Json{{"from", 5}, {"to", 2}});
    ASSERT_EQ(restored.status, 200) << restored.text;
    frames = sim::writes("SIM0009");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], (Bytes{static_cast<uint8_t>(frames[0][0] + 1), 6, 0x5A, 2, 5, 0xAA}));
    EXPECT_EQ(sim::page("SIM0009", 2), Bytes(129, 0x22));

    Answer reset = send("POST", "/api/devices/SIM0002/reset", Json::object());
    EXPECT_EQ(reset.status, 200) << reset.text;
    EXPECT_EQ(sim::reset_count("SIM0002"), 1);

    clearWire();
    Answer key = send("POST", "/api/devices/SIM0005/keys/up", "", auth());
    ASSERT_EQ(key.status, 200) << key.text;
    EXPECT_EQ(key.body["key"], "tare");
    frames = sim::writes("SIM0005");
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames.back(), (Bytes{frames.back()[0], 4, 0x61, 0xAA}));
    EXPECT_EQ(sim::key_presses("SIM0005"), std::vector<int>({0x61}));

    // A board without keys or display says so; nothing is pressed.
    clearWire();
    Answer refusedKey = send("POST", "/api/devices/SIM0002/keys/menu", "", auth());
    EXPECT_EQ(refusedKey.status, 422);
    EXPECT_EQ(refusedKey.body["error"].get<std::string>().rfind("key menu: board type 2 (", 0), 0u) << refusedKey.text;
    EXPECT_EQ(refusedKey.body["code"], "QOLVEN_BOARD_TYPE");
    for (const Bytes &frame : sim::writes("SIM0002")) EXPECT_EQ(frame[2], 0x44) << "only identified";
    Answer noDisplay = get("/api/devices/SIM0002/display");
    EXPECT_EQ(noDisplay.status, 422) << noDisplay.text;
    EXPECT_NE(noDisplay.body.value("error", "").find("has no display"), std::string::npos) << noDisplay.text;

    sim::set_display_page("SIM0005", std::string("LINE ONE").append(8, ' ') + std::string(48, 'x'));
    Answer display = get("/api/devices/SIM0005/display");
    ASSERT_EQ(display.status, 200) << display.text;
    ASSERT_EQ(display.body["lines"].size(), 4u);
    EXPECT_EQ(display.body["lines"][0].get<std::string>().substr(0, 8), "LINE ONE");
}

TEST_F(Api, SimulationControlOnlyForVirtualBoards) {
    Answer a = send("PUT", "/api/devices/SIM0002/simulation", Json{{"offset", 1234}, {"noise", 0}});
    ASSERT_EQ(a.status, 200) << a.text;
    EXPECT_EQ(sim::config("SIM0002").signalOffset, 1234);
    EXPECT_EQ(get("/api/devices/SIM0002/reading").body["count"], 1234);
    // The signal in use, and a change of one part of it that keeps the others.
    ASSERT_TRUE(sim::set_signal("SIM0002", 5000, 300, 4, 0));
    EXPECT_EQ(get("/api/devices/SIM0002/simulation").body,
              Json({{"offset", 5000.0}, {"amplitude", 300.0}, {"period", 4.0}, {"noise", 0.0}}));
    Answer partial = send("PUT", "/api/devices/SIM0002/simulation", Json{{"noise", 7}});
    ASSERT_EQ(partial.status, 200) << partial.text;
    EXPECT_EQ(sim::config("SIM0002").signalOffset, 5000);
    EXPECT_EQ(sim::config("SIM0002").signalAmplitude, 300);
    EXPECT_EQ(sim::config("SIM0002").signalNoise, 7);
    ASSERT_TRUE(sim::set_signal("SIM0002", 1234, 0, 0, 0));

    qolven_server::Options real = options();
    real.simulation = nullptr;
    start(real);
    Answer refused = send("PUT", "/api/devices/SIM0002/simulation", Json{{"offset", 99}});
    EXPECT_EQ(refused.status, 404);
    EXPECT_EQ(refused.body["error"], "the devices are not simulated (start with --simulate)");
    EXPECT_EQ(sim::config("SIM0002").signalOffset, 1234);
    EXPECT_EQ(get("/api").body["simulated"], false);
}

// ---- live stream

struct EventReader {
    std::string buffer;
    std::vector<std::pair<std::string, Json>> events;
    mutable std::mutex m;  // for `events` while another thread feeds
    // Splits complete frames off the buffer.
    void feed(const char *data, size_t size) {
        std::lock_guard<std::mutex> lock(m);
        buffer.append(data, size);
        for (size_t end; (end = buffer.find("\n\n")) != std::string::npos;) {
            std::string frame = buffer.substr(0, end);
            buffer.erase(0, end + 2);
            std::string name, data;
            size_t at = 0;
            while (at < frame.size()) {
                size_t nl = frame.find('\n', at);
                std::string line = frame.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
                if (line.rfind("event: ", 0) == 0) name = line.substr(7);
                if (line.rfind("data: ", 0) == 0) data = line.substr(6);
                at = nl == std::string::npos ? frame.size() : nl + 1;
            }
            if (name.empty()) continue;
            events.emplace_back(name, Json::parse(data, nullptr, false));
            if (name == "samples") sampleCount += static_cast<long long>(events.back().second["counts"].size());
        }
    }
    // May be read while another thread feeds.
    long long samples() const { return sampleCount; }
    std::atomic<long long> sampleCount{0};
    std::vector<std::pair<std::string, Json>> copy() const {
        std::lock_guard<std::mutex> lock(m);
        return events;
    }
};

// A live view read on a thread of its own, as a page reads it; it answers the
// server's pings while `answering`.
class LiveView {
public:
    LiveView(int port, const std::string &serial, bool answers) : answering(answers), port_(port) {
        thread_ = std::thread([this, serial] {
            httplib::Client c("127.0.0.1", port_);
            c.set_read_timeout(30, 0);
            httplib::Client pong("127.0.0.1", port_);
            const std::string path = "/api/devices/" + serial + "/stream";
            c.Get(path.c_str(), auth(),
                  [this](const httplib::Response &r) {
                      status = r.status;
                      return true;
                  },
                  [this, &pong, path](const char *data, size_t size) {
                      std::lock_guard<std::mutex> lock(m_);
                      size_t seen = reader_.events.size();
                      reader_.feed(data, size);
                      for (size_t i = seen; i < reader_.events.size(); ++i) {
                          const auto &e = reader_.events[i];
                          if (e.first == "hello") id_ = e.second.value("client", "");
                          if (e.first == "ping" && answering)
                              pong.Post((path + "/pong").c_str(), auth(), Json{{"client", id_}}.dump(),
                                        "application/json");
                      }
                      return !stop_;
                  });
            ended = true;
        });
    }
    ~LiveView() {
        stop_ = true;
        thread_.join();
    }
    static httplib::Headers auth() { return {{"Authorization", std::string("Bearer ") + kToken}}; }

    long long samples() const { return reader_.samples(); }
    // The reason of the "dropped" event, "" while there was none.
    std::string dropped() {
        std::lock_guard<std::mutex> lock(m_);
        for (const auto &e : reader_.events)
            if (e.first == "dropped") return e.second.value("reason", "?");
        return "";
    }
    bool waitUntilOpen(std::chrono::seconds wait) {
        auto until = Clock::now() + wait;
        while (status == 0 && !ended && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return status == 200;
    }

    std::atomic<bool> answering;
    std::atomic<int> status{0};
    std::atomic<bool> ended{false};

private:
    int port_;
    std::mutex m_;
    EventReader reader_;
    std::string id_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A live view read on a thread of its own until it is stopped.
class Listener {
public:
    Listener(int port, const std::string &path) {
        thread_ = std::thread([this, port, path] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(60, 0);
            c.Get(path.c_str(), httplib::Headers{{"Authorization", std::string("Bearer ") + kToken}},
                  [this](const char *data, size_t size) {
                      reader.feed(data, size);
                      return !stop_;
                  });
        });
    }
    ~Listener() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // Waits (a generous while) until `ready` holds for what came so far.
    bool waitFor(const std::function<bool(const std::vector<std::pair<std::string, Json>> &)> &ready,
                 std::chrono::seconds within = std::chrono::seconds(30)) {
        auto until = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < until) {
            if (ready(reader.copy())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool waitForSamples(long long n) {
        return waitFor([&](const auto &) { return reader.samples() >= n; });
    }
    // Waits for `n` more events of that name.
    bool waitForMore(const std::string &name, size_t n) {
        size_t before = count(reader.copy(), name);
        return waitFor([&](const auto &events) { return count(events, name) >= before + n; });
    }
    static size_t count(const std::vector<std::pair<std::string, Json>> &events, const std::string &name) {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](auto &e) { return e.first == name; }));
    }
    EventReader reader;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The samples of a live view in the order they came.
struct Sampled {
    std::vector<int64_t> sequence, first;
    std::vector<double> time, load;
    std::vector<long long> counts;
    std::set<double> starts;
    int64_t gaps = 0;  // numbers skipped
    void add(const Json &e) {
        first.push_back(e["first"].get<int64_t>());
        starts.insert(e["start"].get<double>());
        for (size_t i = 0; i < e["sequence"].size(); ++i) {
            int64_t q = e["sequence"][i].get<int64_t>();
            if (!sequence.empty()) gaps += q - sequence.back() - 1;
            sequence.push_back(q);
            time.push_back(e["time"][i].get<double>());
            counts.push_back(e["counts"][i].get<long long>());
            load.push_back(e.contains("loads") && e["loads"][i].is_number() ? e["loads"][i].get<double>() : NAN);
        }
    }
};

Sampled sampled(const std::vector<std::pair<std::string, Json>> &events) {
    Sampled s;
    for (auto &e : events)
        if (e.first == "samples") s.add(e.second);
    return s;
}

Json lastOf(const std::vector<std::pair<std::string, Json>> &events, const std::string &name) {
    for (auto it = events.rbegin(); it != events.rend(); ++it)
        if (it->first == name) return it->second;
    return nullptr;
}

TEST_F(Api, StreamDeliversEverySampleInOrder) {
    ASSERT_EQ(send("PUT", "/api/devices/SIM0002/stream", Json{{"rate", 13}}).body["nominal"], 500.0);
    EXPECT_EQ(sim::eeprom("SIM0002", 100) & 0x0F, 13) << "the rate is the converter byte's low nibble";
    EventReader reader;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto r = client->Get("/api/devices/SIM0002/stream", auth(), [&](const char *data, size_t size) {
        reader.feed(data, size);
        return reader.samples() < 400 && std::chrono::steady_clock::now() < until;
    });
    ASSERT_GE(reader.samples(), 400);
    long long next = -1;
    bool status = false;
    for (auto &e : reader.events) {
        if (e.first == "hello" || e.first == "ping") continue;
        if (e.first == "status") {
            status = true;
            EXPECT_EQ(e.second["nominal"], 500.0);
            EXPECT_EQ(e.second["error"], "");
            continue;
        }
        ASSERT_EQ(e.first, "samples");
        long long first = e.second["first"];
        if (next >= 0) EXPECT_EQ(first, next) << "no sample skipped between events";
        next = first + static_cast<long long>(e.second["counts"].size());
        for (const Json &c : e.second["counts"]) {
            // The virtual board carries its sample number in the low byte.
            EXPECT_EQ(c.get<long long>() & ~0xFFLL, static_cast<long long>(kSignal) & ~0xFFLL);
        }
        EXPECT_TRUE(e.second.contains("wall"));
    }
    EXPECT_TRUE(status);
    // While the stream runs, the reading still asks the board: the exact count.
    EventReader second;
    std::atomic<bool> done{false};
    std::thread listener([&] {
        httplib::Client c("127.0.0.1", server->port());
        c.Get("/api/devices/SIM0002/stream", auth(), [&](const char *data, size_t size) {
            second.feed(data, size);
            return !done;
        });
    });
    for (int i = 0; i < 200 && second.samples() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Answer reading = get("/api/devices/SIM0002/reading");
    long long before = second.samples();
    for (int i = 0; i < 200 && second.samples() == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
    listener.join();
    EXPECT_GT(before, 0);
    EXPECT_GT(second.samples(), before) << "the stream goes on after the reading";
    EXPECT_EQ(reading.body["count"], static_cast<long long>(kSignal));
}

TEST_F(Api, StreamKeepsUpDuringLongRequests) {
    // The board keeps 64 samples, 640 ms at 100 samples/s; averaging 500 readings takes
    // longer than that, so the stream must be read between the readings.
    sim::set_answer_delay_us("SIM0002", 3000);  // 500 readings: at least 1.5 s
    ASSERT_EQ(send("PUT", "/api/devices/SIM0002/stream", Json{{"rate", 8}}).status, 200);
    EventReader reader;
    std::atomic<bool> done{false};
    std::thread listener([&] {
        httplib::Client c("127.0.0.1", server->port());
        c.set_read_timeout(30, 0);
        c.Get("/api/devices/SIM0002/stream", auth(), [&](const char *data, size_t size) {
            reader.feed(data, size);
            return !done;
        });
    });
    for (int i = 0; i < 400 && reader.samples() < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const sim::FastCounters atStart = sim::fast_counters("SIM0002");
    auto start = std::chrono::steady_clock::now();
    Answer avg = send("POST", "/api/devices/SIM0002/average", Json{{"samples", 500}});
    auto took = std::chrono::steady_clock::now() - start;
    long long after = reader.samples() + 20;
    for (int i = 0; i < 400 && reader.samples() < after; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
    listener.join();
    ASSERT_EQ(avg.status, 200) << avg.text;
    EXPECT_GT(took, std::chrono::milliseconds(640)) << "the request outlasted the board's buffer";
    // Unread for the whole request, the board would have dropped hundreds; a thread
    // starved for more than 640 ms on a crowded machine may lose a few, never a
    // buffer's worth.
    const sim::FastCounters atEnd = sim::fast_counters("SIM0002");
    EXPECT_LT(atEnd.dropped - atStart.dropped, 32u);
    EXPECT_GE(atEnd.delivered - atStart.delivered, 60u);
}

TEST_F(Api, LiveViewConnectionsAreBoundedAndLeaveRoomForRequests) {
    qolven_server::Options o = options();
    o.maxEventClients = 2;
    start(o);
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::vector<std::thread> listeners;
    for (int i = 0; i < 2; ++i)
        listeners.emplace_back([&] {
            httplib::Client c("127.0.0.1", server->port());
            bool counted = false;
            c.Get("/api/devices/SIM0002/stream", auth(), [&](const char *, size_t) {
                if (!counted) ++opened;
                counted = true;
                return !stop;
            });
        });
    for (int i = 0; i < 200 && opened < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(opened, 2);
    Answer third = get("/api/devices/SIM0009/stream");
    EXPECT_EQ(third.status, 503);
    EXPECT_NE(third.body.value("error", "").find("too many live-view connections (2)"), std::string::npos);
    // Ordinary requests still find a thread.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(get("/api/devices/SIM0009").status, 200);
    stop = true;
    for (auto &t : listeners) t.join();
    // Closed connections give their places back.
    Answer again;
    for (int i = 0; i < 100; ++i) {
        std::atomic<bool> got{false};
        httplib::Client c("127.0.0.1", server->port());
        auto r = c.Get("/api/devices/SIM0009/stream", auth(), [&](const char *, size_t) {
            got = true;
            return false;
        });
        if (got) break;
        ASSERT_LT(i, 99) << "no place came back";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TEST_F(Api, ManyClientsOneDeviceNoRaces) {
    std::vector<std::thread> clients;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", server->port());
            for (int i = 0; i < 8; ++i) {
                std::string body = Json{{"value", (t * 8 + i) % 10}, {"channel", t}}.dump();
                auto w = c.Put("/api/devices/SIM0009/settings/unit-code", auth(), body, "application/json");
                auto r = c.Get(("/api/devices/SIM0009/settings/unit-code?channel=" + std::to_string(t)).c_str(), auth());
                if (!w || w->status != 200 || !r || r->status != 200 ||
                    Json::parse(r->body)["value"] != std::to_string((t * 8 + i) % 10))
                    ++failures;
            }
        });
    for (auto &c : clients) c.join();
    EXPECT_EQ(failures, 0);
    for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(sim::channel_register("SIM0009", ch, 106), (ch * 8 + 7) % 10);
    EXPECT_TRUE(sim::diagnostics("SIM0009").empty()) << "every frame reached the board whole";
}

// ---- connections

// Heads that trickle in, connections that send nothing and requests without the
// token all at once: those with the token are still answered at once, the slow
// ones are closed within the deadline of a head, and a live view goes on.
TEST_F(Api, SlowAndForeignRequestsNeitherHoldThreadsNorStarveTokenHolders) {
    const int port = server->port();
    LiveView view(port, "SIM0002", true);
    ASSERT_TRUE(view.waitUntilOpen(std::chrono::seconds(20)));

    std::vector<std::unique_ptr<Raw>> trickling, silent;
    for (int i = 0; i < 60; ++i) silent.push_back(std::make_unique<Raw>(port));
    for (int i = 0; i < 20; ++i) {
        trickling.push_back(std::make_unique<Raw>(port));
        trickling.back()->send("GET /api HTTP/1.1\r\n");
    }
    std::atomic<bool> busy{true};
    std::thread trickle([&] {
        while (busy) {
            for (auto &r : trickling) r->send("X-Slow: 1\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    std::atomic<int> refused{0};
    std::vector<std::thread> foreign;
    for (int t = 0; t < 4; ++t)
        foreign.emplace_back([&] {
            httplib::Client c("127.0.0.1", port);
            while (busy)
                if (auto r = c.Get("/api/devices/SIM0002/settings"); r && r->status == 401) ++refused;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();

    httplib::Client quick("127.0.0.1", port);
    quick.set_connection_timeout(3, 0);
    quick.set_read_timeout(3, 0);
    double slowest = 0;
    for (int i = 0; i < 10; ++i) {
        auto asked = Clock::now();
        auto r = quick.Get("/api/devices/SIM0009", auth());
        slowest = std::max(slowest, secondsSince(asked));
        if (!r) {
            ADD_FAILURE() << "request " << i << " with the token got no answer";
            break;
        }
        EXPECT_EQ(r->status, 200);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_LT(slowest, 2.0) << "a shared machine is slow, never that slow";

    size_t closed = 0;
    // More connections from one address than may wait: the oldest make room at
    // once, the others run out of time.
    auto left = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(start + std::chrono::seconds(15) - Clock::now()); };
    for (auto &r : silent) closed += r->readUntilClosed(left());
    for (auto &r : trickling) closed += r->readUntilClosed(left());
    EXPECT_EQ(closed, trickling.size() + silent.size());
    EXPECT_LT(secondsSince(start), 15.0) << "the head's deadline runs from the start, not from each line";
    for (auto &r : trickling) EXPECT_EQ(r->received.find("200 OK"), std::string::npos);
    busy = false;
    trickle.join();
    for (auto &t : foreign) t.join();
    EXPECT_GT(refused, 0);

    long long before = view.samples();
    for (int i = 0; i < 200 && view.samples() == before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GT(view.samples(), before) << "the live view outlives the deadline of request heads";
    EXPECT_EQ(view.dropped(), "");
}

// ---- live-view places

// TCP does not tell whether a client reads: its kernel takes megabytes for it.
// A client that never answers a ping hands its place on when a new live view
// needs one.
TEST_F(Api, LiveViewsThatNeverReadGiveTheirPlaceUp) {
    qolven_server::Options o = options();
    o.maxEventClients = 2;
    start(o);
    ASSERT_EQ(send("PUT", "/api/devices/SIM0002/stream", Json{{"rate", 15}}).status, 200);
    const int port = server->port();
    const std::string request = "GET /api/devices/SIM0002/stream HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port) + "\r\nAuthorization: Bearer " + kToken + "\r\n\r\n";
    Raw first(port), second(port);
    ASSERT_TRUE(first.send(request));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(second.send(request));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    Answer full = get("/api/devices/SIM0009/stream");
    EXPECT_EQ(full.status, 503) << "both places are new";
    EXPECT_NE(full.body.value("error", "").find("too many live-view connections (2)"), std::string::npos);

    std::unique_ptr<LiveView> next;
    while (secondsSince(start) < 30) {
        next = std::make_unique<LiveView>(port, "SIM0009", true);
        if (next->waitUntilOpen(std::chrono::seconds(10))) break;
        ASSERT_EQ(next->status, 503);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_EQ(next->status, 200);
    EXPECT_LT(secondsSince(start), 15.0) << "a few seconds, not minutes";
    // The one longest without a sign makes room, and is told why after what it had.
    EXPECT_TRUE(first.readUntilClosed(std::chrono::seconds(20)));
    EXPECT_NE(first.received.find("event: hello"), std::string::npos);
    EXPECT_NE(first.received.find("event: samples"), std::string::npos);
    EXPECT_NE(first.received.find("its place went to a new live view"), std::string::npos);
    EXPECT_EQ(second.received, "") << "not read yet";
}

// A page that stops answering pings is dropped; one that answers keeps its place;
// a client that reads without answering is left alone until its place is needed.
TEST_F(Api, PingsDecideWhoKeepsAPlace) {
    qolven_server::Options o = options();
    o.maxEventClients = 3;
    start(o);
    const int port = server->port();
    LiveView page(port, "SIM0002", true), frozen(port, "SIM0002", true), script(port, "SIM0009", false);
    for (LiveView *v : {&page, &frozen, &script}) ASSERT_TRUE(v->waitUntilOpen(std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // a ping or two answered
    frozen.answering = false;
    const auto stopped = Clock::now();
    while (frozen.dropped().empty() && secondsSince(stopped) < 30)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(frozen.dropped().find("stopped answering pings"), std::string::npos) << frozen.dropped();
    EXPECT_GE(secondsSince(stopped), 4.0);
    EXPECT_LT(secondsSince(stopped), 15.0);
    long long pageSamples = page.samples(), scriptSamples = script.samples();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_GT(page.samples(), pageSamples);
    EXPECT_GT(script.samples(), scriptSamples);
    EXPECT_EQ(page.dropped(), "");
    EXPECT_EQ(script.dropped(), "") << "never answering is no reason to drop while no one waits";

    // The dropped page's place is free; then the script, quiet longest, makes room.
    LiveView late(port, "SIM0005", false);
    EXPECT_TRUE(late.waitUntilOpen(std::chrono::seconds(20)));
    LiveView later(port, "SIM0005", false);
    EXPECT_TRUE(later.waitUntilOpen(std::chrono::seconds(20)));
    for (int i = 0; i < 100 && script.dropped().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(script.dropped().find("its place went to a new live view"), std::string::npos);
    // Now the page answers and the others are new: no place is given up.
    Answer refused = get("/api/devices/SIM0009/stream");
    EXPECT_EQ(refused.status, 503) << refused.text;
    EXPECT_EQ(page.dropped(), "");
    Answer unknown = send("POST", "/api/devices/SIM0002/stream/pong", Json{{"client", "nobody"}});
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(send("POST", "/api/devices/SIM0002/stream/pong", Json{{"client", 5}}).status, 400);
}

TEST_F(Api, TheLiveViewCarriesTheReadersNumbersTimesAndFigures) {
    ASSERT_EQ(send("PUT", "/api/devices/SIM0002/stream", Json{{"rate", 15}}).status, 200);
    sim::set_answer_delay_us("SIM0002", 1500);
    Listener live(server->port(), "/api/devices/SIM0002/stream");
    ASSERT_TRUE(live.waitForSamples(100));
    // The board takes samples out of some answers that never arrive whole.
    sim::FaultSpec f;
    f.kind = sim::Fault::FastShort;
    f.mode = sim::FaultMode::EveryNth;
    f.every = 9;
    sim::set_fault("SIM0002", f);
    ASSERT_TRUE(live.waitFor([](const auto &events) {
        Json s = lastOf(events, "status");
        return s.is_object() && s["lost"].get<long long>() > 0 && s["timeouts"].get<long long>() > 0;
    }));
    sim::clear_faults("SIM0002");
    ASSERT_TRUE(live.waitForMore("status", 2));
    live.stop();
    auto events = live.reader.copy();
    Sampled got = sampled(events);
    Json status = lastOf(events, "status");
    ASSERT_FALSE(got.sequence.empty());
    EXPECT_EQ(got.sequence.front(), 0) << "this reader started the stream";
    for (size_t i = 1; i < got.sequence.size(); ++i) {
        ASSERT_GT(got.sequence[i], got.sequence[i - 1]);
        ASSERT_GE(got.time[i], got.time[i - 1]);
    }
    // No event went missing between the server and this reader.
    for (size_t i = 1; i < got.first.size(); ++i) ASSERT_GT(got.first[i], got.first[i - 1]);
    // What the figures call lost is what the numbers skip, and what the "lost" events name.
    long long named = 0;
    for (auto &e : events)
        if (e.first == "lost") named += e.second["samples"].get<long long>();
    EXPECT_GT(status["lost"].get<long long>(), 0);
    EXPECT_EQ(got.gaps, status["lost"].get<long long>());
    EXPECT_EQ(named, status["lost"].get<long long>());
    EXPECT_EQ(status["lossBasis"], "nominal-rate");
    EXPECT_EQ(status["state"], "running");
    EXPECT_EQ(status["nominal"], 1000.0);
    EXPECT_GE(status["requests"].get<long long>(), status["timeouts"].get<long long>());
    EXPECT_LE(status["received"].get<long long>(), static_cast<long long>(got.sequence.size()));
    EXPECT_GT(status["received"].get<long long>(), static_cast<long long>(got.sequence.size()) / 2);
    // Times run at the nominal rate: the samples span about their number over the rate.
    double span = got.time.back() - got.time.front();
    double numbered = double(got.sequence.back() - got.sequence.front()) / 1000.0;
    EXPECT_NEAR(span, numbered, 0.1 + 0.1 * numbered);
    EXPECT_EQ(got.starts.size(), 1u);
}

TEST_F(Api, ARateChangedElsewhereContinuesTheLiveView) {
    ASSERT_EQ(send("PUT", "/api/devices/SIM0002/stream", Json{{"rate", 13}}).status, 200);
    Listener live(server->port(), "/api/devices/SIM0002/stream");
    ASSERT_TRUE(live.waitForSamples(150));
    // Another client (another page, a script) changes the rate twice.
    for (int rate : {15, 13}) {
        long long before = live.reader.samples();
        Answer changed = send("PUT", "/api/devices/SIM0002/stream", Json{{"rate", rate}});
        ASSERT_EQ(changed.status, 200) << changed.text;
        EXPECT_EQ(changed.body["nominal"], qolven_rate_samples_per_second(rate));
        ASSERT_TRUE(live.waitForSamples(before + 300));
        ASSERT_TRUE(live.waitFor([rate](const auto &events) {
            Json s = lastOf(events, "status");
            return s.is_object() && s["rate"] == rate;
        }));
    }
    live.stop();
    auto events = live.reader.copy();
    Sampled got = sampled(events);
    // One stream for the reader: its numbers and times go on across the changes.
    EXPECT_EQ(got.starts.size(), 1u);
    double widest = 0;
    for (size_t i = 1; i < got.sequence.size(); ++i) {
        ASSERT_GT(got.sequence[i], got.sequence[i - 1]) << "at " << i;
        ASSERT_GE(got.time[i], got.time[i - 1]) << "at " << i;
        widest = std::max(widest, got.time[i] - got.time[i - 1]);
    }
    EXPECT_LT(widest, 1.0) << "the time axis does not jump";
    std::set<double> nominal;
    for (auto &e : events)
        if (e.first == "status") nominal.insert(e.second["nominal"].get<double>());
    EXPECT_TRUE(nominal.count(500.0) && nominal.count(1000.0));
}

TEST_F(Api, AnUnpluggedDeviceAndItsReturnReachTheReaders) {
    ASSERT_EQ(send("PUT", "/api/devices/SIM0002/stream", Json{{"rate", 15}}).status, 200);
    sim::set_answer_delay_us("SIM0002", 1500);
    Listener live(server->port(), "/api/devices/SIM0002/stream");
    ASSERT_TRUE(live.waitForSamples(100));
    sim::BoardConfig config = sim::config("SIM0002");
    ASSERT_TRUE(sim::detach("SIM0002"));
    ASSERT_TRUE(live.waitForMore("disconnected", 1));
    // Meanwhile requests are told why, and nothing waits for the device.
    Answer meanwhile = get("/api/devices/SIM0002/reading");
    EXPECT_EQ(meanwhile.status, 503) << meanwhile.text;
    EXPECT_EQ(meanwhile.body.value("code", ""), "QOLVEN_DISCONNECTED");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sim::attach(config);
    ASSERT_TRUE(live.waitForMore("reconnected", 1));
    long long after = live.reader.samples() + 100;
    ASSERT_TRUE(live.waitForSamples(after));
    ASSERT_TRUE(live.waitForMore("status", 1));
    live.stop();
    auto events = live.reader.copy();
    Json back = lastOf(events, "reconnected"), status = lastOf(events, "status");
    Sampled got = sampled(events);
    EXPECT_GT(back["samples"].get<long long>(), 100) << "0.3 s at 1000 samples/s went by";
    EXPECT_EQ(got.gaps, back["samples"].get<long long>()) << "the gap is the only one";
    EXPECT_EQ(status["reconnects"], 1);
    EXPECT_EQ(status["lost"], back["samples"]);
    EXPECT_EQ(get("/api/devices/SIM0002/reading").status, 200);
}

TEST_F(Api, TareIsTakenOffByTheHostPerChannel) {
    Json points = {{{"count", kSignal}, {"load", 0}}, {{"count", kSignal + 100000}, {"load", 1000}}};
    ASSERT_EQ(send("POST", "/api/devices/SIM0002/calibration", Json{{"points", points}}).status, 200);
    ASSERT_TRUE(sim::set_signal("SIM0002", kSignal + 50000, 0, 0, 0));
    EXPECT_DOUBLE_EQ(get("/api/devices/SIM0002/reading").body["load"].get<double>(), 500);
    clearWire();
    Answer tare = send("PUT", "/api/devices/SIM0002/tare", Json{{"count", kSignal + 20000}});
    ASSERT_EQ(tare.status, 200) << tare.text;
    EXPECT_EQ(wire("SIM0002"), 0u) << "the board is not asked, let alone written";
    Answer tared = get("/api/devices/SIM0002/reading");
    EXPECT_EQ(tared.body["tared"], true);
    EXPECT_EQ(tared.body["tare"], kSignal + 20000);
    EXPECT_DOUBLE_EQ(tared.body["load"].get<double>(), 300);
    EXPECT_EQ(tared.body["loadText"], "300");
    {
        // The live view's loads too.
        Listener live(server->port(), "/api/devices/SIM0002/stream");
        ASSERT_TRUE(live.waitForSamples(20));
        live.stop();
        Sampled got = sampled(live.reader.copy());
        ASSERT_FALSE(got.load.empty());
        for (size_t i = 0; i < got.load.size(); ++i)
            EXPECT_NEAR(got.load[i], double(got.counts[i] - (kSignal + 20000)) / 100, 1e-9);
    }
    // At the present reading; then gone again.
    ASSERT_EQ(send("PUT", "/api/devices/SIM0002/tare", Json::object()).body["tare"], kSignal + 50000);
    EXPECT_DOUBLE_EQ(get("/api/devices/SIM0002/reading").body["load"].get<double>(), 0);
    ASSERT_EQ(client->Delete("/api/devices/SIM0002/tare", auth())->status, 200);
    Answer untared = get("/api/devices/SIM0002/reading");
    EXPECT_EQ(untared.body["tared"], false);
    EXPECT_DOUBLE_EQ(untared.body["load"].get<double>(), 500);
    EXPECT_EQ(get("/api/devices/SIM0002/calibration").body["points"], points) << "the calibration is untouched";

    // A channel's tare is that channel's.
    ASSERT_EQ(send("PUT", "/api/devices/SIM0009/tare", Json{{"channel", 1}}).status, 200);
    EXPECT_EQ(get("/api/devices/SIM0009/reading?channel=1").body["tared"], true);
    EXPECT_EQ(get("/api/devices/SIM0009/reading?channel=0").body["tared"], false);
}

TEST_F(Api, FailuresAnswerWithTheStatusOfTheirClass) {
    struct Case {
        const char *what;
        std::function<void()> before;
        std::string path;
        int status;
        const char *code;
    } cases[] = {
        {"silent board", [] { sim::set_board_silent("SIM0002", true); }, "/api/devices/SIM0002/settings/unit-code",
         504, "QOLVEN_TIMEOUT"},
        {"board error report", [] {
             sim::FaultSpec f;
             f.kind = sim::Fault::BoardError;
             f.arg = 0x4D;
             sim::set_fault("SIM0002", f);
         }, "/api/devices/SIM0002/settings/unit-code", 422, "QOLVEN_BOARD_REFUSED"},
        {"board type", [] {}, "/api/devices/SIM0005/settings/unit-code", 422, "QOLVEN_BOARD_TYPE"},
        {"malformed answer", [] {
             sim::FaultSpec f;
             f.kind = sim::Fault::WrongEnd;
             sim::set_fault("SIM0002", f);
         }, "/api/devices/SIM0002/settings/unit-code", 502, "QOLVEN_ERROR"},
        {"unplugged", [this] {
             ASSERT_EQ(get("/api/devices/SIM0009/reading").status, 200);
             sim::detach("SIM0009");
         }, "/api/devices/SIM0009/reading", 503, "QOLVEN_DISCONNECTED"},
        {"still unplugged", [] {}, "/api/devices/SIM0009/reading", 503, "QOLVEN_NO_DEVICE"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        c.before();
        Answer a = get(c.path);
        EXPECT_EQ(a.status, c.status) << a.text;
        EXPECT_EQ(a.body.value("code", ""), c.code) << a.text;
        EXPECT_FALSE(a.body.value("error", "").empty());
        sim::set_board_silent("SIM0002", false);
        sim::clear_faults("SIM0002");
    }
    // Back on the list, the device is opened again.
    sim::attach(board("SIM0009", 9));
    EXPECT_EQ(get("/api/devices/SIM0009/reading").status, 200);
}

} // namespace
