// The FT_* functions of the D2XX library, answered from the virtual devices.
//
// Meaning as in FTDI's library, with these choices:
//  - handles are unique tokens (never reused, never real pointers); after FT_Close or
//    qolven_sim::reset() a handle yields FT_INVALID_HANDLE (1);
//  - opening a device that is already open yields FT_DEVICE_NOT_OPENED (3); with a state
//    file, so does a device that another process has open;
//  - a detached (unplugged) device makes every call on its handle return FT_IO_ERROR (4);
//    FT_Close also returns 4 but releases the handle (later calls on it return 1);
//  - FT_Read never waits: it returns what is visible now (up to the count asked);
//  - the transmit queue is always empty (the board takes each write at once), so
//    FT_GetStatus reports 0 transmit bytes and FT_Purge(2) has nothing to discard;
//    FT_Purge with bit 0 discards every received byte, visible or not yet visible;
//  - FT_ListDevices writes a serial number whole (up to 63 bytes and the NUL), while
//    FT_GetDeviceInfo and FT_GetDeviceInfoList cut it to 15 bytes, as FTDI's library does;
//    FT_OpenEx by serial number compares the whole serial, so a cut one opens nothing;
//  - FT_SetLatencyTimer accepts 2..255 ms (else FT_INVALID_PARAMETER, as the real library);
//  - FT_Write with a null buffer, a zero count or a null written-count pointer yields
//    FT_INVALID_PARAMETER (6); so do null output pointers elsewhere;
//  - inject_status() makes the next calls of a function return a status without doing
//    anything; every call is logged with its integer arguments and status.
#include "sim_internal.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

using FT_STATUS = uint32_t;
using DWORD = uint32_t;
using FT_HANDLE = void *;

#define QOLVEN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace qolven_sim;
using namespace qolven_sim::detail;

constexpr DWORD kListNumberOnly = 0x80000000u;
constexpr DWORD kListByIndex = 0x40000000u;
constexpr DWORD kListAll = 0x20000000u;
constexpr DWORD kOpenBySerial = 1, kOpenByDescription = 2;
constexpr uint32_t kFlagOpened = 1;

struct DeviceListInfoNode {
    uint32_t Flags, Type, ID, LocId;
    char SerialNumber[16];
    char Description[64];
    void *ftHandle;
};

// One FT_* call: looks up what it needs under the bridge's lock, then works under its
// device's lock only, and logs itself when it returns.
struct Call {
    Bridge &b = bridge();
    const char *fn;
    uint64_t args[2] = {0, 0};
    size_t argCount = 0;
    DevicePtr dev;                          // the device the call addresses, for the log
    std::unique_lock<std::mutex> devLock;   // held while the call works on `dev`

    Call(const char *f, std::initializer_list<uint64_t> a) : fn(f) {
        for (uint64_t v : a)
            if (argCount < 2) args[argCount++] = v;
    }
    uint32_t ret(uint32_t status) {
        log_call(b, fn, args, argCount, status, dev.get());
        return status;
    }
    bool injected(uint32_t &status) {
        if (b.pendingInjections.load() == 0) return false;
        std::unique_lock<std::shared_mutex> lock(b.m);
        auto it = b.injections.find(fn);
        if (it == b.injections.end() || it->second.second <= 0) return false;
        status = it->second.first;
        if (--it->second.second <= 0) {
            b.injections.erase(it);
            --b.pendingInjections;
        }
        return true;
    }
    // Finds the device of an open handle (not locked yet).
    void lookup(FT_HANDLE h) {
        std::shared_lock<std::shared_mutex> lock(b.m);
        auto it = b.handles.find(reinterpret_cast<uintptr_t>(h));
        if (it != b.handles.end()) dev = it->second;
    }
    // Locks the device of handle `h`: 0, 1 for a handle that is not open (or was closed
    // meanwhile by another thread), 4 for an unplugged device.
    uint32_t lock_handle(FT_HANDLE h) {
        if (!dev) return FT_INVALID_HANDLE_;
        devLock = std::unique_lock<std::mutex>(dev->m);
        if (dev->handle.load() != reinterpret_cast<uintptr_t>(h)) {
            devLock.unlock();
            dev.reset();
            return FT_INVALID_HANDLE_;
        }
        return dev->detached ? FT_IO_ERROR_ : FT_OK_;
    }
    // The common start of a call on an open handle: an injected status wins, then an
    // invalid or unplugged handle.  True when the call ends here, with its logged status
    // in `out`; otherwise the device is locked.
    bool refused(FT_HANDLE h, FT_STATUS &out) {
        lookup(h);
        uint32_t st;
        if (injected(st)) return out = ret(st), true;
        uint32_t hs = lock_handle(h);
        if (hs) return out = ret(hs), true;
        return false;
    }
};

