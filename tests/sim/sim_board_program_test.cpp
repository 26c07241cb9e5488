// qolven-sim-board: the virtual board on a socket, driven as QEMU's emulated FTDI chip
// drives it.  Exact answer bytes, the board's timing (tolerant bounds), requests split or
// back to back, bytes that do not frame, faults, the state file, power cycles, TCP, and
// refused command lines.
#include "sim_test_util.h"

#include "qolven_sim_c.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace simtest;
namespace sim = qolven_sim;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The program in a process of its own; stdout is read line by line, stderr goes to a file.
class BoardProgram {
public:
    BoardProgram(const std::string &args, const std::string &errFile) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) dup2(err, 2);
            close(out[0]);
            std::string cmd = std::string("exec ") + SIM_EMULATOR + " " + SIM_BOARD_PROGRAM + " " + args;
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~BoardProgram() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    // The next line of stdout ("" after the time-out or at its end).
    std::string line(int timeoutMs = 10000) {
        std::string s;
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char c;
            if (read(out_, &c, 1) != 1) break;
            if (c == '\n') return s;
            s += c;
        }
        return "";
    }
    void signal(int sig) { kill(pid_, sig); }
    // Exit code, or -1 when it did not end in time.
    int wait(int timeoutMs = 10000) {
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (status_ < 0 && Clock::now() < end) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            else sleep_ms(10);
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
};

int connect_unix(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return fd;
    close(fd);
    return -1;
}

void send_bytes(int fd, const Bytes &b) { ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }

// Reads until `n` bytes came, the peer closed or the time is up.
Bytes receive(int fd, size_t n, int timeoutMs = 3000) {
    Bytes out;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        uint8_t buf[512];
        ssize_t got = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

// True when the peer closes the connection within the time.
bool closed_by_peer(int fd, int timeoutMs = 3000) {
    pollfd p{fd, POLLIN, 0};
    uint8_t b;
    return poll(&p, 1, timeoutMs) == 1 && recv(fd, &b, 1, 0) == 0;
}

class SimBoardProgram : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/qsb_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        socketPath = dir + "/board.sock";
        errFile = dir + "/stderr";
    }
    void TearDown() override {
        for (int fd : fds) close(fd);
        program.reset();
        std::system(("rm -rf " + dir).c_str());
    }
    // Starts the program on this test's socket; true once it listens.
    bool start(const std::string &args) {
        program = std::make_unique<BoardProgram>(args + " --socket " + socketPath, errFile);
        return program->line() == "listening on unix:" + socketPath;
    }
    int client() {
        int fd = connect_unix(socketPath);
        if (fd >= 0) fds.push_back(fd);
        return fd;
    }
    std::string errors() {
        std::ifstream in(errFile);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir, socketPath, errFile;
    std::unique_ptr<BoardProgram> program;
    std::vector<int> fds;
};

const Bytes kIdentify = {1, 4, 0x44, 0xAA};
const Bytes kIdentity = {1, 8, 0x44, 2, 1, 4, 0xB1, 0xAA};  // type 2, hw 1, fw 4, date 11/1

TEST_F(SimBoardProgram, AnswersAfterTheBoardsDelay) {
    ASSERT_TRUE(start("type=2 serial=QV0001 delay_us=30000"));
    int fd = client();
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 3; ++i) {
        auto t0 = Clock::now();
        send_bytes(fd, kIdentify);
        EXPECT_EQ(receive(fd, kIdentity.size()), kIdentity);
        double ms = ms_since(t0);
        EXPECT_GE(ms, 29.5);
        EXPECT_LT(ms, 2000);
    }
}

struct StreamCase {
    const char *name;
    std::vector<Bytes> pieces;  // sent 20 ms apart
    Bytes answer;               // everything that comes back
};

