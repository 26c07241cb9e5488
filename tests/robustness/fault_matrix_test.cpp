// Every device method on every board class under every fault the virtual
// board and bridge can inject.  A faulted call must answer "Error" with a
// reason (or, for a method that exchanges nothing, exactly what it answers
// without the fault), must never crash, and must leave an object that works
// again: the call after the faulted one may still be spoiled by what the
// fault left behind, the one after that must give the clean answer.
//
// Which exchange is faulted: a method makes one exchange per request it
// sends (board identification first, then its own).  Faults that are
// reported at once (wrong number, size, command or end byte) are put on
// each exchange in turn.  Faults that cost a time-out (no answer, a late or
// partial answer, a board error report in place of a longer answer) are
// put on the method's last exchange only, so the matrix stays fast.
// Bridge statuses fail every call of their function from the start of the
// method; an unplugged device fails every call on its handle.  A late answer
// that the reader gave up on is put in the receive queue before the next
// call (the simulated purge would otherwise drop it on its way).
#include <set>

#include "fixture.h"
#include "robustness/device_methods.h"

namespace {

using robustness::deviceMethods;
using robustness::Family;
using robustness::Method;
using robustness::Result;
using qolven_sim::Fault;

enum class Kind { Board, TimedBoard, Bridge, Unplug, Fast, FastBenign };

struct FaultCase {
    const char *name;
    Kind kind;
    Fault board;           // Board, TimedBoard, Fast, FastBenign
    const char *function;  // Bridge: the FT_* call that fails
    uint32_t status;       // Bridge: the status it returns
    const char *text;      // Bridge and Unplug: the text the method must leave
};

const FaultCase kFaults[] = {
    {"NoAnswer", Kind::TimedBoard, Fault::NoAnswer, nullptr, 0, nullptr},
    {"Late", Kind::TimedBoard, Fault::Late, nullptr, 0, nullptr},
    {"Partial", Kind::TimedBoard, Fault::Partial, nullptr, 0, nullptr},
    {"BoardError", Kind::TimedBoard, Fault::BoardError, nullptr, 0, nullptr},
    {"WrongNumber", Kind::Board, Fault::WrongNumber, nullptr, 0, nullptr},
    {"WrongSize", Kind::Board, Fault::WrongSize, nullptr, 0, nullptr},
    {"WrongCommand", Kind::Board, Fault::WrongCommand, nullptr, 0, nullptr},
    {"WrongEnd", Kind::Board, Fault::WrongEnd, nullptr, 0, nullptr},
    {"WriteFails", Kind::Bridge, Fault::None, "FT_Write", 10, "Failed to Write Device"},
    {"ReadFails", Kind::Bridge, Fault::None, "FT_Read", 4, "IO Error"},
    {"StatusFails", Kind::Bridge, Fault::None, "FT_GetStatus", 18, "Other Errors"},
    {"Unplugged", Kind::Unplug, Fault::None, nullptr, 4, "IO Error"},
    {"FastEmpty", Kind::Fast, Fault::FastEmpty, nullptr, 0, nullptr},
    {"FastRefusal", Kind::Fast, Fault::FastRefusal, nullptr, 0, nullptr},
    {"FastShort", Kind::Fast, Fault::FastShort, nullptr, 0, nullptr},
    {"FastTwoPieces", Kind::FastBenign, Fault::FastTwoPieces, nullptr, 0, nullptr},
};

void PrintTo(const FaultCase &f, std::ostream *out) { *out << f.name; }

// Board type 2 stands for the EEPROM boards.
const int kBoardTypes[] = {0, 2, 5, 9, 10, 13, 14, 16};

// Time-out of the answer to a request, by its command code, in milliseconds.
int answerTimeoutMs(uint8_t command) {
    switch (command) {
    case 0x01: case 0x40: case 0x41: case 0x42: case 0x4B:
    case 0x50: case 0x51: case 0x52: return 10;
    case 0x43: case 0x53: return 5;
    case 0x44: case 0x81: case 0x83: case 0x87: return 100;
    case 0x45: return 1000;
    case 0x29: case 0x39: return 2000;
    case 0x46: case 0x47: case 0x48: case 0x80: case 0x82: case 0x84: case 0x86: case 0x88:
    case 0x60: case 0x61: case 0x62: case 0x63: case 0x64: case 0x65: case 0x66: case 0x67: return 50;
    case 0x49: case 0x4A: case 0x59: case 0x5A: case 0x85: return 200;
    default: return 300;  // the settings the board stores itself
    }
}

// What a method does on a healthy board.
struct Clean {
    std::string result;
    std::string errorText;
    std::vector<Bytes> requests;  // one per exchange
    Bytes lastAnswer;             // the answer the last exchange accepted
    bool stable;                  // the same answer twice in a row
};

// Answers at once, and a reading that stays put, so that a recovered call
// can be compared with the clean one.
qolven_sim::BoardConfig steadyBoard() {
    qolven_sim::BoardConfig config;
    config.answerDelayUs = config.resetDelayMs = config.completionDelayMs = 0;
    config.signalNoise = 0;
    config.signalAmplitude = 0;
    return config;
}

class FaultMatrix : public BoardTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    int boardType = 2;
    int type() const { return boardType; }
    const FaultCase &fault() const { return GetParam(); }

