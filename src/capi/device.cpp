// The device object of the C interface: life cycle, failures, discovery,
// connection and the typed readings.
#include "capi/device.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capi/values.h"

namespace qolven_capi {

namespace {
constexpr const char *kTimeout = "Timeout Error";
constexpr uint32_t kDeviceNotFound = 2;

// The identity texts hold one character whose code is the number.
int code(const std::string &text) { return text.empty() ? 0 : static_cast<unsigned char>(text[0]); }

bool wholeNumber(const std::string &text, long long &value) {
    const char *end = text.data() + text.size();
    auto r = std::from_chars(text.data(), end, value);
    return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

void *indexArgument(int index) { return reinterpret_cast<void *>(static_cast<intptr_t>(index)); }
} // namespace

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
    d->error = text;
    return code;
}

int libraryFailure(qolven_device *d) {
    d->status = d->object->lastStatus;
    d->error = d->object->lastErrorText;
    if (d->error.empty()) return refuse(d, QOLVEN_NO_VALUE, "the board returned no valid value");
    return d->error == kTimeout ? QOLVEN_TIMEOUT : QOLVEN_ERROR;
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

} // namespace qolven_capi

using namespace qolven_capi;

extern "C" {

const char *qolven_status_name(int status) {
    static const char *const names[] = {"QOLVEN_OK",           "QOLVEN_ERROR",       "QOLVEN_TIMEOUT",
                                        "QOLVEN_INVALID_ARGUMENT", "QOLVEN_UNKNOWN_NAME", "QOLVEN_NOT_SUPPORTED",
                                        "QOLVEN_BUFFER_TOO_SMALL", "QOLVEN_NO_VALUE",    "QOLVEN_NOT_OPEN",
                                        "QOLVEN_INTERNAL"};
    if (status < 0 || status >= static_cast<int>(sizeof names / sizeof names[0])) return "unknown status";
    return names[status];
}

const char *qolven_version(void) {
#define QOLVEN_TEXT(x) #x
#define QOLVEN_VERSION_TEXT(a, b, c) QOLVEN_TEXT(a) "." QOLVEN_TEXT(b) "." QOLVEN_TEXT(c)
    return QOLVEN_VERSION_TEXT(QOLVEN_USB_VERSION_MAJOR, QOLVEN_USB_VERSION_MINOR, QOLVEN_USB_VERSION_PATCH);
#undef QOLVEN_VERSION_TEXT
#undef QOLVEN_TEXT
}

int qolven_parse_integer(const char *text, int64_t low, int64_t high, int64_t *value, char *error, size_t size) {
    try {
        long long parsed = 0;
        std::string why;
        if (error && size) error[0] = 0;
        if (low > high) why = "the range " + std::to_string(low) + ".." + std::to_string(high) + " is empty";
        else if (parseInteger(text, low, high, parsed, why)) {
            if (value) *value = parsed;
            return QOLVEN_OK;
        }
        giveReason(why, error, size);
        return QOLVEN_INVALID_ARGUMENT;
    } catch (...) {
        return QOLVEN_INTERNAL;
    }
}

qolven_device *qolven_create(void) {
    try {
        std::unique_ptr<qolven_device> d(new qolven_device);
        d->owned.reset(new Device);
        d->object = d->owned.get();
        return d.release();
    } catch (...) {
        return nullptr;
    }
}

qolven_device *qolven_wrap(void *object) {
    if (!object) return nullptr;
    try {
        qolven_device *d = new qolven_device;
        d->object = static_cast<Device *>(object);
        return d;
    } catch (...) {
        return nullptr;
    }
}

void qolven_destroy(qolven_device *d) {
    if (!d) return;
    if (d->owned && d->open()) d->object->Close_Device_Connection(d->handle());
    delete d;
}

int qolven_set_offline(qolven_device *d, int offline) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (offline != 0 && offline != 1)
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "offline mode " + std::to_string(offline) + " is not 0 or 1");
        d->object->offlineMode = static_cast<unsigned char>(offline);
        return QOLVEN_OK;
    });
}

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

int qolven_device_count(qolven_device *d, int *count) {
    if (!d || !count) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        std::string text = d->object->Get_Device_Count();
        if (text == "Error") return libraryFailure(d);
        *count = std::atoi(text.c_str());
        return QOLVEN_OK;
    });
}

