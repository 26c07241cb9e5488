#include "fake_bus.h"

#include <algorithm>

namespace qolven_ftdi1 {

// The provider's bus in the test executables.
std::unique_ptr<Bus> makeBus() {
    struct Forward final : Bus {
        Result scan(const std::vector<UsbId> &ids, std::vector<Bridge> *found) override {
            return qolven_ftdi1_test::fakeBus().scan(ids, found);
        }
        Result open(const Bridge &bridge, std::unique_ptr<Link> *link) override {
            return qolven_ftdi1_test::fakeBus().open(bridge, link);
        }
    };
    return std::make_unique<Forward>();
}

} // namespace qolven_ftdi1

namespace qolven_ftdi1_test {

std::vector<uint8_t> transfer(const std::vector<std::vector<uint8_t>> &payloads, uint8_t modem, uint8_t line) {
    std::vector<uint8_t> out;
    for (const auto &p : payloads) {
        out.push_back(modem);
        out.push_back(line);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

FakeLink::FakeLink(std::string path) : path_(std::move(path)) {}

FakeLink::~FakeLink() {
    FakeBus &bus = fakeBus();
    std::lock_guard<std::mutex> lock(bus.mutex);
    auto it = bus.open_.find(path_);
    if (it != bus.open_.end() && it->second == this) bus.open_.erase(it);
}

void FakeLink::startReading(Receiver *receiver, size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    receiver_ = receiver;
    transferSize = size;
}

void FakeLink::setTransferSize(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    transferSize = bytes;
}

void FakeLink::resume() {
    std::lock_guard<std::mutex> lock(mutex);
    ++resumes;
}

Result FakeLink::write(const uint8_t *data, size_t count, unsigned, size_t *done) {
    std::lock_guard<std::mutex> lock(mutex);
    if (gone) {
        *done = 0;
        return Result::Gone;
    }
    size_t n = std::min(count, writeRoom);
    written.insert(written.end(), data, data + n);
    writeRoom -= n;
    *done = n;
    return n < count ? Result::TimedOut : Result::Ok;
}

Result FakeLink::setLatency(uint8_t ms) {
    std::lock_guard<std::mutex> lock(mutex);
    if (gone) return Result::Gone;
    latencyMs = ms;
    return Result::Ok;
}

Result FakeLink::latency(uint8_t *ms) {
    std::lock_guard<std::mutex> lock(mutex);
    if (gone) return Result::Gone;
    *ms = latencyMs;
    return Result::Ok;
}

Result FakeLink::purge(bool receive, bool transmit) {
    std::function<void()> meanwhile;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (gone) return Result::Gone;
        purges.emplace_back(receive, transmit);
        meanwhile = duringPurge;
    }
    if (meanwhile) meanwhile();
    return Result::Ok;
}

void FakeLink::deliver(const std::vector<uint8_t> &bytes) { receiver_->received(bytes.data(), bytes.size()); }

void FakeLink::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        gone = true;
    }
    receiver_->lost();
}

Result FakeBus::scan(const std::vector<UsbId> &ids, std::vector<Bridge> *found) {
    std::lock_guard<std::mutex> lock(mutex);
    scans.push_back(ids);
    found->clear();
    if (scanResult != Result::Ok) return scanResult;
    for (const Bridge &b : bridges)
        if (std::any_of(ids.begin(), ids.end(),
                        [&](const UsbId &id) { return id.vendor == b.vendor && id.product == b.product; }))
            found->push_back(b);
    return Result::Ok;
}

Result FakeBus::open(const Bridge &bridge, std::unique_ptr<Link> *link) {
    std::lock_guard<std::mutex> lock(mutex);
    auto refused = refuse.find(bridge.path);
    if (refused != refuse.end()) return refused->second;
    if (std::none_of(bridges.begin(), bridges.end(), [&](const Bridge &b) { return b.path == bridge.path; }))
        return Result::Gone;
    auto made = std::make_unique<FakeLink>(bridge.path);
    open_[bridge.path] = made.get();
    *link = std::move(made);
    return Result::Ok;
}

FakeLink *FakeBus::link(const std::string &path) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = open_.find(path);
    return it == open_.end() ? nullptr : it->second;
}

void FakeBus::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    bridges.clear();
    refuse.clear();
    scans.clear();
    scanResult = Result::Ok;
}

FakeBus &fakeBus() {
    static FakeBus bus;
    return bus;
}

Bridge bridge(const std::string &serial, const std::string &path, uint16_t release) {
    Bridge b;
    b.serial = serial;
    b.description = "FT232R USB UART";
    b.path = path;
    b.vendor = 0x0403;
    b.product = 0x6001;
    b.release = release;
    b.location = 0x100 + static_cast<uint32_t>(path.size());
    return b;
}

} // namespace qolven_ftdi1_test
