// The FT_* functions our driver library calls, with D2XX's meaning, over a Bus
// (libftdi1 in the library, a fake in the tests).
//
// Choices where D2XX leaves room or is unsafe:
//  - handles are tokens, never reused: a closed handle gives FT_INVALID_HANDLE;
//  - FT_OpenEx by serial number refuses a serial that several bridges share
//    (FT_INVALID_ARGS) instead of opening whichever comes first; "@1-2.3" in
//    place of the serial number opens the bridge at that USB path (bus 1,
//    port 2, then port 3 of a hub), and FT_ListDevices gives such bridges by
//    their path, so that a program that opens what the list names (the qolven
//    tool) can open each of them;
//  - a bridge that is gone gives FT_IO_ERROR on every call that needs it, as
//    D2XX does: FT_GetDeviceInfo then gives FT_OTHER_ERROR, FT_SetTimeouts and
//    FT_Close succeed (the handle is released);
//  - bridges with several interfaces (FT2232, FT4232) are not listed.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "d2xx_types.h"
#include "receive_queue.h"
#include "usb.h"

#define QOLVEN_FTDI1_EXPORT extern "C" __attribute__((visibility("default")))

namespace qolven_ftdi1 {
namespace {

// Beyond this many bytes unread, reading pauses until the host takes some.
constexpr size_t kReceiveCapacity = 1 << 20;
// D2XX's transfer size until FT_SetUSBParameters says otherwise.
constexpr size_t kDefaultTransferSize = 4096;
constexpr size_t kLargestTransferSize = 65536;
// FT_ListDevices writes a serial number or description whole, up to this many
// bytes with its NUL, as D2XX does; callers give it a buffer of 64.
constexpr size_t kListTextSize = 64;
constexpr char kPathPrefix = '@';

constexpr Dword kByLocation = 4;
constexpr Dword kListWhat = 0x7;

struct Device {
    Bridge bridge;
    std::unique_ptr<ReceiveQueue> queue;
    std::unique_ptr<Link> link;
    std::atomic<unsigned> readTimeoutMs{0};
    std::atomic<unsigned> writeTimeoutMs{0};
    // Held shared by every call using the link, exclusively by FT_Close to end it.
    std::shared_mutex use;
    // libftdi1 takes one control request at a time on a context.
    std::mutex control;
};
using DevicePtr = std::shared_ptr<Device>;

class Provider {
public:
    Provider() : bus_(makeBus()) {}

    Bus &bus() { return *bus_; }

    std::vector<UsbId> ids() const {
        std::vector<UsbId> ids = {{0x0403, 0x6001}, {0x0403, 0x6014}, {0x0403, 0x6015}};
        UsbId own{static_cast<uint16_t>(vid_.load()), static_cast<uint16_t>(pid_.load())};
        if (std::none_of(ids.begin(), ids.end(),
                         [&](const UsbId &i) { return i.vendor == own.vendor && i.product == own.product; }))
            ids.push_back(own);
        return ids;
    }

    Status scan(std::vector<Bridge> *found) {
        Result r = bus_->scan(ids(), found);
        return r == Result::Ok ? kOk : kOtherError;
    }

    DevicePtr find(void *handle) {
        std::shared_lock<std::shared_mutex> lock(handlesMutex_);
        auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
        return it == handles_.end() ? nullptr : it->second;
    }

    DevicePtr take(void *handle) {
        std::unique_lock<std::shared_mutex> lock(handlesMutex_);
        auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == handles_.end()) return nullptr;
        DevicePtr d = it->second;
        handles_.erase(it);
        return d;
    }

    // The handle of this process's open bridge at `path`, or null.
    void *openAt(const std::string &path) {
        std::shared_lock<std::shared_mutex> lock(handlesMutex_);
        for (const auto &h : handles_)
            if (h.second->bridge.path == path) return reinterpret_cast<void *>(h.first);
        return nullptr;
    }

    Status open(const Bridge &bridge, void **handle) {
        if (openAt(bridge.path)) return kDeviceNotOpened;
        std::unique_ptr<Link> link;
        switch (bus_->open(bridge, &link)) {
        case Result::Ok:
            break;
        case Result::Gone:
            return kDeviceNotFound;
        default:
            return kDeviceNotOpened;
        }
        auto d = std::make_shared<Device>();
        d->bridge = bridge;
        d->queue = std::make_unique<ReceiveQueue>(link->packetSize(), kReceiveCapacity);
        d->link = std::move(link);
        d->link->startReading(d->queue.get(), kDefaultTransferSize);
        std::unique_lock<std::shared_mutex> lock(handlesMutex_);
        uintptr_t token = nextHandle_;
        nextHandle_ += 0x10;
        handles_[token] = d;
        *handle = reinterpret_cast<void *>(token);
        return kOk;
    }

