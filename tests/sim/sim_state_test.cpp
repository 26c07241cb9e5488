// State files as the boards' EEPROM: writes stored before they are acknowledged, seen by
// the next process, merged per device between processes, a device open in one process
// only, damaged files kept aside, failed saves reported and undone.  Other processes are
// sim_env_probe.
#include "sim_test_util.h"

#include "qolven_sim_c.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace simtest;
namespace sim = qolven_sim;

namespace {

Bytes write_eeprom(uint8_t n, uint8_t address, uint8_t high, uint8_t low) { return {n, 7, 0x83, address, high, low, 0xAA}; }
Bytes ack(uint8_t n) { return {n, 4, 0x01, 0xAA}; }
Bytes refused(uint8_t n, uint8_t command) { return {n, 5, 0x4D, command, 0xAA}; }

class SimState : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        char name[] = "/tmp/qolven_sim_state_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        state = dir + "/state";
    }
    void TearDown() override {
        qolven_sim_use_state_file(nullptr, nullptr, 0);
        sim::reset();
        std::system(("chmod -R u+w " + dir + "; rm -rf " + dir).c_str());
        char rest[256];
        qolven_sim_take_error(rest, sizeof rest);
    }
    static std::string use(const char *path) {
        char error[512];
        int rc = qolven_sim_use_state_file(path, error, sizeof error);
        EXPECT_EQ(rc == 0, error[0] == 0) << error;
        return error;
    }
    static std::string configure(const std::string &text) {
        char error[512];
        qolven_sim_configure(text.c_str(), error, sizeof error);
        return error;
    }
    static std::string kept() {
        char error[512];
        EXPECT_EQ(qolven_sim_take_error(error, sizeof error), 0);
        return error;
    }
    // Environment of a probe with these devices and this test's state file.
    std::string env(const std::string &devices) {
        std::string cfg = dir + "/devices-" + std::to_string(++configs);
        std::ofstream(cfg) << devices;
        return "QOLVEN_SIM_CONFIG=" + cfg + " QOLVEN_SIM_STATE=" + state;
    }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') out.push_back(e->d_name);
            closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<std::string> files_with(const std::string &part) const {
        std::vector<std::string> out;
        for (const std::string &f : files())
            if (f.find(part) != std::string::npos) out.push_back(f);
        return out;
    }
    static std::string read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void write(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }
    // A state file holding E1 with EEPROM register 106 = 0xFF0C.
    std::string good_file() {
        EXPECT_EQ(configure("serial=E1 delay_us=0"), "");
        EXPECT_EQ(use(state.c_str()), "");
        void *h = open_serial("E1");
        EXPECT_EQ(exchange(h, write_eeprom(1, 106, 0xFF, 12), 4), ack(1));
        FT_Close(h);
        return read(state);
    }

    std::string dir, state;
    int configs = 0;
};

TEST_F(SimState, AcknowledgedWritesAreSeenByTheNextProcess) {
    ASSERT_EQ(configure("serial=E1 delay_us=0"), "");
    ASSERT_EQ(use(state.c_str()), "");
    EXPECT_TRUE(files().empty()) << "nothing written before a write";
    void *h = open_serial("E1");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(exchange(h, write_eeprom(1, 106, 0xFF, 12), 4), ack(1));
    EXPECT_EQ(exchange(h, {2, 7, 0x85, 0x01, 0x02, 0x33, 0xAA}, 4), ack(2));
    EXPECT_EQ(exchange(h, {3, 5, 0x49, 7, 0xAA}, 4), ack(3));
    EXPECT_EQ(read(state).rfind("qolven-sim-state 2\ndevice E1\n", 0), 0u);
    std::string probe = env("serial=E1 delay_us=0");
    EXPECT_EQ(run_probe(probe, "open E1"), "3\n") << "still open here";
    FT_Close(h);
    EXPECT_EQ(run_probe(probe, "get-eeprom E1 106"), "65292\n");
    EXPECT_EQ(run_probe(probe, "set-eeprom E1 106 255 13"), "070401aa\n");
    EXPECT_EQ(sim::eeprom("E1", 106), 0xFF0C) << "not open: not loaded yet";
    h = open_serial("E1");
    EXPECT_EQ(sim::eeprom("E1", 106), 0xFF0D) << "opening loads what the other process stored";
    EXPECT_EQ(sim::teds_register("E1", 0x0102), 0x33);
    EXPECT_EQ(files(), (std::vector<std::string>{"devices-1", "state", "state.E1.lock", "state.lock"}));
}

