// The writer thread: puts every device's samples on the recording's clock,
// waits for the start trigger with the pre-trigger samples at hand, marks
// limit crossings, finds the stop, writes and flushes the file, rotates it,
// and ends the readers when the recording is over.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <pthread.h>

#include "recording/engine.h"

namespace qolven_recording {

namespace {

const double kNever = std::numeric_limits<double>::infinity();
// The writer looks at the stop request at least this often (a signal
// handler cannot wake it).
constexpr auto kTick = std::chrono::milliseconds(50);
// How long after the stop time a device that delivers nothing is waited for.
constexpr double kGrace = 3.0;
// Samples the readers may have handed over and the writer not yet taken.
constexpr size_t kMostQueued = size_t(8) << 20;
constexpr size_t kMostApiEvents = 4096;
// Pre-trigger samples are dropped in bulk once this many are out of reach.
constexpr size_t kDropInBulk = 4096;
constexpr int kUnknown = 2;

struct DeviceState {
    DeviceInfo info;
    Columns ring;     // waiting for the start trigger
    Columns pending;  // for the next flush
    bool any = false;
    double lastTime = -kNever;
    int64_t lastCount = 0;
    double lastLoad = NAN;
    bool done = false, ended = false;
    double startPrevious[4] = {NAN, NAN, NAN, NAN};
    double stopPrevious[4] = {NAN, NAN, NAN, NAN};
    int limitState[4] = {kUnknown, kUnknown, kUnknown, kUnknown};
    bool tared = false;
    int64_t tareCount = 0;
    uint64_t fileSamples = 0, fileLost = 0;  // this file
    uint64_t samples = 0, lost = 0;          // the whole recording
};

bool crossed(int edge, double previous, double value, double level) {
    if (std::isnan(previous) || std::isnan(value)) return false;
    return edge == QOLVEN_RECORD_FALLING ? previous > level && value <= level : previous < level && value >= level;
}

double quantity(const Columns &c, size_t i, int which) {
    return which == QOLVEN_RECORD_LOAD ? c.load[i] : double(c.count[i]);
}

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

// The first `n` samples of `c`, taken out of it.
Columns takeFront(Columns &c, size_t n) {
    Columns head;
    if (n >= c.size()) {
        std::swap(head, c);
        return head;
    }
    for (size_t i = 0; i < n; ++i) head.add(c, i);
    c.dropFront(n);
    return head;
}

size_t firstAtOrAfter(const Columns &c, double t) {
    return size_t(std::lower_bound(c.time.begin(), c.time.end(), t) - c.time.begin());
}

class Writer {
public:
    Writer(qolven_recorder *r, FileHeader header) : r_(r), s_(r->settings), header_(std::move(header)) {
        for (size_t i = 0; i < header_.devices.size(); ++i) {
            DeviceState d;
            d.info = header_.devices[i];
            d.tared = header_.atStart[i].tared;
            d.tareCount = header_.atStart[i].tareCount;
            devices_.push_back(std::move(d));
        }
        state_ = s_.start.set ? QOLVEN_RECORD_WAITING : QOLVEN_RECORD_RECORDING;
        triggerTime_ = s_.start.set ? NAN : 0;
        if (!s_.start.set && s_.duration > 0) stopTime_ = s_.duration;
    }

    void open() {
        fileIndex_ = header_.index;
        openFile(0);
        Event e;
        e.kind = QOLVEN_RECORD_EVENT_START;
        e.text = std::to_string(devices_.size()) + " device" + (devices_.size() == 1 ? "" : "s") + ", " +
                 (s_.start.set ? "waiting for the trigger: " + header_.trigger : std::string("recording"));
        addEvent(e);
        for (const DeviceState &d : devices_) {
            if (!d.tared) continue;
            Event t;
            t.kind = QOLVEN_RECORD_EVENT_TARE;
            t.device = d.info.index;
            t.sequence = 0;
            t.value = double(d.tareCount);
            t.text = "tare before the start: count " + std::to_string(d.tareCount) + " is the zero of the load";
            addEvent(t);
        }
    }

