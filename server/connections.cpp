#include "connections.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace qolven_server {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

bool sameName(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// As httplib decodes query parameters: %XX escapes, '+' a space.
std::string percentDecoded(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string trimmed(const std::string &text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string addressText(const sockaddr_storage &a, int &port) {
    char text[INET6_ADDRSTRLEN] = {};
    port = 0;
    if (a.ss_family == AF_INET) {
        auto &v4 = reinterpret_cast<const sockaddr_in &>(a);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (a.ss_family == AF_INET6) {
        auto &v6 = reinterpret_cast<const sockaddr_in6 &>(a);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    return text;
}

// Whom the per-peer limit counts together: an IPv4 address, or the /64 of an
// IPv6 address (one host commonly has a whole /64).
std::string peerKey(socket_t fd) {
    sockaddr_storage a{};
    socklen_t size = sizeof a;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&a), &size) != 0) return "";
    if (a.ss_family == AF_INET6) {
        auto &v6 = reinterpret_cast<const sockaddr_in6 &>(a);
        if (!IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            in6_addr prefix = v6.sin6_addr;
            std::memset(prefix.s6_addr + 8, 0, 8);
            char text[INET6_ADDRSTRLEN] = {};
            inet_ntop(AF_INET6, &prefix, text, sizeof text);
            return std::string(text) + "/64";
        }
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, v6.sin6_addr.s6_addr + 12, text, sizeof text);
        return text;
    }
    int port;
    return addressText(a, port);
}

// Waits until `fd` is ready for `events` or `deadline` has passed; false then.
bool waitFor(socket_t fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p = {fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (n > 0) return true;  // errors and hang-ups too: the next call reports them
        if (n < 0 && errno != EINTR) return false;
    }
}

// One connection with what has been read from it.
struct Connection {
    explicit Connection(socket_t s) : fd(s) {}
    ~Connection() {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    socket_t fd;
    std::string peer;
    std::string buffer;   // received and not yet taken by the request parser
    size_t headEnd = 0;   // once the head is complete: its length in `buffer`
    bool trusted = false;
    Clock::time_point start;  // the wait for the current request began
    size_t served = 0;
};

// The request parser's view of a connection: first what the door read, then the
// socket; reads end at the request's deadline, a write when the client has taken
// nothing for a while.
class GuardedStream : public httplib::Stream {
public:
    GuardedStream(Connection &c, Clock::time_point readBy, milliseconds stall)
        : c_(c), readBy_(readBy), stall_(stall) {}

    bool is_readable() const override {
        return position_ < c_.buffer.size() || (!broken_ && waitFor(c_.fd, POLLIN, readBy_));
    }

    bool is_writable() const override { return !broken_ && !peerClosed(); }  // write() waits for room

    ssize_t read(char *ptr, size_t size) override {
        if (position_ < c_.buffer.size()) {
            size_t n = std::min(size, c_.buffer.size() - position_);
            std::memcpy(ptr, c_.buffer.data() + position_, n);
            position_ += n;
            return static_cast<ssize_t>(n);
        }
        while (!broken_) {
            if (!waitFor(c_.fd, POLLIN, readBy_)) break;
            ssize_t n = recv(c_.fd, ptr, size, MSG_DONTWAIT);
            if (n >= 0) {
                direct_ += static_cast<size_t>(n);
                return n;
            }
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) break;
        }
        broken_ = true;
        return -1;
    }

    ssize_t write(const char *ptr, size_t size) override {
        const Clock::time_point by = Clock::now() + stall_;
        while (!broken_) {
            ssize_t n = send(c_.fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(c_.fd, POLLOUT, by)) break;
        }
        broken_ = true;
        return -1;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        sockaddr_storage a{};
        socklen_t size = sizeof a;
        if (getpeername(c_.fd, reinterpret_cast<sockaddr *>(&a), &size) == 0) ip = addressText(a, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        sockaddr_storage a{};
        socklen_t size = sizeof a;
        if (getsockname(c_.fd, reinterpret_cast<sockaddr *>(&a), &size) == 0) ip = addressText(a, port);
    }
    socket_t socket() const override { return c_.fd; }

    bool broken() const { return broken_; }
    size_t bufferTaken() const { return position_; }
    size_t consumed() const { return position_ + direct_; }

private:
    bool peerClosed() const {
        pollfd p = {c_.fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return false;
        char byte;
        return recv(c_.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }

    Connection &c_;
    const Clock::time_point readBy_;
    const milliseconds stall_;
    size_t position_ = 0;  // of c_.buffer, taken
    size_t direct_ = 0;    // read from the socket itself
    mutable bool broken_ = false;
};

// httplib hands each accepted connection to its task queue; here that only
// passes it to the door, at once, on the listening thread.
class Handover : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

// A fixed group of threads answering the connections queued for them, oldest first.
class Pool {
public:
    using Work = std::function<void(std::unique_ptr<Connection>)>;

    void start(size_t threads, size_t maxQueued, Work work) {
        max_ = maxQueued;
        work_ = std::move(work);
        for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    }

    // When the queue is full its oldest connection is dropped to make room: a
    // flood then costs its own requests, not the newest ones.
    void post(std::unique_ptr<Connection> c) {
        std::unique_ptr<Connection> dropped;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (done_) return;
            if (max_ && queue_.size() >= max_) {
                dropped = std::move(queue_.front());
                queue_.pop_front();
            }
            queue_.push_back(std::move(c));
        }
        cv_.notify_one();
    }

    void finish() {
        std::deque<std::unique_ptr<Connection>> left;
        {
            std::lock_guard<std::mutex> lock(m_);
            done_ = true;
            left.swap(queue_);
        }
        cv_.notify_all();
        for (auto &t : threads_) t.join();
        threads_.clear();
    }

private:
    void run() {
        for (;;) {
            std::unique_ptr<Connection> c;
            {
                std::unique_lock<std::mutex> lock(m_);
                cv_.wait(lock, [this] { return done_ || !queue_.empty(); });
                if (done_) return;
                c = std::move(queue_.front());
                queue_.pop_front();
            }
            work_(std::move(c));
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<Connection>> queue_;
    std::vector<std::thread> threads_;
    size_t max_ = 0;
    bool done_ = false;
    Work work_;
};

} // namespace

// ---- request heads

std::string RequestHead::header(const std::string &name) const {
    for (const auto &h : headers)
        if (sameName(h.first, name)) return h.second;
    return "";
}

std::string RequestHead::query(const std::string &name) const {
    size_t mark = target.find('?');
    if (mark == std::string::npos) return "";
    size_t at = mark + 1;
    while (at <= target.size()) {
        size_t end = target.find('&', at);
        if (end == std::string::npos) end = target.size();
        std::string part = target.substr(at, end - at);
        size_t equals = part.find('=');
        if (percentDecoded(part.substr(0, equals)) == name)
            return equals == std::string::npos ? "" : percentDecoded(part.substr(equals + 1));
        at = end + 1;
    }
    return "";
}

bool parseRequestHead(const std::string &text, RequestHead &head) {
    head = RequestHead();
    size_t end = text.find("\r\n");
    if (end == std::string::npos) return false;
    const std::string line = text.substr(0, end);
    size_t first = line.find(' '), second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (first == 0 || second == std::string::npos || second == first + 1 || second + 1 >= line.size() ||
        line.find(' ', second + 1) != std::string::npos)
        return false;
    head.method = line.substr(0, first);
    head.target = line.substr(first + 1, second - first - 1);
    for (size_t at = end + 2; at < text.size();) {
        end = text.find("\r\n", at);
        if (end == std::string::npos) return false;
        if (end == at) return true;  // the empty line
        const std::string field = text.substr(at, end - at);
        size_t colon = field.find(':');
        if (colon == 0 || colon == std::string::npos || field.find_first_of(" \t") < colon) return false;
        head.headers.emplace_back(field.substr(0, colon), trimmed(field.substr(colon + 1)));
        at = end + 2;
    }
    return false;
}

// ---- the server

struct GuardedServer::Impl {
    Impl(GuardedServer &o, ConnectionLimits l) : owner(o), limits(l) {
        // Waiting connections hold descriptors: leave room for the rest of the program.
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
            limits.waiting = std::max<size_t>(8, std::min<size_t>(limits.waiting, files.rlim_cur / 2));
    }

    GuardedServer &owner;
    ConnectionLimits limits;
    Trusted trusted;

    int wakeRead = -1, wakeWrite = -1;
    std::mutex m;
    std::condition_variable idle;  // `serving` became empty
    std::vector<std::unique_ptr<Connection>> arriving;  // for the door: new, or back after an answer
    std::set<socket_t> serving;    // answered by a thread now
    bool started = false, closing = false;
    std::thread door;
    Pool trustedPool, untrustedPool;

    void arrive(std::unique_ptr<Connection> c) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (!started || closing) return;
            arriving.push_back(std::move(c));
        }
        char one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeWrite, &one, 1);  // a full pipe wakes the door as well
    }

    static bool headFound(Connection &c, size_t searchFrom, size_t maxBytes) {
        size_t at = c.buffer.find("\r\n\r\n", searchFrom);
        if (at == std::string::npos || at + 4 > maxBytes) return false;
        c.headEnd = at + 4;
        return true;
    }

    // Reads what has arrived.  False when the connection is to be dropped: closed,
    // failed, or a head longer than allowed.
    bool readHead(Connection &c) {
        char chunk[4096];
        for (;;) {
            ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                size_t from = c.buffer.size() < 3 ? 0 : c.buffer.size() - 3;
                c.buffer.append(chunk, static_cast<size_t>(n));
                if (headFound(c, from, limits.headBytes)) return true;
                if (c.buffer.size() >= limits.headBytes) return false;
                continue;
            }
            if (n == 0) return false;
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }

    void dispatch(std::unique_ptr<Connection> c) {
        RequestHead head;
        c->trusted = false;
        if (trusted && parseRequestHead(c->buffer.substr(0, c->headEnd), head)) {
            try {
                c->trusted = trusted(head);
            } catch (...) {
            }
        }
        (c->trusted ? trustedPool : untrustedPool).post(std::move(c));
    }

    // A new connection, or one back after its answer, starts waiting for a head.
    void admit(std::vector<std::unique_ptr<Connection>> &waiting, std::unique_ptr<Connection> c) {
        if (headFound(*c, 0, limits.headBytes)) return dispatch(std::move(c));
        if (c->buffer.size() >= limits.headBytes) return;
        // The oldest make room: a legitimate head arrives within moments, so a
        // flood of silent connections pushes out its own.
        auto oldest = [&](bool samePeer) {
            auto found = waiting.end();
            for (auto it = waiting.begin(); it != waiting.end(); ++it)
                if ((!samePeer || (*it)->peer == c->peer) && (found == waiting.end() || (*it)->start < (*found)->start))
                    found = it;
            return found;
        };
        size_t fromPeer = std::count_if(waiting.begin(), waiting.end(), [&](const auto &w) { return w->peer == c->peer; });
        if (fromPeer >= limits.waitingPerPeer && fromPeer > 0) waiting.erase(oldest(true));
        if (waiting.size() >= limits.waiting && !waiting.empty()) waiting.erase(oldest(false));
        waiting.push_back(std::move(c));
    }

    void doorLoop() {
        std::vector<std::unique_ptr<Connection>> waiting;
        std::vector<pollfd> fds;
        for (;;) {
            std::vector<std::unique_ptr<Connection>> incoming;
            {
                std::lock_guard<std::mutex> lock(m);
                if (closing) break;
                incoming.swap(arriving);
            }
            for (auto &c : incoming) admit(waiting, std::move(c));
            const Clock::time_point now = Clock::now();
            waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                         [&](const auto &c) { return now >= c->start + limits.head; }),
                          waiting.end());
            fds.assign(1, pollfd{wakeRead, POLLIN, 0});
            long long timeout = -1;
            for (const auto &c : waiting) {
                fds.push_back(pollfd{c->fd, POLLIN, 0});
                long long left = std::chrono::ceil<milliseconds>(c->start + limits.head - now).count();
                timeout = timeout < 0 ? left : std::min(timeout, left);
            }
            int ready = poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(timeout, 60000)));
            if (ready <= 0) continue;
            if (fds[0].revents) {
                char drain[64];
                while (::read(wakeRead, drain, sizeof drain) > 0) {
                }
            }
            for (size_t i = 0; i < waiting.size(); ++i) {
                if (!fds[i + 1].revents) continue;
                if (!readHead(*waiting[i])) waiting[i].reset();
                else if (waiting[i]->headEnd) dispatch(std::move(waiting[i]));
            }
            waiting.erase(std::remove(waiting.begin(), waiting.end(), nullptr), waiting.end());
        }
    }

    void serve(std::unique_ptr<Connection> c) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (closing) return;
            serving.insert(c->fd);
        }
        GuardedStream stream(*c, c->start + limits.request, limits.stall);
        // Body bytes the request announces; unknown (chunked) ones end the connection after it.
        std::optional<unsigned long long> body = 0;
        const bool last = !c->trusted || c->served + 1 >= owner.keep_alive_max_count_;
        bool closed = false;
        bool ok = owner.process_request(stream, last, closed, [&body](httplib::Request &req) {
            std::string length = req.get_header_value("Content-Length");
            char *end = nullptr;
            if (req.has_header("Transfer-Encoding")) body.reset();
            else if (!length.empty()) body = std::strtoull(length.c_str(), &end, 10);
            if (end && *end) body.reset();
        });
        {
            std::lock_guard<std::mutex> lock(m);
            serving.erase(c->fd);
            if (serving.empty()) idle.notify_all();
        }
        ++c->served;
        // Keep the connection only where the next request starts at a known place.
        if (!ok || closed || last || stream.broken() || !body || stream.consumed() != c->headEnd + *body) return;
        c->buffer.erase(0, stream.bufferTaken());
        c->headEnd = 0;
        c->start = Clock::now();
        arrive(std::move(c));
    }
};

