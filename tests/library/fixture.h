// Common ground of the library tests: one virtual board behind the simulated
// bridge, opened through the library, and helpers to look at the wire.
#ifndef QOLVEN_TEST_FIXTURE_H
#define QOLVEN_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "QOLVEN_USB_DLL.h"
#include "qolven_sim.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}
using _QOLVEN_USB_DLL::QOLVEN_USB_DLL;

class BoardTest : public ::testing::Test {
protected:
    std::unique_ptr<QOLVEN_USB_DLL> owned = std::make_unique<QOLVEN_USB_DLL>();
    QOLVEN_USB_DLL &dev = *owned;
    std::string serial = "SIM0001";
    void *h = nullptr;

    void SetUp() override { useBoard(2); }
    void TearDown() override {
        if (h) dev.Close_Device_Connection(h);
        qolven_sim::reset();
    }

    // A fresh virtual board of the given type, answering without delay, opened
    // by a fresh object (so packet numbers start at 1 again).
    void useBoard(int type) {
        qolven_sim::BoardConfig config;
        config.answerDelayUs = 0;
        config.resetDelayMs = 0;
        config.completionDelayMs = 0;
        config.signalNoise = 0;
        useBoard(type, config);
    }
    // The same with the delays and signal of `config`.
    void useBoard(int type, qolven_sim::BoardConfig config) {
        if (h) dev.Close_Device_Connection(h);
        h = nullptr;
        dev.~QOLVEN_USB_DLL();
        new (&dev) QOLVEN_USB_DLL();
        qolven_sim::reset();
        config.serial = serial;
        config.boardType = type;
        qolven_sim::attach(config);
        std::string s = serial;
        dev.Open_Device_Connection(&s[0]);
        ASSERT_NE(dev.DeviceHandle, nullptr) << dev.lastErrorText;
        h = dev.DeviceHandle;
        qolven_sim::clear_writes(serial);
        qolven_sim::clear_calls();
    }

    std::vector<Bytes> wire() { return qolven_sim::writes(serial); }
    void clearWire() { qolven_sim::clear_writes(serial); }
    // The requests written, with their packet numbers replaced by 0 so that
    // tests can state them independently of the counter.
    std::vector<Bytes> requests() {
        std::vector<Bytes> out = wire();
        for (Bytes &b : out)
            if (!b.empty()) b[0] = 0;
        return out;
    }
    // The requests written after the board identification that every
    // parameter command starts with.
    std::vector<Bytes> afterIdentification() {
        std::vector<Bytes> all = requests();
        std::vector<Bytes> out;
        for (const Bytes &b : all)
            if (!(b.size() == 4 && b[2] == 0x44)) out.push_back(b);
        return out;
    }
    std::string error() const { return dev.lastErrorText; }
};

#endif