    void setIds(Dword vid, Dword pid) {
        vid_ = vid;
        pid_ = pid;
    }
    void getIds(Dword *vid, Dword *pid) const {
        *vid = vid_;
        *pid = pid_;
    }

    // The list FT_CreateDeviceInfoList made, for FT_GetDeviceInfoList.
    std::mutex listMutex;
    std::vector<Bridge> list;
    bool listMade = false;

private:
    std::unique_ptr<Bus> bus_;
    std::shared_mutex handlesMutex_;
    std::map<uintptr_t, DevicePtr> handles_;
    uintptr_t nextHandle_ = 0x1000;
    // What FTDI's library answers before any FT_SetVIDPID.
    std::atomic<Dword> vid_{0x15d6};
    std::atomic<Dword> pid_{0x0001};
};

// Never destroyed: a host may exit with bridges open, or while another thread
// is inside a call; the system releases the bridges with the process.
Provider &provider() {
    static Provider *p = new Provider;
    return *p;
}

void copyText(char *to, size_t size, const std::string &text) {
    size_t n = std::min(size - 1, text.size());
    std::memcpy(to, text.data(), n);
    to[n] = 0;
}

Dword chipType(const Bridge &b) {
    switch (b.release & 0xFF00) {
    case 0x0200: return kDeviceAm;
    case 0x0400: return kDeviceBm;
    case 0x0500: return kDevice2232C;
    case 0x0600: return kDevice232R;
    case 0x0700: return kDevice2232H;
    case 0x0800: return kDevice4232H;
    case 0x0900: return kDevice232H;
    case 0x1000: return kDeviceXSeries;
    default: return kDeviceUnknown;
    }
}

Dword usbId(const Bridge &b) { return (Dword(b.vendor) << 16) | b.product; }

// A call on an open handle: finds the device and holds it in use; `status` is
// what the call returns when it cannot go on.
class Call {
public:
    explicit Call(void *handle) : device_(provider().find(handle)) {
        if (!device_) return;
        lock_ = std::shared_lock<std::shared_mutex>(device_->use);
        if (!device_->link) {
            lock_.unlock();
            device_.reset();
        }
    }
    Status status() const {
        if (!device_) return kInvalidHandle;
        return device_->queue->gone() ? kIoError : kOk;
    }
    Device &device() { return *device_; }

private:
    DevicePtr device_;
    std::shared_lock<std::shared_mutex> lock_;
};

Status fromResult(Result r) {
    switch (r) {
    case Result::Ok: return kOk;
    case Result::Gone: return kIoError;
    default: return kIoError;
    }
}

// The bridges an FT_OpenEx argument names.
std::vector<Bridge> matching(const std::vector<Bridge> &all, const void *arg, Dword by) {
    std::vector<Bridge> out;
    if (by == kByLocation) {
        Dword location = static_cast<Dword>(reinterpret_cast<uintptr_t>(arg));
        for (const Bridge &b : all)
            if (b.location == location) out.push_back(b);
        return out;
    }
    const std::string key(static_cast<const char *>(arg));
    for (const Bridge &b : all) {
        if (by == kBySerialNumber && !key.empty() && key[0] == kPathPrefix) {
            if (b.path == key.substr(1)) out.push_back(b);
        } else if ((by == kBySerialNumber ? b.serial : b.description) == key) {
            out.push_back(b);
        }
    }
    return out;
}

} // namespace
} // namespace qolven_ftdi1

using namespace qolven_ftdi1;

// What FT_ListDevices gives for bridge `i`: its serial number, or "@" and its
// USB path when another bridge has the same serial number.
std::string listedSerial(const std::vector<Bridge> &all, size_t i) {
    for (size_t j = 0; j < all.size(); ++j)
        if (j != i && all[j].serial == all[i].serial) return std::string(1, kPathPrefix) + all[i].path;
    return all[i].serial;
}

QOLVEN_FTDI1_EXPORT Status FT_ListDevices(void *arg1, void *arg2, Dword flags) {
    Provider &p = provider();
    std::vector<Bridge> all;
    if (flags & kListNumberOnly) {
        if (!arg1) return kInvalidParameter;
        Status st = p.scan(&all);
        if (st != kOk) return st;
        *static_cast<Dword *>(arg1) = static_cast<Dword>(all.size());
        return kOk;
    }
    const Dword what = flags & kListWhat;
    if (what != kBySerialNumber && what != kByDescription && what != kByLocation) return kInvalidParameter;
    auto fill = [what, &all](void *to, size_t i) {
        if (what == kByLocation)
            *static_cast<Dword *>(to) = all[i].location;
        else
            copyText(static_cast<char *>(to), kListTextSize,
                     what == kBySerialNumber ? listedSerial(all, i) : all[i].description);
    };
    if (flags & kListByIndex) {
        if (!arg2) return kInvalidParameter;
        Status st = p.scan(&all);
        if (st != kOk) return st;
        size_t index = reinterpret_cast<uintptr_t>(arg1);
        if (index >= all.size()) return kDeviceNotFound;
        fill(arg2, index);
        return kOk;
    }
    if (flags & kListAll) {
        if (!arg1 || !arg2) return kInvalidParameter;
        Status st = p.scan(&all);
        if (st != kOk) return st;
        void **buffers = static_cast<void **>(arg1);
        for (size_t i = 0; i < all.size() && buffers[i]; ++i) fill(buffers[i], i);
        *static_cast<Dword *>(arg2) = static_cast<Dword>(all.size());
        return kOk;
    }
    return kInvalidParameter;
}

