// Shared machinery of the device methods: result texts, the one exchange
// routine and register access.
#ifndef QOLVEN_INTERNAL_H
#define QOLVEN_INTERNAL_H

#include <cstdint>
#include <initializer_list>
#include <string>

#include "QOLVEN_USB_DLL.h"
#include "core/error_texts.h"
#include "core/offline.h"
#include "protocol/commands.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

extern const char *const kError;    // "Error"
extern const char *const kOk;       // "0"
extern const char *const kFinished; // "Finished"

inline void clearError(QOLVEN_USB_DLL &d) { d.lastErrorText[0] = 0; }
void setError(QOLVEN_USB_DLL &d, ErrorText text);
// Writes text into lastErrorText and returns "Error".
std::string fail(QOLVEN_USB_DLL &d, ErrorText text);
// Records a failing D2XX status and its text.
void transportFailure(QOLVEN_USB_DLL &d, uint32_t status);
// Both halves of the last exchange succeeded.
bool exchanged(const QOLVEN_USB_DLL &d);
std::string decimal(long long value);
// Lower-case hexadecimal, two digits per byte, no separators.
std::string hexText(const unsigned char *bytes, size_t count);
inline bool offline(const QOLVEN_USB_DLL &d) { return d.offlineMode != 0; }
inline int &offlineValue(QOLVEN_USB_DLL &d, Offline entry) { return d.offlineValues[size_t(entry)]; }
inline int offlineValue(const QOLVEN_USB_DLL &d, Offline entry) { return d.offlineValues[size_t(entry)]; }
// Offline answer: the entry as decimal text, or "0" for Offline::None.
std::string offlineEntry(const QOLVEN_USB_DLL &d, Offline entry);

// Handle into the adapter, next packet number, request fields and
// expectations, write.  True when writeStatus is "Finished".
bool sendRequest(QOLVEN_USB_DLL &d, void *handle, const Request &r);
// sendRequest and then ReadPacket.  True when both statuses are "Finished".
bool exchange(QOLVEN_USB_DLL &d, void *handle, const Request &r);
// The completion packet (size 4) of a command answered twice, numbered
// `number`, after its acknowledgement was accepted: taken from the surplus
// of the first read when it came along, otherwise awaited for the command's
// second-answer time.
bool secondAnswer(QOLVEN_USB_DLL &d, unsigned char number, Command c);
// ReadPacket that starts with `have` bytes of the answer already at the
// start of readBuffer (ReadPacket itself is readAnswer(d, timeout, 0)).
void readAnswer(QOLVEN_USB_DLL &d, int timeoutMs, size_t have);
// Where the data of the answer ReadPacket accepted starts in readBuffer:
// after its number, size and command, and a leading 0xFF when it had one.
size_t answerData(const QOLVEN_USB_DLL &d);
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
    char firstText_[sizeof(QOLVEN_USB_DLL::lastErrorText)] = {};
    uint32_t firstStatus_ = 0;
};

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
