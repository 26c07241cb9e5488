// The C functions of qolven_record.h: every setting checked when it is made
// (and again at the start), the state and the events for any thread.
#include <cstring>
#include <new>
#include <strings.h>
#include <sys/stat.h>

#include "recording/engine.h"

using namespace qolven_recording;

namespace {

constexpr size_t kMostDevices = 256;
constexpr double kLongestPre = 600;
constexpr size_t kLongestApplication = 200;
constexpr uint64_t kSmallestRotation = 64 * 1024;

int refuse(qolven_recorder *r, int code, const std::string &why) {
    r->error = why;
    return code;
}

int done(qolven_recorder *r) {
    r->error.clear();
    return QOLVEN_OK;
}

bool running(const qolven_recorder *r) {
    int s = r->state.load();
    return s != QOLVEN_RECORD_IDLE && s != QOLVEN_RECORD_FINISHED;
}

// Settings are made before a recording or after one finished.
template <typename Body>
int setting(qolven_recorder *r, Body body) {
    if (!r) return QOLVEN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(r->m);
    if (running(r) || !r->joined)
        return refuse(r, QOLVEN_INVALID_ARGUMENT, "a recording is under way: settings are made before the start");
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return refuse(r, QOLVEN_INTERNAL, "internal error: out of memory");
    }
}

std::string real(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

int formatOf(const std::string &path) {
    auto endsWith = [&](const char *ext) {
        size_t n = std::strlen(ext);
        return path.size() > n && strcasecmp(path.c_str() + path.size() - n, ext) == 0;
    };
    if (endsWith(".h5") || endsWith(".hdf5")) return QOLVEN_RECORD_HDF5;
    if (endsWith(".csv")) return QOLVEN_RECORD_CSV;
    return 0;
}

// "" when the file may be written, else why not.
std::string outputProblem(const std::string &path, bool overwrite) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return "output " + path + " is a directory; name a file";
        if (!overwrite) return "output " + path + " exists; choose another name or allow overwriting";
        if (!S_ISREG(st.st_mode)) return "output " + path + " is not a regular file";
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "output " + path + ": the folder " + dir + " does not exist";
    return "";
}

int checkCrossing(qolven_recorder *r, const char *what, int device, int quantity, int edge, double level) {
    if (device < 0 || size_t(device) >= r->devices.size())
        return refuse(r, QOLVEN_INVALID_ARGUMENT,
                      std::string(what) + ": device " + std::to_string(device) + " is not one of the " +
                          std::to_string(r->devices.size()) + " added (add the devices first)");
    if (quantity != QOLVEN_RECORD_COUNT && quantity != QOLVEN_RECORD_LOAD)
        return refuse(r, QOLVEN_INVALID_ARGUMENT,
                      std::string(what) + ": quantity " + std::to_string(quantity) + " is not count (0) or load (1)");
    if (edge != QOLVEN_RECORD_RISING && edge != QOLVEN_RECORD_FALLING)
        return refuse(r, QOLVEN_INVALID_ARGUMENT,
                      std::string(what) + ": edge " + std::to_string(edge) + " is not rising (1) or falling (2)");
    if (!std::isfinite(level)) return refuse(r, QOLVEN_INVALID_ARGUMENT, std::string(what) + ": the level is not a number");
    return QOLVEN_OK;
}

