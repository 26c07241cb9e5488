// The library's board-type table through the C interface.
#include "board/board_types.h"
#include "qolven.h"

#include <cstring>

namespace bt = _QOLVEN_USB_DLL::detail;

extern "C" {

int qolven_board_type_known(int code) { return code >= 0 && code <= bt::kLastBoardType ? 1 : 0; }

const char *qolven_board_type_class(int code) {
    return qolven_board_type_known(code) ? bt::className(bt::boardTypeRow(code).boardClass) : nullptr;
}

const char *qolven_board_type_meaning(int code) {
    return qolven_board_type_known(code) ? bt::classMeaning(bt::boardTypeRow(code).boardClass) : nullptr;
}

int qolven_family_count(void) { return bt::kFamilyCount; }

const char *qolven_family_name(int index) {
    return index >= 0 && index < bt::kFamilyCount ? bt::familyName(index) : nullptr;
}

const char *qolven_family_meaning(int index) {
    return index >= 0 && index < bt::kFamilyCount ? bt::familyMeaning(index) : nullptr;
}

int qolven_board_type_serves(int code, const char *family) {
    if (!qolven_board_type_known(code) || !family) return 0;
    for (int i = 0; i < bt::kFamilyCount; ++i)
        if (std::strcmp(bt::familyName(i), family) == 0) return bt::serves(code, 1u << i) ? 1 : 0;
    return 0;
}

int qolven_board_type_last_rate_code(int code) {
    return qolven_board_type_known(code) ? bt::boardTypeRow(code).lastRateCode : -1;
}

} // extern "C"