    void run() {
        auto nextFlush = Clock::now() + seconds(s_.flushInterval);
        for (;;) {
            std::deque<Batch> batches;
            std::vector<Event> marks;
            bool overflow = false;
            {
                std::unique_lock<std::mutex> lock(r_->m);
                auto until = std::min(nextFlush, Clock::now() + kTick);
                // Woken by the clock, not by each hand-over: the samples are taken in bunches.
                r_->changed.wait_until(lock, until);
                batches.swap(r_->queue);
                marks.swap(r_->marks);
                overflow = r_->queuedSamples > kMostQueued;
                r_->queuedSamples = 0;
            }
            try {
                for (Batch &b : batches) process(b);
                for (Event &m : marks) mark(m);
                if (overflow)
                    fail(QOLVEN_RECORD_WRITE_FAILED, "the file is not written as fast as the samples come (" +
                                                         std::to_string(kMostQueued) + " samples waited)");
                if (r_->stopRequested.load() && !stopSeen_) {
                    stopSeen_ = true;
                    double at = double(r_->stopAtNanos.load()) / 1e9 - r_->time0;
                    if (state_ == QOLVEN_RECORD_WAITING) {
                        stopReason_ = "stopped before the start trigger fired";
                        cut_ = true;
                    } else {
                        requestStop(at, "stopped on request");
                    }
                }
                if (r_->stopCalls.load() >= 2) cut_ = true;
                if (finished()) return finish();
                if (Clock::now() >= nextFlush) {
                    flushNow();
                    nextFlush += seconds(s_.flushInterval);
                    if (nextFlush < Clock::now()) nextFlush = Clock::now() + seconds(s_.flushInterval);
                }
            } catch (const WriteFailure &e) {
                writeFailed_ = true;
                fail(QOLVEN_RECORD_WRITE_FAILED, e.what());
                return finish();
            } catch (const std::exception &e) {
                fail(QOLVEN_INTERNAL, std::string("internal error: ") + e.what());
                return finish();
            }
            publish(false);
        }
    }

private:
    static Clock::duration seconds(double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }

    std::unique_ptr<Sink> create(const FileHeader &h) {
        return h.format == QOLVEN_RECORD_HDF5 ? openHdf5(h) : openCsv(h);
    }

    void openFile(double startTime) {
        FileHeader h = header_;
        h.index = fileIndex_;
        if (fileIndex_) h.path = rotatedPath(header_.path, fileIndex_);
        h.startTime = startTime;
        h.triggerTime = triggerTime_;
        for (size_t i = 0; i < devices_.size(); ++i) {
            h.atStart[i].tared = devices_[i].tared;
            h.atStart[i].tareCount = devices_[i].tareCount;
        }
        sink_ = create(h);
        path_ = h.path;
        fileStart_ = startTime;
        fileSamples_ = fileLost_ = fileEvents_ = 0;
        for (DeviceState &d : devices_) d.fileSamples = d.fileLost = 0;
    }

    // ---- samples and events as they come

    void process(Batch &b) {
        DeviceState &d = devices_[size_t(b.device)];
        for (double &t : b.samples.time) t += d.info.offset;
        for (Event &e : b.events) e.time += d.info.offset;
        if (!b.samples.empty()) {
            d.any = true;
            d.lastTime = b.samples.time.back();
            d.lastCount = b.samples.count.back();
            d.lastLoad = b.samples.load.back();
        }
        if (state_ == QOLVEN_RECORD_WAITING) {
            size_t fire = b.device == s_.start.device ? startCrossing(d, b.samples) : size_t(-1);
            if (fire == size_t(-1)) {
                for (size_t i = 0; i < b.samples.size(); ++i) d.ring.add(b.samples, i);
                for (Event &e : b.events) streamEvent(e);
                trimRings();
            } else {
                trigger(d, b.samples, fire);
                emitSamples(d, b.samples);
                for (Event &e : b.events) streamEvent(e);
            }
        } else {
            emitSamples(d, b.samples);
            for (Event &e : b.events) streamEvent(e);
        }
        if (b.ended) d.ended = d.done = true;
        if (b.failure != QOLVEN_OK) fail(b.failure, b.why);
        if (d.lastTime >= stopTime_) d.done = true;
    }

    size_t startCrossing(DeviceState &d, const Columns &c) {
        for (size_t i = 0; i < c.size(); ++i) {
            double v = quantity(c, i, s_.start.quantity);
            double &previous = d.startPrevious[c.channel[i] & 3];
            if (crossed(s_.start.edge, previous, v, s_.start.level)) return i;
            previous = v;
        }
        return size_t(-1);
    }

