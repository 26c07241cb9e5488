// `qolven record`: one or several devices into one HDF5 or CSV file, through
// the recorder library (include/qolven_record.h).
#include "backend.h"
#include "cli.h"

#include <qolven.h>
#include <qolven_record.h>

#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

namespace qolven_tool {
namespace {

using Kind = OptionSpec::Kind;

std::vector<std::string> fields(const std::string &text, char separator) {
    std::vector<std::string> out;
    std::string field;
    std::istringstream in(text);
    while (std::getline(in, field, separator)) out.push_back(field);
    if (!text.empty() && text.back() == separator) out.push_back("");
    return out;
}

// A level: any finite number ("9000000", "-2.5", "1e6").
bool level(const std::string &text, double *value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char *end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end && *end == 0 && std::isfinite(*value);
}

struct CrossingSpec {
    std::string serial;  // "" for the first device
    int edge = QOLVEN_RECORD_RISING;
    int quantity = QOLVEN_RECORD_COUNT;
    double level = 0;
};

std::string crossingProblem(const std::string &text, CrossingSpec *out) {
    std::vector<std::string> f = fields(text, ':');
    if (f.size() != 3 && f.size() != 4)
        return quote(text) + " is not [SERIAL:]EDGE:QUANTITY:LEVEL, e.g. rising:count:9000000";
    CrossingSpec c;
    size_t i = 0;
    if (f.size() == 4) c.serial = f[i++];
    if (f.size() == 4 && c.serial.empty()) return quote(text) + ": the serial number is empty";
    if (f[i] == "rising") c.edge = QOLVEN_RECORD_RISING;
    else if (f[i] == "falling") c.edge = QOLVEN_RECORD_FALLING;
    else return quote(f[i]) + " is not an edge (rising or falling)";
    ++i;
    if (f[i] == "count") c.quantity = QOLVEN_RECORD_COUNT;
    else if (f[i] == "load") c.quantity = QOLVEN_RECORD_LOAD;
    else return quote(f[i]) + " is not count or load";
    ++i;
    if (!level(f[i], &c.level)) return quote(f[i]) + " is not a number (the level)";
    if (out) *out = c;
    return "";
}

std::string crossingCheck(const std::string &text) { return crossingProblem(text, nullptr); }

struct LimitSpec {
    std::string serial;  // "" for every device
    int quantity = QOLVEN_RECORD_COUNT;
    double low = NAN, high = NAN;
};

std::string limitsProblem(const std::string &text, std::vector<LimitSpec> *out) {
    for (const std::string &one : fields(text, ',')) {
        std::vector<std::string> f = fields(one, ':');
        if (f.size() != 3 && f.size() != 4)
            return quote(one) + " is not [SERIAL:]QUANTITY:LOW:HIGH, e.g. count:8000000:9000000 or load::50";
        LimitSpec l;
        size_t i = 0;
        if (f.size() == 4) l.serial = f[i++];
        if (f.size() == 4 && l.serial.empty()) return quote(one) + ": the serial number is empty";
        if (f[i] == "count") l.quantity = QOLVEN_RECORD_COUNT;
        else if (f[i] == "load") l.quantity = QOLVEN_RECORD_LOAD;
        else return quote(f[i]) + " is not count or load";
        ++i;
        if (!f[i].empty() && !level(f[i], &l.low)) return quote(f[i]) + " is not a number (the lower limit)";
        if (!f[i + 1].empty() && !level(f[i + 1], &l.high)) return quote(f[i + 1]) + " is not a number (the upper limit)";
        if (f[i].empty() && f[i + 1].empty()) return quote(one) + " gives neither a lower nor an upper limit";
        if (l.low > l.high) return quote(one) + ": the lower limit is above the upper one";
        if (out) out->push_back(l);
    }
    return "";
}

std::string limitsCheck(const std::string &text) { return limitsProblem(text, nullptr); }

// "500M", "2G", "65536": bytes, with K, M, G for powers of 1024.
std::string sizeProblem(const std::string &text, uint64_t *bytes) {
    const std::string digits = text.empty() ? text : text.substr(0, text.find_first_not_of("0123456789"));
    const std::string unit = text.substr(digits.size());
    uint64_t factor = 1;
    if (unit == "K" || unit == "k") factor = 1ull << 10;
    else if (unit == "M" || unit == "m") factor = 1ull << 20;
    else if (unit == "G" || unit == "g") factor = 1ull << 30;
    else if (!unit.empty()) return quote(text) + " is not a size (a number, optionally followed by K, M or G)";
    if (digits.empty() || digits.size() > 12) return quote(text) + " is not a size (a number, optionally followed by K, M or G)";
    uint64_t value = std::strtoull(digits.c_str(), nullptr, 10) * factor;
    if (value < 65536) return quote(text) + " is below 64K, the smallest file size to rotate at";
    if (bytes) *bytes = value;
    return "";
}

std::string sizeCheck(const std::string &text) { return sizeProblem(text, nullptr); }

std::string outputCheck(const std::string &path) { return path.empty() ? "empty; give a file name" : ""; }

// ---- the recording's own signal handling: the first signal stops the
// recording (the file is closed whole), a second one cuts the collecting short.

std::atomic<qolven_recorder *> g_recorder{nullptr};
volatile std::sig_atomic_t g_recordSignal = 0;

extern "C" void onRecordSignal(int number) {
    if (g_recordSignal == 0) g_recordSignal = number;
    if (qolven_recorder *r = g_recorder.load()) qolven_recorder_stop(r);
}

struct SignalScope {
    struct sigaction previous[3];
    static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
    explicit SignalScope(qolven_recorder *r) {
        g_recorder = r;
        struct sigaction action = {};
        action.sa_handler = onRecordSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &previous[i]);
    }
    ~SignalScope() {
        for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &previous[i], nullptr);
        g_recorder = nullptr;
    }
};