// Everything that depends on several settings, just before the start.
int checkAll(qolven_recorder *r) {
    const Settings &s = r->settings;
    if (r->devices.empty()) return refuse(r, QOLVEN_INVALID_ARGUMENT, "no device added");
    if (s.path.empty()) return refuse(r, QOLVEN_INVALID_ARGUMENT, "no output file named");
    for (size_t i = 0; i < r->devices.size(); ++i)
        if (!qolven_is_open(r->devices[i]))
            return refuse(r, QOLVEN_NOT_OPEN, "device " + std::to_string(i) + " is not open");
    const size_t n = r->devices.size();
    if (s.start.set && size_t(s.start.device) >= n)
        return refuse(r, QOLVEN_INVALID_ARGUMENT, "start trigger: device " + std::to_string(s.start.device) + " is gone");
    if (s.stop.set && size_t(s.stop.device) >= n)
        return refuse(r, QOLVEN_INVALID_ARGUMENT, "stop trigger: device " + std::to_string(s.stop.device) + " is gone");
    bool anyLimit = false;
    for (const Limits &l : s.limits) anyLimit |= l.set;
    if (s.stopOnLimit && !anyLimit)
        return refuse(r, QOLVEN_INVALID_ARGUMENT, "stop on a limit crossing needs limits (qolven_recorder_set_limits)");
    const bool rotating = s.rotateBytes || s.rotateSeconds > 0;
    std::string problem = outputProblem(rotating ? rotatedPath(s.path, 1) : s.path, s.overwrite);
    if (!problem.empty()) return refuse(r, QOLVEN_INVALID_ARGUMENT, problem);
    if (s.format == QOLVEN_RECORD_HDF5 && !hdf5Available())
        return refuse(r, QOLVEN_NOT_SUPPORTED, "this build of the recorder writes CSV only (it was built without HDF5)");
    return QOLVEN_OK;
}

} // namespace

extern "C" {

const char *qolven_record_version(void) { return QOLVEN_RECORD_VERSION; }

int qolven_record_format_available(int format) {
    if (format == QOLVEN_RECORD_CSV) return 1;
    if (format == QOLVEN_RECORD_HDF5) return hdf5Available() ? 1 : 0;
    return 0;
}

const char *qolven_record_error_name(int status) {
    return status == QOLVEN_RECORD_WRITE_FAILED ? "QOLVEN_RECORD_WRITE_FAILED" : qolven_error_name(status);
}

const char *qolven_record_event_name(int kind) {
    switch (kind) {
    case QOLVEN_RECORD_EVENT_START: return "start";
    case QOLVEN_RECORD_EVENT_STOP: return "stop";
    case QOLVEN_RECORD_EVENT_TRIGGER: return "trigger";
    case QOLVEN_RECORD_EVENT_TARE: return "tare";
    case QOLVEN_RECORD_EVENT_LIMIT: return "limit";
    case QOLVEN_RECORD_EVENT_LOST: return "lost";
    case QOLVEN_RECORD_EVENT_DISCONNECTED: return "disconnected";
    case QOLVEN_RECORD_EVENT_RECONNECTED: return "reconnected";
    case QOLVEN_RECORD_EVENT_MARK: return "mark";
    default: return "";
    }
}

const char *qolven_record_state_name(int state) {
    switch (state) {
    case QOLVEN_RECORD_IDLE: return "idle";
    case QOLVEN_RECORD_WAITING: return "waiting";
    case QOLVEN_RECORD_RECORDING: return "recording";
    case QOLVEN_RECORD_STOPPING: return "stopping";
    case QOLVEN_RECORD_FINISHED: return "finished";
    default: return "";
    }
}

qolven_recorder *qolven_recorder_create(void) {
    try {
        return new qolven_recorder();
    } catch (...) {
        return nullptr;
    }
}

void qolven_recorder_destroy(qolven_recorder *r) {
    if (!r) return;
    if (running(r)) {
        qolven_recorder_stop(r);
        int finished = 0;
        qolven_recorder_wait(r, -1, &finished);
    }
    {
        std::lock_guard<std::mutex> join(r->joinM);
        joinAll(r);
    }
    delete r;
}

const char *qolven_recorder_error_text(const qolven_recorder *r) { return r ? r->error.c_str() : ""; }

int qolven_recorder_add_device(qolven_recorder *r, qolven_device *device) {
    return setting(r, [&]() -> int {
        if (!device) return refuse(r, QOLVEN_INVALID_ARGUMENT, "the device is NULL");
        if (!qolven_is_open(device)) return refuse(r, QOLVEN_NOT_OPEN, "the device is not open");
        for (size_t i = 0; i < r->devices.size(); ++i)
            if (r->devices[i] == device)
                return refuse(r, QOLVEN_INVALID_ARGUMENT,
                              std::string("device ") + qolven_open_serial(device) + " is already device " +
                                  std::to_string(i));
        if (r->devices.size() >= kMostDevices)
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "at most " + std::to_string(kMostDevices) + " devices");
        r->devices.push_back(device);
        r->settings.limits.resize(r->devices.size());
        return done(r);
    });
}

