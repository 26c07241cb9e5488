// Helpers for the tests of the simulated bridge: the FT_* declarations (the tests call
// the exported functions directly) and a fixture with one open zero-delay device.
#ifndef QOLVEN_SIM_TEST_UTIL_H
#define QOLVEN_SIM_TEST_UTIL_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "qolven_sim.h"

extern "C" {
uint32_t FT_ListDevices(void *, void *, uint32_t);
uint32_t FT_OpenEx(void *, uint32_t, void **);
uint32_t FT_Open(int, void **);
uint32_t FT_Close(void *);
uint32_t FT_GetDeviceInfo(void *, uint32_t *, uint32_t *, char *, char *, void *);
uint32_t FT_CreateDeviceInfoList(uint32_t *);
uint32_t FT_GetDeviceInfoList(void *, uint32_t *);
uint32_t FT_GetStatus(void *, uint32_t *, uint32_t *, uint32_t *);
uint32_t FT_SetTimeouts(void *, uint32_t, uint32_t);
uint32_t FT_SetUSBParameters(void *, uint32_t, uint32_t);
uint32_t FT_SetLatencyTimer(void *, unsigned char);
uint32_t FT_GetLatencyTimer(void *, unsigned char *);
uint32_t FT_SetVIDPID(uint32_t, uint32_t);
uint32_t FT_GetVIDPID(uint32_t *, uint32_t *);
uint32_t FT_Read(void *, void *, uint32_t, uint32_t *);
uint32_t FT_Write(void *, void *, uint32_t, uint32_t *);
uint32_t FT_Purge(void *, uint32_t);
}

namespace simtest {

using Bytes = std::vector<uint8_t>;

// A node of FT_GetDeviceInfoList, as D2XX lays it out.
struct Node {
    uint32_t Flags, Type, ID, LocId;
    char SerialNumber[16];
    char Description[64];
    void *ftHandle;
};

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline void *open_serial(const std::string &serial, uint32_t *status = nullptr) {
    void *h = nullptr;
    uint32_t st = FT_OpenEx(const_cast<char *>(serial.c_str()), 1, &h);
    if (status) *status = st;
    return h;
}

inline uint32_t rx_visible(void *h) {
    uint32_t rx = 0, tx = 0, ev = 0;
    FT_GetStatus(h, &rx, &tx, &ev);
    return rx;
}

inline uint32_t write_bytes(void *h, Bytes b) {
    uint32_t n = 0;
    return FT_Write(h, b.data(), static_cast<uint32_t>(b.size()), &n);
}

// Reads everything visible now.
inline Bytes read_now(void *h) {
    uint32_t rx = rx_visible(h);
    Bytes out(rx);
    uint32_t got = 0;
    if (rx) FT_Read(h, out.data(), rx, &got);
    out.resize(got);
    return out;
}

// Polls until at least `n` bytes are visible (or the time is up), then reads all visible bytes.
inline Bytes read_at_least(void *h, size_t n, int timeoutMs = 500) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (rx_visible(h) < n && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    return read_now(h);
}

// Writes a request and returns the answer (waits for `expect` bytes).
inline Bytes exchange(void *h, Bytes request, size_t expect, int timeoutMs = 500) {
    write_bytes(h, request);
    return read_at_least(h, expect, timeoutMs);
}

inline qolven_sim::BoardConfig board(const std::string &serial, int type, unsigned delayUs = 0) {
    qolven_sim::BoardConfig c;
    c.serial = serial;
    c.boardType = type;
    c.answerDelayUs = delayUs;
    c.resetDelayMs = 0;
    c.completionDelayMs = 0;
    return c;
}

// Runs the helper program sim_env_probe in a fresh process (`env` is put in front of the
// command line: "env -u X", "VAR=value ...") and returns its output, with "[exit N]"
// appended when it fails.
inline std::string run_probe(const std::string &env, const std::string &args) {
    std::string cmd = env + " " + SIM_EMULATOR + " " + SIM_ENV_PROBE + " " + args + " 2>&1";
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    int rc = pclose(p);
    if (rc != 0) out += "[exit " + std::to_string(rc) + "]";
    return out;
}

// The same in the background: the output is collected by finish().
class BackgroundProbe {
public:
    BackgroundProbe(const std::string &env, const std::string &args)
        : p_(popen((env + " " + SIM_EMULATOR + " " + SIM_ENV_PROBE + " " + args + " 2>&1").c_str(), "r")) {}
    ~BackgroundProbe() { finish(); }
    // Waits for the next line of output.
    std::string line() {
        char buf[512];
        return p_ && fgets(buf, sizeof buf, p_) ? std::string(buf) : std::string();
    }
    std::string finish() {
        std::string out;
        if (!p_) return out;
        char buf[512];
        while (fgets(buf, sizeof buf, p_)) out += buf;
        if (pclose(p_) != 0) out += "[failed]";
        p_ = nullptr;
        return out;
    }

private:
    FILE *p_;
};

// One attached, open device "T1" of a given board type with answers at once.
class SimFixture : public ::testing::Test {
protected:
    void SetUp() override {
        qolven_sim::reset();
        qolven_sim::attach(board("T1", 2));
        h = open_serial("T1");
        ASSERT_NE(h, nullptr);
    }
    void TearDown() override { qolven_sim::reset(); }
    void use_type(int type) { qolven_sim::set_board_type("T1", type); }
    void *h = nullptr;
};

} // namespace simtest

#endif