std::string signalName(int number) {
    switch (number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(number);
    }
}

// ---- devices

struct Devices {
    std::vector<qolven_device *> list;
    ~Devices() {
        for (qolven_device *d : list) qolven_destroy(d);
    }
};

int exitFor(int status) {
    switch (status) {
    case QOLVEN_OK: return kExitOk;
    case QOLVEN_RECORD_WRITE_FAILED: return kExitWrite;
    case QOLVEN_INVALID_ARGUMENT:
    case QOLVEN_UNKNOWN_NAME:
    case QOLVEN_NOT_SUPPORTED: return kExitUsage;
    case QOLVEN_NO_DEVICE: return kExitNoDevice;
    default: return kExitDevice;
    }
}

std::vector<std::string> allSerials() {
    std::unique_ptr<qolven_device, void (*)(qolven_device *)> probe(qolven_create(), qolven_destroy);
    if (!probe) throw Failure(kExitDevice, "out of memory");
    int count = 0;
    if (qolven_device_count(probe.get(), &count) != QOLVEN_OK)
        throw Failure(kExitDevice, std::string("count devices: ") + qolven_error_text(probe.get()));
    std::vector<std::string> serials;
    for (int i = 0; i < count; ++i) {
        char serial[256];
        if (qolven_device_serial(probe.get(), i, serial, sizeof serial) != QOLVEN_OK)
            throw Failure(kExitDevice, "serial number of device " + std::to_string(i) + ": " +
                                           qolven_error_text(probe.get()));
        serials.push_back(serial);
    }
    if (serials.empty()) throw Failure(kExitNoDevice, "no device attached");
    return serials;
}

void openAll(const Session &s, const std::vector<std::string> &serials, Devices &devices) {
    for (const std::string &serial : serials) {
        qolven_device *d = qolven_create();
        if (!d) throw Failure(kExitDevice, "out of memory");
        devices.list.push_back(d);
        int status = qolven_open(d, serial.empty() ? nullptr : serial.c_str());
        if (status != QOLVEN_OK)
            throw Failure(status == QOLVEN_NO_DEVICE ? kExitNoDevice : kExitDevice,
                          "open " + (serial.empty() ? std::string("the device") : printable(serial)) + ": " +
                              qolven_error_text(d));
        if (s.options->has("channel") && qolven_set_channel(d, s.channel) != QOLVEN_OK)
            throw Failure(kExitUsage, std::string("--channel: ") + qolven_error_text(d));
    }
}

int deviceIndex(const Devices &devices, const std::string &serial, const std::string &option) {
    if (serial.empty()) return 0;
    for (size_t i = 0; i < devices.list.size(); ++i)
        if (serial == qolven_open_serial(devices.list[i])) return int(i);
    throw usageError(option + ": " + printable(serial) + " is not one of the devices recorded");
}

