// One thread per device: it owns the device's qolven_device, runs the work
// that HTTP handlers hand it one job at a time, and between jobs reads the
// acquisition layer's stream for the live view while anyone listens.
#ifndef QOLVEN_SERVER_DEVICE_WORKER_H
#define QOLVEN_SERVER_DEVICE_WORKER_H

#include "events.h"

#include <qolven.h>
#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qolven_server {

using Json = nlohmann::json;

// An HTTP status and the JSON body to send.
struct Reply {
    int status = 200;
    Json body = Json::object();
};
Reply failure(int status, const std::string &message);

// The HTTP status that answers a failure of the acquisition layer, by its class.
int httpStatus(int qolvenStatus);
// A failure of the acquisition layer: its text after `what` ("reading: Timeout Error")
// and the name of its code ("QOLVEN_TIMEOUT"), with the status of its class.
Reply libraryFailure(const qolven_device *device, int qolvenStatus, const std::string &what = "");

class DeviceWorker {
public:
    using Job = std::function<Reply(qolven_device *)>;

    struct Limits {
        size_t queuedJobs = 32;
        // Between two attempts to open the device or start its stream after a failure.
        std::chrono::milliseconds retryPause{2000};
        // Samples are gathered this long into one event.
        std::chrono::milliseconds publishInterval{25};
    };

    DeviceWorker(std::string serial, int channel, Limits limits);
    DeviceWorker(std::string serial, int channel) : DeviceWorker(std::move(serial), channel, Limits()) {}
    ~DeviceWorker();
    DeviceWorker(const DeviceWorker &) = delete;
    DeviceWorker &operator=(const DeviceWorker &) = delete;

    const std::string &serial() const { return serial_; }

    // Runs `job` on the device thread and waits up to `timeout` for its reply.
    // `changesBoard`: the job may write to the board, so the live view reads
    // again what it knows of the board (rate, calibration) afterwards.
    Reply run(Job job, bool changesBoard, std::chrono::milliseconds timeout);

    EventHub &events() { return hub_; }
    // A reader subscribed: the stream starts at once.
    void wake();

    int streamChannel() const;

    // Device thread only, inside jobs.
    // Reads the stream when it is due, so that the board's small queue does not
    // overflow during a job of many exchanges.
    void serviceStream();
    // The channel of the job's own calls, with that channel's tare; the
    // stream's channel comes back after the job.
    int selectChannel(qolven_device *device, int channel);
    // From now on the live view follows `channel`.
    void setStreamChannel(int channel);
    // Host-side tare of a channel: loads from then on are relative to the load
    // at `count` (nothing: no tare).
    void setTare(int channel, std::optional<int64_t> count);
    std::optional<int64_t> tare(int channel) const;

private:
    struct Pending;
    // The live view's stream: one or more streams of the acquisition layer
    // (each change of rate, channel or calibration starts a new one) shown as
    // one, with sample numbers and times that go on across them.
    struct Live {
        bool on = false;            // a stream of the acquisition layer runs
        bool begun = false;         // the live view's stream has its time 0
        double startMonotonic = 0;  // its time 0 on the process's monotonic clock
        double startWall = 0;       // and on the wall clock (UTC seconds)
        double timeBase = 0;        // the running stream's time 0 on the live view's time
        int64_t sequenceBase = 0;   // the running stream's first number on the live view's numbers
        int64_t delivered = 0;      // samples handed to the readers so far
        // Figures of the streams that ended, and of the running one.
        qolven_stream_info done{}, now{};
        uint64_t receivedAtStatus = 0;
        std::string error;          // why the stream does not run
        std::string errorCode;
        bool waitForBoardChange = false;  // starting again cannot help until the board changes
        std::chrono::steady_clock::time_point nextStart, nextStatus, lastStatus, lastPublish;
        // Samples read and not yet published.
        std::vector<int64_t> sequence;
        std::vector<int32_t> channel, count;
        std::vector<double> time, load;
    };

    void loop();
    bool ensureOpen();
    void runJob(Pending &pending);
    void startStream(int rateCode);
    void stopStream(bool keepFigures);
    void restartStream();
    void readStream(int timeoutMs);
    void publishEvents();
    void publishSamples();
    void publishStatus();
    void streamFailed(int status, const std::string &what);

    const std::string serial_;
    const Limits limits_;
    EventHub hub_;
    qolven_device *device_ = nullptr;  // created first, destroyed last: qolven_interrupt() may reach it any time

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Pending>> jobs_;
    bool stop_ = false;
    int streamChannel_;                              // guarded by m_
    std::array<std::optional<int64_t>, 4> tares_;    // guarded by m_

    // Device thread only.
    std::string openError_;
    int openStatus_ = QOLVEN_OK;
    int channel_ = 0;  // the channel the device object is set to
    Live live_;
    std::chrono::steady_clock::time_point lastService_;

    std::thread thread_;
};

} // namespace qolven_server

#endif