    // Keeps what the pre-trigger time may still need.
    void trimRings() {
        const double reach = devices_[size_t(s_.start.device)].lastTime - s_.pre;
        for (DeviceState &d : devices_) {
            size_t out = firstAtOrAfter(d.ring, reach);
            if (out >= kDropInBulk && out * 2 > d.ring.size()) d.ring.dropFront(out);
        }
        ringEvents_.erase(std::remove_if(ringEvents_.begin(), ringEvents_.end(),
                                         [&](const Event &e) {
                                             return e.time < reach && e.kind != QOLVEN_RECORD_EVENT_TARE;
                                         }),
                          ringEvents_.end());
    }

    void trigger(DeviceState &d, const Columns &c, size_t i) {
        const double at = c.time[i];
        const double v = quantity(c, i, s_.start.quantity);
        triggerTime_ = at;
        windowStart_ = at - s_.pre;
        if (s_.duration > 0) stopTime_ = std::min(stopTime_, at + s_.duration);
        state_ = QOLVEN_RECORD_RECORDING;
        Event e;
        e.kind = QOLVEN_RECORD_EVENT_TRIGGER;
        e.device = d.info.index;
        e.detail = s_.start.edge;
        e.time = at;
        e.sequence = c.sequence[i];
        e.value = v;
        e.text = "start trigger: " + crossingText(s_.start, d.info.serial) + " (" + quantityName(s_.start.quantity) +
                 " " + number(v) + ")";
        addEvent(e);
        std::vector<Event> waiting;
        waiting.swap(ringEvents_);
        for (DeviceState &k : devices_) {
            Columns ring;
            std::swap(ring, k.ring);
            emitSamples(k, ring);
        }
        for (Event &w : waiting) streamEvent(w);
    }

    void emitSamples(DeviceState &d, const Columns &c) {
        for (size_t i = 0; i < c.size(); ++i) {
            const double t = c.time[i];
            if (t < windowStart_) continue;
            if (t >= stopTime_) {
                d.done = true;
                break;
            }
            const int ch = c.channel[i] & 3;
            checkLimits(d, c, i, ch);
            if (s_.stop.set && s_.stop.device == d.info.index) {
                double v = quantity(c, i, s_.stop.quantity);
                if (crossed(s_.stop.edge, d.stopPrevious[ch], v, s_.stop.level)) {
                    Event e;
                    e.kind = QOLVEN_RECORD_EVENT_TRIGGER;
                    e.device = d.info.index;
                    e.detail = s_.stop.edge;
                    e.time = t;
                    e.sequence = c.sequence[i];
                    e.value = v;
                    e.text = "stop trigger: " + crossingText(s_.stop, d.info.serial) + " (" +
                             quantityName(s_.stop.quantity) + " " + number(v) + ")";
                    addEvent(e);
                    requestStop(std::nextafter(t, kNever), e.text);
                }
                d.stopPrevious[ch] = v;
            }
            d.pending.add(c, i);
        }
    }

    void checkLimits(DeviceState &d, const Columns &c, size_t i, int ch) {
        const Limits &l = d.info.limits;
        if (!l.set) return;
        const double v = quantity(c, i, l.quantity);
        if (std::isnan(v)) return;
        const int now = v > l.high ? 1 : v < l.low ? -1 : 0;
        int &was = d.limitState[ch];
        if (now == was) return;
        const bool first = was == kUnknown;
        was = now;
        if (first && now == 0) return;
        Event e;
        e.kind = QOLVEN_RECORD_EVENT_LIMIT;
        e.device = d.info.index;
        e.detail = now;
        e.time = c.time[i];
        e.sequence = c.sequence[i];
        e.value = v;
        const std::string what = std::string(quantityName(l.quantity)) + " " + number(v);
        if (now > 0) e.text = what + " above the upper limit " + number(l.high);
        else if (now < 0) e.text = what + " below the lower limit " + number(l.low);
        else e.text = what + " back within the limits";
        if (first) e.text += " at the first sample";
        if (d.info.multiChannel) e.text += " (channel " + std::to_string(ch) + ")";
        addEvent(e);
        if (now != 0 && s_.stopOnLimit)
            requestStop(std::nextafter(e.time, kNever), "limit crossed on " + d.info.serial + ": " + e.text);
    }

