// The C interface of qolven_sim_c.h.  Each entry point catches everything: a C host
// (dlopen, ctypes) cannot take a C++ exception.
#include "qolven_sim_c.h"

#include "sim_internal.h"

#include <algorithm>
#include <cstring>
#include <new>

#define QOLVEN_C_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace qolven_sim::detail;

// Copies `text` into the caller's buffer, cut at a character boundary.
void give(const std::string &text, char *out, size_t size) {
    if (!out || size == 0) return;
    size_t n = std::min(text.size(), size - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(out, text.data(), n);
    out[n] = 0;
}

// Runs `f` (which fills `why` on failure) and turns its outcome into the C convention.
template <class F> int run(char *error, size_t errorSize, F f) {
    std::string why;
    try {
        if (f(why)) {
            give("", error, errorSize);
            return 0;
        }
    } catch (const std::bad_alloc &) {
        why = "out of memory";
    } catch (const std::exception &e) {
        why = e.what();
    } catch (...) {
        why = "unexpected failure";
    }
    if (why.empty()) why = "unexpected failure";
    give(why, error, errorSize);
    return 1;
}

// The device must be attached: the control API would quietly do nothing.
bool attached(const char *serial, std::string &why) {
    if (!serial) return why = "no serial number (null text)", false;
    std::vector<std::string> all = qolven_sim::serials();
    if (std::find(all.begin(), all.end(), serial) != all.end()) return true;
    why = "no virtual device with serial number " + quoted(serial, 40) + " is attached";
    return false;
}

enum class Kind { Eeprom, Channel, Memory, Teds };

bool registerKind(const char *kind, Kind &k, std::string &why) {
    static const struct {
        const char *name;
        Kind kind;
    } kinds[] = {{"eeprom", Kind::Eeprom}, {"channel", Kind::Channel}, {"memory", Kind::Memory}, {"teds", Kind::Teds}};
    for (const auto &entry : kinds)
        if (kind && std::strcmp(kind, entry.name) == 0) return k = entry.kind, true;
    why = quoted(kind ? kind : "", 40) + " is not a register kind (eeprom, channel, memory, teds)";
    return false;
}

bool inRange(long long value, long long low, long long high, const char *what, std::string &why) {
    if (value >= low && value <= high) return true;
    why = std::string(what) + " " + std::to_string(value) + " is outside " + std::to_string(low) + ".." +
          std::to_string(high);
    return false;
}

// Register kind, channel and address checked together.
bool registerAt(const char *kind, int channel, int address, Kind &k, std::string &why) {
    if (!registerKind(kind, k, why)) return false;
    if (k == Kind::Channel && !inRange(channel, 0, 3, "channel", why)) return false;
    return inRange(address, 0, k == Kind::Teds ? 65535 : 255, "address", why);
}

} // namespace

QOLVEN_C_EXPORT int qolven_sim_configure(const char *text, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!text) return why = "no description (null text)", false;
        std::vector<DeviceDescription> devices;
        return parse_description(text, devices, &why) && attach_devices(bridge(), devices, true, &why);
    });
}

QOLVEN_C_EXPORT int qolven_sim_use_state_file(const char *path, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) { return use_state_file(bridge(), path, &why); });
}

QOLVEN_C_EXPORT int qolven_sim_take_error(char *error, size_t errorSize) {
    if (!error || errorSize == 0) return 1;
    try {
        give(take_error(bridge()), error, errorSize);
        return 0;
    } catch (...) {
        give("", error, errorSize);
        return 1;
    }
}

QOLVEN_C_EXPORT int qolven_sim_set_signal(const char *serial, double offset, double amplitude, double periodS,
                                          double noise) {
    try {
        return serial && qolven_sim::set_signal(serial, offset, amplitude, periodS, noise) ? 0 : 1;
    } catch (...) {
        return 1;
    }
}
QOLVEN_C_EXPORT int qolven_sim_get_signal(const char *serial, double *offset, double *amplitude, double *periodS,
                                          double *noise) {
    try {
        double v[4];
        if (!serial || !qolven_sim::get_signal(serial, v[0], v[1], v[2], v[3])) return 1;
        double *out[4] = {offset, amplitude, periodS, noise};
        for (int i = 0; i < 4; ++i)
            if (out[i]) *out[i] = v[i];
        return 0;
    } catch (...) {
        return 1;
    }
}

QOLVEN_C_EXPORT int qolven_sim_attach(const char *text, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!text) return why = "no description (null text)", false;
        std::vector<DeviceDescription> devices;
        if (!parse_description(text, devices, &why)) return false;
        if (devices.size() != 1) return why = "describe one device, not " + std::to_string(devices.size()), false;
        return attach_devices(bridge(), devices, false, &why);
    });
}

QOLVEN_C_EXPORT int qolven_sim_detach(const char *serial, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) { return attached(serial, why) && qolven_sim::detach(serial); });
}

QOLVEN_C_EXPORT int qolven_sim_reset(void) {
    return run(nullptr, 0, [](std::string &) { return qolven_sim::reset(), true; });
}

QOLVEN_C_EXPORT int qolven_sim_device_count(void) {
    try {
        return static_cast<int>(qolven_sim::serials().size());
    } catch (...) {
        return 0;
    }
}

QOLVEN_C_EXPORT int qolven_sim_device_serial(int index, char *serial, size_t size) {
    return run(nullptr, 0, [&](std::string &why) {
        std::vector<std::string> all = qolven_sim::serials();
        if (index < 0 || static_cast<size_t>(index) >= all.size())
            return why = "no device at index " + std::to_string(index), false;
        if (!serial || size <= all[index].size()) return why = "buffer too small", false;
        give(all[index], serial, size);
        return true;
    });
}