// The output must not be the virtual boards' state file.
void checkOutput(const Session &s, const std::string &path) {
    struct stat out, state;
    if (s.stateFile.empty() || stat(path.c_str(), &out) != 0 || stat(s.stateFile.c_str(), &state) != 0) return;
    if (out.st_dev == state.st_dev && out.st_ino == state.st_ino)
        throw usageError("--output: " + printable(path) + " is the virtual boards' state file; name another file");
}

// ---- commands typed while recording (a terminal in the foreground, a pipe or a file)

bool commandsFromInput() {
    struct stat st;
    if (fstat(STDIN_FILENO, &st) != 0) return false;
    if (isatty(STDIN_FILENO)) return tcgetpgrp(STDIN_FILENO) == getpgrp();  // a background job must not read
    return S_ISFIFO(st.st_mode) || S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode);
}

void obey(qolven_recorder *r, const Devices &devices, const std::string &line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    std::string rest;
    std::getline(in, rest);
    rest.erase(0, rest.find_first_not_of(" \t"));
    int status = QOLVEN_OK;
    if (word.empty()) return;
    if (word == "tare" || word == "t") {
        int device = -1;
        if (!rest.empty()) {
            device = -2;
            for (size_t i = 0; i < devices.list.size(); ++i)
                if (rest == qolven_open_serial(devices.list[i])) device = int(i);
            if (device == -2) {
                std::fprintf(stderr, "qolven: tare: %s is not one of the devices recorded\n", printable(rest).c_str());
                return;
            }
        }
        status = qolven_recorder_tare(r, device);
    } else if (word == "mark" || word == "m") {
        status = qolven_recorder_mark(r, rest.c_str());
    } else if (word == "stop" || word == "q") {
        status = qolven_recorder_stop(r);
    } else {
        std::fprintf(stderr, "qolven: %s is not a command while recording (tare [SERIAL], mark TEXT, stop)\n",
                     printable(word).c_str());
        return;
    }
    if (status != QOLVEN_OK) std::fprintf(stderr, "qolven: %s: %s\n", word.c_str(), qolven_recorder_error_text(r));
}

class InputCommands {
public:
    InputCommands(qolven_recorder *r, const Devices &devices) {
        if (commandsFromInput()) thread_ = std::thread([this, r, &devices] { run(r, devices); });
    }
    ~InputCommands() {
        over_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    void run(qolven_recorder *r, const Devices &devices) {
        std::string line;
        char buffer[512];
        while (!over_) {
            struct pollfd p = {STDIN_FILENO, POLLIN, 0};
            int ready = poll(&p, 1, 100);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) continue;
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // end of input: nothing more to obey
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    if (line.size() < 4096) line += buffer[i];
                    continue;
                }
                obey(r, devices, line);
                line.clear();
            }
        }
    }
    std::atomic<bool> over_{false};
    std::thread thread_;
};

struct Progress {
    bool enabled = isatty(STDERR_FILENO) != 0;
    void show(qolven_recorder *r, bool last) {
        if (!enabled) return;
        qolven_record_status st{};
        qolven_recorder_status(r, &st);
        std::fprintf(stderr, "\rqolven: %s %.1f s, %llu samples, %llu lost, %.1f MB   %s",
                     qolven_record_state_name(st.state), st.elapsed, (unsigned long long)st.samples,
                     (unsigned long long)st.lost, double(st.bytes) / 1e6, last ? "\n" : "");
        std::fflush(stderr);
    }
};

} // namespace