    // Events of the streams (lost, disconnected, reconnected), tares and marks.
    void streamEvent(Event &e) {
        if (e.kind == QOLVEN_RECORD_EVENT_TARE && e.device >= 0) {
            DeviceState &d = devices_[size_t(e.device)];
            d.tared = true;
            d.tareCount = int64_t(e.value);
        }
        if (state_ == QOLVEN_RECORD_WAITING) {
            ringEvents_.push_back(e);
            return;
        }
        if (e.kind != QOLVEN_RECORD_EVENT_TARE && e.time < windowStart_) return;
        if (e.time >= stopTime_) return;
        addEvent(e);
    }

    void mark(Event &e) { streamEvent(e); }

    void addEvent(const Event &e) {
        pendingEvents_.push_back(e);
        if ((e.kind == QOLVEN_RECORD_EVENT_LOST || e.kind == QOLVEN_RECORD_EVENT_RECONNECTED) && e.device >= 0 &&
            e.value > 0) {
            DeviceState &d = devices_[size_t(e.device)];
            const auto n = uint64_t(e.value);
            d.lost += n;
            d.fileLost += n;
            lost_ += n;
            fileLost_ += n;
        }
    }

    // ---- stopping

    void requestStop(double at, const std::string &why) {
        if (at < stopTime_) {
            stopTime_ = at;
            stopReason_ = why;
        } else if (stopReason_.empty()) {
            stopReason_ = why;
        }
        state_ = QOLVEN_RECORD_STOPPING;
        for (DeviceState &d : devices_)
            if (d.lastTime >= stopTime_) d.done = true;
    }

    void fail(int code, const std::string &why) {
        if (result_ == QOLVEN_OK) {
            result_ = code;
            resultText_ = why;
        }
        if (state_ == QOLVEN_RECORD_WAITING) {
            cut_ = true;
            stopReason_ = "failed: " + why;
            return;
        }
        requestStop(monotonicNow() - r_->time0, "failed: " + why);
    }

    bool finished() const {
        if (cut_) return true;
        if (!std::isfinite(stopTime_)) return false;
        if (std::all_of(devices_.begin(), devices_.end(), [](const DeviceState &d) { return d.done; })) return true;
        return monotonicNow() - r_->time0 > stopTime_ + kGrace;
    }

    void finish() {
        std::string late;
        if (std::isfinite(stopTime_) && !cut_ && !writeFailed_ && result_ == QOLVEN_OK)
            for (const DeviceState &d : devices_)
                if (!d.done) late += (late.empty() ? "" : ", ") + d.info.serial;
        // The readers end first: what they handed over last, and their
        // streams' final figures, belong in the file.
        r_->readersQuit = true;
        for (auto &s : r_->slots) qolven_interrupt(s->device);
        for (auto &s : r_->slots)
            if (s->thread.joinable()) s->thread.join();
        std::deque<Batch> last;
        {
            std::lock_guard<std::mutex> lock(r_->m);
            last.swap(r_->queue);
            r_->queuedSamples = 0;
        }
        if (!cut_) {
            try {
                for (Batch &b : last) process(b);
            } catch (const std::exception &e) {
                fail(QOLVEN_INTERNAL, std::string("internal error: ") + e.what());
            }
        }
        if (stopReason_.empty()) stopReason_ = s_.duration > 0 ? "the duration is over" : "stopped";
        if (!std::isfinite(stopTime_) && state_ != QOLVEN_RECORD_WAITING)
            stopTime_ = std::nextafter(newestTime(), kNever);
        if (!late.empty()) stopReason_ += "; nothing came after " + number(stopTime_) + " s from " + late;
        if (!writeFailed_) {
            try {
                Event e;
                e.kind = QOLVEN_RECORD_EVENT_STOP;
                e.time = std::isfinite(stopTime_) ? stopTime_ : std::max(0.0, newestTime());
                e.text = stopReason_;
                trimPending();
                rotateByTime();
                pendingEvents_.push_back(e);
                writeOut();
                sink_->close(progress(true));
            } catch (const WriteFailure &e) {
                writeFailed_ = true;
                if (result_ == QOLVEN_OK) {
                    result_ = QOLVEN_RECORD_WRITE_FAILED;
                    resultText_ = e.what();
                }
            }
        }
        if (writeFailed_ && sink_) sink_->abandon();
        if (sink_) bytesClosed_ += sink_->bytes();
        sink_.reset();
        publish(true);
    }

