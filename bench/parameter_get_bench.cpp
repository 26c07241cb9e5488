// A parameter get (Get_Decimal_Point) by the bare C++ call and through the C
// interface (qolven_get_parameter), on a virtual board that answers at once:
// the reference for the Python package's overhead (bench/python_bench.py).
// Prints one line per way: median per call over rounds, thread CPU and wall.
//   parameter_get_bench [calls per round, default 20000]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qolven.h"

namespace {

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

// Median per call over 7 rounds: CPU and wall microseconds.
std::pair<double, double> measure(int calls, const std::function<bool()> &call) {
    std::vector<double> cpu, wall;
    for (int round = 0; round < 7; ++round) {
        double c0 = threadSeconds();
        auto w0 = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i)
            if (!call()) {
                std::fprintf(stderr, "parameter_get_bench: a get failed\n");
                std::exit(1);
            }
        cpu.push_back((threadSeconds() - c0) / calls * 1e6);
        wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count() / calls * 1e6);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    return {cpu[3], wall[3]};
}

} // namespace

int main(int argc, char **argv) {
    int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
    qbench::Board board(2, 0);
    if (!board.opened()) {
        std::fprintf(stderr, "parameter_get_bench: the virtual board did not open\n");
        return 1;
    }
    auto &dev = board.dev();
    void *h = board.handle();
    auto cxx = measure(calls, [&] { return dev.Get_Decimal_Point(h, 0) == "0"; });

    qolven_device *d = qolven_wrap(&dev);
    char value[32];
    auto capi = measure(calls, [&] {
        return qolven_get_parameter(d, "decimal-point", 0, value, sizeof value) == QOLVEN_OK && value[0] == '0';
    });
    qolven_destroy(d);
    std::printf("cxx  cpu_us %.3f wall_us %.3f\n", cxx.first, cxx.second);
    std::printf("capi cpu_us %.3f wall_us %.3f\n", capi.first, capi.second);
    return 0;
}
