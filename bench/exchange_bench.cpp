// What the library costs per exchange, against what the wire allows.
//
//   library/<case>     one library call on a virtual board that answers at once
//   bridge/<case>      the same bridge calls with the same bytes, without the
//                      library: the simulated bridge's share, to subtract
//   throughput/<case>  calls against the board's realistic answer delay
//
// The fixed fast-data pause is taken out of library/ and bridge/ (it is wire
// time); throughput/ keeps it.  After the runs a summary gives the library's
// own time per call and per exchange.
//
//   exchange_bench [benchmark flags]          the benchmarks and the summary
//   exchange_bench --calls CASE N [--bridge]  N calls of one case for callgrind
//                                             (scripts/bench.sh counts them)
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"

using qbench::Board;
using qbench::Bytes;
using qbench::QOLVEN_USB_DLL;

namespace {

constexpr unsigned kWireDelayUs = 1500;  // the virtual board's default answer delay
constexpr int kSlot = 0;
constexpr int kFastWidth = 2;            // board type 2 at rate code 15
const char *const kFastRate = "15";

// One kind of call and how to tell it went right.  A fast-data case gets
// its packet queued before each call (outside the measured call).
struct Case {
    std::string name;
    bool fast = false;
    int samples = 0;
    std::function<std::string(Board &)> call;
    std::function<bool(const std::string &, Board &)> valid;
};

void prepare(const Case &c, Board &b, std::vector<Bytes> &packets) {
    if (!c.fast) return;
    qolven_sim::queue_rx(b.serial(), packets[qbench::nextPacketNumber(b.dev())]);
}

std::vector<Bytes> fastPackets(int samples) {
    std::vector<Bytes> packets(256);
    for (int n = 0; n < 256; ++n) packets[n] = qbench::fastPacket((unsigned char)n, samples, kFastWidth);
    return packets;
}

void setUp(const Case &c, Board &b) {
    b.dev().Get_Version_of_Board(b.handle());  // fast data wants a known board type
    if (c.fast) qolven_sim::set_board_silent(b.serial(), true);
    qolven_sim::clear_calls();
    qolven_sim::clear_writes(b.serial());
}

bool notError(const std::string &r, Board &) { return r != "Error"; }

std::vector<Case> cases() {
    std::vector<Case> all = {
        {"identification", false, 0, [](Board &b) { return b.dev().Get_Type_of_Board(b.handle()); },
         [](const std::string &r, Board &) { return r == "2"; }},
        {"register_read", false, 0, [](Board &b) { return b.dev().Read_EEPROM_Register(b.handle(), 114); },
         notError},
        {"parameter_get", false, 0, [](Board &b) { return b.dev().Get_Decimal_Point(b.handle(), 0); }, notError},
        {"parameter_set", false, 0, [](Board &b) { return b.dev().Set_Decimal_Point(b.handle(), 3, 0); },
         [](const std::string &r, Board &) { return r == "0"; }},
        {"normal_data", false, 0, [](Board &b) { return b.dev().Normal_Data_Request(b.handle(), 0); }, notError},
    };
    for (int n : {0, 1, 8, 16, 24, 32, 40, 48, 56, 64}) {
        Case c{"fast_data/" + std::to_string(n), true, n,
               [](Board &b) { return b.dev().Fast_Data_Request(b.handle(), 0, kSlot, "2", kFastRate, "4", 0); },
               nullptr};
        c.valid = [n](const std::string &r, Board &b) {
            if (r == "Error") return false;
            if (n == 0) return r.empty() && b.dev().samplesPerPacket[kSlot][0][0] == 0;
            return b.dev().samplesPerPacket[kSlot][0][n - 1] == n &&
                   b.dev().sampleCounts[kSlot][0][n - 1] == int((qbench::sampleCount(n - 1) & 0xFFFF00u) | 0x80u);
        };
        all.push_back(c);
    }
    return all;
}

// Makes one call and tells what is wrong with it, or nothing.
std::string firstCallError(const Case &c, Board &b, std::vector<Bytes> &packets) {
    if (!b.opened()) return "the virtual board did not open";
    const long pauses = qbench::pausesSeen();
    prepare(c, b, packets);
    std::string r = c.call(b);
    if (!c.valid(r, b)) return "unexpected answer: " + r + " / " + b.dev().lastErrorText;
    if (c.fast && qbench::pausesSeen() == pauses) return "the fast-data pause was not intercepted";
    return std::string();
}

// The bridge's write log grows with every request; emptied now and then
// outside the timing so that it never weighs on the cache.
void trimLog(benchmark::State &state, const Board &b, long &n) {
    if ((++n & 4095) != 0) return;
    state.PauseTiming();
    qolven_sim::clear_writes(b.serial());
    state.ResumeTiming();
}

// A board that answers at once, set up for the case, the pause taken out,
// and one call checked before the timing starts.
struct CostBoard {
    const Case &c;
    Board b{2, 0};
    std::vector<Bytes> packets;
    std::string error;

