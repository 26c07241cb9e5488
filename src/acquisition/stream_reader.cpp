// The one fast-data loop: requests paced by the rate, samples numbered with
// the gaps left visible, time stamps, loads, the retry policy, and
// reconnecting to a bridge that was unplugged or a board that went silent.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "acquisition/device.h"
#include "acquisition/fast_records.h"
#include "acquisition/load.h"
#include "board/board_types.h"
#include "core/error_texts.h"

namespace qolven_acquisition {

namespace {

using std::chrono::duration;
using std::chrono::milliseconds;

// Nominal samples per second of the sampling-rate codes.
const double kRates[16] = {2.5, 10, 20, 25, 30, 50, 60, 80, 100, 150, 200, 250, 300, 500, 750, 1000};

// Requests that fail one after another before the stream gives up (or, when
// reconnecting, takes the board for gone).
constexpr int kFailuresInARow = 50;
// A pause in which the board may have gathered more than its queue holds:
// the shortfall after it is taken as lost even without a failed request.
constexpr double kQueueEvidence = 48;
// How fast the usual backlog of the board follows a drifting clock.
constexpr double kBacklogFollow = 0.05;
constexpr milliseconds kReconnectLook{250};
constexpr size_t kMostEvents = 1024;
// Longest single sleep, so that qolven_interrupt() ends a wait soon.
constexpr milliseconds kLongestSleep{5};

int code(const std::string &text) { return text.empty() ? 0 : static_cast<unsigned char>(text[0]); }

double seconds(Clock::time_point from, Clock::time_point to) { return duration<double>(to - from).count(); }

// Requests come as often as about eight samples gather, within 4..20 ms: the
// board keeps some 64 samples, and a slow rate needs no faster polling.
Clock::duration pollInterval(double rate) {
    double ms = rate > 0 ? 8000.0 / rate : 20.0;
    return std::chrono::duration_cast<Clock::duration>(duration<double, std::milli>(std::clamp(ms, 4.0, 20.0)));
}

void addEvent(qolven_device *d, int kind, double time, int64_t sequence, int64_t samples, const std::string &text) {
    qolven_event e{};
    e.kind = kind;
    e.time = time;
    e.sequence = sequence;
    e.samples = samples;
    copyText(e.text, text);
    d->events.push_back(e);
    if (d->events.size() > kMostEvents) d->events.pop_front();
}

// What the fast-data request needs to know of the board, and the rate.
int identifyForStream(qolven_device *d) {
    Device &o = *d->object;
    Stream &s = d->stream;
    o.Get_Version_of_Board(d->handle());
    if (o.boardTypeText == "Error") return libraryFailure(d);
    s.boardType = o.boardType;
    s.multiChannel = _QOLVEN_USB_DLL::detail::multiChannel(s.boardType);
    const int lastRate = qolven_board_type_last_rate_code(s.boardType);
    if (s.requestedRate > lastRate && lastRate >= 0)
        return refuse(d, QOLVEN_INVALID_ARGUMENT, "sampling-rate code " + std::to_string(s.requestedRate) +
                                                      " is outside 0.." + std::to_string(lastRate) + " of board type " +
                                                      std::to_string(s.boardType));
    if (s.requestedRate >= 0 &&
        o.Set_ADC_Configuration(d->handle(), static_cast<unsigned char>(s.requestedRate), d->channel) == "Error")
        return libraryFailure(d);
    // Read back: the board decides the rate it runs at.
    std::string rate = o.Get_ADC_Sampling_Rate(d->handle(), d->channel);
    if (rate == "Error") return libraryFailure(d);
    if (s.requestedRate >= 0 && rate != std::to_string(s.requestedRate))
        return refuse(d, QOLVEN_ERROR, "the board runs at sampling-rate code " + rate + ", not " +
                                           std::to_string(s.requestedRate));
    s.rateCode = std::atoi(rate.c_str()) & 15;
    s.rate = kRates[s.rateCode];
    s.typeText = std::to_string(s.boardType);
    s.rateText = std::to_string(s.rateCode);
    s.versionText = std::to_string(code(o.firmwareVersionText));
    return QOLVEN_OK;
}

// The bridge library keeps the handle of a device that left until it is closed.
void dropHandle(qolven_device *d) {
    d->object->Close_Device_Connection(d->handle());
    d->object->DeviceHandle = nullptr;
}

void enterReconnect(qolven_device *d, bool bridgeGone, Clock::time_point now, const std::string &why) {
    Stream &s = d->stream;
    s.state = QOLVEN_STREAM_RECONNECTING;
    s.bridgeGone = bridgeGone;
    s.nextLook = now;
    s.failuresInARow = 0;
    if (bridgeGone && d->open()) dropHandle(d);
    addEvent(d, QOLVEN_EVENT_DISCONNECTED, seconds(s.start, now), s.nextSequence, 0, why);
}

// One look for the lost board: back on the list, open, answering, rate restored.
void reconnectStep(qolven_device *d, Clock::time_point now) {
    Stream &s = d->stream;
    s.nextLook = now + kReconnectLook;
    Device &o = *d->object;
    if (s.bridgeGone) {
        std::vector<std::string> serials;
        if (!attachedSerials(d, serials) || std::find(serials.begin(), serials.end(), d->serial) == serials.end())
            return;
        std::vector<char> text(d->serial.begin(), d->serial.end());
        text.push_back(0);
        o.Open_Device_Connection(text.data());
        if (!o.DeviceHandle) return;
        s.bridgeGone = false;
    }
    // A board that comes back may have lost the rate the stream ran at: write it again.
    if (s.requestedRate < 0) s.requestedRate = s.rateCode;
    begin(d);
    if (identifyForStream(d) != QOLVEN_OK) {
        // The handle's device left, though a bridge of its serial number may be
        // on the list again (unplugged and back between two requests, or right
        // after this look opened it): the handle never works again, so open anew.
        if (d->status == kIoError && d->open()) {
            dropHandle(d);
            s.bridgeGone = true;
        }
        return;
    }
    s.state = QOLVEN_STREAM_RUNNING;
    ++s.reconnects;
    s.reconnected = true;
    s.failedSinceGood = true;
    s.failuresInARow = 0;
    s.nextRequest = Clock::now();
}

// After a good answer of `n` samples to the request sent at `sent`: how many
// went missing since the last one.
int64_t missingBefore(Stream &s, size_t n, Clock::time_point sent) {
    if (!s.answered) {
        s.answered = true;
        s.firstAnswer = s.lastGood = sent;
        s.firstSamples = double(n);
        s.backlog = s.usualBacklog = 0;
        s.goodAnswers = 0;
        return 0;
    }
    const double expected = s.rate * seconds(s.lastGood, sent);
    s.backlog += expected - double(n);
    s.lastGood = sent;
    if (n == 0 && !s.reconnected) {
        // An empty answer tells nothing of what the board still holds: the
        // next answer that brings samples decides, a long pause kept in mind.
        if (expected >= kQueueEvidence) s.failedSinceGood = true;
        return 0;
    }
    const bool evidence = s.failedSinceGood || s.reconnected || expected >= kQueueEvidence;
    s.failedSinceGood = false;
    int64_t lost = 0;
    if (evidence) {
        lost = std::max<int64_t>(0, std::llround(s.backlog - s.usualBacklog));
        s.backlog -= double(lost);
    } else {
        // The usual backlog (what the board still holds when it answers) is
        // learned quickly at first, then follows a board clock off the nominal rate.
        ++s.goodAnswers;
        s.usualBacklog += (s.backlog - s.usualBacklog) * std::max(kBacklogFollow, 1.0 / double(s.goodAnswers));
    }
    return lost;
}

// One fast-data request; its samples join the pending ones.  QOLVEN_OK also
// after a failure that the retry policy absorbs.
int request(qolven_device *d) {
    Stream &s = d->stream;
    Device &o = *d->object;
    ++s.requests;
    begin(d);
    // The board answers with what it gathered until the request reached it.
    // Samples are counted and stamped from the sending, not from the
    // answer's arrival: a thread held up after sending would otherwise make
    // the samples still in the board look lost.
    const Clock::time_point sent = Clock::now();
    std::string text;
    try {
        text = o.Fast_Data_Request(d->handle(), 1, 0, s.typeText, s.rateText, s.versionText, d->channel);
    } catch (const std::exception &e) {
        return internalFailure(d, e.what());
    }
    const Clock::time_point arrival = Clock::now();
    s.nextRequest = arrival + pollInterval(s.rate);
    if (text == "Error") {
        using _QOLVEN_USB_DLL::detail::ErrorText;
        if (std::string(o.lastErrorText) == _QOLVEN_USB_DLL::detail::errorText(ErrorText::EmptyBuffer)) {
            text.clear();  // the board had nothing to send
        } else {
            int failure = libraryFailure(d);
            if (failure == QOLVEN_DISCONNECTED) {
                if (!d->reconnect) return failure;
                enterReconnect(d, true, arrival, "the bridge is gone: " + d->error);
                return QOLVEN_OK;
            }
            failure == QOLVEN_TIMEOUT ? ++s.timeouts : ++s.failed;
            s.failedSinceGood = true;
            s.nextRequest = arrival;
            if (++s.failuresInARow < kFailuresInARow) return QOLVEN_OK;
            if (!d->reconnect) return failure;
            enterReconnect(d, false, arrival,
                           "the board stopped answering (" + std::to_string(kFailuresInARow) +
                               " requests in a row failed, the last with \"" + d->error + "\")");
            return QOLVEN_OK;
        }
    }
    s.failuresInARow = 0;
    std::vector<FastRecord> records;
    std::string why;
    if (!parseFastRecords(text.c_str(), s.multiChannel, [&](const FastRecord &r) { records.push_back(r); }, why))
        return refuse(d, QOLVEN_INTERNAL, "internal error: fast-data records out of shape: " + why);
    const size_t n = records.size();
    const int64_t lost = missingBefore(s, n, sent);
    const double at = seconds(s.start, sent);
    if (s.reconnected) {
        addEvent(d, QOLVEN_EVENT_RECONNECTED, at, s.nextSequence + lost, lost,
                 "the board answers again; " + std::to_string(lost) + " samples lost in the gap");
        s.reconnected = false;
    } else if (lost > 0) {
        addEvent(d, QOLVEN_EVENT_LOST, at, s.nextSequence + lost, lost,
                 std::to_string(lost) + " samples lost (shortfall against the nominal rate after a failed request "
                                        "or a long pause)");
    }
    s.lost += uint64_t(lost);
    s.nextSequence += lost;
    for (size_t i = 0; i < n; ++i) {
        double t = std::max(s.lastTime, at - double(n - 1 - i) / s.rate);
        s.lastTime = t;
        // The calibration read at the start is the object's channel's; other channels have none here.
        const bool ownChannel = !s.multiChannel || records[i].channel == d->channel;
        s.pending.push_back(Sample{s.nextSequence++, records[i].channel, records[i].count, t,
                                   ownChannel ? sampleLoad(d, s.calibration, records[i].count) : NAN});
    }
    s.received += n;
    return QOLVEN_OK;
}

bool takeInterrupt(qolven_device *d) { return d->interrupted.exchange(false); }

} // namespace

} // namespace qolven_acquisition

