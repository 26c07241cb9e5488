// A parameter get (Get_Decimal_Point) by the bare C++ call and through the C
// interface (qolven_get_parameter), on a virtual board that answers at once:
// the reference for the Python package's overhead (bench/python_bench.py).
// The two ways take turns, round by round, so that both see the same machine;
// prints one line per way: thread CPU per call, the lowest and the median
// round, and the median wall time.
//   parameter_get_bench [calls per round, default 5000]
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

struct Figures {
    std::vector<double> cpu, wall;
    void round(int calls, const std::function<bool()> &call) {
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
    void print(const char *name) {
        std::sort(cpu.begin(), cpu.end());
        std::sort(wall.begin(), wall.end());
        std::printf("%s cpu_min_us %.3f cpu_median_us %.3f wall_median_us %.3f\n", name, cpu.front(),
                    cpu[cpu.size() / 2], wall[wall.size() / 2]);
    }
};

} // namespace

int main(int argc, char **argv) {
    int calls = argc > 1 ? std::atoi(argv[1]) : 5000;
    qbench::Board board(2, 0);
    if (!board.opened()) {
        std::fprintf(stderr, "parameter_get_bench: the virtual board did not open\n");
        return 1;
    }
    auto &dev = board.dev();
    void *h = board.handle();
    qolven_device *d = qolven_wrap(&dev);
    char value[32];
    Figures cxx, capi;
    for (int round = 0; round < 9; ++round) {
        cxx.round(calls, [&] { return dev.Get_Decimal_Point(h, 0) == "0"; });
        capi.round(calls, [&] {
            return qolven_get_parameter(d, "decimal-point", 0, value, sizeof value) == QOLVEN_OK && value[0] == '0';
        });
    }
    qolven_destroy(d);
    cxx.print("cxx");
    capi.print("capi");
    return 0;
}
