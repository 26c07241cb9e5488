// qolven-sim-board: one virtual board of the simulated bridge, served on a byte stream.
//
// QEMU's emulated FTDI chip (-chardev socket,...,reconnect=1 -device usb-serial,...)
// connects to the socket this program listens on and passes the guest's bytes through
// unchanged.  QEMU sends what it gets at once (it models neither the chip's latency
// timer nor baud-rate pacing), so the board's own timing -- answer delay, fast-data
// sample clock, reset and completion delays -- comes from here: every answer leaves at
// the time the board model gives it, as the simulated bridge makes it visible then.
//
// A board power cycle closes the connection and the listening socket for --off-ms
// (QEMU sees the device unplugged and reconnects); SIGHUP asks for one, SIGTERM or
// SIGINT stop the program.
#include "sim_internal.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace qolven_sim;
using namespace qolven_sim::detail;

constexpr int kExitFailure = 1, kExitUsage = 2;
// Bytes that never frame are handed to the board at this length at the latest.
constexpr size_t kMaxPendingBytes = 64 * 1024;

const char kUsage[] =
    "usage: qolven-sim-board [DESCRIPTION...] (--socket PATH | --port N) [options]\n"
    "\n"
    "Serves one virtual board of the simulated bridge on a Unix socket or a TCP port of\n"
    "127.0.0.1, for QEMU's emulated FTDI chip:\n"
    "  qemu-system-x86_64 ... -chardev socket,id=c0,path=PATH,reconnect=1 \\\n"
    "      -device usb-serial,bus=xhci.0,chardev=c0,serial=QV0001\n"
    "\n"
    "DESCRIPTION  one board in the grammar of `qolven --simulate` (words are joined with\n"
    "             spaces), e.g. type=9 serial=QV0001 delay_us=1500 fault=late,fault_every=10;\n"
    "             default: serial SIM0001, board type 2\n"
    "--socket PATH      listen on this Unix socket (a stale socket there is replaced)\n"
    "--port N           listen on 127.0.0.1:N (0: a free port, printed)\n"
    "--state FILE       the boards' state file of the simulated bridge: stored registers are\n"
    "                   loaded from it and every write is saved to it before its answer\n"
    "--off-ms N         how long a power cycle keeps the board off (default 1000)\n"
    "--frame-gap-ms N   bytes that do not form a request go to the board after this long\n"
    "                   without a byte, as one malformed request (default 50)\n"
    "\n"
    "Prints \"listening on unix:PATH\" or \"listening on tcp:127.0.0.1:PORT\" on stdout each\n"
    "time the board is switched on.  SIGHUP: power cycle.  SIGTERM, SIGINT: stop.\n";

struct Options {
    std::string description;
    std::string socketPath;
    long port = -1;
    std::string stateFile;
    long offMs = 1000;
    long gapMs = 50;
};

struct UsageError {
    std::string message;
};

long number_option(const char *name, const char *text, long low, long high) {
    long v = 0;
    const char *end = text + std::strlen(text);
    auto r = std::from_chars(text, end, v);
    if (r.ec != std::errc() || r.ptr != end || *text == '\0')
        throw UsageError{std::string("--") + name + ": " + quoted(text) + " is not a whole number"};
    if (v < low || v > high)
        throw UsageError{std::string("--") + name + ": " + text + " is outside " + std::to_string(low) + ".." +
                         std::to_string(high)};
    return v;
}

