// `qolven serve`: the HTTP server of the browser page and the JSON API.
#ifndef QOLVEN_SERVER_SERVER_H
#define QOLVEN_SERVER_SERVER_H

#include "settings.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qolven_server {

// Changes the live signal of a virtual board (--simulate only): counts =
// offset + amplitude * sin(2 pi t / period) + noise.  False for an unknown board.
using SignalControl =
    std::function<bool(const std::string &serial, double offset, double amplitude, double periodS, double noise)>;
// The live signal in use of a virtual board; false for an unknown board.
using SignalReader =
    std::function<bool(const std::string &serial, double &offset, double &amplitude, double &periodS, double &noise)>;

struct Options {
    std::string bind = "127.0.0.1";
    int port = 8080;  // 0: any free port
    std::string token;  // empty: no token (refused unless bound to loopback); see tokenProblem()
    std::vector<std::string> serials;  // devices to serve; empty: every attached device
    unsigned char channel = 0;  // channel of the live stream at start
    SignalControl simulation;   // set only when the devices are virtual
    SignalReader simulationSignal;  // where the simulated bridge tells the signal in use
    size_t maxEventClients = 8; // live-view connections at once, all devices together
    size_t maxBodyBytes = 64 * 1024;
    std::string version;        // shown by GET /api
};

class Server {
public:
    explicit Server(Options options);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // prepare() and serve().
    void start();
    // Checks the options, finds the devices and binds the address: port() and
    // url() are known, nothing is answered yet.  Throws std::runtime_error with
    // the reason (bad address, port in use, missing or weak token).
    void prepare();
    // Starts answering requests.
    void serve();
    void stop();

    int port() const;
    const std::string &token() const;
    // The address to open, with the token.
    std::string url() const;
    std::vector<std::string> serials() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qolven_server

#endif
