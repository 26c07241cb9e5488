// Network addresses and ports of the networked board.
#include "fixture.h"

#include <cstring>
#include <functional>

namespace {

class Network : public BoardTest {
protected:
    void SetUp() override { useBoard(13); }
    Bytes settings() {
        const auto *b = reinterpret_cast<const uint8_t *>(&dev.networkSettings);
        return Bytes(b, b + sizeof dev.networkSettings);
    }
};

using Call = std::function<std::string(QOLVEN_USB_DLL &, void *)>;
Bytes write(uint8_t reg, uint8_t high, uint8_t low) { return {0, 7, 0x83, reg, high, low, 0xAA}; }
Bytes read(uint8_t reg) { return {0, 5, 0x82, reg, 0xAA}; }

struct Value {
    const char *name;
    Call set;
    std::vector<Bytes> writes;
    Call get;
    size_t offset;  // of the member in networkSettings
    Bytes record;
};
const Value kValues[] = {
    {"destination MAC",
     [](QOLVEN_USB_DLL &d, void *h) { return d.Set_Destination_MAC_Address(h, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0); },
     {write(128, 0x11, 0x00), write(130, 0x33, 0x22), write(132, 0x55, 0x44)},
     [](QOLVEN_USB_DLL &d, void *h) { return d.Get_Destination_MAC_Address(h, 0); }, 0,
     {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
    {"destination IP", [](QOLVEN_USB_DLL &d, void *h) { return d.Set_Destination_IP_Address(h, 192, 168, 1, 10, 0); },
     {write(134, 168, 192), write(136, 10, 1)},
     [](QOLVEN_USB_DLL &d, void *h) { return d.Get_Destination_IP_Address(h, 0); }, 6, {192, 168, 1, 10}},
    {"destination port", [](QOLVEN_USB_DLL &d, void *h) { return d.Set_Destination_Port_Number(h, 5000, 0); },
     {write(138, 0x13, 0x88)}, [](QOLVEN_USB_DLL &d, void *h) { return d.Get_Destination_Port_Number(h, 0); }, 10,
     {0x88, 0x13}},
    {"source IP", [](QOLVEN_USB_DLL &d, void *h) { return d.Set_Source_IP_Address(h, 10, 0, 0, 254, 0); },
     {write(146, 0, 10), write(148, 254, 0)},
     [](QOLVEN_USB_DLL &d, void *h) { return d.Get_Source_IP_Address(h, 0); }, 18, {10, 0, 0, 254}},
    {"source port", [](QOLVEN_USB_DLL &d, void *h) { return d.Set_Source_Port_Number(h, 65535, 0); },
     {write(150, 0xFF, 0xFF)}, [](QOLVEN_USB_DLL &d, void *h) { return d.Get_Source_Port_Number(h, 0); }, 22,
     {0xFF, 0xFF}},
};

TEST_F(Network, ValuesAreWrittenLowByteFirstAndReadBackIntoTheRecord) {
    for (const Value &v : kValues) {
        SCOPED_TRACE(v.name);
        clearWire();
        EXPECT_EQ(v.set(dev, h), "0") << error();
        EXPECT_EQ(afterIdentification(), v.writes);
        clearWire();
        Bytes before = settings();
        EXPECT_EQ(v.get(dev, h), "0") << error();
        std::vector<Bytes> reads;
        for (const Bytes &w : v.writes) reads.push_back(read(w[3]));
        EXPECT_EQ(afterIdentification(), reads);
        Bytes expected = before;
        std::copy(v.record.begin(), v.record.end(), expected.begin() + v.offset);
        EXPECT_EQ(settings(), expected);
    }
}

TEST_F(Network, SourceMacAddressIsReadOnly) {
    qolven_sim::set_eeprom(serial, 140, 0x0200);
    qolven_sim::set_eeprom(serial, 142, 0x0403);
    qolven_sim::set_eeprom(serial, 144, 0x0605);
    EXPECT_EQ(dev.Get_Source_MAC_Address(h, 0), "0");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{read(140), read(142), read(144)}));
    EXPECT_EQ(Bytes(dev.networkSettings.sourceMacAddress, dev.networkSettings.sourceMacAddress + 6),
              (Bytes{0, 2, 3, 4, 5, 6}));
}

TEST_F(Network, PortRange) {
    for (int bad : {-1, 65536}) {
        EXPECT_EQ(dev.Set_Destination_Port_Number(h, bad, 0), "Error");
        EXPECT_EQ(error(), "Invalid Port Number");
        EXPECT_EQ(dev.Set_Source_Port_Number(h, bad, 0), "Error");
        EXPECT_EQ(error(), "Invalid Port Number");
    }
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(dev.Set_Destination_Port_Number(h, 0, 0), "0");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{write(138, 0, 0)}));
}

