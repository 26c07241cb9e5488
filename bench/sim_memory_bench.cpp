// Memory the simulated bridge takes per virtual device, and what its logs hold after
// long use.
//
//   sim_memory_bench [exchanges]
//
// Heap from mallinfo2 (glibc's per-thread cache off, as in memory_bench) after the
// largest description the bridge takes (256 devices), after each device was opened and
// had ordinary exchanges, and on one device after `exchanges` (default 200000)
// request/answer pairs with nothing cleared: the bounded logs keep it flat.
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qolven_sim.h"
#include "qolven_sim_c.h"

extern "C" {
uint32_t FT_OpenEx(void *arg, uint32_t flags, void **handle);
uint32_t FT_Write(void *handle, void *buffer, uint32_t count, uint32_t *written);
uint32_t FT_Read(void *handle, void *buffer, uint32_t count, uint32_t *returned);
uint32_t FT_GetStatus(void *handle, uint32_t *rxBytes, uint32_t *txBytes, uint32_t *eventStatus);
}

namespace {

long long heap() {
    malloc_trim(0);
    struct mallinfo2 m = mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
}

// One request and its answer (the board answers at once).
bool exchange(void *h, std::vector<uint8_t> request) {
    uint32_t n = 0, rx = 0;
    uint8_t answer[256];
    return FT_Write(h, request.data(), static_cast<uint32_t>(request.size()), &n) == 0 &&
           FT_GetStatus(h, &rx, nullptr, nullptr) == 0 && FT_Read(h, answer, rx, &n) == 0 && n == rx && rx > 0;
}

} // namespace

int main(int argc, char **argv) {
    const long exchanges = argc > 1 ? std::atol(argv[1]) : 200000;
    const int devices = QOLVEN_SIM_MAX_DEVICES;
    char error[256];
    qolven_sim::reset();
    long long empty = heap();
    std::string text;
    for (int i = 0; i < devices; ++i) text += "type=" + std::to_string(i % 2 ? 9 : 2) + " delay_us=0\n";
    if (qolven_sim_configure(text.c_str(), error, sizeof error) != 0) return std::printf("%s\n", error), 1;
    long long attached = heap();
    int failures = 0;
    std::vector<void *> handles;
    for (const std::string &serial : qolven_sim::serials()) {
        void *h = nullptr;
        failures += FT_OpenEx(const_cast<char *>(serial.c_str()), 1, &h) != 0;
        handles.push_back(h);
        failures += !exchange(h, {1, 4, 0x44, 0xAA}) + !exchange(h, {2, 7, 0x83, 50, 1, 2, 0xAA});
    }
    qolven_sim::clear_calls();
    long long used = heap();
    std::printf("%-44s %12s %12s\n", "", "heap", "per device");
    std::printf("%-44s %12lld %12lld\n", "256 devices attached", attached - empty, (attached - empty) / devices);
    std::printf("%-44s %12lld %12lld\n", "... opened, 2 exchanges each", used - empty, (used - empty) / devices);

    long long before = 0;
    for (long i = 0; i < exchanges; ++i) {
        uint8_t n = static_cast<uint8_t>(i % 250 + 1);
        failures += !exchange(handles[0], {n, 4, static_cast<uint8_t>(i % 2 ? 0x01 : 0x99), 0xAA});
        if (i == 10000) before = heap();
    }
    long long after = heap();
    std::printf("%-44s %12lld\n", "one device, after 10000 more exchanges", before - empty);
    std::printf("%-44s %12lld   (%ld exchanges, nothing cleared)\n", "one device, after all of them", after - empty,
                exchanges);
    std::printf("writes kept %zu, diagnostics kept %zu, calls logged %zu, failed exchanges %d\n",
                qolven_sim::writes(qolven_sim::serials()[0]).size(), qolven_sim::diagnostics(qolven_sim::serials()[0]).size(),
                qolven_sim::calls().size(), failures);
    return failures != 0;
}
