// The device object's life, and the one way every front end chooses, opens
// and closes a device.
#include <algorithm>
#include <cstring>
#include <vector>

#include "acquisition/device.h"
#include "acquisition/value_text.h"

namespace qolven_acquisition {

namespace {

// A serial number opens with at most this many characters (the bridge
// library's open call and the object's field take no more).
constexpr size_t kLongestOpenableSerial = 15;
constexpr uint32_t kDeviceNotFound = 2;

void *indexArgument(int index) { return reinterpret_cast<void *>(static_cast<intptr_t>(index)); }

std::string joined(const std::vector<std::string> &serials) {
    std::string list;
    for (const std::string &s : serials) list += (list.empty() ? "" : ", ") + s;
    return list;
}

// Listing runs on the object of the open device: what it leaves behind must
// not hide the failure being reported.
struct KeepFailure {
    Device &o;
    std::string text;
    uint32_t status;
    explicit KeepFailure(Device &object) : o(object), text(object.lastErrorText), status(object.lastStatus) {}
    ~KeepFailure() {
        std::snprintf(o.lastErrorText, sizeof o.lastErrorText, "%s", text.c_str());
        o.lastStatus = status;
    }
};

std::string longSerial(const std::string &serial) {
    return "the bridge's serial number \"" + serial + "\" has " + std::to_string(serial.size()) +
           " characters; a bridge opens by at most " + std::to_string(kLongestOpenableSerial) +
           " (give the bridge a shorter serial number in its EEPROM)";
}

} // namespace

bool attachedSerials(qolven_device *d, std::vector<std::string> &serials) {
    Device &object = *d->object;
    serials.clear();
    std::string count = object.Get_Device_Count();
    if (count == "Error") return false;
    for (int i = 0, n = std::atoi(count.c_str()); i < n; ++i) {
        std::string serial = object.Get_Device_Serial_Number(indexArgument(i));
        if (serial == "Error") return false;
        serials.push_back(serial);
    }
    return true;
}

bool stillAttached(qolven_device *d) {
    KeepFailure keep(*d->object);
    std::vector<std::string> serials;
    if (!attachedSerials(d, serials)) return false;
    return std::find(serials.begin(), serials.end(), d->serial) != serials.end();
}

} // namespace qolven_acquisition

using namespace qolven_acquisition;

extern "C" {

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
        boardChanged(d);
        return QOLVEN_OK;
    });
}

void qolven_interrupt(qolven_device *d) {
    if (d) d->interrupted.store(true);
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
        if (wanted.size() > kLongestOpenableSerial)
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "serial number \"" + wanted + "\" is longer than " +
                                                          std::to_string(kLongestOpenableSerial) + " characters");
        if (object.offlineMode == 0) {
            // Count first: some bridge libraries crash opening a serial number
            // that is not attached, and the user deserves the list anyway.
            std::vector<std::string> serials;
            if (!attachedSerials(d, serials)) return libraryFailure(d);
            if (wanted.empty()) {
                d->status = serials.size() == 1 ? 0 : kDeviceNotFound;
                if (serials.empty()) return refuse(d, QOLVEN_NO_DEVICE, "no device attached");
                if (serials.size() > 1)
                    return refuse(d, QOLVEN_NO_DEVICE, std::to_string(serials.size()) + " devices attached (" +
                                                           joined(serials) + "); name one by its serial number");
                wanted = serials[0];
                if (wanted.size() > kLongestOpenableSerial) return refuse(d, QOLVEN_INVALID_ARGUMENT, longSerial(wanted));
            } else if (std::find(serials.begin(), serials.end(), wanted) == serials.end()) {
                d->status = kDeviceNotFound;  // what the bridge would have said
                return refuse(d, QOLVEN_NO_DEVICE, "no bridge with serial " + wanted + " attached" +
                                                       (serials.empty() ? " (none is attached)"
                                                                        : " (attached: " + joined(serials) + ")"));
            }
        } else if (wanted.empty()) {
            wanted = std::to_string(object.offlineSerialNumber);
        }
        std::vector<char> text(wanted.begin(), wanted.end());
        text.push_back(0);
        object.Open_Device_Connection(text.data());
        if (!object.DeviceHandle) return libraryFailure(d, true);
        d->serial = wanted;
        d->stream = Stream();
        boardChanged(d);
        return QOLVEN_OK;
    });
}

int qolven_close(qolven_device *d) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (!d->open()) {
            // A stream waiting for an unplugged bridge to return has closed it already.
            d->serial.clear();
            d->stream = Stream();
            return QOLVEN_OK;
        }
        d->object->Close_Device_Connection(d->handle());
        // The bridge releases the handle even when closing reports a failure.
        d->object->DeviceHandle = nullptr;
        int status = d->object->lastStatus != 0 ? libraryFailure(d) : QOLVEN_OK;
        d->serial.clear();
        d->stream = Stream();
        boardChanged(d);
        return status;
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
        if (d->channel != channel) boardChanged(d);
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
        if (d->calibrationType != type) boardChanged(d);
        d->calibrationType = type;
        return QOLVEN_OK;
    });
}

} // extern "C"