Options parse_options(int argc, char **argv, bool &help) {
    static const option longOptions[] = {
        {"socket", required_argument, nullptr, 's'}, {"port", required_argument, nullptr, 'p'},
        {"state", required_argument, nullptr, 'S'},  {"off-ms", required_argument, nullptr, 'o'},
        {"frame-gap-ms", required_argument, nullptr, 'g'}, {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    Options o;
    help = false;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
        switch (c) {
        case 's':
            if (!*optarg) throw UsageError{"--socket: the path is empty"};
            o.socketPath = optarg;
            break;
        case 'p': o.port = number_option("port", optarg, 0, 65535); break;
        case 'S':
            if (!*optarg) throw UsageError{"--state: the path is empty"};
            o.stateFile = optarg;
            break;
        case 'o': o.offMs = number_option("off-ms", optarg, 0, 3600000); break;
        case 'g': o.gapMs = number_option("frame-gap-ms", optarg, 1, 60000); break;
        case 'h': help = true; return o;
        default:
            throw UsageError{"unknown option " + quoted(optind > 0 && optind <= argc ? argv[optind - 1] : "?")};
        }
    }
    for (int i = optind; i < argc; ++i) o.description += (o.description.empty() ? "" : " ") + std::string(argv[i]);
    if (o.socketPath.empty() == (o.port < 0)) throw UsageError{"give either --socket PATH or --port N"};
    if (!o.socketPath.empty() && o.socketPath.size() >= sizeof(sockaddr_un::sun_path))
        throw UsageError{"--socket: the path has " + std::to_string(o.socketPath.size()) + " bytes (at most " +
                         std::to_string(sizeof(sockaddr_un::sun_path) - 1) + ")"};
    return o;
}

DeviceDescription parse_board(const std::string &text) {
    if (text.empty()) return DeviceDescription();
    std::vector<DeviceDescription> devices;
    std::string why;
    if (!parse_description(text, devices, &why)) throw UsageError{"the board's description: " + why};
    if (devices.size() != 1)
        throw UsageError{"the board's description: describe one board, not " + std::to_string(devices.size())};
    return devices[0];
}

// ---- signals reach the loop through a pipe
int gSignalPipe[2] = {-1, -1};

extern "C" void on_signal(int sig) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t ignored = ::write(gSignalPipe[1], &b, 1);
    (void)ignored;
    errno = saved;
}

bool set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string system_error(const std::string &what) { return what + ": " + std::strerror(errno); }

// The listening socket, opened at each power-on and closed at each power-off.
class Listener {
public:
    explicit Listener(const Options &o) : path_(o.socketPath), port_(o.port) {}
    ~Listener() { close(); }
    int fd() const { return fd_; }
    std::string address() const {
        return path_.empty() ? "tcp:127.0.0.1:" + std::to_string(port_) : "unix:" + path_;
    }

    bool open(std::string &why) {
        return path_.empty() ? open_tcp(why) : open_unix(why);
    }
    void close() {
        if (fd_ < 0) return;
        ::close(fd_);
        fd_ = -1;
        if (!path_.empty()) ::unlink(path_.c_str());
    }

private:
    bool open_unix(std::string &why) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path_.data(), path_.size());
        struct stat info;
        if (::lstat(path_.c_str(), &info) == 0) {
            if (!S_ISSOCK(info.st_mode)) return why = quoted(path_, 200) + " exists and is not a socket", false;
            // A socket nobody listens on is what an earlier run left behind.
            int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
            if (probe >= 0) ::close(probe);
            if (live) return why = "another program listens on " + quoted(path_, 200), false;
            ::unlink(path_.c_str());
        }
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return why = system_error("socket"), false;
        // Only the user who runs the board may connect.
        mode_t mask = ::umask(077);
        int bound = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::umask(mask);
        if (bound != 0 || ::listen(fd, 4) != 0) {
            why = system_error("cannot listen on " + quoted(path_, 200));
            ::close(fd);
            return false;
        }
        set_nonblocking(fd);
        fd_ = fd;
        return true;
    }
    bool open_tcp(std::string &why) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return why = system_error("socket"), false;
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        socklen_t len = sizeof addr;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            why = system_error("cannot listen on 127.0.0.1:" + std::to_string(port_));
            ::close(fd);
            return false;
        }
        port_ = ntohs(addr.sin_port);  // a power-on comes back on the port chosen the first time
        set_nonblocking(fd);
        fd_ = fd;
        return true;
    }

    std::string path_;
    long port_;
    int fd_ = -1;
};

// The board and its two sides of the stream.
class BoardServer {
public:
    BoardServer(Device &d, std::chrono::milliseconds gap) : d_(d), gap_(gap) {}