    // A fresh board and object; the host has identified the board, as it
    // would before streaming fast data.
    void freshBoard() {
        useBoard(type(), steadyBoard());
        dev.Get_Version_of_Board(h);
        clearWire();
    }

    std::string call(const Method &m) { return m.call(dev, h, robustness::kValidArgument); }

    Clean clean(const Method &m) {
        freshBoard();
        Clean c;
        c.result = call(m);
        c.errorText = error();
        c.requests = wire();
        const std::string &hex = dev.packetReceivedText;
        for (size_t i = 0; i + 1 < hex.size() && !c.requests.empty(); i += 2)
            c.lastAnswer.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
        c.stable = call(m) == c.result;
        return c;
    }

    void inject(const Clean &c, size_t position) {
        const FaultCase &f = fault();
        qolven_sim::FaultSpec rule;
        rule.kind = f.board;
        rule.mode = qolven_sim::FaultMode::EveryNth;
        rule.every = int(position);
        switch (f.kind) {
        case Kind::Board: case Kind::TimedBoard: case Kind::Fast: case Kind::FastBenign:
            if (f.board == Fault::Late && position <= c.requests.size())
                rule.delayUs = unsigned(answerTimeoutMs(c.requests[position - 1][2]) * 1000 + 5000);
            qolven_sim::set_fault(serial, rule);
            break;
        case Kind::Bridge:
            qolven_sim::inject_status(f.function, f.status, 1 << 20);
            break;
        case Kind::Unplug:
            qolven_sim::detach(serial);
            break;
        }
    }

    // Takes the fault away again; an unplugged device is plugged in and
    // opened anew, as a host would.
    void heal() {
        const FaultCase &f = fault();
        qolven_sim::clear_faults(serial);
        if (f.kind == Kind::Bridge) qolven_sim::inject_status(f.function, 0, 0);
        if (f.kind != Kind::Unplug) return;
        dev.Close_Device_Connection(h);
        EXPECT_EQ(dev.lastStatus, 4u) << "closing an unplugged device";
        qolven_sim::BoardConfig config = steadyBoard();
        config.serial = serial;
        config.boardType = type();
        qolven_sim::attach(config);
        std::string s = serial;
        dev.Open_Device_Connection(&s[0]);
        h = dev.DeviceHandle;
        ASSERT_NE(h, nullptr) << "reopening after the device came back: " << error();
    }

    // The answer the reader gave up on turns up after all, before the next
    // call: it may spoil that call's first exchange, no more.
    void answerLate(const Clean &c) {
        const std::vector<Bytes> sent = wire();
        if (c.lastAnswer.empty() || sent.empty()) return;
        Bytes late = c.lastAnswer;
        late[0] = sent.back()[0];
        qolven_sim::queue_rx(serial, late);
    }