void copy_text(char *dst, size_t cap, const std::string &s) {
    if (!dst) return;
    size_t n = std::min(cap - 1, s.size());
    std::memcpy(dst, s.data(), n);
    dst[n] = 0;
}

// FT_ListDevices writes a serial number whole, as FTDI's library does: a caller's buffer
// must take 64 bytes (serial numbers have at most 63), not the 16 of an info node.
void copy_whole(char *dst, const std::string &s) { copy_text(dst, kMaxSerialBytes + 1, s); }

size_t visible_bytes(const Device &d, TimePoint now) {
    size_t n = 0;
    for (const auto &c : d.rx) {
        if (c.visibleAt > now) break;
        n += c.remaining();
    }
    return n;
}

std::vector<DevicePtr> device_list(Bridge &b) {
    std::shared_lock<std::shared_mutex> lock(b.m);
    return b.devices;
}

// Opens `d`: 0 with the handle in `out`, 3 when it is open here or in another process
// using the same state file, 4 when its stored registers cannot be read.
uint32_t open_device(Bridge &b, const DevicePtr &d, FT_HANDLE *out) {
    std::shared_ptr<StateFile> file;
    {
        std::shared_lock<std::shared_mutex> lock(b.m);
        file = b.state;
    }
    std::unique_lock<std::mutex> lock(d->m);
    if (d->is_open()) return FT_DEVICE_NOT_OPENED_;
    if (d->detached) return FT_DEVICE_NOT_FOUND_;
    if (file) {
        // What the last process stored is what this one starts from.
        bool busy = false;
        std::string why;
        int fd = file->lock_device(d->cfg.serial, &busy, &why);
        if (fd < 0 && busy) return FT_DEVICE_NOT_OPENED_;
        if (fd < 0 || !file->load_device(d->cfg.serial, d->st, &why)) {
            if (fd >= 0) ::close(fd);
            record_error(b, why);
            return FT_IO_ERROR_;
        }
        d->lockFd = fd;
        d->state = file;
    }
    uintptr_t token = b.nextHandle++;
    d->handle = token;
    d->settings = DeviceSettings();
    d->rx.clear();
    d->rxBytes = 0;
    fast_restart(*d, Clock::now());
    lock.unlock();
    {
        std::unique_lock<std::shared_mutex> listLock(b.m);
        b.handles[token] = d;
    }
    *out = reinterpret_cast<FT_HANDLE>(token);
    return FT_OK_;
}

} // namespace

QOLVEN_EXPORT FT_STATUS FT_ListDevices(void *arg1, void *arg2, DWORD flags) {
    Call c("FT_ListDevices", {});
    if ((flags & kListByIndex) && !(flags & kListNumberOnly)) c.args[c.argCount++] = reinterpret_cast<uintptr_t>(arg1);
    c.args[c.argCount++] = flags;
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    std::vector<DevicePtr> devs = device_list(c.b);
    DWORD what = flags & 0x3;
    if (flags & kListNumberOnly) {
        if (!arg1) return c.ret(FT_INVALID_PARAMETER_);
        *static_cast<DWORD *>(arg1) = static_cast<DWORD>(devs.size());
        return c.ret(FT_OK_);
    }
    if (flags & kListByIndex) {
        if (!arg2 || (what != kOpenBySerial && what != kOpenByDescription)) return c.ret(FT_INVALID_PARAMETER_);
        size_t index = reinterpret_cast<uintptr_t>(arg1);
        if (index >= devs.size()) return c.ret(FT_DEVICE_NOT_FOUND_);
        if (what == kOpenBySerial) copy_whole(static_cast<char *>(arg2), devs[index]->cfg.serial);
        else copy_text(static_cast<char *>(arg2), 64, devs[index]->cfg.description);
        return c.ret(FT_OK_);
    }
    if (flags & kListAll) {
        if (!arg1 || !arg2 || (what != kOpenBySerial && what != kOpenByDescription))
            return c.ret(FT_INVALID_PARAMETER_);
        char **bufs = static_cast<char **>(arg1);
        for (size_t i = 0; i < devs.size(); ++i) {
            if (!bufs[i]) break;
            if (what == kOpenBySerial) copy_whole(bufs[i], devs[i]->cfg.serial);
            else copy_text(bufs[i], 64, devs[i]->cfg.description);
        }
        *static_cast<DWORD *>(arg2) = static_cast<DWORD>(devs.size());
        return c.ret(FT_OK_);
    }
    return c.ret(FT_INVALID_PARAMETER_);
}

