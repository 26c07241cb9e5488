#include "core/error_texts.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

namespace {
// In the order of ErrorText.
const char *const kText[] = {
    "",
    "Timeout Error",
    "Packet Number Error",
    "Packet Size Error",
    "Command Number Error",
    "End Of Packet Error",
    "Empty Buffer Error",
    "TEDS Error",
    "Command Error",
    "Packet Frame Error",
    "Packet Command Error",
    "Invalid Type of Board",
    "Invalid Source Page Number",
    "Invalid Destination Page Number",
    "Invalid Active Page Number",
    "Invalid Average Setting",
    "Invalid Bridge Resistance",
    "Invalid Calibration Code",
    "Invalid Calibration Day",
    "Invalid Calibration Month",
    "Invalid Calibration Year",
    "Invalid CrossTalk",
    "Invalid Decimal Point",
    "Invalid Direction",
    "Invalid Load Value",
    "Invalid Loading Point",
    "Invalid Number Of Loading Points",
    "Invalid Number of Active Channels",
    "Invalid Point",
    "Invalid Port Number",
    "Invalid Pulses Per Rotation",
    "Invalid Sampling Rate",
    "Invalid Sensitivity",
    "Invalid Sensor Configuration",
    "Invalid Serial Number",
    "Invalid Shunt Value",
    "Invalid Simulated Load",
    "Invalid Type Of Calibration",
    "Invalid Unit Code",
    "Invalid Voltage Point",
    "Invalid Counter",
    "Invalid Firmware Version",
    "Invalid Slot",
    "Invalid Zero Correction",
};
static_assert(sizeof kText / sizeof kText[0] == size_t(ErrorText::Count), "one text per ErrorText");
} // namespace

const char *errorText(ErrorText text) { return text < ErrorText::Count ? kText[size_t(text)] : ""; }

// By D2XX status code.
const char *const kStatusText[kStatusTexts] = {
    "OK",
    "Invalid Handle",
    "Device Not Found",
    "Device Not Opened",
    "IO Error",
    "Insufficient Resources",
    "Invalid Parameter",
    "Invalid Baud Rate",
    "Device Not Opened For Erase",
    "Device Not Opened For Write",
    "Failed to Write Device",
    "EEPROM Read Failed",
    "EEPROM Write Failed",
    "EEPROM Erased Failed",
    "EEPROM Not Present",
    "EEPROM Not Programmed",
    "Invalid Arguments",
    "Not Supported",
    "Other Errors",
    "Device List Not Ready",
};
const char *const kUnknownStatusText = "Unknown Error";

} // namespace detail
} // namespace _QOLVEN_USB_DLL
