#include "device_worker.h"
#include "request.h"

#include <qolven.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace qolven_server {

using Clock = std::chrono::steady_clock;

Reply failure(int status, const std::string &message) { return {status, Json{{"error", message}}}; }

double nominalRate(int code) { return qolven_rate_samples_per_second(code & 15); }

struct DeviceWorker::Pending {
    Job job;
    bool changesBoard = false;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Reply reply;
};

namespace {

// A packet's worth of samples may still wait in the board: only a shortfall beyond
// it counts as lost.
constexpr long long kSlack = 65;
// Reads that time out one after another before the stream reports the device silent.
constexpr long long kTimeoutsInARow = 50;

} // namespace

DeviceWorker::DeviceWorker(std::string serial, unsigned char channel, Limits limits)
    : serial_(std::move(serial)), limits_(limits), streamChannel_(channel) {
    thread_ = std::thread([this] { loop(); });
}

DeviceWorker::~DeviceWorker() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    hub_.closeAll(eventFrame("closed", "{\"reason\":\"the server stops\"}"));
    thread_.join();
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
    std::unique_lock<std::mutex> lock(pending->m);
    if (!pending->cv.wait_for(lock, timeout, [&] { return pending->done; }))
        return failure(504, "device " + serial_ + " did not finish the request within " +
                                std::to_string(timeout.count() / 1000) + " s");
    return pending->reply;
}

void DeviceWorker::wake() { cv_.notify_all(); }

void DeviceWorker::setStreamChannel(unsigned char channel) {
    streamChannel_ = channel;
    std::lock_guard<std::mutex> lock(m_);
    streamStale_ = true;
}

void DeviceWorker::open() {
    std::vector<char> text(serial_.begin(), serial_.end());
    text.push_back(0);
    dev_->Open_Device_Connection(text.data());
    handle_ = dev_->DeviceHandle;
    openError_ = handle_ ? "" : "device " + serial_ + " cannot be opened: " + std::string(dev_->lastErrorText);
}

void DeviceWorker::loop() {
    dev_ = std::make_unique<Device>();  // large: tens of kilobytes of sample tables
    open();
    std::unique_lock<std::mutex> lock(m_);
    while (!stop_) {
        const bool listened = hub_.size() > 0;
        if (!listened && stream_.active) resetStream();
        auto now = Clock::now();
        if (listened && !stream_.active) {
            stream_.active = true;
            stream_.nextPoll = now;
            stream_.nextStatus = now + std::chrono::seconds(1);
        }
        // The board keeps only about 64 samples: a due poll goes before waiting jobs.
        if (stream_.active && now >= stream_.nextPoll) {
            bool stale = streamStale_;
            streamStale_ = false;
            lock.unlock();
            if (stale) refreshStream();
            pollStream();
            lock.lock();
            continue;
        }
        if (!jobs_.empty()) {
            auto pending = jobs_.front();
            jobs_.pop_front();
            lock.unlock();
            Reply reply;
            if (!handle_) open();
            if (!handle_) {
                reply = failure(503, openError_);
            } else {
                try {
                    reply = pending->job(*dev_, handle_);
                } catch (const std::exception &e) {
                    reply = failure(500, std::string("internal error: ") + e.what());
                }
            }
            {
                std::lock_guard<std::mutex> done(pending->m);
                pending->reply = std::move(reply);
                pending->done = true;
            }
            pending->cv.notify_all();
            lock.lock();
            if (pending->changesBoard) streamStale_ = true;
            continue;
        }
        if (!listened)
            cv_.wait(lock, [&] { return stop_ || !jobs_.empty() || hub_.size() > 0; });
        else
            cv_.wait_until(lock, stream_.nextPoll, [&] { return stop_ || !jobs_.empty(); });
    }
    lock.unlock();
    if (handle_) dev_->Close_Device_Connection(handle_);
}

void DeviceWorker::serviceStream() {
    // Inside a job, on this thread: the stream's state is this thread's.
    if (!stream_.active || stream_.failed || Clock::now() < stream_.nextPoll) return;
    {
        std::lock_guard<std::mutex> lock(m_);
        if (streamStale_) return;  // the job may be changing what the stream needs to know
    }
    pollStream();
}

void DeviceWorker::resetStream() {
    stream_ = Stream();
    streamStale_ = true;  // called with m_ held
}

