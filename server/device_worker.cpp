#include "device_worker.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>

namespace qolven_server {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Samples taken from the acquisition layer in one read; far more than a
// publish interval gathers at the fastest rate.
constexpr size_t kReadCapacity = 4096;
// A read for the live view waits this long at most, so that jobs are not kept waiting.
constexpr int kReadWaitMs = 20;
// Inside a job, the stream is looked at no more often than this.
constexpr milliseconds kServiceInterval{4};

double wallMilliseconds() {
    return std::floor(std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// Times to a tenth of a millisecond: enough for 1000 samples/s, and short in JSON.
double rounded(double seconds) { return std::round(seconds * 1e4) / 1e4; }

const char *stateName(int state) {
    switch (state) {
    case QOLVEN_STREAM_RUNNING: return "running";
    case QOLVEN_STREAM_RECONNECTING: return "reconnecting";
    case QOLVEN_STREAM_FAILED: return "failed";
    default: return "stopped";
    }
}

void add(qolven_stream_info &total, const qolven_stream_info &part) {
    total.received += part.received;
    total.lost += part.lost;
    total.requests += part.requests;
    total.timeouts += part.timeouts;
    total.failed_requests += part.failed_requests;
    total.reconnects += part.reconnects;
}

} // namespace

Reply failure(int status, const std::string &message) { return {status, Json{{"error", message}}}; }

int httpStatus(int qolvenStatus) {
    switch (qolvenStatus) {
    case QOLVEN_OK: return 200;
    case QOLVEN_INVALID_ARGUMENT: return 400;
    case QOLVEN_UNKNOWN_NAME: return 404;
    case QOLVEN_NOT_SUPPORTED: return 405;
    case QOLVEN_BOARD_TYPE:
    case QOLVEN_BOARD_REFUSED:
    case QOLVEN_NO_VALUE: return 422;
    case QOLVEN_ERROR:
    case QOLVEN_TRANSPORT: return 502;
    case QOLVEN_TIMEOUT: return 504;
    case QOLVEN_NOT_OPEN:
    case QOLVEN_DISCONNECTED:
    case QOLVEN_NO_DEVICE:
    case QOLVEN_DEVICE_BUSY:
    case QOLVEN_INTERRUPTED: return 503;
    default: return 500;
    }
}

Reply libraryFailure(const qolven_device *device, int qolvenStatus, const std::string &what) {
    std::string text = qolven_error_text(device);
    if (text.empty()) text = qolven_error_name(qolvenStatus);
    Reply r = failure(httpStatus(qolvenStatus), what.empty() ? text : what + ": " + text);
    r.body["code"] = qolven_error_name(qolvenStatus);
    return r;
}

struct DeviceWorker::Pending {
    Job job;
    bool changesBoard = false;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Reply reply;
};

DeviceWorker::DeviceWorker(std::string serial, int channel, Limits limits)
    : serial_(std::move(serial)), limits_(limits), streamChannel_(channel) {
    device_ = qolven_create();
    if (!device_) throw std::bad_alloc();
    if (qolven_set_channel(device_, channel) != QOLVEN_OK) {
        std::string why = qolven_error_text(device_);
        qolven_destroy(device_);
        throw std::invalid_argument("--channel: " + why);
    }
    channel_ = channel;
    thread_ = std::thread([this] { loop(); });
}

DeviceWorker::~DeviceWorker() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    qolven_interrupt(device_);
    hub_.closeAll(eventFrame("closed", "{\"reason\":\"the server stops\"}"));
    thread_.join();
    qolven_destroy(device_);
}

Reply DeviceWorker::run(Job job, bool changesBoard, std::chrono::milliseconds timeout) {
    auto pending = std::make_shared<Pending>();
    pending->job = std::move(job);
    pending->changesBoard = changesBoard;
    {
        std::lock_guard<std::mutex> lock(m_);
        if (stop_) return failure(503, "the server is stopping");
        if (jobs_.size() >= limits_.queuedJobs)
            return failure(503, "device " + serial_ + " is busy: " + std::to_string(jobs_.size()) +
                                    " requests wait already; try again shortly");
        jobs_.push_back(pending);
    }
    cv_.notify_all();
    // A stream read waiting for samples ends at once; an exchange under way is finished first.
    qolven_interrupt(device_);
    std::unique_lock<std::mutex> lock(pending->m);
    if (!pending->cv.wait_for(lock, timeout, [&] { return pending->done; }))
        return failure(504, "device " + serial_ + " did not finish the request within " +
                                std::to_string(timeout.count() / 1000) + " s");
    return pending->reply;
}

void DeviceWorker::wake() {
    // Under the lock: the device thread either has not looked at the readers yet or already waits.
    { std::lock_guard<std::mutex> lock(m_); }
    cv_.notify_all();
}

int DeviceWorker::streamChannel() const {
    std::lock_guard<std::mutex> lock(m_);
    return streamChannel_;
}

void DeviceWorker::setStreamChannel(int channel) {
    std::lock_guard<std::mutex> lock(m_);
    streamChannel_ = channel;
}

void DeviceWorker::setTare(int channel, std::optional<int64_t> count) {
    std::lock_guard<std::mutex> lock(m_);
    tares_.at(static_cast<size_t>(channel)) = count;
}

std::optional<int64_t> DeviceWorker::tare(int channel) const {
    std::lock_guard<std::mutex> lock(m_);
    return tares_.at(static_cast<size_t>(channel));
}

int DeviceWorker::selectChannel(qolven_device *device, int channel) {
    int status = qolven_set_channel(device, channel);
    if (status != QOLVEN_OK) return status;
    channel_ = channel;
    std::optional<int64_t> count = tare(channel);
    return count ? qolven_set_tare(device, *count) : qolven_clear_tare(device);
}

bool DeviceWorker::ensureOpen() {
    if (qolven_is_open(device_)) return true;
    int status = qolven_open(device_, serial_.c_str());
    if (status == QOLVEN_OK) {
        openError_.clear();
        return true;
    }
    openError_ = "device " + serial_ + " cannot be opened: " + qolven_error_text(device_);
    openStatus_ = status;
    return false;
}

void DeviceWorker::loop() {
    std::unique_lock<std::mutex> lock(m_);
    while (!stop_) {
        if (!jobs_.empty()) {
            auto pending = jobs_.front();
            jobs_.pop_front();
            lock.unlock();
            runJob(*pending);
            lock.lock();
            continue;
        }
        const bool listened = hub_.size() > 0;
        lock.unlock();
        auto now = Clock::now();
        if (!listened) {
            if (live_.begun || live_.on) stopStream(false);
        } else if (!live_.on && !live_.waitForBoardChange && now >= live_.nextStart) {
            startStream(-1);
        }
        if (live_.on) {
            readStream(kReadWaitMs);
            lock.lock();
            continue;
        }
        if (listened && now >= live_.nextStatus) publishStatus();
        lock.lock();
        if (!listened) {
            cv_.wait(lock, [&] { return stop_ || !jobs_.empty() || hub_.size() > 0; });
        } else {
            auto until = live_.nextStatus;
            if (!live_.waitForBoardChange) until = std::min(until, live_.nextStart);
            cv_.wait_until(lock, until, [&] { return stop_ || !jobs_.empty(); });
        }
    }
    lock.unlock();
    stopStream(false);
    qolven_close(device_);
}

void DeviceWorker::runJob(Pending &pending) {
    Reply reply;
    if (live_.on && live_.now.state == QOLVEN_STREAM_RECONNECTING) {
        reply = failure(503, "device " + serial_ + " is disconnected; the live view waits for it to come back");
        reply.body["code"] = qolven_error_name(QOLVEN_DISCONNECTED);
    } else if (!ensureOpen()) {
        reply = failure(503, openError_);
        reply.body["code"] = qolven_error_name(openStatus_);
    } else {
        try {
            reply = pending.job(device_);
        } catch (const std::exception &e) {
            reply = failure(500, std::string("internal error: ") + e.what());
        }
        selectChannel(device_, streamChannel());
        // The next job opens the device again, once it is back.
        if (!live_.on && reply.body.value("code", "") == qolven_error_name(QOLVEN_DISCONNECTED)) qolven_close(device_);
    }
    {
        std::lock_guard<std::mutex> done(pending.m);
        pending.reply = std::move(reply);
        pending.done = true;
    }
    pending.cv.notify_all();
    if (pending.changesBoard) {
        live_.waitForBoardChange = false;
        live_.nextStart = Clock::now();
        if (live_.on) restartStream();
    }
}

void DeviceWorker::streamFailed(int status, const std::string &what) {
    live_.error = what + ": " + qolven_error_text(device_);
    live_.errorCode = qolven_error_name(status);
    // A board type without fast data stays one until the board changes.
    live_.waitForBoardChange = status == QOLVEN_BOARD_TYPE;
    live_.nextStart = Clock::now() + limits_.retryPause;
    if (status == QOLVEN_DISCONNECTED) qolven_close(device_);
    publishStatus();
}

void DeviceWorker::startStream(int rateCode) {
    if (!ensureOpen()) {
        live_.error = openError_;
        live_.errorCode = qolven_error_name(openStatus_);
        live_.waitForBoardChange = false;
        live_.nextStart = Clock::now() + limits_.retryPause;
        publishStatus();
        return;
    }
    selectChannel(device_, streamChannel());
    int status = qolven_stream_start(device_, rateCode);
    if (status != QOLVEN_OK) return streamFailed(status, "live view");
    qolven_stream_info info{};
    qolven_stream_status(device_, &info);
    if (!live_.begun) {
        live_.begun = true;
        live_.startMonotonic = info.start_monotonic;
        live_.startWall = info.start_wall;
        live_.timeBase = 0;
        live_.sequenceBase = 0;
    } else {
        live_.timeBase = info.start_monotonic - live_.startMonotonic;
    }
    live_.now = info;
    live_.on = true;
    live_.error.clear();
    live_.errorCode.clear();
    live_.waitForBoardChange = false;
    live_.lastPublish = Clock::now();
    publishStatus();
}

void DeviceWorker::stopStream(bool keepFigures) {
    if (live_.on) {
        // Off first: a last read that fails (the stream was ended under it, as
        // by a recording the device was lent to) must not stop it again.
        live_.on = false;
        // What the board sent before the stop goes out first.
        readStream(0);
        qolven_stream_info info{};
        qolven_stream_status(device_, &info);
        add(live_.done, info);
        // The acquisition layer numbers what arrived and what was lost alike.
        live_.sequenceBase += static_cast<int64_t>(info.received + info.lost);
        live_.now = qolven_stream_info{};
        qolven_stream_stop(device_);
    }
    publishSamples();
    if (!keepFigures) {
        Live fresh;
        fresh.nextStart = live_.nextStart;
        live_ = std::move(fresh);
    }
}

void DeviceWorker::restartStream() {
    stopStream(true);
    startStream(-1);
}

void DeviceWorker::readStream(int timeoutMs) {
    int64_t sequence[kReadCapacity];
    int32_t channel[kReadCapacity], count[kReadCapacity];
    double time[kReadCapacity], load[kReadCapacity];
    size_t n = 0;
    int status = qolven_stream_read_samples(device_, sequence, channel, count, time, load, kReadCapacity, &n, timeoutMs);
    if (status == QOLVEN_INTERRUPTED) status = QOLVEN_OK;
    for (size_t i = 0; i < n; ++i) {
        live_.sequence.push_back(sequence[i] + live_.sequenceBase);
        live_.channel.push_back(channel[i]);
        live_.count.push_back(count[i]);
        live_.time.push_back(time[i] + live_.timeBase);
        live_.load.push_back(load[i]);
    }
    qolven_stream_status(device_, &live_.now);
    publishEvents();
    auto now = Clock::now();
    if (now - live_.lastPublish >= limits_.publishInterval) publishSamples();
    if (status != QOLVEN_OK) {
        // The stream of the acquisition layer ended: keep its figures, start a new one later.
        std::string why = qolven_error_text(device_);
        stopStream(true);
        live_.error = "live view: " + why;
        live_.errorCode = qolven_error_name(status);
        live_.waitForBoardChange = false;
        live_.nextStart = now + limits_.retryPause;
        publishStatus();
        return;
    }
    if (now >= live_.nextStatus) publishStatus();
}

void DeviceWorker::serviceStream() {
    if (!live_.on || Clock::now() - lastService_ < kServiceInterval) return;
    lastService_ = Clock::now();
    // The stream reads the channel the object is set to: the live view's, for this read.
    const int jobChannel = channel_, ch = streamChannel();
    if (jobChannel != ch) selectChannel(device_, ch);
    readStream(1);
    if (jobChannel != ch) selectChannel(device_, jobChannel);
}

void DeviceWorker::publishEvents() {
    qolven_event e{};
    int got = 0;
    while (qolven_stream_next_event(device_, &e, &got) == QOLVEN_OK && got) {
        publishSamples();  // the samples before it go first
        Json event = {{"time", rounded(e.time + live_.timeBase)},
                      {"sequence", e.sequence + live_.sequenceBase},
                      {"samples", e.samples},
                      {"text", e.text}};
        hub_.publish(eventFrame(qolven_event_name(e.kind), event.dump(-1, ' ', false, Json::error_handler_t::replace)));
    }
}

void DeviceWorker::publishSamples() {
    live_.lastPublish = Clock::now();
    if (live_.sequence.empty()) return;
    Json sequence = Json::array(), time = Json::array(), counts = Json::array(), loads = Json::array(),
         channels = Json::array();
    bool anyLoad = false;
    for (size_t i = 0; i < live_.sequence.size(); ++i) {
        sequence.push_back(live_.sequence[i]);
        time.push_back(rounded(live_.time[i]));
        counts.push_back(live_.count[i]);
        channels.push_back(live_.channel[i]);
        if (std::isfinite(live_.load[i])) {
            anyLoad = true;
            loads.push_back(live_.load[i]);
        } else {
            loads.push_back(nullptr);
        }
    }
    // "wall": when the samples left the server, for the page to measure its lag.
    Json event = {{"first", live_.delivered}, {"start", live_.startWall}, {"wall", wallMilliseconds()},
                  {"sequence", std::move(sequence)}, {"time", std::move(time)}, {"counts", std::move(counts)}};
    if (anyLoad) event["loads"] = std::move(loads);
    if (live_.now.multi_channel) event["channels"] = std::move(channels);
    live_.delivered += static_cast<int64_t>(live_.sequence.size());
    live_.sequence.clear();
    live_.channel.clear();
    live_.count.clear();
    live_.time.clear();
    live_.load.clear();
    hub_.publish(eventFrame("samples", event.dump()));
}

void DeviceWorker::publishStatus() {
    // The samples the figures count go out before them.
    publishSamples();
    auto now = Clock::now();
    qolven_stream_info total = live_.done;
    add(total, live_.now);
    const double elapsed = live_.begun ? std::chrono::duration<double>(now.time_since_epoch()).count() - live_.startMonotonic : 0;
    const double sinceLast = std::chrono::duration<double>(now - live_.lastStatus).count();
    uint64_t fresh = total.received >= live_.receivedAtStatus ? total.received - live_.receivedAtStatus : 0;
    std::string state = live_.on ? stateName(live_.now.state) : (live_.error.empty() ? "stopped" : "failed");
    Json status = {{"state", state},
                   {"rate", live_.on ? Json(live_.now.rate_code) : Json()},
                   {"nominal", live_.on ? live_.now.nominal_rate : 0.0},
                   {"channel", streamChannel()},
                   {"multiChannel", live_.now.multi_channel != 0},
                   {"start", live_.begun ? Json(live_.startWall) : Json()},
                   {"elapsed", rounded(elapsed)},
                   {"received", total.received},
                   {"perSecond", sinceLast > 0.5 && sinceLast < 5 ? std::llround(double(fresh) / sinceLast) : 0},
                   {"lost", total.lost},
                   {"lossBasis", qolven_loss_basis_name(live_.now.loss_basis ? live_.now.loss_basis
                                                                              : QOLVEN_LOSS_NOMINAL_RATE)},
                   {"requests", total.requests},
                   {"timeouts", total.timeouts},
                   {"failedRequests", total.failed_requests},
                   {"reconnects", total.reconnects},
                   {"readers", hub_.size()},
                   {"error", live_.error},
                   {"code", live_.errorCode}};
    live_.receivedAtStatus = total.received;
    live_.lastStatus = now;
    live_.nextStatus = now + std::chrono::seconds(1);
    hub_.publish(eventFrame("status", status.dump(-1, ' ', false, Json::error_handler_t::replace)));
}

} // namespace qolven_server
