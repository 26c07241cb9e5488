// What a board-type code means to a person looking at the page.
#ifndef QOLVEN_SERVER_BOARD_TYPES_H
#define QOLVEN_SERVER_BOARD_TYPES_H

#include <cstddef>
#include <string>

namespace qolven_server {

// The library's words for it ("single-channel amplifier", ...); empty when not known.
std::string boardTypeMeaning(int code);
// Entries of the type's loading-point table (0 for a type the library does
// not know), and the most any type has.
size_t loadingPointCount(int code);
size_t mostLoadingPoints();

} // namespace qolven_server

#endif
