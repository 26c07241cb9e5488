// What a board-type code means to a person looking at the page.
#ifndef QOLVEN_SERVER_BOARD_TYPES_H
#define QOLVEN_SERVER_BOARD_TYPES_H

#include <string>

namespace qolven_server {

// The library's words for it ("single-channel amplifier", ...); empty when not known.
std::string boardTypeMeaning(int code);

} // namespace qolven_server

#endif