int qolven_device_serial(qolven_device *d, int index, char *serial, size_t size) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (index < 0) return refuse(d, QOLVEN_INVALID_ARGUMENT, "device index " + std::to_string(index) + " is negative");
        std::string text = d->object->Get_Device_Serial_Number(indexArgument(index));
        if (text == "Error") return libraryFailure(d);
        return give(d, text, serial, size, nullptr);
    });
}

int qolven_open(qolven_device *d, const char *serial) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        Device &object = *d->object;
        std::string wanted = serial ? serial : "";
        if (d->open())
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "a device is already open on this object; close it first");
        if (wanted.size() > 15)
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "serial number \"" + wanted + "\" is longer than 15 characters");
        if (object.offlineMode == 0) {
            // Count first: some bridge libraries crash opening a serial number
            // that is not attached, and the user deserves the list anyway.
            std::string countText = object.Get_Device_Count();
            if (countText == "Error") return libraryFailure(d);
            std::vector<std::string> serials;
            for (int i = 0, n = std::atoi(countText.c_str()); i < n; ++i) {
                std::string s = object.Get_Device_Serial_Number(indexArgument(i));
                if (s == "Error") return libraryFailure(d);
                serials.push_back(s);
            }
            if (wanted.empty()) {
                d->status = serials.size() == 1 ? 0 : kDeviceNotFound;
                if (serials.empty()) return refuse(d, QOLVEN_ERROR, "no device attached");
                if (serials.size() > 1) {
                    std::string list;
                    for (const std::string &s : serials) list += (list.empty() ? "" : ", ") + s;
                    return refuse(d, QOLVEN_ERROR, std::to_string(serials.size()) + " devices attached (" + list +
                                                       "); name one by its serial number");
                }
                wanted = serials[0];
            } else {
                bool attached = false;
                for (const std::string &s : serials) attached = attached || s == wanted;
                if (!attached) {
                    d->status = kDeviceNotFound;
                    return refuse(d, QOLVEN_ERROR, "no bridge with serial " + wanted + " attached");
                }
            }
        } else if (wanted.empty()) {
            wanted = std::to_string(object.offlineSerialNumber);
        }
        std::vector<char> text(wanted.begin(), wanted.end());
        text.push_back(0);
        object.Open_Device_Connection(text.data());
        if (!object.DeviceHandle) return libraryFailure(d);
        d->serial = wanted;
        d->stream = qolven_device::Stream();
        return QOLVEN_OK;
    });
}

int qolven_close(qolven_device *d) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (!d->open()) return QOLVEN_OK;
        d->object->Close_Device_Connection(d->handle());
        // The bridge releases the handle even when closing reports a failure.
        d->object->DeviceHandle = nullptr;
        d->serial.clear();
        d->stream = qolven_device::Stream();
        if (d->object->lastStatus != 0) return libraryFailure(d);
        return QOLVEN_OK;
    });
}

int qolven_is_open(const qolven_device *d) { return d && d->open() ? 1 : 0; }

const char *qolven_open_serial(const qolven_device *d) { return d && d->open() ? d->serial.c_str() : ""; }

int qolven_set_channel(qolven_device *d, int channel) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (channel < 0 || channel > 3)
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "channel " + std::to_string(channel) + " is outside 0..3");
        d->channel = static_cast<unsigned char>(channel);
        return QOLVEN_OK;
    });
}

int qolven_set_calibration_type(qolven_device *d, int type) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (type != 0 && type != 1)
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "type of calibration " + std::to_string(type) + " is not 0 or 1");
        d->calibrationType = type;
        return QOLVEN_OK;
    });
}

int qolven_identify(qolven_device *d, struct qolven_board_identity *identity) {
    if (!d || !identity) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        Device &o = *d->object;
        o.Get_Version_of_Board(d->handle());
        if (o.boardTypeText == "Error") return libraryFailure(d);
        *identity = {code(o.boardTypeText), code(o.hardwareVersionText), code(o.firmwareVersionText),
                     code(o.firmwareYearText), code(o.firmwareMonthText)};
        return QOLVEN_OK;
    });
}

int qolven_read_count(qolven_device *d, int64_t *count) {
    if (!d || !count) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        std::string text = d->object->Normal_Data_Request(d->handle(), d->channel);
        d->result = text;
        if (text == "Error") return libraryFailure(d);
        long long value = 0;
        if (!wholeNumber(text, value))
            return refuse(d, QOLVEN_NO_VALUE, text.empty() ? "the board sent a count of unknown status" : text);
        *count = value;
        return QOLVEN_OK;
    });
}

} // extern "C"
