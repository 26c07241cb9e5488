// Failures: the class of each of the library's texts and bridge statuses,
// the names of the codes, and the rules every C function follows to report.
#include <algorithm>
#include <cstring>

#include "acquisition/device.h"
#include "core/error_texts.h"

namespace qolven_acquisition {

namespace {

using _QOLVEN_USB_DLL::detail::ErrorText;

constexpr uint32_t kDeviceNotFound = 2, kDeviceNotOpened = 3;

// The class of each text the library leaves in lastErrorText.
int textClass(ErrorText t) {
    switch (t) {
    case ErrorText::None: return QOLVEN_NO_VALUE;
    case ErrorText::Timeout: return QOLVEN_TIMEOUT;
    case ErrorText::PacketNumber:
    case ErrorText::PacketSize:
    case ErrorText::CommandNumber:
    case ErrorText::EndOfPacket:
    case ErrorText::EmptyBuffer: return QOLVEN_ERROR;
    case ErrorText::Teds:
    case ErrorText::Command:
    case ErrorText::PacketFrame:
    case ErrorText::PacketCommand: return QOLVEN_BOARD_REFUSED;
    case ErrorText::InvalidTypeOfBoard: return QOLVEN_BOARD_TYPE;
    default: return QOLVEN_INVALID_ARGUMENT;  // the setters' "Invalid ..." refusals of an argument
    }
}

} // namespace

int failureClass(const std::string &text, uint32_t status, bool opening) {
    if (status != 0) {
        if (opening && status == kDeviceNotFound) return QOLVEN_NO_DEVICE;
        if (opening && status == kDeviceNotOpened) return QOLVEN_DEVICE_BUSY;
        return QOLVEN_TRANSPORT;
    }
    for (size_t i = 0; i < size_t(ErrorText::Count); ++i)
        if (text == _QOLVEN_USB_DLL::detail::errorText(ErrorText(i))) return textClass(ErrorText(i));
    return QOLVEN_ERROR;
}

int internalFailure(qolven_device *d, const char *what) noexcept {
    if (!d) return QOLVEN_INTERNAL;
    try {
        d->error = "internal error: ";
        d->error += what;
    } catch (...) {
        d->error.clear();
    }
    return QOLVEN_INTERNAL;
}

int refuse(qolven_device *d, int code, const std::string &text) {
    // Texts can carry what a user typed: keep them to a line's worth.
    constexpr size_t kLongest = 1024;
    d->error = text.size() <= kLongest ? text : text.substr(0, kLongest) + "... (cut)";
    return code;
}

int libraryFailure(qolven_device *d, bool opening) {
    d->status = d->object->lastStatus;
    d->error = d->object->lastErrorText;
    if (d->error.empty() && d->status == 0) return refuse(d, QOLVEN_NO_VALUE, "the board returned no valid value");
    int code = failureClass(d->error, d->status, opening);
    // An I/O failure of an open device whose bridge left the list is an unplug.
    if (code == QOLVEN_TRANSPORT && d->status == kIoError && !d->serial.empty() && !stillAttached(d))
        return QOLVEN_DISCONNECTED;
    return code;
}

void begin(qolven_device *d) {
    d->error.clear();
    d->status = 0;
    // Only a failure of this call may leave a status behind.
    d->object->lastStatus = 0;
}

void giveReason(const std::string &why, char *error, size_t size) {
    if (!error || !size) return;
    size_t n = std::min(why.size(), size - 1);
    std::memcpy(error, why.data(), n);
    error[n] = 0;
}

int give(qolven_device *d, const std::string &text, char *out, size_t size, size_t *length, int code) {
    d->result = text;
    if (length) *length = text.size();
    if (!out || size <= text.size()) {
        if (out && size) out[0] = 0;
        if (code != QOLVEN_OK) return code;  // the failure matters more than the buffer
        return refuse(d, QOLVEN_BUFFER_TOO_SMALL,
                      "the result needs " + std::to_string(text.size() + 1) + " bytes, the buffer has " +
                          std::to_string(out ? size : 0));
    }
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = 0;
    return code;
}

bool requireOpen(qolven_device *d) {
    if (d->open()) return true;
    refuse(d, QOLVEN_NOT_OPEN, "no device is open (qolven_open first)");
    return false;
}

void boardChanged(qolven_device *d) { d->calibrationKnown = false; }

} // namespace qolven_acquisition

using namespace qolven_acquisition;

extern "C" {

const char *qolven_error_name(int status) {
    static const char *const names[] = {
        "QOLVEN_OK",           "QOLVEN_ERROR",          "QOLVEN_TIMEOUT",       "QOLVEN_INVALID_ARGUMENT",
        "QOLVEN_UNKNOWN_NAME", "QOLVEN_NOT_SUPPORTED",  "QOLVEN_BUFFER_TOO_SMALL", "QOLVEN_NO_VALUE",
        "QOLVEN_NOT_OPEN",     "QOLVEN_INTERNAL",       "QOLVEN_BOARD_TYPE",    "QOLVEN_BOARD_REFUSED",
        "QOLVEN_TRANSPORT",    "QOLVEN_DISCONNECTED",   "QOLVEN_NO_DEVICE",     "QOLVEN_DEVICE_BUSY",
        "QOLVEN_INTERRUPTED"};
    if (status < 0 || status >= static_cast<int>(sizeof names / sizeof names[0])) return "unknown status";
    return names[status];
}

const char *qolven_status_name(int status) { return qolven_error_name(status); }

const char *qolven_error_text(const qolven_device *d) { return d ? d->error.c_str() : "no device object"; }

uint32_t qolven_d2xx_status(const qolven_device *d) { return d ? d->status : 0; }

int qolven_result_text(const qolven_device *d, char *text, size_t size, size_t *length) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    if (length) *length = d->result.size();
    if (!text || size <= d->result.size()) {
        if (text && size) text[0] = 0;
        return QOLVEN_BUFFER_TOO_SMALL;
    }
    std::memcpy(text, d->result.data(), d->result.size());
    text[d->result.size()] = 0;
    return QOLVEN_OK;
}

} // extern "C"