TEST_F(SimState, ADeviceOpenInOneProcessCannotBeOpenedInAnother) {
    ASSERT_EQ(configure("serial=E1;serial=E2"), "");
    ASSERT_EQ(use(state.c_str()), "");
    std::string probe = env("serial=E1;serial=E2");
    void *h = open_serial("E1");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(run_probe(probe, "open E1"), "3\n");
    EXPECT_EQ(run_probe(probe, "open E2"), "0\n") << "another device is free";
    FT_Close(h);
    EXPECT_EQ(run_probe(probe, "open E1"), "0\n") << "closing gives it back";
    {
        BackgroundProbe other(probe, "open E1 1500");
        ASSERT_EQ(other.line(), "0\n");
        uint32_t status = 0;
        EXPECT_EQ(open_serial("E1", &status), nullptr);
        EXPECT_EQ(status, 3u);
        Node nodes[2] = {};
        uint32_t n = 0;
        ASSERT_EQ(FT_CreateDeviceInfoList(&n), 0u);
        ASSERT_EQ(FT_GetDeviceInfoList(nodes, &n), 0u);
        EXPECT_EQ(nodes[0].Flags, 1u) << "listed as open";
        EXPECT_EQ(nodes[0].ftHandle, nullptr) << "but not with a handle of this process";
        EXPECT_EQ(nodes[1].Flags, 0u);
    }
    EXPECT_NE(open_serial("E1"), nullptr) << "the other process has ended";
    ASSERT_TRUE(sim::detach("E1"));
    EXPECT_EQ(run_probe(probe, "open E1"), "0\n") << "unplugging gives it back";
}

TEST_F(SimState, SavesOfTwoProcessesMergePerDevice) {
    std::string a = env("serial=E1 delay_us=0"), b = env("serial=E2 delay_us=0 type=9");
    for (int round = 0; round < 3; ++round) {
        BackgroundProbe first(a, "fill E1 " + std::to_string(round * 40) + " 40");
        BackgroundProbe second(b, "fill E2 " + std::to_string(100 + round * 40) + " 40");
        EXPECT_EQ(first.finish(), "40\n");
        EXPECT_EQ(second.finish(), "40\n");
    }
    ASSERT_EQ(configure("serial=E1;serial=E2 type=9;serial=E3"), "");
    ASSERT_EQ(use(state.c_str()), "");
    int lost = 0;
    for (int r = 0; r < 120; ++r) lost += sim::eeprom("E1", r) != r;
    for (int r = 100; r < 220; ++r) lost += sim::eeprom("E2", r) != r;
    EXPECT_EQ(lost, 0) << "every acknowledged write of both processes is stored";
    EXPECT_EQ(sim::eeprom("E3", 50), 0xFFFF) << "no record: factory values";
    EXPECT_TRUE(files_with(".tmp").empty());
}

// A writer killed in the middle of a save leaves its temporary behind.  Temporaries are
// written only under the file's lock, so the next save, holding it, removes every one of
// this file's it finds, and nothing else.
TEST_F(SimState, TemporariesOfKilledWritersAreRemovedByTheNextSave) {
    const std::string probe = env("serial=E1 delay_us=0");
    for (int i = 1; i <= 6; ++i) {
        std::string cmd = "sh -c '" + probe + " " + SIM_EMULATOR + " " + SIM_ENV_PROBE +
                          " fill E1 0 250 >/dev/null 2>&1 & p=$!; sleep 0.0" + std::to_string(i * 15 % 90 + 10) +
                          "; kill -9 $p; wait $p' >/dev/null 2>&1";
        std::system(cmd.c_str());
    }
    for (const char *name : {"/state.tmp-Ab12Cd", "/state.tmp-keep", "/other.tmp-Ab12Cd", "/state.tmp-Ab12C!"})
        write(dir + name, "left over");

    ASSERT_EQ(configure("serial=E1 delay_us=0"), "");
    ASSERT_EQ(use(state.c_str()), "");
    void *h = open_serial("E1");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(exchange(h, write_eeprom(1, 250, 0x12, 0x34), 4), ack(1));
    FT_Close(h);
    EXPECT_EQ(files_with(".tmp-"), (std::vector<std::string>{"other.tmp-Ab12Cd", "state.tmp-Ab12C!", "state.tmp-keep"}));
    EXPECT_TRUE(files_with(".damaged-").empty()) << "a killed writer never damages the file";
    EXPECT_EQ(run_probe(probe, "get-eeprom E1 250"), "4660\n");
}

