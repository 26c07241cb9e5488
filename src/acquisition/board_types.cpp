// Board-type information through the C interface, read from the library's
// board-type table.
#include "board/board_types.h"
#include "qolven.h"

using namespace _QOLVEN_USB_DLL::detail;

extern "C" {

int qolven_board_type_known(int code) { return code >= 0 && code <= kLastBoardType ? 1 : 0; }

const char *qolven_board_type_class(int code) {
    return qolven_board_type_known(code) ? className(boardTypeRow(code).boardClass) : nullptr;
}

const char *qolven_board_type_meaning(int code) {
    return qolven_board_type_known(code) ? classMeaning(boardTypeRow(code).boardClass) : nullptr;
}

int qolven_board_type_family_count(void) { return kFamilyCount; }

const char *qolven_board_type_family_name(int family) {
    return family >= 0 && family < kFamilyCount ? familyName(family) : nullptr;
}

const char *qolven_board_type_family_meaning(int family) {
    return family >= 0 && family < kFamilyCount ? familyMeaning(family) : nullptr;
}

int qolven_board_type_serves(int code, int family) {
    if (!qolven_board_type_known(code) || family < 0 || family >= kFamilyCount) return 0;
    return serves(code, uint32_t(1) << family) ? 1 : 0;
}

} // extern "C"

extern "C" int qolven_board_type_last_rate_code(int code) {
    return qolven_board_type_known(code) ? boardTypeRow(code).lastRateCode : -1;
}