TEST_F(SimBoardProgram, RequestsSplitTogetherOrMalformed) {
    const StreamCase cases[] = {
        {"split in two", {{2, 4}, {0x44, 0xAA}}, {2, 8, 0x44, 2, 1, 4, 0xB1, 0xAA}},
        {"byte by byte", {{3}, {4}, {0x01}, {0xAA}}, {3, 4, 0x01, 0xAA}},
        {"two at once", {{4, 4, 0x01, 0xAA, 5, 5, 0x80, 7, 0xAA}}, {4, 4, 0x01, 0xAA, 5, 6, 0x80, 7, 0, 0xAA}},
        {"too short", {{6, 2, 0x99}}, {6, 5, 0x4E, 0x99, 0xAA}},
        {"wrong end byte", {{7, 4, 0x44, 0x00}}, {7, 5, 0x4E, 0x44, 0xAA}},
        {"unknown command", {{8, 4, 0x77, 0xAA}}, {8, 5, 0x4D, 0x77, 0xAA}},
        {"a request after garbage, within the gap", {{9, 2, 0x01}, {1, 4, 0x01, 0xAA}}, {9, 5, 0x4E, 0x01, 0xAA}},
    };
    ASSERT_TRUE(start("type=2 delay_us=0 --frame-gap-ms 150"));
    int fd = client();
    ASSERT_GE(fd, 0);
    for (const StreamCase &c : cases) {
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            if (i) sleep_ms(20);
            send_bytes(fd, c.pieces[i]);
        }
        EXPECT_EQ(receive(fd, c.answer.size()), c.answer) << c.name;
        EXPECT_EQ(receive(fd, 1, 250), Bytes()) << c.name << ": nothing more";
    }
    // A malformed request waits for the quiet gap, and the board goes on afterwards.
    auto t0 = Clock::now();
    send_bytes(fd, {10, 9, 0x44});
    EXPECT_EQ(receive(fd, 5), (Bytes{10, 5, 0x4E, 0x44, 0xAA}));
    EXPECT_GE(ms_since(t0), 149.5);
    send_bytes(fd, kIdentify);
    EXPECT_EQ(receive(fd, kIdentity.size()), kIdentity);
}

TEST_F(SimBoardProgram, ResetAndCompletionDelays) {
    ASSERT_TRUE(start("type=16 delay_us=0 reset_delay_ms=200 completion_delay_ms=120"));
    int fd = client();
    ASSERT_GE(fd, 0);
    auto t0 = Clock::now();
    send_bytes(fd, {3, 4, 0x45, 0xAA});
    EXPECT_EQ(receive(fd, 4), (Bytes{3, 4, 0x01, 0xAA}));
    EXPECT_LT(ms_since(t0), 150);
    EXPECT_EQ(receive(fd, 4), (Bytes{1, 4, 0x45, 0xAA}));
    EXPECT_GE(ms_since(t0), 199.5);

    t0 = Clock::now();
    send_bytes(fd, {4, 6, 0x2D, 1, 2, 0xAA});
    EXPECT_EQ(receive(fd, 8), (Bytes{4, 4, 0x01, 0xAA, 4, 4, 0x45, 0xAA}));
    EXPECT_GE(ms_since(t0), 119.5);
}

struct FaultCase {
    const char *fault;
    Bytes answer;
};

TEST_F(SimBoardProgram, FaultsOfTheDescription) {
    const FaultCase cases[] = {
        {"fault=board_error,fault_arg=0x4F", {1, 5, 0x4F, 0x44, 0xAA}},
        {"fault=wrong_end", {1, 8, 0x44, 2, 1, 4, 0xB1, 0x00}},
        {"fault=extra_bytes,fault_arg=2", {1, 8, 0x44, 2, 1, 4, 0xB1, 0xAA, 0xEE, 0xEE}},
        {"fault=partial,fault_arg=3", {1, 8, 0x44}},
    };
    for (const FaultCase &c : cases) {
        ASSERT_TRUE(start(std::string("type=2 delay_us=0 ") + c.fault)) << c.fault;
        int fd = client();
        ASSERT_GE(fd, 0);
        send_bytes(fd, kIdentify);
        EXPECT_EQ(receive(fd, c.answer.size()), c.answer) << c.fault;
        EXPECT_EQ(receive(fd, 1, 200), Bytes()) << c.fault << ": nothing more";
        send_bytes(fd, kIdentify);  // the fault hit the first answer only
        EXPECT_EQ(receive(fd, kIdentity.size()), kIdentity) << c.fault;
        program->signal(SIGTERM);
        EXPECT_EQ(program->wait(), 0);
    }
    // A split answer: the second piece after the fault's delay.
    ASSERT_TRUE(start("type=2 delay_us=0 fault=split,fault_arg=3,fault_delay_us=150000"));
    int fd = client();
    auto t0 = Clock::now();
    send_bytes(fd, kIdentify);
    EXPECT_EQ(receive(fd, 3), (Bytes{1, 8, 0x44}));
    EXPECT_LT(ms_since(t0), 140);
    EXPECT_EQ(receive(fd, 5), (Bytes{2, 1, 4, 0xB1, 0xAA}));
    EXPECT_GE(ms_since(t0), 149.5);
}

