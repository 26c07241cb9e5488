// `qolven stream`: fast data to CSV.
#include "cli.h"

#include <qolven.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace qolven_tool {
namespace {

using Clock = std::chrono::steady_clock;

// Reads that time out one after another before the stream gives up.
const int kTimeoutsInARow = 50;

// The samples of one fast-data answer, split by the library's C interface.
struct Records {
    std::vector<int32_t> numbers, channels, counts;
    size_t size = 0;

    // Empty, or what was wrong with the text.
    std::string parse(const std::string &text, int boardType) {
        char why[160] = "";
        size_t most = static_cast<size_t>(std::count(text.begin(), text.end(), '\t')) / 8 + 1;
        numbers.resize(most), channels.resize(most), counts.resize(most);
        if (qolven_fast_records(text.c_str(), boardType, numbers.data(), channels.data(), counts.data(), most, &size,
                                why, sizeof why) == QOLVEN_OK)
            return "";
        size = 0;
        return why;
    }
};

// The board numbers no packet, so a lost answer shows only as samples missing
// against its nominal rate.  Counting starts after the first answer: what the
// board had gathered before the stream began would hide as many losses.
struct Tally {
    double rate;
    bool started = false;
    Clock::time_point since{};
    long long received = 0;  // after the first answer
    long long packet = 0;    // most samples seen in one answer: what may still wait in the board

    void add(size_t samples, Clock::time_point at) {
        if (!started) {
            if (samples == 0) return;
            started = true;
            since = at;
            return;
        }
        received += static_cast<long long>(samples);
        packet = std::max<long long>(packet, static_cast<long long>(samples));
    }
    double elapsed(Clock::time_point now) const {
        return started ? std::chrono::duration<double>(now - since).count() : 0.0;
    }
    long long expected(Clock::time_point now) const { return std::llround(elapsed(now) * rate); }
    long long missing(Clock::time_point now) const {
        return std::max(0LL, expected(now) - received - std::max(packet, 1LL));
    }
};

struct Progress {
    bool enabled = isatty(STDERR_FILENO) != 0;
    Clock::time_point shown{};
    void show(const Tally &t, long long written, bool last) {
        auto now = Clock::now();
        if (!enabled || (!last && now - shown < std::chrono::milliseconds(250))) return;
        shown = now;
        double elapsed = t.elapsed(now);
        std::fprintf(stderr, "\rqolven: %lld samples, %.1f/s, %lld missing   %s", written,
                     elapsed > 0 ? t.received / elapsed : 0.0, t.missing(now), last ? "\n" : "");
        std::fflush(stderr);
    }
};

// Refuses a directory, and the file that keeps the virtual boards' registers:
// the CSV must not overwrite it.
void checkOutput(const Session &s, const std::string &path) {
    struct stat out, state;
    if (stat(path.c_str(), &out) != 0) return;  // a new file
    if (S_ISDIR(out.st_mode)) throw usageError("--output: " + printable(path) + " is a directory; name a file");
    if (s.stateFile.empty() || stat(s.stateFile.c_str(), &state) != 0) return;
    if (out.st_dev == state.st_dev && out.st_ino == state.st_ino)
        throw usageError("--output: " + printable(path) + " is the virtual boards' state file (" +
                         printable(s.stateFile) + "); name another file");
}

} // namespace

int commandStream(Session &s, Output &) {
    if (!s.options->arguments.empty())
        throw usageError("usage: qolven stream [--seconds S | --samples N] [--output FILE] [--strict]");
    double seconds = s.options->real("seconds", s.options->has("samples") ? 0 : 10);
    long long limit = s.options->integer("samples", 0);
    std::string path = s.options->text("output", "");
    if (!path.empty()) checkOutput(s, path);
    Device &d = *s.dev;

    // The fast-data request takes the board's identity as texts.
    s.identify();
    std::string versionText = identityCode(d.firmwareVersionText);
    std::string rateText = s.check(d.Get_ADC_Sampling_Rate(s.handle, s.channel), "sampling rate");
    std::string typeText = std::to_string(d.boardType);

    std::FILE *csv = stdout;
    std::string target = path.empty() ? std::string("standard output") : path;
    if (!path.empty() && !(csv = std::fopen(path.c_str(), "w"))) writeFailure(path, errno);
    struct Closer {
        std::FILE *file;
        ~Closer() {
            if (file != stdout) std::fclose(file);
        }
    } closer{csv};
    if (std::fprintf(csv, "sample,channel,count,time\n") < 0) writeFailure(target, errno);

    Tally tally{qolven_rate_samples_per_second(std::atoi(rateText.c_str()) & 15)};
    Progress progress;
    auto start = Clock::now();
    long long written = 0;
    int timeouts = 0;
    std::string failure;
    Records records;
    while (!interrupted()) {
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if ((seconds > 0 && elapsed >= seconds) || (limit > 0 && written >= limit)) break;
        std::string result;
        try {
            result = d.Fast_Data_Request(s.handle, 1, 0, typeText, rateText, versionText, s.channel);
        } catch (const std::exception &e) {
            failure = std::string("fast data: ") + e.what();
            break;
        }
        auto now = Clock::now();
        double arrival = std::chrono::duration<double>(now - start).count();
        if (result == "Error") {
            std::string reason = d.lastErrorText;
            if (interrupted()) break;
            if (reason == "Empty Buffer Error") {
                result.clear();  // the board had nothing to send
            } else if (reason == "Timeout Error" && ++timeouts < kTimeoutsInARow) {
                continue;
            } else {
                failure = "fast data: " + reason;
                break;
            }
        }
        timeouts = 0;
        std::string shape = records.parse(result, d.boardType);
        if (!shape.empty()) {
            failure = "fast data: " + shape;
            break;
        }
        tally.add(records.size, now);
        for (size_t i = 0; i < records.size; ++i) {
            if (limit > 0 && written >= limit) break;
            if (std::fprintf(csv, "%d,%d,%d,%.6f\n", static_cast<int>(records.numbers[i]),
                             static_cast<int>(records.channels[i]), static_cast<int>(records.counts[i]), arrival) < 0)
                writeFailure(target, errno);
            ++written;
        }
        progress.show(tally, written, false);
        // Nothing gathered yet: give the board time for about one sample instead of spinning.
        if (records.size == 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(1 / tally.rate, 0.02)));
    }
    auto end = Clock::now();
    progress.show(tally, written, true);
    errno = 0;
    if (std::fflush(csv) != 0 || std::ferror(csv)) writeFailure(target, errno);
    if (csv != stdout) {
        closer.file = stdout;
        if (std::fclose(csv) != 0) writeFailure(target, errno);
    }

    long long missing = tally.missing(end);
    std::fprintf(stderr, "qolven: stream: %lld samples written; %lld received in %.3f s after the first answer, "
                         "against %lld at the board's nominal %g/s\n",
                 written, tally.received, tally.elapsed(end), tally.expected(end), tally.rate);
    if (!failure.empty()) throw Failure(kExitDevice, failure);
    if (missing > 0) {
        std::fprintf(stderr, "qolven: warning: %lld samples missing beyond one packet (%lld): answers were lost\n",
                     missing, tally.packet);
        if (s.options->has("strict")) return kExitShortfall;
    }
    return kExitOk;
}

} // namespace qolven_tool
