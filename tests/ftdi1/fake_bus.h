// A Bus for the provider's tests: bridges set up by the test, links that
// record what the provider sends and hand it the USB transfers the test makes.
#ifndef QOLVEN_FTDI1_FAKE_BUS_H
#define QOLVEN_FTDI1_FAKE_BUS_H

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "usb.h"

namespace qolven_ftdi1_test {

using namespace qolven_ftdi1;

// One bulk-in transfer of whole packets: each payload behind the chip's two
// status bytes.
std::vector<uint8_t> transfer(const std::vector<std::vector<uint8_t>> &payloads, uint8_t modem = 0x11,
                              uint8_t line = 0x60);

class FakeLink final : public Link {
public:
    explicit FakeLink(std::string path);
    ~FakeLink() override;

    size_t packetSize() const override { return 64; }
    void startReading(Receiver *receiver, size_t transferSize) override;
    void setTransferSize(size_t bytes) override;
    void resume() override;
    Result write(const uint8_t *data, size_t count, unsigned timeoutMs, size_t *written) override;
    Result setLatency(uint8_t ms) override;
    Result latency(uint8_t *ms) override;
    Result purge(bool receive, bool transmit) override;

    // As the link's thread would: one finished transfer, or the bridge pulled out.
    void deliver(const std::vector<uint8_t> &bytes);
    void unplug();

    std::mutex mutex;
    std::vector<uint8_t> written;
    size_t writeRoom = SIZE_MAX;  // a write beyond it times out
    size_t transferSize = 0;
    int resumes = 0;
    std::vector<std::pair<bool, bool>> purges;
    std::function<void()> duringPurge;  // bytes that arrive while the chip is cleared
    uint8_t latencyMs = 16;
    bool gone = false;

private:
    std::string path_;
    Receiver *receiver_ = nullptr;
};

class FakeBus final : public Bus {
public:
    Result scan(const std::vector<UsbId> &ids, std::vector<Bridge> *found) override;
    Result open(const Bridge &bridge, std::unique_ptr<Link> *link) override;

    // The bridge at `path` the provider has open now, or null.
    FakeLink *link(const std::string &path);
    void reset();

    std::mutex mutex;
    std::vector<Bridge> bridges;
    std::map<std::string, Result> refuse;  // path -> what open answers instead
    std::map<std::string, FakeLink *> open_;
    std::vector<std::vector<UsbId>> scans;  // the ids each scan asked for
    Result scanResult = Result::Ok;
};

FakeBus &fakeBus();

Bridge bridge(const std::string &serial, const std::string &path, uint16_t release = 0x0600);

} // namespace qolven_ftdi1_test

#endif
