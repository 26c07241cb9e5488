#include "server.h"

#include "assets.h"
#include "connections.h"
#include "device_jobs.h"
#include "device_worker.h"
#include "recording.h"
#include "request.h"
#include "security.h"

#include <httplib.h>
#include <qolven.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

namespace qolven_server {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds kPingInterval{2000};
constexpr milliseconds kQuietReader{6000};  // three pings unanswered

// Every live-view connection holds a thread for as long as it is open; the
// others keep enough threads for the page's own requests.
ConnectionLimits connectionLimits(const Options &o) {
    ConnectionLimits limits;
    limits.trustedThreads = o.maxEventClients + 8;
    return limits;
}

} // namespace

struct Server::Impl {
    Options options;
    BrowserSession session = browserSessionFor(options.token);
    std::unique_ptr<AccessPolicy> policy;
    GuardedServer http;
    std::thread listener;
    int port = 0;
    std::atomic<size_t> eventClients{0};  // live-view places taken
    std::mutex admission;

    struct Entry {
        std::unique_ptr<DeviceWorker> worker;
        // The jobs take the device's worker.
        operator DeviceWorker &() { return *worker; }
    };
    std::map<std::string, Entry> devices;
    std::vector<std::string> order;  // serials as attached
    std::unique_ptr<RecordingControl> recording;

    explicit Impl(Options o) : options(std::move(o)), http(connectionLimits(options)) {}

    void findDevices();
    void routes();
    Entry &device(const std::string &serial);

    Reply simulationRead(Entry &e);
    Reply simulation(Entry &e, const Json &body);
    bool admitLiveView();
    void events(Entry &e, httplib::Response &res);
};

// A device the request names that is not served.
struct UnknownDevice : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Server::Impl::Entry &Server::Impl::device(const std::string &serial) {
    auto it = devices.find(serial);
    if (it == devices.end()) throw UnknownDevice("no device with serial number \"" + serial + "\"");
    if (recording) recording->checkFree(serial);
    return it->second;
}

void Server::Impl::findDevices() {
    std::vector<std::string> found;
    std::unique_ptr<qolven_device, void (*)(qolven_device *)> probe(qolven_create(), qolven_destroy);
    if (!probe) throw std::runtime_error("cannot count the attached devices: out of memory");
    int count = 0;
    int status = qolven_device_count(probe.get(), &count);
    if (status != QOLVEN_OK)
        throw std::runtime_error("cannot count the attached devices: " + std::string(qolven_error_text(probe.get())));
    for (int i = 0; i < count; ++i) {
        char serial[256];
        if (qolven_device_serial(probe.get(), i, serial, sizeof serial) != QOLVEN_OK)
            throw std::runtime_error("cannot read the serial number of device " + std::to_string(i) + ": " +
                                     qolven_error_text(probe.get()));
        found.push_back(serial);
    }
    std::vector<std::string> wanted = options.serials.empty() ? found : options.serials;
    for (const std::string &serial : wanted) {
        if (std::find(found.begin(), found.end(), serial) == found.end())
            throw std::runtime_error("no device with serial number \"" + serial + "\" is attached");
        if (devices.count(serial)) continue;
        devices[serial].worker = std::make_unique<DeviceWorker>(serial, options.channel);
        order.push_back(serial);
    }
}

// ---- the virtual boards' signal

namespace {

// Counts the virtual board's converter can show, and limits that keep its sine sane.
struct SignalField {
    const char *name;
    double low, high;
};
const SignalField kSignalFields[] = {
    {"offset", -8388608, 16777215}, {"amplitude", 0, 8388608}, {"period", 0, 3600}, {"noise", 0, 1000000}};

} // namespace