const std::vector<OptionSpec> &recordOptions() {
    static const std::vector<OptionSpec> rows = {
        {"all", Kind::Flag, "", "record every attached device"},
        {"output", Kind::Text, "FILE", "the file: FILE.h5 or FILE.hdf5 (HDF5), FILE.csv", 0, 0, false, outputCheck},
        {"rate", Kind::Integer, "CODE", "sampling-rate code of every board (default: each board's own)", 0, 15},
        {"seconds", Kind::Real, "S", "how long to record (after the start trigger with --start-on)", 0, 1e9, true},
        {"start-on", Kind::Text, "TRIGGER",
         "start at a level crossing, [SERIAL:]EDGE:QUANTITY:LEVEL,\ne.g. rising:count:9000000 (default device: the first)",
         0, 0, false, crossingCheck},
        {"pre", Kind::Real, "S", "keep the S seconds before the start trigger", 0, 600},
        {"stop-on", Kind::Text, "TRIGGER", "stop at a level crossing after the start (as --start-on)", 0, 0, false,
         crossingCheck},
        {"limit", Kind::Text, "LIMITS",
         "[SERIAL:]QUANTITY:LOW:HIGH[,...]: limits whose crossings are events;\nLOW or HIGH may be empty; without "
         "SERIAL for every device",
         0, 0, false, limitsCheck},
        {"stop-on-limit", Kind::Flag, "", "end the recording at the first limit crossing"},
        {"tare", Kind::Flag, "", "take each device's live value as its zero first (host side)"},
        {"rotate-size", Kind::Text, "SIZE", "a new file when one reaches SIZE (e.g. 500M, 2G)", 0, 0, false, sizeCheck},
        {"rotate-seconds", Kind::Real, "S", "a new file every S seconds", 1, 1e9},
        {"overwrite", Kind::Flag, "", "replace an existing file"},
        {"strict", Kind::Flag, "", "a sample known lost ends with exit code 5"},
    };
    return rows;
}

std::string recordDetails() {
    return "\nDevices: --serial S [S ...] names them (the further serial numbers follow the first), --all takes\n"
           "every attached one, neither the only one attached.  They start together and share one clock:\n"
           "time is seconds since the earliest stream start.  Without --seconds or a stop condition the\n"
           "recording runs until Ctrl-C (or SIGTERM), which closes the file whole (exit code 128+signal).\n"
           "While recording, lines on standard input (a terminal in the foreground, or a pipe) are\n"
           "commands: \"tare [SERIAL]\", \"mark TEXT\", \"stop\".\n"
           "QUANTITY is count or load (a load needs the board's calibration); EDGE rising or falling.\n"
           "With rotation the files are FILE-0001.h5, FILE-0002.h5, ..., each complete on its own.\n"
           "The file layout is in recording.md of the documentation.\n";
}

