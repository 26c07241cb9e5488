// Many devices from one process, as a test rig drives its load cells: one
// virtual board, one library object and one thread per device, every device
// streaming fast data at rate code 15 (1000 samples/s) for a while.
//
//   devices_bench [seconds] [N ...]     (default 10 s; N = 1 2 4 8 16 32)
//
// Per N it prints one row of a Markdown table: samples/s per device (mean
// and the slowest device), lost samples counted from the sequence bits every
// sample carries and from the generator's own count, failed calls, the
// process's CPU in cores, and the wall time of a call (median, p99).  The
// samples the generator made that were neither received nor lost are those
// still queued when the window closed, minus those queued when it opened: a
// few per device.
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

// One device's thread: calls back to back; what it counts while the window
// is open (as seen when a call starts) is the figure.
struct Device {
    std::unique_ptr<qbench::Board> board;
    qbench::SequenceGaps gaps;
    long samples = 0, failed = 0, lostAtOpen = -1, lostAtClose = 0;
    std::string firstFailure;
    std::vector<double> wallUs;

    void run(const std::atomic<bool> &open, const std::atomic<bool> &stop) {
        qbench::QOLVEN_USB_DLL &dev = board->dev();
        const std::string rate = std::to_string(kRateCode);
        while (!stop) {
            const bool measured = open;
            if (measured && lostAtOpen < 0) lostAtOpen = gaps.lost();
            const auto t0 = Clock::now();
            const std::string text = dev.Fast_Data_Request(board->handle(), 1, kSlot, "2", rate, "4", 0);
            const double wall = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            if (text == "Error") {
                if (measured && failed++ == 0) firstFailure = dev.lastErrorText;
                continue;
            }
            const int n = text.empty() ? 0 : std::min(dev.samplesPerPacket[kSlot][0][0], int(dev.POSITIONS));
            for (int i = 0; i < n; ++i) gaps.add(dev.sampleCounts[kSlot][0][i]);
            if (!measured) continue;
            samples += n;
            lostAtClose = gaps.lost();
            wallUs.push_back(wall);
        }
    }
};

struct Row {
    int devices;
    double seconds, perDeviceMean, perDeviceMin, cores, medianUs, p99Us;
    long lostSequence, lostGenerator, failed;
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
    std::vector<uint32_t> first;
    for (Device &d : devices) first.push_back(qolven_sim::next_sample_sequence(d.board->serial()));
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    open = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    open = false;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpu0;
    long generated = 0;
    for (size_t i = 0; i < devices.size(); ++i)
        generated += long(qolven_sim::next_sample_sequence(devices[i].board->serial()) - first[i]);
    stop = true;
    for (std::thread &t : threads) t.join();

    row = Row{n, elapsed, 0, 1e18, cpu / elapsed, 0, 0, 0, 0, 0, ""};
    std::vector<double> wall;
    long received = 0;
    for (Device &d : devices) {
        const double rate = double(d.samples) / elapsed;
        row.perDeviceMean += rate / n;
        row.perDeviceMin = std::min(row.perDeviceMin, rate);
        received += d.samples;
        if (d.lostAtOpen >= 0) row.lostSequence += d.lostAtClose - d.lostAtOpen;
        row.failed += d.failed;
        if (row.firstFailure.empty()) row.firstFailure = d.firstFailure;
        wall.insert(wall.end(), d.wallUs.begin(), d.wallUs.end());
    }
    row.lostGenerator = generated - received;
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
    std::printf("| devices | samples/s per device, mean / slowest | lost (sequence bits) / generated − received | failed calls"
                " | process CPU, cores (per device) | call wall time, median / p99 |\n");
    std::printf("|---|---|---|---|---|---|\n");
    bool ok = true;
    for (int n : counts) {
        Row r;
        if (!runOnce(n, seconds, r)) return 1;
        std::printf("| %d | %.0f / %.0f | %ld / %ld | %ld%s%s%s | %.2f (%.3f) | %.0f / %.0f us |\n", r.devices,
                    r.perDeviceMean, r.perDeviceMin, r.lostSequence, r.lostGenerator, r.failed,
                    r.failed ? " (\"" : "", r.firstFailure.c_str(), r.failed ? "\")" : "", r.cores, r.cores / n,
                    r.medianUs, r.p99Us);
        std::fflush(stdout);
        ok = ok && r.perDeviceMin > 0;
    }
    getloadavg(load, 3);
    std::printf("\nload average after: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return ok ? 0 : 1;
}