using namespace qolven_acquisition;

extern "C" {

double qolven_rate_samples_per_second(int rateCode) { return rateCode >= 0 && rateCode < 16 ? kRates[rateCode] : 0; }

const char *qolven_loss_basis_name(int basis) {
    switch (basis) {
    case QOLVEN_LOSS_NOMINAL_RATE: return "nominal-rate";
    case QOLVEN_LOSS_BOARD: return "board";
    default: return "";
    }
}

const char *qolven_event_name(int kind) {
    switch (kind) {
    case QOLVEN_EVENT_LOST: return "lost";
    case QOLVEN_EVENT_DISCONNECTED: return "disconnected";
    case QOLVEN_EVENT_RECONNECTED: return "reconnected";
    default: return "";
    }
}

int qolven_stream_start(qolven_device *d, int rateCode) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (rateCode < -1 || rateCode > 15)
            return refuse(d, QOLVEN_INVALID_ARGUMENT,
                          "sampling-rate code " + std::to_string(rateCode) + " is outside 0..15 (-1 keeps the board's)");
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        d->stream = Stream();
        d->events.clear();
        Stream &s = d->stream;
        s.requestedRate = rateCode;
        int status = identifyForStream(d);
        if (status != QOLVEN_OK) return status;
        if (rateCode >= 0) boardChanged(d);
        qolven_calibration *c = nullptr;
        status = knownCalibration(d, c);
        if (status != QOLVEN_OK) return status;
        s.calibration = *c;
        s.start = s.nextRequest = Clock::now();
        s.startWall = duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        s.state = QOLVEN_STREAM_RUNNING;
        return QOLVEN_OK;
    });
}