    double newestTime() const {
        double newest = -kNever;
        for (const DeviceState &d : devices_)
            if (!d.pending.empty()) newest = std::max(newest, d.pending.time.back());
        return std::isfinite(newest) ? newest : lastWritten_;
    }

    void trimPending() {
        if (!std::isfinite(stopTime_)) return;
        for (DeviceState &d : devices_) {
            size_t keep = firstAtOrAfter(d.pending, stopTime_);
            while (d.pending.size() > keep) {
                d.pending.sequence.pop_back();
                d.pending.channel.pop_back();
                d.pending.count.pop_back();
                d.pending.time.pop_back();
                d.pending.load.pop_back();
            }
        }
    }

    // ---- the file

    // Files end at the rotation's time boundaries, also the last one (the
    // samples after the final flush belong in the file of their time).
    void rotateByTime() {
        if (s_.rotateSeconds > 0) {
            for (;;) {
                const double boundary = fileStart_ + s_.rotateSeconds;
                bool beyond = false;
                for (const DeviceState &d : devices_) beyond |= !d.pending.empty() && d.pending.time.back() >= boundary;
                if (!beyond) break;
                std::vector<Columns> heads;
                for (DeviceState &d : devices_) heads.push_back(takeFront(d.pending, firstAtOrAfter(d.pending, boundary)));
                std::vector<Event> later;
                auto split = std::stable_partition(pendingEvents_.begin(), pendingEvents_.end(),
                                                   [&](const Event &e) { return e.time < boundary; });
                later.assign(split, pendingEvents_.end());
                pendingEvents_.erase(split, pendingEvents_.end());
                writeParts(heads);
                rotate(boundary);
                pendingEvents_.insert(pendingEvents_.end(), later.begin(), later.end());
            }
        }
    }

    void flushNow() {
        rotateByTime();
        writeOut();
        sink_->flush(progress(false));
        if (s_.rotateBytes && sink_->bytes() >= s_.rotateBytes) rotate(std::nextafter(lastWritten_, kNever));
    }

    void writeOut() {
        std::vector<Columns> parts;
        for (DeviceState &d : devices_) {
            parts.emplace_back();
            std::swap(parts.back(), d.pending);
        }
        writeParts(parts);
    }

    void writeParts(std::vector<Columns> &parts) {
        std::vector<Event> events;
        events.swap(pendingEvents_);
        std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) { return a.time < b.time; });
        for (size_t i = 0; i < parts.size(); ++i) {
            DeviceState &d = devices_[i];
            d.samples += parts[i].size();
            d.fileSamples += parts[i].size();
            samples_ += parts[i].size();
            fileSamples_ += parts[i].size();
            if (!parts[i].empty()) lastWritten_ = std::max(lastWritten_, parts[i].time.back());
        }
        events_ += events.size();
        fileEvents_ += events.size();
        sink_->write(parts, events);
        std::lock_guard<std::mutex> lock(r_->m);
        for (const Event &e : events) {
            qolven_record_event out{};
            out.kind = e.kind;
            out.device = e.device;
            out.detail = e.detail;
            out.time = e.time;
            out.sequence = e.sequence;
            out.value = e.value;
            std::snprintf(out.text, sizeof out.text, "%s", e.text.c_str());
            r_->events.push_back(out);
            if (r_->events.size() > kMostApiEvents) r_->events.pop_front();
        }
    }

    void rotate(double at) {
        Progress p = progress(true);
        p.stopReason = "continued in " + rotatedPath(header_.path, fileIndex_ + 1);
        sink_->close(p);
        bytesClosed_ += sink_->bytes();
        sink_.reset();
        ++fileIndex_;
        openFile(at);
        Event e;
        e.kind = QOLVEN_RECORD_EVENT_START;
        e.detail = fileIndex_;
        e.time = at;
        e.text = "file " + std::to_string(fileIndex_) + " of the recording, from " + number(at) + " s";
        pendingEvents_.insert(pendingEvents_.begin(), e);
    }

