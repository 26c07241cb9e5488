// Device registry: the process-wide bridge state and its first-use set-up
// (QOLVEN_SIM_CONFIG, QOLVEN_SIM_STATE), attaching and detaching devices, the call log,
// the bounded device logs and the failure kept for qolven_sim_take_error.
#include "sim_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace qolven_sim {
namespace detail {

namespace {

void report_at_start(Bridge &b, const char *variable, const std::string &value, const std::string &why) {
    std::string message = std::string(variable) + " " + quoted(value, 200) + ": " + why;
    record_error(b, message);
    std::fprintf(stderr, "qolven_sim: %s\n", message.c_str());
}

// Runs once, before the bridge is handed to anybody: no lock is needed yet.
Bridge *create_bridge() {
    Bridge *b = new Bridge();  // never destroyed: usable from other static destructors
    const char *cfg = std::getenv("QOLVEN_SIM_CONFIG");
    std::vector<DeviceDescription> devices;
    if (cfg && *cfg) {
        std::string text, error;
        if (!read_description_file(cfg, text, &error) || !parse_description(text, devices, &error)) {
            report_at_start(*b, "QOLVEN_SIM_CONFIG", cfg, error);
            devices.clear();
        }
    } else {
        devices.push_back(DeviceDescription());  // SIM0001, board type 2, answer delay 1500 us
    }
    const char *state = std::getenv("QOLVEN_SIM_STATE");
    if (state && *state) {
        std::string error;
        if (std::shared_ptr<StateFile> file = StateFile::create(state, &error)) {
            b->state = file;
            if (!file->check(&error)) report_at_start(*b, "QOLVEN_SIM_STATE", state, error);
        } else {
            report_at_start(*b, "QOLVEN_SIM_STATE", state, error);
        }
    }
    std::string error;
    if (!attach_devices(*b, devices, true, &error)) report_at_start(*b, "QOLVEN_SIM_CONFIG", cfg ? cfg : "", error);
    return b;
}

// Loads the records of `devices` from the file, reading it once.  Each device's storage
// is copied and written back under its lock; devices opened meanwhile keep theirs.
void load_stored(Bridge &b, const std::shared_ptr<StateFile> &file, const std::vector<DevicePtr> &devices) {
    if (!file || devices.empty()) return;
    std::vector<Storage> copies(devices.size());
    std::vector<std::pair<std::string, Storage *>> targets;
    for (size_t i = 0; i < devices.size(); ++i) {
        std::lock_guard<std::mutex> lock(devices[i]->m);
        copies[i] = devices[i]->st;
        targets.emplace_back(devices[i]->cfg.serial, &copies[i]);
    }
    std::string why;
    if (!file->load_devices(targets, &why)) return record_error(b, why);
    for (size_t i = 0; i < devices.size(); ++i) {
        std::lock_guard<std::mutex> lock(devices[i]->m);
        if (!devices[i]->is_open()) devices[i]->st = std::move(copies[i]);
    }
}

} // namespace

Bridge &bridge() {
    static Bridge *b = create_bridge();
    return *b;
}

void record_error(Bridge &b, const std::string &reason) {
    std::lock_guard<std::mutex> lock(b.errorM);
    b.lastError = reason;
}

std::string take_error(Bridge &b) {
    std::lock_guard<std::mutex> lock(b.errorM);
    std::string out;
    out.swap(b.lastError);
    return out;
}

size_t utf8_length(const std::string &s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    for (size_t k = 1; n && k < n; ++k)
        if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) n = 0;
    return n;
}

std::string quoted(const std::string &text, size_t limit) {
    std::string out = "\"";
    size_t i = 0;
    while (i < text.size() && i < limit) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = utf8_length(text, i);
        if (n == 1 && c >= 0x20 && c != 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else if (n > 1 && i + n <= limit) {
            out.append(text, i, n);
        } else if (n > 1) {
            break;  // a character cut by the limit
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            n = 1;
        }
        i += n;
    }
    out += '"';
    if (i < text.size()) out += "...";
    return out;
}

DevicePtr find_device(Bridge &b, const std::string &serial) {
    for (auto &d : b.devices)
        if (d->cfg.serial == serial) return d;
    return nullptr;
}

void init_device(Device &d, TimePoint now) {
    d.epoch = now;
    d.noiseRng.seed(d.cfg.seed * 2654435761u + 12345u);
    d.faultRng.seed(d.cfg.seed);
    init_storage(d);
    apply_overrides(d);
    apply_replay(d);
    d.fast = FastGenerator();
    fast_restart(d, now);
    d.rotationPulses = 0;
    d.rotationLast = now;
    d.displayOverride.reset();
    d.keys.clear();
    d.lastKey = -1;
    d.menuOpen = false;
    d.menuItem = 0;
    d.resets = 0;
}

void power_up(Device &d, TimePoint now) {
    d.rx.clear();
    d.rxBytes = 0;
    restart_board(d, now);
}

void restart_board(Device &d, TimePoint now) {
    fast_restart(d, now);
    d.rotationPulses = 0;
    d.rotationLast = now;
    d.displayOverride.reset();
    d.lastKey = -1;
    d.menuOpen = false;
    d.menuItem = 0;
}

DevicePtr make_device(const DeviceDescription &description) {
    auto d = std::make_shared<Device>();
    d->cfg = description.cfg;
    d->serial = std::make_shared<const std::string>(d->cfg.serial);
    d->cfg.activeChannels = std::clamp(d->cfg.activeChannels, 1, 4);
    d->overrides = description.overrides;
    d->replay = description.replay;
    init_device(*d, Clock::now());
    if (description.fault) d->faults.push_back({*description.fault, 0});
    return d;
}

