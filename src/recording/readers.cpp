// Starting a recording and the reader threads: each device is identified
// (and tared when asked) from its own thread, the streams start together
// once every device is ready, and each reader then hands its samples and its
// stream's events to the writer.
#include <algorithm>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>

#include "recording/engine.h"

namespace qolven_recording {

void writerMain(qolven_recorder *r, FileHeader header);

namespace {

constexpr size_t kReadCapacity = 4096;
constexpr int kReadTimeoutMs = 50;
// A reader hands over what it has this often, or sooner with this many samples.
constexpr auto kHandOverEvery = std::chrono::milliseconds(20);
constexpr size_t kHandOverSamples = 1024;
constexpr auto kStatusEvery = std::chrono::milliseconds(250);

std::string deviceName(const Slot &s) {
    return "device " + std::to_string(s.info.index) + " (" + s.info.serial + ")";
}

int failDevice(Slot &s, int status, const std::string &what) {
    s.status = status;
    s.why = deviceName(s) + ": " + what + ": " + qolven_error_text(s.device);
    return status;
}

int refuseDevice(Slot &s, int status, const std::string &why) {
    s.status = status;
    s.why = deviceName(s) + ": " + why;
    return status;
}

void handOver(qolven_recorder *r, Batch &batch) {
    std::lock_guard<std::mutex> lock(r->m);
    r->queuedSamples += batch.samples.size();
    r->queue.push_back(std::move(batch));
    batch = Batch();
}

// Waits for the phase after `current`; false when the recording is called off.
bool awaitPhase(qolven_recorder *r, Phase next) {
    std::unique_lock<std::mutex> lock(r->m);
    r->changed.wait(lock, [&] { return r->phase == next || r->phase == Phase::Quit; });
    return r->phase != Phase::Quit;
}

bool usesLoad(const Settings &s, int index) {
    auto on = [&](const Crossing &c) { return c.set && c.device == index && c.quantity == QOLVEN_RECORD_LOAD; };
    const Limits &l = s.limits[size_t(index)];
    return on(s.start) || on(s.stop) || (l.set && l.quantity == QOLVEN_RECORD_LOAD);
}

int prepare(qolven_recorder *r, Slot &s) {
    qolven_device *d = s.device;
    DeviceInfo &info = s.info;
    int status = qolven_identify(d, &info.identity);
    if (status != QOLVEN_OK) return failDevice(s, status, "identify");
    const int type = info.identity.board_type;
    const char *cls = qolven_board_type_class(type);
    const char *meaning = qolven_board_type_meaning(type);
    info.boardClass = cls ? cls : "unknown";
    info.boardMeaning = meaning ? meaning : "a board type this library does not know";
    status = qolven_read_calibration(d, &info.calibration);
    if (status != QOLVEN_OK) return failDevice(s, status, "read its calibration");
    info.hasLoad = info.calibration.source != QOLVEN_LOAD_NONE;
    info.limits = r->settings.limits[size_t(info.index)];
    if (usesLoad(r->settings, info.index) && !info.hasLoad)
        return refuseDevice(s, QOLVEN_INVALID_ARGUMENT,
                            std::string("a trigger or limit on the load needs a calibration, and this board has none (") +
                                info.calibration.why + ")");
    if (r->settings.tareAtStart) {
        qolven_reading reading{};
        status = qolven_read(d, &reading);
        if (status != QOLVEN_OK) return failDevice(s, status, "read the count to tare");
        if (!reading.has_count)
            return refuseDevice(s, QOLVEN_NO_VALUE,
                                std::string("tare: the board answered \"") + reading.status + "\" instead of a count");
        status = qolven_set_tare(d, reading.count);
        if (status != QOLVEN_OK) return failDevice(s, status, "tare");
        s.taredAtStart = true;
        s.tareCount = reading.count;
    }
    return QOLVEN_OK;
}

int startStream(qolven_recorder *r, Slot &s) {
    qolven_device *d = s.device;
    int status = qolven_stream_start(d, r->settings.rate);
    if (status != QOLVEN_OK) return failDevice(s, status, "start the stream");
    struct qolven_stream_info st{};
    qolven_stream_status(d, &st);
    DeviceInfo &info = s.info;
    info.rateCode = st.rate_code;
    info.nominalRate = st.nominal_rate;
    info.multiChannel = st.multi_channel != 0;
    info.startMonotonic = st.start_monotonic;
    info.startWall = st.start_wall;
    info.lossBasis = st.loss_basis;
    std::lock_guard<std::mutex> lock(r->m);
    s.stream = st;
    return QOLVEN_OK;
}

Event streamEvent(const qolven_event &e, int device) {
    Event out;
    switch (e.kind) {
    case QOLVEN_EVENT_LOST: out.kind = QOLVEN_RECORD_EVENT_LOST; break;
    case QOLVEN_EVENT_DISCONNECTED: out.kind = QOLVEN_RECORD_EVENT_DISCONNECTED; break;
    case QOLVEN_EVENT_RECONNECTED: out.kind = QOLVEN_RECORD_EVENT_RECONNECTED; break;
    default: out.kind = 0; break;
    }
    out.device = device;
    out.time = e.time;
    out.sequence = e.sequence;
    out.value = out.kind == QOLVEN_RECORD_EVENT_DISCONNECTED ? NAN : double(e.samples);
    out.text = e.text;
    return out;
}

void readLoop(qolven_recorder *r, Slot &s) {
    qolven_device *d = s.device;
    const int index = s.info.index;
    std::vector<int64_t> sequence(kReadCapacity);
    std::vector<int32_t> channel(kReadCapacity), count(kReadCapacity);
    std::vector<double> time(kReadCapacity), load(kReadCapacity);
    Batch batch;
    batch.device = index;
    auto handedOver = Clock::now(), statusTaken = handedOver;
    bool any = false;
    int64_t lastSequence = -1;
    int32_t lastCount = 0;
    double lastTime = 0;
    while (!r->readersQuit.load()) {
        if (any && s.tareRequested.exchange(false)) {
            qolven_set_tare(d, lastCount);
            Event e;
            e.kind = QOLVEN_RECORD_EVENT_TARE;
            e.device = index;
            e.time = lastTime;
            e.sequence = lastSequence + 1;
            e.value = lastCount;
            e.text = "tare: count " + std::to_string(lastCount) + " is the zero of the load from sample " +
                     std::to_string(lastSequence + 1) + " on";
            batch.events.push_back(e);
        }
        size_t n = 0;
        int status = qolven_stream_read_samples(d, sequence.data(), channel.data(), count.data(), time.data(),
                                                load.data(), kReadCapacity, &n, kReadTimeoutMs);
        if (status == QOLVEN_INTERRUPTED) continue;
        if (status != QOLVEN_OK) {
            batch.failure = status;
            batch.why = deviceName(s) + ": the stream failed: " + qolven_error_text(d);
            break;
        }
        for (size_t i = 0; i < n; ++i) batch.samples.add(sequence[i], channel[i], count[i], time[i], load[i]);
        if (n > 0) {
            any = true;
            lastSequence = sequence[n - 1];
            lastCount = count[n - 1];
            lastTime = time[n - 1];
        }
        qolven_event e{};
        int got = 0;
        while (qolven_stream_next_event(d, &e, &got) == QOLVEN_OK && got) {
            Event out = streamEvent(e, index);
            if (out.kind) batch.events.push_back(out);
        }
        auto now = Clock::now();
        if (now - statusTaken >= kStatusEvery) {
            statusTaken = now;
            struct qolven_stream_info st{};
            qolven_stream_status(d, &st);
            std::lock_guard<std::mutex> lock(r->m);
            s.stream = st;
        }
        bool something = !batch.samples.empty() || !batch.events.empty();
        if (something && (batch.samples.size() >= kHandOverSamples || !batch.events.empty() ||
                          now - handedOver >= kHandOverEvery)) {
            handedOver = now;
            handOver(r, batch);
            batch.device = index;
        }
    }
    struct qolven_stream_info st{};
    qolven_stream_status(d, &st);
    {
        std::lock_guard<std::mutex> lock(r->m);
        s.stream = st;
    }
    batch.ended = true;
    handOver(r, batch);
    qolven_stream_stop(d);
}

void readerMain(qolven_recorder *r, Slot *s) {
    // Named, so that top -H and the benchmark tell the recorder's threads apart.
    pthread_setname_np(pthread_self(), ("qrec-read-" + std::to_string(s->info.index)).substr(0, 15).c_str());
    if (r->settings.realTime) {
        sched_param lowest{};
        lowest.sched_priority = sched_get_priority_min(SCHED_RR);
        s->realTime = pthread_setschedparam(pthread_self(), SCHED_RR, &lowest) == 0;
    }
    int status = prepare(r, *s);
    {
        std::lock_guard<std::mutex> lock(r->m);
        s->prepared = true;
        r->changed.notify_all();
    }
    if (status != QOLVEN_OK || !awaitPhase(r, Phase::Start)) return;
    status = startStream(r, *s);
    {
        std::lock_guard<std::mutex> lock(r->m);
        s->started = true;
        r->changed.notify_all();
    }
    if (status != QOLVEN_OK) return;
    readLoop(r, *s);
}

void setPhase(qolven_recorder *r, Phase phase) {
    std::lock_guard<std::mutex> lock(r->m);
    r->phase = phase;
    r->changed.notify_all();
}

// The first failure among the devices (in their order), or QOLVEN_OK.
int firstFailure(qolven_recorder *r) {
    for (auto &s : r->slots)
        if (s->status != QOLVEN_OK) {
            r->error = s->why;
            return s->status;
        }
    return QOLVEN_OK;
}

void callOff(qolven_recorder *r) {
    r->readersQuit = true;
    setPhase(r, Phase::Quit);
    for (auto &s : r->slots) qolven_interrupt(s->device);
    for (auto &s : r->slots)
        if (s->thread.joinable()) s->thread.join();
    if (r->writer.joinable()) r->writer.join();
    std::lock_guard<std::mutex> lock(r->m);
    r->queue.clear();
    r->queuedSamples = 0;
    r->state = QOLVEN_RECORD_IDLE;
}

std::string durationText(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g s", seconds);
    return text;
}

} // namespace

int startRecording(qolven_recorder *r) {
    Settings &set = r->settings;
    const int n = int(r->devices.size());
    r->slots.clear();
    r->queue.clear();
    r->queuedSamples = 0;
    r->marks.clear();
    r->events.clear();
    r->readersQuit = false;
    r->stopRequested = false;
    r->stopCalls = 0;
    r->result = QOLVEN_OK;
    r->resultText.clear();
    r->writerReady = false;
    r->phase = Phase::Prepare;
    r->status = qolven_record_status{};
    r->deviceStatus.assign(size_t(n), qolven_record_device_status{});
    set.limits.resize(size_t(n));
    r->serials.resize(size_t(n));

    for (int i = 0; i < n; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->device = r->devices[size_t(i)];
        slot->info.index = i;
        const std::string &given = r->serials[size_t(i)];
        slot->info.serial = given.empty() ? qolven_open_serial(slot->device) : given;
        r->slots.push_back(std::move(slot));
    }
    r->joined = false;
    r->state = QOLVEN_RECORD_WAITING;  // busy from here on: settings are refused
    for (auto &s : r->slots) s->thread = std::thread(readerMain, r, s.get());
    {
        std::unique_lock<std::mutex> lock(r->m);
        r->changed.wait(lock, [&] {
            return std::all_of(r->slots.begin(), r->slots.end(), [](const auto &s) { return s->prepared; });
        });
    }
    int status = firstFailure(r);
    if (status != QOLVEN_OK) {
        callOff(r);
        r->joined = true;
        return status;
    }
    setPhase(r, Phase::Start);
    {
        std::unique_lock<std::mutex> lock(r->m);
        r->changed.wait(lock, [&] {
            return std::all_of(r->slots.begin(), r->slots.end(), [](const auto &s) { return s->started; });
        });
    }
    status = firstFailure(r);
    if (status != QOLVEN_OK) {
        callOff(r);
        r->joined = true;
        return status;
    }

    FileHeader header;
    header.path = set.path;
    header.format = set.format;
    header.overwrite = set.overwrite;
    header.index = set.rotateBytes || set.rotateSeconds > 0 ? 1 : 0;
    header.application = set.application;
    header.libraryVersion = qolven_version();
    header.recorderVersion = qolven_record_version();
    header.flushInterval = set.flushInterval;
    double first = r->slots.front()->info.startMonotonic, last = first;
    for (auto &s : r->slots) {
        first = std::min(first, s->info.startMonotonic);
        last = std::max(last, s->info.startMonotonic);
    }
    r->time0 = first;
    header.time0Monotonic = first;
    header.spread = last - first;
    std::vector<std::string> groups;
    for (auto &s : r->slots) {
        DeviceInfo info = s->info;
        info.offset = info.startMonotonic - first;
        info.group = groupName(info.serial);
        // Two serial numbers may come out alike: the later one gets its index.
        if (std::find(groups.begin(), groups.end(), info.group) != groups.end())
            info.group += "_" + std::to_string(info.index);
        groups.push_back(info.group);
        if (s == r->slots.front()) header.time0Wall = info.startWall - info.offset;
        header.devices.push_back(info);
        DeviceCounters c;
        c.tared = s->taredAtStart;
        c.tareCount = s->tareCount;
        if (!c.tared) {
            int active = 0;
            int64_t count = 0;
            if (qolven_get_tare(s->device, &active, &count) == QOLVEN_OK && active) {
                c.tared = true;
                c.tareCount = count;
            }
        }
        header.atStart.push_back(c);
    }
    if (set.start.set)
        header.trigger = "start on " + crossingText(set.start, header.devices[size_t(set.start.device)].serial) +
                         ", keeping the " + durationText(set.pre) + " before";
    std::string stop;
    if (set.stop.set) stop = "stop on " + crossingText(set.stop, header.devices[size_t(set.stop.device)].serial);
    if (set.duration > 0)
        stop += (stop.empty() ? "" : ", or ") + durationText(set.duration) + (set.start.set ? " after the trigger" : "");
    if (set.stopOnLimit) stop += (stop.empty() ? "" : ", or ") + std::string("at the first limit crossing");
    header.stop = stop.empty() ? "until stopped" : stop;
    const bool allRealTime =
        std::all_of(r->slots.begin(), r->slots.end(), [](const auto &s) { return s->realTime; });
    header.readerPriority = allRealTime ? "real-time" : "normal";
    r->state = set.start.set ? QOLVEN_RECORD_WAITING : QOLVEN_RECORD_RECORDING;

    r->writer = std::thread(writerMain, r, header);
    {
        std::unique_lock<std::mutex> lock(r->m);
        r->changed.wait(lock, [&] { return r->writerReady; });
        status = r->result;
        if (status != QOLVEN_OK) r->error = r->resultText;
    }
    if (status != QOLVEN_OK) {
        callOff(r);
        r->joined = true;
        return status;
    }
    setPhase(r, Phase::Read);
    return QOLVEN_OK;
}

void joinAll(qolven_recorder *r) {
    if (r->joined) return;
    if (r->writer.joinable()) r->writer.join();
    for (auto &s : r->slots)
        if (s->thread.joinable()) s->thread.join();
    r->joined = true;
}

} // namespace qolven_recording
