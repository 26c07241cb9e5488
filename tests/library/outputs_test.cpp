// Outputs, switches, digital components and pulses per rotation.
#include "fixture.h"

#include <algorithm>
#include <functional>
#include <set>

namespace {

class Outputs : public BoardTest {
protected:
    // The fixture's boards report completion in the same read as the
    // acknowledgement; this one reports it `ms` later.
    void useBoardCompletingAfter(int type, unsigned ms) {
        useBoard(type);
        dev.Close_Device_Connection(h);
        qolven_sim::BoardConfig c = qolven_sim::config(serial);
        c.completionDelayMs = ms;
        qolven_sim::attach(c);
        std::string s = serial;
        dev.Open_Device_Connection(&s[0]);
        h = dev.DeviceHandle;
        clearWire();
        qolven_sim::clear_calls();
    }
    // On every board type from 0 to 17: the boards served answer `expected`
    // after the one request `sent`; the others are refused after the identification.
    void expectOnBoards(const std::set<int> &served, const std::function<std::string()> &call,
                        const std::string &expected, const Bytes &sent, const std::function<void()> &prepare) {
        for (int board = 0; board <= 17; ++board) {
            SCOPED_TRACE(testing::Message() << "board " << board);
            useBoard(board);
            prepare();
            bool isServed = served.count(board) > 0;
            EXPECT_EQ(call(), isServed ? expected : "Error") << error();
            if (!isServed) EXPECT_EQ(error(), "Invalid Type of Board");
            EXPECT_EQ(afterIdentification(), isServed ? std::vector<Bytes>{sent} : std::vector<Bytes>{});
        }
    }
    size_t reads() {
        size_t n = 0;
        for (const auto &c : qolven_sim::calls()) n += c.function == "FT_Read";
        return n;
    }
};

using Getter = std::string (QOLVEN_USB_DLL::*)(void *, unsigned char);
using Setter = std::string (QOLVEN_USB_DLL::*)(void *, int, unsigned char);

TEST_F(Outputs, RegisterReadBacksOnTheirBoardsOnly) {
    struct Case {
        const char *name;
        Getter get;
        std::set<int> boards;
        unsigned char reg;
        uint16_t stored;
        const char *text;
    } cases[] = {
        {"voltage output", &QOLVEN_USB_DLL::Get_Voltage_Output, {11, 14}, 126, 0x4007, "7"},
        {"analog voltage output", &QOLVEN_USB_DLL::Get_Analog_Voltage_Output, {16}, 154, 0x7721, "33"},
        {"excitation", &QOLVEN_USB_DLL::Get_Excitation, {16}, 152, 0x01FE, "254"},
        {"gain switch", &QOLVEN_USB_DLL::Get_Gain_Switch, {16}, 156, 0xFF03, "3"},
        {"polarity", &QOLVEN_USB_DLL::Get_Polarity, {16}, 158, 0x8001, "1"},
        {"output type", &QOLVEN_USB_DLL::Get_Output_Type, {11, 14}, 98, 0x335A, "5"},
        {"pulses per rotation", &QOLVEN_USB_DLL::Get_Pulses_Per_Rotation, {8, 11, 14}, 124, 0x0168, "360"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        expectOnBoards(c.boards, [&] { return (dev.*c.get)(h, 3); }, c.text, {0, 5, 0x82, c.reg, 0xAA},
                       [&] { qolven_sim::set_eeprom(serial, c.reg, c.stored); });
    }
}

TEST_F(Outputs, CommandSettersSendOneByteAndWaitForTheAcknowledgement) {
    struct Case {
        const char *name;
        Setter set;
        std::set<int> boards;
        unsigned char command;
        const char *rangeText;
    } cases[] = {
        {"voltage output", &QOLVEN_USB_DLL::Set_Voltage_Output, {11, 14}, 0x2B, "Invalid Voltage Point"},
        {"load switch", &QOLVEN_USB_DLL::Set_Load_Switch, {0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 16}, 0x27,
         "Invalid Simulated Load"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        expectOnBoards(c.boards, [&] { return (dev.*c.set)(h, 12, 2); }, "0", {0, 5, c.command, 12, 0xAA}, [] {});
        useBoard(*c.boards.begin());
        for (int bad : {-1, 256, INT32_MIN}) {
            EXPECT_EQ((dev.*c.set)(h, bad, 0), "Error");
            EXPECT_EQ(error(), c.rangeText);
            EXPECT_TRUE(wire().empty());
        }
        EXPECT_EQ((dev.*c.set)(h, 255, 0), "0");
        EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 5, c.command, 255, 0xAA}}));
    }
}

TEST_F(Outputs, PulsesPerRotationIsOneSixteenBitRegister) {
    useBoard(8);
    EXPECT_EQ(dev.Set_Pulses_Per_Rotation(h, 360, 0), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 7, 0x83, 124, 0x01, 0x68, 0xAA}}));
    EXPECT_EQ(dev.Get_Pulses_Per_Rotation(h, 0), "360");
    clearWire();
    EXPECT_EQ(dev.Set_Pulses_Per_Rotation(h, 65536, 0), "Error");
    EXPECT_EQ(error(), "Invalid Pulses Per Rotation");
    EXPECT_TRUE(wire().empty());
    useBoard(9);
    EXPECT_EQ(dev.Set_Pulses_Per_Rotation(h, 360, 0), "Error");
    EXPECT_EQ(error(), "Invalid Type of Board");
}

