// The server's side of its TCP connections.  One thread reads the head of every
// request on every connection, each within a deadline, without a thread per
// connection; complete requests go to one group of threads when they carry the
// token and to a small other group when they do not.  So clients without the
// token can neither hold threads by sending slowly nor keep those with it
// waiting.  Writes have a deadline, and the kernel keeps little for a client.
#ifndef QOLVEN_SERVER_CONNECTIONS_H
#define QOLVEN_SERVER_CONNECTIONS_H

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qolven_server {

// What is read of a request before choosing the threads that answer it.
struct RequestHead {
    std::string method, target;
    std::vector<std::pair<std::string, std::string>> headers;

    // The first header of that name (names compare in any case), as the handlers see it; "" when absent.
    std::string header(const std::string &name) const;
    // The first query parameter of that name, percent-decoded; "" when absent.
    std::string query(const std::string &name) const;
};

// "METHOD TARGET VERSION\r\n" and "Name: value\r\n" lines up to the empty one.
// False when `text` is not such a head.
bool parseRequestHead(const std::string &text, RequestHead &head);

struct ConnectionLimits {
    // From the start of the wait for a request (the connection accepted, or the
    // previous answer sent) until its head, and until its body, has arrived.
    std::chrono::milliseconds head{5000};
    std::chrono::milliseconds request{10000};
    // A client that cannot be sent anything for this long is dropped.  (Its
    // kernel may take megabytes first: whether the program reads, TCP does not
    // tell.  Live views answer pings for that.)
    std::chrono::milliseconds stall{5000};
    size_t trustedThreads = 16;    // requests with the token, live views among them
    size_t untrustedThreads = 2;   // the others: they get their refusal
    size_t untrustedQueue = 64;    // refusals waiting for a thread; beyond, the oldest is dropped
    size_t waiting = 512;          // connections waiting for a request head, at most
    size_t waitingPerPeer = 32;    // ... from one address (an IPv6 address: its /64)
    size_t headBytes = 32 * 1024;  // a longer head is dropped
    int sendBuffer = 32 * 1024;    // the kernel's send buffer of each connection
};

class GuardedServer : public httplib::Server {
public:
    // True when the request carries the token.  Only chooses the threads: the
    // handlers still check every request themselves.
    using Trusted = std::function<bool(const RequestHead &)>;

    explicit GuardedServer(ConnectionLimits limits);
    ~GuardedServer() override;
    GuardedServer(const GuardedServer &) = delete;
    GuardedServer &operator=(const GuardedServer &) = delete;

    // Before listening.
    void begin(Trusted trusted);
    // After stop(): ends the connections still open and waits for the threads.
    void finish();

private:
    bool process_and_close_socket(socket_t sock) override;

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qolven_server

#endif
