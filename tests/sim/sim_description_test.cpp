// Device descriptions through qolven_sim_configure(): the one grammar of --simulate
// texts and description files, its checks, the fault keys, and the C conventions.
#include "sim_test_util.h"

#include "qolven_sim_c.h"

#include <cstring>

using namespace simtest;
namespace sim = qolven_sim;

namespace {

// "" on success, else the error text.
std::string configure(const std::string &text) {
    char error[512];
    std::memset(error, 'x', sizeof error);
    int rc = qolven_sim_configure(text.c_str(), error, sizeof error);
    EXPECT_NE(std::memchr(error, 0, sizeof error), nullptr) << "NUL-terminated";
    EXPECT_EQ(rc == 0, error[0] == 0) << error;
    return error;
}

class SimDescription : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { sim::reset(); }
};

TEST_F(SimDescription, OptionAndFileSyntaxAreOneGrammar) {
    ASSERT_EQ(configure("type=9,serial=SIM0009,channels=2;type=2"), "");
    EXPECT_EQ(sim::serials(), (std::vector<std::string>{"SIM0009", "SIM0002"})) << "serial by position";
    EXPECT_EQ(sim::config("SIM0009").activeChannels, 2);
    ASSERT_EQ(configure("# rig 3\n"
                        "\n"
                        "serial=E1 type=010 hw=0x0A, description=\"LOAD CELL #1; left\"  # comment\n"
                        "type=16 seed=007;fw=5\n"),
              "");
    EXPECT_EQ(sim::serials(), (std::vector<std::string>{"E1", "SIM0002", "SIM0003"})) << "replaces all devices";
    sim::BoardConfig e1 = sim::config("E1");
    EXPECT_EQ(e1.boardType, 10) << "a leading zero is still decimal";
    EXPECT_EQ(e1.hardwareVersion, 10);
    EXPECT_EQ(e1.description, "LOAD CELL #1; left");
    EXPECT_EQ(sim::config("SIM0002").seed, 7u);
    EXPECT_EQ(sim::config("SIM0003").firmwareVersion, 5);
    ASSERT_EQ(configure("\xef\xbb\xbfserial=BOM"), "") << "a byte-order mark is skipped";
    EXPECT_EQ(sim::serials(), std::vector<std::string>{"BOM"});
    ASSERT_EQ(configure("serial=\"K\xc3\xa4se\" offset=-1.5e3 eeprom.0x10=0x1234 channel.1.7=9 teds.65535=1"), "");
    EXPECT_EQ(sim::serials(), (std::vector<std::string>{"K\xc3\xa4se"})) << "UTF-8 serial numbers";
    EXPECT_DOUBLE_EQ(sim::config("K\xc3\xa4se").signalOffset, -1500);
    EXPECT_EQ(sim::eeprom("K\xc3\xa4se", 16), 0x1234);
    EXPECT_EQ(sim::channel_register("K\xc3\xa4se", 1, 7), 9);
    EXPECT_EQ(sim::teds_register("K\xc3\xa4se", 65535), 1);
}