TEST_F(Outputs, DigitalComponentsCompleteInTheSameRead) {
    useBoard(16);
    EXPECT_EQ(dev.Set_Digital_Components(h, 1, 2, 3, 4), "0") << error();
    EXPECT_EQ(afterIdentification(), (std::vector<Bytes>{{0, 7, 0x2C, 1, 2, 3, 0xAA}}));
    EXPECT_EQ(Bytes(dev.additionalPacket, dev.additionalPacket + 4), (Bytes{dev.requestNumber, 4, 0x45, 0xAA}));
    EXPECT_EQ(reads(), 2u);  // identification, then acknowledgement and completion together
    EXPECT_EQ(qolven_sim::memory_register(serial, 44), 1);
    EXPECT_EQ(qolven_sim::memory_register(serial, 46), 3);

    // Acknowledgement in the leading-0xFF framing, completion right behind it.
    qolven_sim::set_fault(serial, {qolven_sim::Fault::LeadingFF, qolven_sim::FaultMode::EveryNth, -1, 0, 2});
    EXPECT_EQ(dev.Set_Digital_Components(h, 7, 8, 9, 0), "0") << error();
    EXPECT_EQ(Bytes(dev.additionalPacket, dev.additionalPacket + 4), (Bytes{dev.requestNumber, 4, 0x45, 0xAA}));
}

TEST_F(Outputs, DigitalComponentsAwaitALaterCompletion) {
    useBoardCompletingAfter(16, 200);
    std::fill(std::begin(dev.additionalPacket), std::end(dev.additionalPacket), 0xEE);
    EXPECT_EQ(dev.Set_Digital_Components(h, 1, 2, 3, 4), "0") << error();
    EXPECT_EQ(reads(), 3u);
    // Nothing came along with the acknowledgement: the area is cleared.
    EXPECT_EQ(std::count(std::begin(dev.additionalPacket), std::end(dev.additionalPacket), 0), 257);
}

TEST_F(Outputs, DigitalComponentsNeedTheCompletion) {
    // A wrong completion, once right behind the acknowledgement, once on its own.
    struct Case {
        std::vector<Bytes> pieces;  // 100 ms apart, after the identification answer
        const char *text;
    } cases[] = {
        {{{0, 4, 0x01, 0xAA, 0, 4, 0x46, 0xAA}}, "Command Number Error"},
        {{{0, 4, 0x01, 0xAA}, {0, 4, 0x45, 0x00}}, "End Of Packet Error"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        useBoard(16);
        qolven_sim::set_board_silent(serial, true);
        uint8_t identification = dev.requestNumber + 1, command = identification + 1;
        qolven_sim::queue_rx(serial, {identification, 8, 0x44, 16, 1, 4, 0xB1, 0xAA});
        unsigned delayUs = 0;
        for (Bytes piece : c.pieces) {
            for (size_t at = 0; at < piece.size(); at += 4) piece[at] = command;
            qolven_sim::queue_rx(serial, piece, delayUs += 100000);
        }
        EXPECT_EQ(dev.Set_Digital_Components(h, 1, 2, 3, 4), "Error");
        EXPECT_EQ(error(), c.text);
        EXPECT_EQ(reads(), 1 + c.pieces.size());
    }
    useBoard(11);
    EXPECT_EQ(dev.Set_Digital_Components(h, 1, 2, 3, 4), "Error");
    EXPECT_EQ(error(), "Invalid Type of Board");
    EXPECT_TRUE(afterIdentification().empty());
}

TEST_F(Outputs, OfflineAnswers) {
    dev.offlineMode = 1;
    EXPECT_EQ(dev.Get_Pulses_Per_Rotation(h, 0), "360");
    EXPECT_EQ(dev.Get_Voltage_Output(h, 0), "0");
    dev.offlineValues[16] = 500;
    dev.offlineValues[17] = 9;
    EXPECT_EQ(dev.Get_Pulses_Per_Rotation(h, 0), "500");
    EXPECT_EQ(dev.Get_Voltage_Output(h, 0), "9");
    for (Getter g : {&QOLVEN_USB_DLL::Get_Analog_Voltage_Output, &QOLVEN_USB_DLL::Get_Excitation,
                     &QOLVEN_USB_DLL::Get_Gain_Switch, &QOLVEN_USB_DLL::Get_Polarity, &QOLVEN_USB_DLL::Get_Output_Type})
        EXPECT_EQ((dev.*g)(h, 0), "0");
    EXPECT_EQ(dev.Set_Voltage_Output(h, 999, 0), "0");
    EXPECT_EQ(dev.Set_Load_Switch(h, 1, 0), "0");
    EXPECT_EQ(dev.Set_Pulses_Per_Rotation(h, 1, 0), "0");
    EXPECT_EQ(dev.Set_Digital_Components(h, 1, 2, 3, 4), "0");
    EXPECT_TRUE(wire().empty());
}

} // namespace
