// The parameter table (parameter_rows.def): one row per parameter, the
// register path's and the front ends' alike.
#ifndef QOLVEN_PARAMETER_TABLE_H
#define QOLVEN_PARAMETER_TABLE_H

#include <cstddef>

#include "parameters/parameter_path.h"

namespace _QOLVEN_USB_DLL {
namespace detail {
namespace table {

#define ROW(id, ...) extern const Parameter id;
#include "parameters/parameter_rows.def"
#undef ROW

extern const PackedByte bridgeByte, systemByte;

// Every row, in table order.
extern const Parameter *const kRows[];
extern const size_t kRowCount;

// Ports are 16-bit values wherever the board keeps one.
constexpr Range kPortRange{65535, ErrorText::InvalidPortNumber};

} // namespace table
} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