Reply Server::Impl::simulationRead(Entry &e) {
    if (!options.simulation) return failure(404, "the devices are not simulated (start with --simulate)");
    double v[4] = {0, 0, 0, 0};
    if (!options.simulationSignal) return failure(404, "this simulated bridge does not tell the signal in use");
    if (!options.simulationSignal(e.worker->serial(), v[0], v[1], v[2], v[3]))
        return failure(404, "no virtual board " + e.worker->serial());
    return Reply{200, Json{{"offset", v[0]}, {"amplitude", v[1]}, {"period", v[2]}, {"noise", v[3]}}};
}

Reply Server::Impl::simulation(Entry &e, const Json &body) {
    if (!options.simulation) return failure(404, "the devices are not simulated (start with --simulate)");
    // Fields left out keep the signal in use; every field given is checked first.
    double v[4] = {0, 0, 0, 0};
    bool given[4];
    for (size_t i = 0; i < 4; ++i) {
        given[i] = body.contains(kSignalFields[i].name);
        if (given[i]) v[i] = numberField(body, kSignalFields[i].name, kSignalFields[i].low, kSignalFields[i].high, 0.0);
    }
    double now[4] = {0, 0, 0, 0};
    const bool known = options.simulationSignal && options.simulationSignal(e.worker->serial(), now[0], now[1], now[2], now[3]);
    if (!known && !given[0]) throw BadRequest("offset: missing");
    for (size_t i = 0; i < 4; ++i)
        if (!given[i]) v[i] = known ? now[i] : 0;
    if (!options.simulation(e.worker->serial(), v[0], v[1], v[2], v[3]))
        return failure(404, "no virtual board " + e.worker->serial());
    return Reply{200, Json{{"offset", v[0]}, {"amplitude", v[1]}, {"period", v[2]}, {"noise", v[3]}}};
}

bool Server::Impl::admitLiveView() {
    std::lock_guard<std::mutex> lock(admission);
    if (eventClients < options.maxEventClients) {
        ++eventClients;
        return true;
    }
    // All places are taken: one whose reader has not shown for a while that it
    // reads (a page frozen, a client that never reads) hands its place on.
    std::shared_ptr<EventClient> quietest;
    for (auto &d : devices) {
        std::shared_ptr<EventClient> c = d.second.worker->events().quietest();
        if (c && (!quietest || c->lastSign() < quietest->lastSign())) quietest = c;
    }
    return quietest && EventClient::Clock::now() - quietest->lastSign() >= kQuietReader &&
           quietest->replace(eventFrame("dropped", "{\"reason\":\"this client answered no ping for a while and "
                                                   "its place went to a new live view; reconnect to go on\"}"));
}

void Server::Impl::events(Entry &e, httplib::Response &res) {
    if (!admitLiveView()) {
        Reply r = failure(503, "too many live-view connections (" + std::to_string(options.maxEventClients) +
                                   "), all of them answering pings; close one and try again");
        res.status = r.status;
        res.set_content(r.body.dump(), "application/json");
        return;
    }
    DeviceWorker *worker = e.worker.get();
    std::shared_ptr<EventClient> client = worker->events().subscribe();
    worker->wake();
    res.set_header("X-Accel-Buffering", "no");
    auto nextPing = std::make_shared<EventClient::Clock::time_point>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [client, nextPing](size_t, httplib::DataSink &sink) {
            std::string out;
            bool more = client->take(out, seconds(1));
            auto now = EventClient::Clock::now();
            if (more && *nextPing == EventClient::Clock::time_point()) {
                out.insert(0, eventFrame("hello", Json{{"client", client->id()}}.dump()));
            } else if (more && client->hasAnswered() && now - client->lastSign() >= kQuietReader) {
                // It answered before: a page that has stopped reading.
                client->close(eventFrame("dropped", "{\"reason\":\"this client stopped answering pings and was "
                                                    "dropped; reconnect to go on\"}"));
            }
            if (more && now >= *nextPing) {
                out += eventFrame("ping", "{}");
                *nextPing = now + kPingInterval;
            }
            // A comment now and then shows a closed connection and keeps proxies from timing out.
            if (out.empty() && more) out = ": idle\n\n";
            if (!out.empty() && !sink.write(out.data(), out.size())) return false;
            if (!more) sink.done();
            return true;
        },
        [this, worker, client](bool) {
            worker->events().unsubscribe(client);
            if (!client->placeHandedOn()) --eventClients;
        });
}

