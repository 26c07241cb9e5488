// The common path of the parameters: offline short-cut, range check, fresh
// identification, the register chosen by board class (or the command that
// carries the value), the exchange, and the result text.  A parameter is a
// row (see parameters/parameter_table.h); its public methods are one line
// each.
#ifndef QOLVEN_PARAMETER_PATH_H
#define QOLVEN_PARAMETER_PATH_H

#include <initializer_list>
#include <string>

#include <vector>

#include "board/board_types.h"
#include "core/internal.h"
#include "core/method_binding.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

enum class Format : uint8_t { Decimal, Real };

// A setter accepts 0..max and says `text` otherwise.
struct Range {
    long long max;
    ErrorText text;
};

// A value the board stores from a command that carries it (no register
// access of ours), answered by an acknowledgement.
struct CommandWrite {
    uint32_t families;          // board types that take it; the others get "Invalid Type of Board"
    Command command;            // its data bytes carry the value, most significant first
    bool ownLayoutAnswersZero;  // type 0 has no such setting: "0" after the identification
};

// How a value is written by the people who use the parameter by name.  The
// numbering is that of qolven_value_kind.
enum class ValueKind : uint8_t { Integer, Count, Mac, Ip, Bytes };

// What one read or write by name works on.
struct Target {
    QOLVEN_USB_DLL &d;
    void *handle;
    unsigned char channel;
    int point;
    int calibrationType;
};

// A value already checked against its row: the integer, or the bytes.
struct Value {
    bool given = false;
    long long integer = 0;
    std::vector<unsigned char> bytes;
};

using ReadCall = std::string (*)(const Target &);
using WriteCall = std::string (*)(const Target &, const Value &);

// The families a read or write by name serves when the row decides them.
constexpr uint32_t kFromRow = 0xFFFFFFFFu;

// The public method that reads (or writes) the parameter, and how a read
// (write) by name calls it.
struct Reader {
    MethodBinding method;
    ReadCall call;
    uint32_t families;
};
struct Writer {
    MethodBinding method;
    WriteCall call;
    uint32_t families;
};

struct Parameter {
    uint32_t families;          // board types it is read from (and written to, at its register)
    Location ownLayout;         // where board type 0 keeps it (kZero: answers "0" without an exchange)
    Location channels;          // the multi-channel board
    Location eeprom;            // the EEPROM boards
    uint8_t shift;              // the field within the value read
    uint8_t bits;               // 8 for a byte, 16 for a word
    Range range;
    Offline offline;            // the entry answered offline
    Format format;
    bool clearFirst;            // lastErrorText cleared before the offline short-cut
    const Parameter *partner;   // type 0: the other half of a shared register, read before a write
    const CommandWrite *write;  // written by this command instead of at its register

    // By name, for every front end (null: only the library's own methods use the row).
    const char *name = nullptr;
    const char *meaning = nullptr;
    ValueKind kind = ValueKind::Integer;
    bool indexed = false;          // takes a loading-point number
    bool optionalValue = false;    // may be written without a value
    long long low = 0;             // values taken: low..range.max (Bytes: range.max bytes)
    long long (*typeHigh)(int boardType) = nullptr;  // the highest value when the board type decides it
    Reader reader{};
    Writer writer{};

    constexpr Parameter named(const char *n, const char *m) const {
        Parameter p = *this;
        p.name = n;
        p.meaning = m;
        return p;
    }
    constexpr Parameter reads(Reader r) const {
        Parameter p = *this;
        p.reader = r;
        return p;
    }
    constexpr Parameter writes(Writer w) const {
        Parameter p = *this;
        p.writer = w;
        return p;
    }
    constexpr Parameter taking(ValueKind k, long long lowest) const {
        Parameter p = *this;
        p.kind = k;
        p.low = lowest;
        return p;
    }
    constexpr Parameter byPoint(bool valueOptional) const {
        Parameter p = *this;
        p.indexed = true;
        p.optionalValue = valueOptional;
        return p;
    }
    constexpr Parameter highestBy(long long (*high)(int)) const {
        Parameter p = *this;
        p.typeHigh = high;
        return p;
    }
    // The board types a read and a write by name serve.
    uint32_t readFamilies() const { return reader.families == kFromRow ? families : reader.families; }
    uint32_t writeFamilies() const {
        if (writer.families != kFromRow) return writer.families;
        return write ? write->families : families;
    }
};

// A register byte that packs several parameters: setters rebuild it from
// the other fields read back through their getters.
struct PackedByte {
    uint32_t families;
    Location ownLayout, channels, eeprom;
    // The other byte of an EEPROM register that holds the packed byte, per
    // class: read through this getter (nullptr: written as 0xFF).
    const Parameter *otherByteOwnLayout;
    const Parameter *otherByteEeprom;
    bool otherByteFirst;    // read the other byte before the fields
};

// The location of the board's class among the three.
const Location &classLocation(int code, const Location &own, const Location &channels, const Location &eeprom);

std::string getParameter(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Parameter &p);
std::string setParameter(QOLVEN_USB_DLL &d, void *handle, long long value, unsigned char channel,
                         const Parameter &p);
// Writes `field` of a packed byte; `others` are the other fields in the
// order they are read back.  They are read from the channel written.
std::string setPackedField(QOLVEN_USB_DLL &d, void *handle, int value, unsigned char channel,
                           const PackedByte &packed, const Parameter &field,
                           std::initializer_list<const Parameter *> others);
// The command of a CommandWrite once its value passed the range check:
// identification, the command, "0" once it is acknowledged.
std::string sendSetting(QOLVEN_USB_DLL &d, void *handle, long long value, unsigned char channel,
                        const CommandWrite &w);

// A two-answer command for the boards of `families`: identification, the
// command, its acknowledgement, and "0" once the board reports completion.
std::string completedCommand(QOLVEN_USB_DLL &d, void *handle, uint32_t families, Command c,
                             std::initializer_list<unsigned char> data);

// Range check of a setter argument: true when 0 <= value <= max, else the text.
bool inRange(QOLVEN_USB_DLL &d, long long value, const Range &range);

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
