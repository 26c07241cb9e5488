// `qolven publish`: the boards of this machine on an MQTT broker (tools/publish/).
#include "cli.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace qolven_tool {

using Kind = OptionSpec::Kind;

std::vector<OptionSpec> publishOptions() {
    return {
        {"broker", Kind::Text, "URL", "mqtt://HOST[:PORT] (1883), or mqtts://HOST[:PORT] (8883) for TLS"},
        {"all", Kind::Flag, "", "every device attached at the start"},
        {"rate", Kind::Integer, "CODE", "sampling-rate code of the fast data (default: the board's own)", 0, 15},
        {"no-stream", Kind::Flag, "", "no fast data, readings only (a stream-start command may start it)"},
        {"reading-interval", Kind::Integer, "MS", "milliseconds between two readings; 0: none (default 1000)", 0,
         86400000},
        {"block-interval", Kind::Integer, "MS", "milliseconds of fast data in one message (default 100)", 10, 10000},
        {"site", Kind::Text, "NAME", "this machine's level in the topics (default: the host name)"},
        {"queue-dir", Kind::Text, "DIR", "where fast data waits while the broker is away\n"
                                         "(default: $XDG_STATE_HOME/qolven/publish)"},
        {"queue-limit", Kind::Integer, "BLOCKS", "fast-data blocks waiting at most, per board (default 3600)", 1,
         1000000},
        {"commands", Kind::Flag, "", "take commands from the broker: tare, clear-tare, stream-start,\n"
                                     "stream-stop, and set for the parameters of --allow"},
        {"allow", Kind::Text, "NAMES", "parameters commands may set, separated by commas"},
        {"load-limits", Kind::Text, "LOW,HIGH", "an event whenever the load leaves or re-enters LOW..HIGH"},
        {"user", Kind::Text, "NAME", "user name at the broker"},
        {"password-file", Kind::Text, "FILE", "file whose first line is the password (else QOLVEN_MQTT_PASSWORD)"},
        {"ca-file", Kind::Text, "FILE", "certificates (PEM) that may sign the broker's (default: the system's)"},
        {"cert", Kind::Text, "FILE", "this client's certificate (PEM), with --key"},
        {"key", Kind::Text, "FILE", "its private key (PEM)"},
        {"seconds", Kind::Real, "S", "stop after S seconds (default: at Ctrl-C)", 0, 1e9, true},
    };
}

std::string publishDetails() {
    return "\nEach board gets its own thread and broker connection; topics lie under\n"
           "qolven/v1/SITE/SERIAL/ (identity, state, reading, fast, event, command): mqtt.md in the\n"
           "documentation.  --serial S1 S2 ... names several boards.  The password never goes on the\n"
           "command line.  Ctrl-C sends what was gathered, sets the state to offline and stops.\n";
}

} // namespace qolven_tool

#ifdef QOLVEN_WITH_PUBLISH

#include "publish.h"

#include <qolven.h>

#include <unistd.h>

#include <cmath>

