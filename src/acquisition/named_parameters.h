// The parameters every front end reaches by name: the rows of the library's
// parameter table that have one (parameters/parameter_rows.def), and how a
// value written as text is checked against its row.
#ifndef QOLVEN_ACQUISITION_NAMED_PARAMETERS_H
#define QOLVEN_ACQUISITION_NAMED_PARAMETERS_H

#include <string>
#include <vector>

#include "parameters/parameter_table.h"

namespace qolven_acquisition {

using Parameter = _QOLVEN_USB_DLL::detail::Parameter;
using Kind = _QOLVEN_USB_DLL::detail::ValueKind;
using Target = _QOLVEN_USB_DLL::detail::Target;
using Value = _QOLVEN_USB_DLL::detail::Value;

// The named rows, in table order.
const std::vector<const Parameter *> &parameterTable();
const Parameter *findParameter(const char *name);

// The values taken (Bytes: how many bytes).
inline long long lowestValue(const Parameter &p) { return p.low; }
inline long long highestValue(const Parameter &p) { return p.range.max; }
inline bool readable(const Parameter &p) { return p.reader.call != nullptr; }
inline bool writable(const Parameter &p) { return p.writer.call != nullptr; }

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