    // Bytes from the host.  Whole requests go to the board as soon as they are complete;
    // bytes that do not form one wait for a quiet gap and then go together, as one write
    // of the simulated bridge does (one malformed-request report).
    void receive(const uint8_t *p, size_t n, TimePoint now) {
        pending_.insert(pending_.end(), p, p + n);
        lastByte_ = now;
        size_t pos = 0;
        while (pending_.size() - pos >= 2) {
            size_t size = pending_[pos + 1];
            if (size < 4 || pending_.size() - pos < size || pending_[pos + size - 1] != 0xAA) break;
            feed(std::vector<uint8_t>(pending_.begin() + pos, pending_.begin() + pos + size), now);
            pos += size;
        }
        pending_.erase(pending_.begin(), pending_.begin() + pos);
        if (pending_.size() > kMaxPendingBytes) flush(now);
    }
    void flush_if_quiet(TimePoint now) {
        if (!pending_.empty() && now - lastByte_ >= gap_) flush(now);
    }

    // Sends the answers that are due; false when the peer has gone.
    bool send_due(int fd, TimePoint now) {
        blocked_ = false;
        while (!d_.rx.empty() && d_.rx.front().visibleAt <= now) {
            RxChunk &c = d_.rx.front();
            ssize_t n = ::send(fd, c.bytes.data() + c.consumed, c.remaining(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return blocked_ = true, true;
            if (n < 0) return false;
            c.consumed += static_cast<size_t>(n);
            d_.rxBytes -= static_cast<size_t>(n);
            if (c.remaining() == 0) d_.rx.pop_front();
        }
        return true;
    }
    bool blocked() const { return blocked_; }

    // The earliest time something is to be done: an answer to send, bytes to give up on.
    std::optional<TimePoint> deadline() const {
        std::optional<TimePoint> t;
        if (!blocked_ && !d_.rx.empty()) t = d_.rx.front().visibleAt;
        if (!pending_.empty()) {
            TimePoint g = lastByte_ + gap_;
            if (!t || g < *t) t = g;
        }
        return t;
    }

    // The connection ended: what was on its way in either direction is lost.
    void drop_stream() {
        pending_.clear();
        d_.rx.clear();
        d_.rxBytes = 0;
        blocked_ = false;
    }

private:
    void flush(TimePoint now) {
        std::vector<uint8_t> bytes;
        bytes.swap(pending_);
        feed(bytes, now);
    }
    void feed(const std::vector<uint8_t> &bytes, TimePoint now) {
        board_receive(d_, bytes, now);
        for (const std::string &line : d_.diagnostics) std::fprintf(stderr, "qolven-sim-board: %s\n", line.c_str());
        d_.diagnostics.clear();
    }

    Device &d_;
    Clock::duration gap_;
    std::vector<uint8_t> pending_;
    TimePoint lastByte_;
    bool blocked_ = false;
};

// The stored registers come from the state file and go back to it, as for a device the
// simulated bridge opens: the device's lock file is held as long as the board runs.
bool use_state(Device &d, const std::string &path, std::string &why) {
    std::shared_ptr<StateFile> file = StateFile::create(path, &why);
    if (!file) return false;
    std::string damage;
    if (!file->check(&damage)) std::fprintf(stderr, "qolven-sim-board: %s\n", damage.c_str());
    bool busy = false;
    int fd = file->lock_device(d.cfg.serial, &busy, &why);
    if (fd < 0) {
        if (busy)
            why = "board " + quoted(d.cfg.serial) + " is open in another process (state file " + quoted(path, 200) + ")";
        return false;
    }
    if (!file->load_device(d.cfg.serial, d.st, &why)) {
        ::close(fd);
        return false;
    }
    d.lockFd = fd;
    d.state = file;
    return true;
}

void wait_until(std::vector<pollfd> &fds, std::optional<TimePoint> deadline) {
    timespec ts{}, *timeout = nullptr;
    if (deadline) {
        auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        timeout = &ts;
    }
    for (auto &p : fds) p.revents = 0;
    if (::ppoll(fds.data(), fds.size(), timeout, nullptr) < 0 && errno != EINTR) {
        std::perror("qolven-sim-board: ppoll");
        ::usleep(1000);
    }
}

int serve(const Options &o, Device &d) {
    Listener listener(o);
    BoardServer server(d, std::chrono::milliseconds(o.gapMs));
    const std::string &serial = d.cfg.serial;
    int conn = -1;
    bool stop = false;
    std::optional<TimePoint> offUntil = Clock::now();  // switched on at once

    auto hang_up = [&]() {
        if (conn >= 0) ::close(conn);
        conn = -1;
        server.drop_stream();
    };

    while (!stop) {
        TimePoint now = Clock::now();
        if (offUntil && now >= *offUntil) {
            std::string why;
            if (!listener.open(why)) {
                std::fprintf(stderr, "qolven-sim-board: %s\n", why.c_str());
                return kExitFailure;
            }
            offUntil.reset();
            power_up(d, now);
            std::printf("listening on %s\n", listener.address().c_str());
            std::fflush(stdout);
        }
        if (conn >= 0) {
            server.flush_if_quiet(now);
            if (!server.send_due(conn, now)) {
                std::fprintf(stderr, "qolven-sim-board: %s: connection lost: %s\n", serial.c_str(), std::strerror(errno));
                hang_up();
            }
        }

        std::vector<pollfd> fds{{gSignalPipe[0], POLLIN, 0}};
        if (listener.fd() >= 0) fds.push_back({listener.fd(), POLLIN, 0});
        if (conn >= 0) fds.push_back({conn, static_cast<short>(POLLIN | (server.blocked() ? POLLOUT : 0)), 0});
        std::optional<TimePoint> deadline = conn >= 0 ? server.deadline() : std::nullopt;
        if (offUntil && (!deadline || *offUntil < *deadline)) deadline = offUntil;
        wait_until(fds, deadline);
        now = Clock::now();

        if (fds[0].revents & POLLIN) {
            unsigned char sigs[16];
            ssize_t n = ::read(gSignalPipe[0], sigs, sizeof sigs);
            for (ssize_t i = 0; i < n; ++i) {
                if (sigs[i] == SIGHUP && !offUntil) {
                    std::fprintf(stderr, "qolven-sim-board: %s: power cycle, off for %ld ms\n", serial.c_str(), o.offMs);
                    hang_up();
                    listener.close();
                    offUntil = Clock::now() + std::chrono::milliseconds(o.offMs);
                } else if (sigs[i] == SIGTERM || sigs[i] == SIGINT) {
                    stop = true;
                }
            }
            if (stop || offUntil) continue;
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == listener.fd()) {
                int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) continue;
                if (conn >= 0) {
                    // The board has one serial line.
                    std::fprintf(stderr, "qolven-sim-board: %s: a second connection refused\n", serial.c_str());
                    ::close(fd);
                    continue;
                }
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
                conn = fd;
                server.drop_stream();
                std::fprintf(stderr, "qolven-sim-board: %s: connected\n", serial.c_str());
            } else if (fds[i].fd == conn) {
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    uint8_t buf[4096];
                    ssize_t n = ::recv(conn, buf, sizeof buf, 0);
                    if (n > 0) {
                        server.receive(buf, static_cast<size_t>(n), now);
                    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                        std::fprintf(stderr, "qolven-sim-board: %s: disconnected\n", serial.c_str());
                        hang_up();
                    }
                }
            }
        }
    }
    hang_up();
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    DeviceDescription description;
    try {
        bool help = false;
        o = parse_options(argc, argv, help);
        if (help) return std::fputs(kUsage, stdout), 0;
        description = parse_board(o.description);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "qolven-sim-board: %s\n\n%s", e.message.c_str(), kUsage);
        return kExitUsage;
    }

    DevicePtr d = make_device(description);
    d->reportError = [](const std::string &why) { std::fprintf(stderr, "qolven-sim-board: %s\n", why.c_str()); };
    std::string why;
    if (!o.stateFile.empty() && !use_state(*d, o.stateFile, why)) {
        std::fprintf(stderr, "qolven-sim-board: %s\n", why.c_str());
        return kExitFailure;
    }

    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return std::perror("qolven-sim-board: pipe"), kExitFailure;
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGHUP, SIGTERM, SIGINT}) ::sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return serve(o, *d);
}