QOLVEN_EXPORT FT_STATUS FT_OpenEx(void *arg, DWORD flags, FT_HANDLE *handle) {
    Call c("FT_OpenEx", {flags});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    if (!arg || !handle) return c.ret(FT_INVALID_PARAMETER_);
    *handle = nullptr;
    if (flags != kOpenBySerial && flags != kOpenByDescription) return c.ret(FT_DEVICE_NOT_FOUND_);
    std::string key(static_cast<const char *>(arg));
    uint32_t result = FT_DEVICE_NOT_FOUND_;
    for (auto &d : device_list(c.b)) {
        const std::string &v = flags == kOpenBySerial ? d->cfg.serial : d->cfg.description;
        if (v != key) continue;
        c.dev = d;
        uint32_t r = open_device(c.b, d, handle);
        if (r == FT_OK_) return c.ret(r);
        // Another device of the same description may still be free.
        if (result == FT_DEVICE_NOT_FOUND_ || r == FT_IO_ERROR_) result = r;
    }
    return c.ret(result);
}

QOLVEN_EXPORT FT_STATUS FT_Open(int index, FT_HANDLE *handle) {
    Call c("FT_Open", {static_cast<uint64_t>(static_cast<int64_t>(index))});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    if (!handle) return c.ret(FT_INVALID_PARAMETER_);
    *handle = nullptr;
    std::vector<DevicePtr> devs = device_list(c.b);
    if (index < 0 || static_cast<size_t>(index) >= devs.size()) return c.ret(FT_DEVICE_NOT_FOUND_);
    c.dev = devs[index];
    return c.ret(open_device(c.b, c.dev, handle));
}

QOLVEN_EXPORT FT_STATUS FT_Close(FT_HANDLE h) {
    Call c("FT_Close", {});
    c.lookup(h);
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    uint32_t hs = c.lock_handle(h);
    if (hs == FT_INVALID_HANDLE_) return c.ret(hs);
    c.dev->close_locked();
    c.devLock.unlock();
    {
        std::unique_lock<std::shared_mutex> lock(c.b.m);
        c.b.handles.erase(reinterpret_cast<uintptr_t>(h));
    }
    return c.ret(hs);  // 0, or 4 for a detached device (the handle is released all the same)
}