// ---- HTTP

namespace {

void send(httplib::Response &res, const Reply &r) {
    res.status = r.status;
    res.set_content(r.body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

const char *reason(int status) {
    switch (status) {
    case 404: return "no such address";
    case 405: return "method not allowed here";
    case 413: return "request body too large";
    case 414: return "address too long";
    default: return "request refused";
    }
}

const char *const kTokenPage =
    "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>qolven: token needed</title></head>\n"
    "<body>\n"
    "<h1>This page needs its token</h1>\n"
    "<p>Open the address <code>qolven serve</code> printed when it started: it ends in <code>?token=...</code>.</p>\n"
    "<p>Each start makes a new token (unless <code>--token</code> gives one), so an address, a bookmark or an open "
    "page from before a restart no longer opens.</p>\n</body></html>\n";

// A body must say it is JSON: a page elsewhere can send plain text without asking
// first, JSON only with the server's consent (which it never gives).
Json jsonBody(const httplib::Request &req, const std::set<std::string> &allowed) {
    if (!req.body.empty()) requireJsonMediaType(req.get_header_value("Content-Type"));
    return parseBody(req.body, allowed);
}

} // namespace

void Server::Impl::routes() {
    auto &s = http;
    // Every handler goes through here: a bad request is answered, never thrown out.
    auto guarded = [](std::function<Reply(const httplib::Request &)> handler) {
        return [handler](const httplib::Request &req, httplib::Response &res) {
            try {
                send(res, handler(req));
            } catch (const BadRequest &e) {
                send(res, failure(400, e.what()));
            } catch (const UnknownDevice &e) {
                send(res, failure(404, e.what()));
            } catch (const DeviceRecording &e) {
                send(res, failure(409, e.what()));
            } catch (const std::exception &e) {
                send(res, failure(500, std::string("internal error: ") + e.what()));
            }
        };
    };
    auto query = [](const httplib::Request &req, const char *name, long long low, long long high, long long fallback) {
        return integerParameter(req.get_param_value(name), req.has_param(name), name, low, high, fallback);
    };
    // Everything is also served below the browser session's path, where the
    // page lives and its cookie goes.
    const std::string at = "(?:" + session.path + ")?";
    const std::string dev = at + R"(/api/devices/([^/]+))";

    for (size_t i = 0; i < kAssetCount; ++i) {
        const Asset *a = &kAssets[i];
        const bool page = std::string(a->path) == "/";
        s.Get(page ? session.path + "/" : at + a->path, [this, a, page](const httplib::Request &req, httplib::Response &res) {
            // The address printed at start carries the token; the page then keeps its session's cookie.
            if (page && req.has_param("token") && !policy->token().empty())
                res.set_header("Set-Cookie", policy->sessionCookie());
            res.set_content(reinterpret_cast<const char *>(a->data), a->size, a->type);
        });
    }
    s.Get("/", [this](const httplib::Request &req, httplib::Response &res) {
        size_t query = req.target.find('?');
        res.set_redirect(session.path + "/" + (query == std::string::npos ? "" : req.target.substr(query)), 303);
    });
    s.Get(at + "/api", guarded([this](const httplib::Request &) {
        // The library's tables the page shows: nominal rates by code, the front-panel keys.
        Json rates = Json::array(), keys = Json::array();
        for (int code = 0; code < 16; ++code) rates.push_back(qolven_rate_samples_per_second(code));
        for (int i = 0; i < qolven_key_count(); ++i)
            keys.push_back({{"name", qolven_key_name(i)}, {"alias", qolven_key_alias(i)}});
        return Reply{200, Json{{"version", options.version}, {"devices", order},
                               {"simulated", static_cast<bool>(options.simulation)},
                               {"rates", rates}, {"keys", keys},
                               {"limits", {{"eventClients", options.maxEventClients},
                                           {"bodyBytes", options.maxBodyBytes}}}}};
    }));
    s.Get(at + "/api/devices", guarded([this](const httplib::Request &) {
        Json list = Json::array();
        for (const std::string &serial : order) list.push_back({{"serial", serial}});
        return Reply{200, list};
    }));
    s.Get(at + "/api/settings", guarded([this](const httplib::Request &) {
        Json list = Json::array();
        for (const SettingInfo &i : settingsTable()) {
            Json readTypes = Json::array(), writeTypes = Json::array();
            for (int t = 0; t <= 16; ++t) {
                if ((i.readTypes >> t) & 1) readTypes.push_back(t);
                if ((i.writeTypes >> t) & 1) writeTypes.push_back(t);
            }
            list.push_back({{"name", i.name}, {"indexed", i.indexed}, {"readTypes", readTypes},
                            {"writeTypes", writeTypes}, {"syntax", i.syntax}, {"meaning", i.meaning}});
        }
        return Reply{200, list};
    }));
    s.Get(dev, guarded([this](const httplib::Request &req) { return identity(device(req.matches[1])); }));
    s.Get(dev + "/reading", guarded([this, query](const httplib::Request &req) {
        return reading(device(req.matches[1]), static_cast<int>(query(req, "channel", 0, kMaxChannel, 0)));
    }));
    s.Post(dev + "/average", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return average(e, jsonBody(req, {"samples", "channel"}));
    }));
    s.Get(dev + "/settings", guarded([this, query](const httplib::Request &req) {
        return settingsList(device(req.matches[1]), static_cast<int>(query(req, "channel", 0, kMaxChannel, 0)));
    }));
    s.Get(dev + "/settings/([^/]+)", guarded([this, query](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        // The board type's table decides which points exist: the library checks.
        std::optional<long long> point;
        if (req.has_param("point")) point = query(req, "point", INT_MIN, INT_MAX, 0);
        return settingRead(e, req.matches[2], static_cast<int>(query(req, "channel", 0, kMaxChannel, 0)), point);
    }));
    s.Put(dev + "/settings/([^/]+)", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return settingWrite(e, req.matches[2], jsonBody(req, {"value", "channel", "point"}));
    }));
    s.Get(dev + "/calibration", guarded([this, query](const httplib::Request &req) {
        return calibrationRead(device(req.matches[1]), static_cast<int>(query(req, "channel", 0, kMaxChannel, 0)));
    }));
    s.Post(dev + "/calibration", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return calibrationWrite(e, jsonBody(req, {"points", "channel", "date", "check"}));
    }));
    s.Get(dev + "/stream", [this](const httplib::Request &req, httplib::Response &res) {
        auto it = devices.find(req.matches[1]);
        if (it == devices.end()) return send(res, failure(404, "no device with serial number \"" +
                                                                   std::string(req.matches[1]) + "\""));
        events(it->second, res);
    });
    s.Post(dev + "/stream/pong", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        Json body = jsonBody(req, {"client"});
        auto id = body.find("client");
        if (id == body.end() || !id->is_string()) throw BadRequest("client: expected the text the hello event gave");
        std::shared_ptr<EventClient> client = e.worker->events().find(id->get<std::string>());
        if (!client) return failure(404, "no live view \"" + id->get<std::string>() + "\" on this device");
        client->answered();
        return Reply{200, Json::object()};
    }));
    s.Put(dev + "/stream", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return streamSettings(e, jsonBody(req, {"rate", "channel"}));
    }));
    s.Post(dev + "/backup", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return copyPage(e, jsonBody(req, {"from", "to"}), true);
    }));
    s.Post(dev + "/restore", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return copyPage(e, jsonBody(req, {"from", "to"}), false);
    }));
    s.Post(dev + "/reset", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        jsonBody(req, {});
        return reset(e);
    }));
    s.Get(dev + "/display", guarded([this](const httplib::Request &req) { return display(device(req.matches[1])); }));
    s.Post(dev + "/keys/([^/]+)", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        jsonBody(req, {});
        return key(e, req.matches[2]);
    }));
    s.Put(dev + "/tare", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return setTare(e, jsonBody(req, {"channel", "count"}));
    }));
    s.Delete(dev + "/tare", guarded([this, query](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return clearTare(e, static_cast<int>(query(req, "channel", 0, kMaxChannel, 0)));
    }));
    s.Get(dev + "/simulation", guarded([this](const httplib::Request &req) { return simulationRead(device(req.matches[1])); }));
    s.Put(dev + "/simulation", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return simulation(e, jsonBody(req, {"offset", "amplitude", "period", "noise"}));
    }));
    // Recording (recording.cpp): into the folder the server was started in.
    char folder[4096];
    recording = std::make_unique<RecordingControl>(getcwd(folder, sizeof folder) ? folder : ".",
                                                   "qolven serve " + options.version);
    s.Get(at + "/api/recording", guarded([this, query](const httplib::Request &req) {
        return recording->status(query(req, "since", 0, 1LL << 53, 0));
    }));
    s.Post(at + "/api/recording", guarded([this](const httplib::Request &req) {
        std::vector<DeviceWorker *> workers;
        for (const std::string &serial : order) workers.push_back(devices.at(serial).worker.get());
        return recording->start(workers, jsonBody(req, {"file", "serials", "seconds", "rate", "tare"}));
    }));
    s.Post(at + "/api/recording/stop", guarded([this](const httplib::Request &req) {
        jsonBody(req, {});
        return recording->stop();
    }));
    s.Post(at + "/api/recording/mark", guarded([this](const httplib::Request &req) {
        return recording->mark(jsonBody(req, {"text"}));
    }));
    s.Post(at + "/api/recording/tare", guarded([this](const httplib::Request &req) {
        return recording->tare(jsonBody(req, {"serial"}));
    }));

    // Refused before any handler runs, so nothing reaches a device.
    s.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        // A request without Content-Length or Transfer-Encoding has no body (RFC 9112, 6.3);
        // cpp-httplib would wait for one until the client gave up ("POST .../reset" with
        // nothing after the head).  The request is the server's own, not a constant.
        if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding"))
            const_cast<httplib::Request &>(req).set_header("Content-Length", "0");
        std::string host = req.get_header_value("Host");
        if (!policy->hostAllowed(host)) {
            send(res, failure(403, "Host \"" + host + "\" is not this server's; open the address qolven serve printed"));
            return httplib::Server::HandlerResponse::Handled;
        }
        std::string origin = req.get_header_value("Origin");
        if (!policy->originAllowed(origin)) {
            send(res, failure(403, "requests from pages of \"" + origin + "\" are refused"));
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!policy->tokenAllowed(req.get_header_value("Authorization"), req.get_header_value("Cookie"),
                                  req.get_param_value("token"))) {
            // A person opening the page (a bookmark, a reload after a restart) reads a page, not JSON.
            if (req.method == "GET" && req.get_header_value("Accept").find("text/html") != std::string::npos) {
                res.status = 401;
                res.set_content(kTokenPage, "text/html");
                return httplib::Server::HandlerResponse::Handled;
            }
            send(res, failure(401, "missing or wrong token: open the address qolven serve printed (it ends in "
                                   "?token=...), or send the header Authorization: Bearer TOKEN"));
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        send(res, failure(res.status, reason(res.status)));
        return httplib::Server::HandlerResponse::Handled;
    }));
    s.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        send(res, failure(500, "internal error"));
    });
    s.set_default_headers({{"Cache-Control", "no-store"},
                           {"X-Content-Type-Options", "nosniff"},
                           {"X-Frame-Options", "DENY"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Content-Security-Policy",
                            "default-src 'self'; img-src 'self' data: blob:; frame-ancestors 'none'"}});
}

