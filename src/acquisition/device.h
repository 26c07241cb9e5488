// The object behind a qolven_device handle of the acquisition layer, and the
// few rules every C function follows: check the input, run the library, turn
// its "Error" into a status with the library's text, let no exception out.
#ifndef QOLVEN_ACQUISITION_DEVICE_H
#define QOLVEN_ACQUISITION_DEVICE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "QOLVEN_USB_DLL.h"
#include "qolven.h"

namespace qolven_acquisition {

using Clock = std::chrono::steady_clock;

struct Sample {
    int64_t sequence;
    int32_t channel, count;
    double time, load;
};

// One fast-data stream: what the request needs to know of the board, the
// clock, the samples not yet handed over and the loss bookkeeping.
struct Stream {
    int state = QOLVEN_STREAM_STOPPED;
    int requestedRate = -1;  // -1: the board's own
    int rateCode = 0;
    double rate = 0;
    int boardType = 0;
    bool multiChannel = false;
    std::string typeText, rateText, versionText;
    Clock::time_point start{};
    double startWall = 0;
    Clock::time_point nextRequest{};
    bool answered = false;           // the first answer came
    Clock::time_point firstAnswer{};
    double firstSamples = 0;         // what the board had gathered before the first answer
    Clock::time_point lastGood{};
    bool failedSinceGood = false;    // a request between two good answers may have taken samples with it
    bool reconnected = false;        // the next good answer closes a reconnect gap
    double backlog = 0;              // samples the nominal rate gave and the board has not delivered
    double usualBacklog = 0;         // what that is between good answers (the answer's way back)
    uint64_t goodAnswers = 0;
    int failuresInARow = 0;
    int64_t nextSequence = 0;
    double lastTime = 0;
    std::deque<Sample> pending;
    uint64_t received = 0, lost = 0, requests = 0, timeouts = 0, failed = 0, reconnects = 0;
    // Reconnecting.
    bool bridgeGone = false;         // else the board stopped answering behind an attached bridge
    Clock::time_point nextLook{};
    qolven_calibration calibration{};
};

} // namespace qolven_acquisition

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
    std::atomic<bool> interrupted{false};

    bool calibrationKnown = false;  // `calibration` read for `channel`
    qolven_calibration calibration{};
    bool tared = false;
    int64_t tareCount = 0;

    qolven_acquisition::Stream stream;
    bool reconnect = true;
    std::deque<qolven_event> events;

    void *handle() const { return object->DeviceHandle; }
    bool open() const { return object->DeviceHandle != nullptr; }
};

namespace qolven_acquisition {

using Device = qolven_device::Object;

// The D2XX status of a call on a handle whose device has left.
constexpr uint32_t kIoError = 4;

// Records a failure of the interface itself and returns its code.
int refuse(qolven_device *d, int code, const std::string &text);
// After a library call answered "Error": its text and status, and the code
// of their class.  `opening`: the call opened the device (statuses 2 and 3
// then mean absent and held by another).
int libraryFailure(qolven_device *d, bool opening = false);
// The class of a library text and D2XX status, without asking the bridge.
int failureClass(const std::string &text, uint32_t status, bool opening);
// Clears the failure record before a call.
void begin(qolven_device *d);
// Keeps `text` as the result and copies it into the caller's buffer.
int give(qolven_device *d, const std::string &text, char *out, size_t size, size_t *length, int code = QOLVEN_OK);
// For the calls without a device: the reason into the caller's buffer (may be
// null), cut to fit.
void giveReason(const std::string &why, char *error, size_t size);
// The device must be open for calls that talk to it.
bool requireOpen(qolven_device *d);
// Something may have been written: what the object read of the board is stale.
void boardChanged(qolven_device *d);

// The serial numbers of the attached bridges, whole.  False with the
// failure recorded on `d` when the bridge library cannot list them.
bool attachedSerials(qolven_device *d, std::vector<std::string> &serials);
// Whether the open device's serial number is still attached (false too
// when the list cannot be had).
bool stillAttached(qolven_device *d);

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

// Copies a text into a fixed field of a result structure, cut to fit.
template <size_t N>
void copyText(char (&field)[N], const std::string &text) {
    size_t n = text.size() < N - 1 ? text.size() : N - 1;
    text.copy(field, n);
    field[n] = 0;
}

} // namespace qolven_acquisition

#endif
