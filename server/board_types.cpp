#include "board_types.h"

#include <qolven.h>

namespace qolven_server {

std::string boardTypeMeaning(int code) {
    const char *meaning = qolven_board_type_meaning(code);
    return meaning ? meaning : "";
}

} // namespace qolven_server
