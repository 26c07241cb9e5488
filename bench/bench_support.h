// Shared ground of the benchmarks: a virtual board opened through the
// library, a replay of the bridge calls a library call made (the simulated
// bridge's share of its cost), fast-data packets, and a switch that takes the
// fixed fast-data pause out of CPU measurements.
#ifndef QOLVEN_BENCH_SUPPORT_H
#define QOLVEN_BENCH_SUPPORT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QOLVEN_USB_DLL.h"
#include "qolven_sim.h"

namespace qbench {

using Bytes = std::vector<uint8_t>;
using _QOLVEN_USB_DLL::QOLVEN_USB_DLL;

// One virtual board behind the simulated bridge, opened by a fresh library
// object.  answerDelayUs 0 measures CPU cost; the board's default delay
// (1500 us) gives realistic throughput.
class Board {
public:
    Board(int boardType, unsigned answerDelayUs, const std::string &serial = "BENCH01");
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    QOLVEN_USB_DLL &dev() { return *dev_; }
    void *handle() const { return handle_; }
    const std::string &serial() const { return serial_; }
    bool opened() const { return handle_ != nullptr; }
    // ADC sampling-rate code the board streams at (0..15).
    void setRateCode(int code);

private:
    std::string serial_;
    std::unique_ptr<QOLVEN_USB_DLL> dev_;
    void *handle_ = nullptr;
};

// Packet number the library gives its next request.
unsigned char nextPacketNumber(const QOLVEN_USB_DLL &dev);

// A fast-data packet of `samples` samples with `countBytes` count bytes
// each (3, or 2 at the high rate codes) for the request numbered `number`.
// Sample i carries sampleCount(i) as the board sends it (2 bytes drop the low
// byte).  With `channels` > 0 it is the channel board's packet (0x53): each
// sample starts with channel (firstChannel + i) % channels.
Bytes fastPacket(unsigned char number, int samples, int countBytes, int channels = 0, int firstChannel = 0);
uint32_t sampleCount(int i);

// The bridge calls one library call made, in order, with their arguments and
// the bytes it wrote: replaying them costs what the simulated bridge (board
// included) costs, without the library.
class BridgeScript {
public:
    // Records the calls made on `serial` from the bridge's call log (a
    // folded run of status polls counts as its repeats) and
    // write log; both must have been cleared before the library call.
    static BridgeScript record(const std::string &serial);
    // Makes the same calls on `handle`.  False when a call failed or a read
    // got fewer bytes than the library got.
    bool replay(void *handle) const;
    size_t calls() const { return steps_.size(); }
    size_t exchanges() const;

private:
    struct Step {
        enum Kind { GetStatus, Write, Read, Purge } kind;
        uint32_t arg;     // count for Write and Read, mask for Purge
        size_t write;     // index into writes_ for Write
    };
    std::vector<Step> steps_;
    std::vector<Bytes> writes_;
};

// The fixed pause of Fast_Data_Request (Delay2) is wire time, not library
// work.  While skipped, Delay2 returns at once and only counts its calls; the
// real pause runs otherwise.  Works by symbol interposition, so pausesSeen()
// tells whether it took effect.
void skipPauses(bool skip);
long pausesSeen();

} // namespace qbench

#endif