int qolven_recorder_set_device_serial(qolven_recorder *r, int device, const char *serial) {
    return setting(r, [&]() -> int {
        if (device < 0 || size_t(device) >= r->devices.size())
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "device " + std::to_string(device) + " is not one of the " +
                                                          std::to_string(r->devices.size()) + " added");
        if (!serial || !*serial || std::strlen(serial) > 63)
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "the serial number must have 1 to 63 bytes");
        r->serials.resize(r->devices.size());
        r->serials[size_t(device)] = serial;
        return done(r);
    });
}

int qolven_recorder_set_output(qolven_recorder *r, const char *path, int overwrite) {
    return setting(r, [&]() -> int {
        if (!path || !*path) return refuse(r, QOLVEN_INVALID_ARGUMENT, "output: no file named");
        if (overwrite != 0 && overwrite != 1)
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "overwrite " + std::to_string(overwrite) + " is not 0 or 1");
        const int format = formatOf(path);
        if (!format)
            return refuse(r, QOLVEN_INVALID_ARGUMENT,
                          std::string("output ") + path + ": the name must end in .h5, .hdf5 or .csv (the format)");
        if (format == QOLVEN_RECORD_HDF5 && !hdf5Available())
            return refuse(r, QOLVEN_NOT_SUPPORTED,
                          "this build of the recorder writes CSV only (it was built without HDF5)");
        std::string problem = outputProblem(path, overwrite == 1);
        if (!problem.empty()) return refuse(r, QOLVEN_INVALID_ARGUMENT, problem);
        r->settings.path = path;
        r->settings.format = format;
        r->settings.overwrite = overwrite == 1;
        return done(r);
    });
}

int qolven_recorder_set_rate(qolven_recorder *r, int rate) {
    return setting(r, [&]() -> int {
        if (rate < -1 || rate > 15)
            return refuse(r, QOLVEN_INVALID_ARGUMENT,
                          "sampling-rate code " + std::to_string(rate) + " is outside 0..15 (-1 keeps the board's)");
        r->settings.rate = rate;
        return done(r);
    });
}

int qolven_recorder_set_duration(qolven_recorder *r, double seconds) {
    return setting(r, [&]() -> int {
        if (!(seconds >= 0 && seconds <= 1e9))
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "duration " + real(seconds) + " s is outside 0..1e9 s");
        r->settings.duration = seconds;
        return done(r);
    });
}

int qolven_recorder_set_start_trigger(qolven_recorder *r, int device, int quantity, int edge, double level,
                                      double pre) {
    return setting(r, [&]() -> int {
        int status = checkCrossing(r, "start trigger", device, quantity, edge, level);
        if (status != QOLVEN_OK) return status;
        if (!(pre >= 0 && pre <= kLongestPre))
            return refuse(r, QOLVEN_INVALID_ARGUMENT,
                          "start trigger: pre-trigger time " + real(pre) + " s is outside 0.." + real(kLongestPre) + " s");
        r->settings.start = Crossing{true, device, quantity, edge, level};
        r->settings.pre = pre;
        return done(r);
    });
}

int qolven_recorder_set_stop_trigger(qolven_recorder *r, int device, int quantity, int edge, double level) {
    return setting(r, [&]() -> int {
        int status = checkCrossing(r, "stop trigger", device, quantity, edge, level);
        if (status != QOLVEN_OK) return status;
        r->settings.stop = Crossing{true, device, quantity, edge, level};
        return done(r);
    });
}

int qolven_recorder_set_limits(qolven_recorder *r, int device, int quantity, double low, double high) {
    return setting(r, [&]() -> int {
        int status = checkCrossing(r, "limits", device, quantity, QOLVEN_RECORD_RISING, 0);
        if (status != QOLVEN_OK) return status;
        if (std::isinf(low) || std::isinf(high))
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "limits: infinite; give NaN for no limit on that side");
        if (low > high)
            return refuse(r, QOLVEN_INVALID_ARGUMENT,
                          "limits: the lower limit " + real(low) + " is above the upper limit " + real(high));
        Limits &l = r->settings.limits[size_t(device)];
        l = Limits();
        if (!std::isnan(low) || !std::isnan(high)) l = Limits{true, quantity, low, high};
        return done(r);
    });
}

