// Runs the qolven program against the virtual boards and checks its output,
// its exit codes and, through --trace, the bytes it puts on the wire.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

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

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// How a run is started besides its arguments.
struct Launch {
    std::map<std::string, std::string> env;  // added or overriding variables
    std::string stdoutFile;                  // default: a file of the test
    long fileSizeLimit = -1;                 // RLIMIT_FSIZE in bytes; writes beyond it fail
};

class Cli : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        char pattern[] = "/tmp/qolven-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Starts the program with a state file of this test only.
    pid_t spawn(const std::vector<std::string> &args, const Launch &launch) {
        std::vector<std::string> argv;
        std::istringstream emulator(QOLVEN_CLI_EMULATOR);
        for (std::string word; emulator >> word;) argv.push_back(word);
        argv.push_back(QOLVEN_CLI);
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out = launch.stdoutFile.empty() ? (dir / "stdout").string() : launch.stdoutFile;
        fs::path err = dir / "stderr";
        // Emptied here, not in the child: a waiting test must not read the last run's output.
        std::ofstream(err, std::ios::trunc);
        if (launch.stdoutFile.empty()) std::ofstream(out, std::ios::trunc);
        pid_t pid = fork();
        if (pid == 0) {
            unsetenv("QOLVEN_SIM_CONFIG");
            unsetenv("QOLVEN_D2XX_LIBRARY");
            setenv("QOLVEN_SIM_STATE", (dir / "state").c_str(), 1);
            setenv("XDG_STATE_HOME", (dir / "xdg").c_str(), 1);
            for (const auto &e : launch.env) setenv(e.first.c_str(), e.second.c_str(), 1);
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            if (launch.fileSizeLimit >= 0) {
                signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit fails instead of ending the program
                struct rlimit limit = {static_cast<rlim_t>(launch.fileSizeLimit), static_cast<rlim_t>(launch.fileSizeLimit)};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            std::vector<char *> raw;
            for (auto &a : argv) raw.push_back(&a[0]);
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        return pid;
    }

    Outcome collect(pid_t pid, const Launch &launch = {}) {
        int status = 0;
        waitpid(pid, &status, 0);
        Outcome r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (launch.stdoutFile.empty()) r.out = slurp(dir / "stdout");
        r.err = slurp(dir / "stderr");
        return r;
    }

    Outcome qolven(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {}) {
        Launch launch;
        launch.env = env;
        return collect(spawn(args, launch));
    }

    Outcome run(const std::vector<std::string> &args, const Launch &launch) { return collect(spawn(args, launch), launch); }

    // Waits until `file` holds `text` (or any byte when empty), at most `seconds`.
    static bool waitFor(const fs::path &file, const std::string &text, double seconds) {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            std::string got = slurp(file);
            if (text.empty() ? !got.empty() : got.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    Outcome sim(const std::string &board, std::vector<std::string> args) {
        args.insert(args.begin(), {"--simulate", board});
        return qolven(args);
    }

    // The frames of a --trace run, in order, without the "trace: " prefix.
    static std::vector<std::string> frames(const Outcome &r) {
        std::vector<std::string> result;
        for (const std::string &line : lines(r.err))
            if (line.rfind("trace: tx ", 0) == 0 || line.rfind("trace: rx ", 0) == 0) result.push_back(line.substr(7));
        return result;
    }
};

TEST_F(Cli, HelpOfTheProgramAndOfEveryCommand) {
    Outcome r = qolven({"--help"}, {{"QOLVEN_SIM_STATE", ""}});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("State file of --simulate: " + (dir / "xdg").string() + "/qolven/sim-state"), std::string::npos);
    for (const char *command : {"list", "info", "read", "get", "set", "stream", "registers", "backup", "restore",
                                "key", "display", "reset"}) {
        Outcome c = qolven({command, "--help"});
        EXPECT_EQ(c.code, 0) << command;
        EXPECT_EQ(c.out.rfind(std::string("usage: qolven [OPTIONS] ") + command, 0), 0u) << command << c.out;
    }
    EXPECT_NE(qolven({"get", "--help"}).out.find("pulses-per-rotation"), std::string::npos);
}

TEST_F(Cli, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--simulate", "get", "no-such-parameter"},
        {"--simulate", "info", "--seconds", "1"},
        {"--simulate", "get", "source-mac", "x"},
        {"--simulate", "set", "source-mac", "00:11:22:33:44:55"},
        {"--simulate", "set", "decimal-point", "three"},
        {"--simulate", "type=13", "set", "dest-ip", "192.168.1"},
        {"--simulate", "key", "fly"},
        {"--simulate", "get", "loading-point"},
        {"--simulate", "registers", "eeprom", "256"},
        {"--simulate", "--channel"},
        {"--simulate=type=2,type=3", "list"},
        {"--simulate=type", "list"},
    };
    for (const auto &args : cases) {
        Outcome r = qolven(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args) << r.err;
        EXPECT_EQ(r.err.rfind("qolven: ", 0), 0u) << r.err;
    }
}

TEST_F(Cli, MissingD2xxLibraryNamesSimulate) {
    Outcome r = qolven({"list"}, {{"QOLVEN_D2XX_LIBRARY", (dir / "nonexistent.so").string()}});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("nonexistent.so"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--simulate"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    // Without the variable and with an empty search path the default names are not found either
    // (unless the machine has FTDI's library installed, in which case list must just work).
    Outcome d = qolven({"list"}, {{"LD_LIBRARY_PATH", ""}});
    EXPECT_TRUE(d.code == 3 || d.code == 0) << d.err;
}

TEST_F(Cli, LibraryWithoutTheBridgeFunctionsIsRefused) {
    Outcome r = qolven({"list"}, {{"QOLVEN_D2XX_LIBRARY", "libm.so.6"}});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("lacks FT_ListDevices"), std::string::npos) << r.err;
}

TEST_F(Cli, ListShowsIndexAndSerial) {
    Outcome r = sim("type=2,serial=SIMA;type=9,serial=SIMB", {"list"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "0 SIMA\n1 SIMB\n");
    Outcome j = sim("type=2,serial=SIMA;type=9", {"--json", "list"});
    EXPECT_EQ(nlohmann::json::parse(j.out),
              nlohmann::json::parse(R"([{"index": 0, "serial": "SIMA"}, {"index": 1, "serial": "SIM0002"}])"));
}

TEST_F(Cli, InfoReportsIdentityAndActivity) {
    Outcome r = sim("type=9,serial=SIM0009,hw=3,fw=5,year=12,month=6", {"info"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "serial SIM0009\nboard-type 9\nhardware-version 3\nfirmware-version 5\nfirmware-year 12\n"
              "firmware-month 6\nanswers yes\n");
    Outcome j = sim("type=9,serial=SIM0009,fw=5", {"--json", "info"});
    EXPECT_NE(j.out.find("\"board-type\": 9,"), std::string::npos) << j.out;
    EXPECT_NE(j.out.find("\"answers\": \"yes\"\n}"), std::string::npos) << j.out;
}

TEST_F(Cli, DeviceChoice) {
    const std::string two = "type=2,serial=SIMA;type=9,serial=SIMB";
    Outcome several = sim(two, {"info"});
    EXPECT_EQ(several.code, 4);
    EXPECT_NE(several.err.find("SIMA, SIMB"), std::string::npos) << several.err;
    Outcome chosen = sim(two, {"--serial", "SIMB", "info"});
    EXPECT_EQ(chosen.code, 0) << chosen.err;
    EXPECT_NE(chosen.out.find("board-type 9\n"), std::string::npos);
    Outcome missing = sim(two, {"--trace", "--serial", "SIMC", "info"});
    EXPECT_EQ(missing.code, 4);
    EXPECT_NE(missing.err.find("no bridge with serial SIMC attached (attached: SIMA, SIMB)"), std::string::npos)
        << missing.err;
    EXPECT_EQ(missing.err.find("FT_OpenEx"), std::string::npos) << missing.err;
}

// Each parameter is written by one run and read back by the next through the state file.
TEST_F(Cli, SetThenGetAcrossRuns) {
    struct Case {
        const char *board;
        std::vector<std::string> target;  // name [point] and options
        const char *value;
        const char *shown;  // what get prints after the name
    };
    const std::vector<Case> cases = {
        {"type=2", {"decimal-point"}, "3", "3"},
        {"type=2", {"unit-code"}, "0x0c", "12"},
        {"type=0", {"unit-code"}, "12", "12"},
        {"type=2", {"calibration-day"}, "5", "5"},
        {"type=2", {"sensitivity"}, "2", "2"},
        {"type=2", {"shunt"}, "1193046", "1193046"},
        {"type=9", {"decimal-point", "--channel", "2"}, "4", "4"},
        {"type=9", {"load-of-loading-point", "4", "--channel", "2"}, "1000", "1000"},
        {"type=2", {"loading-point.2"}, "-5", "-5"},
        {"type=8", {"pulses-per-rotation"}, "360", "360"},
        {"type=14", {"active-page"}, "5", "5"},
        {"type=9", {"crosstalk"}, "1", "1"},
        {"type=13", {"dest-ip"}, "192.168.1.10", "192.168.1.10"},
        {"type=13", {"dest-mac"}, "00:11:22:aa:bb:cc", "00:11:22:aa:bb:cc"},
        {"type=13", {"source-port"}, "5000", "5000"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> set = {"set"}, get = {"get"};
        set.insert(set.end(), c.target.begin(), c.target.end());
        set.push_back(c.value);
        get.insert(get.end(), c.target.begin(), c.target.end());
        Outcome w = sim(c.board, set);
        ASSERT_EQ(w.code, 0) << c.board << " " << c.target[0] << ": " << w.err;
        Outcome r = sim(c.board, get);
        EXPECT_EQ(r.code, 0) << r.err;
        std::string name = c.target[0];
        if (c.target.size() > 1 && c.target[1][0] != '-') name += "." + c.target[1];
        EXPECT_EQ(r.out, name + " " + c.shown + "\n") << c.board;
    }
}

TEST_F(Cli, ResetStateForgetsWrittenValues) {
    ASSERT_EQ(sim("type=2", {"set", "calibration-year", "99"}).code, 0);
    EXPECT_EQ(sim("type=2", {"get", "calibration-year"}).out, "calibration-year 99\n");
    Outcome fresh = qolven({"--simulate", "type=2", "--reset-state", "get", "calibration-year"});
    EXPECT_EQ(fresh.code, 0) << fresh.err;
    EXPECT_NE(fresh.out, "calibration-year 99\n");
    // --state names the file instead of the environment.
    ASSERT_EQ(qolven({"--simulate", "--state", (dir / "other").string(), "set", "direction", "7"}).code, 0);
    EXPECT_EQ(qolven({"--simulate", "--state", (dir / "other").string(), "get", "direction"}).out, "direction 7\n");
    EXPECT_NE(qolven({"--simulate", "get", "direction"}).out, "direction 7\n");
}

// The library refuses, the tool passes its text on.
TEST_F(Cli, LibraryRefusalsExitWithOne) {
    struct Case {
        const char *board;
        std::vector<std::string> args;
        const char *text;
    };
    const std::vector<Case> cases = {
        {"type=15", {"get", "decimal-point"}, "get decimal-point: Invalid Type of Board"},
        {"type=2", {"get", "crosstalk"}, "Invalid Type of Board"},
        {"type=2", {"set", "digital-components", "1,2,3"}, "set digital-components: Invalid Type of Board"},
        {"type=2", {"key", "menu"}, "key menu: Invalid Type of Board"},
        {"type=15", {"stream", "--samples", "1"}, "Invalid Type of Board"},
        // Processor-time limits: the identification or the activity inquiry runs out first.
        {"type=2,delay_us=300000", {"info"}, "Timeout Error"},
    };
    for (const Case &c : cases) {
        Outcome r = sim(c.board, c.args);
        EXPECT_EQ(r.code, 1) << c.board << " " << c.args[0] << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << c.board << ": " << r.err;
    }
}

// A value or point outside what the parameter or the board's table takes is
// the user's to correct: exit 2 with the range, and no write on the wire
// (indexed parameters identify the board first to learn its table).
TEST_F(Cli, OutOfRangeValuesAreRefusedBeforeAnyWrite) {
    struct Case {
        const char *board;
        std::vector<std::string> args;
        const char *text;
        size_t frames;  // written and read: 0, or 2 for the identification
    };
    const std::vector<Case> cases = {
        {"type=2", {"set", "decimal-point", "256"}, "Invalid Decimal Point (decimal-point: value 256 is outside 0..255)", 0},
        {"type=2", {"set", "sensitivity", "4"}, "Invalid Sensitivity (sensitivity: value 4 is outside 0..3)", 0},
        {"type=2", {"set", "sampling-rate", "16"}, "sampling-rate: value 16 is outside 0..15", 0},
        {"type=13", {"set", "dest-port", "65536"}, "Invalid Port Number (dest-port: value 65536 is outside 0..65535)", 0},
        {"type=2", {"set", "unit-code", "0x100"}, "Invalid Unit Code (unit-code: value 0x100 is outside 0..255)", 0},
        {"type=2", {"set", "unit-code", "08x"}, "unit-code: value \"08x\" is not a number", 0},
        {"type=2", {"set", "loading-point", "16", "5"}, "loading-point: point 16 is outside 0..15 of board type 2", 2},
        {"type=0", {"set", "loading-point", "20"}, "loading-point: point 20 is outside 0..19 of board type 0", 2},
        {"type=2", {"set", "load-of-loading-point", "99", "5"}, "point 99 is outside 0..15 of board type 2", 2},
        {"type=2", {"set", "load-of-loading-point", "1", "65536"}, "Invalid Load Value (load-of-loading-point: value 65536 is outside 0..65535)", 0},
        {"type=2", {"get", "loading-point.16"}, "point 16 is outside 0..15", 2},
        {"type=12", {"set", "sampling-rate", "15"}, "value 15 is outside 0..11 of board type 12", 2},
        {"type=16", {"set", "digital-components", "1,2,3,4"}, "is not 3 bytes 0..255 like 1,2,3", 0},
        {"type=9", {"--channel", "200", "get", "decimal-point"}, "--channel: 200 is outside 0..3", 0},
        {"type=9", {"--calibration-type", "2", "get", "loading-point", "0"}, "--calibration-type: 2 is outside 0|1", 0},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--trace");
        Outcome r = sim(c.board, args);
        EXPECT_EQ(r.code, 2) << c.board << " " << c.args[1] << ": " << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
        std::vector<std::string> got = frames(r);
        EXPECT_EQ(got.size(), c.frames) << c.board << " " << c.args[1] << ": " << r.err;
        if (c.frames) EXPECT_EQ(got[0].substr(5), "0444aa") << "only the identification is sent";
    }
}

// Decimal means decimal: a leading zero does not make a number octal.
TEST_F(Cli, LeadingZerosAreDecimalAndPointsTheTableEnds) {
    ASSERT_EQ(sim("type=2", {"set", "unit-code", "010"}).code, 0);
    EXPECT_EQ(sim("type=2", {"get", "unit-code"}).out, "unit-code 10\n");
    ASSERT_EQ(sim("type=2", {"set", "load-of-loading-point", "015", "0x10"}).code, 0);
    EXPECT_EQ(sim("type=2", {"get", "load-of-loading-point.15"}).out, "load-of-loading-point.15 16\n");
    // The last point of type 0's longer table.
    Outcome last = sim("type=0", {"set", "loading-point", "19", "-7"});
    EXPECT_EQ(last.code, 0) << last.err;
    EXPECT_EQ(sim("type=0", {"get", "loading-point", "19"}).out, "loading-point.19 -7\n");
}

TEST_F(Cli, TraceShowsTheExactFrames) {
    Outcome r = sim("type=2", {"--trace", "set", "decimal-point", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    // Identification, then EEPROM register 114 written as (0xFF, 3).
    std::vector<std::string> got = frames(r);
    ASSERT_EQ(got.size(), 4u) << r.err;
    EXPECT_EQ(got[0], "tx 010444aa");
    EXPECT_EQ(got[1], "rx 010844020104b1aa");
    EXPECT_EQ(got[2], "tx 02078372ff03aa");
    EXPECT_EQ(got[3], "rx 020401aa");
}

TEST_F(Cli, BackupRestoreKeyAndResetFrames) {
    struct Case {
        const char *board;
        std::vector<std::string> args;
        const char *request;  // the frame after identification
    };
    const std::vector<Case> cases = {
        {"type=9", {"backup", "--from", "2", "--to", "3"}, "tx 0206590203aa"},
        {"type=1", {"backup", "--from", "2", "--to", "3"}, "tx 02054902aa"},
        {"type=9", {"restore", "--from", "2", "--to", "3"}, "tx 02065a0302aa"},
        {"type=1", {"restore", "--from", "2", "--to", "3"}, "tx 02054a02aa"},
        {"type=10", {"key", "menu"}, "tx 020464aa"},
        {"type=5", {"key", "up"}, "tx 020461aa"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--trace");
        Outcome r = sim(c.board, args);
        EXPECT_EQ(r.code, 0) << c.board << r.err;
        std::vector<std::string> got = frames(r);
        ASSERT_GE(got.size(), 4u) << r.err;
        EXPECT_EQ(got[2], c.request) << c.board << " " << c.args[0];
        EXPECT_EQ(got[3], "rx 020401aa");
    }
    Outcome reset = sim("type=2,reset_delay_ms=0", {"--trace", "reset"});
    EXPECT_EQ(reset.code, 0) << reset.err;
    std::vector<std::string> got = frames(reset);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], "tx 010445aa");
}

TEST_F(Cli, ReadGivesReferencesAndLiveCounts) {
    Outcome r = sim("type=2", {"read", "--count", "3", "--interval", "0.01"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> got = lines(r.out);
    ASSERT_EQ(got.size(), 7u) << r.out;
    const char *names[] = {"offset-count ", "fullscale-count ", "offset-load ", "fullscale-load "};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(got[i].rfind(names[i], 0), 0u) << got[i];
    for (int i = 4; i < 7; ++i) {
        ASSERT_EQ(got[i].rfind("count ", 0), 0u) << got[i];
        long count = std::strtol(got[i].c_str() + 6, nullptr, 10);
        EXPECT_GT(count, 8388608 - 200000);  // the virtual signal swings 100000 around mid-scale
        EXPECT_LT(count, 8388608 + 200000);
    }
    Outcome j = sim("type=2", {"--json", "read", "--count", "2", "--interval", "0"});
    EXPECT_NE(j.out.find("\"count\": ["), std::string::npos) << j.out;
    // Boards without stored loads still give their counts.
    Outcome keys = sim("type=10", {"read"});
    EXPECT_EQ(keys.code, 0) << keys.err;
    EXPECT_EQ(keys.out.find("offset-load"), std::string::npos);
}

TEST_F(Cli, GetAllFollowsTheBoardType) {
    Outcome two = sim("type=2", {"get", "all"});
    EXPECT_EQ(two.code, 0) << two.err;
    EXPECT_EQ(two.out.rfind("decimal-point ", 0), 0u) << two.out;
    EXPECT_NE(two.out.find("loading-point.0 "), std::string::npos);
    EXPECT_EQ(two.out.find("crosstalk"), std::string::npos);
    EXPECT_EQ(two.out.find("dest-ip"), std::string::npos);
    Outcome network = sim("type=13", {"get", "all"});
    EXPECT_EQ(network.code, 0) << network.err;
    EXPECT_NE(network.out.find("\ndest-ip "), std::string::npos);
    Outcome none = sim("type=15", {"get", "all"});
    EXPECT_EQ(none.code, 0) << none.err;
    EXPECT_EQ(none.out, "");
}

TEST_F(Cli, RegistersReadWriteAndPage) {
    ASSERT_EQ(sim("type=2", {"registers", "eeprom", "114", "0xff05"}).code, 0);
    EXPECT_EQ(sim("type=2", {"registers", "eeprom", "114"}).out, "eeprom 114 0xff05\n");
    EXPECT_EQ(sim("type=2", {"get", "decimal-point"}).out, "decimal-point 5\n");
    EXPECT_EQ(sim("type=2", {"--json", "registers", "eeprom", "114-115"}).out.find("\"eeprom 114\": 65285"), 4u);

    ASSERT_EQ(sim("type=9", {"--channel", "1", "registers", "channel", "114", "6"}).code, 0);
    EXPECT_EQ(sim("type=9", {"--channel", "1", "get", "decimal-point"}).out, "decimal-point 6\n");
    ASSERT_EQ(sim("type=2", {"registers", "memory", "35", "17"}).code, 0);
    EXPECT_EQ(sim("type=2", {"registers", "memory", "35"}).out, "memory 35 0x11\n");
    ASSERT_EQ(sim("type=2", {"registers", "teds", "0x0102", "9"}).code, 0);
    EXPECT_EQ(sim("type=2", {"registers", "teds", "258"}).out, "teds 258 0x09\n");
    EXPECT_EQ(sim("type=2,internal.5=66051", {"registers", "internal", "5"}).out, "internal 5 66051\n");

    Outcome page = sim("type=2", {"registers", "page", "1"});
    EXPECT_EQ(page.code, 0) << page.err;
    std::vector<std::string> rows = lines(page.out);
    ASSERT_EQ(rows.size(), 9u);  // 129 bytes, 16 a row
    EXPECT_EQ(rows[8].rfind("page 1 128: ", 0), 0u) << rows[8];
    EXPECT_EQ(rows[8].size(), std::string("page 1 128: 00").size());
}

TEST_F(Cli, DisplayShowsFourLines) {
    ASSERT_EQ(sim("type=10", {"key", "menu"}).code, 0);
    Outcome r = sim("type=10", {"display"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> got = lines(r.out);
    ASSERT_EQ(got.size(), 4u) << r.out;
    for (const std::string &line : got) EXPECT_EQ(line.size(), 16u) << line;
    EXPECT_EQ(got[0].rfind("LOAD", 0), 0u) << got[0];
}

// Reads the CSV of a stream and checks that each channel's sample numbers run without gaps.
TEST_F(Cli, StreamWritesCsvWithRunningSampleNumbers) {
    struct Case {
        const char *board;
        int channels;
    };
    for (const Case &c : {Case{"type=2", 1}, Case{"type=9,channels=2", 2}}) {
        ASSERT_EQ(sim(c.board, {"set", "sampling-rate", "12"}).code, 0);  // 300 samples a second
        fs::path csv = dir / "samples.csv";
        Outcome r = sim(c.board, {"stream", "--samples", "40", "--output", csv.string()});
        ASSERT_EQ(r.code, 0) << c.board << r.err;
        // No progress line when stderr is not a terminal: only the closing count.
        EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
        EXPECT_EQ(r.err.rfind("qolven: stream: 40 samples written; ", 0), 0u) << r.err;
        std::vector<std::string> rows = lines(slurp(csv));
        ASSERT_EQ(rows.size(), 41u);
        EXPECT_EQ(rows[0], "sample,channel,count,time");
        std::map<int, int> next;
        double lastTime = 0;
        for (size_t i = 1; i < rows.size(); ++i) {
            int sample, channel;
            long count;
            double time;
            ASSERT_EQ(std::sscanf(rows[i].c_str(), "%d,%d,%ld,%lf", &sample, &channel, &count, &time), 4) << rows[i];
            EXPECT_LT(channel, c.channels);
            if (next.count(channel)) EXPECT_EQ(sample, next[channel]) << rows[i];
            next[channel] = sample + 1;
            EXPECT_GE(time, lastTime);
            lastTime = time;
        }
        EXPECT_EQ(static_cast<int>(next.size()), c.channels);
    }
    Outcome out = sim("type=2", {"stream", "--samples", "3"});
    EXPECT_EQ(out.code, 0) << out.err;
    EXPECT_EQ(lines(out.out).size(), 4u) << out.out;
}

} // namespace

// Every class of bad input is a usage error naming the argument and what it
// may be, and nothing goes on the wire.
TEST_F(Cli, BadInputIsRefusedBeforeAnythingIsSent) {
    fs::create_directory(dir / "adir");
    ASSERT_EQ(sim("type=9", {"set", "decimal-point", "3"}).code, 0);  // the state file exists
    const std::string state = (dir / "state").string(), adir = (dir / "adir").string();
    struct Case {
        std::vector<std::string> args;
        const char *text;
    };
    const std::vector<Case> cases = {
        {{"--channel", "200", "info"}, "--channel: 200 is outside 0..3"},
        {{"--channel", "-1", "read"}, "--channel: -1 is outside 0..3"},
        {{"--channel", "three", "read"}, "--channel: \"three\" is not a number"},
        {{"get", "loading-point", "0", "--calibration-type", "0x10"}, "--calibration-type: 0x10 is outside"},
        {{"registers", "internal", "999"}, "internal register: 999 is outside 0..255"},
        {{"registers", "memory", "256"}, "address: 256 is outside 0..255"},
        {{"registers", "eeprom", "114", "65536"}, "value: 65536 is outside 0..65535"},
        {{"registers", "teds", "0-65536"}, "address: 65536 is outside 0..65535"},
        {{"registers", "channel", "9-3"}, "address range \"9-3\" runs backwards"},
        {{"stream", "--output", "a", "--output", "b"}, "--output is given more than once"},
        {{"--serial", "SIM0001", "--serial", "SIM0002", "info"}, "--serial is given more than once"},
        {{"--serial", "", "info"}, "--serial: empty"},
        {{"--serial=", "info"}, "--serial: empty"},
        {{"--serial", "SIM0001SIM0001SIM0", "info"}, "a serial number has at most 15"},
        {{"stream", "--seconds", "0"}, "--seconds: 0 is outside the range above 0"},
        {{"stream", "--seconds", "nan"}, "--seconds: nan is outside"},
        {{"stream", "--samples", "0"}, "--samples: 0 is outside 1.."},
        {{"stream", "--output", adir}, "is a directory; name a file"},
        {{"stream", "--output", state}, "is the virtual boards' state file"},
        {{"stream", "--output", dir.string() + "/../" + dir.filename().string() + "/state"}, "state file"},
        {{"read", "--count", "-1"}, "--count: -1 is outside 0..1000000000"},
        {{"read", "--interval", "soon"}, "--interval: \"soon\" is not a number"},
        {{"backup", "--from", "256", "--to", "1"}, "--from: 256 is outside 0..255"},
        {{"info", "--count", "3"}, "info takes no --count (it belongs to read)"},
        {{"--samples", "3", "read"}, "read takes no --samples (it belongs to stream)"},
        {{"--frobnicate", "info"}, "unknown option \"--frobnicate\""},
        {{"--state", "", "info"}, "--state: empty"},
        {{"--state", adir, "info"}, "is a directory; name a file"},
        {{"--simulate", "--simulate", "info"}, "--simulate is given more than once"},
        {{"key", "fly"}, "unknown key \"fly\""},
        {{"info", "extra"}, "usage: qolven info"},
        // Binary input is quoted short, not echoed.
        {{std::string("\x1b[2J\x01\xff") + std::string(100000, 'x')}, "unknown command \"\\x1b[2J\\x01\\xffxxx"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"--trace", "--simulate", "type=9"});
        Outcome r = qolven(args);
        std::string shown = ::testing::PrintToString(c.args).substr(0, 120);
        EXPECT_EQ(r.code, 2) << shown << ": " << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << shown << ": " << r.err;
        EXPECT_EQ(r.err.find("trace: tx"), std::string::npos) << shown << ": " << r.err;
        EXPECT_LT(r.err.size(), 400u) << shown;
    }
    EXPECT_TRUE(fs::is_directory(dir / "adir"));
    EXPECT_EQ(sim("type=9", {"get", "decimal-point"}).out, "decimal-point 3\n") << "the state file was not touched";
}

TEST_F(Cli, NumbersWithLeadingZerosAreDecimal) {
    ASSERT_EQ(sim("type=2", {"registers", "memory", "010", "017"}).code, 0);
    EXPECT_EQ(sim("type=2", {"registers", "memory", "10"}).out, "memory 10 0x11\n");
    EXPECT_EQ(sim("type=2", {"--channel", "03", "registers", "memory", "0x0a"}).out, "memory 10 0x11\n");
    Outcome pages = sim("type=9", {"--trace", "backup", "--from", "010", "--to", "011"});
    ASSERT_EQ(pages.code, 0) << pages.err;
    EXPECT_EQ(frames(pages)[2], "tx 0206590a0baa");
}

// A full disk (or any failed write) is an error with its reason, never a success.
TEST_F(Cli, OutputErrorsAreReported) {
    const std::vector<std::vector<std::string>> cases = {
        {"info"},
        {"get", "all"},
        {"list"},
        {"registers", "eeprom", "0-3"},
        {"read", "--count", "2", "--interval", "0"},
        {"--json", "read", "--count", "2", "--interval", "0"},
        {"display"},
        {"stream", "--samples", "5"},
        {"--help"},
    };
    for (const auto &args : cases) {
        std::vector<std::string> line = args;
        line.insert(line.begin(), {"--simulate", "type=10"});
        if (args[0] != "display") line[1] = "type=2";
        Launch launch;
        launch.stdoutFile = "/dev/full";
        Outcome r = run(line, launch);
        EXPECT_EQ(r.code, 6) << ::testing::PrintToString(args) << r.err;
        EXPECT_NE(r.err.find("cannot write standard output: No space left on device"), std::string::npos)
            << ::testing::PrintToString(args) << r.err;
        EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
    }
    Launch launch;
    launch.fileSizeLimit = 200;  // the CSV outgrows it after a few rows
    Outcome file = run({"--simulate", "stream", "--samples", "100", "--output", (dir / "big.csv").string()}, launch);
    EXPECT_EQ(file.code, 6) << file.err;
    EXPECT_NE(file.err.find("cannot write " + (dir / "big.csv").string() + ": File too large"), std::string::npos)
        << file.err;
}

// A signal ends a loop or a wait promptly; the exit code tells which signal and
// what was written stays well formed.
TEST_F(Cli, SignalsEndTheCommandWithTheirOwnCode) {
    struct Case {
        std::vector<std::string> args;
        int signal;
        const char *ready;  // stderr text after which the signal is sent ("" = first output)
        bool json;
    };
    const std::vector<Case> cases = {
        {{"read", "--count", "0", "--interval", "0.02"}, SIGINT, "", false},
        {{"--json", "read", "--count", "0", "--interval", "0.02"}, SIGTERM, "trace: rx", true},
        {{"stream", "--seconds", "60"}, SIGTERM, "trace: rx", false},
        {{"stream", "--seconds", "60"}, SIGHUP, "trace: rx", false},
        {{"--simulate", "type=2,delay_us=20000", "--json", "get", "all"}, SIGINT, "trace: rx", true},
        // The board announces itself a minute after the reset: the wait must not hold the signal.
        {{"--simulate", "type=2,reset_delay_ms=60000", "reset"}, SIGINT, "tx 010445aa", false},
    };
    ASSERT_EQ(sim("type=2", {"set", "sampling-rate", "12"}).code, 0);  // 300 samples a second
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--trace");
        if (args[1] != "--simulate") args.insert(args.begin(), "--simulate");
        std::string shown = ::testing::PrintToString(c.args);
        pid_t pid = spawn(args, {});
        bool ready = c.ready[0] ? waitFor(dir / "stderr", c.ready, 30) : waitFor(dir / "stdout", "", 30);
        EXPECT_TRUE(ready) << shown;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto sent = std::chrono::steady_clock::now();
        kill(pid, c.signal);
        Outcome r = collect(pid);
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        EXPECT_EQ(r.code, 128 + c.signal) << shown << r.err;
        EXPECT_LT(took, 5.0) << shown;
        EXPECT_NE(r.err.find("interrupted by SIG"), std::string::npos) << shown << r.err;
        if (c.json) {
            nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
            ASSERT_FALSE(doc.is_discarded()) << shown << r.out;
            std::string error = doc.value("error", "");
            EXPECT_NE(error.find(std::string("interrupted by ") + (c.signal == SIGINT ? "SIGINT" : "SIGTERM")),
                      std::string::npos)
                << shown << error;
            EXPECT_GE(doc.size(), 2u) << "what was read before the signal is kept: " << r.out;
        } else if (c.args[0] == "stream") {
            std::vector<std::string> rows = lines(r.out);
            ASSERT_GE(rows.size(), 2u) << r.out;
            for (size_t i = 1; i < rows.size(); ++i) {
                int sample, channel;
                long count;
                double time;
                EXPECT_EQ(std::sscanf(rows[i].c_str(), "%d,%d,%ld,%lf", &sample, &channel, &count, &time), 4) << rows[i];
            }
            EXPECT_NE(r.err.find("qolven: stream: "), std::string::npos) << "the closing count is printed";
        }
    }
}

TEST_F(Cli, ResetStateRemovesOnlyARegularFile) {
    fs::create_directory(dir / "keep");
    std::ofstream(dir / "keep" / "inside") << "x";
    Outcome r = qolven({"--reset-state", "--state", (dir / "keep").string()});
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find("is a directory"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir / "keep" / "inside"));
    fs::create_directory(dir / "empty");
    EXPECT_EQ(qolven({"--reset-state", "--state", (dir / "empty").string()}).code, 2);
    EXPECT_TRUE(fs::is_directory(dir / "empty"));
    fs::create_symlink(dir / "keep" / "inside", dir / "link");
    Outcome link = qolven({"--reset-state", "--state", (dir / "link").string()});
    EXPECT_EQ(link.code, 2) << link.err;
    EXPECT_NE(link.err.find("not a regular file; nothing was removed"), std::string::npos) << link.err;
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    // A missing file is already reset.
    EXPECT_EQ(qolven({"--reset-state", "--state", (dir / "none").string()}).code, 0);
}

// FTDI's library where there is no USB file system (a container): status 18 for
// every call, and an FT_OpenEx that crashes.  The stand-in behaves alike.
TEST_F(Cli, D2xxWithoutUsbIsExplained) {
    std::map<std::string, std::string> noUsb = {{"QOLVEN_D2XX_LIBRARY", QOLVEN_FAKE_D2XX}};
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"list"}, {"info"}, {"--serial", "FT12345", "info"}}) {
        Outcome r = qolven(args, noUsb);
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find("count devices: Other Errors"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("D2XX status 18"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("/dev/bus/usb"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::string(QOLVEN_DOCDIR) + ""), std::string::npos) << r.err;
    }
    std::map<std::string, std::string> none = noUsb;
    none["QOLVEN_FAKE_D2XX_STATUS"] = "0";  // USB works, nothing is plugged in
    Outcome list = qolven({"list"}, none);
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_EQ(list.out, "");
    EXPECT_EQ(list.err, "qolven: no bridge attached\n");
    EXPECT_EQ(qolven({"--json", "list"}, none).out, "[]\n");
    Outcome serial = qolven({"--serial", "FT12345", "info"}, none);
    EXPECT_EQ(serial.code, 4) << serial.err;
    EXPECT_EQ(serial.err, "qolven: no bridge with serial FT12345 attached (none is attached)\n");
    Outcome any = qolven({"info"}, none);
    EXPECT_EQ(any.code, 4) << any.err;
    EXPECT_EQ(any.err, "qolven: no device attached\n");
}

// The simulator checks the description; the tool reports its verdict as a usage
// error and attaches nothing.
TEST_F(Cli, BadSimulateDescriptionsAreUsageErrors) {
    struct Case {
        std::string description;
        const char *text;
    };
    const std::vector<Case> cases = {
        {"type=abc", "key \"type\": \"abc\" is not a number"},
        {"frob=1", "unknown key \"frob\""},
        {"serial=" + std::string(64, 'S'), "64 bytes"},
        {"serial=\"SIM0001", "unclosed quote"},
        {"type=17", "17 is outside 0..16"},
        {"type=255", "255 is outside 0..16"},
        {"serial=A;serial=A", "device 2: serial number \"A\" is already device 1's"},
        {"serial=A#B", "'#' inside a pair"},
        {"type=010", ""},  // decimal: board type 10 is a valid one
        {std::string("type=2,\x01\xff") + std::string(100000, 'z'), "device 1"},
    };
    for (const Case &c : cases) {
        Outcome r = qolven({"--trace", "--simulate", c.description, "info"});
        std::string shown = c.description.substr(0, 40);
        if (!c.text[0]) {
            EXPECT_EQ(r.code, 0) << shown << r.err;
            EXPECT_NE(r.out.find("board-type 10\n"), std::string::npos) << r.out;
            continue;
        }
        EXPECT_EQ(r.code, 2) << shown << r.err;
        EXPECT_EQ(r.err.rfind("qolven: --simulate: ", 0), 0u) << shown << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << shown << r.err;
        EXPECT_EQ(r.err.find("trace: tx"), std::string::npos) << shown;
        EXPECT_EQ(r.err.find("/tmp/qolven-devices"), std::string::npos) << "no temporary file: " << r.err;
        EXPECT_LT(r.err.size(), 1000u) << shown;
    }
    std::ofstream(dir / "devices") << "serial=X type=2\n\x01\xff garbage\n";
    Outcome file = qolven({"--simulate", "list"}, {{"QOLVEN_SIM_CONFIG", (dir / "devices").string()}});
    EXPECT_EQ(file.code, 2) << file.err;
    EXPECT_NE(file.err.find("QOLVEN_SIM_CONFIG " + (dir / "devices").string() + ": device 2 (line 2)"), std::string::npos)
        << file.err;
    // A NUL would end the text the simulator reads: "type=2" alone would pass.
    std::ofstream(dir / "nul", std::ios::binary) << std::string("type=2\0serial=X", 16);
    Outcome nul = qolven({"--simulate", "list"}, {{"QOLVEN_SIM_CONFIG", (dir / "nul").string()}});
    EXPECT_EQ(nul.code, 2) << nul.err;
    EXPECT_NE(nul.err.find("QOLVEN_SIM_CONFIG " + (dir / "nul").string() + ": line 1, byte 7: a NUL byte"),
              std::string::npos)
        << nul.err;
    Outcome folder = qolven({"--simulate", "list"}, {{"QOLVEN_SIM_CONFIG", dir.string()}});
    EXPECT_EQ(folder.code, 2) << folder.err;
    EXPECT_NE(folder.err.find("is a directory"), std::string::npos) << folder.err;
    std::ofstream(dir / "good") << "serial=SIMF type=9\n";
    Outcome good = qolven({"--simulate", "list"}, {{"QOLVEN_SIM_CONFIG", (dir / "good").string()}});
    EXPECT_EQ(good.out, "0 SIMF\n") << good.err;
}

// A failure half-way keeps what was read and closes the JSON with the reason.
TEST_F(Cli, PartialJsonOnAFailureHalfWay) {
    struct Case {
        std::string board;
        std::vector<std::string> args;
        const char *member;  // the array or the last value read
        const char *reason;
    };
    const std::vector<Case> cases = {
        {"type=2,fault=no_answer,fault_every=20", {"read", "--count", "100", "--interval", "0"}, "count",
         "count: Timeout Error"},
        {"type=2,fault=no_answer,fault_every=200", {"registers", "teds", "0-1000"}, "teds 0", "Timeout Error"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--json");
        Outcome r = sim(c.board, args);
        EXPECT_EQ(r.code, 1) << r.err;
        nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << r.out;
        EXPECT_NE(doc.value("error", "").find(c.reason), std::string::npos) << r.out;
        ASSERT_TRUE(doc.contains(c.member)) << r.out;
        if (doc[c.member].is_array()) {
            EXPECT_GE(doc[c.member].size(), 1u);
            EXPECT_LT(doc[c.member].size(), 100u);
        } else {
            EXPECT_GT(doc.size(), 2u);
            EXPECT_LT(doc.size(), 1002u);
        }
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
}

// The board numbers no packet: lost answers show as samples missing against
// the nominal rate.  Answers cut short by 20 % are far more than one packet.
TEST_F(Cli, StreamReportsMissingSamples) {
    struct Case {
        const char *rate;  // sampling-rate code
        std::string fault;
        bool strict;
        int code;
        bool warned;
    };
    const std::vector<Case> cases = {
        {"15", ",fault=fast_short,fault_probability=0.2", true, 5, true},
        {"15", ",fault=fast_short,fault_probability=0.2", false, 0, true},
        {"5", "", true, 0, false},  // 50 samples a second: nothing is lost
    };
    for (const Case &c : cases) {
        ASSERT_EQ(sim("type=2", {"set", "sampling-rate", c.rate}).code, 0);
        std::vector<std::string> args = {"stream", "--seconds", "2", "--output", (dir / "s.csv").string()};
        if (c.strict) args.push_back("--strict");
        Outcome r = sim("type=2" + c.fault, args);
        std::string shown = c.rate + c.fault;
        EXPECT_EQ(r.code, c.code) << shown << r.err;
        EXPECT_NE(r.err.find("qolven: stream: "), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("qolven: warning: ") != std::string::npos, c.warned) << shown << r.err;
        long long written = 0, received = 0, expected = 0;
        ASSERT_EQ(std::sscanf(r.err.c_str(), "qolven: stream: %lld samples written; %lld received in %*f s after the "
                                             "first answer, against %lld",
                              &written, &received, &expected),
                  3)
            << r.err;
        EXPECT_EQ(written + 1, static_cast<long long>(lines(slurp(dir / "s.csv")).size()));
        if (c.warned) EXPECT_LT(received, expected * 9 / 10) << r.err;
    }
}

TEST_F(Cli, FailedSavesAndDamagedStateFilesAreReported) {
    fs::create_directory(dir / "st");
    std::string state = (dir / "st" / "state").string();
    Launch small;
    small.fileSizeLimit = 1500;  // enough for the messages, not for the state file
    Outcome failed = run({"--simulate", "--state", state, "set", "decimal-point", "5"}, small);
    EXPECT_EQ(failed.code, 6) << failed.err;
    EXPECT_NE(failed.err.find("the virtual boards' state was not saved: "), std::string::npos) << failed.err;
    EXPECT_NE(failed.err.find("File too large"), std::string::npos) << failed.err;
    for (const auto &entry : fs::directory_iterator(dir / "st"))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << "left behind: " << entry.path();
    EXPECT_NE(qolven({"--simulate", "--state", state, "get", "decimal-point"}).out, "decimal-point 5\n");

    ASSERT_EQ(qolven({"--simulate", "--state", state, "set", "decimal-point", "4"}).code, 0);
    fs::resize_file(state, fs::file_size(state) - 7);
    Outcome damaged = qolven({"--simulate", "--state", state, "get", "decimal-point"});
    EXPECT_EQ(damaged.code, 1) << damaged.err;
    EXPECT_NE(damaged.err.find("is damaged"), std::string::npos) << damaged.err;
    EXPECT_EQ(damaged.out, "") << "no factory value passed off as the stored one";
    int aside = 0;
    for (const auto &entry : fs::directory_iterator(dir / "st"))
        aside += entry.path().filename().string().find("damaged") != std::string::npos;
    EXPECT_EQ(aside, 1);
}

// Serial numbers are UTF-8 in JSON; bytes that are not UTF-8 become U+FFFD.
TEST_F(Cli, SerialNumbersInJson) {
    Outcome utf8 = sim("serial=SÉRIE,type=2", {"--json", "info"});
    EXPECT_EQ(nlohmann::json::parse(utf8.out).value("serial", ""), "SÉRIE") << utf8.out;
    Outcome raw = qolven({"--json", "list"}, {{"QOLVEN_D2XX_LIBRARY", QOLVEN_FAKE_D2XX},
                                             {"QOLVEN_FAKE_D2XX_STATUS", "0"},
                                             {"QOLVEN_FAKE_D2XX_SERIALS", "FT\xe9\x41,FT2"}});
    EXPECT_EQ(raw.code, 0) << raw.err;
    nlohmann::json list = nlohmann::json::parse(raw.out, nullptr, false);
    ASSERT_FALSE(list.is_discarded()) << raw.out;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["serial"], "FT\xef\xbf\xbd" "A");
    EXPECT_EQ(list[1]["serial"], "FT2");
    Outcome plain = qolven({"list"}, {{"QOLVEN_D2XX_LIBRARY", QOLVEN_FAKE_D2XX},
                                      {"QOLVEN_FAKE_D2XX_STATUS", "0"},
                                      {"QOLVEN_FAKE_D2XX_SERIALS", "FT1,FT2"}});
    EXPECT_EQ(plain.out, "0 FT1\n1 FT2\n");
}