QOLVEN_C_EXPORT int qolven_sim_set_fault(const char *serial, const char *fault, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!attached(serial, why)) return false;
        if (!fault) return why = "no fault (null text)", false;
        // The fault keys of a description, checked by its grammar; no other key.
        for (const char *p = fault; *p;) {
            const char *end = std::strchr(p, ',');
            if (!end) end = p + std::strlen(p);
            if (std::strncmp(p, "fault", 5) != 0)
                return why = quoted(std::string(p, end), 40) + " is not a fault key (fault, fault_every, "
                             "fault_probability, fault_arg, fault_delay_us)", false;
            p = *end ? end + 1 : end;
        }
        std::vector<DeviceDescription> devices;
        if (!parse_description("serial=" + std::string(serial) + "," + fault, devices, &why)) return false;
        if (devices.size() != 1 || !devices[0].fault)
            return why = quoted(fault, 40) + " describes no fault (fault=NAME, fault_every=..., ...)", false;
        qolven_sim::set_fault(serial, *devices[0].fault);
        return true;
    });
}

QOLVEN_C_EXPORT int qolven_sim_clear_faults(const char *serial, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) { return attached(serial, why) && (qolven_sim::clear_faults(serial), true); });
}

QOLVEN_C_EXPORT int qolven_sim_inject_status(const char *function, unsigned status, int count, char *error,
                                             size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!function || std::strncmp(function, "FT_", 3) != 0)
            return why = quoted(function ? function : "", 40) + " is not a bridge function (FT_...)", false;
        if (!inRange(count, 0, 1000000000, "count", why)) return false;
        qolven_sim::inject_status(function, status, count);
        return true;
    });
}

QOLVEN_C_EXPORT int qolven_sim_set_answer_delay_us(const char *serial, unsigned delayUs, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!attached(serial, why) || !inRange(delayUs, 0, 100000000, "delay", why)) return false;
        qolven_sim::set_answer_delay_us(serial, delayUs);
        return true;
    });
}

QOLVEN_C_EXPORT int qolven_sim_write_count(const char *serial, size_t *count, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!count) return why = "no count (null pointer)", false;
        return attached(serial, why) && (*count = qolven_sim::writes(serial).size(), true);
    });
}

QOLVEN_C_EXPORT int qolven_sim_write(const char *serial, size_t index, unsigned char *bytes, size_t size,
                                     size_t *length, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!attached(serial, why)) return false;
        std::vector<std::vector<uint8_t>> all = qolven_sim::writes(serial);
        if (index >= all.size()) return why = "no write " + std::to_string(index) + " (" + std::to_string(all.size()) + " kept)", false;
        if (length) *length = all[index].size();
        if (!bytes || size < all[index].size())
            return why = "the write has " + std::to_string(all[index].size()) + " bytes, the buffer " + std::to_string(size), false;
        std::memcpy(bytes, all[index].data(), all[index].size());
        return true;
    });
}

QOLVEN_C_EXPORT int qolven_sim_clear_writes(const char *serial, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) { return attached(serial, why) && (qolven_sim::clear_writes(serial), true); });
}

QOLVEN_C_EXPORT int qolven_sim_register(const char *serial, const char *kind, int channel, int address,
                                        unsigned *value, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        Kind k;
        if (!value) return why = "no value (null pointer)", false;
        if (!attached(serial, why) || !registerAt(kind, channel, address, k, why)) return false;
        switch (k) {
        case Kind::Eeprom: *value = qolven_sim::eeprom(serial, address); break;
        case Kind::Channel: *value = qolven_sim::channel_register(serial, channel, address); break;
        case Kind::Memory: *value = qolven_sim::memory_register(serial, address); break;
        case Kind::Teds: *value = qolven_sim::teds_register(serial, address); break;
        }
        return true;
    });
}

QOLVEN_C_EXPORT int qolven_sim_set_register(const char *serial, const char *kind, int channel, int address,
                                            unsigned value, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        Kind k;
        if (!attached(serial, why) || !registerAt(kind, channel, address, k, why)) return false;
        if (!inRange(value, 0, k == Kind::Eeprom ? 65535 : 255, "value", why)) return false;
        switch (k) {
        case Kind::Eeprom: qolven_sim::set_eeprom(serial, address, static_cast<uint16_t>(value)); break;
        case Kind::Channel: qolven_sim::set_channel_register(serial, channel, address, static_cast<uint8_t>(value)); break;
        case Kind::Memory: qolven_sim::set_memory_register(serial, address, static_cast<uint8_t>(value)); break;
        case Kind::Teds: qolven_sim::set_teds_register(serial, address, static_cast<uint8_t>(value)); break;
        }
        return true;
    });
}

QOLVEN_C_EXPORT int qolven_sim_next_sample_sequence(const char *serial, unsigned *sequence, char *error,
                                                    size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!sequence) return why = "no sequence (null pointer)", false;
        return attached(serial, why) && (*sequence = qolven_sim::next_sample_sequence(serial), true);
    });
}

QOLVEN_C_EXPORT int qolven_sim_fast_counters(const char *serial, unsigned long long *generated,
                                             unsigned long long *delivered, unsigned long long *dropped,
                                             unsigned long long *waiting, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!attached(serial, why)) return false;
        qolven_sim::FastCounters c = qolven_sim::fast_counters(serial);
        const std::pair<unsigned long long *, uint64_t> out[] = {
            {generated, c.generated}, {delivered, c.delivered}, {dropped, c.dropped}, {waiting, c.waiting}};
        for (const auto &o : out)
            if (o.first) *o.first = o.second;
        return true;
    });
}