TEST_F(SimBoardProgram, FastDataFollowsTheSampleClock) {
    ASSERT_TRUE(start("type=2 delay_us=0 offset=3430008 amplitude=0 noise=0"));  // a quiet 0x345678
    int fd = client();
    send_bytes(fd, {1, 5, 0x29, 0x78, 0xAA});  // rate code 8: 100 samples/s, 3-byte samples
    ASSERT_EQ(receive(fd, 4), (Bytes{1, 4, 0x01, 0xAA}));
    send_bytes(fd, {2, 4, 0x43, 0xAA});
    Bytes first = receive(fd, 4);
    ASSERT_EQ(first.size(), 4u);
    if (first[1] > 4) receive(fd, first[1] - 4);
    auto t0 = Clock::now();
    sleep_ms(300);
    send_bytes(fd, {3, 4, 0x43, 0xAA});
    Bytes head = receive(fd, 3);
    ASSERT_EQ(head.size(), 3u);
    double ms = ms_since(t0);
    size_t samples = (head[1] - 4u) / 3;
    EXPECT_EQ((head[1] - 4u) % 3, 0u);
    EXPECT_GE(samples, static_cast<size_t>(ms / 10 * 0.6)) << ms << " ms";
    EXPECT_LE(samples, static_cast<size_t>(ms / 10 * 1.2 + 2)) << ms << " ms";
    Bytes rest = receive(fd, head[1] - 3u);
    ASSERT_EQ(rest.size(), head[1] - 3u);
    EXPECT_EQ(rest.back(), 0xAA);
    for (size_t i = 0; i + 1 < rest.size(); i += 3)
        EXPECT_EQ(Bytes(rest.begin() + i, rest.begin() + i + 3), (Bytes{0x34, 0x56, 0x78})) << "sample " << i / 3;
}

TEST_F(SimBoardProgram, StateFileKeepsWritesAndTheBoardOpenElsewhere) {
    std::string state = dir + "/state";
    ASSERT_TRUE(start("type=2 serial=QV0001 delay_us=0 --state " + state));
    int fd = client();
    send_bytes(fd, {1, 7, 0x83, 200, 0x12, 0x34, 0xAA});
    ASSERT_EQ(receive(fd, 4), (Bytes{1, 4, 0x01, 0xAA}));

    // The simulated bridge with the same state file finds the board busy.
    sim::reset();
    ASSERT_EQ(qolven_sim_configure("serial=QV0001", nullptr, 0), 0);
    ASSERT_EQ(qolven_sim_use_state_file(state.c_str(), nullptr, 0), 0);
    uint32_t status = 0;
    EXPECT_EQ(open_serial("QV0001", &status), nullptr);
    EXPECT_EQ(status, 3u);

    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
    EXPECT_NE(access(socketPath.c_str(), F_OK), 0) << "the socket is removed";

    // What the board stored is there for the next run of the program and for the bridge.
    void *h = open_serial("QV0001", &status);
    ASSERT_NE(h, nullptr) << status;
    EXPECT_EQ(sim::eeprom("QV0001", 200), 0x1234);
    FT_Close(h);
    qolven_sim_use_state_file(nullptr, nullptr, 0);
    sim::reset();

    ASSERT_TRUE(start("type=2 serial=QV0001 delay_us=0 --state " + state));
    fd = client();
    send_bytes(fd, {2, 5, 0x82, 200, 0xAA});
    EXPECT_EQ(receive(fd, 7), (Bytes{2, 7, 0x82, 200, 0x12, 0x34, 0xAA}));
}