TEST_F(SimState, ADamagedFileIsReportedAndKeptAside) {
    const std::string good = good_file();
    std::string digit = good;
    digit[digit.find("eeprom ") + 9] = 'e';  // still a hex digit
    struct Case {
        std::string name, content, reason;
    } cases[] = {
        {"cut", good.substr(0, good.size() - 7), "cut off"},
        {"changed", digit, "the check sum does not match"},
        {"overwritten", "sample,channel,count,time\n1,0,5,0\n", "line 1: not a state file"},
        {"appended", good + "device X\n", "text after the end line"},
        {"bad record", "qolven-sim-state 1\ndevice E1\neeprom 12\n", "record \"eeprom\" of device \"E1\" is malformed"},
        {"incomplete", "qolven-sim-state 1\ndevice E1\nmemory " + std::string(512, '0') + "\n",
         "the record of device \"E1\" is incomplete"},
    };
    for (const Case &c : cases) {
        write(state, c.content);
        std::string error = use(state.c_str());
        EXPECT_EQ(error.rfind("the state file \"" + state + "\" is damaged (", 0), 0u) << c.name << ": " << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
        std::vector<std::string> aside = files_with(".damaged-");
        ASSERT_EQ(aside.size(), 1u) << c.name;
        EXPECT_NE(error.find("moved to \"" + dir + "/" + aside[0] + "\""), std::string::npos) << error;
        EXPECT_EQ(read(dir + "/" + aside[0]), c.content) << "kept as it was";
        EXPECT_EQ(access(state.c_str(), F_OK), -1) << "never overwritten";
        std::remove((dir + "/" + aside[0]).c_str());
    }

    // Damaged while in use: the open fails, then the write does.
    ASSERT_EQ(good_file(), good);
    write(state, good.substr(0, 40));
    uint32_t status = 0;
    EXPECT_EQ(open_serial("E1", &status), nullptr);
    EXPECT_EQ(status, 4u);
    EXPECT_NE(kept().find("is damaged (line 3: cut off (no line end))"), std::string::npos);
    EXPECT_EQ(files_with(".damaged-").size(), 1u);
    void *h = open_serial("E1");
    ASSERT_NE(h, nullptr) << "a new file is started";
    write(state, "junk\n");
    EXPECT_EQ(exchange(h, write_eeprom(2, 106, 0xFF, 14), 5), refused(2, 0x83));
    EXPECT_NE(kept().find("not a state file"), std::string::npos);
    EXPECT_EQ(files_with(".damaged-").size(), 2u);
    EXPECT_EQ(exchange(h, write_eeprom(3, 106, 0xFF, 14), 4), ack(3));
}

TEST_F(SimState, EarlierFormatIsReadAndRewritten) {
    std::string eeprom = "eeprom ", channel;
    for (int i = 0; i < 256; ++i) eeprom += i == 106 ? "ff2a" : "ffff";
    for (int c = 0; c < 4; ++c) channel += "channel " + std::to_string(c) + " " + std::string(512, 'f') + "\n";
    write(state, "qolven-sim-state 1\ndevice E1\n" + eeprom + "\n" + channel + "memory " + std::string(512, '0') +
                     "\nteds 258 51\ndevice OTHER\n" + eeprom + "\n" + channel + "memory " + std::string(512, '0') +
                     "\nteds 7 9\n");
    ASSERT_EQ(configure("serial=E1 delay_us=0"), "");
    ASSERT_EQ(use(state.c_str()), "");
    EXPECT_EQ(sim::eeprom("E1", 106), 0xFF2A);
    EXPECT_EQ(sim::teds_register("E1", 258), 51);
    void *h = open_serial("E1");
    EXPECT_EQ(exchange(h, write_eeprom(1, 107, 1, 2), 4), ack(1));
    std::string now = read(state);
    EXPECT_EQ(now.rfind("qolven-sim-state 2\n", 0), 0u);
    EXPECT_NE(now.find("device OTHER\n"), std::string::npos) << "the other record is kept";
    EXPECT_NE(now.find("teds 7 09\n"), std::string::npos) << "in the current form";
    ASSERT_EQ(configure("serial=OTHER"), "");
    EXPECT_EQ(sim::teds_register("OTHER", 7), 9);
}