void Device::close_locked() {
    handle = 0;
    state.reset();
    if (lockFd >= 0) ::close(lockFd);  // gives the device back to other processes
    lockFd = -1;
}

Device::~Device() {
    if (lockFd >= 0) ::close(lockFd);
}

// Unplugging happens in two steps: the devices are marked (open handles now fail with
// FT_IO_ERROR) under the list's lock, and their lock files are given back after it is
// released, as that waits for each device's lock and a device may be in a save.
static void give_back_locks(const std::vector<DevicePtr> &unplugged) {
    for (const DevicePtr &d : unplugged) {
        std::lock_guard<std::mutex> lock(d->m);
        if (d->lockFd >= 0) ::close(d->lockFd);
        d->lockFd = -1;
    }
}

bool attach_devices(Bridge &b, const std::vector<DeviceDescription> &devices, bool replaceAll, std::string *error) {
    std::shared_ptr<StateFile> file;
    {
        std::shared_lock<std::shared_mutex> lock(b.m);
        file = b.state;
    }
    // Built and loaded before the list is locked: other devices keep working meanwhile.
    std::vector<DevicePtr> fresh;
    for (const DeviceDescription &description : devices) fresh.push_back(make_device(description));
    load_stored(b, file, fresh);
    std::vector<DevicePtr> unplugged;
    std::unique_lock<std::shared_mutex> lock(b.m);
    std::vector<DevicePtr> list = replaceAll ? std::vector<DevicePtr>() : b.devices;
    for (const DevicePtr &d : fresh) {
        auto same = std::find_if(list.begin(), list.end(),
                                 [&](const DevicePtr &x) { return x->cfg.serial == d->cfg.serial; });
        if (same != list.end()) *same = d;  // keeps its index
        else list.push_back(d);
    }
    if (list.size() > kMaxDevices) {
        if (error)
            *error = "too many devices: " + std::to_string(list.size()) + " attached, at most " +
                     std::to_string(kMaxDevices);
        return false;
    }
    for (const DevicePtr &old : b.devices)
        if (std::find(list.begin(), list.end(), old) == list.end()) unplugged.push_back(old);
    for (const DevicePtr &d : unplugged) d->detached = true;
    b.devices.swap(list);
    lock.unlock();
    give_back_locks(unplugged);
    return true;
}

bool detach_device(Bridge &b, const std::string &serial) {
    std::unique_lock<std::shared_mutex> lock(b.m);
    auto it = std::find_if(b.devices.begin(), b.devices.end(),
                           [&](const DevicePtr &d) { return d->cfg.serial == serial; });
    if (it == b.devices.end()) return false;
    DevicePtr d = *it;
    d->detached = true;
    b.devices.erase(it);
    lock.unlock();
    give_back_locks({d});
    return true;
}

void reset_bridge(Bridge &b) {
    std::vector<DevicePtr> unplugged;
    {
        std::unique_lock<std::shared_mutex> lock(b.m);
        unplugged = b.devices;
        for (auto &h : b.handles) unplugged.push_back(h.second);
        for (auto &d : unplugged) d->detached = true;
        b.devices.clear();
        b.handles.clear();  // handles never come back: the token counter keeps running
        b.injections.clear();
        b.pendingInjections = 0;
        b.vid = 0x0403;
        b.pid = 0x6001;
        b.infoListSnapshot = -1;
    }
    give_back_locks(unplugged);
    std::lock_guard<std::mutex> lock(b.logM);
    b.calls.clear();
}

bool use_state_file(Bridge &b, const char *path, std::string *error) {
    std::shared_ptr<StateFile> file;
    if (path) {
        file = StateFile::create(path, error);
        if (!file) return false;
    }
    bool good = !file || file->check(error);
    std::vector<DevicePtr> devices;
    {
        std::unique_lock<std::shared_mutex> lock(b.m);
        b.state = file;
        devices = b.devices;
    }
    // Open devices keep the file they were opened with; the others show what it holds.
    if (good) load_stored(b, file, devices);
    return good;
}

void log_call(Bridge &b, const char *fn, const uint64_t *args, size_t argCount, uint32_t status, const Device *d) {
    LoggedCall r{fn, {0, 0}, static_cast<uint8_t>(std::min<size_t>(argCount, 2)), status, 1, nullptr};
    std::copy(args, args + r.argCount, r.args);
    if (d) r.serial = d->serial;
    std::lock_guard<std::mutex> lock(b.logM);
    if (!b.calls.empty()) {
        // A busy poll repeats the same status call thousands of times: one entry.
        LoggedCall &last = b.calls.back();
        if (std::strcmp(fn, "FT_GetStatus") == 0 && std::strcmp(last.function, fn) == 0 && last.status == status &&
            last.argCount == r.argCount && std::equal(r.args, r.args + r.argCount, last.args) &&
            (last.serial == r.serial || (last.serial && r.serial && *last.serial == *r.serial))) {
            ++last.repeat;
            return;
        }
    }
    b.calls.push_back(std::move(r));
    if (b.calls.size() > kMaxCallRecords) b.calls.pop_front();
}

void add_diagnostic(Device &d, std::string text) {
    d.diagnostics.push_back(std::move(text));
    if (d.diagnostics.size() > kMaxDiagnostics) d.diagnostics.pop_front();
}

void add_write(Device &d, std::vector<uint8_t> bytes) {
    d.writeBytes += bytes.size();
    d.writes.push_back(std::move(bytes));
    while (d.writes.size() > 1 && (d.writes.size() > kMaxWriteRecords || d.writeBytes > kMaxWriteBytes)) {
        d.writeBytes -= d.writes.front().size();
        d.writes.pop_front();
    }
}

} // namespace detail
} // namespace qolven_sim