int qolven_recorder_set_stop_on_limit(qolven_recorder *r, int on) {
    return setting(r, [&]() -> int {
        if (on != 0 && on != 1) return refuse(r, QOLVEN_INVALID_ARGUMENT, "stop on limit " + std::to_string(on) + " is not 0 or 1");
        r->settings.stopOnLimit = on == 1;
        return done(r);
    });
}

int qolven_recorder_set_tare_at_start(qolven_recorder *r, int on) {
    return setting(r, [&]() -> int {
        if (on != 0 && on != 1) return refuse(r, QOLVEN_INVALID_ARGUMENT, "tare at start " + std::to_string(on) + " is not 0 or 1");
        r->settings.tareAtStart = on == 1;
        return done(r);
    });
}

int qolven_recorder_set_rotation(qolven_recorder *r, uint64_t bytes, double seconds) {
    return setting(r, [&]() -> int {
        if (bytes != 0 && bytes < kSmallestRotation)
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "rotation: " + std::to_string(bytes) + " bytes is below the " +
                                                          std::to_string(kSmallestRotation) + " a file holds at least");
        if (!(seconds == 0 || (seconds >= 1 && seconds <= 1e9)))
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "rotation: " + real(seconds) + " s is not 0 (none) or 1..1e9 s");
        r->settings.rotateBytes = bytes;
        r->settings.rotateSeconds = seconds;
        return done(r);
    });
}

int qolven_recorder_set_flush_interval(qolven_recorder *r, double seconds) {
    return setting(r, [&]() -> int {
        if (!(seconds >= 0.05 && seconds <= 1))
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "flush interval " + real(seconds) + " s is outside 0.05..1 s");
        r->settings.flushInterval = seconds;
        return done(r);
    });
}

int qolven_recorder_set_real_time(qolven_recorder *r, int on) {
    return setting(r, [&]() -> int {
        if (on != 0 && on != 1) return refuse(r, QOLVEN_INVALID_ARGUMENT, "real time " + std::to_string(on) + " is not 0 or 1");
        r->settings.realTime = on == 1;
        return done(r);
    });
}

int qolven_recorder_set_application(qolven_recorder *r, const char *name) {
    return setting(r, [&]() -> int {
        if (!name) return refuse(r, QOLVEN_INVALID_ARGUMENT, "application: the name is NULL");
        if (std::strlen(name) > kLongestApplication)
            return refuse(r, QOLVEN_INVALID_ARGUMENT,
                          "application: the name has more than " + std::to_string(kLongestApplication) + " bytes");
        r->settings.application = name;
        return done(r);
    });
}

int qolven_recorder_start(qolven_recorder *r) {
    if (!r) return QOLVEN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> join(r->joinM);
    {
        std::lock_guard<std::mutex> lock(r->m);
        if (running(r) || !r->joined) return refuse(r, QOLVEN_INVALID_ARGUMENT, "a recording is under way");
        int status = checkAll(r);
        if (status != QOLVEN_OK) return status;
        r->error.clear();
    }
    try {
        return startRecording(r);
    } catch (const std::exception &e) {
        return refuse(r, QOLVEN_INTERNAL, std::string("internal error: ") + e.what());
    }
}

int qolven_recorder_wait(qolven_recorder *r, int timeoutMs, int *finished) {
    if (!r) return QOLVEN_INVALID_ARGUMENT;
    if (!finished) return refuse(r, QOLVEN_INVALID_ARGUMENT, "the finished flag must be given");
    *finished = 0;
    if (timeoutMs < -1) return refuse(r, QOLVEN_INVALID_ARGUMENT, "time-out " + std::to_string(timeoutMs) + " ms is below -1");
    {
        std::unique_lock<std::mutex> lock(r->m);
        if (r->state.load() == QOLVEN_RECORD_IDLE && r->joined)
            return refuse(r, QOLVEN_INVALID_ARGUMENT, "no recording started");
        auto over = [&] { return r->state.load() == QOLVEN_RECORD_FINISHED; };
        if (timeoutMs < 0) r->changed.wait(lock, over);
        else if (!r->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), over)) return done(r);
    }
    {
        std::lock_guard<std::mutex> join(r->joinM);
        joinAll(r);
    }
    std::lock_guard<std::mutex> lock(r->m);
    *finished = 1;
    r->error = r->resultText;
    return r->result;
}