// Reads what the fast-data request needs to know: board type, firmware version, rate.
void DeviceWorker::refreshStream() {
    Stream &s = stream_;
    s.failed = false;
    s.error.clear();
    s.received = s.receivedThisSecond = s.timeoutsInARow = 0;
    s.start = Clock::now();
    if (!handle_) open();
    if (!handle_) {
        s.failed = true;
        s.error = openError_;
        return;
    }
    dev_->Get_Version_of_Board(handle_);
    if (dev_->boardTypeText == "Error") {
        s.failed = true;
        s.error = "identify the board: " + std::string(dev_->lastErrorText);
        return;
    }
    auto code = [](const std::string &t) { return std::to_string(t.empty() ? 0 : static_cast<unsigned char>(t[0])); };
    s.typeText = code(dev_->boardTypeText);
    s.versionText = code(dev_->firmwareVersionText);
    s.boardType = dev_->boardType;
    const char *boardClass = qolven_board_type_class(s.boardType);
    s.channelField = boardClass && std::string(boardClass) == "multi-channel";
    std::string rate = dev_->Get_ADC_Sampling_Rate(handle_, streamChannel_);
    long long value = 0;
    if (rate == "Error" || !wholeNumber(rate, value)) {
        s.failed = true;
        s.error = "sampling rate: " + std::string(dev_->lastErrorText[0] ? dev_->lastErrorText : rate.c_str());
        return;
    }
    s.rateCode = static_cast<int>(value & 15);
    s.rateText = std::to_string(s.rateCode);
    publishStatus(Clock::now());
}

void DeviceWorker::pollStream() {
    Stream &s = stream_;
    auto now = Clock::now();
    if (now >= s.nextStatus) publishStatus(now);
    if (s.failed) {
        // Nothing to read until the board changes; ask again now and then.
        s.nextPoll = now + std::chrono::seconds(2);
        std::lock_guard<std::mutex> lock(m_);
        streamStale_ = true;
        return;
    }
    s.nextPoll = std::max(s.nextPoll + limits_.pollInterval, now);
    std::string result;
    try {
        result = dev_->Fast_Data_Request(handle_, 1, 0, s.typeText, s.rateText, s.versionText, streamChannel_);
    } catch (const std::exception &e) {
        result = "Error";
        std::snprintf(dev_->lastErrorText, sizeof dev_->lastErrorText, "%s", e.what());
    }
    auto arrival = Clock::now();
    if (result == "Error") {
        std::string reason = dev_->lastErrorText;
        if (reason == "Empty Buffer Error") {
            result.clear();
        } else if (reason == "Timeout Error" && ++s.timeoutsInARow < kTimeoutsInARow) {
            return;
        } else {
            s.failed = true;
            s.error = "fast data: " + (reason.empty() ? std::string("the board returned no valid data") : reason);
            publishStatus(arrival);
            return;
        }
    }
    s.timeoutsInARow = 0;
    size_t most = static_cast<size_t>(std::count(result.begin(), result.end(), '\t')) / 8 + 1, n = 0;
    std::vector<int32_t> numbers(most), channel(most), count(most);
    char why[160] = "";
    if (qolven_fast_records(result.c_str(), s.boardType, numbers.data(), channel.data(), count.data(), most, &n,
                            why, sizeof why) != QOLVEN_OK) {
        s.failed = true;
        s.error = std::string("fast data: ") + why;
        publishStatus(arrival);
        return;
    }
    if (n == 0) return;
    Json counts = Json::array(), channels = Json::array();
    for (size_t i = 0; i < n; ++i) {
        counts.push_back(count[i]);
        if (s.channelField) channels.push_back(channel[i]);
    }
    // "wall": when the samples reached the server, for the page to measure its lag.
    auto wall = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch());
    Json event = {{"first", nextIndex_},
                  {"t", std::chrono::duration<double, std::milli>(arrival - s.start).count()},
                  {"wall", std::floor(wall.count())},
                  {"counts", std::move(counts)}};
    if (s.channelField) event["channels"] = std::move(channels);
    nextIndex_ += static_cast<long long>(n);
    s.received += static_cast<long long>(n);
    s.receivedThisSecond += static_cast<long long>(n);
    hub_.publish(eventFrame("samples", event.dump()));
}

void DeviceWorker::publishStatus(Clock::time_point now) {
    Stream &s = stream_;
    double elapsed = std::chrono::duration<double>(now - s.start).count();
    double nominal = s.rateText.empty() ? 0 : nominalRate(s.rateCode);
    long long expected = static_cast<long long>(elapsed * nominal);
    Json status = {{"rate", s.rateText.empty() ? Json() : Json(s.rateCode)},
                   {"nominal", nominal},
                   {"channel", static_cast<int>(streamChannel_)},
                   {"received", s.received},
                   {"perSecond", s.receivedThisSecond},
                   {"lost", std::max(0LL, expected - s.received - kSlack)},
                   {"readers", hub_.size()},
                   {"error", s.error}};
    s.receivedThisSecond = 0;
    s.nextStatus = now + std::chrono::seconds(1);
    hub_.publish(eventFrame("status", status.dump(-1, ' ', false, Json::error_handler_t::replace)));
}

} // namespace qolven_server
