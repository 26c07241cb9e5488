// What the library knows about each board type: its class, the families of
// commands it serves, and the figures that differ between types.  Every
// "which types accept this" is answered here; the command-line tool and the
// C interface read the same table.
#ifndef QOLVEN_BOARD_TYPES_H
#define QOLVEN_BOARD_TYPES_H

#include <cstddef>
#include <cstdint>

namespace _QOLVEN_USB_DLL {
namespace detail {

// Where a board keeps its parameters, and so how the parameter commands
// reach them.
enum class BoardClass : uint8_t {
    Refused,       // not supported: parameter commands answer "Invalid Type of Board"
    OwnLayout,     // type 0: its own register layout; many parameters answer "0"
    Eeprom,        // parameters in 16-bit EEPROM registers
    MultiChannel,  // parameters in per-channel registers, commands in their channel form
    Display,       // handheld display: front-panel keys, few parameters
    Count
};

// Families of commands a board serves (bit flags).
enum Family : uint32_t {
    kParameters = 1u << 0,           // the register parameters of the default classes
    kStoredSettings = 1u << 1,       // settings the board stores from a command
    kCalibrationReadable = 1u << 2,  // loading-point entries and shunt may be read
    kKeys = 1u << 3,                 // front-panel key emulation
    kCalibrationRegister = 1u << 4,  // calibration registers written by command
    kLoadSwitch = 1u << 5,           // simulated-load switch
    kVoltageOutput = 1u << 6,        // voltage output and output type
    kSystemByte = 1u << 7,           // crosstalk, type of calibration, active channels and page
    kRotation = 1u << 8,             // rotation input: pulses per rotation, angle reset
    kNetwork = 1u << 9,              // network addresses and ports
    kSensorBlock = 1u << 10,         // shunt resistor, potentiometers, excitation, analog output ...
    kDigitalComponents = 1u << 11,   // digital components and calibration mode
    kFastData = 1u << 12,            // fast-data stream
};
constexpr int kFamilyCount = 13;

struct BoardType {
    BoardClass boardClass;
    uint32_t families;
    // Fast data: bytes per sample up to lastFullRate (a multi-channel
    // board's channel byte included); one byte less above it, where the
    // board drops the low count byte.
    uint8_t fastWidth;
    uint8_t lastFullRate;
    uint8_t fastWaitMs;        // how long the answer to a fast-data request may take
    uint8_t lastRateCode;      // highest sampling-rate code the converter takes
    uint8_t lastLoadingPoint;  // points 0..lastLoadingPoint
    uint8_t angleRegister;     // first of the three memory registers of the angle (rotation input)
};

// Type codes 0..kLastBoardType have a row; any other code (255 after a
// failed identification) gets the refused row.
constexpr int kLastBoardType = 16;
extern const BoardType kBoardTypes[kLastBoardType + 1];
extern const BoardType kUnknownBoardType;
inline const BoardType &boardTypeRow(int code) {
    return code >= 0 && code <= kLastBoardType ? kBoardTypes[code] : kUnknownBoardType;
}

inline bool serves(int code, uint32_t family) { return (boardTypeRow(code).families & family) != 0; }
inline bool multiChannel(int code) { return boardTypeRow(code).boardClass == BoardClass::MultiChannel; }
inline bool ownLayout(int code) { return boardTypeRow(code).boardClass == BoardClass::OwnLayout; }

// Short names and meanings, for people: a page, the tool's help.
const char *className(BoardClass c);
const char *classMeaning(BoardClass c);
// Family bit 1 << index.
const char *familyName(int index);
const char *familyMeaning(int index);

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
