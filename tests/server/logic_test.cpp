// The arithmetic and the bookkeeping behind `qolven serve`: averaged readings,
// loading-point checks, the per-reader event queues, the access policy and
// what is read of a request before it is answered.
#include <gtest/gtest.h>

#include "calibration.h"
#include "connections.h"
#include "events.h"
#include "request.h"
#include "security.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace qolven_server;

TEST(Calibration, SpreadOfReadings) {
    Spread s = summarize({10, 12, 14, 16});
    EXPECT_EQ(s.n, 4u);
    EXPECT_DOUBLE_EQ(s.mean, 13);
    EXPECT_NEAR(s.stddev, 2.5819889, 1e-6);  // sample standard deviation
    EXPECT_EQ(s.min, 10);
    EXPECT_EQ(s.max, 16);
    EXPECT_EQ(summarize({}).n, 0u);
    EXPECT_DOUBLE_EQ(summarize({-5}).stddev, 0);
    EXPECT_DOUBLE_EQ(summarize({-8388608, 16777215}).mean, 4194303.5);
}

TEST(Calibration, LoadingPointChecksNameEveryProblem) {
    struct Case {
        std::vector<LoadingPoint> points;
        size_t max;
        std::vector<const char *> problems;  // none when accepted
    } cases[] = {
        {{{1000, 0}, {2000, 10}}, 16, {}},
        {{{1000, 0}, {1100, 10}}, 16, {}},                       // exactly the minimum span
        {{{5000, 0}, {1000, 10}, {-3000, 20}}, 16, {}},           // falling counts are fine
        {{{1000, 0}}, 16, {"needs the zero point and at least one known load"}},
        {{}, 16, {"needs the zero point"}},
        {{{1000, 0}, {1099, 10}}, 16, {"span too small: point 1 is only 99 counts from point 0"}},
        {{{5000, 0}, {4950, 10}}, 16, {"span too small: point 1 is only 50 counts"}},
        {{{1000, 0}, {2000, 10}, {1500, 20}}, 16, {"not monotonic: the count must rise with the load, but point 2"}},
        {{{5000, 0}, {1000, 10}, {2000, 20}}, 16, {"not monotonic: the count must fall"}},
        {{{1000, 0}, {1000, 10}}, 16, {"not monotonic"}},
        {{{1000, 10}, {2000, 10}}, 16, {"loads must increase from point to point: point 1 has load 10 after 10"}},
        {{{0, 0}, {200, 1}, {400, 2}}, 2, {"3 loading points, but this board keeps at most 2"}},
        // Loads 2.5 then 1.0 (lightest not first): both the load and the count go back.
        {{{1000000, 0}, {1100000, 250}, {1040000, 100}}, 16,
         {"point 2 has load 100 after 250", "point 2 reads 1040000 after 1100000"}},
        {{{1000, 0}, {1050, 10}, {1080, 5}}, 16,
         {"point 1 is only 50 counts", "point 2 has load 5 after 10", "point 2 is only 30 counts"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> problems = loadingPointProblems(c.points, c.max);
        std::string all;
        for (const std::string &p : problems) all += p + "\n";
        ASSERT_EQ(problems.size(), c.problems.size()) << all;
        for (size_t i = 0; i < problems.size(); ++i)
            EXPECT_NE(problems[i].find(c.problems[i]), std::string::npos) << problems[i];
    }
}

TEST(Calibration, Sensitivity) {
    EXPECT_DOUBLE_EQ(sensitivity({{1000, 0}, {2000, 100}, {4000, 200}}), 15);
    EXPECT_DOUBLE_EQ(sensitivity({{5000, 0}, {3000, 1000}}), -2);
    EXPECT_DOUBLE_EQ(sensitivity({{5000, 0}}), 0);
}

TEST(Events, SlowReaderIsDroppedOthersGetEverything) {
    EventHub hub(16, 1 << 20);
    auto fast = hub.subscribe();
    auto stuck = hub.subscribe();
    std::atomic<int> seen{0};
    std::string got;
    std::thread reader([&] {
        std::string part;
        for (bool more = true; more;) {
            more = fast->take(part, std::chrono::milliseconds(20));
            got += part;
            for (size_t at = 0; (at = part.find("event: samples", at)) != std::string::npos; ++at) ++seen;
        }
    });
    for (int i = 0; i < 200; ++i) {
        hub.publish(eventFrame("samples", "{\"i\":" + std::to_string(i) + "}"));
        // Keep pace with the reader that reads, never with the one that does not.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen <= i && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    hub.closeAll(eventFrame("closed", "{}"));
    reader.join();
    EXPECT_FALSE(fast->dropped());
    size_t at = 0;
    for (int i = 0; i < 200; ++i) {
        at = got.find("data: {\"i\":" + std::to_string(i) + "}\n\n", at);
        ASSERT_NE(at, std::string::npos) << "frame " << i << " missing or out of order";
    }
    EXPECT_EQ(got.find("dropped"), std::string::npos);
    EXPECT_NE(got.find("event: closed"), std::string::npos);

    EXPECT_TRUE(stuck->dropped());
    std::string last;
    EXPECT_FALSE(stuck->take(last, std::chrono::milliseconds(0)));
    // What was queued before it fell behind comes first, then why it ends.
    EXPECT_EQ(last.find("event: samples\ndata: {\"i\":0}\n\n"), 0u);
    EXPECT_NE(last.find("event: samples\ndata: {\"i\":15}\n\n"), std::string::npos);
    EXPECT_EQ(last.find("{\"i\":16}"), std::string::npos);
    EXPECT_NE(last.find("event: dropped\n"), std::string::npos);
    EXPECT_EQ(hub.size(), 0u);
}

TEST(Events, ByteBoundAndUnsubscribe) {
    EventHub hub(1000, 100);
    auto a = hub.subscribe();
    hub.publish(std::string(60, 'x'));
    EXPECT_FALSE(a->dropped());
    hub.publish(std::string(60, 'y'));  // 120 bytes would be over the bound
    EXPECT_TRUE(a->dropped());
    auto b = hub.subscribe();
    EXPECT_EQ(hub.size(), 1u);
    hub.unsubscribe(b);
    EXPECT_EQ(hub.size(), 0u);
    std::string out;
    EXPECT_FALSE(b->take(out, std::chrono::milliseconds(0)));
    EXPECT_EQ(out, "");
}

TEST(Events, QuietReadersAndTheirPlaces) {
    EventHub hub;
    auto first = hub.subscribe();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto second = hub.subscribe();
    EXPECT_NE(first->id(), second->id());
    EXPECT_EQ(hub.find(second->id()), second);
    EXPECT_EQ(hub.find("nobody"), nullptr);
    // Until a reader answers a ping, its arrival counts as its last sign.
    EXPECT_EQ(hub.quietest(), first);
    EXPECT_FALSE(first->hasAnswered());
    first->answered();
    EXPECT_TRUE(first->hasAnswered());
    EXPECT_EQ(hub.quietest(), second);

    hub.publish("frame\n\n");
    EXPECT_TRUE(second->replace("farewell\n\n"));
    EXPECT_TRUE(second->placeHandedOn());
    std::string out;
    EXPECT_FALSE(second->take(out, std::chrono::milliseconds(0)));
    EXPECT_EQ(out, "frame\n\nfarewell\n\n") << "what was queued, then why it ends";
    EXPECT_FALSE(second->offer("late")) << "nothing is queued after the end";

    hub.unsubscribe(first);
    EXPECT_FALSE(first->placeHandedOn()) << "an ordinary end gives the place back";
    EXPECT_FALSE(first->replace("x"));
}

TEST(Security, AddressesAndSecrets) {
    for (const char *a : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) EXPECT_TRUE(isLoopback(a)) << a;
    for (const char *a : {"0.0.0.0", "::", "192.168.1.10", "128.0.0.1", "localhost.evil", ""})
        EXPECT_FALSE(isLoopback(a)) << a;
    EXPECT_TRUE(sameSecret("abc", "abc"));
    EXPECT_FALSE(sameSecret("abd", "abc"));
    EXPECT_FALSE(sameSecret("ab", "abc"));
    EXPECT_FALSE(sameSecret("", ""));
    std::string t1 = randomToken(), t2 = randomToken();
    EXPECT_EQ(t1.size(), 32u);
    EXPECT_EQ(t1.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(t1, t2);
    // A page's session follows its token: kept across restarts, another for another token.
    BrowserSession a = browserSessionFor(t1), again = browserSessionFor(t1), b = browserSessionFor(t2);
    EXPECT_EQ(a.path, again.path);
    EXPECT_EQ(a.secret, again.secret);
    EXPECT_NE(a.path, b.path);
    EXPECT_NE(a.secret, b.secret);
    EXPECT_NE(a.path, "/s/" + a.secret);
    EXPECT_EQ(a.path.size(), 35u);
    EXPECT_EQ(a.secret.find(t1), std::string::npos);
    EXPECT_NE(browserSessionFor("").secret, browserSessionFor("").secret);
}

TEST(Security, HostOriginAndToken) {
    AccessPolicy p(hostsFor("127.0.0.1"), 8080, "secret");
    struct Host {
        const char *header;
        bool allowed;
    } hosts[] = {{"127.0.0.1:8080", true},  {"localhost:8080", true},  {"LOCALHOST:8080", true},
                 {"[::1]:8080", true},      {"127.0.0.1", false},      {"127.0.0.1:8081", false},
                 {"evil.com:8080", false},  {"localhost.evil.com:8080", false}, {"", false},
                 {"127.0.0.1:8080x", false}, {"[::1:8080", false},      {"127.0.0.1:99999999", false}};
    for (const Host &h : hosts) EXPECT_EQ(p.hostAllowed(h.header), h.allowed) << h.header;
    struct Origin {
        const char *header;
        bool allowed;
    } origins[] = {{"", true},
                   {"http://127.0.0.1:8080", true},
                   {"http://localhost:8080", true},
                   {"https://127.0.0.1:8080", false},
                   {"http://evil.com", false},
                   {"null", false},
                   {"http://127.0.0.1:8080.evil.com", false}};
    for (const Origin &o : origins) EXPECT_EQ(p.originAllowed(o.header), o.allowed) << o.header;
    EXPECT_TRUE(p.tokenAllowed("Bearer secret", "", ""));
    EXPECT_TRUE(p.tokenAllowed("", "", "secret"));
    EXPECT_FALSE(p.tokenAllowed("Bearer secrets", "", ""));
    EXPECT_FALSE(p.tokenAllowed("Basic secret", "", ""));
    EXPECT_FALSE(p.tokenAllowed("", "", ""));

    // The page's cookie holds the session's secret, never the token.
    AccessPolicy session(hostsFor("127.0.0.1"), 8080, "secret", {"/s/0123abcd", "cookie-secret"});
    EXPECT_TRUE(session.tokenAllowed("", "x=1; qolven_session=cookie-secret; y=2", ""));
    EXPECT_FALSE(session.tokenAllowed("", "qolven_session=secret", ""));
    EXPECT_FALSE(session.tokenAllowed("", "qolven_token_8080=secret", ""));
    EXPECT_FALSE(p.tokenAllowed("", "qolven_session=", "")) << "no session, no cookie";

    AccessPolicy open(hostsFor("127.0.0.1"), 80, "");
    EXPECT_TRUE(open.tokenAllowed("", "", ""));
    EXPECT_TRUE(open.hostAllowed("localhost")) << "port 80 may be left out";

    AccessPolicy lan(hostsFor("192.0.2.7"), 9000, "t");
    EXPECT_TRUE(lan.hostAllowed("192.0.2.7:9000"));
    EXPECT_FALSE(lan.hostAllowed("192.0.2.8:9000"));
}

TEST(Security, TokenStrength) {
    struct Case {
        std::string token;
        bool loopback;
        const char *problem;  // "" when accepted
    } cases[] = {
        {"a", true, ""},
        {"test-token_0.9~", true, ""},
        {randomToken(), false, ""},
        {"abc\r\nSet-Cookie:x", true, "holds byte 0x0d"},
        {std::string("ab\0c", 4), true, "holds byte 0x00"},
        {"caf\xc3\xa9", true, "holds byte 0xc3"},
        {"a&b", true, "holds \"&\""},
        {"", false, "needed"},
        {"a", false, "is 1 character long"},
        {"0123456789abcde", false, "is 15 characters long"},
        {"abababababababababab", false, "has only 2 different characters"},
    };
    for (const Case &c : cases) {
        std::string problem = tokenProblem(c.token, c.loopback);
        if (!*c.problem) EXPECT_EQ(problem, "") << c.token;
        else EXPECT_NE(problem.find(c.problem), std::string::npos) << c.token << ": " << problem;
    }
}

TEST(Request, MediaTypes) {
    struct Case {
        const char *header;
        const char *problem;  // "" when it is JSON
    } cases[] = {
        {"Application/JSON", ""},
        {"application/json;charset=\"UTF-8\"", ""},
        {"application/json ; charset=utf-8 ; q=1", ""},
        {"application/jsonfoo", "not \"application/jsonfoo\""},
        {"application/json-seq", "not \"application/json-seq\""},
        {"application/json, text/plain", "unexpected \",\""},
        {"application/json; charset", "not name=value"},
        {"application/json; charset=\"utf-8", "does not end"},
        {"application/json; charset=latin1", "charset \"latin1\": JSON is sent in UTF-8"},
        {"/json", "not a media type"},
        {"application/json\x01", "unexpected \"\\x01\""},
        {"", "names no type"},
    };
    for (const Case &c : cases) {
        try {
            requireJsonMediaType(c.header);
            EXPECT_EQ(*c.problem, 0) << c.header << " was taken for JSON";
        } catch (const BadRequest &e) {
            EXPECT_NE(*c.problem, 0) << c.header << ": " << e.what();
            if (*c.problem) EXPECT_NE(std::string(e.what()).find(c.problem), std::string::npos) << e.what();
        }
    }
    MediaType m = parseMediaType("Text/HTML; Charset=\"a\\\"b\"; level=1");
    EXPECT_EQ(m.type, "text/html");
    EXPECT_EQ(m.parameters, (std::map<std::string, std::string>{{"charset", "a\"b"}, {"level", "1"}}));
}

TEST(Connections, RequestHeads) {
    RequestHead h;
    ASSERT_TRUE(parseRequestHead("GET /api/devices?token=a%2Bb+c&x=1&token=second HTTP/1.1\r\n"
                                 "Host: 127.0.0.1:8080\r\nauthorization:  Bearer T \r\nCookie: a=1\r\n"
                                 "Cookie: b=2\r\n\r\n",
                                 h));
    EXPECT_EQ(h.method, "GET");
    EXPECT_EQ(h.target, "/api/devices?token=a%2Bb+c&x=1&token=second");
    EXPECT_EQ(h.header("Authorization"), "Bearer T");
    EXPECT_EQ(h.header("cookie"), "a=1") << "the first, as the handlers see it";
    EXPECT_EQ(h.header("Origin"), "");
    EXPECT_EQ(h.query("token"), "a+b c");
    EXPECT_EQ(h.query("y"), "");
    for (const char *bad : {"GET /\r\n\r\n", "GET  / HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\nNo colon\r\n\r\n",
                            "GET / HTTP/1.1\r\nHost: x\r\n"})
        EXPECT_FALSE(parseRequestHead(bad, h)) << bad;
}

} // namespace