TEST_F(SimState, AFailedSaveIsAnErrorAndTheWriteIsUndone) {
    std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(configure("serial=E1 delay_us=0"), "");
    ASSERT_EQ(use((sub + "/state").c_str()), "");
    void *h = open_serial("E1");
    ASSERT_EQ(exchange(h, write_eeprom(1, 50, 1, 2), 4), ack(1));
    ASSERT_EQ(std::system(("rm -rf " + sub).c_str()), 0);
    EXPECT_EQ(exchange(h, write_eeprom(2, 50, 3, 4), 5), refused(2, 0x83));
    EXPECT_EQ(sim::eeprom("E1", 50), 0x0102) << "rolled back";
    std::string error = kept();
    EXPECT_EQ(error, "cannot save the state file \"" + sub + "/state\": cannot create the lock file \"" + sub +
                         "/state.lock\": No such file or directory");
    EXPECT_EQ(exchange(h, {3, 5, 0x29, 0x7F, 0xAA}, 5), refused(3, 0x29));
    EXPECT_EQ(sim::eeprom("E1", 100), 0xFF70) << "ADC configuration rolled back too";
    EXPECT_NE(sim::diagnostics("E1").back().find("(ADC configuration) not stored: "), std::string::npos);
    EXPECT_NE(kept().find("cannot create the lock file"), std::string::npos);
    EXPECT_EQ(kept(), "") << "taken";

    // A file size limit in another process: the write fails there, nothing is left behind.
    FT_Close(h);
    ASSERT_EQ(use(state.c_str()), "");
    h = open_serial("E1");
    ASSERT_EQ(exchange(h, write_eeprom(4, 50, 5, 6), 4), ack(4));
    FT_Close(h);
    const std::string before = read(state);
    std::string out = run_probe("ulimit -f 2; " + env("serial=E1 delay_us=0"), "set-eeprom E1 50 7 8");
    EXPECT_EQ(out.rfind("07054d83aa cannot save the state file \"" + state + "\": File too large (writing", 0), 0u) << out;
    EXPECT_EQ(read(state), before);
    EXPECT_TRUE(files_with(".tmp").empty()) << "no temporary left";
    EXPECT_EQ(run_probe(env("serial=E1 delay_us=0"), "get-eeprom E1 50"), "1286\n");
}

TEST_F(SimState, UnusablePathsAreRefusedAndTheFileInUseStays) {
    ASSERT_EQ(configure("serial=E1 delay_us=0"), "");
    void *h = open_serial("E1");
    EXPECT_EQ(exchange(h, write_eeprom(1, 50, 1, 2), 4), ack(1));
    EXPECT_TRUE(files().empty()) << "without a state file nothing touches the disk";
    FT_Close(h);
    ASSERT_EQ(use(state.c_str()), "");
    write(dir + "/plain", "x");
    struct Case {
        std::string path, error;
    } cases[] = {
        {"", "the state file path is empty"},
        {dir, "the state file \"" + dir + "\" is a directory"},
        {"/dev/null", "the state file \"/dev/null\" is not a regular file"},
        {dir + "/plain/state", "cannot use the state file \"" + dir + "/plain/state\": Not a directory"},
        {dir + "/none/state", "the directory of the state file \"" + dir + "/none/state\" cannot be used: No such file"},
        {dir + "/new/", "the state file \"" + dir + "/new/\" names a directory"},
    };
    for (const Case &c : cases) EXPECT_EQ(use(c.path.c_str()).substr(0, c.error.size()), c.error) << c.path;
    h = open_serial("E1");
    EXPECT_EQ(exchange(h, write_eeprom(2, 51, 3, 4), 4), ack(2));
    EXPECT_NE(read(state).find("device E1"), std::string::npos) << "saved where it was before";
    EXPECT_EQ(files(), (std::vector<std::string>{"plain", "state", "state.E1.lock", "state.lock"}));
}

} // namespace
