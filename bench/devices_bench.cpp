// Many devices from one process, as a test rig drives its load cells: one
// virtual board, one library object and one thread per device, every device
// streaming fast data at rate code 15 (1000 samples/s) for a while.
//
//   devices_bench [seconds] [N ...]     (default 10 s; N = 1 2 4 8 16 32)
//
// Per N it prints one row of a Markdown table: samples/s per device (mean
// and the slowest device), samples the boards dropped (their own counters:
// the board keeps 64 samples, so a host away longer than 64 ms loses some),
// samples the boards sent that never arrived, failed calls, the process's
// CPU in cores, the wall time of a call (median, p99), and the longest
// interval between two calls of one device.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRateCode = 15;
constexpr int kSlot = 0;
constexpr double kSettleS = 0.3;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> &v, double p) {
    if (v.empty()) return 0;
    const size_t at = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + long(at), v.end());
    return v[at];
}

// One device's thread: calls back to back.  Its window opens after the
// first call that sees `open` and closes after the first that no longer
// does; the board's counters are read at both edges, right after a call, so
// that what it delivered in between is exactly what the window received
// unless something was lost on the way.
struct Device {
    std::unique_ptr<qbench::Board> board;
    long samples = 0, failed = 0;
    qolven_sim::FastCounters atOpen, atClose;
    double windowS = 0, longestIntervalUs = 0;
    std::string firstFailure;
    std::vector<double> wallUs;

    void run(const std::atomic<bool> &open, const std::atomic<bool> &stop) {
        qbench::QOLVEN_USB_DLL &dev = board->dev();
        const std::string &serial = board->serial();
        const std::string rate = std::to_string(kRateCode);
        enum { Before, Measuring, Done } state = Before;
        Clock::time_point opened, previousStart;
        while (!stop) {
            const auto t0 = Clock::now();
            const std::string text = dev.Fast_Data_Request(board->handle(), 1, kSlot, "2", rate, "4", 0);
            const auto t1 = Clock::now();
            int n = 0;
            if (text != "Error") n = text.empty() ? 0 : std::min(dev.samplesPerPacket[kSlot][0][0], int(dev.POSITIONS));
            if (state == Before && open) {
                state = Measuring;
                atOpen = qolven_sim::fast_counters(serial);
                opened = previousStart = Clock::now();
                continue;
            }
            if (state != Measuring) continue;
            longestIntervalUs =
                std::max(longestIntervalUs, std::chrono::duration<double, std::micro>(t0 - previousStart).count());
            previousStart = t0;
            wallUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            if (text == "Error" && failed++ == 0) firstFailure = dev.lastErrorText;
            samples += n;
            if (!open) {
                state = Done;
                atClose = qolven_sim::fast_counters(serial);
                windowS = std::chrono::duration<double>(Clock::now() - opened).count();
            }
        }
    }
};

struct Row {
    int devices;
    double perDeviceMean = 0, perDeviceMin = 1e18, cores = 0, medianUs = 0, p99Us = 0, longestIntervalMs = 0;
    long dropped = 0, lostOnTheWay = 0, failed = 0;
    std::string firstFailure;
};

bool runOnce(int n, double seconds, Row &row) {
    qolven_sim::reset();
    std::vector<Device> devices(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "DEV%03d", i);
        Device &d = devices[size_t(i)];
        d.board = std::make_unique<qbench::Board>(2, qolven_sim::BoardConfig().answerDelayUs, serial);
        if (!d.board->opened()) {
            std::fprintf(stderr, "cannot open %s: %s\n", serial, d.board->dev().lastErrorText);
            return false;
        }
        d.board->setRateCode(kRateCode);
        d.board->dev().Get_Version_of_Board(d.board->handle());  // fast data wants a known board type
        if (d.board->dev().boardType != 2) {
            std::fprintf(stderr, "identification of %s failed: %s\n", serial, d.board->dev().lastErrorText);
            return false;
        }
        d.wallUs.reserve(size_t(seconds * 1000) + 1000);
    }
    // The call log would otherwise grow by every call of every device.
    qolven_sim::clear_calls();

    std::atomic<bool> open{false}, stop{false};
    std::vector<std::thread> threads;
    for (Device &d : devices) threads.emplace_back([&d, &open, &stop] { d.run(open, stop); });

    // Settle: the boards' queues filled while nobody asked.
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettleS));
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    open = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    open = false;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpu0;
    stop = true;
    for (std::thread &t : threads) t.join();

    row = Row{};
    row.devices = n;
    row.cores = cpu / elapsed;
    std::vector<double> wall;
    for (Device &d : devices) {
        if (d.windowS <= 0) {
            std::fprintf(stderr, "%s: no call saw the window close\n", d.board->serial().c_str());
            return false;
        }
        const double rate = double(d.samples) / d.windowS;
        row.perDeviceMean += rate / n;
        row.perDeviceMin = std::min(row.perDeviceMin, rate);
        row.dropped += long(d.atClose.dropped - d.atOpen.dropped);
        row.lostOnTheWay += long(d.atClose.delivered - d.atOpen.delivered) - d.samples;
        row.failed += d.failed;
        if (row.firstFailure.empty()) row.firstFailure = d.firstFailure;
        row.longestIntervalMs = std::max(row.longestIntervalMs, d.longestIntervalUs / 1000);
        wall.insert(wall.end(), d.wallUs.begin(), d.wallUs.end());
    }
    row.medianUs = percentile(wall, 0.5);
    row.p99Us = percentile(wall, 0.99);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    double seconds = 10;
    std::vector<int> counts;
    if (argc > 1) seconds = std::atof(argv[1]);
    for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {1, 2, 4, 8, 16, 32};
    if (!(seconds > 0) || std::any_of(counts.begin(), counts.end(), [](int n) { return n < 1 || n > 127; })) {
        std::fprintf(stderr, "usage: %s [seconds > 0] [devices 1..127 ...]\n", argv[0]);
        return 2;
    }

    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("fast data, board type 2, rate code %d (1000 samples/s), answer delay %u us, %.0f s per row;"
                " load average before: %.2f %.2f %.2f\n\n",
                kRateCode, qolven_sim::BoardConfig().answerDelayUs, seconds, load[0], load[1], load[2]);
    std::printf("| devices | samples/s per device, mean / slowest | dropped by the boards | lost on the way | failed calls"
                " | process CPU, cores (per device) | call wall time, median / p99 | longest interval between calls |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    bool ok = true;
    for (int n : counts) {
        Row r;
        if (!runOnce(n, seconds, r)) return 1;
        std::printf("| %d | %.0f / %.0f | %ld | %ld | %ld%s%s%s | %.2f (%.3f) | %.0f / %.0f us | %.1f ms |\n", r.devices,
                    r.perDeviceMean, r.perDeviceMin, r.dropped, r.lostOnTheWay, r.failed,
                    r.failed ? " (\"" : "", r.firstFailure.c_str(), r.failed ? "\")" : "", r.cores, r.cores / n,
                    r.medianUs, r.p99Us, r.longestIntervalMs);
        std::fflush(stdout);
        ok = ok && r.perDeviceMin > 0;
    }
    getloadavg(load, 3);
    std::printf("\nload average after: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return ok ? 0 : 1;
}
