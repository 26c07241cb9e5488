// The object behind a qolven_device handle of the C interface, and the few
// rules every C function follows: check the input, run the library, turn its
// "Error" into a status with the library's text, let no exception out.
#ifndef QOLVEN_CAPI_DEVICE_H
#define QOLVEN_CAPI_DEVICE_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "QOLVEN_USB_DLL.h"
#include "qolven.h"

struct qolven_device {
    using Object = _QOLVEN_USB_DLL::QOLVEN_USB_DLL;

    std::unique_ptr<Object> owned;  // empty for a wrapped object
    Object *object = nullptr;
    std::string serial;             // of the open device
    unsigned char channel = 0;
    int calibrationType = 0;
    std::string error;              // reason of the last failure
    uint32_t status = 0;            // its D2XX status
    std::string result;             // the last result text, whole

    // Fast data between qolven_stream_start and the reads.
    struct Sample {
        int32_t number, channel, count;
    };
    struct Stream {
        bool started = false;
        std::string typeText, rateText, versionText;
        std::chrono::steady_clock::time_point start;
        std::deque<Sample> pending;  // received, not yet handed over
        double arrival = 0;
    } stream;

    void *handle() const { return object->DeviceHandle; }
    bool open() const { return object->DeviceHandle != nullptr; }
};

namespace qolven_capi {

using Device = qolven_device::Object;

// Records a failure of the interface itself and returns its code.
int refuse(qolven_device *d, int code, const std::string &text);
// After a library call answered "Error": its text and status, and the code
// that fits them (QOLVEN_TIMEOUT for "Timeout Error").
int libraryFailure(qolven_device *d);
// Clears the failure record before a call.
void begin(qolven_device *d);
// Keeps `text` as the result and copies it into the caller's buffer.
int give(qolven_device *d, const std::string &text, char *out, size_t size, size_t *length, int code = QOLVEN_OK);
// For the calls without a device: the reason into the caller's buffer (may be
// null), cut to fit.
void giveReason(const std::string &why, char *error, size_t size);
// The device must be open for calls that talk to it.
bool requireOpen(qolven_device *d);

// QOLVEN_INTERNAL with "internal error: <what>"; never throws itself.
int internalFailure(qolven_device *d, const char *what) noexcept;

// Runs `body`, turning any exception into QOLVEN_INTERNAL with its text.
template <typename Body>
int guarded(qolven_device *d, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return internalFailure(d, "out of memory");
    } catch (const std::exception &e) {
        return internalFailure(d, e.what());
    } catch (...) {
        return internalFailure(d, "unknown exception");
    }
}

} // namespace qolven_capi

#endif
