// The C++ control API of qolven_sim.h (bridge level and device level).
#include "sim_internal.h"

#include <stdexcept>
#include <sys/stat.h>

namespace qolven_sim {

using namespace detail;

// ---- bridge level
void reset() { reset_bridge(bridge()); }

void attach(const BoardConfig &config) {
    if (config.serial.empty() || config.serial.size() > kMaxSerialBytes)
        throw std::invalid_argument("qolven_sim::attach: serial number " + quoted(config.serial) + " has " +
                                    std::to_string(config.serial.size()) + " bytes (1 to " +
                                    std::to_string(kMaxSerialBytes) + ")");
    DeviceDescription description;
    description.cfg = config;
    std::string error;
    if (!attach_devices(bridge(), {description}, false, &error)) throw std::length_error("qolven_sim::attach: " + error);
}

bool detach(const std::string &serial) { return detach_device(bridge(), serial); }

std::vector<std::string> serials() {
    Bridge &b = bridge();
    std::shared_lock<std::shared_mutex> lock(b.m);
    std::vector<std::string> out;
    for (auto &d : b.devices) out.push_back(d->cfg.serial);
    return out;
}

bool load_description(const std::string &path, std::string *error) {
    std::string text, why;
    std::vector<DeviceDescription> devices;
    bool ok = read_description_file(path, text, &why) && parse_description(text, devices, &why) &&
              attach_devices(bridge(), devices, false, &why);
    if (error) *error = ok ? std::string() : quoted(path, 200) + ": " + why;
    return ok;
}

void inject_status(const std::string &function, uint32_t status, int count) {
    Bridge &b = bridge();
    std::unique_lock<std::shared_mutex> lock(b.m);
    if (count <= 0) b.injections.erase(function);
    else b.injections[function] = {status, count};
    b.pendingInjections = static_cast<int>(b.injections.size());
}

std::vector<CallRecord> calls() {
    Bridge &b = bridge();
    std::lock_guard<std::mutex> lock(b.logM);
    std::vector<CallRecord> out;
    out.reserve(b.calls.size());
    for (const LoggedCall &c : b.calls) {
        CallRecord r;
        r.function = c.function;
        r.args.assign(c.args, c.args + c.argCount);
        r.status = c.status;
        if (c.serial) r.serial = *c.serial;
        r.repeat = c.repeat;
        out.push_back(std::move(r));
    }
    return out;
}

void clear_calls() {
    Bridge &b = bridge();
    std::lock_guard<std::mutex> lock(b.logM);
    b.calls.clear();
}

// ---- device level
void set_fault(const std::string &serial, const FaultSpec &fault) {
    with_device(serial, [&](Device &d) {
        // A rule of the same kind replaces the earlier one; different kinds add up.
        for (auto &r : d.faults) {
            if (r.rule.kind == fault.kind) {
                r.rule = fault;
                r.counter = 0;
                return;
            }
        }
        d.faults.push_back({fault, 0});
    });
}

void clear_faults(const std::string &serial) {
    with_device(serial, [](Device &d) { d.faults.clear(); });
}

void set_answer_delay_us(const std::string &serial, unsigned delayUs) {
    with_device(serial, [&](Device &d) { d.cfg.answerDelayUs = delayUs; });
}

bool set_signal(const std::string &serial, double offset, double amplitude, double periodS, double noise) {
    bool found = false;
    with_device(serial, [&](Device &d) {
        d.cfg.signalOffset = offset;
        d.cfg.signalAmplitude = amplitude;
        d.cfg.signalPeriodS = periodS;
        d.cfg.signalNoise = noise;
        found = true;
    });
    return found;
}

bool get_signal(const std::string &serial, double &offset, double &amplitude, double &periodS, double &noise) {
    return with_device(serial, [&](Device &d) {
        offset = d.cfg.signalOffset;
        amplitude = d.cfg.signalAmplitude;
        periodS = d.cfg.signalPeriodS;
        noise = d.cfg.signalNoise;
    });
}

void set_board_type(const std::string &serial, int boardType) {
    // The board becomes a fresh board of the new type: storage back to that type's
    // defaults (and the description file's register values), display and menu state
    // cleared; handles, queues, logs (writes, key presses, diagnostics) stay.
    with_device(serial, [&](Device &d) {
        d.cfg.boardType = boardType;
        TimePoint now = Clock::now();
        init_storage(d);
        apply_overrides(d);
        apply_replay(d);
        restart_board(d, now);
    });
}

BoardConfig config(const std::string &serial) {
    BoardConfig c;
    bool found = false;
    with_device(serial, [&](Device &d) { c = d.cfg; found = true; });
    if (!found) {
        c = BoardConfig();
        c.serial.clear();
    }
    return c;
}

std::vector<std::vector<uint8_t>> writes(const std::string &serial) {
    std::vector<std::vector<uint8_t>> out;
    with_device(serial, [&](Device &d) { out.assign(d.writes.begin(), d.writes.end()); });
    return out;
}

void clear_writes(const std::string &serial) {
    with_device(serial, [](Device &d) {
        d.writes.clear();
        d.writeBytes = 0;
    });
}

void queue_rx(const std::string &serial, const std::vector<uint8_t> &bytes, unsigned delayUs) {
    with_device(serial, [&](Device &d) {
        TimePoint t = Clock::now() + std::chrono::microseconds(delayUs);
        if (!d.rx.empty() && d.rx.back().visibleAt > t) t = d.rx.back().visibleAt;
        if (bytes.empty()) return;
        d.rx.push_back({t, bytes, 0});
        d.rxBytes += bytes.size();
    });
}

size_t rx_pending(const std::string &serial) {
    size_t n = 0;
    with_device(serial, [&](Device &d) {
        for (auto &c : d.rx) n += c.remaining();
    });
    return n;
}

void set_board_silent(const std::string &serial, bool silent) {
    with_device(serial, [&](Device &d) { d.silent = silent; });
}

std::vector<std::string> diagnostics(const std::string &serial) {
    std::vector<std::string> out;
    with_device(serial, [&](Device &d) { out.assign(d.diagnostics.begin(), d.diagnostics.end()); });
    return out;
}

DeviceSettings device_settings(const std::string &serial) {
    DeviceSettings s;
    with_device(serial, [&](Device &d) { s = d.settings; });
    return s;
}

bool is_open(const std::string &serial) {
    bool open = false;
    with_device(serial, [&](Device &d) { open = d.is_open(); });
    return open;
}

// ---- storage
uint16_t eeprom(const std::string &serial, int address) {
    uint16_t v = 0;
    with_device(serial, [&](Device &d) { v = d.st.eeprom[address & 0xFF]; });
    return v;
}

void set_eeprom(const std::string &serial, int address, uint16_t value) {
    with_device(serial, [&](Device &d) { d.st.eeprom[address & 0xFF] = value; });
}

uint8_t channel_register(const std::string &serial, int channel, int address) {
    uint8_t v = 0;
    with_device(serial, [&](Device &d) { v = d.st.channel[channel & 3][address & 0xFF]; });
    return v;
}

void set_channel_register(const std::string &serial, int channel, int address, uint8_t value) {
    with_device(serial, [&](Device &d) { d.st.channel[channel & 3][address & 0xFF] = value; });
}

uint8_t memory_register(const std::string &serial, int address) {
    uint8_t v = 0;
    with_device(serial, [&](Device &d) { v = d.st.memory[address & 0xFF]; });
    return v;
}

void set_memory_register(const std::string &serial, int address, uint8_t value) {
    with_device(serial, [&](Device &d) { d.st.memory[address & 0xFF] = value; });
}

// TEDS addresses are 16-bit (high, low): 0..65535.
uint8_t teds_register(const std::string &serial, int address) {
    uint8_t v = 0;
    with_device(serial, [&](Device &d) { v = teds_byte(d.st, address); });
    return v;
}

void set_teds_register(const std::string &serial, int address, uint8_t value) {
    with_device(serial, [&](Device &d) { set_teds_byte(d.st, address, value); });
}

std::vector<uint8_t> page(const std::string &serial, int pageNumber) {
    std::vector<uint8_t> out;
    with_device(serial, [&](Device &d) {
        for (int i = 0; i < kPageSize; ++i) out.push_back(page_byte(d.st.pages, pageNumber, i));
    });
    return out;
}

void set_page(const std::string &serial, int pageNumber, const std::vector<uint8_t> &bytes) {
    with_device(serial, [&](Device &d) {
        uint8_t *p = page_bytes(d.st.pages, pageNumber);
        for (int i = 0; i < kPageSize; ++i) p[i] = i < static_cast<int>(bytes.size()) ? bytes[i] : 0;
    });
}

std::string display_page(const std::string &serial) {
    std::string s;
    with_device(serial, [&](Device &d) { s = current_display_page(d, Clock::now()); });
    return s;
}

void set_display_page(const std::string &serial, const std::string &text) {
    with_device(serial, [&](Device &d) {
        std::string t = text;
        t.resize(64, ' ');
        d.displayOverride = t;
    });
}

void set_internal_register(const std::string &serial, int reg, uint32_t value24) {
    with_device(serial, [&](Device &d) { d.st.internal[reg & 0xFF] = value24 & 0xFFFFFF; });
}

void set_log_record(const std::string &serial, int number, const std::vector<uint8_t> &eightBytes) {
    with_device(serial, [&](Device &d) {
        std::vector<uint8_t> r = eightBytes;
        r.resize(8, 0);
        d.st.logs[number & 0xFFFF] = r;
    });
}

std::vector<int> key_presses(const std::string &serial) {
    std::vector<int> out;
    with_device(serial, [&](Device &d) { out.assign(d.keys.begin(), d.keys.end()); });
    return out;
}

int reset_count(const std::string &serial) {
    int n = 0;
    with_device(serial, [&](Device &d) { n = d.resets; });
    return n;
}

// The generator brought up to now at the rate the board runs.
static void fast_up_to_now(Device &d) {
    TimePoint now = Clock::now();
    fast_set_rate(d, rate_for_code(adc_config_byte(d, 0) & 0x0F), now);
    fast_catch_up(d, now);
}

FastCounters fast_counters(const std::string &serial) {
    FastCounters c;
    with_device(serial, [&](Device &d) {
        fast_up_to_now(d);
        c = d.fast.totals;
        c.waiting = d.fast.waiting.size();
    });
    return c;
}

uint32_t next_sample_sequence(const std::string &serial) {
    uint32_t s = 0;
    with_device(serial, [&](Device &d) {
        fast_up_to_now(d);
        s = d.fast.seq;
    });
    return s;
}

bool save_state(const std::string &path) {
    std::string why;
    std::shared_ptr<StateFile> file = StateFile::create(path, &why);
    if (!file) return record_error(bridge(), why), false;
    // Copies taken one device at a time, the file written without any lock held.
    std::vector<std::pair<std::string, Storage>> copies;
    for (const std::string &serial : serials())
        with_device(serial, [&](Device &d) { copies.emplace_back(serial, d.st); });
    std::vector<std::pair<std::string, const Storage *>> records;
    for (auto &c : copies) records.emplace_back(c.first, &c.second);
    if (file->save(records, &why)) return true;
    record_error(bridge(), why);
    return false;
}

bool load_state(const std::string &path) {
    std::string why;
    std::shared_ptr<StateFile> file = StateFile::create(path, &why);
    struct stat info;
    if (file && ::stat(path.c_str(), &info) != 0) why = quoted(path, 200) + " does not exist";
    else if (file && file->check(&why)) {
        // Read once, applied to each device under its lock.
        std::vector<std::string> names = serials();
        std::vector<Storage> copies(names.size());
        std::vector<std::pair<std::string, Storage *>> targets;
        for (size_t i = 0; i < names.size(); ++i) {
            with_device(names[i], [&](Device &d) { copies[i] = d.st; });
            targets.emplace_back(names[i], &copies[i]);
        }
        if (file->load_devices(targets, &why)) {
            for (size_t i = 0; i < names.size(); ++i) with_device(names[i], [&](Device &d) { d.st = copies[i]; });
            return true;
        }
    }
    record_error(bridge(), why);
    return false;
}

} // namespace qolven_sim
