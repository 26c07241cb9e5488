// Board-type information through the C interface.
//
// INTERIM until the library's board-type table is merged: the classes by
// which the methods dispatch, as the only description there is yet.
#include "qolven.h"

namespace {
const char *const kMeanings[] = {
    "board with parameters by its own rules (many answer 0 at once)",  // 0
    "amplifier board, parameters in EEPROM",                           // 1
    "amplifier board, parameters in EEPROM",                           // 2
    "amplifier board, parameters in EEPROM",                           // 3
    "amplifier board, parameters in EEPROM",                           // 4
    "handheld display with front-panel keys",                          // 5
    "amplifier board, parameters in EEPROM",                           // 6
    "amplifier board, parameters in EEPROM",                           // 7
    "amplifier board with a rotation input",                           // 8
    "four-channel board, parameters per channel",                      // 9
    "handheld display with front-panel keys",                          // 10
    "amplifier board with voltage output and rotation input",          // 11
    "amplifier board, sampling rates up to code 11",                   // 12
    "networked amplifier board",                                       // 13
    "amplifier board with voltage output and rotation input",          // 14
    "display without parameter access",                                // 15
    "USB module with digital components",                              // 16
};
constexpr int kKnown = static_cast<int>(sizeof kMeanings / sizeof kMeanings[0]);
} // namespace

extern "C" {

int qolven_board_type_known(int code) { return code >= 0 && code < kKnown ? 1 : 0; }

const char *qolven_board_type_meaning(int code) { return qolven_board_type_known(code) ? kMeanings[code] : nullptr; }

} // extern "C"
