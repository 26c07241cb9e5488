// What the provider needs of the USB side, as an interface: the libftdi1
// implementation (ftdi1_bus.cpp) in the library, a scripted fake in the tests.
#ifndef QOLVEN_FTDI1_USB_H
#define QOLVEN_FTDI1_USB_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qolven_ftdi1 {

// One bridge as a scan of the bus found it.
struct Bridge {
    std::string serial;       // USB serial number string, whole
    std::string description;  // USB product string
    std::string path;         // bus and port chain, "1-2.3": tells identical bridges apart
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t release = 0;     // bcdDevice: the chip generation
    uint32_t location = 0;    // the node's LocId
    bool highSpeed = false;
    bool claimed = false;     // a program (this one or another) holds its interface
};

struct UsbId {
    uint16_t vendor, product;
};

enum class Result {
    Ok,
    TimedOut,  // a write took longer than its time-out (what went is counted)
    Gone,      // the bridge is no longer on the bus
    Busy,      // another program or driver holds it
    Failed,    // any other refusal
};

// Takes what the bridge sends.  Called on the link's own thread.
class Receiver {
public:
    virtual ~Receiver() = default;
    // One finished bulk-in transfer: whole packets of packetSize bytes (the last
    // may be shorter), each starting with the chip's two status bytes.
    virtual void received(const uint8_t *transfer, size_t length) = 0;
    // The bridge went away: nothing more will come.
    virtual void lost() = 0;
    // False while the receive queue is full: the link stops asking for more.
    virtual bool wantsMore() const = 0;
};

// One opened bridge.  Destroying it stops the reading and releases the bridge.
class Link {
public:
    virtual ~Link() = default;
    virtual size_t packetSize() const = 0;
    // Starts reading into `receiver`, which outlives the link.
    virtual void startReading(Receiver *receiver, size_t transferSize) = 0;
    // Transfers asked for from now on are this large.
    virtual void setTransferSize(size_t bytes) = 0;
    // Reading paused by a full queue goes on.
    virtual void resume() = 0;
    // timeoutMs 0: no limit.  `written` counts what went, also on a failure.
    virtual Result write(const uint8_t *data, size_t count, unsigned timeoutMs, size_t *written) = 0;
    virtual Result setLatency(uint8_t ms) = 0;
    virtual Result latency(uint8_t *ms) = 0;
    // Clears the chip's own buffers.
    virtual Result purge(bool receive, bool transmit) = 0;
};

class Bus {
public:
    virtual ~Bus() = default;
    // The single-interface bridges with one of `ids`, in the bus's order.
    virtual Result scan(const std::vector<UsbId> &ids, std::vector<Bridge> *found) = 0;
    // Opens the bridge at `bridge.path`; Gone when nothing is there any more,
    // Busy when it is held elsewhere.
    virtual Result open(const Bridge &bridge, std::unique_ptr<Link> *link) = 0;
};

// The bus of this library build: libftdi1's (ftdi1_bus.cpp), or a test's fake.
std::unique_ptr<Bus> makeBus();

} // namespace qolven_ftdi1

#endif