int qolven_stream_read_samples(qolven_device *d, int64_t *sequence, int32_t *channel, int32_t *count, double *time,
                               double *load, size_t capacity, size_t *received, int timeoutMs) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (received) *received = 0;
        if (!received || (capacity > 0 && !count))
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "the count array and the received count must be given");
        if (timeoutMs < -1)
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "time-out " + std::to_string(timeoutMs) + " ms is below -1");
        Stream &s = d->stream;
        if (s.state == QOLVEN_STREAM_STOPPED || s.state == QOLVEN_STREAM_FAILED)
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "no stream started (qolven_stream_start first)");
        if (s.state == QOLVEN_STREAM_RUNNING && !requireOpen(d)) return QOLVEN_NOT_OPEN;
        const Clock::time_point deadline =
            timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + milliseconds(timeoutMs);
        bool looked = false;
        while (s.pending.empty()) {
            if (takeInterrupt(d)) return refuse(d, QOLVEN_INTERRUPTED, "interrupted");
            Clock::time_point now = Clock::now();
            if (s.state == QOLVEN_STREAM_RECONNECTING) {
                if (now >= s.nextLook) {
                    reconnectStep(d, now);
                    begin(d);
                    continue;
                }
            } else if (timeoutMs == 0 ? !looked : now >= s.nextRequest) {
                looked = true;
                int status = request(d);
                if (status != QOLVEN_OK) {
                    s.state = QOLVEN_STREAM_FAILED;
                    return status;
                }
                continue;
            }
            if (now >= deadline || (timeoutMs == 0 && looked)) {
                begin(d);  // failures the retry policy took in are in the counters, not this result
                return QOLVEN_OK;
            }
            Clock::time_point wake = std::min(deadline, s.state == QOLVEN_STREAM_RECONNECTING ? s.nextLook : s.nextRequest);
            std::this_thread::sleep_for(std::min<Clock::duration>(wake - now, kLongestSleep));
        }
        begin(d);
        size_t n = 0;
        for (; n < capacity && !s.pending.empty(); ++n) {
            const Sample &x = s.pending.front();
            if (sequence) sequence[n] = x.sequence;
            if (channel) channel[n] = x.channel;
            count[n] = x.count;
            if (time) time[n] = x.time;
            if (load) load[n] = x.load;
            s.pending.pop_front();
        }
        *received = n;
        return QOLVEN_OK;
    });
}