GuardedServer::GuardedServer(ConnectionLimits limits) : impl_(std::make_unique<Impl>(*this, limits)) {
    new_task_queue = [] { return new Handover; };
    set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits.head).count());
}

GuardedServer::~GuardedServer() { finish(); }

void GuardedServer::begin(Trusted trusted) {
    Impl &i = *impl_;
    if (i.started) return;
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    i.wakeRead = ends[0];
    i.wakeWrite = ends[1];
    // httplib listens with a backlog of 5: a burst of connections would wait
    // for their SYNs to be sent again, a second and more.
    if (svr_sock_ != INVALID_SOCKET) ::listen(svr_sock_, SOMAXCONN);
    i.trusted = std::move(trusted);
    i.started = true;
    i.trustedPool.start(i.limits.trustedThreads, 0, [&i](std::unique_ptr<Connection> c) { i.serve(std::move(c)); });
    i.untrustedPool.start(i.limits.untrustedThreads, i.limits.untrustedQueue,
                          [&i](std::unique_ptr<Connection> c) { i.serve(std::move(c)); });
    i.door = std::thread([&i] { i.doorLoop(); });
}

void GuardedServer::finish() {
    Impl &i = *impl_;
    // httplib closes the listening socket only when it stops listening: one that
    // was bound and never listened on is closed here.
    if (!is_running()) {
        socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
        if (sock != INVALID_SOCKET) ::close(sock);
    }
    {
        std::unique_lock<std::mutex> lock(i.m);
        if (!i.started || i.closing) return;
        i.closing = true;
        // Answers under way (a live view's last words) get a moment to go out.
        i.idle.wait_for(lock, std::chrono::seconds(1), [&i] { return i.serving.empty(); });
        for (socket_t fd : i.serving) ::shutdown(fd, SHUT_RDWR);
    }
    char one = 1;
    [[maybe_unused]] ssize_t n = ::write(i.wakeWrite, &one, 1);
    i.door.join();
    i.trustedPool.finish();
    i.untrustedPool.finish();
    {
        std::lock_guard<std::mutex> lock(i.m);
        i.arriving.clear();
    }
    ::close(i.wakeRead);
    ::close(i.wakeWrite);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    auto c = std::make_unique<Connection>(sock);
    c->peer = peerKey(sock);
    c->start = Clock::now();
    // Little kept in the kernel for a client: one that stops reading is noticed soon.
    int size = impl_->limits.sendBuffer;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    impl_->arrive(std::move(c));
    return true;
}

} // namespace qolven_server
