#include "fake_bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "transport/ftd2xx_api.h"

namespace qolven_fuzz {
namespace {

constexpr FT_STATUS kOk = 0, kInvalidHandle = 1, kIoError = 4, kInvalidParameter = 6;
constexpr size_t kHostBuffer = 1024;  // the adapter's read and write buffers
// Step of the clock per reading while the script runs, and once it is used
// up: a starved read then times out within a few polls.
constexpr int64_t kTickUs = 10, kStarvedTickUs = 50000;

struct Bridge {
    const uint8_t *script = nullptr;
    size_t size = 0, at = 0;
    bool armed = false;
    bool open = false;
    bool unplugged = false;
    int boardType = 2;
    bool autoIdentify = false;
    std::deque<uint8_t> rx;
    std::vector<uint8_t> lastRequest;
    FT_STATUS readFailure = kOk, writeFailure = kOk, purgeFailure = kOk;
    uint32_t overReport = 0;
    bool shortRead = false;
    unsigned failures = 0;
    int64_t clockUs = 0;
};

Bridge bridge;

void *const kHandle = reinterpret_cast<void *>(uintptr_t(0x5A5A0));

[[noreturn]] void misuse(const char *what) {
    std::fprintf(stderr, "fake bridge: %s\n", what);
    std::abort();
}

bool exhausted() { return bridge.at >= bridge.size; }
uint8_t next() { return exhausted() ? 0 : bridge.script[bridge.at++]; }

// A status from the low five bits; 0 would be success, so it stands for a
// code outside the table of known ones.
FT_STATUS statusOf(uint8_t op) { return (op & 0x1F) ? (op & 0x1F) : 0x7FFFFFFFu; }

FT_STATUS failed(FT_STATUS status) {
    if (status != kOk) ++bridge.failures;
    return status;
}

void push(std::initializer_list<uint8_t> bytes) { bridge.rx.insert(bridge.rx.end(), bytes); }
void pushScript(size_t count) {
    for (size_t i = 0; i < count; ++i) bridge.rx.push_back(next());
}

// Size and command of the regular answer to a request, by its command.
void answerShape(uint8_t command, uint8_t &size, uint8_t &answer) {
    answer = command;
    switch (command) {
    case 0x40: case 0x41: case 0x42: case 0x44:
    case 0x50: case 0x51: case 0x52: size = 8; return;
    case 0x46: size = 68; return;
    case 0x47: case 0x82: case 0x84: case 0x86: size = 7; return;
    case 0x48: size = 12; return;
    case 0x4B: size = 10; return;
    case 0x80: size = 6; return;
    case 0x88: size = 133; return;
    default: size = 4; answer = 0x01; return;  // every other command is acknowledged
    }
}

// One answer to the last request; `shape` bits: 0 leading 0xFF, 1 the
// second packet of a two-answer command follows, 2 acknowledgement, 3 board
// error report, 4 fast-data packet with a fuzzed length.
void pushAnswer(uint8_t shape) {
    if (bridge.lastRequest.size() < 3) return;
    const uint8_t number = bridge.lastRequest[0], command = bridge.lastRequest[2];
    uint8_t size, answer;
    answerShape(command, size, answer);
    if (shape & 4) size = 4, answer = 0x01;
    if (shape & 16) size = uint8_t(4 + next());
    if (shape & 1) bridge.rx.push_back(0xFF);
    if (shape & 8) {
        push({number, 5, uint8_t(0x4C + (next() & 3)), next(), 0xAA});
    } else {
        push({number, size, answer});
        pushScript(size >= 4 ? size - 4u : 0u);
        bridge.rx.push_back(0xAA);
    }
    // The board announces itself after a reset numbered 1; other commands
    // answered twice finish with the request's number.
    if (shape & 2) push({uint8_t(command == 0x45 ? 1 : number), 4, 0x45, 0xAA});
}

// One step of the script, taken at every poll.
FT_STATUS step() {
    if (exhausted()) {
        bridge.clockUs += kStarvedTickUs;
        return kOk;
    }
    const uint8_t op = next();
    if (op < 0x40) {
        pushScript(size_t(op) + 1);
    } else if (op < 0x60) {
        pushAnswer(op & 0x1F);
    } else if (op < 0x80) {
        bridge.clockUs += int64_t(kTickUs) << (op & 0x0F);
    } else if (op < 0xA0) {
        return statusOf(op);
    } else if (op < 0xC0) {
        bridge.readFailure = statusOf(op);
    } else if (op < 0xE0) {
        bridge.writeFailure = statusOf(op);
    } else if (op < 0xF0) {
        bridge.overReport = uint32_t(op & 0x0F) * 256 + 1;
    } else if (op == 0xF0) {
        bridge.shortRead = true;
    } else if (op == 0xF1) {
        bridge.purgeFailure = statusOf(next());
    } else if (op == 0xF2) {
        bridge.unplugged = true;
    }
    return kOk;
}

FT_STATUS checkHandle(FT_HANDLE handle) {
    if (handle != kHandle || !bridge.open) return kInvalidHandle;
    return bridge.unplugged ? kIoError : kOk;
}

} // namespace

void *fakeHandle() { return kHandle; }

void bridgeBegin(const uint8_t *script, size_t size, int boardType, bool autoIdentify) {
    bridge = Bridge();
    bridge.script = script;
    bridge.size = size;
    bridge.boardType = boardType;
    bridge.autoIdentify = autoIdentify;
}

void bridgeArm() { bridge.armed = true; }

unsigned transportFailures() { return bridge.failures; }

int64_t virtualMicros() {
    bridge.clockUs += exhausted() && bridge.armed ? kStarvedTickUs : kTickUs;
    return bridge.clockUs;
}

void sleepVirtualUntil(int64_t micros) { bridge.clockUs = std::max(bridge.clockUs, micros); }

} // namespace qolven_fuzz