    explicit CostBoard(const Case &which)
        : c(which), packets(which.fast ? fastPackets(which.samples) : std::vector<Bytes>()) {
        qbench::skipPauses(true);
        setUp(c, b);
        error = firstCallError(c, b, packets);
    }
    void prepareCall() { prepare(c, b, packets); }
    bool usable(benchmark::State &state) const {
        if (!error.empty()) state.SkipWithError(error.c_str());
        return error.empty();
    }
};

void libraryCost(benchmark::State &state, const Case &c) {
    CostBoard run(c);
    if (!run.usable(state)) return;
    long failures = 0, n = 0;
    for (auto _ : state) {
        run.prepareCall();
        std::string r = c.call(run.b);
        failures += r == "Error";
        benchmark::DoNotOptimize(r);
        trimLog(state, run.b, n);
    }
    if (failures) state.SkipWithError("calls failed during the run");
}

void bridgeCost(benchmark::State &state, const Case &c) {
    CostBoard run(c);
    if (!run.usable(state)) return;
    qolven_sim::clear_calls();
    qolven_sim::clear_writes(run.b.serial());
    run.prepareCall();
    c.call(run.b);
    const qbench::BridgeScript script = qbench::BridgeScript::record(run.b.serial());
    run.prepareCall();
    if (!script.replay(run.b.handle())) {
        state.SkipWithError("the bridge calls could not be replayed");
        return;
    }
    long failures = 0, n = 0;
    for (auto _ : state) {
        run.prepareCall();
        failures += !script.replay(run.b.handle());
        trimLog(state, run.b, n);
    }
    if (failures) state.SkipWithError("replayed calls failed during the run");
    state.counters["exchanges"] = double(script.exchanges());
    state.counters["bridge_calls"] = double(script.calls());
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Median of the durations (ms) of single calls.
double medianMs(std::vector<double> ms) {
    if (ms.empty()) return 0;
    std::nth_element(ms.begin(), ms.begin() + ms.size() / 2, ms.end());
    return ms[ms.size() / 2];
}

// Parameter gets per second against the ideal of two answer delays per get.
// On a shared machine the busy-polling thread is not always on a CPU when
// the answer comes; the median get shows what it achieves when it is.
void parameterGetThroughput(benchmark::State &state) {
    qbench::skipPauses(false);
    Board b(2, kWireDelayUs);
    long failures = 0, gets = 0;
    std::vector<double> each;
    each.reserve(size_t(state.max_iterations));
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto t = std::chrono::steady_clock::now();
        failures += b.dev().Get_Decimal_Point(b.handle(), 0) == "Error";
        each.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count());
        ++gets;
    }
    const double seconds = secondsSince(start);
    const double idealMs = 2.0 * kWireDelayUs / 1000.0;
    state.counters["gets_per_s"] = gets / seconds;
    state.counters["ideal_per_s"] = 1000.0 / idealMs;
    state.counters["ratio"] = gets / seconds * idealMs / 1000.0;
    state.counters["median_ms"] = medianMs(each);
    state.counters["median_ratio"] = idealMs / medianMs(each);
    state.counters["failed"] = double(failures);
}

