#include "core/error_texts.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

namespace {
#define QOLVEN_ERROR_TEXT_STRING(name, text) text,
const char *const kText[] = {QOLVEN_ERROR_TEXTS(QOLVEN_ERROR_TEXT_STRING)};
#undef QOLVEN_ERROR_TEXT_STRING
} // namespace

const char *errorText(ErrorText text) { return text < ErrorText::Count ? kText[size_t(text)] : ""; }

const char *const kStatusText[kStatusTexts] = {
    "OK", "Invalid Handle", "Device Not Found", "Device Not Opened", "IO Error", "Insufficient Resources",
    "Invalid Parameter", "Invalid Baud Rate", "Device Not Opened For Erase", "Device Not Opened For Write",
    "Failed to Write Device", "EEPROM Read Failed", "EEPROM Write Failed", "EEPROM Erased Failed",
    "EEPROM Not Present", "EEPROM Not Programmed", "Invalid Arguments", "Not Supported", "Other Errors",
    "Device List Not Ready",
};
const char *const kUnknownStatusText = "Unknown Error";

} // namespace detail
} // namespace _QOLVEN_USB_DLL