TEST_F(SimDescription, BadInputIsRefusedWithDeviceKeyAndFault) {
    const std::string binary = std::string("serial=\xff\xfe") + std::string(10 << 20, 'A');
    std::string many;
    for (int i = 0; i < 257; ++i) many += "type=2;";
    struct Case {
        std::string text, error;
    } cases[] = {
        {"type=abc", "device 1: key \"type\": \"abc\" is not a number (board types, decimal or 0x hexadecimal)"},
        {"type=2;type=17", "device 2: key \"type\": 17 is outside 0..16 (board types)"},
        {"type=99", "device 1: key \"type\": 99 is outside 0..16 (board types)"},
        {"type=255", "device 1: key \"type\": 255 is outside 0..16 (board types)"},
        {"type=0x", "device 1: key \"type\": \"0x\" is not a number"},
        {"type=+2", "device 1: key \"type\": \"+2\" is not a number"},
        {"frob=1", "device 1: unknown key \"frob\" (known keys: serial, description, type,"},
        {"serial=" + std::string(64, 'S'), "device 1: key \"serial\": \"" + std::string(40, 'S') +
                                              "\"... has 64 bytes (serial numbers: 1 to 63 bytes)"},
        {"serial=", "device 1: key \"serial\": empty"},
        {"serial=AB#C", "device 1: key \"serial\": '#' inside a pair"},
        {"serial=\"AB#C\"", "device 1: key \"serial\": \"AB#C\" is not a serial number"},
        {"serial=\"A B\"", "device 1: key \"serial\": \"A B\" is not a serial number"},
        {"serial=\"\xc3\x28\"", "device 1: key \"serial\": \"\\xc3(\" is not a serial number"},
        {"serial=A;serial=A", "device 2: serial number \"A\" is already device 1's"},
        {"serial=SIM0002;type=3", "device 2: serial number \"SIM0002\" is already device 1's"},
        {"description=\"open", "device 1: key \"description\": unclosed quote"},
        {"description=\"a\nb\"", "device 1 (line 1): key \"description\": unclosed quote"},
        {"description=\"a\"b", "device 1: key \"description\": text after the closing quote"},
        {"desc\"x\"=1", "device 1: a quote only opens a value"},
        {"description=" + std::string(64, 'd'), "device 1: key \"description\": \"dddd"},
        {"type=2,type=3", "device 1: key \"type\": given twice"},
        {"type=2 justaword", "device 1: \"justaword\" is not key=value (known keys:"},
        {"=5", "device 1: pair \"=5\" has no key"},
        {"type=2\x01", "device 1: key \"type\": unexpected byte \\x01"},
        {"serial=A\n\n# c\nserial=B type=x\n", "device 2 (line 4): key \"type\": \"x\" is not a number"},
        {"", "no device described"},
        {"# only a comment\n;;\n", "no device described"},
        {many, "device 257: too many devices (at most 256)"},
        {"year=16", "device 1: key \"year\": 16 is outside 0..15"},
        {"channels=5", "device 1: key \"channels\": 5 is outside 1..4"},
        {"period=-1", "device 1: key \"period\": -1 is below 0"},
        {"noise=nan", "device 1: key \"noise\": \"nan\" is not a number"},
        {"eeprom.256=1", "device 1: key \"eeprom.256\": register address \"256\" is outside 0..255"},
        {"channel.4.1=1", "device 1: key \"channel.4.1\": not a channel register"},
        {"memory.3=256", "device 1: key \"memory.3\": 256 is outside 0..255 (register value)"},
        {"fault=frob", "device 1: key \"fault\": \"frob\" is not a fault (none, no_answer, late, partial,"},
        {"fault_every=2", "device 1: key \"fault_every\": needs fault=NAME"},
        {"fault=late,fault_arg=3", "device 1: key \"fault_arg\": fault late takes no argument"},
        {"fault=partial,fault_delay_us=3", "device 1: key \"fault_delay_us\": fault partial takes no delay"},
        {"fault=split,fault_every=2,fault_probability=0.5",
         "device 1: key \"fault_probability\": fault_every and fault_probability exclude each other"},
        {"fault=split,fault_probability=1.5", "device 1: key \"fault_probability\": \"1.5\" is not a probability"},
        {"fault=split,fault_every=0", "device 1: key \"fault_every\": 0 is outside 1..1000000"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(configure("serial=KEEP"), "");
        std::string error = configure(c.text);
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << "input: " << c.text.substr(0, 60);
        EXPECT_EQ(sim::serials(), std::vector<std::string>{"KEEP"}) << "nothing attached: " << c.text.substr(0, 60);
    }
    std::string error = configure(binary);
    EXPECT_EQ(error.rfind("device 1: key \"serial\": \"\\xff\\xfeAAAA", 0), 0u) << error;
    EXPECT_LT(error.size(), 200u) << "bounded";
    EXPECT_LT(configure("frob" + std::string(100000, 'x') + "=1").size(), configure("frob=1").size() + 50)
        << "a long key is quoted only in part";
}

TEST_F(SimDescription, ErrorTextIsCutToTheBufferAndNeverOverrun) {
    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_NE(qolven_sim_configure("type=abc", small, 6), 0);
    EXPECT_STREQ(small, "devic");
    EXPECT_EQ(small[6], '#') << "nothing written beyond errorSize";
    EXPECT_NE(qolven_sim_configure("type=abc", nullptr, 0), 0);
    EXPECT_NE(qolven_sim_configure(nullptr, small, sizeof small), 0);
    // A cut inside a two-byte character drops the whole character.
    const std::string before = "device 1: key \"serial\": \"K";
    char utf8[64];
    EXPECT_NE(qolven_sim_configure(("serial=\"K\xc3\xa4sebrot-" + std::string(60, '7') + "\"").c_str(), utf8,
                                   before.size() + 2),
              0);
    EXPECT_EQ(std::string(utf8), before);
}

TEST_F(SimDescription, ConfigureUnplugsTheDevicesItReplaces) {
    ASSERT_EQ(configure("serial=OLD delay_us=0"), "");
    void *h = open_serial("OLD");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(configure("serial=OLD delay_us=0;serial=NEW"), "");
    uint32_t rx = 0;
    EXPECT_EQ(FT_GetStatus(h, &rx, nullptr, nullptr), 4u) << "the old board is gone";
    void *again = open_serial("OLD");
    EXPECT_NE(again, nullptr) << "its successor opens";
}

TEST_F(SimDescription, FaultKeysInjectTheFaults) {
    ASSERT_EQ(configure("serial=F1 delay_us=0 fault=wrong_end fault_every=2;"
                        "serial=F2 delay_us=0 fault=partial fault_arg=3;"
                        "serial=F3 delay_us=0 fault=board_error fault_arg=0x4F fault_probability=1;"
                        "serial=F4 delay_us=0 fault=late fault_delay_us=30000"),
              "");
    void *f1 = open_serial("F1"), *f2 = open_serial("F2"), *f3 = open_serial("F3"), *f4 = open_serial("F4");
    std::vector<Bytes> answers;
    for (uint8_t n = 1; n <= 4; ++n) answers.push_back(exchange(f1, {n, 4, 0x01, 0xAA}, 4));
    EXPECT_EQ(answers, (std::vector<Bytes>{{1, 4, 1, 0xAA}, {2, 4, 1, 0}, {3, 4, 1, 0xAA}, {4, 4, 1, 0}}));
    EXPECT_EQ(exchange(f2, {1, 4, 0x01, 0xAA}, 3), (Bytes{1, 4, 1}));
    EXPECT_EQ(exchange(f2, {2, 4, 0x01, 0xAA}, 4), (Bytes{2, 4, 1, 0xAA})) << "without a mode: the next answer only";
    EXPECT_EQ(exchange(f3, {1, 4, 0x01, 0xAA}, 5), (Bytes{1, 5, 0x4F, 0x01, 0xAA}));
    EXPECT_EQ(exchange(f3, {2, 4, 0x01, 0xAA}, 5), (Bytes{2, 5, 0x4F, 0x01, 0xAA}));
    write_bytes(f4, {1, 4, 0x01, 0xAA});
    sleep_ms(5);
    EXPECT_EQ(rx_visible(f4), 0u) << "late";
    EXPECT_EQ(read_at_least(f4, 4, 2000), (Bytes{1, 4, 1, 0xAA}));
}

TEST_F(SimDescription, DescriptionFileNamingADirectoryOrMissing) {
    std::string error;
    EXPECT_FALSE(sim::load_description("/", &error));
    EXPECT_EQ(error, "\"/\": is a directory, not a description file");
    EXPECT_FALSE(sim::load_description("/nonexistent/devices.txt", &error));
    EXPECT_EQ(error, "\"/nonexistent/devices.txt\": cannot read: No such file or directory");
}

} // namespace