QOLVEN_FTDI1_EXPORT Status FT_OpenEx(void *arg, Dword flags, void **handle) {
    if (!handle) return kInvalidParameter;
    *handle = nullptr;
    if (flags != kBySerialNumber && flags != kByDescription && flags != kByLocation) return kInvalidParameter;
    if (!arg && flags != kByLocation) return kInvalidParameter;
    Provider &p = provider();
    std::vector<Bridge> all;
    Status st = p.scan(&all);
    if (st != kOk) return st;
    std::vector<Bridge> named = matching(all, arg, flags);
    if (named.empty()) return kDeviceNotFound;
    // Two bridges with one serial number cannot be told apart by it: open neither.
    if (flags == kBySerialNumber && named.size() > 1) return kInvalidArgs;
    for (const Bridge &b : named) {
        st = p.open(b, handle);
        if (st == kOk) break;
    }
    return st;
}

QOLVEN_FTDI1_EXPORT Status FT_Open(int index, void **handle) {
    if (!handle) return kInvalidParameter;
    *handle = nullptr;
    Provider &p = provider();
    std::vector<Bridge> all;
    Status st = p.scan(&all);
    if (st != kOk) return st;
    if (index < 0 || static_cast<size_t>(index) >= all.size()) return kDeviceNotFound;
    return p.open(all[static_cast<size_t>(index)], handle);
}

QOLVEN_FTDI1_EXPORT Status FT_Close(void *handle) {
    DevicePtr d = provider().take(handle);
    if (!d) return kInvalidHandle;
    d->queue->close();
    std::unique_lock<std::shared_mutex> lock(d->use);
    d->link.reset();
    return kOk;
}

QOLVEN_FTDI1_EXPORT Status FT_GetDeviceInfo(void *handle, Dword *type, Dword *id, char *serial, char *description,
                                            void *) {
    Call c(handle);
    if (Status st = c.status()) return st == kIoError ? kOtherError : st;
    const Bridge &b = c.device().bridge;
    if (type) *type = chipType(b);
    if (id) *id = usbId(b);
    if (serial) copyText(serial, 16, b.serial);
    if (description) copyText(description, 64, b.description);
    return kOk;
}

QOLVEN_FTDI1_EXPORT Status FT_CreateDeviceInfoList(Dword *count) {
    if (!count) return kInvalidParameter;
    Provider &p = provider();
    std::vector<Bridge> all;
    Status st = p.scan(&all);
    if (st != kOk) return st;
    std::lock_guard<std::mutex> lock(p.listMutex);
    p.list = std::move(all);
    p.listMade = true;
    *count = static_cast<Dword>(p.list.size());
    return kOk;
}

QOLVEN_FTDI1_EXPORT Status FT_GetDeviceInfoList(DeviceListNode *nodes, Dword *count) {
    if (!nodes || !count) return kInvalidParameter;
    Provider &p = provider();
    std::lock_guard<std::mutex> lock(p.listMutex);
    if (!p.listMade) {
        Status st = p.scan(&p.list);
        if (st != kOk) return st;
        p.listMade = true;
    }
    for (size_t i = 0; i < p.list.size(); ++i) {
        const Bridge &b = p.list[i];
        DeviceListNode node;
        std::memset(&node, 0, sizeof node);
        void *open = p.openAt(b.path);
        if (!open && b.claimed) {
            // Held by another program: D2XX shows it as open and nothing else of it.
            node.Flags = kNodeOpened;
            node.Type = kDeviceUnknown;
        } else {
            node.Flags = (open ? Dword(kNodeOpened) : 0) | (b.highSpeed ? Dword(kNodeHighSpeed) : 0);
            node.Type = chipType(b);
            node.ID = usbId(b);
            node.LocId = b.location;
            copyText(node.SerialNumber, sizeof node.SerialNumber, b.serial);
            copyText(node.Description, sizeof node.Description, b.description);
            node.ftHandle = open;
        }
        std::memcpy(&nodes[i], &node, sizeof node);
    }
    *count = static_cast<Dword>(p.list.size());
    return kOk;
}

