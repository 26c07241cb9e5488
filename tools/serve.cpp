// `qolven serve`: the browser page and the JSON API (server/).
#ifdef QOLVEN_WITH_SERVE
#include "backend.h"
#include "cli.h"
#include "security.h"
#include "server.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace qolven_tool {

int commandServe(Session &s, Output &) {
    const Options &o = *s.options;
    if (!o.arguments.empty()) throw usageError("usage: qolven serve [--port N] [--bind ADDRESS] [--token TOKEN]");
    qolven_server::Options options;
    options.port = static_cast<int>(o.integer("port", 8080));
    options.bind = o.text("bind", "127.0.0.1");
    options.token = o.has("token") ? o.text("token", "") : qolven_server::randomToken();
    options.channel = s.channel;
    if (o.has("serial")) options.serials = {o.text("serial", "")};
    options.version = qolven_version();
    if (o.simulate) {
        using SetSignal = int (*)(const char *, double, double, double, double);
        if (auto set = reinterpret_cast<SetSignal>(backendSymbol("qolven_sim_set_signal")))
            options.simulation = [set](const std::string &serial, double offset, double amplitude, double period,
                                       double noise) {
                return set(serial.c_str(), offset, amplitude, period, noise) == 0;
            };
        using GetSignal = int (*)(const char *, double *, double *, double *, double *);
        if (auto get = reinterpret_cast<GetSignal>(backendSymbol("qolven_sim_get_signal")))
            options.simulationSignal = [get](const std::string &serial, double &offset, double &amplitude,
                                             double &period, double &noise) {
                return get(serial.c_str(), &offset, &amplitude, &period, &noise) == 0;
            };
    }
    for (unsigned char c : options.bind)
        if (c < 0x21 || c > 0x7E) throw usageError("--bind: " + quote(options.bind) + " is not an address");
    if (options.token.empty() && !qolven_server::isLoopback(options.bind))
        throw usageError("--bind " + options.bind + " reaches other machines: give a token (--token) or bind to "
                         "127.0.0.1");
    std::string problem = qolven_server::tokenProblem(options.token, qolven_server::isLoopback(options.bind));
    if (!problem.empty()) throw usageError("--token: " + problem);
    qolven_server::Server server(options);
    try {
        server.prepare();
    } catch (const std::runtime_error &e) {
        throw Failure(kExitDevice, e.what());
    }
    std::string devices;
    for (const std::string &serial : server.serials()) devices += (devices.empty() ? "" : ", ") + serial;
    std::printf("qolven serve: %zu device%s%s%s\n", server.serials().size(), server.serials().size() == 1 ? "" : "s",
                devices.empty() ? "" : ": ", devices.c_str());
    if (options.token.empty())
        std::printf("qolven serve: no token: every program on this machine may use the devices\n");
    std::printf("Open %s\n(Ctrl-C stops the server)\n", server.url().c_str());
    // Without its address and token nobody could use the server: it answers
    // nothing until they are shown.
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        int error = errno;
        throw Failure(kExitWrite, std::string("cannot write standard output: ") +
                                      (error ? std::strerror(error) : "write error") +
                                      "; the server does not run without showing its address and token");
    }
    try {
        server.serve();
    } catch (const std::runtime_error &e) {
        throw Failure(kExitDevice, e.what());
    }
    while (!interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    server.stop();
    return kExitOk;
}

} // namespace qolven_tool

#else  // built without cpp-httplib

#include "cli.h"

namespace qolven_tool {

int commandServe(Session &, Output &) {
    throw Failure(kExitBackend, "this qolven was built without the server: cpp-httplib and nlohmann-json were "
                                "missing for its architecture (scripts/install-deps.sh installs them)");
}

} // namespace qolven_tool

#endif