namespace qolven_tool {

namespace {

using namespace qolven_publish;

std::vector<std::string> commaList(const std::string &text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t first = item.find_first_not_of(' '), last = item.find_last_not_of(' ');
        item = first == std::string::npos ? "" : item.substr(first, last - first + 1);
        if (!item.empty()) items.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

double limitValue(const std::string &text) {
    char *end = nullptr;
    double value = text.empty() ? 0 : std::strtod(text.c_str(), &end);
    if (!end || *end != 0 || !std::isfinite(value))
        throw usageError("--load-limits: " + quote(text) + " is not a number (give LOW,HIGH)");
    return value;
}

std::string defaultQueueDir() {
    const char *xdg = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    std::string dir = xdg && *xdg ? std::string(xdg) : std::string(home ? home : ".") + "/.local/state";
    return dir + "/qolven/publish";
}

Settings settingsFrom(const Session &s) {
    const Options &o = *s.options;
    Settings st;
    if (!o.has("broker")) throw usageError("publish needs --broker mqtt://HOST[:PORT]");
    try {
        st.broker = parseBrokerUrl(o.text("broker", ""));
    } catch (const SettingsError &e) {
        throw usageError(e.what());
    }
    if (o.has("serial")) {
        st.serials.push_back(o.text("serial", ""));
        for (const std::string &more : o.arguments) {
            if (more.empty() || more.size() > 15)
                throw usageError("serial " + quote(more) + ": a serial number has 1 to 15 bytes");
            st.serials.push_back(more);
        }
    } else if (!o.arguments.empty()) {
        throw usageError("publish: unexpected " + quote(o.arguments.front()) + " (serial numbers follow --serial)");
    }
    st.all = o.has("all");
    if (st.all && o.has("serial")) throw usageError("--all and --serial exclude each other");
    st.channel = s.channel;
    st.stream = !o.has("no-stream");
    if (!st.stream && o.has("rate")) throw usageError("--rate is for fast data, which --no-stream leaves out");
    st.rateCode = static_cast<int>(o.integer("rate", -1));
    st.readingIntervalMs = static_cast<int>(o.integer("reading-interval", 1000));
    st.blockIntervalMs = static_cast<int>(o.integer("block-interval", 100));
    if (o.has("site")) {
        st.site = o.text("site", "");
        std::string problem = siteProblem(st.site);
        if (!problem.empty()) throw usageError("--site: " + problem);
    } else {
        char host[256] = "";
        gethostname(host, sizeof host - 1);
        st.site = topicLevel(host[0] ? host : "localhost");
    }
    st.queueDir = o.has("queue-dir") ? o.text("queue-dir", "") : defaultQueueDir();
    st.queueLimit = static_cast<int>(o.integer("queue-limit", 3600));
    st.commands = o.has("commands");
    st.allowed = commaList(o.text("allow", ""));
    if (o.has("allow") && st.allowed.empty()) throw usageError("--allow: give parameter names separated by commas");
    if (o.has("load-limits")) {
        std::vector<std::string> limits = commaList(o.text("load-limits", ""));
        if (limits.size() != 2) throw usageError("--load-limits: give LOW,HIGH");
        st.loadLimits = true;
        st.lowLimit = limitValue(limits[0]);
        st.highLimit = limitValue(limits[1]);
    }
    st.user = o.text("user", "");
    try {
        if (o.has("password-file")) {
            st.password = readPasswordFile(o.text("password-file", ""));
        } else if (const char *password = std::getenv("QOLVEN_MQTT_PASSWORD")) {
            st.password = password;
        }
    } catch (const SettingsError &e) {
        throw usageError(e.what());
    }
    st.caFile = o.text("ca-file", "");
    st.certFile = o.text("cert", "");
    st.keyFile = o.text("key", "");
    st.stopSignal = interrupted;
    return st;
}

} // namespace

int commandPublish(Session &s, Output &out) {
    const Options &o = *s.options;
    Settings settings = settingsFrom(s);
    Log log(stderr);
    Fleet fleet(settings, log);
    try {
        fleet.start();
    } catch (const SettingsError &e) {
        throw usageError(e.what());
    } catch (const StartFailure &e) {
        throw Failure(e.status == QOLVEN_NO_DEVICE ? kExitNoDevice : kExitDevice, e.what());
    }
    std::string serials;
    for (const std::string &serial : fleet.serials()) serials += (serials.empty() ? "" : ", ") + printable(serial);
    std::printf("qolven publish: %zu board%s (%s) to %s under qolven/v1/%s/ (Ctrl-C stops)\n", fleet.serials().size(),
                fleet.serials().size() == 1 ? "" : "s", serials.c_str(), settings.broker.text().c_str(),
                settings.site.c_str());
    std::fflush(stdout);
    const auto started = std::chrono::steady_clock::now();
    const double seconds = o.real("seconds", 0);
    while (!interrupted() &&
           (seconds <= 0 || std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() < seconds))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    fleet.stop();
    for (const BoardSummary &b : fleet.summaries()) {
        if (out.json()) {
            out.list("boards").push_back({{"serial", b.serial},
                                          {"blocks", b.blocks},
                                          {"samples", b.samples},
                                          {"dropped_samples", b.droppedSamples},
                                          {"lost", b.lost},
                                          {"readings", b.readings},
                                          {"events", b.events}});
        } else {
            std::printf("%s blocks %llu samples %llu dropped %llu lost %llu readings %llu\n", printable(b.serial).c_str(),
                        static_cast<unsigned long long>(b.blocks), static_cast<unsigned long long>(b.samples),
                        static_cast<unsigned long long>(b.droppedSamples), static_cast<unsigned long long>(b.lost),
                        static_cast<unsigned long long>(b.readings));
        }
    }
    return kExitOk;
}

} // namespace qolven_tool

#else  // built without the MQTT client

namespace qolven_tool {

int commandPublish(Session &, Output &) {
    throw Failure(kExitBackend, "this qolven was built without publish: the Eclipse Paho MQTT client "
                                "(libpaho-mqtt-dev) was missing for its architecture (scripts/install-deps.sh "
                                "installs it)");
}

} // namespace qolven_tool

#endif