QOLVEN_FTDI1_EXPORT Status FT_GetStatus(void *handle, Dword *rx, Dword *tx, Dword *events) {
    Call c(handle);
    if (Status st = c.status()) return st;
    if (!rx || !tx || !events) return kInvalidParameter;
    *rx = static_cast<Dword>(c.device().queue->size());
    // Writes go out before FT_Write returns: nothing waits to be sent.
    *tx = 0;
    *events = 0;
    return kOk;
}

QOLVEN_FTDI1_EXPORT Status FT_SetTimeouts(void *handle, Dword readMs, Dword writeMs) {
    Call c(handle);
    if (c.status() == kInvalidHandle) return kInvalidHandle;
    c.device().readTimeoutMs = readMs;
    c.device().writeTimeoutMs = writeMs;
    return kOk;
}

QOLVEN_FTDI1_EXPORT Status FT_SetUSBParameters(void *handle, Dword inSize, Dword /*outSize: unused, as in D2XX*/) {
    Call c(handle);
    if (Status st = c.status()) return st;
    // Whole packets, at least one, at most 64 KiB.
    const size_t packet = c.device().link->packetSize();
    size_t size = std::min<size_t>(std::max<size_t>(inSize, packet), kLargestTransferSize);
    size = (size + packet - 1) / packet * packet;
    c.device().link->setTransferSize(std::min(size, kLargestTransferSize));
    return kOk;
}

QOLVEN_FTDI1_EXPORT Status FT_SetLatencyTimer(void *handle, unsigned char ms) {
    Call c(handle);
    if (Status st = c.status()) return st;
    std::lock_guard<std::mutex> lock(c.device().control);
    return fromResult(c.device().link->setLatency(ms));
}

QOLVEN_FTDI1_EXPORT Status FT_GetLatencyTimer(void *handle, unsigned char *ms) {
    Call c(handle);
    if (Status st = c.status()) return st;
    if (!ms) return kInvalidParameter;
    std::lock_guard<std::mutex> lock(c.device().control);
    uint8_t value = 0;
    Status st = fromResult(c.device().link->latency(&value));
    if (st == kOk) *ms = value;
    return st;
}

QOLVEN_FTDI1_EXPORT Status FT_SetVIDPID(Dword vid, Dword pid) {
    if (vid > 0xFFFF || pid > 0xFFFF) return kInvalidParameter;
    provider().setIds(vid, pid);
    return kOk;
}

QOLVEN_FTDI1_EXPORT Status FT_GetVIDPID(Dword *vid, Dword *pid) {
    if (!vid || !pid) return kInvalidParameter;
    provider().getIds(vid, pid);
    return kOk;
}

QOLVEN_FTDI1_EXPORT Status FT_Read(void *handle, void *buffer, Dword count, Dword *returned) {
    Call c(handle);
    if (Status st = c.status()) return st;
    if (!returned || (!buffer && count)) return kInvalidParameter;
    *returned = 0;
    Device &d = c.device();
    size_t got = 0;
    ReceiveQueue::Outcome outcome = d.queue->read(static_cast<uint8_t *>(buffer), count, d.readTimeoutMs, &got);
    *returned = static_cast<Dword>(got);
    if (got) d.link->resume();
    switch (outcome) {
    case ReceiveQueue::Outcome::Ok: return kOk;
    case ReceiveQueue::Outcome::Gone: return kIoError;
    case ReceiveQueue::Outcome::Closed: return kInvalidHandle;
    }
    return kOtherError;
}

QOLVEN_FTDI1_EXPORT Status FT_Write(void *handle, void *buffer, Dword count, Dword *written) {
    Call c(handle);
    if (Status st = c.status()) return st;
    if (!written || (!buffer && count)) return kInvalidParameter;
    *written = 0;
    size_t done = 0;
    Result r = count ? c.device().link->write(static_cast<const uint8_t *>(buffer), count,
                                              c.device().writeTimeoutMs, &done)
                     : Result::Ok;
    *written = static_cast<Dword>(done);
    if (r == Result::Gone) c.device().queue->lost();
    // A time-out is no failure: the count says how much went.
    return r == Result::TimedOut ? kOk : fromResult(r);
}

QOLVEN_FTDI1_EXPORT Status FT_Purge(void *handle, Dword mask) {
    Call c(handle);
    if (Status st = c.status()) return st;
    if (mask & ~Dword(kPurgeReceive | kPurgeTransmit)) return kInvalidParameter;
    if (!mask) return kOk;
    Device &d = c.device();
    std::lock_guard<std::mutex> lock(d.control);
    const bool receive = mask & kPurgeReceive;
    if (receive) d.queue->startDiscarding();
    Result r = d.link->purge(receive, mask & kPurgeTransmit);
    if (receive) {
        d.queue->stopDiscarding();
        d.link->resume();
    }
    return fromResult(r);
}
