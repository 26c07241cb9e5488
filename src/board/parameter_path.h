// The common path of the register parameters: offline short-cut, range
// check, fresh identification, the register chosen by board type, one
// register exchange, and the result text.  A parameter is a row
// (see parameters/register_table.h); its public methods are one line each.
#ifndef QOLVEN_PARAMETER_PATH_H
#define QOLVEN_PARAMETER_PATH_H

#include <initializer_list>
#include <string>

#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

enum class Format : uint8_t { Decimal, Real };

struct Parameter {
    TypeSet types;          // board types served; the others get "Invalid Type of Board"
    Location type0;         // where board type 0 keeps it (kZero: answers "0" without an exchange)
    Location type9;         // the channel board
    Location eeprom;        // every other served type
    uint8_t shift;          // the field within the value read
    uint8_t bits;           // 8 for a byte, 16 for a word
    int maxValue;           // setters accept 0..maxValue
    const char *rangeText;  // and say this otherwise
    int offlineEntry;       // 1-based entry of offlineValues answered offline; 0 answers "0"
    Format format;
    bool clearFirst;        // lastErrorText cleared before the offline short-cut
    const Parameter *partner; // type 0: the other half of a shared register, read before a write
};

// A register byte that packs several parameters: setters rebuild it from
// the other fields read back through their getters.
struct PackedByte {
    TypeSet types;
    Location type0, type9, eeprom;
    // The other byte of an EEPROM register that holds the packed byte, per
    // class: read through this getter (nullptr: written as 0xFF).
    const Parameter *otherByte0;
    const Parameter *otherByteEeprom;
    bool otherByteFirst;    // read the other byte before the fields
};

const Location &locate(const Parameter &p, int boardType);

std::string getParameter(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Parameter &p);
std::string setParameter(QOLVEN_USB_DLL &d, void *handle, int value, unsigned char channel, const Parameter &p);
// Writes `field` of a packed byte; `others` are the other fields in the
// order they are read back.  They are read from the channel written.
std::string setPackedField(QOLVEN_USB_DLL &d, void *handle, int value, unsigned char channel,
                           const PackedByte &packed, const Parameter &field,
                           std::initializer_list<const Parameter *> others);

// Range check of a setter argument: true when 0 <= value <= max, else the text.
bool inRange(QOLVEN_USB_DLL &d, long long value, long long max, const char *text);

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
