// One thread per device: it owns the device object, runs the work that HTTP
// handlers hand it one job at a time, and between jobs reads the fast-data
// stream for the live view while anyone listens.
#ifndef QOLVEN_SERVER_DEVICE_WORKER_H
#define QOLVEN_SERVER_DEVICE_WORKER_H

#include "events.h"

#include <QOLVEN_USB_DLL.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace qolven_server {

using Device = _QOLVEN_USB_DLL::QOLVEN_USB_DLL;
using Json = nlohmann::json;

// An HTTP status and the JSON body to send.
struct Reply {
    int status = 200;
    Json body = Json::object();
};
Reply failure(int status, const std::string &message);

// Nominal samples per second of the sampling-rate codes 0..15.
double nominalRate(int code);

class DeviceWorker {
public:
    using Job = std::function<Reply(Device &, void *handle)>;

    struct Limits {
        size_t queuedJobs = 32;
        std::chrono::milliseconds pollInterval{20};  // fast-data request while streaming
    };

    DeviceWorker(std::string serial, unsigned char channel, Limits limits);
    DeviceWorker(std::string serial, unsigned char channel) : DeviceWorker(std::move(serial), channel, Limits()) {}
    ~DeviceWorker();
    DeviceWorker(const DeviceWorker &) = delete;
    DeviceWorker &operator=(const DeviceWorker &) = delete;

    const std::string &serial() const { return serial_; }

    // Runs `job` on the device thread and waits up to `timeout` for its reply.
    // `changesBoard`: the job may write to the board, so the stream's and the
    // reading's view of the board is read again afterwards.
    Reply run(Job job, bool changesBoard, std::chrono::milliseconds timeout);

    EventHub &events() { return hub_; }
    // A reader subscribed: the stream starts at once.
    void wake();

    unsigned char streamChannel() const { return streamChannel_; }

    // For long jobs, between their exchanges (device thread only): reads the
    // stream when a poll is due, so that the board's small buffer does not overflow.
    void serviceStream();
    void setStreamChannel(unsigned char channel);

private:
    struct Pending;
    void loop();
    void open();
    void refreshStream();
    void pollStream();
    void publishStatus(std::chrono::steady_clock::time_point now);
    void resetStream();

    const std::string serial_;
    const Limits limits_;
    EventHub hub_;

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Pending>> jobs_;
    bool stop_ = false;
    std::atomic<unsigned char> streamChannel_;
    bool streamStale_ = true;           // guarded by m_: board identity and rate to be read again

    // Device thread only.
    std::unique_ptr<Device> dev_;
    void *handle_ = nullptr;
    std::string openError_;
    struct Stream {
        bool active = false;
        bool failed = false; // the board refused fast data: ask again only after a pause
        std::string typeText, rateText, versionText, error;
        int rateCode = 0;
        int boardType = 0;
        bool channelField = false;  // the records carry the channel (a multi-channel board)
        std::chrono::steady_clock::time_point start, nextPoll, nextStatus;
        long long received = 0, receivedThisSecond = 0, timeoutsInARow = 0;
    } stream_;
    long long nextIndex_ = 0;

    std::thread thread_;
};

} // namespace qolven_server

#endif
