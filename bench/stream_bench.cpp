// Fast-data streaming from a virtual board as a host would run it: how many
// samples arrive, how many are lost, how often the host can call, and what a
// call costs beyond the pause the protocol makes it take.
//
//   stream_bench [seconds]        (default 10)
//
// Board type 2 at rate code 15 (1000 samples/s, two-byte samples), answering
// 1500 us after each request as a real board does.  Loss is counted from the
// board's own counters (qolven_sim::fast_counters): samples it sent that never
// arrived, and samples it dropped because the host was away 64 ms.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRateCode = 15;
constexpr int kSlot = 0;
// The pause every online call makes after its request: Delay2(1.5) runs
// until 2 whole milliseconds have passed.
constexpr double kPauseUs = 2000.0;
// A call whose wall time exceeds its CPU time by more than this was held up
// by the scheduler; its CPU figure says nothing about the work.
constexpr double kPreemptedUs = 100.0;

double threadCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

double mean(const std::vector<double> &v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

struct Stream {
    qbench::Board &board;
    long samples = 0, calls = 0, emptyPackets = 0, preempted = 0;
    std::map<std::string, long> failures;
    std::vector<double> wallUs, workUs;  // per call; work = thread CPU beyond the pause

    explicit Stream(qbench::Board &b) : board(b) {}

    void call(bool measure) {
        qbench::QOLVEN_USB_DLL &dev = board.dev();
        const auto t0 = Clock::now();
        const double c0 = threadCpuUs();
        const std::string text =
            dev.Fast_Data_Request(board.handle(), 1, kSlot, "2", std::to_string(kRateCode), "4", 0);
        const double cpu = threadCpuUs() - c0;
        const double wall = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        if (text == "Error") {
            if (measure) ++failures[dev.lastErrorText];
            return;
        }
        const int n = text.empty() ? 0 : std::min(dev.samplesPerPacket[kSlot][0][0], int(dev.POSITIONS));
        if (!measure) return;
        ++calls;
        samples += n;
        emptyPackets += n == 0;
        wallUs.push_back(wall);
        if (wall - cpu > kPreemptedUs) {
            ++preempted;
            return;
        }
        workUs.push_back(std::max(0.0, cpu - kPauseUs));
    }
};

} // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const unsigned answerDelayUs = qolven_sim::BoardConfig().answerDelayUs;

    qbench::Board board(2, answerDelayUs);
    if (!board.opened()) {
        std::fprintf(stderr, "cannot open %s: %s\n", board.serial().c_str(), board.dev().lastErrorText);
        return 1;
    }
    board.setRateCode(kRateCode);
    board.dev().Get_Version_of_Board(board.handle());  // fast data wants a known board type
    if (board.dev().boardType != 2) {
        std::fprintf(stderr, "identification failed: %s\n", board.dev().lastErrorText);
        return 1;
    }

    Stream stream(board);
    // Settle: the board's queue filled while nobody asked.
    for (auto end = Clock::now() + std::chrono::milliseconds(200); Clock::now() < end;) stream.call(false);
    const qolven_sim::FastCounters first = qolven_sim::fast_counters(board.serial());
    const double cpuStart = threadCpuUs();
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) stream.call(true);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuTotal = (threadCpuUs() - cpuStart) / 1e6;
    const qolven_sim::FastCounters last = qolven_sim::fast_counters(board.serial());
    const long generated = long(last.generated - first.generated);
    const long lost = long(last.delivered - first.delivered) - stream.samples;
    const long dropped = long(last.dropped - first.dropped);

    const double perCallWork = mean(stream.workUs);
    const double samplesPerCall = stream.calls ? double(stream.samples) / double(stream.calls) : 0;
    std::printf("fast-data stream, board type 2, rate code %d, answer delay %u us, %.2f s\n", kRateCode,
                answerDelayUs, elapsed);
    std::printf("  samples generated       %ld (%.1f /s)\n", generated, double(generated) / elapsed);
    std::printf("  samples received        %ld (%.1f /s)\n", stream.samples, double(stream.samples) / elapsed);
    std::printf("  samples lost on the way %ld (sent by the board, never received)\n", lost);
    std::printf("  dropped by the board    %ld (the host away 64 ms)\n", dropped);
    // generated = delivered + dropped + the change of what waits on the board.
    std::printf("  board queue, end - start %lld\n", static_cast<long long>(last.waiting) - static_cast<long long>(first.waiting));
    std::printf("  calls                   %ld (%.1f /s), %.2f samples per call, %ld without samples\n",
                stream.calls, double(stream.calls) / elapsed, samplesPerCall, stream.emptyPackets);
    for (const auto &f : stream.failures)
        std::printf("  failed calls            %ld \"%s\"\n", f.second, f.first.c_str());
    std::printf("  call wall time          median %.0f us, p99 %.0f us, max %.0f us\n",
                percentile(stream.wallUs, 0.5), percentile(stream.wallUs, 0.99), percentile(stream.wallUs, 1.0));
    std::printf("  CPU beyond the 2 ms pause: median %.1f us per call, mean %.1f us per call, %.1f us per sample\n",
                percentile(stream.workUs, 0.5), perCallWork, samplesPerCall > 0 ? perCallWork / samplesPerCall : 0);
    std::printf("  (preempted calls left out of the CPU figures: %ld; thread CPU %.2f s of %.2f s)\n",
                stream.preempted, cpuTotal, elapsed);
    return stream.samples > 0 ? 0 : 1;
}