// Samples per second at rate code 15 (1000 per second) with the real pause;
// samples the board sent that never arrived, and samples the board dropped
// because the host was away 64 ms (from the board's own counters).
void fastDataThroughput(benchmark::State &state) {
    qbench::skipPauses(false);
    Board b(2, kWireDelayUs);
    b.setRateCode(15);
    QOLVEN_USB_DLL &dev = b.dev();
    dev.Get_Version_of_Board(b.handle());
    auto call = [&] { return dev.Fast_Data_Request(b.handle(), 0, kSlot, "2", kFastRate, "4", 0); };
    call();  // what gathered since the board was opened
    const qolven_sim::FastCounters atStart = qolven_sim::fast_counters(b.serial());
    long failures = 0, samples = 0;
    double longestGapMs = 0;
    std::vector<double> each;
    each.reserve(size_t(state.max_iterations));
    auto last = std::chrono::steady_clock::now();
    const auto start = last;
    for (auto _ : state) {
        const int before = dev.sampleCounters[kSlot][0];
        failures += call() == "Error";
        const auto now = std::chrono::steady_clock::now();
        each.push_back(std::chrono::duration<double, std::milli>(now - last).count());
        longestGapMs = std::max(longestGapMs, each.back());
        last = now;
        samples += dev.sampleCounters[kSlot][0] - before;
    }
    const double seconds = secondsSince(start);
    const qolven_sim::FastCounters atEnd = qolven_sim::fast_counters(b.serial());
    state.counters["samples_per_s"] = samples / seconds;
    state.counters["ratio"] = samples / seconds / 1000.0;
    state.counters["samples_per_call"] = double(samples) / double(state.iterations());
    state.counters["lost"] = double(atEnd.delivered - atStart.delivered) - double(samples);
    state.counters["dropped"] = double(atEnd.dropped - atStart.dropped);
    state.counters["failed_calls"] = double(failures);
    state.counters["longest_gap_ms"] = longestGapMs;
    state.counters["median_call_ms"] = medianMs(each);
}

// Collects the figures for the summary while printing as usual.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal: the figures are often kept in files.
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.error_occurred) continue;
            const std::string name = r.run_name.str();
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type == Run::RT_Aggregate && !median) continue;
            if (!median && medians_.count(name)) continue;
            if (median) medians_[name] = true;
            cpuNs_[name] = r.GetAdjustedCPUTime() * multiplier(r.time_unit);
            auto e = r.counters.find("exchanges");
            if (e != r.counters.end()) exchanges_[name] = e->second.value;
        }
    }

    void printSummary(const std::vector<Case> &all) const {
        if (exchanges_.empty()) return;
        const double budgetNs = kWireDelayUs * 1000.0 * 0.001;
        std::printf("\nLibrary's own CPU time (library/ minus bridge/), budget %.0f ns per exchange "
                    "(0.1%% of %u us):\n",
                    budgetNs, kWireDelayUs);
        std::printf("%-16s %12s %12s %12s %9s %14s %10s\n", "case", "total ns", "bridge ns", "library ns",
                    "exchanges", "ns/exchange", "% of wire");
        std::vector<std::pair<double, double>> growth;
        for (const Case &c : all) {
            auto lib = cpuNs_.find("library/" + c.name), bridge = cpuNs_.find("bridge/" + c.name);
            auto ex = exchanges_.find("bridge/" + c.name);
            if (lib == cpuNs_.end() || bridge == cpuNs_.end() || ex == exchanges_.end() || ex->second <= 0) continue;
            const double own = lib->second - bridge->second;
            const double perExchange = own / ex->second;
            std::printf("%-16s %12.0f %12.0f %12.0f %9.0f %14.0f %9.4f%%\n", c.name.c_str(), lib->second,
                        bridge->second, own, ex->second, perExchange, 100.0 * perExchange / (kWireDelayUs * 1000.0));
            if (c.fast) growth.push_back({double(c.samples), own});
        }
        printGrowth(growth);
    }

