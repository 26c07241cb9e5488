#include "board/board_types.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

namespace {
using C = BoardClass;
// Families that go together.
constexpr uint32_t kRegisterBoard = kParameters | kStoredSettings | kCalibrationReadable;
constexpr uint32_t kStreaming = kRegisterBoard | kFastData;
constexpr uint8_t kNever = 255;  // no rate code drops the low count byte
} // namespace

// clang-format off
// By type code; the figures: fast-data width, last full rate, fast wait (ms),
// last rate code, last loading point, angle register.
//       class            families                                                      figures
const BoardType kBoardTypes[kLastBoardType + 1] = {
    /* 0 */ {C::OwnLayout,    kRegisterBoard | kLoadSwitch,                                  0, 0,     1, 15, 19, 0},
    /* 1 */ {C::Eeprom,       kStreaming | kLoadSwitch,                                      3, 13,    1, 15, 15, 0},
    /* 2 */ {C::Eeprom,       kStreaming | kLoadSwitch,                                      3, 13,    1, 15, 15, 0},
    /* 3 */ {C::Eeprom,       kStreaming | kLoadSwitch,                                      3, 13,    1, 15, 15, 0},
    /* 4 */ {C::Eeprom,       kStreaming | kLoadSwitch,                                      3, 12,    1, 15, 15, 0},
    /* 5 */ {C::Display,      kStoredSettings | kCalibrationReadable | kKeys | kCalibrationRegister | kLoadSwitch,
                                                                                              0, 0,     1, 15, 15, 0},
    /* 6 */ {C::Eeprom,       kStreaming | kLoadSwitch,                                      3, 13,    1, 15, 15, 0},
    /* 7 */ {C::Eeprom,       kStreaming,                                                    3, 13,    1, 15, 15, 0},
    /* 8 */ {C::Eeprom,       kStreaming | kRotation,                                        3, kNever, 5, 15, 15, 128},
    /* 9 */ {C::MultiChannel, kStreaming | kSystemByte,                                      4, 13,    1, 15, 15, 0},
    /* 10 */ {C::Display,     kStoredSettings | kKeys | kCalibrationRegister | kLoadSwitch,  0, 0,     1, 15, 15, 0},
    /* 11 */ {C::Eeprom,      kStreaming | kLoadSwitch | kVoltageOutput | kSystemByte | kRotation,
                                                                                              3, 13,    1, 15, 15, 45},
    /* 12 */ {C::Eeprom,      kStreaming | kLoadSwitch,                                      3, 13,    1, 11, 15, 0},
    /* 13 */ {C::Eeprom,      kStreaming | kLoadSwitch | kNetwork,                           3, 13,    1, 15, 15, 0},
    /* 14 */ {C::Eeprom,      kStreaming | kVoltageOutput | kSystemByte | kRotation,         3, 12,    1, 15, 15, 45},
    /* 15 */ {C::Refused,     0,                                                             0, 0,     1, 15, 15, 0},
    /* 16 */ {C::Eeprom,      kStreaming | kLoadSwitch | kSensorBlock | kDigitalComponents,  3, 13,    1, 15, 15, 0},
};
// clang-format on
const BoardType kUnknownBoardType = {C::Refused, 0, 0, 0, 1, 15, 15, 0};

namespace {
struct Described {
    const char *name;
    const char *meaning;
};
constexpr Described kClasses[] = {
    {"refused", "not supported: its parameters cannot be reached"},
    {"own-layout", "amplifier with its own register layout; many parameters answer 0"},
    {"eeprom", "amplifier or module keeping its settings in EEPROM registers"},
    {"multi-channel", "multi-channel board: settings per channel, commands with a channel byte"},
    {"display", "handheld display with front-panel keys"},
};
static_assert(sizeof kClasses / sizeof kClasses[0] == size_t(BoardClass::Count), "one text per class");
constexpr Described kFamilies[] = {
    {"parameters", "stored parameters in registers"},
    {"stored-settings", "settings the board stores from a command"},
    {"calibration-readable", "loading-point entries and shunt value may be read"},
    {"keys", "front-panel keys"},
    {"calibration-register", "calibration registers"},
    {"load-switch", "simulated-load switch"},
    {"voltage-output", "voltage output and output type"},
    {"system-byte", "crosstalk, type of calibration, active channels and page"},
    {"rotation", "rotation input: pulses per rotation, angle and speed"},
    {"network", "network addresses and ports"},
    {"sensor-block", "shunt resistor, sensor sensitivity, potentiometers, excitation, outputs"},
    {"digital-components", "digital components and calibration mode"},
    {"fast-data", "fast-data stream"},
};
static_assert(sizeof kFamilies / sizeof kFamilies[0] == kFamilyCount, "one text per family");
} // namespace

const char *className(BoardClass c) { return c < BoardClass::Count ? kClasses[size_t(c)].name : ""; }
const char *classMeaning(BoardClass c) { return c < BoardClass::Count ? kClasses[size_t(c)].meaning : ""; }
const char *familyName(int index) { return index >= 0 && index < kFamilyCount ? kFamilies[index].name : ""; }
const char *familyMeaning(int index) { return index >= 0 && index < kFamilyCount ? kFamilies[index].meaning : ""; }

} // namespace detail
} // namespace _QOLVEN_USB_DLL
