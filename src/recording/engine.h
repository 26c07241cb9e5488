// The object behind a qolven_recorder handle: the settings, one reader
// thread per device, the writer thread, and what they share.
#ifndef QOLVEN_RECORDING_ENGINE_H
#define QOLVEN_RECORDING_ENGINE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recording/recorder.h"

namespace qolven_recording {

using Clock = std::chrono::steady_clock;

// Seconds on the monotonic clock, as the stream status gives its starts.
inline double monotonicNow() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// What a reader hands the writer: samples (stream time), the stream's
// events, and how the reader ended.
struct Batch {
    int device = 0;
    Columns samples;
    std::vector<Event> events;
    bool ended = false;
    int failure = QOLVEN_OK;  // the read that ended the reader
    std::string why;
};

enum class Phase { Prepare, Start, Read, Quit };

struct Slot {
    qolven_device *device = nullptr;
    std::thread thread;
    std::atomic<bool> tareRequested{false};
    // Set by the reader before the writer starts.
    bool prepared = false, started = false;
    int status = QOLVEN_OK;
    std::string why;
    DeviceInfo info;
    bool taredAtStart = false;
    int64_t tareCount = 0;
    bool realTime = false;  // the reader runs at a real-time priority
    // Refreshed by the reader under the recorder's lock.
    struct qolven_stream_info stream{};
};

} // namespace qolven_recording

struct qolven_recorder {
    std::mutex joinM;                 // one thread joins the recording's threads
    std::mutex m;                     // guards everything below not atomic
    std::condition_variable changed;  // phase, queue, finishing
    qolven_recording::Settings settings;
    std::vector<qolven_device *> devices;
    std::vector<std::string> serials;  // given for devices whose object does not know theirs
    std::string error;

    std::atomic<int> state{QOLVEN_RECORD_IDLE};
    std::atomic<bool> stopRequested{false};
    std::atomic<int64_t> stopAtNanos{0};
    std::atomic<int> stopCalls{0};
    std::atomic<bool> readersQuit{false};

    qolven_recording::Phase phase = qolven_recording::Phase::Prepare;
    std::vector<std::unique_ptr<qolven_recording::Slot>> slots;
    std::thread writer;
    bool writerReady = false;  // the file exists (or creating it failed: result says)
    std::deque<qolven_recording::Batch> queue;
    size_t queuedSamples = 0;
    std::string pendingMark;  // marks wait here for the writer's clock
    std::vector<qolven_recording::Event> marks;

    double time0 = 0;  // monotonic seconds
    bool joined = true;
    int result = QOLVEN_OK;
    std::string resultText;
    qolven_record_status status{};
    std::vector<qolven_record_device_status> deviceStatus;
    std::deque<qolven_record_event> events;  // for qolven_recorder_next_event
};

namespace qolven_recording {

// Starts a recording with the settings; the failure's code and text otherwise.
int startRecording(qolven_recorder *r);
// Joins every thread once the recording finished.
void joinAll(qolven_recorder *r);

static_assert(std::atomic<int64_t>::is_always_lock_free, "the stop time is set from signal handlers");

} // namespace qolven_recording

#endif