private:
    static double multiplier(benchmark::TimeUnit unit) {
        switch (unit) {
        case benchmark::kSecond: return 1e9;
        case benchmark::kMillisecond: return 1e6;
        case benchmark::kMicrosecond: return 1e3;
        default: return 1;
        }
    }

    // Least-squares line through (samples, library ns) and how far the
    // points stray from it.
    static void printGrowth(const std::vector<std::pair<double, double>> &points) {
        if (points.size() < 3) return;
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (auto [x, y] : points) {
            sx += x;
            sy += y;
            sxx += x * x;
            sxy += x * y;
        }
        const double n = double(points.size());
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        const double fixed = (sy - slope * sx) / n;
        double worst = 0;
        for (auto [x, y] : points) worst = std::max(worst, std::fabs(y - (fixed + slope * x)));
        std::printf("\nFast data, library only: %.0f ns + %.1f ns per sample; largest distance from the line "
                    "%.0f ns\n",
                    fixed, slope, worst);
    }

    std::map<std::string, double> cpuNs_;
    std::map<std::string, double> exchanges_;
    std::map<std::string, bool> medians_;
};

extern "C" __attribute__((noinline)) void qbench_measured(const std::function<void()> *work) { (*work)(); }

// N calls of one case with callgrind's counts zeroed after a first call, so
// that only warm calls are counted.  Collection itself is switched by the
// command line (scripts/bench.sh): on inside qbench_measured, off inside the
// bridge (FT_*) unless the bridge itself is being counted.
int countCalls(const std::string &name, long count, bool bridgeOnly) {
    for (const Case &c : cases()) {
        if (c.name != name) continue;
        CostBoard run(c);
        if (!run.error.empty()) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), run.error.c_str());
            return 1;
        }
        qolven_sim::clear_calls();
        qolven_sim::clear_writes(run.b.serial());
        run.prepareCall();
        std::string r = c.call(run.b);
        const qbench::BridgeScript script = qbench::BridgeScript::record(run.b.serial());
        std::function<void()> work = [&] {
            if (bridgeOnly) script.replay(run.b.handle());
            else r = c.call(run.b);
        };
        run.prepareCall();
        qbench_measured(&work);
        CALLGRIND_ZERO_STATS;
        for (long i = 0; i < count; ++i) {
            run.prepareCall();
            qbench_measured(&work);
            if ((i & 1023) == 1023) qolven_sim::clear_writes(run.b.serial());
        }
        std::printf("%s calls=%ld exchanges=%zu\n", name.c_str(), count, script.exchanges());
        return 0;
    }
    std::fprintf(stderr, "unknown case %s\n", name.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    qolven_sim::reset();
    if (argc >= 4 && std::string(argv[1]) == "--calls")
        return countCalls(argv[2], std::atol(argv[3]), argc >= 5 && std::string(argv[4]) == "--bridge");

    const std::vector<Case> all = cases();
    std::vector<Case> fast;
    for (const Case &c : all) {
        if (c.fast) {
            fast.push_back(c);
            continue;
        }
        benchmark::RegisterBenchmark(("library/" + c.name).c_str(), libraryCost, c)->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark(("bridge/" + c.name).c_str(), bridgeCost, c)->Unit(benchmark::kNanosecond);
    }
    // One family per side, one run per packet size.
    auto bySamples = [fast](void (*run)(benchmark::State &, const Case &)) {
        return [fast, run](benchmark::State &state) {
            for (const Case &c : fast)
                if (c.samples == state.range(0)) return run(state, c);
        };
    };
    auto *lib = benchmark::RegisterBenchmark("library/fast_data", bySamples(libraryCost));
    auto *bridge = benchmark::RegisterBenchmark("bridge/fast_data", bySamples(bridgeCost));
    for (auto *family : {lib, bridge}) {
        for (const Case &c : fast) family->Arg(c.samples);
        family->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark("throughput/parameter_get", parameterGetThroughput)
        ->Iterations(1000)->Repetitions(1)->UseRealTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("throughput/fast_data_rate15", fastDataThroughput)
        ->Iterations(2000)->Repetitions(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary(all);
    benchmark::Shutdown();
    return 0;
}
