// Description files, state files, and first-use initialisation from the environment
// (checked in a separate process, sim_env_probe).
#include "sim_test_util.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

using namespace simtest;
namespace sim = qolven_sim;

namespace {

class SimFiles : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        dir = "/tmp/qolven_sim_test_" + std::to_string(getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::system(("mkdir -p " + dir).c_str());
    }
    void TearDown() override {
        sim::reset();
        std::system(("rm -rf " + dir).c_str());
    }
    std::string write_file(const std::string &name, const std::string &text) {
        std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    std::string dir;
};

TEST_F(SimFiles, DescriptionFileAttachesDevices) {
    std::string path = write_file("devices.txt",
                                  "# two boards\n"
                                  "\n"
                                  "serial=SIM0009 type=9 fw=5 delay_us=0 channels=3, seed=7\n"
                                  "serial=SIM0010,type=16 description=\"LOAD CELL 1\" hw=0x03 year=12 month=4 "
                                  "reset_delay_ms=0 completion_delay_ms=5 offset=-100 amplitude=5 period=2 noise=0 "
                                  "eeprom.106=34 channel.1.114=3 memory.35=16 teds.4660=9 internal.5=66051 rpm=30  # x\n");
    std::string error = "unchanged";
    ASSERT_TRUE(sim::load_description(path, &error)) << error;
    EXPECT_EQ((sim::serials()), (std::vector<std::string>{"SIM0009", "SIM0010"}));
    auto a = sim::config("SIM0009");
    EXPECT_EQ(a.boardType, 9);
    EXPECT_EQ(a.firmwareVersion, 5);
    EXPECT_EQ(a.answerDelayUs, 0u);
    EXPECT_EQ(a.activeChannels, 3);
    EXPECT_EQ(a.seed, 7u);
    auto b = sim::config("SIM0010");
    EXPECT_EQ(b.boardType, 16);
    EXPECT_EQ(b.description, "LOAD CELL 1");
    EXPECT_EQ(b.hardwareVersion, 3);
    EXPECT_EQ(b.firmwareYear, 12);
    EXPECT_EQ(b.firmwareMonth, 4);
    EXPECT_EQ(b.resetDelayMs, 0u);
    EXPECT_EQ(b.completionDelayMs, 5u);
    EXPECT_DOUBLE_EQ(b.signalOffset, -100);
    EXPECT_DOUBLE_EQ(b.signalAmplitude, 5);
    EXPECT_DOUBLE_EQ(b.signalPeriodS, 2);
    EXPECT_DOUBLE_EQ(b.signalNoise, 0);
    EXPECT_DOUBLE_EQ(b.rotationRpm, 30);
    EXPECT_EQ(b.answerDelayUs, 1500u) << "default";
    EXPECT_EQ(sim::eeprom("SIM0010", 106), 34);
    EXPECT_EQ(sim::channel_register("SIM0010", 1, 114), 3);
    EXPECT_EQ(sim::memory_register("SIM0010", 35), 16);
    EXPECT_EQ(sim::teds_register("SIM0010", 4660), 9);
    void *h = open_serial("SIM0010");
    sim::set_answer_delay_us("SIM0010", 0);
    EXPECT_EQ(exchange(h, {1, 5, 0x47, 5, 0xAA}, 7), (Bytes{1, 7, 0x47, 1, 2, 3, 0xAA}));
    EXPECT_EQ(exchange(h, {2, 4, 0x44, 0xAA}, 8), (Bytes{2, 8, 0x44, 16, 3, 4, 0xC4, 0xAA}));
}

TEST_F(SimFiles, RegisterDefaultsSurviveABoardTypeChange) {
    std::string path = write_file("d.txt", "serial=X1 type=2 eeprom.200=0x1234\n");
    ASSERT_TRUE(sim::load_description(path, nullptr));
    sim::set_board_type("X1", 8);
    EXPECT_EQ(sim::eeprom("X1", 200), 0x1234);
    EXPECT_EQ(sim::eeprom("X1", 124), 360);
}

TEST_F(SimFiles, BadLinesAreRejectedWithTheirNumber) {
    struct Case {
        std::string text, expect;
    } cases[] = {
        {"serial=A type=2\nserial=B colour=red\n", "device 2 (line 2): unknown key \"colour\""},
        {"serial=A type=two\n", "device 1: key \"type\": \"two\" is not a number"},
        {"# c\ntype=2 type=3\n", "device 1 (line 2): key \"type\": given twice"},
        {"serial=A year=16\n", "device 1: key \"year\": 16 is outside 0..15"},
        {"serial=A channels=5\n", "device 1: key \"channels\""},
        {"serial=A eeprom.300=1\n", "device 1: key \"eeprom.300\": register address"},
        {"serial=A channel.4.1=1\n", "device 1: key \"channel.4.1\": not a channel register"},
        {"serial=A memory.3=256\n", "device 1: key \"memory.3\": 256 is outside"},
        {"serial=A justaword\n", "device 1: \"justaword\" is not key=value"},
        {"serial=A description=\"open\n", "device 1: key \"description\": unclosed quote"},
        {"serial=" + std::string(64, 'S') + "\n", "device 1: key \"serial\""},
        {std::string("serial=A\ntype=2\0serial=X\n", 25), "line 2, byte 7: a NUL byte (a description is text)"},
    };
    for (const auto &c : cases) {
        sim::reset();
        std::string error, path = write_file("bad.txt", c.text);
        EXPECT_FALSE(sim::load_description(path, &error)) << c.text;
        EXPECT_EQ(error.rfind("\"" + path + "\": " + c.expect, 0), 0u) << "got: " << error;
        EXPECT_TRUE(sim::serials().empty()) << "nothing attached from a bad file";
    }
    std::string error;
    EXPECT_FALSE(sim::load_description(dir + "/missing.txt", &error));
    EXPECT_FALSE(error.empty());
}

TEST_F(SimFiles, StateSaveAndLoad) {
    sim::attach(board("S1", 2));
    sim::attach(board("S9", 9));
    void *h = open_serial("S1");
    exchange(h, {1, 7, 0x83, 106, 0xFF, 12, 0xAA}, 4);
    exchange(h, {2, 6, 0x81, 35, 99, 0xAA}, 4);
    exchange(h, {3, 7, 0x85, 0x01, 0x02, 0x33, 0xAA}, 4);
    sim::set_page("S1", 7, Bytes(129, 0x77));
    sim::set_channel_register("S9", 3, 114, 5);
    std::string path = dir + "/state.txt";
    ASSERT_TRUE(sim::save_state(path));

    sim::reset();
    sim::attach(board("S1", 2));
    sim::attach(board("S9", 9));
    sim::set_page("S1", 8, Bytes(129, 0x88));
    EXPECT_EQ(sim::eeprom("S1", 106), 0xFF22);
    ASSERT_TRUE(sim::load_state(path));
    EXPECT_EQ(sim::eeprom("S1", 106), 0xFF0C);
    EXPECT_EQ(sim::memory_register("S1", 35), 99);
    EXPECT_EQ(sim::teds_register("S1", 0x0102), 0x33);
    EXPECT_EQ(sim::teds_register("S1", 0x0103), 0xFF);
    EXPECT_EQ(sim::page("S1", 7), Bytes(129, 0x77));
    EXPECT_NE(sim::page("S1", 8), Bytes(129, 0x88)) << "pages not in the file are factory pages";
    EXPECT_EQ(sim::channel_register("S9", 3, 114), 5);

    EXPECT_FALSE(sim::load_state(dir + "/missing.txt"));
    EXPECT_FALSE(sim::load_state(write_file("junk.txt", "not a state file\n")));
    EXPECT_FALSE(sim::load_state(write_file("junk2.txt", "qolven-sim-state 1\ndevice S1\neeprom 12\n")));
    EXPECT_EQ(sim::eeprom("S1", 106), 0xFF0C) << "a bad file changes nothing";
}

// ---- first use in a fresh process (sim_env_probe)

TEST_F(SimFiles, DefaultDeviceWithoutConfiguration) {
    EXPECT_EQ(run_probe("env -u QOLVEN_SIM_CONFIG -u QOLVEN_SIM_STATE", "list"), "SIM0001 2 1500\n");
}

TEST_F(SimFiles, ConfigurationFromTheEnvironment) {
    std::string path = write_file("env.txt", "serial=E1 type=9 delay_us=0\nserial=E2 type=13\n");
    EXPECT_EQ(run_probe("env -u QOLVEN_SIM_STATE QOLVEN_SIM_CONFIG=" + path, "list"), "E1 9 0\nE2 13 1500\n");
}

TEST_F(SimFiles, BadEnvironmentIsReportedBoundedAndEscaped) {
    std::string binary = dir + "/binary";
    std::ofstream(binary, std::ios::binary) << "serial=" << std::string("\x1b[2J\xff", 5) << std::string(100000, 'B');
    struct Case {
        std::string env, output;
    } cases[] = {
        {"QOLVEN_SIM_CONFIG=" + dir, "qolven_sim: QOLVEN_SIM_CONFIG \"" + dir + "\": is a directory, not a description file\n"},
        {"QOLVEN_SIM_CONFIG=" + dir + "/none", "qolven_sim: QOLVEN_SIM_CONFIG \"" + dir +
                                                   "/none\": cannot read: No such file or directory\n"},
        {"QOLVEN_SIM_CONFIG=" + binary, "qolven_sim: QOLVEN_SIM_CONFIG \"" + binary +
                                            "\": device 1: key \"serial\": unexpected byte \\x1b\n"},
        {"QOLVEN_SIM_CONFIG=" + write_file("nul", std::string("type=2\0serial=X", 16)),
         "qolven_sim: QOLVEN_SIM_CONFIG \"" + dir + "/nul\": line 1, byte 7: a NUL byte (a description is text)\n"},
        {"QOLVEN_SIM_CONFIG=" + write_file("big", "type=2 serial=\"" + std::string(70000, 'Q') + "\"\n"),
         "qolven_sim: QOLVEN_SIM_CONFIG \"" + dir + "/big\": device 1: key \"serial\": \"" + std::string(40, 'Q') +
             "\"... has 70000 bytes (serial numbers: 1 to 63 bytes)\n"},
    };
    for (const Case &c : cases) {
        // The message, no device, and the same reason from qolven_sim_take_error().
        EXPECT_EQ(run_probe("env -u QOLVEN_SIM_STATE " + c.env, "list"), c.output);
        EXPECT_EQ(run_probe("env -u QOLVEN_SIM_STATE " + c.env, "error"),
                  c.output + " " + c.output.substr(std::string("qolven_sim: ").size()));
    }
    EXPECT_EQ(run_probe("env -u QOLVEN_SIM_CONFIG QOLVEN_SIM_STATE=" + dir, "list"),
              "qolven_sim: QOLVEN_SIM_STATE \"" + dir + "\": the state file \"" + dir + "\" is a directory\nSIM0001 2 1500\n");
}

TEST_F(SimFiles, StateCarriesOverBetweenProcesses) {
    std::string cfg = write_file("env.txt", "serial=E1 type=2 delay_us=0\n");
    std::string env = "QOLVEN_SIM_CONFIG=" + cfg + " QOLVEN_SIM_STATE=" + dir + "/state.txt";
    EXPECT_EQ(run_probe(env, "get-eeprom E1 106"), "65314\n");  // 0xFF22, factory
    EXPECT_EQ(run_probe(env, "set-eeprom E1 106 255 12"), "070401aa\n");
    EXPECT_EQ(run_probe(env, "get-eeprom E1 106"), "65292\n");  // 0xFF0C from the state file
}

} // namespace