int qolven_recorder_stop(qolven_recorder *r) {
    // Atomics only: this runs in signal handlers too.
    if (!r) return QOLVEN_INVALID_ARGUMENT;
    if (!running(r)) return QOLVEN_INVALID_ARGUMENT;
    if (!r->stopRequested.load()) {
        r->stopAtNanos = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        r->stopRequested = true;
    }
    r->stopCalls.fetch_add(1);
    return QOLVEN_OK;
}

int qolven_recorder_tare(qolven_recorder *r, int device) {
    if (!r) return QOLVEN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(r->m);
    if (!running(r)) return refuse(r, QOLVEN_INVALID_ARGUMENT, "tare: no recording under way");
    if (device < -1 || device >= int(r->slots.size()))
        return refuse(r, QOLVEN_INVALID_ARGUMENT,
                      "tare: device " + std::to_string(device) + " is outside -1.." + std::to_string(r->slots.size() - 1));
    for (size_t i = 0; i < r->slots.size(); ++i)
        if (device < 0 || size_t(device) == i) r->slots[i]->tareRequested = true;
    return done(r);
}

int qolven_recorder_mark(qolven_recorder *r, const char *text) {
    if (!r) return QOLVEN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(r->m);
    if (!text) return refuse(r, QOLVEN_INVALID_ARGUMENT, "mark: the text is NULL");
    if (std::strlen(text) >= QOLVEN_RECORD_TEXT)
        return refuse(r, QOLVEN_INVALID_ARGUMENT,
                      "mark: the text has more than " + std::to_string(QOLVEN_RECORD_TEXT - 1) + " bytes");
    if (!running(r)) return refuse(r, QOLVEN_INVALID_ARGUMENT, "mark: no recording under way");
    Event e;
    e.kind = QOLVEN_RECORD_EVENT_MARK;
    e.time = monotonicNow() - r->time0;
    e.text = text;
    r->marks.push_back(e);
    return done(r);
}

int qolven_recorder_status(qolven_recorder *r, struct qolven_record_status *status) {
    if (!r || !status) return QOLVEN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(r->m);
    *status = r->status;
    status->state = r->state.load();
    if (status->state == QOLVEN_RECORD_IDLE) {
        *status = qolven_record_status{};
        std::snprintf(status->file, sizeof status->file, "%s", r->settings.path.c_str());
    } else if (status->state != QOLVEN_RECORD_FINISHED && r->writerReady) {
        status->elapsed = monotonicNow() - r->time0;
    }
    return QOLVEN_OK;
}

int qolven_recorder_device_count(qolven_recorder *r, int *count) {
    if (!r || !count) return QOLVEN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(r->m);
    *count = int(r->devices.size());
    return QOLVEN_OK;
}

int qolven_recorder_device_status(qolven_recorder *r, int device, struct qolven_record_device_status *status) {
    if (!r || !status) return QOLVEN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(r->m);
    if (device < 0 || size_t(device) >= r->devices.size())
        return refuse(r, QOLVEN_INVALID_ARGUMENT, "device " + std::to_string(device) + " is not one of the " +
                                                      std::to_string(r->devices.size()) + " added");
    if (size_t(device) < r->deviceStatus.size() && r->deviceStatus[size_t(device)].serial[0]) {
        *status = r->deviceStatus[size_t(device)];
    } else {
        *status = qolven_record_device_status{};
        std::snprintf(status->serial, sizeof status->serial, "%s", qolven_open_serial(r->devices[size_t(device)]));
        status->last_time = status->last_load = NAN;
    }
    return QOLVEN_OK;
}

int qolven_recorder_next_event(qolven_recorder *r, struct qolven_record_event *event, int *got) {
    if (!r || !event || !got) return QOLVEN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(r->m);
    *got = 0;
    if (r->events.empty()) return QOLVEN_OK;
    *event = r->events.front();
    r->events.pop_front();
    *got = 1;
    return QOLVEN_OK;
}

} // extern "C"