TEST_F(Network, OtherBoardsAreRefusedAndTheRecordKept) {
    for (int board : {12, 14, 9}) {
        SCOPED_TRACE(board);
        useBoard(board);
        std::memset(&dev.networkSettings, 0xEE, sizeof dev.networkSettings);
        for (const Value &v : kValues) {
            for (const Call &call : {v.set, v.get}) {
                EXPECT_EQ(call(dev, h), "Error");
                EXPECT_EQ(error(), "Invalid Type of Board");
            }
        }
        EXPECT_EQ(dev.Get_Source_MAC_Address(h, 0), "Error");
        EXPECT_TRUE(afterIdentification().empty());
        EXPECT_EQ(settings(), Bytes(24, 0xEE));
    }
}

TEST_F(Network, FailedReadStopsAndKeepsWhatWasRead) {
    qolven_sim::set_eeprom(serial, 128, 0x2211);
    qolven_sim::set_eeprom(serial, 130, 0x4433);
    std::memset(&dev.networkSettings, 0xEE, sizeof dev.networkSettings);
    // Answers: identification, register 128, register 130.
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongEnd, qolven_sim::FaultMode::EveryNth, -1, 0, 3});
    EXPECT_EQ(dev.Get_Destination_MAC_Address(h, 0), "Error");
    EXPECT_EQ(error(), "End Of Packet Error");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{read(128), read(130)}));
    Bytes expected(24, 0xEE);
    expected[0] = 0x11;
    expected[1] = 0x22;
    EXPECT_EQ(settings(), expected);
}

TEST_F(Network, FailedEarlierWriteIsReportedAfterEveryWriteWasMade) {
    qolven_sim::set_eeprom(serial, 134, 0x1234);
    // Answers: identification, register 134 (refused), register 136.
    qolven_sim::set_fault(serial, {qolven_sim::Fault::BoardError, qolven_sim::FaultMode::EveryNth, 0x4D, 0, 2});
    EXPECT_EQ(dev.Set_Destination_IP_Address(h, 192, 168, 1, 10, 0), "Error");
    EXPECT_EQ(error(), "Command Error");
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{write(134, 168, 192), write(136, 10, 1)}));
    EXPECT_EQ(qolven_sim::eeprom(serial, 134), 0x1234);
    EXPECT_EQ(qolven_sim::eeprom(serial, 136), 0x0A01);

    qolven_sim::clear_faults(serial);

    // The first failure's text wins over a later one: answers 2 (register 128)
    // and 4 (register 132) fail differently.
    clearWire();
    qolven_sim::set_fault(serial, {qolven_sim::Fault::WrongEnd, qolven_sim::FaultMode::EveryNth, -1, 0, 4});
    qolven_sim::set_fault(serial, {qolven_sim::Fault::BoardError, qolven_sim::FaultMode::EveryNth, 0x4D, 0, 2});
    EXPECT_EQ(dev.Set_Destination_MAC_Address(h, 1, 2, 3, 4, 5, 6, 0), "Error");
    EXPECT_EQ(error(), "Command Error");
    EXPECT_EQ(afterIdentification().size(), 3u);
    qolven_sim::clear_faults(serial);
    EXPECT_EQ(dev.Set_Destination_MAC_Address(h, 1, 2, 3, 4, 5, 6, 0), "0");
    EXPECT_EQ(error(), "");
}

TEST_F(Network, OfflineLeavesTheRecordAlone) {
    dev.offlineMode = 1;
    std::memset(&dev.networkSettings, 0xEE, sizeof dev.networkSettings);
    for (const Value &v : kValues) {
        EXPECT_EQ(v.set(dev, h), "0");
        EXPECT_EQ(v.get(dev, h), "0");
    }
    EXPECT_EQ(dev.Set_Destination_Port_Number(h, -1, 0), "0");
    EXPECT_EQ(dev.Get_Source_MAC_Address(h, 0), "0");
    EXPECT_EQ(settings(), Bytes(24, 0xEE));
    EXPECT_TRUE(wire().empty());
}

} // namespace
