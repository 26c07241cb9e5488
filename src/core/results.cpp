#include <charconv>
#include <cstring>

#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

const char *const kError = "Error";
const char *const kOk = "0";
const char *const kFinished = "Finished";

void setError(QOLVEN_USB_DLL &d, ErrorText text) {
    std::strncpy(d.lastErrorText, errorText(text), sizeof d.lastErrorText - 1);
    d.lastErrorText[sizeof d.lastErrorText - 1] = 0;
}

std::string fail(QOLVEN_USB_DLL &d, ErrorText text) {
    setError(d, text);
    return kError;
}

void transportFailure(QOLVEN_USB_DLL &d, uint32_t status) {
    d.lastStatus = status;
    d.GetErrorDescription(status);
}

bool exchanged(const QOLVEN_USB_DLL &d) {
    // Asked several times per exchange; against a std::string the sizes are
    // compared first, against a char pointer every call measures it.
    static const std::string finished = kFinished;
    return d.writeStatus == finished && d.readStatus == finished;
}

// Every number a reading returns and every fast-data field passes through
// here: to_chars is the same text as "%lld" at a fraction of printf's cost.
std::string decimal(long long value) {
    char text[24];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string offlineEntry(const QOLVEN_USB_DLL &d, Offline entry) {
    if (entry >= Offline::Count) return kOk;
    return decimal(offlineValue(d, entry));
}

std::string hexText(const unsigned char *bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text(count * 2, '0');
    for (size_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 15];
    }
    return text;
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