    void checkFaulted(const Method &m, const Clean &c, const std::string &result) {
        const FaultCase &f = fault();
        if (c.requests.empty()) {
            // Nothing goes over the bus, so nothing can go wrong there.
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(error(), c.errorText);
            return;
        }
        if (f.kind == Kind::FastBenign && result == "Error") {
            // The second piece may miss the reader's 1 ms on a busy machine.
            EXPECT_STREQ(dev.lastErrorText, "Timeout Error");
            return;
        }
        if (f.kind == Kind::FastBenign || (f.board == Fault::Late && result != "Error")) {
            // A packet in two pieces is joined; a late answer the reader
            // still waited for is no fault.
            if (c.stable) EXPECT_EQ(result, c.result);
            EXPECT_NE(result, "Error") << error();
            return;
        }
        EXPECT_EQ(result, "Error") << "a faulted exchange reported success";
        EXPECT_STRNE(dev.lastErrorText, "") << "no reason given";
        if (f.text) {
            EXPECT_STREQ(dev.lastErrorText, f.text);
            EXPECT_EQ(dev.lastStatus, f.status);
        }
        (void)m;
    }

    void checkRecovery(const Method &m, const Clean &c) {
        std::string next = call(m);
        if (next == "Error" && c.result != "Error") EXPECT_STRNE(dev.lastErrorText, "") << "spoiled call without a reason";
        std::string after = call(m);
        if (c.stable) {
            EXPECT_EQ(after, c.result) << "not recovered: " << error();
            if (c.result == "Error") EXPECT_EQ(error(), c.errorText);
        } else {
            EXPECT_EQ(after == "Error", c.result == "Error") << "not recovered: " << error();
        }
    }

    // The positions of the exchanges this fault is put on.
    std::vector<size_t> positions(const Method &m, const Clean &c) const {
        const FaultCase &f = fault();
        const size_t n = c.requests.size();
        const bool fastFault = f.kind == Kind::Fast || f.kind == Kind::FastBenign;
        if (fastFault && m.family != Family::Fast) return {};
        if (n == 0) return {1};
        switch (f.kind) {
        case Kind::Board: {
            std::vector<size_t> all;
            for (size_t p = 1; p <= n; ++p) all.push_back(p);
            return all;
        }
        case Kind::TimedBoard: case Kind::Fast: case Kind::FastBenign:
            return {n};
        default:
            return {1};
        }
    }
};

// The requests of a clean call, numbers left out: two calls that send the
// same requests took the same path.
std::string pathOf(const Method &m, const Clean &c) {
    std::string key = m.name;
    for (const Bytes &request : c.requests) {
        key += '|';
        key.append(request.begin() + 1, request.end());
    }
    return key;
}

TEST_P(FaultMatrix, EveryMethodOnEveryBoardFailsCleanlyAndRecovers) {
    size_t cases = 0, equivalent = 0;
    std::set<std::string> timedPaths;
    for (int t : kBoardTypes) {
        boardType = t;
        for (const Method &m : deviceMethods()) {
            const Clean c = clean(m);
            const bool timed = fault().kind == Kind::TimedBoard && !c.requests.empty();
            if (timed && !timedPaths.insert(pathOf(m, c)).second) {
                ++equivalent;
                continue;
            }
            for (size_t position : positions(m, c)) {
                SCOPED_TRACE(std::string(m.name) + " on board type " + std::to_string(t) + ", " + fault().name +
                             " at exchange " + std::to_string(position) + " of " + std::to_string(c.requests.size()));
                freshBoard();
                inject(c, position);
                const std::string result = call(m);
                checkFaulted(m, c, result);
                heal();
                if (fault().board == Fault::Late && result == "Error") answerLate(c);
                checkRecovery(m, c);
                ++cases;
                if (HasFailure()) return;  // one broken case tells enough
            }
        }
    }
    RecordProperty("cases", int(cases));
    RecordProperty("equivalent", int(equivalent));
}

std::string faultName(const ::testing::TestParamInfo<FaultCase> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(AllFaults, FaultMatrix, ::testing::ValuesIn(kFaults), faultName);

} // namespace