using namespace qolven_fuzz;

extern "C" {

FT_STATUS FT_ListDevices(void *arg1, void *arg2, DWORD flags) {
    if (flags & FT_LIST_NUMBER_ONLY) {
        *static_cast<DWORD *>(arg1) = 1;
        return kOk;
    }
    if (!arg2 || reinterpret_cast<uintptr_t>(arg1) != 0) return 2;
    std::strcpy(static_cast<char *>(arg2), "FUZZ");
    return kOk;
}

FT_STATUS FT_OpenEx(void *, DWORD, FT_HANDLE *handle) {
    bridge.open = true;
    *handle = kHandle;
    return kOk;
}

FT_STATUS FT_Open(int, FT_HANDLE *handle) { return FT_OpenEx(nullptr, 0, handle); }

FT_STATUS FT_Close(FT_HANDLE handle) {
    FT_STATUS status = checkHandle(handle);
    bridge.open = false;
    return status;
}

FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, DWORD *type, DWORD *id, char *serial, char *description, void *) {
    if (FT_STATUS status = checkHandle(handle)) return status;
    if (type) *type = 5;
    if (id) *id = 0x04036001;
    if (serial) std::strcpy(serial, "FUZZ");
    if (description) std::strcpy(description, "FUZZ");
    return kOk;
}

FT_STATUS FT_CreateDeviceInfoList(DWORD *count) {
    *count = 1;
    return kOk;
}

FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *list, DWORD *count) {
    std::memset(list, 0, sizeof *list);
    *count = 1;
    return kOk;
}

FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD *rxBytes, DWORD *txBytes, DWORD *eventStatus) {
    if (!rxBytes) return kInvalidParameter;
    if (FT_STATUS status = checkHandle(handle)) return failed(status);
    if (bridge.armed) {
        if (FT_STATUS status = step()) return failed(status);
        if (FT_STATUS status = checkHandle(handle)) return failed(status);
    }
    *rxBytes = DWORD(bridge.rx.size()) + bridge.overReport;
    if (txBytes) *txBytes = 0;
    if (eventStatus) *eventStatus = 0;
    return kOk;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, DWORD, DWORD) { return checkHandle(handle); }
FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, DWORD, DWORD) { return checkHandle(handle); }
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, unsigned char) { return checkHandle(handle); }
FT_STATUS FT_GetLatencyTimer(FT_HANDLE handle, unsigned char *ms) {
    if (ms) *ms = 2;
    return checkHandle(handle);
}
FT_STATUS FT_SetVIDPID(DWORD, DWORD) { return kOk; }
FT_STATUS FT_GetVIDPID(DWORD *vid, DWORD *pid) {
    *vid = 0x0403;
    *pid = 0x6001;
    return kOk;
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *returned) {
    if (!returned || !buffer) misuse("FT_Read without a buffer");
    // The adapter must never ask for more than its buffer holds.
    if (count > kHostBuffer) misuse("FT_Read beyond the read buffer");
    *returned = 0;
    if (FT_STATUS status = checkHandle(handle)) return failed(status);
    if (bridge.readFailure != kOk) {
        FT_STATUS status = bridge.readFailure;
        bridge.readFailure = kOk;
        return failed(status);
    }
    size_t n = std::min<size_t>(count, bridge.rx.size());
    if (bridge.shortRead) n /= 2, bridge.shortRead = false;
    std::copy_n(bridge.rx.begin(), n, static_cast<uint8_t *>(buffer));
    bridge.rx.erase(bridge.rx.begin(), bridge.rx.begin() + long(n));
    bridge.overReport = 0;
    *returned = DWORD(n);
    return kOk;
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, DWORD count, DWORD *written) {
    if (!written || !buffer) misuse("FT_Write without a buffer");
    if (count == 0 || count > kHostBuffer) misuse("FT_Write of an impossible length");
    *written = 0;
    if (FT_STATUS status = checkHandle(handle)) return failed(status);
    if (bridge.writeFailure != kOk) {
        FT_STATUS status = bridge.writeFailure;
        bridge.writeFailure = kOk;
        return failed(status);
    }
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    bridge.lastRequest.assign(bytes, bytes + count);
    if (bridge.autoIdentify && count == 4 && bytes[2] == 0x44)
        push({bytes[0], 8, 0x44, uint8_t(bridge.boardType), 1, 4, 0xB1, 0xAA});
    *written = count;
    return kOk;
}

FT_STATUS FT_Purge(FT_HANDLE handle, DWORD mask) {
    if (FT_STATUS status = checkHandle(handle)) return status;
    if (bridge.purgeFailure != kOk) {
        FT_STATUS status = bridge.purgeFailure;
        bridge.purgeFailure = kOk;
        return status;
    }
    if (mask & FT_PURGE_RX) bridge.rx.clear();
    bridge.overReport = 0;
    return kOk;
}

} // extern "C"
