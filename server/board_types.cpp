#include "board_types.h"

namespace qolven_server {

// Until the library publishes its board-type table, only what the library's own
// behaviour tells about a type is shown: the channel board and the two types
// with a front panel.  Replace this with the library's table when it is there.
std::string boardTypeMeaning(int code) {
    switch (code) {
    case 9: return "multi-channel board";
    case 5:
    case 10: return "display";
    default: return "";
    }
}

} // namespace qolven_server
