// `qolven record` as a user runs it: killed with SIGKILL it keeps what was
// flushed, a signal closes the file whole, a full disk ends it at once with
// exit code 6, lines on standard input tare, mark and stop, bad command lines
// write nothing, and a recording replayed by the simulator gives back its
// counts.  The program runs through the cross-compiling emulator when there is
// one, with a state file of each test's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "recording_file.h"

using namespace recording_test;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string slurp(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class RecordCli : public ::testing::TestWithParam<std::string> {
protected:
    fs::path dir;
    int input = -1;  // the program's standard input, when a test writes to it

    void SetUp() override {
        if (!qolven_record_format_available(GetParam() == ".csv" ? QOLVEN_RECORD_CSV : QOLVEN_RECORD_HDF5))
            GTEST_SKIP() << "this build writes no " << GetParam();
        char pattern[] = "/tmp/qolven-record-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (input >= 0) close(input);
        if (!dir.empty()) fs::remove_all(dir);
    }

    std::string file(const std::string &name) { return (dir / (name + GetParam())).string(); }

    pid_t spawn(const std::vector<std::string> &args, long fileSizeLimit = -1, bool pipeInput = false) {
        std::vector<std::string> argv;
        std::istringstream emulator(QOLVEN_CLI_EMULATOR);
        for (std::string word; emulator >> word;) argv.push_back(word);
        argv.push_back(QOLVEN_CLI);
        argv.insert(argv.end(), args.begin(), args.end());
        int fds[2] = {-1, -1};
        if (pipeInput && pipe(fds) != 0) return -1;
        std::ofstream(dir / "stderr", std::ios::trunc);
        pid_t pid = fork();
        if (pid == 0) {
            unsetenv("QOLVEN_SIM_CONFIG");
            setenv("QOLVEN_SIM_STATE", (dir / "state").c_str(), 1);
            int o = open((dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int i = pipeInput ? fds[0] : open("/dev/null", O_RDONLY);
            dup2(i, 0);
            dup2(o, 1);
            dup2(e, 2);
            if (pipeInput) close(fds[1]);
            if (fileSizeLimit >= 0) {
                signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit fails instead of ending the program
                struct rlimit limit = {rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            std::vector<char *> raw;
            for (auto &a : argv) raw.push_back(&a[0]);
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        if (pipeInput) {
            close(fds[0]);
            input = fds[1];
        }
        return pid;
    }

    Outcome collect(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        Outcome r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(dir / "stdout");
        r.err = slurp(dir / "stderr");
        return r;
    }

    Outcome qolven(const std::vector<std::string> &args) { return collect(spawn(args)); }

    // Waits until the file holds samples up to `seconds` of recording time.
    bool waitForTime(const std::string &path, double seconds, double *reached, double limit = 30) {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
        while (std::chrono::steady_clock::now() < until) {
            if (fs::exists(path)) {
                FileData f = readRecording(path);
                double newest = -1;
                for (const DeviceData &d : f.devices)
                    if (!d.time.empty()) newest = std::max(newest, d.time.back());
                *reached = newest;
                if (newest >= seconds) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

std::string formatName(const ::testing::TestParamInfo<std::string> &info) { return info.param == ".csv" ? "Csv" : "Hdf5"; }

INSTANTIATE_TEST_SUITE_P(Formats, RecordCli, ::testing::Values(std::string(".h5"), std::string(".csv")), formatName);

const std::string kTwoBoards = "serial=K1;serial=K2";

TEST_P(RecordCli, KilledWithSigkillTheFileKeepsWhatWasFlushed) {
    const std::string path = file("killed");
    pid_t pid = spawn({"--simulate", kTwoBoards, "record", "--all", "--rate", "13", "--output", path});
    // While it records, the file on disk lags the recording by less than a
    // second: the flushes come every half second.
    double reached = -1;
    ASSERT_TRUE(waitForTime(path, 0.2, &reached)) << slurp(dir / "stderr");
    const auto firstSeen = std::chrono::steady_clock::now();
    const double firstTime = reached;
    ASSERT_TRUE(waitForTime(path, firstTime + 1.5, &reached)) << slurp(dir / "stderr");
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - firstSeen).count();
    EXPECT_GT(reached - firstTime, wall - 1.0) << "the file keeps up with the recording";
    kill(pid, SIGKILL);
    Outcome r = collect(pid);
    EXPECT_EQ(r.code, 128 + SIGKILL);
    FileData f = readRecording(path);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_NE(f.attrs["complete"], "1");
    ASSERT_EQ(f.devices.size(), 2u);
    for (const DeviceData &d : f.devices) {
        ASSERT_FALSE(d.sequence.empty());
        EXPECT_EQ(d.sequence.front(), 0);
        for (size_t i = 1; i < d.sequence.size(); ++i) ASSERT_GT(d.sequence[i], d.sequence[i - 1]);
        EXPECT_EQ(d.time.size(), d.count.size()) << "every column as long as the others";
    }
    double newest = 0;
    for (const DeviceData &d : f.devices) newest = std::max(newest, d.time.back());
    EXPECT_GE(newest, reached) << "what was on disk before the kill is there after it";
}

TEST_P(RecordCli, SignalsEndTheRecordingWithTheFileClosedWhole) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        const std::string path = file("signal" + std::to_string(sig));
        pid_t pid = spawn({"--simulate", kTwoBoards, "record", "--all", "--output", path});
        double reached = -1;
        ASSERT_TRUE(waitForTime(path, 0.5, &reached)) << slurp(dir / "stderr");
        kill(pid, sig);
        Outcome r = collect(pid);
        EXPECT_EQ(r.code, 128 + sig) << r.err;
        EXPECT_NE(r.err.find("closed whole"), std::string::npos) << r.err;
        FileData f = readRecording(path);
        ASSERT_TRUE(f.ok) << f.error;
        EXPECT_EQ(f.attrs["complete"], "1");
        EXPECT_EQ(f.attrs.count("opened_as_swmr_reader"), 0u) << "a closed file opens as any file does";
        EXPECT_EQ(f.attrs["stop_reason"], "stopped on request");
        double newest = 0;
        for (const DeviceData &d : f.devices) newest = std::max(newest, d.time.back());
        EXPECT_GE(newest, reached);
    }
}

TEST_P(RecordCli, AFullDiskEndsTheRecordingAtOnce) {
    const std::string path = file("full");
    const auto start = std::chrono::steady_clock::now();
    Outcome r = collect(spawn({"--simulate", kTwoBoards, "record", "--all", "--rate", "15", "--output", path}, 150000));
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find("cannot write " + path), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "it does not wait to be stopped";
}

TEST_P(RecordCli, LinesOnStandardInputTareMarkAndStop) {
    const std::string path = file("commands");
    pid_t pid = spawn({"--simulate", kTwoBoards, "record", "--all", "--output", path}, -1, true);
    double reached = -1;
    ASSERT_TRUE(waitForTime(path, 0.3, &reached)) << slurp(dir / "stderr");
    const std::string first = "mark valve open\ntare K2\n";
    ASSERT_EQ(write(input, first.data(), first.size()), ssize_t(first.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string last = "stop\n";
    ASSERT_EQ(write(input, last.data(), last.size()), ssize_t(last.size()));
    Outcome r = collect(pid);
    EXPECT_EQ(r.code, 0) << r.err;
    FileData f = readRecording(path);
    ASSERT_TRUE(f.ok) << f.error;
    std::vector<EventData> marks = f.of(QOLVEN_RECORD_EVENT_MARK), tares = f.of(QOLVEN_RECORD_EVENT_TARE);
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_EQ(marks[0].text, "valve open");
    ASSERT_EQ(tares.size(), 1u);
    EXPECT_EQ(tares[0].device, 1);
    EXPECT_EQ(f.attrs["stop_reason"], "stopped on request");
}

TEST_P(RecordCli, BadCommandLinesWriteNothing) {
    const std::string path = file("never");
    const std::string existing = file("existing");
    std::ofstream(existing) << "keep";
    struct Case {
        std::vector<std::string> args;
        int code;
        const char *text;
    };
    const std::vector<Case> cases = {
        {{"record", "--all"}, 2, "--output"},
        {{"record", "--output", (dir / "x.txt").string()}, 2, ".h5, .hdf5 or .csv"},
        {{"record", "--all", "--start-on", "rising:weight:5", "--output", path}, 2, "not count or load"},
        {{"record", "--all", "--pre", "1", "--output", path}, 2, "--pre needs --start-on"},
        {{"record", "--all", "--limit", "count:5:1", "--output", path}, 2, "lower limit is above"},
        {{"record", "--all", "--stop-on-limit", "--output", path}, 2, "needs --limit"},
        {{"record", "--all", "--rotate-size", "10", "--output", path}, 2, "below 64K"},
        {{"record", "--serial", "K1", "NOPE", "--output", path}, 4, "NOPE"},
        {{"record", "--output", path}, 4, "name one"},
        {{"record", "--all", "--start-on", "K9:rising:count:5", "--output", path}, 2, "not one of the devices"},
        {{"record", "--all", "--output", existing}, 2, "exists"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"--simulate", kTwoBoards};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome r = qolven(args);
        EXPECT_EQ(r.code, c.code) << ::testing::PrintToString(c.args) << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << ::testing::PrintToString(c.args) << r.err;
        EXPECT_FALSE(fs::exists(path)) << ::testing::PrintToString(c.args);
    }
    EXPECT_EQ(slurp(existing), "keep");
}

TEST_P(RecordCli, AReplayedRecordingGivesBackItsCounts) {
    if (GetParam() != ".h5") GTEST_SKIP() << "the simulator replays HDF5 recordings";
    const std::string source = file("source"), again = file("again");
    Outcome r = qolven({"--simulate", "serial=P1,period=3", "record", "--rate", "13", "--seconds", "2", "--tare",
                        "--output", source});
    ASSERT_EQ(r.code, 0) << r.err;
    Outcome info = qolven({"--simulate", "replay=" + source, "--json", "info"});
    EXPECT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("\"serial\": \"P1\""), std::string::npos) << "the recorded serial number" << info.out;
    r = qolven({"--simulate", "replay=" + source, "record", "--seconds", "1", "--output", again});
    ASSERT_EQ(r.code, 0) << r.err;
    FileData a = readRecording(source), b = readRecording(again);
    ASSERT_TRUE(a.ok && b.ok);
    const std::vector<int> &recorded = a.devices.at(0).count, &played = b.devices.at(0).count;
    ASSERT_GT(played.size(), 300u);
    EXPECT_EQ(number(b.devices[0], "rate_code"), 13) << "the recorded rate";
    EXPECT_EQ(b.devices[0].attrs.at("calibration_counts"), a.devices[0].attrs.at("calibration_counts"));
    size_t at = 0;
    while (at < recorded.size() && recorded[at] != played[0]) ++at;
    ASSERT_LT(at, recorded.size()) << "the first count played is a recorded one";
    for (size_t i = 0; i < played.size(); ++i)
        ASSERT_EQ(played[i], recorded[(at + i) % recorded.size()]) << "sample " << i << " of the replay";

    Outcome missing = qolven({"--simulate", "replay=" + (dir / "missing.h5").string(), "info"});
    EXPECT_EQ(missing.code, 2);
    EXPECT_NE(missing.err.find("key \"replay\""), std::string::npos) << missing.err;
}

} // namespace