// ---- Server

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() { stop(); }

void Server::start() {
    prepare();
    serve();
}

void Server::prepare() {
    Impl &i = *impl_;
    const Options &o = i.options;
    if (i.port) throw std::runtime_error("the server is prepared already");
    if (o.port < 0 || o.port > 65535) throw std::runtime_error("--port: " + std::to_string(o.port) + " is outside 0..65535");
    if (o.bind.empty()) throw std::runtime_error("--bind: empty address");
    for (unsigned char c : o.bind)
        if (c < 0x21 || c > 0x7E) throw std::runtime_error("--bind: the address holds a control byte or a space");
    if (!isLoopback(o.bind) && o.token.empty())
        throw std::runtime_error("--bind " + o.bind + " reaches other machines: give a token (--token) or bind "
                                 "to 127.0.0.1");
    std::string problem = tokenProblem(o.token, isLoopback(o.bind));
    if (!problem.empty()) throw std::runtime_error("--token: " + problem);
    i.findDevices();
    i.http.set_payload_max_length(o.maxBodyBytes);
    // Idle connections wait without a thread, so they may stay for many requests.
    i.http.set_keep_alive_max_count(100);
    // cpp-httplib's default also sets SO_REUSEPORT, with which a second server on the
    // same port would silently share the requests with the first.
    i.http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    i.routes();
    errno = 0;
    int port = o.port;
    bool bound = port == 0 ? (port = i.http.bind_to_any_port(o.bind)) > 0 : i.http.bind_to_port(o.bind, port);
    if (!bound) {
        std::string why = errno ? std::strerror(errno) : "the address is not one of this machine's";
        throw std::runtime_error("cannot listen on " + o.bind + " port " + std::to_string(o.port) + ": " + why);
    }
    i.port = port;
    i.policy = std::make_unique<AccessPolicy>(hostsFor(o.bind), port, o.token, i.session);
}