QOLVEN_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, DWORD *type, DWORD *id, char *serial, char *desc, void *) {
    Call c("FT_GetDeviceInfo", {});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (type) *type = c.dev->cfg.deviceType;
    if (id) *id = (c.b.vid.load() << 16) | (c.b.pid.load() & 0xFFFF);
    copy_text(serial, 16, c.dev->cfg.serial);
    copy_text(desc, 64, c.dev->cfg.description);
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_CreateDeviceInfoList(DWORD *num) {
    Call c("FT_CreateDeviceInfoList", {});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    if (!num) return c.ret(FT_INVALID_PARAMETER_);
    size_t n = device_list(c.b).size();
    *num = static_cast<DWORD>(n);
    c.b.infoListSnapshot = static_cast<long>(n);
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_GetDeviceInfoList(void *nodes, DWORD *num) {
    Call c("FT_GetDeviceInfoList", {});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    if (!nodes || !num) return c.ret(FT_INVALID_PARAMETER_);
    std::vector<DevicePtr> devs = device_list(c.b);
    size_t n = devs.size();
    // Never write more nodes than the last FT_CreateDeviceInfoList announced.
    long snapshot = c.b.infoListSnapshot.load();
    if (snapshot >= 0) n = std::min(n, static_cast<size_t>(snapshot));
    std::shared_ptr<StateFile> file;
    {
        std::shared_lock<std::shared_mutex> lock(c.b.m);
        file = c.b.state;
    }
    auto *out = static_cast<DeviceListInfoNode *>(nodes);
    for (size_t i = 0; i < n; ++i) {
        const Device &d = *devs[i];
        uintptr_t open = d.handle.load();
        DeviceListInfoNode node;
        std::memset(&node, 0, sizeof node);
        // As FTDI's library does, a device another process has open is marked open too.
        node.Flags = open || (file && file->open_elsewhere(d.cfg.serial)) ? kFlagOpened : 0;
        node.Type = d.cfg.deviceType;
        node.ID = (c.b.vid.load() << 16) | (c.b.pid.load() & 0xFFFF);
        node.LocId = static_cast<uint32_t>(0x1001 + i);
        copy_text(node.SerialNumber, 16, d.cfg.serial);
        copy_text(node.Description, 64, d.cfg.description);
        node.ftHandle = reinterpret_cast<void *>(open);
        std::memcpy(&out[i], &node, sizeof node);
    }
    *num = static_cast<DWORD>(n);
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE h, DWORD *rx, DWORD *tx, DWORD *event) {
    Call c("FT_GetStatus", {});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (!rx) return c.ret(FT_INVALID_PARAMETER_);
    *rx = static_cast<DWORD>(visible_bytes(*c.dev, Clock::now()));
    if (tx) *tx = 0;
    if (event) *event = 0;
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE h, DWORD readMs, DWORD writeMs) {
    Call c("FT_SetTimeouts", {readMs, writeMs});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    c.dev->settings.readTimeoutMs = readMs;
    c.dev->settings.writeTimeoutMs = writeMs;
    c.dev->settings.order.push_back(c.fn);
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_SetUSBParameters(FT_HANDLE h, DWORD inSize, DWORD outSize) {
    Call c("FT_SetUSBParameters", {inSize, outSize});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    c.dev->settings.usbInSize = inSize;
    c.dev->settings.usbOutSize = outSize;
    c.dev->settings.order.push_back(c.fn);
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, unsigned char ms) {
    Call c("FT_SetLatencyTimer", {ms});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (ms < 2) return c.ret(FT_INVALID_PARAMETER_);
    c.dev->settings.latencyMs = ms;
    c.dev->settings.order.push_back(c.fn);
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_GetLatencyTimer(FT_HANDLE h, unsigned char *ms) {
    Call c("FT_GetLatencyTimer", {});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (!ms) return c.ret(FT_INVALID_PARAMETER_);
    *ms = c.dev->settings.latencyMs;
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_SetVIDPID(DWORD vid, DWORD pid) {
    Call c("FT_SetVIDPID", {vid, pid});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    c.b.vid = vid;
    c.b.pid = pid;
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_GetVIDPID(DWORD *vid, DWORD *pid) {
    Call c("FT_GetVIDPID", {});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    if (!vid || !pid) return c.ret(FT_INVALID_PARAMETER_);
    *vid = c.b.vid;
    *pid = c.b.pid;
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_Read(FT_HANDLE h, void *buffer, DWORD count, DWORD *returned) {
    Call c("FT_Read", {count});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (!returned || (!buffer && count > 0)) return c.ret(FT_INVALID_PARAMETER_);
    TimePoint now = Clock::now();
    Device &d = *c.dev;
    uint8_t *out = static_cast<uint8_t *>(buffer);
    DWORD n = 0;
    while (n < count && !d.rx.empty() && d.rx.front().visibleAt <= now) {
        RxChunk &ch = d.rx.front();
        size_t take = std::min<size_t>(count - n, ch.remaining());
        std::memcpy(out + n, ch.bytes.data() + ch.consumed, take);
        ch.consumed += take;
        d.rxBytes -= take;
        n += static_cast<DWORD>(take);
        if (ch.remaining() == 0) d.rx.pop_front();
    }
    *returned = n;
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_Write(FT_HANDLE h, void *buffer, DWORD count, DWORD *written) {
    Call c("FT_Write", {count});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (!buffer || count == 0 || !written) {
        if (written) *written = 0;
        return c.ret(FT_INVALID_PARAMETER_);
    }
    const uint8_t *p = static_cast<const uint8_t *>(buffer);
    std::vector<uint8_t> bytes(p, p + count);
    Device &d = *c.dev;
    *written = count;
    add_write(d, bytes);
    if (!d.silent) board_receive(d, bytes, Clock::now());
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_Purge(FT_HANDLE h, DWORD mask) {
    Call c("FT_Purge", {mask});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (mask & ~3u) return c.ret(FT_INVALID_PARAMETER_);
    if (mask & 1) {  // received bytes, visible or still on their way
        c.dev->rx.clear();
        c.dev->rxBytes = 0;
    }
    // mask & 2: the transmit queue is always empty
    return c.ret(FT_OK_);
}