int qolven_stream_status(qolven_device *d, struct qolven_stream_info *status) {
    if (!d || !status) return QOLVEN_INVALID_ARGUMENT;
    const Stream &s = d->stream;
    struct qolven_stream_info blank = {};
    *status = blank;
    status->state = s.state;
    status->board_type = s.boardType;
    status->rate_code = s.rateCode;
    status->nominal_rate = s.rate;
    status->multi_channel = s.multiChannel ? 1 : 0;
    status->start_monotonic = duration<double>(s.start.time_since_epoch()).count();
    status->start_wall = s.startWall;
    status->elapsed = s.state == QOLVEN_STREAM_STOPPED ? 0 : seconds(s.start, Clock::now());
    status->loss_basis = QOLVEN_LOSS_NOMINAL_RATE;
    status->received = s.received;
    status->lost = s.lost;
    status->expected = s.answered ? s.firstSamples + s.rate * seconds(s.firstAnswer, Clock::now()) : 0;
    status->requests = s.requests;
    status->timeouts = s.timeouts;
    status->failed_requests = s.failed;
    status->reconnects = s.reconnects;
    return QOLVEN_OK;
}

int qolven_stream_stop(qolven_device *d) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    begin(d);
    d->stream.state = QOLVEN_STREAM_STOPPED;
    d->stream.pending.clear();
    return QOLVEN_OK;
}

int qolven_stream_set_reconnect(qolven_device *d, int reconnect) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    begin(d);
    if (reconnect != 0 && reconnect != 1)
        return refuse(d, QOLVEN_INVALID_ARGUMENT, "reconnect " + std::to_string(reconnect) + " is not 0 or 1");
    d->reconnect = reconnect == 1;
    return QOLVEN_OK;
}

int qolven_stream_next_event(qolven_device *d, struct qolven_event *event, int *got) {
    if (!d || !event || !got) return QOLVEN_INVALID_ARGUMENT;
    *got = 0;
    if (d->events.empty()) return QOLVEN_OK;
    *event = d->events.front();
    d->events.pop_front();
    *got = 1;
    return QOLVEN_OK;
}

int qolven_stream_read(qolven_device *d, int32_t *numbers, int32_t *channels, int32_t *counts, size_t capacity,
                       size_t *received, double *seconds) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    if (!received || (capacity > 0 && (!numbers || !channels || !counts))) {
        if (received) *received = 0;
        return refuse(d, QOLVEN_INVALID_ARGUMENT, "the sample arrays and the received count must be given");
    }
    // One request per call, as this interface always made.
    if (d->stream.pending.empty()) d->stream.nextRequest = Clock::now();
    std::vector<int64_t> sequence(capacity);
    std::vector<double> times(capacity);
    int status = qolven_stream_read_samples(d, sequence.data(), channels, counts, times.data(), nullptr, capacity,
                                            received, 0);
    for (size_t i = 0; status == QOLVEN_OK && i < *received; ++i) numbers[i] = static_cast<int32_t>(sequence[i]);
    if (seconds && status == QOLVEN_OK && *received > 0) *seconds = times[*received - 1];
    return status;
}

} // extern "C"
