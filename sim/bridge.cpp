// The FT_* functions of the D2XX library, answered from the virtual devices.
//
// Meaning as in FTDI's library, with these choices:
//  - handles are unique tokens (never reused, never real pointers); after FT_Close or
//    qolven_sim::reset() a handle yields FT_INVALID_HANDLE (1);
//  - opening a device that is already open yields FT_DEVICE_NOT_OPENED (3);
//  - a detached (unplugged) device makes every call on its handle return FT_IO_ERROR (4);
//    FT_Close also returns 4 but releases the handle (later calls on it return 1);
//  - FT_Read never waits: it returns what is visible now (up to the count asked);
//  - the transmit queue is always empty (the board takes each write at once), so
//    FT_GetStatus reports 0 transmit bytes and FT_Purge(2) has nothing to discard;
//    FT_Purge with bit 0 discards every received byte, visible or not yet visible;
//  - FT_SetLatencyTimer accepts 2..255 ms (else FT_INVALID_PARAMETER, as the real library);
//  - FT_Write with a null buffer, a zero count or a null written-count pointer yields
//    FT_INVALID_PARAMETER (6); so do null output pointers elsewhere;
//  - inject_status() makes the next calls of a function return a status without doing
//    anything; every call is logged with its integer arguments and status.
#include "sim_internal.h"

#include <algorithm>
#include <cstring>

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

// One FT_* call: holds the bridge lock, logs the call when it returns.
struct Call {
    Guard g;
    const char *fn;
    std::vector<uint64_t> args;
    Device *dev = nullptr;