TEST_F(SimBoardProgram, PowerCycleClosesTheSocketForTheOffTime) {
    ASSERT_TRUE(start("type=2 delay_us=0 reset_delay_ms=700 --off-ms 400"));
    int fd = client();
    send_bytes(fd, {1, 6, 0x81, 10, 0x55, 0xAA});
    ASSERT_EQ(receive(fd, 4), (Bytes{1, 4, 0x01, 0xAA}));
    send_bytes(fd, {2, 4, 0x45, 0xAA});  // its announcement would follow 700 ms later
    ASSERT_EQ(receive(fd, 4), (Bytes{2, 4, 0x01, 0xAA}));

    auto t0 = Clock::now();
    program->signal(SIGHUP);
    EXPECT_TRUE(closed_by_peer(fd));
    sleep_ms(100);
    EXPECT_LT(connect_unix(socketPath), 0) << "off";
    EXPECT_EQ(program->line(), "listening on unix:" + socketPath);
    EXPECT_GE(ms_since(t0), 399.5);
    int again = client();
    ASSERT_GE(again, 0);
    send_bytes(again, {3, 5, 0x80, 10, 0xAA});
    EXPECT_EQ(receive(again, 6), (Bytes{3, 6, 0x80, 10, 0x55, 0xAA})) << "registers stay";
    EXPECT_EQ(receive(again, 1, 800), Bytes()) << "what was on its way before is gone";
    EXPECT_NE(errors().find("power cycle"), std::string::npos) << errors();
}

TEST_F(SimBoardProgram, OneConnectionAtATime) {
    ASSERT_TRUE(start("type=2 delay_us=0"));
    int first = client();
    ASSERT_GE(first, 0);
    send_bytes(first, kIdentify);  // accepted before the second one knocks
    ASSERT_EQ(receive(first, kIdentity.size()), kIdentity);
    int second = client();
    ASSERT_GE(second, 0);
    EXPECT_TRUE(closed_by_peer(second));
    send_bytes(first, kIdentify);
    EXPECT_EQ(receive(first, kIdentity.size()), kIdentity);
}

TEST_F(SimBoardProgram, TcpOnLoopback) {
    program = std::make_unique<BoardProgram>("type=9 delay_us=0 --port 0", errFile);
    std::string line = program->line();
    const std::string prefix = "listening on tcp:127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    int port = std::stoi(line.substr(prefix.size()));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    fds.push_back(fd);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    send_bytes(fd, kIdentify);
    EXPECT_EQ(receive(fd, 8), (Bytes{1, 8, 0x44, 9, 1, 4, 0xB1, 0xAA}));
}

struct RefusedCase {
    std::string args;
    int exitCode;
    const char *message;
};

TEST_F(SimBoardProgram, BadCommandLinesAreRefused) {
    std::ofstream(dir + "/plain") << "not a socket";
    const RefusedCase cases[] = {
        {"'type=2;type=3' --socket " + socketPath, 2, "describe one board, not 2"},
        {"type=17 --socket " + socketPath, 2, "key \"type\": 17 is outside 0..16"},
        {"type=2", 2, "give either --socket PATH or --port N"},
        {"--socket " + socketPath + " --port 5000", 2, "give either --socket PATH or --port N"},
        {"--port 70000", 2, "--port: 70000 is outside 0..65535"},
        {"--port 12x", 2, "--port: \"12x\" is not a whole number"},
        {"--socket " + dir + "/plain", 1, "exists and is not a socket"},
        {"--socket " + dir + "/no/such/dir/s", 1, "cannot listen on"},
        {"--state " + dir + " --socket " + socketPath, 1, "is a directory"},
    };
    for (const RefusedCase &c : cases) {
        BoardProgram p(c.args, errFile);
        EXPECT_EQ(p.line(2000), "") << c.args;
        EXPECT_EQ(p.wait(), c.exitCode) << c.args;
        EXPECT_NE(errors().find(c.message), std::string::npos) << c.args << ": " << errors();
    }
    EXPECT_NE(access(socketPath.c_str(), F_OK), 0);
}

} // namespace
