// Device registry: the process-wide bridge state, first-use initialisation
// (QOLVEN_SIM_CONFIG, QOLVEN_SIM_STATE), attaching and detaching devices, the call log.
#include "sim_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qolven_sim {
namespace detail {

Bridge &bridge() {
    static Bridge *b = new Bridge();  // never destroyed: usable from other static destructors
    return *b;
}

static void first_use(Bridge &b) {
    b.initialised = true;
    const char *cfg = std::getenv("QOLVEN_SIM_CONFIG");
    if (cfg && *cfg) {
        std::string error;
        if (!load_description_locked(b, cfg, &error))
            std::fprintf(stderr, "qolven_sim: QOLVEN_SIM_CONFIG %s: %s\n", cfg, error.c_str());
    } else {
        BoardConfig def;  // serial SIM0001, board type 2, answer delay 1500 us
        attach_locked(b, def, {});
    }
    const char *state = std::getenv("QOLVEN_SIM_STATE");
    if (state && *state) {
        b.statePath = state;
        load_state_locked(b, b.statePath);  // a missing file is not an error
    }
}

Guard::Guard() : lock(bridge().m), b(bridge()) {
    if (!b.initialised) first_use(b);
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

void attach_locked(Bridge &b, const BoardConfig &cfg, const std::vector<RegisterOverride> &overrides) {
    auto d = std::make_shared<Device>();
    d->cfg = cfg;
    if (d->cfg.activeChannels < 1) d->cfg.activeChannels = 1;
    if (d->cfg.activeChannels > 4) d->cfg.activeChannels = 4;
    d->overrides = overrides;
    init_device(*d, Clock::now());
    for (auto &slot : b.devices) {
        if (slot->cfg.serial == cfg.serial) {
            slot->detached = true;  // its open handles now fail with FT_IO_ERROR
            slot = d;
            return;
        }
    }
    b.devices.push_back(d);
}

bool detach_locked(Bridge &b, const std::string &serial) {
    auto it = std::find_if(b.devices.begin(), b.devices.end(),
                           [&](const DevicePtr &d) { return d->cfg.serial == serial; });
    if (it == b.devices.end()) return false;
    (*it)->detached = true;
    b.devices.erase(it);
    return true;
}

void reset_locked(Bridge &b) {
    for (auto &d : b.devices) d->detached = true;
    b.devices.clear();
    for (auto &h : b.handles) h.second->detached = true;
    b.handles.clear();  // handles never come back: the token counter keeps running
    b.injections.clear();
    b.calls.clear();
    b.vid = 0x0403;
    b.pid = 0x6001;
    b.infoListSnapshot = -1;
}

void log_call(Bridge &b, const char *fn, std::vector<uint64_t> args, uint32_t status, const Device *d) {
    if (!b.calls.empty()) {
        CallRecord &last = b.calls.back();
        if (last.function == fn && last.function == "FT_GetStatus" && last.status == status && last.args == args &&
            last.serial == (d ? d->cfg.serial : std::string())) {
            ++last.repeat;
            return;
        }
    }
    CallRecord r;
    r.function = fn;
    r.args = std::move(args);
    r.status = status;
    if (d) r.serial = d->cfg.serial;
    b.calls.push_back(std::move(r));
    if (b.calls.size() > kMaxCallRecords) b.calls.pop_front();
}

} // namespace detail
} // namespace qolven_sim
