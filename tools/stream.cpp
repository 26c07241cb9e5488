// `qolven stream`: fast data to CSV, a thin loop over the library's stream reader.
#include "cli.h"

#include <qolven.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace qolven_tool {
namespace {

using Clock = std::chrono::steady_clock;

// Samples taken from the library per call, and the longest wait of one call:
// the loop looks at the clock, the signal and the events this often.
constexpr size_t kBatch = 4096;
constexpr int kLongestWaitMs = 200;

struct Progress {
    bool enabled = isatty(STDERR_FILENO) != 0;
    Clock::time_point shown{};
    void show(const qolven_stream_info &st, long long written, bool last) {
        auto now = Clock::now();
        if (!enabled || (!last && now - shown < std::chrono::milliseconds(250))) return;
        shown = now;
        std::fprintf(stderr, "\rqolven: %lld samples, %.1f/s, %llu lost   %s", written,
                     st.elapsed > 0 ? static_cast<double>(st.received) / st.elapsed : 0.0,
                     static_cast<unsigned long long>(st.lost), last ? "\n" : "");
        std::fflush(stderr);
    }
};

// Lost samples, an unplugged bridge and its return, as warnings.
void reportEvents(Session &s, bool progressLine) {
    qolven_event event{};
    int got = 0;
    while (qolven_stream_next_event(s.dev(), &event, &got) == QOLVEN_OK && got) {
        std::fprintf(stderr, "%sqolven: warning: %s at %.3f s (sample %lld): %s\n", progressLine ? "\n" : "",
                     qolven_event_name(event.kind), event.time, static_cast<long long>(event.sequence),
                     safeText(event.text).c_str());
    }
}

struct Csv {
    std::FILE *file = stdout;
    std::string name = "standard output";

    void open(const std::string &path) {
        if (path.empty()) return;
        name = path;
        if (!(file = std::fopen(path.c_str(), "w"))) {
            file = stdout;
            writeFailure(path, errno);
        }
    }
    void close() {
        errno = 0;
        if (std::fflush(file) != 0 || std::ferror(file)) writeFailure(name, errno);
        if (file == stdout) return;
        std::FILE *f = file;
        file = stdout;
        if (std::fclose(f) != 0) writeFailure(name, errno);
    }
    ~Csv() {
        if (file != stdout) std::fclose(file);
    }
};

} // namespace

int commandStream(Session &s, Output &) {
    if (!s.options->arguments.empty())
        throw usageError("usage: qolven stream [--seconds S | --samples N] [--output FILE] [--strict] [--no-reconnect]");
    double seconds = s.options->real("seconds", s.options->has("samples") ? 0 : 10);
    long long limit = s.options->integer("samples", 0);
    qolven_device *d = s.dev();

    s.require(qolven_stream_set_reconnect(d, s.options->has("no-reconnect") ? 0 : 1), "--no-reconnect");
    s.require(qolven_stream_start(d, -1), "fast data");
    qolven_calibration calibration{};
    s.require(qolven_read_calibration(d, &calibration), "calibration");
    const bool withLoad = calibration.source != QOLVEN_LOAD_NONE;

    Csv csv;
    csv.open(s.options->text("output", ""));
    if (std::fprintf(csv.file, withLoad ? "sample,channel,count,time,load\n" : "sample,channel,count,time\n") < 0)
        writeFailure(csv.name, errno);

    std::vector<int64_t> sequence(kBatch);
    std::vector<int32_t> channel(kBatch), count(kBatch);
    std::vector<double> time(kBatch), load(kBatch);
    Progress progress;
    qolven_stream_info status{};
    const auto start = Clock::now();
    long long written = 0;
    std::string failure;
    int failureCode = kExitOk;
    while (!interrupted() && (limit == 0 || written < limit)) {
        double left = seconds > 0 ? seconds - std::chrono::duration<double>(Clock::now() - start).count() : 1e9;
        if (left <= 0) break;
        int wait = static_cast<int>(std::min<double>(kLongestWaitMs, std::ceil(left * 1000)));
        size_t capacity = limit > 0 ? static_cast<size_t>(std::min<long long>(kBatch, limit - written)) : kBatch;
        size_t received = 0;
        int code = qolven_stream_read_samples(d, sequence.data(), channel.data(), count.data(), time.data(),
                                              load.data(), capacity, &received, wait);
        if (code == QOLVEN_INTERRUPTED) break;
        if (code != QOLVEN_OK) {
            if (interrupted() && transfersCut()) break;
            failure = "fast data: " + safeText(qolven_error_text(d));
            failureCode = exitCodeOf(code);
            break;
        }
        for (size_t i = 0; i < received; ++i) {
            int n = std::fprintf(csv.file, "%lld,%d,%d,%.6f", static_cast<long long>(sequence[i]),
                                 static_cast<int>(channel[i]), static_cast<int>(count[i]), time[i]);
            if (n >= 0 && withLoad) {
                char text[64] = "";
                if (!std::isnan(load[i])) qolven_format_load(&calibration, load[i], text, sizeof text);
                n = std::fprintf(csv.file, ",%s", text);
            }
            if (n < 0 || std::fputc('\n', csv.file) == EOF) writeFailure(csv.name, errno);
            ++written;
        }
        // Rows reach a reader (tail -f, a pipe) as they come, and a full disk shows at once.
        if (received > 0 && std::fflush(csv.file) != 0) writeFailure(csv.name, errno);
        qolven_stream_status(d, &status);
        reportEvents(s, progress.enabled);
        progress.show(status, written, false);
    }
    qolven_stream_status(d, &status);
    reportEvents(s, progress.enabled);
    progress.show(status, written, true);
    qolven_stream_stop(d);
    csv.close();

    std::fprintf(stderr,
                 "qolven: stream: %lld samples written in %.3f s; received %llu, lost %llu (basis %s, nominal %g/s), "
                 "time-outs %llu, failed requests %llu, reconnects %llu\n",
                 written, status.elapsed, static_cast<unsigned long long>(status.received),
                 static_cast<unsigned long long>(status.lost), qolven_loss_basis_name(status.loss_basis),
                 status.nominal_rate, static_cast<unsigned long long>(status.timeouts),
                 static_cast<unsigned long long>(status.failed_requests),
                 static_cast<unsigned long long>(status.reconnects));
    if (!failure.empty()) throw Failure(failureCode, failure);
    if (status.lost > 0 && s.options->has("strict")) {
        std::fprintf(stderr, "qolven: %llu samples were lost (--strict)\n", static_cast<unsigned long long>(status.lost));
        return kExitShortfall;
    }
    return kExitOk;
}

} // namespace qolven_tool
