// The stored parameters by readable name: one row each, read by the qolven
// tool, the C interface and everything built on it.  A row says which
// library methods read and write the parameter, which board types serve it,
// and which values (and for the loading points, which point numbers) it
// takes; the range written here is the one every front end checks and shows.
#ifndef QOLVEN_ACQUISITION_NAMED_PARAMETERS_H
#define QOLVEN_ACQUISITION_NAMED_PARAMETERS_H

#include <cstddef>
#include <string>
#include <vector>

#include "board/board_types.h"
#include "core/error_texts.h"
#include "acquisition/device.h"

namespace qolven_acquisition {

// Same numbering as qolven_value_kind.
enum class Kind { Integer = QOLVEN_VALUE_INTEGER, Count = QOLVEN_VALUE_COUNT, Mac = QOLVEN_VALUE_MAC,
                  Ip = QOLVEN_VALUE_IP, Bytes = QOLVEN_VALUE_BYTES };

// What one get or set works on.
struct Target {
    Device &d;
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

struct Parameter {
    const char *name;
    const char *getterName;  // library methods, "" when there is none
    const char *setterName;
    Kind kind;
    bool indexed;            // takes a loading-point number
    bool optionalValue;      // may be written without a value
    long long low, high;     // values (Integer, Count); bytes in the list (Bytes)
    // Families of the board-type table whose boards serve the read and the
    // write (0: not at all).
    uint32_t getFamilies, setFamilies;
    // The highest value when it depends on the board type (nullptr: `high` for every type).
    long long (*typeHigh)(int boardType);
    std::string (*get)(const Target &);
    std::string (*set)(const Target &, const Value &);
    const char *meaning;
    // What the library's setter answers for a value outside the range: a
    // refusal starts with it, so every front end shows the method's own text.
    _QOLVEN_USB_DLL::detail::ErrorText refusal = _QOLVEN_USB_DLL::detail::ErrorText::None;
};

const std::vector<Parameter> &parameterTable();
const Parameter *findParameter(const char *name);

// The point numbers of the loading-point table of a board type (from the
// board-type table); false for a type the library does not know.
bool loadingPoints(int boardType, int &first, int &last);

// How a user writes the value: "0..255", "a.b.c.d", "[count -16777216..16777215]".
std::string valueSyntax(const Parameter &p);
// Checks `text` against the row; false with the reason in `why` (and with
// `outside` set when it is a number outside the range).
bool parseValue(const Parameter &p, const char *text, Value &value, std::string &why, bool *outside = nullptr);

} // namespace qolven_acquisition

#endif