void Server::serve() {
    Impl &i = *impl_;
    if (!i.port) throw std::runtime_error("the server must be prepared before it serves");
    if (i.listener.joinable()) return;
    const AccessPolicy *policy = i.policy.get();
    i.http.begin([policy](const RequestHead &head) {
        return policy->tokenAllowed(head.header("Authorization"), head.header("Cookie"), head.query("token"));
    });
    i.listener = std::thread([&i] { i.http.listen_after_bind(); });
    // stop() only reaches a server that runs: until then it would leave the listener in accept().
    for (int wait = 0; !i.http.is_running(); ++wait) {
        if (wait == 10000) throw std::runtime_error("the server did not start within 10 s");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void Server::stop() {
    Impl &i = *impl_;
    if (i.listener.joinable()) {
        for (auto &d : i.devices)
            d.second.worker->events().closeAll(eventFrame("closed", "{\"reason\":\"the server stops\"}"));
        i.http.stop();
        i.listener.join();
    }
    if (i.recording) i.recording->shutdown();  // the file closed whole, the devices given back
    i.http.finish();
    i.devices.clear();
}

int Server::port() const { return impl_->port; }

const std::string &Server::token() const { return impl_->options.token; }

std::string Server::url() const {
    const Impl &i = *impl_;
    std::string host = i.options.bind;
    if (isWildcard(host)) host = host == "::" ? "[::1]" : "127.0.0.1";
    else if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(i.port) + "/" + (i.options.token.empty() ? "" : "?token=" + i.options.token);
}

std::vector<std::string> Server::serials() const { return impl_->order; }

} // namespace qolven_server
