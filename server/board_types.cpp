#include "board_types.h"

#include <qolven.h>

#include <algorithm>

namespace qolven_server {

std::string boardTypeMeaning(int code) {
    const char *meaning = qolven_board_type_meaning(code);
    return meaning ? meaning : "";
}

size_t loadingPointCount(int code) {
    int first = 0, last = -1;
    qolven_parameter_points(qolven_parameter_find("loading-point"), code, &first, &last);
    return last >= first ? static_cast<size_t>(last - first + 1) : 0;
}

size_t mostLoadingPoints() {
    size_t most = 0;
    for (int code = 0; code < 256; ++code)
        if (qolven_board_type_known(code)) most = std::max(most, loadingPointCount(code));
    return most;
}

} // namespace qolven_server
