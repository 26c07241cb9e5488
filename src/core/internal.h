// Shared machinery of the device methods: result texts, the one exchange
// routine, board-type sets and multi-register helpers.
#ifndef QOLVEN_INTERNAL_H
#define QOLVEN_INTERNAL_H

#include <cstdint>
#include <initializer_list>
#include <string>

#include "QOLVEN_USB_DLL.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

extern const char *const kError;    // "Error"
extern const char *const kOk;       // "0"
extern const char *const kFinished; // "Finished"
extern const char *const kInvalidTypeOfBoard;

inline void clearError(QOLVEN_USB_DLL &d) { d.lastErrorText[0] = 0; }
void setError(QOLVEN_USB_DLL &d, const char *text);
// Writes text into lastErrorText and returns "Error".
std::string fail(QOLVEN_USB_DLL &d, const char *text);
// Records a failing D2XX status and its text.
void transportFailure(QOLVEN_USB_DLL &d, uint32_t status);
// Both halves of the last exchange succeeded.
bool exchanged(const QOLVEN_USB_DLL &d);
std::string decimal(long long value);
// Lower-case hexadecimal, two digits per byte, no separators.
std::string hexText(const unsigned char *bytes, size_t count);
// Text of a board error report (0x4C..0x4F), or nullptr for any other code.
const char *boardErrorText(unsigned char code);
inline bool offline(const QOLVEN_USB_DLL &d) { return d.offlineMode != 0; }
// Offline answer: entry (1-based) of the offline table, or "0" for entry 0.
std::string offlineEntry(const QOLVEN_USB_DLL &d, int entry);

// ---- board-type sets: bit t stands for board type t (0..16)
using TypeSet = uint32_t;
constexpr TypeSet typeSet(std::initializer_list<int> types) {
    TypeSet s = 0;
    for (int t : types) s |= TypeSet(1) << t;
    return s;
}
constexpr TypeSet kEepromBoards = typeSet({1, 2, 3, 4, 6, 7, 8, 11, 12, 13, 14, 16});
constexpr TypeSet kParameterBoards = kEepromBoards | typeSet({0, 9});  // the default classes
constexpr TypeSet kAllButUnsupported = typeSet({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16});
// Negative codes and codes above 16 (255 after a failed identification) are in no set.
inline bool accepts(TypeSet set, int boardType) {
    return boardType >= 0 && boardType <= 16 && ((set >> boardType) & 1u);
}

// ---- one request and its expected answer
struct Request {
    unsigned char command;
    signed char layout;        // 0: no channel byte, 1: channel byte
    unsigned char channel;
    unsigned char data[4];
    unsigned char dataCount;
    unsigned char answerSize;
    unsigned char answerCommand;
    int timeoutMs;
};
constexpr unsigned char kAck = 0x01;

Request plainRequest(unsigned char command, std::initializer_list<unsigned char> data, unsigned char answerSize,
                     unsigned char answerCommand, int timeoutMs);
Request channelRequest(unsigned char command, unsigned char channel, std::initializer_list<unsigned char> data,
                       unsigned char answerSize, unsigned char answerCommand, int timeoutMs);
// Board type 9 takes the channel form (command + 0x10, channel byte), all others the plain one.
Request boardRequest(int boardType, unsigned char plainCommand, unsigned char channel,
                     std::initializer_list<unsigned char> data, unsigned char answerSize,
                     unsigned char answerCommand, int timeoutMs);

// Handle into the adapter, next packet number, request fields and
// expectations, write.  True when writeStatus is "Finished".
bool sendRequest(QOLVEN_USB_DLL &d, void *handle, const Request &r);
// sendRequest and then ReadPacket.  True when both statuses are "Finished".
bool exchange(QOLVEN_USB_DLL &d, void *handle, const Request &r);
// The second answer (size 4) of a command answered twice, after its first
// answer was accepted: taken from the surplus of the first read when it came
// along, otherwise awaited for timeoutMs.
bool secondAnswer(QOLVEN_USB_DLL &d, unsigned char number, unsigned char command, int timeoutMs);
// ReadPacket that starts with `have` bytes of the answer already at the
// start of readBuffer (ReadPacket itself is readAnswer(d, timeout, 0)).
void readAnswer(QOLVEN_USB_DLL &d, int timeoutMs, size_t have);
// Fresh board identification; true when it succeeded (boardType is then current).
bool identify(QOLVEN_USB_DLL &d, void *handle);

// ---- register access on top of the primitives
enum class Store : uint8_t { Refused, Zero, Eeprom, Channel, Memory };
enum class Bytes : uint8_t { Low, High, Word };
struct Location {
    Store store;
    unsigned char reg;
    Bytes bytes;  // Eeprom: which bytes; Channel Word: reg+1 holds the high byte
};
constexpr Location kRefused{Store::Refused, 0, Bytes::Low};
constexpr Location kZero{Store::Zero, 0, Bytes::Low};
constexpr Location eepromLow(unsigned char r) { return {Store::Eeprom, r, Bytes::Low}; }
constexpr Location eepromHigh(unsigned char r) { return {Store::Eeprom, r, Bytes::High}; }
constexpr Location eepromWord(unsigned char r) { return {Store::Eeprom, r, Bytes::Word}; }
constexpr Location channelByte(unsigned char r) { return {Store::Channel, r, Bytes::Low}; }
constexpr Location channelWord(unsigned char lowReg) { return {Store::Channel, lowReg, Bytes::Word}; }
constexpr Location memoryByte(unsigned char r) { return {Store::Memory, r, Bytes::Low}; }

// Reads one location; stops at the first failed exchange.  value receives
// the byte, or high*256+low for a word.
bool readLocation(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Location &at, unsigned &value);

// Writes that a setter makes in sequence: every write is made, and the
// result is "Error" with the first failure's text when any of them failed.
class WriteSequence {
public:
    WriteSequence(QOLVEN_USB_DLL &d, void *handle) : d_(d), handle_(handle) {}
    void eeprom(unsigned char reg, unsigned char high, unsigned char low);
    void channel(unsigned char channel, unsigned char reg, unsigned char value);
    void memory(unsigned char reg, unsigned char value);
    std::string result();

private:
    void note();
    QOLVEN_USB_DLL &d_;
    void *handle_;
    bool failed_ = false;
    char firstText_[64] = {};
    uint32_t firstStatus_ = 0;
};

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
