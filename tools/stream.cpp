// `qolven stream`: fast data to CSV.
#include "cli.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace qolven_tool {
namespace {

using Clock = std::chrono::steady_clock;

// Nominal samples per second of the sampling-rate codes 0..15.
const double kRates[16] = {2.5, 10, 20, 25, 30, 50, 60, 80, 100, 150, 200, 250, 300, 500, 750, 1000};
// A packet's worth of samples may still wait in the board; only a shortfall beyond it counts as lost.
const long long kSlack = 65;
// Reads that time out one after another before the stream gives up.
const int kTimeoutsInARow = 50;

struct Record {
    std::string sample, channel, count;
};

// Records come tab-separated (separator choice 1): sample, total, [channel,] count,
// three empty fields, date, time, each record ending with a tab.
std::vector<Record> parseRecords(const std::string &text, bool channelField) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = text.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(text.substr(start, tab - start));
    const size_t width = channelField ? 9 : 8;
    std::vector<Record> records;
    for (size_t i = 0; i + width <= fields.size(); i += width)
        records.push_back({fields[i], channelField ? fields[i + 2] : "0", fields[i + (channelField ? 3 : 2)]});
    return records;
}

struct Progress {
    bool enabled = isatty(STDERR_FILENO) != 0;
    Clock::time_point shown{};
    void show(long long samples, double elapsed, double rate, bool last) {
        if (!enabled || (!last && Clock::now() - shown < std::chrono::milliseconds(250))) return;
        shown = Clock::now();
        long long expected = static_cast<long long>(elapsed * rate);
        long long lost = std::max(0LL, expected - samples - kSlack);
        std::fprintf(stderr, "\rqolven: %lld samples, %.1f/s, %lld lost   %s", samples,
                     elapsed > 0 ? samples / elapsed : 0.0, lost, last ? "\n" : "");
        std::fflush(stderr);
    }
};

} // namespace

int commandStream(Session &s, Output &) {
    if (!s.options->arguments.empty())
        throw usageError("usage: qolven stream [--seconds S | --samples N] [--output FILE]");
    double seconds = s.options->real("seconds", s.options->has("samples") ? 0 : 10, 0, 1e9);
    long long limit = s.options->integer("samples", 0, 1, 1LL << 40);
    Device &d = *s.dev;

    // The fast-data request takes the board's identity as texts.
    s.identify();
    std::string versionText = identityCode(d.firmwareVersionText);
    std::string rateText = s.check(d.Get_ADC_Sampling_Rate(s.handle, s.channel), "sampling rate");
    std::string typeText = std::to_string(d.boardType);
    double rate = kRates[std::atoi(rateText.c_str()) & 15];

    std::FILE *csv = stdout;
    std::string path = s.options->text("output", "");
    if (!path.empty() && !(csv = std::fopen(path.c_str(), "w")))
        throw Failure(kExitDevice, "cannot write " + path);
    std::fprintf(csv, "sample,channel,count,time\n");

    Progress progress;
    auto start = Clock::now();
    long long written = 0;
    int timeouts = 0;
    std::string failure;
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
        double arrival = std::chrono::duration<double>(Clock::now() - start).count();
        if (result == "Error") {
            std::string reason = d.lastErrorText;
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
        std::vector<Record> records = parseRecords(result, d.boardType == 9);
        for (const Record &r : records) {
            if (limit > 0 && written >= limit) break;
            std::fprintf(csv, "%s,%s,%s,%.6f\n", r.sample.c_str(), r.channel.c_str(), r.count.c_str(), arrival);
            ++written;
        }
        progress.show(written, arrival, rate, false);
        // Nothing gathered yet: give the board time for about one sample instead of spinning.
        if (records.empty()) std::this_thread::sleep_for(std::chrono::duration<double>(std::min(1 / rate, 0.02)));
    }
    progress.show(written, std::chrono::duration<double>(Clock::now() - start).count(), rate, true);
    bool closed = csv == stdout ? std::fflush(csv) == 0 : std::fclose(csv) == 0;
    if (!closed) throw Failure(kExitDevice, "cannot write " + (path.empty() ? std::string("standard output") : path));
    if (!failure.empty()) throw Failure(kExitDevice, failure);
    return interrupted() ? kExitInterrupted : kExitOk;
}

} // namespace qolven_tool
