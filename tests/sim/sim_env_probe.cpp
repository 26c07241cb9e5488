// Helper process for the tests of first-use initialisation: it uses the simulated bridge
// only through FT_* calls, so the environment (QOLVEN_SIM_CONFIG, QOLVEN_SIM_STATE) decides
// what it sees.  Commands:
//   list                          prints "<serial> <board type> <answer delay us>" per device
//   set-eeprom SERIAL ADDR HI LO  writes an EEPROM register with command 0x83, prints the answer
//   get-eeprom SERIAL ADDR        reads it with command 0x82, prints high*256+low
//   fill SERIAL FIRST COUNT       writes EEPROM registers FIRST.. with their address, prints
//                                 how many were acknowledged
//   open SERIAL [MS]              prints the FT_OpenEx status, keeps the device open MS ms
//   error                         prints what qolven_sim_take_error() keeps
// set-eeprom and fill also print the kept error after a space when there is one.  SIGXFSZ
// is ignored, so that a file size limit makes writes fail instead of ending the process.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qolven_sim.h"
#include "qolven_sim_c.h"

#include <csignal>

extern "C" {
uint32_t FT_ListDevices(void *, void *, uint32_t);
uint32_t FT_OpenEx(void *, uint32_t, void **);
uint32_t FT_Close(void *);
uint32_t FT_GetStatus(void *, uint32_t *, uint32_t *, uint32_t *);
uint32_t FT_Read(void *, void *, uint32_t, uint32_t *);
uint32_t FT_Write(void *, void *, uint32_t, uint32_t *);
}

static std::vector<uint8_t> exchange(void *h, std::vector<uint8_t> req, size_t expect) {
    uint32_t n = 0;
    FT_Write(h, req.data(), static_cast<uint32_t>(req.size()), &n);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    uint32_t rx = 0, tx = 0, ev = 0;
    while (std::chrono::steady_clock::now() < end) {
        FT_GetStatus(h, &rx, &tx, &ev);
        if (rx >= expect) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::vector<uint8_t> out(rx);
    uint32_t got = 0;
    if (rx) FT_Read(h, out.data(), rx, &got);
    out.resize(got);
    return out;
}

static void print_kept_error() {
    char error[512];
    if (qolven_sim_take_error(error, sizeof error) == 0 && error[0]) std::printf(" %s", error);
}

int main(int argc, char **argv) {
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc < 2) return 2;
    std::string cmd = argv[1];
    if (cmd == "error") {
        print_kept_error();
        std::printf("\n");
        return 0;
    }
    if (cmd == "open" && argc >= 3) {
        void *h = nullptr;
        std::printf("%u\n", FT_OpenEx(argv[2], 1, &h));
        std::fflush(stdout);
        if (argc >= 4) std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[3])));
        if (h) FT_Close(h);
        return 0;
    }
    if (cmd == "fill" && argc == 5) {
        void *h = nullptr;
        if (FT_OpenEx(argv[2], 1, &h) != 0) return 4;
        int first = std::atoi(argv[3]), count = std::atoi(argv[4]), acknowledged = 0;
        for (int i = 0; i < count; ++i) {
            uint8_t a = static_cast<uint8_t>(first + i);
            auto answer = exchange(h, {static_cast<uint8_t>(i % 250 + 1), 7, 0x83, a, 0, a, 0xAA}, 4);
            if (answer.size() == 4 && answer[2] == 0x01) ++acknowledged;
        }
        std::printf("%d", acknowledged);
        print_kept_error();
        std::printf("\n");
        FT_Close(h);
        return 0;
    }
    if (cmd == "list") {
        uint32_t count = 0;
        if (FT_ListDevices(&count, nullptr, 0x80000000u) != 0) return 3;
        for (uint32_t i = 0; i < count; ++i) {
            char serial[16] = {0};
            FT_ListDevices(reinterpret_cast<void *>(static_cast<uintptr_t>(i)), serial, 0x40000001u);
            qolven_sim::BoardConfig c = qolven_sim::config(serial);
            std::printf("%s %d %u\n", serial, c.boardType, c.answerDelayUs);
        }
        return 0;
    }
    if ((cmd == "set-eeprom" && argc == 6) || (cmd == "get-eeprom" && argc == 4)) {
        void *h = nullptr;
        if (FT_OpenEx(argv[2], 1, &h) != 0) return 4;
        uint8_t addr = static_cast<uint8_t>(std::atoi(argv[3]));
        if (cmd == "set-eeprom") {
            auto a = exchange(h, {7, 7, 0x83, addr, static_cast<uint8_t>(std::atoi(argv[4])),
                                  static_cast<uint8_t>(std::atoi(argv[5])), 0xAA}, 4);
            for (auto b : a) std::printf("%02x", b);
            print_kept_error();
            std::printf("\n");
        } else {
            auto a = exchange(h, {9, 5, 0x82, addr, 0xAA}, 7);
            if (a.size() != 7) return 5;
            std::printf("%d\n", a[4] * 256 + a[5]);
        }
        FT_Close(h);
        return 0;
    }
    return 2;
}