int commandRecord(Session &s, Output &out) {
    const Options &o = *s.options;
    if (!o.has("output")) throw usageError("record: --output FILE.h5 or FILE.csv is required");
    if (!o.arguments.empty() && !o.has("serial"))
        throw usageError("record: unexpected " + quote(o.arguments.front()) + " (further serial numbers follow --serial)");
    if (o.has("all") && o.has("serial")) throw usageError("record: --all and --serial exclude each other");
    if (o.has("pre") && !o.has("start-on")) throw usageError("record: --pre needs --start-on");
    if (o.has("stop-on-limit") && !o.has("limit")) throw usageError("record: --stop-on-limit needs --limit");
    std::vector<std::string> serials;
    if (o.has("serial")) {
        serials.push_back(o.text("serial", ""));
        for (const std::string &more : o.arguments) {
            if (more.empty() || more.size() > 15)
                throw usageError("record: " + quote(more) + " is not a serial number (1 to 15 characters)");
            serials.push_back(more);
        }
    } else if (o.has("all")) {
        serials = allSerials();
    } else {
        serials.push_back("");  // the only device attached
    }
    CrossingSpec start, stop;
    if (o.has("start-on")) crossingProblem(o.text("start-on", ""), &start);
    if (o.has("stop-on")) crossingProblem(o.text("stop-on", ""), &stop);
    std::vector<LimitSpec> limits;
    if (o.has("limit")) limitsProblem(o.text("limit", ""), &limits);
    uint64_t rotateBytes = 0;
    if (o.has("rotate-size")) sizeProblem(o.text("rotate-size", ""), &rotateBytes);
    const std::string path = o.text("output", "");
    checkOutput(s, path);

    std::unique_ptr<qolven_recorder, void (*)(qolven_recorder *)> recorder(qolven_recorder_create(),
                                                                          qolven_recorder_destroy);
    qolven_recorder *r = recorder.get();
    if (!r) throw Failure(kExitDevice, "out of memory");
    auto setting = [&](int status, const std::string &what) {
        if (status != QOLVEN_OK) throw Failure(exitFor(status), what + ": " + qolven_recorder_error_text(r));
    };
    // The file first: a name that cannot be written is refused before any device is opened.
    setting(qolven_recorder_set_output(r, path.c_str(), o.has("overwrite") ? 1 : 0), "--output");
    Devices devices;
    openAll(s, serials, devices);
    for (qolven_device *d : devices.list) setting(qolven_recorder_add_device(r, d), "record");
    if (o.has("rate")) setting(qolven_recorder_set_rate(r, int(o.integer("rate", -1))), "--rate");
    if (o.has("seconds")) setting(qolven_recorder_set_duration(r, o.real("seconds", 0)), "--seconds");
    if (o.has("start-on"))
        setting(qolven_recorder_set_start_trigger(r, deviceIndex(devices, start.serial, "--start-on"), start.quantity,
                                                  start.edge, start.level, o.real("pre", 0)),
                "--start-on");
    if (o.has("stop-on"))
        setting(qolven_recorder_set_stop_trigger(r, deviceIndex(devices, stop.serial, "--stop-on"), stop.quantity,
                                                 stop.edge, stop.level),
                "--stop-on");
    for (const LimitSpec &l : limits) {
        if (l.serial.empty()) {
            for (size_t i = 0; i < devices.list.size(); ++i)
                setting(qolven_recorder_set_limits(r, int(i), l.quantity, l.low, l.high), "--limit");
        } else {
            setting(qolven_recorder_set_limits(r, deviceIndex(devices, l.serial, "--limit"), l.quantity, l.low, l.high),
                    "--limit");
        }
    }
    if (o.has("stop-on-limit")) setting(qolven_recorder_set_stop_on_limit(r, 1), "--stop-on-limit");
    if (o.has("tare")) setting(qolven_recorder_set_tare_at_start(r, 1), "--tare");
    if (rotateBytes || o.has("rotate-seconds"))
        setting(qolven_recorder_set_rotation(r, rotateBytes, o.real("rotate-seconds", 0)), "rotation");
    const std::string application = std::string("qolven ") + qolven_version();
    setting(qolven_recorder_set_application(r, application.c_str()), "record");

    int result = QOLVEN_OK;
    if (interrupted()) return kExitSignal + interruptingSignal();
    {
        SignalScope signals(r);
        setting(qolven_recorder_start(r), "record");
        InputCommands input(r, devices);
        Progress progress;
        int finished = 0;
        while (!finished) {
            result = qolven_recorder_wait(r, 250, &finished);
            if (!finished) progress.show(r, false);
        }
        progress.show(r, true);
    }

    qolven_record_status st{};
    qolven_recorder_status(r, &st);
    const std::string reason = qolven_recorder_error_text(r);
    int count = 0;
    qolven_recorder_device_count(r, &count);
    if (out.json()) {
        out.put("file", st.file);
        out.put("files", st.file_index ? st.file_index : 1);
        out.put("samples", st.samples);
        out.put("lost", st.lost);
        out.put("events", st.events);
        out.put("bytes", st.bytes);
        out.put("start-spread", st.start_spread);
        out.put("stop-reason", st.stop_reason);
        Json &list = out.list("devices");
        for (int i = 0; i < count; ++i) {
            qolven_record_device_status ds{};
            qolven_recorder_device_status(r, i, &ds);
            list.push_back(Json{{"serial", ds.serial}, {"board-type", ds.board_type}, {"rate-code", ds.rate_code},
                                {"samples", ds.samples}, {"lost", ds.lost}});
        }
    } else {
        out.field("file", st.file);
        if (st.file_index) out.field("files", std::to_string(st.file_index));
        out.field("samples", std::to_string(st.samples));
        out.field("lost", std::to_string(st.lost));
        out.field("events", std::to_string(st.events));
        out.field("stop-reason", st.stop_reason);
        for (int i = 0; i < count; ++i) {
            qolven_record_device_status ds{};
            qolven_recorder_device_status(r, i, &ds);
            out.field(std::string("device ") + ds.serial,
                      std::to_string(ds.samples) + " samples, " + std::to_string(ds.lost) + " lost");
        }
    }
    if (result != QOLVEN_OK) throw Failure(exitFor(result), "record: " + reason);
    if (g_recordSignal) {
        std::fflush(stdout);
        std::fprintf(stderr, "qolven: recording ended by %s; %s closed whole\n", signalName(g_recordSignal).c_str(),
                     st.file);
        return kExitSignal + g_recordSignal;
    }
    if (st.lost > 0) {
        std::fprintf(stderr, "qolven: warning: %llu samples known lost (the events say where)\n",
                     (unsigned long long)st.lost);
        if (o.has("strict")) return kExitShortfall;
    }
    return kExitOk;
}

} // namespace qolven_tool