    Progress progress(bool complete) {
        Progress p;
        p.samples = fileSamples_;
        p.lost = fileLost_;
        p.events = fileEvents_;
        p.endTime = lastWritten_;
        p.triggerTime = triggerTime_;
        p.complete = complete;
        p.stopReason = complete ? stopReason_ : "";
        std::lock_guard<std::mutex> lock(r_->m);
        for (size_t i = 0; i < devices_.size(); ++i) {
            DeviceCounters c;
            c.samples = devices_[i].fileSamples;
            c.lost = devices_[i].fileLost;
            c.tared = devices_[i].tared;
            c.tareCount = devices_[i].tareCount;
            c.stream = r_->slots[i]->stream;
            p.devices.push_back(c);
        }
        return p;
    }

    void publish(bool final) {
        const uint64_t bytes = bytesClosed_ + (sink_ ? sink_->bytes() : 0);
        std::lock_guard<std::mutex> lock(r_->m);
        qolven_record_status &st = r_->status;
        st.state = final ? QOLVEN_RECORD_FINISHED : state_;
        st.result = final ? result_ : QOLVEN_OK;
        st.elapsed = monotonicNow() - r_->time0;
        st.trigger_time = triggerTime_;
        st.start_spread = header_.spread;
        st.samples = samples_;
        st.lost = lost_;
        st.events = events_;
        st.bytes = bytes;
        st.file_index = fileIndex_;
        std::snprintf(st.file, sizeof st.file, "%s", path_.c_str());
        std::snprintf(st.stop_reason, sizeof st.stop_reason, "%s", stopReason_.c_str());
        for (size_t i = 0; i < devices_.size(); ++i) {
            const DeviceState &d = devices_[i];
            qolven_record_device_status &ds = r_->deviceStatus[i];
            std::snprintf(ds.serial, sizeof ds.serial, "%s", d.info.serial.c_str());
            ds.board_type = d.info.identity.board_type;
            ds.rate_code = d.info.rateCode;
            ds.nominal_rate = d.info.nominalRate;
            ds.has_load = d.info.hasLoad;
            ds.start_offset = d.info.offset;
            ds.last_time = d.any ? d.lastTime : NAN;
            ds.last_count = d.lastCount;
            ds.last_load = d.lastLoad;
            ds.samples = d.samples;
            ds.lost = d.lost;
            ds.tared = d.tared;
            ds.tare_count = d.tareCount;
            int limit = 0;
            for (int s : d.limitState)
                if (s != kUnknown && s != 0) limit = s;
            ds.limit_state = limit;
        }
        if (final) {
            r_->result = result_;
            r_->resultText = resultText_;
        }
        r_->state = st.state;
        r_->changed.notify_all();
    }

    qolven_recorder *r_;
    const Settings &s_;
    FileHeader header_;
    std::vector<DeviceState> devices_;
    std::unique_ptr<Sink> sink_;
    std::string path_;
    int fileIndex_ = 0;
    double fileStart_ = 0;
    int state_ = QOLVEN_RECORD_RECORDING;
    double windowStart_ = 0;
    double triggerTime_ = 0;
    double stopTime_ = kNever;
    std::string stopReason_;
    bool stopSeen_ = false, cut_ = false, writeFailed_ = false;
    int result_ = QOLVEN_OK;
    std::string resultText_;
    std::vector<Event> ringEvents_, pendingEvents_;
    double lastWritten_ = 0;
    uint64_t samples_ = 0, lost_ = 0, events_ = 0;
    uint64_t fileSamples_ = 0, fileLost_ = 0, fileEvents_ = 0;
    uint64_t bytesClosed_ = 0;
};

} // namespace

void writerMain(qolven_recorder *r, FileHeader header) {
    pthread_setname_np(pthread_self(), "qrec-writer");
    std::unique_ptr<Writer> w;
    int failure = QOLVEN_OK;
    std::string why;
    try {
        w.reset(new Writer(r, std::move(header)));
        w->open();
    } catch (const WriteFailure &e) {
        failure = QOLVEN_RECORD_WRITE_FAILED;
        why = e.what();
    } catch (const std::exception &e) {
        failure = QOLVEN_INTERNAL;
        why = std::string("internal error: ") + e.what();
    }
    {
        std::lock_guard<std::mutex> lock(r->m);
        r->result = failure;
        r->resultText = why;
        r->writerReady = true;
        r->changed.notify_all();
    }
    if (failure == QOLVEN_OK) w->run();
}

} // namespace qolven_recording