    Call(const char *f, std::vector<uint64_t> a) : fn(f), args(std::move(a)) {}
    uint32_t ret(uint32_t status) {
        log_call(g.b, fn, args, status, dev);
        return status;
    }
    bool injected(uint32_t &status) {
        auto it = g.b.injections.find(fn);
        if (it == g.b.injections.end() || it->second.second <= 0) return false;
        status = it->second.first;
        if (--it->second.second <= 0) g.b.injections.erase(it);
        return true;
    }
    // 0 with `dev` set, 1 for an unknown handle, 4 for a detached device.
    uint32_t handle(FT_HANDLE h) {
        auto it = g.b.handles.find(reinterpret_cast<uintptr_t>(h));
        if (it == g.b.handles.end()) return FT_INVALID_HANDLE_;
        dev = it->second.get();
        return dev->detached ? FT_IO_ERROR_ : FT_OK_;
    }
    // The common start of a call on an open handle: an injected status
    // wins, then an invalid or unplugged handle.  True when the call ends
    // here, with its logged status in `out`.
    bool refused(FT_HANDLE h, FT_STATUS &out) {
        uint32_t hs = handle(h), st;
        if (injected(st)) return out = ret(st), true;
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

size_t visible_bytes(const Device &d, TimePoint now) {
    size_t n = 0;
    for (const auto &c : d.rx) {
        if (c.visibleAt > now) break;
        n += c.remaining();
    }
    return n;
}

uint32_t open_device(Bridge &b, const DevicePtr &d, FT_HANDLE *out) {
    if (d->open) return FT_DEVICE_NOT_OPENED_;
    d->open = true;
    d->handle = b.nextHandle++;
    b.handles[d->handle] = d;
    d->settings = DeviceSettings();
    d->rx.clear();
    fast_restart(*d, Clock::now());
    *out = reinterpret_cast<FT_HANDLE>(d->handle);
    return FT_OK_;
}

void release_handle(Bridge &b, Device *d) {
    uintptr_t token = d->handle;
    d->open = false;
    d->handle = 0;
    b.handles.erase(token);  // may free a detached device: `d` is not touched afterwards
}

} // namespace

QOLVEN_EXPORT FT_STATUS FT_ListDevices(void *arg1, void *arg2, DWORD flags) {
    std::vector<uint64_t> a;
    if ((flags & kListByIndex) && !(flags & kListNumberOnly)) a.push_back(reinterpret_cast<uintptr_t>(arg1));
    a.push_back(flags);
    Call c("FT_ListDevices", a);
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    auto &devs = c.g.b.devices;
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
        if (what == kOpenBySerial) copy_text(static_cast<char *>(arg2), 16, devs[index]->cfg.serial);
        else copy_text(static_cast<char *>(arg2), 64, devs[index]->cfg.description);
        return c.ret(FT_OK_);
    }
    if (flags & kListAll) {
        if (!arg1 || !arg2 || (what != kOpenBySerial && what != kOpenByDescription))
            return c.ret(FT_INVALID_PARAMETER_);
        char **bufs = static_cast<char **>(arg1);
        for (size_t i = 0; i < devs.size(); ++i) {
            if (!bufs[i]) break;
            if (what == kOpenBySerial) copy_text(bufs[i], 16, devs[i]->cfg.serial);
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
    bool sawOpen = false;
    for (auto &d : c.g.b.devices) {
        const std::string &v = flags == kOpenBySerial ? d->cfg.serial : d->cfg.description;
        if (v != key) continue;
        if (d->open) {
            sawOpen = true;
            c.dev = d.get();
            continue;
        }
        c.dev = d.get();
        return c.ret(open_device(c.g.b, d, handle));
    }
    return c.ret(sawOpen ? FT_DEVICE_NOT_OPENED_ : FT_DEVICE_NOT_FOUND_);
}

QOLVEN_EXPORT FT_STATUS FT_Open(int index, FT_HANDLE *handle) {
    Call c("FT_Open", {static_cast<uint64_t>(static_cast<int64_t>(index))});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    if (!handle) return c.ret(FT_INVALID_PARAMETER_);
    *handle = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= c.g.b.devices.size()) return c.ret(FT_DEVICE_NOT_FOUND_);
    DevicePtr d = c.g.b.devices[index];
    c.dev = d.get();
    return c.ret(open_device(c.g.b, d, handle));
}

QOLVEN_EXPORT FT_STATUS FT_Close(FT_HANDLE h) {
    Call c("FT_Close", {});
    uint32_t hs = c.handle(h), st;
    if (c.injected(st)) return c.ret(st);
    if (hs == FT_INVALID_HANDLE_) return c.ret(hs);
    DevicePtr keep = c.g.b.handles[reinterpret_cast<uintptr_t>(h)];  // the call log reads the device
    release_handle(c.g.b, c.dev);
    return c.ret(hs);  // 0, or 4 for a detached device (the handle is released all the same)
}

QOLVEN_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, DWORD *type, DWORD *id, char *serial, char *desc, void *) {
    Call c("FT_GetDeviceInfo", {});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (type) *type = c.dev->cfg.deviceType;
    if (id) *id = (c.g.b.vid << 16) | (c.g.b.pid & 0xFFFF);
    copy_text(serial, 16, c.dev->cfg.serial);
    copy_text(desc, 64, c.dev->cfg.description);
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_CreateDeviceInfoList(DWORD *num) {
    Call c("FT_CreateDeviceInfoList", {});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    if (!num) return c.ret(FT_INVALID_PARAMETER_);
    *num = static_cast<DWORD>(c.g.b.devices.size());
    c.g.b.infoListSnapshot = static_cast<long>(c.g.b.devices.size());
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_GetDeviceInfoList(void *nodes, DWORD *num) {
    Call c("FT_GetDeviceInfoList", {});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    if (!nodes || !num) return c.ret(FT_INVALID_PARAMETER_);
    auto &devs = c.g.b.devices;
    size_t n = devs.size();
    // Never write more nodes than the last FT_CreateDeviceInfoList announced.
    if (c.g.b.infoListSnapshot >= 0) n = std::min(n, static_cast<size_t>(c.g.b.infoListSnapshot));
    auto *out = static_cast<DeviceListInfoNode *>(nodes);
    for (size_t i = 0; i < n; ++i) {
        const Device &d = *devs[i];
        DeviceListInfoNode node;
        std::memset(&node, 0, sizeof node);
        node.Flags = d.open ? kFlagOpened : 0;
        node.Type = d.cfg.deviceType;
        node.ID = (c.g.b.vid << 16) | (c.g.b.pid & 0xFFFF);
        node.LocId = static_cast<uint32_t>(0x1001 + i);
        copy_text(node.SerialNumber, 16, d.cfg.serial);
        copy_text(node.Description, 64, d.cfg.description);
        node.ftHandle = d.open ? reinterpret_cast<void *>(d.handle) : nullptr;
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
    c.g.b.vid = vid;
    c.g.b.pid = pid;
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_GetVIDPID(DWORD *vid, DWORD *pid) {
    Call c("FT_GetVIDPID", {});
    uint32_t st;
    if (c.injected(st)) return c.ret(st);
    if (!vid || !pid) return c.ret(FT_INVALID_PARAMETER_);
    *vid = c.g.b.vid;
    *pid = c.g.b.pid;
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_Read(FT_HANDLE h, void *buffer, DWORD count, DWORD *returned) {
    Call c("FT_Read", {count});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (!returned || (!buffer && count > 0)) return c.ret(FT_INVALID_PARAMETER_);
    TimePoint now = Clock::now();
    auto &rx = c.dev->rx;
    uint8_t *out = static_cast<uint8_t *>(buffer);
    DWORD n = 0;
    while (n < count && !rx.empty() && rx.front().visibleAt <= now) {
        RxChunk &ch = rx.front();
        size_t take = std::min<size_t>(count - n, ch.remaining());
        std::memcpy(out + n, ch.bytes.data() + ch.consumed, take);
        ch.consumed += take;
        n += static_cast<DWORD>(take);
        if (ch.remaining() == 0) rx.pop_front();
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
    d.writes.push_back(bytes);
    *written = count;
    if (!d.silent) {
        bool wrote = board_receive(c.g.b, d, bytes, Clock::now());
        if (wrote && !c.g.b.statePath.empty()) save_state_locked(c.g.b, c.g.b.statePath);
    }
    return c.ret(FT_OK_);
}

QOLVEN_EXPORT FT_STATUS FT_Purge(FT_HANDLE h, DWORD mask) {
    Call c("FT_Purge", {mask});
    FT_STATUS refused;
    if (c.refused(h, refused)) return refused;
    if (mask & ~3u) return c.ret(FT_INVALID_PARAMETER_);
    if (mask & 1) c.dev->rx.clear();  // received bytes, visible or still on their way
    // mask & 2: the transmit queue is always empty
    return c.ret(FT_OK_);
}
