// Replay of a recording (`replay=FILE.h5` in a description): a virtual board
// whose fast data and live count follow the samples of one device of a file
// that `qolven record` wrote.  The board takes the recorded board type, serial
// number, sampling-rate code and calibration unless the description says
// otherwise, and plays the samples in a loop.
//
// The file is read with HDF5's C library, loaded at run time and only when a
// replay is asked for: the simulated bridge needs no HDF5 to be built, and
// hosts that never replay never load it.  The few functions used are declared
// here as HDF5 1.10 and later define them (identifiers of 64 bits).  The
// layout read is the one recording.md documents:
//   /devices/<name>            attributes serial, board_type, rate_code,
//                              nominal_rate, calibration_*, points_in_use,
//                              decimal_point, unit_code
//   /devices/<name>/count      int32 counts, /devices/<name>/channel uint8
#include "sim_internal.h"

#include <dlfcn.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qolven_sim {
namespace detail {

namespace {

using hid_t = int64_t;
using herr_t = int;
using htri_t = int;
using hsize_t = unsigned long long;

constexpr unsigned kReadOnly = 0x0000u;
constexpr unsigned kSwmrRead = 0x0040u;
constexpr hid_t kDefault = 0;
constexpr hid_t kAll = 0;
constexpr int kIndexName = 0, kIncreasing = 0;
constexpr size_t kVariable = size_t(-1);
// More samples than this (200 MB of counts) are not played back.
constexpr hsize_t kMostSamples = 50000000;

// The HDF5 functions a replay calls, found in the library loaded for it.
struct Hdf5 {
    void *library = nullptr;
    herr_t (*open)() = nullptr;
    herr_t (*libversion)(unsigned *, unsigned *, unsigned *) = nullptr;
    herr_t (*quiet)(hid_t, void *, void *) = nullptr;  // H5Eset_auto2
    hid_t (*fopen)(const char *, unsigned, hid_t) = nullptr;
    herr_t (*fclose)(hid_t) = nullptr;
    long (*linkName)(hid_t, const char *, int, int, hsize_t, char *, size_t, hid_t) = nullptr;
    hid_t (*gopen)(hid_t, const char *, hid_t) = nullptr;
    herr_t (*gclose)(hid_t) = nullptr;
    hid_t (*dopen)(hid_t, const char *, hid_t) = nullptr;
    herr_t (*dclose)(hid_t) = nullptr;
    hid_t (*dspace)(hid_t) = nullptr;
    herr_t (*dread)(hid_t, hid_t, hid_t, hid_t, hid_t, void *) = nullptr;
    int (*sdims)(hid_t, hsize_t *, hsize_t *) = nullptr;
    int (*sndims)(hid_t) = nullptr;
    herr_t (*sclose)(hid_t) = nullptr;
    htri_t (*aexists)(hid_t, const char *) = nullptr;
    hid_t (*aopen)(hid_t, const char *, hid_t) = nullptr;
    herr_t (*aread)(hid_t, hid_t, void *) = nullptr;
    herr_t (*aclose)(hid_t) = nullptr;
    hid_t (*aspace)(hid_t) = nullptr;
    hid_t (*atype)(hid_t) = nullptr;
    htri_t (*variable)(hid_t) = nullptr;
    size_t (*tsize)(hid_t) = nullptr;
    herr_t (*tclose)(hid_t) = nullptr;
    herr_t (*release)(void *) = nullptr;  // H5free_memory
    hid_t *int64 = nullptr, *int32 = nullptr, *uint8 = nullptr, *real = nullptr;
};

template <typename F>
bool bind(void *library, const char *name, F &f, std::string &missing) {
    f = reinterpret_cast<F>(dlsym(library, name));
    if (!f) missing += (missing.empty() ? "" : ", ") + std::string(name);
    return f != nullptr;
}

// Loads HDF5 once per process; false with the reason.
bool hdf5(Hdf5 *&out, std::string *error) {
    static std::mutex m;
    static Hdf5 h;
    static std::string failure;
    static bool tried = false;
    std::lock_guard<std::mutex> lock(m);
    if (!tried) {
        tried = true;
        std::vector<std::string> names;
        if (const char *own = std::getenv("QOLVEN_HDF5_LIBRARY"))
            if (*own) names.push_back(own);
        for (const char *n : {"libhdf5_serial.so.103", "libhdf5.so.103", "libhdf5_serial.so.310", "libhdf5.so.310",
                              "libhdf5_serial.so.200", "libhdf5.so.200", "libhdf5_serial.so", "libhdf5.so"})
            names.push_back(n);
        std::string reasons;
        for (const std::string &n : names) {
            h.library = dlopen(n.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (h.library) break;
            if (reasons.empty()) reasons = dlerror();
        }
        if (!h.library) {
            failure = "a replay needs HDF5's library (Debian's libhdf5-103-1, or QOLVEN_HDF5_LIBRARY naming it), "
                      "which cannot be loaded: " + reasons;
        } else {
            std::string missing;
            void *l = h.library;
            bind(l, "H5open", h.open, missing);
            bind(l, "H5get_libversion", h.libversion, missing);
            bind(l, "H5Eset_auto2", h.quiet, missing);
            bind(l, "H5Fopen", h.fopen, missing);
            bind(l, "H5Fclose", h.fclose, missing);
            bind(l, "H5Lget_name_by_idx", h.linkName, missing);
            bind(l, "H5Gopen2", h.gopen, missing);
            bind(l, "H5Gclose", h.gclose, missing);
            bind(l, "H5Dopen2", h.dopen, missing);
            bind(l, "H5Dclose", h.dclose, missing);
            bind(l, "H5Dget_space", h.dspace, missing);
            bind(l, "H5Dread", h.dread, missing);
            bind(l, "H5Sget_simple_extent_dims", h.sdims, missing);
            bind(l, "H5Sget_simple_extent_ndims", h.sndims, missing);
            bind(l, "H5Sclose", h.sclose, missing);
            bind(l, "H5Aexists", h.aexists, missing);
            bind(l, "H5Aopen", h.aopen, missing);
            bind(l, "H5Aread", h.aread, missing);
            bind(l, "H5Aclose", h.aclose, missing);
            bind(l, "H5Aget_space", h.aspace, missing);
            bind(l, "H5Aget_type", h.atype, missing);
            bind(l, "H5Tis_variable_str", h.variable, missing);
            bind(l, "H5Tget_size", h.tsize, missing);
            bind(l, "H5Tclose", h.tclose, missing);
            bind(l, "H5free_memory", h.release, missing);
            bind(l, "H5T_NATIVE_INT64_g", h.int64, missing);
            bind(l, "H5T_NATIVE_INT32_g", h.int32, missing);
            bind(l, "H5T_NATIVE_UINT8_g", h.uint8, missing);
            bind(l, "H5T_NATIVE_DOUBLE_g", h.real, missing);
            unsigned major = 0, minor = 0, release = 0;
            if (!missing.empty()) {
                failure = "the HDF5 library loaded for a replay lacks " + missing;
            } else if (h.open() < 0 || h.libversion(&major, &minor, &release) < 0 ||
                       (major == 1 && minor < 10) || major < 1) {
                failure = "a replay needs HDF5 1.10 or later; the library loaded is " + std::to_string(major) + "." +
                          std::to_string(minor);
            }
        }
    }
    if (!failure.empty()) {
        if (error) *error = failure;
        return false;
    }
    out = &h;
    return true;
}

// Closes an HDF5 identifier when it goes.
struct Held {
    hid_t id;
    herr_t (*close)(hid_t);
    ~Held() {
        if (id >= 0) close(id);
    }
};

class Reader {
public:
    Reader(Hdf5 &h, const std::string &path) : h_(h), path_(path) {}

    bool read(const std::string &device, Replay &out, std::string *error) {
        h_.quiet(kDefault, nullptr, nullptr);
        hid_t file = h_.fopen(path_.c_str(), kReadOnly, kDefault);
        // A recording under way, or one cut short, opens as a reader beside its writer.
        if (file < 0) file = h_.fopen(path_.c_str(), kReadOnly | kSwmrRead, kDefault);
        if (file < 0) return fail(error, "cannot be opened as an HDF5 file");
        Held f{file, h_.fclose};
        std::string format;
        if (!text(file, "format", format) || format != "qolven-recording")
            return fail(error, "is not a recording of qolven record (no format attribute \"qolven-recording\")");
        hid_t devices = h_.gopen(file, "devices", kDefault);
        if (devices < 0) return fail(error, "holds no /devices group");
        Held ds{devices, h_.gclose};
        std::string names;
        std::string chosen;
        for (hsize_t i = 0;; ++i) {
            char name[256] = "";
            long n = h_.linkName(devices, ".", kIndexName, kIncreasing, i, name, sizeof name, kDefault);
            if (n < 0) break;
            std::string serial;
            hid_t g = h_.gopen(devices, name, kDefault);
            if (g >= 0) {
                Held held{g, h_.gclose};
                text(g, "serial", serial);
            }
            names += (names.empty() ? "" : ", ") + std::string(name);
            if (chosen.empty() && (device.empty() || device == name || device == serial)) chosen = name;
        }
        if (names.empty()) return fail(error, "holds no device");
        if (chosen.empty())
            return fail(error, "has no device \"" + device + "\" (it holds " + names + ")");
        hid_t g = h_.gopen(devices, chosen.c_str(), kDefault);
        if (g < 0) return fail(error, "device " + chosen + " cannot be opened");
        Held group{g, h_.gclose};
        Replay r;
        r.path = path_;
        r.group = chosen;
        int64_t type = 0, rate = 0;
        if (!text(g, "serial", r.serial) || !integer(g, "board_type", type) || !integer(g, "rate_code", rate) ||
            !real(g, "nominal_rate", r.rate))
            return fail(error, "device " + chosen + " lacks serial, board_type, rate_code or nominal_rate");
        if (type < 0 || type > 255 || rate < 0 || rate > 15 || !(r.rate > 0))
            return fail(error, "device " + chosen + ": board type, rate code or nominal rate out of range");
        r.boardType = int(type);
        r.rateCode = int(rate);
        int64_t value = -1;
        text(g, "calibration_source", r.calibrationSource);
        integers(g, "calibration_counts", r.calibrationCounts);
        integers(g, "calibration_loads", r.calibrationLoads);
        if (integer(g, "points_in_use", value)) r.pointsInUse = int(value);
        if (integer(g, "decimal_point", value)) r.decimalPoint = int(value);
        if (integer(g, "unit_code", value)) r.unitCode = int(value);
        if (!column(g, "count", *h_.int32, r.counts, error)) return false;
        if (!column(g, "channel", *h_.uint8, r.channels, error)) return false;
        if (r.counts.empty()) return fail(error, "device " + chosen + " has no samples");
        if (r.channels.size() != r.counts.size()) r.channels.assign(r.counts.size(), 0);
        out = std::move(r);
        return true;
    }

private:
    bool fail(std::string *error, const std::string &why) {
        if (error) *error = path_ + " " + why;
        return false;
    }

    bool text(hid_t loc, const char *name, std::string &out) {
        if (h_.aexists(loc, name) <= 0) return false;
        hid_t a = h_.aopen(loc, name, kDefault);
        if (a < 0) return false;
        Held attribute{a, h_.aclose};
        hid_t t = h_.atype(a);
        if (t < 0) return false;
        Held type{t, h_.tclose};
        if (h_.variable(t) > 0) {
            char *p = nullptr;
            if (h_.aread(a, t, &p) < 0) return false;
            out = p ? p : "";
            if (p) h_.release(p);
            return true;
        }
        size_t size = h_.tsize(t);
        if (size == 0 || size == kVariable || size > 4096) return false;
        std::vector<char> buffer(size + 1, 0);
        if (h_.aread(a, t, buffer.data()) < 0) return false;
        out = buffer.data();
        return true;
    }

    bool integer(hid_t loc, const char *name, int64_t &out) {
        std::vector<int64_t> values;
        if (!integers(loc, name, values) || values.size() != 1) return false;
        out = values[0];
        return true;
    }

    bool integers(hid_t loc, const char *name, std::vector<int64_t> &out) {
        if (h_.aexists(loc, name) <= 0) return false;
        hid_t a = h_.aopen(loc, name, kDefault);
        if (a < 0) return false;
        Held attribute{a, h_.aclose};
        hid_t s = h_.aspace(a);
        if (s < 0) return false;
        Held space{s, h_.sclose};
        hsize_t n = 1;
        int rank = h_.sndims(s);
        if (rank < 0 || rank > 1) return false;
        if (rank == 1 && h_.sdims(s, &n, nullptr) < 0) return false;
        if (n > 64) return false;
        out.assign(size_t(n), 0);
        return n == 0 || h_.aread(a, *h_.int64, out.data()) >= 0;
    }

    bool real(hid_t loc, const char *name, double &out) {
        if (h_.aexists(loc, name) <= 0) return false;
        hid_t a = h_.aopen(loc, name, kDefault);
        if (a < 0) return false;
        Held attribute{a, h_.aclose};
        return h_.aread(a, *h_.real, &out) >= 0;
    }

    template <typename T>
    bool column(hid_t group, const char *name, hid_t type, std::vector<T> &out, std::string *error) {
        hid_t d = h_.dopen(group, name, kDefault);
        if (d < 0) return fail(error, std::string("has no dataset ") + name);
        Held dataset{d, h_.dclose};
        hid_t s = h_.dspace(d);
        if (s < 0) return fail(error, std::string("dataset ") + name + " has no extent");
        Held space{s, h_.sclose};
        hsize_t n = 0;
        if (h_.sndims(s) != 1 || h_.sdims(s, &n, nullptr) < 0)
            return fail(error, std::string("dataset ") + name + " is not one column");
        if (n > kMostSamples)
            return fail(error, std::string("dataset ") + name + " has " + std::to_string(n) +
                                   " samples; a replay plays at most " + std::to_string(kMostSamples));
        out.assign(size_t(n), T());
        if (n > 0 && h_.dread(d, type, kAll, kAll, kDefault, out.data()) < 0)
            return fail(error, std::string("dataset ") + name + " cannot be read");
        return true;
    }

    Hdf5 &h_;
    std::string path_;
};

uint16_t low16(int64_t v) { return static_cast<uint16_t>(v & 0xFFFF); }

} // namespace

bool load_replay(const std::string &path, const std::string &device, Replay &out, std::string *error) {
    Hdf5 *h = nullptr;
    if (!hdf5(h, error)) return false;
    return Reader(*h, path).read(device, out, error);
}

void apply_replay(Device &d) {
    if (!d.replay) return;
    const Replay &r = *d.replay;
    for (int ch = 0; ch < 4; ++ch)
        set_adc_config_byte(d, ch, static_cast<uint8_t>((adc_config_byte(d, ch) & 0xF0) | (r.rateCode & 0x0F)));
    // The recorded calibration, where the board type's registers can hold it.
    const std::vector<int64_t> &counts = r.calibrationCounts, &loads = r.calibrationLoads;
    const size_t n = counts.size();
    if (n < 2 || loads.size() != n || r.calibrationSource == "none") return;
    for (int64_t load : loads)
        if (load < -32768 || load > 65535) return;
    const int type = d.cfg.boardType;
    const int last = last_point(type);
    std::vector<int> points;
    if (r.calibrationSource == "offset-fullscale" && n == 2) points = {0, last};
    else if (n <= size_t(last) + 1 && type != 0) for (size_t i = 0; i < n; ++i) points.push_back(int(i));
    else return;
    const int inUse = r.pointsInUse >= 0 ? r.pointsInUse : int(n);
    for (int ch = 0; ch < (type == 9 ? 4 : 1); ++ch)
        for (size_t i = 0; i < n; ++i) store_entry(d, ch, points[i], static_cast<int32_t>(counts[i]));
    if (type == 9) {
        for (auto &c : d.st.channel) {
            for (size_t i = 0; i < n; ++i) {
                c[(64 + 2 * points[i]) & 0xFF] = low16(loads[i]) & 0xFF;
                c[(65 + 2 * points[i]) & 0xFF] = low16(loads[i]) >> 8;
            }
            c[96] = static_cast<uint8_t>(inUse);
            if (r.unitCode >= 0) c[106] = static_cast<uint8_t>(r.unitCode);
            if (r.decimalPoint >= 0) c[114] = static_cast<uint8_t>(r.decimalPoint);
        }
    } else if (type == 0) {
        d.st.eeprom[80] = low16(loads[0]);
        d.st.eeprom[118] = low16(loads[1]);
        d.st.eeprom[120] = static_cast<uint16_t>((d.st.eeprom[120] & 0xFF00) | (inUse & 0xFF));
        if (r.unitCode >= 0) d.st.eeprom[126] = static_cast<uint16_t>((d.st.eeprom[126] & 0xFF00) | (r.unitCode & 0xFF));
    } else {
        for (size_t i = 0; i < n; ++i) d.st.eeprom[(64 + 2 * points[i]) & 0xFF] = low16(loads[i]);
        d.st.eeprom[96] = static_cast<uint16_t>(0xFF00 | (inUse & 0xFF));
        if (r.unitCode >= 0) d.st.eeprom[106] = static_cast<uint16_t>(0xFF00 | (r.unitCode & 0xFF));
        if (r.decimalPoint >= 0) d.st.eeprom[114] = static_cast<uint16_t>(0xFF00 | (r.decimalPoint & 0xFF));
    }
}

size_t replay_index_at(const Device &d, double seconds) {
    const Replay &r = *d.replay;
    double position = std::floor(std::max(0.0, seconds) * r.rate + 1e-9);
    return static_cast<size_t>(std::fmod(position, double(r.counts.size())));
}

size_t replay_index_of(const Device &d, uint32_t sequence, double rate) {
    const Replay &r = *d.replay;
    // At the recorded rate each sample of the board is the next recorded one.
    double position = rate == r.rate ? double(sequence) : std::floor(double(sequence) * r.rate / rate + 1e-9);
    return static_cast<size_t>(std::fmod(position, double(r.counts.size())));
}

} // namespace detail
} // namespace qolven_sim
