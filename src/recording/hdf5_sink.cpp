// HDF5 files (Debian's libhdf5): one group per device under /devices with
// chunked, compressed datasets time, count, sequence, channel (and load with
// a calibration), attributes that describe the file on their own, and the
// table /events.
//
// Written in SWMR mode (single writer, multiple readers): every structure is
// created first, then the writer only appends, and HDF5 orders its metadata
// writes so that the file on disk is always consistent.  Each flush is
// followed by fsync.  A recording killed (SIGKILL) or cut by a power loss
// thus opens with everything up to the last flush; such a file still carries
// HDF5's "open for writing" mark, so it opens as a SWMR reader
// (h5py.File(path, "r", swmr=True)) or after `h5clear -s`.
#include <hdf5.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <cstddef>
#include <cstring>
#include <unistd.h>

#include "recording/recorder.h"

namespace qolven_recording {

namespace {

constexpr int kFormatVersion = 1;
constexpr hsize_t kEventChunk = 64;

// Owns one HDF5 identifier.
class Id {
public:
    Id() = default;
    Id(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    Id(Id &&o) noexcept : id_(o.id_), close_(o.close_) { o.id_ = -1; }
    Id &operator=(Id &&o) noexcept {
        reset();
        id_ = o.id_;
        close_ = o.close_;
        o.id_ = -1;
        return *this;
    }
    Id(const Id &) = delete;
    Id &operator=(const Id &) = delete;
    ~Id() { reset(); }
    hid_t get() const { return id_; }
    // Forgets the identifier without closing it.
    void release() { id_ = -1; }
    // Closes now; false when HDF5 reported a failure.
    bool close() {
        if (id_ < 0) return true;
        hid_t id = id_;
        id_ = -1;
        return close_(id) >= 0;
    }

private:
    void reset() { close(); }
    hid_t id_ = -1;
    herr_t (*close_)(hid_t) = nullptr;
};

herr_t collect(unsigned, const H5E_error2_t *e, void *data) {
    auto *reasons = static_cast<std::vector<std::string> *>(data);
    if (e->desc) reasons->push_back(e->desc);
    return 0;
}

// The most specific reason on HDF5's error stack; the system's own message
// ("No space left on device") when HDF5 quotes one.
std::string hdf5Reason() {
    std::vector<std::string> reasons;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, collect, &reasons);
    H5Eclear2(H5E_DEFAULT);
    for (const std::string &r : reasons) {
        const std::string tag = "error message = '";
        size_t at = r.find(tag);
        if (at == std::string::npos) continue;
        size_t end = r.find('\'', at + tag.size());
        if (end != std::string::npos) return r.substr(at + tag.size(), end - at - tag.size());
    }
    return reasons.empty() ? "HDF5 gave no reason" : reasons.front();
}

struct EventRow {
    double time;
    int32_t device;
    int32_t kind;
    int32_t detail;
    int64_t sequence;
    double value;
    char text[QOLVEN_RECORD_TEXT];
};

// Copies a text into a fixed field, cut at a character boundary.
void copyText(char (&field)[QOLVEN_RECORD_TEXT], const std::string &text) {
    size_t n = std::min(text.size(), sizeof field - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), n);
}

hsize_t chunkFor(double rate) {
    // About one flush interval's samples per chunk at the higher rates.
    hsize_t chunk = 256;
    while (chunk < 8192 && double(chunk) < rate) chunk *= 2;
    return chunk;
}

class Hdf5Sink : public Sink {
public:
    explicit Hdf5Sink(const FileHeader &h) : h_(h) {
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // reasons are taken from the stack instead
        Id fapl = made(H5Pcreate(H5P_FILE_ACCESS), H5Pclose, "file access list");
        check(H5Pset_libver_bounds(fapl.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST), "format version");
        hid_t file = H5Fcreate(h.path.c_str(), h.overwrite ? H5F_ACC_TRUNC : H5F_ACC_EXCL, H5P_DEFAULT, fapl.get());
        if (file < 0) throw WriteFailure("cannot create " + h.path + ": " + hdf5Reason());
        file_ = Id(file, H5Fclose);
        try {
            build();
        } catch (...) {
            // A file that was never complete is not left behind.
            for (DeviceSets &s : sets_) s = DeviceSets();
            events_.close();
            file_.close();
            unlink(h.path.c_str());
            throw;
        }
    }

    ~Hdf5Sink() override {
        for (DeviceSets &s : sets_) s = DeviceSets();
        events_.close();
        file_.close();
    }

    void write(const std::vector<Columns> &pending, const std::vector<Event> &events) override {
        for (size_t i = 0; i < pending.size() && i < sets_.size(); ++i) {
            const Columns &c = pending[i];
            if (c.empty()) continue;
            DeviceSets &s = sets_[i];
            const hsize_t n = c.size();
            append(s.time.get(), H5T_NATIVE_DOUBLE, c.time.data(), s.rows, n);
            append(s.count.get(), H5T_NATIVE_INT32, c.count.data(), s.rows, n);
            append(s.sequence.get(), H5T_NATIVE_INT64, c.sequence.data(), s.rows, n);
            append(s.channel.get(), H5T_NATIVE_INT32, c.channel.data(), s.rows, n);
            if (s.load.get() >= 0) append(s.load.get(), H5T_NATIVE_DOUBLE, c.load.data(), s.rows, n);
            s.rows += n;
        }
        if (events.empty()) return;
        std::vector<EventRow> rows(events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            const Event &e = events[i];
            rows[i] = EventRow{e.time, e.device, e.kind, e.detail, e.sequence, e.value, {}};
            copyText(rows[i].text, e.text);
        }
        append(events_.get(), eventMemory_.get(), rows.data(), eventRows_, rows.size());
        eventRows_ += rows.size();
    }

    void flush(const Progress &p) override {
        figures(p);
        check(H5Fflush(file_.get(), H5F_SCOPE_LOCAL), "flush");
        if (fd_ >= 0 && fsync(fd_) != 0 && errno != EINVAL)
            throw WriteFailure("cannot write " + h_.path + ": " + std::strerror(errno));
    }

    void close(const Progress &p) override {
        figures(p);
        setInteger(file_.get(), "complete", p.complete ? 1 : 0);
        setText(file_.get(), "stop_reason", p.stopReason);
        check(H5Fflush(file_.get(), H5F_SCOPE_LOCAL), "flush");
        if (fd_ >= 0 && fsync(fd_) != 0 && errno != EINVAL)
            throw WriteFailure("cannot write " + h_.path + ": " + std::strerror(errno));
        bytes_ = bytes();
        for (DeviceSets &s : sets_) s = DeviceSets();
        events_.close();
        fd_ = -1;
        if (!file_.close()) throw WriteFailure("cannot close " + h_.path + ": " + hdf5Reason());
        closed_ = true;
    }

    void abandon() override {
        // After a failed write HDF5 cannot close a dataset cleanly, and a file
        // whose datasets failed to close brings the library down when the
        // process ends.  The datasets are left open; the file's own close
        // then only lets go of it (what the last flush wrote stays on disk).
        for (DeviceSets &s : sets_) {
            s.group.release();
            s.time.release();
            s.count.release();
            s.sequence.release();
            s.channel.release();
            s.load.release();
        }
        events_.release();
        fd_ = -1;
        file_.close();
        closed_ = true;
        H5Eclear2(H5E_DEFAULT);
    }

    uint64_t bytes() const override {
        if (closed_ || file_.get() < 0) return bytes_;
        hsize_t size = 0;
        return H5Fget_filesize(file_.get(), &size) >= 0 ? uint64_t(size) : bytes_;
    }

private:
    void build() {
        compress_ = H5Zfilter_avail(H5Z_FILTER_DEFLATE) > 0 && H5Zfilter_avail(H5Z_FILTER_SHUFFLE) > 0;
        text_ = made(H5Tcopy(H5T_C_S1), H5Tclose, "text type");
        check(H5Tset_size(text_.get(), H5T_VARIABLE), "text type");
        check(H5Tset_cset(text_.get(), H5T_CSET_UTF8), "text type");

        const hid_t root = file_.get();
        text(root, "format", "qolven-recording");
        integer(root, "format_version", kFormatVersion);
        text(root, "application", h_.application);
        text(root, "library_version", h_.libraryVersion);
        text(root, "recorder_version", h_.recorderVersion);
        unsigned major = 0, minor = 0, release = 0;
        H5get_libversion(&major, &minor, &release);
        text(root, "hdf5_version",
             std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release));
        text(root, "start_utc", isoUtc(h_.time0Wall));
        real(root, "start_wall", h_.time0Wall);
        real(root, "start_monotonic", h_.time0Monotonic);
        real(root, "start_spread", h_.spread);
        text(root, "time_unit", "s");
        integer(root, "file_index", h_.index);
        real(root, "file_start_time", h_.startTime);
        text(root, "trigger", h_.trigger);
        real(root, "trigger_time", h_.triggerTime);
        text(root, "stop_condition", h_.stop);
        real(root, "flush_interval", h_.flushInterval);
        text(root, "reader_priority", h_.readerPriority);
        integer(root, "device_count", int64_t(h_.devices.size()));
        integer(root, "samples", 0);
        integer(root, "lost", 0);
        integer(root, "events", 0);
        real(root, "end_time", h_.startTime);
        integer(root, "complete", 0);
        text(root, "stop_reason", "");

        Id devices = made(H5Gcreate2(root, "devices", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose, "/devices");
        for (size_t i = 0; i < h_.devices.size(); ++i) sets_.push_back(deviceGroup(devices.get(), h_.devices[i], h_.atStart[i]));
        eventTables();
        check(H5Fstart_swmr_write(root), "start writing");
        void *handle = nullptr;
        check(H5Fget_vfd_handle(root, H5P_DEFAULT, &handle), "file handle");
        fd_ = handle ? *static_cast<int *>(handle) : -1;
    }

    struct DeviceSets {
        Id group, time, count, sequence, channel, load;
        hsize_t rows = 0;
    };

    [[noreturn]] void fail(const std::string &what) const {
        throw WriteFailure("cannot write " + h_.path + " (" + what + "): " + hdf5Reason());
    }
    void check(herr_t status, const std::string &what) const {
        if (status < 0) fail(what);
    }
    Id made(hid_t id, herr_t (*close)(hid_t), const std::string &what) const {
        if (id < 0) fail(what);
        return Id(id, close);
    }

    Id attribute(hid_t loc, const char *name, hid_t type, hid_t space) {
        return made(H5Acreate2(loc, name, type, space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose,
                    std::string("attribute ") + name);
    }
    void text(hid_t loc, const char *name, const std::string &value) {
        Id space = made(H5Screate(H5S_SCALAR), H5Sclose, "space");
        Id a = attribute(loc, name, text_.get(), space.get());
        const char *p = value.c_str();
        check(H5Awrite(a.get(), text_.get(), &p), std::string("attribute ") + name);
    }
    void integer(hid_t loc, const char *name, int64_t value) { integers(loc, name, &value, 1, true); }
    void integers(hid_t loc, const char *name, const int64_t *values, hsize_t n, bool scalar = false) {
        Id space = made(scalar ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr), H5Sclose, "space");
        Id a = attribute(loc, name, H5T_STD_I64LE, space.get());
        check(H5Awrite(a.get(), H5T_NATIVE_INT64, values), std::string("attribute ") + name);
    }
    void real(hid_t loc, const char *name, double value) {
        Id space = made(H5Screate(H5S_SCALAR), H5Sclose, "space");
        Id a = attribute(loc, name, H5T_IEEE_F64LE, space.get());
        check(H5Awrite(a.get(), H5T_NATIVE_DOUBLE, &value), std::string("attribute ") + name);
    }
    void reals(hid_t loc, const char *name, const std::vector<double> &values) {
        hsize_t n = values.size();
        Id space = made(H5Screate_simple(1, &n, nullptr), H5Sclose, "space");
        Id a = attribute(loc, name, H5T_IEEE_F64LE, space.get());
        check(H5Awrite(a.get(), H5T_NATIVE_DOUBLE, values.data()), std::string("attribute ") + name);
    }
    void setInteger(hid_t loc, const char *name, int64_t value) {
        Id a = made(H5Aopen(loc, name, H5P_DEFAULT), H5Aclose, std::string("attribute ") + name);
        check(H5Awrite(a.get(), H5T_NATIVE_INT64, &value), std::string("attribute ") + name);
    }
    void setReal(hid_t loc, const char *name, double value) {
        Id a = made(H5Aopen(loc, name, H5P_DEFAULT), H5Aclose, std::string("attribute ") + name);
        check(H5Awrite(a.get(), H5T_NATIVE_DOUBLE, &value), std::string("attribute ") + name);
    }
    void setText(hid_t loc, const char *name, const std::string &value) {
        Id a = made(H5Aopen(loc, name, H5P_DEFAULT), H5Aclose, std::string("attribute ") + name);
        const char *p = value.c_str();
        check(H5Awrite(a.get(), text_.get(), &p), std::string("attribute ") + name);
    }

    Id dataset(hid_t loc, const char *name, hid_t type, hsize_t chunk, bool shuffle) {
        hsize_t dims = 0, most = H5S_UNLIMITED;
        Id space = made(H5Screate_simple(1, &dims, &most), H5Sclose, "space");
        Id dcpl = made(H5Pcreate(H5P_DATASET_CREATE), H5Pclose, "dataset list");
        check(H5Pset_chunk(dcpl.get(), 1, &chunk), std::string("dataset ") + name);
        if (compress_) {
            if (shuffle) check(H5Pset_shuffle(dcpl.get()), std::string("dataset ") + name);
            check(H5Pset_deflate(dcpl.get(), 1), std::string("dataset ") + name);
        }
        return made(H5Dcreate2(loc, name, type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT), H5Dclose,
                    std::string("dataset ") + name);
    }

    void append(hid_t ds, hid_t memory, const void *data, hsize_t at, hsize_t n) {
        hsize_t size = at + n;
        check(H5Dset_extent(ds, &size), "extend a dataset");
        Id space = made(H5Dget_space(ds), H5Sclose, "space");
        check(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, &at, nullptr, &n, nullptr), "select");
        Id inMemory = made(H5Screate_simple(1, &n, nullptr), H5Sclose, "space");
        check(H5Dwrite(ds, memory, inMemory.get(), space.get(), H5P_DEFAULT, data), "write samples");
    }

    DeviceSets deviceGroup(hid_t devices, const DeviceInfo &d, const DeviceCounters &atStart) {
        DeviceSets s;
        s.group = made(H5Gcreate2(devices, d.group.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose,
                       "group " + d.group);
        const hid_t g = s.group.get();
        const qolven_calibration &c = d.calibration;
        text(g, "serial", d.serial);
        integer(g, "index", d.index);
        integer(g, "board_type", d.identity.board_type);
        text(g, "board_class", d.boardClass);
        text(g, "board_meaning", d.boardMeaning);
        integer(g, "hardware_version", d.identity.hardware_version);
        integer(g, "firmware_version", d.identity.firmware_version);
        integer(g, "firmware_year", d.identity.firmware_year);
        integer(g, "firmware_month", d.identity.firmware_month);
        integer(g, "rate_code", d.rateCode);
        real(g, "nominal_rate", d.nominalRate);
        integer(g, "multi_channel", d.multiChannel ? 1 : 0);
        real(g, "start_offset", d.offset);
        text(g, "start_utc", isoUtc(d.startWall));
        real(g, "start_wall", d.startWall);
        real(g, "start_monotonic", d.startMonotonic);
        text(g, "loss_basis", qolven_loss_basis_name(d.lossBasis));
        text(g, "calibration_source", qolven_load_source_name(c.source));
        integer(g, "calibration_points", c.points);
        const int points = std::clamp(c.points, 0, QOLVEN_MAX_LOADING_POINTS);
        integers(g, "calibration_counts", c.counts, hsize_t(points));
        integers(g, "calibration_loads", c.loads, hsize_t(points));
        integer(g, "points_in_use", c.points_in_use);
        integer(g, "decimal_point", c.decimal_point);
        integer(g, "unit_code", c.unit_code);
        text(g, "calibration_why", c.why);
        integer(g, "has_load", d.hasLoad ? 1 : 0);
        integer(g, "tare_active", atStart.tared ? 1 : 0);
        integer(g, "tare_count", atStart.tareCount);
        text(g, "limit_quantity", d.limits.set ? quantityName(d.limits.quantity) : "");
        real(g, "limit_low", d.limits.set ? d.limits.low : NAN);
        real(g, "limit_high", d.limits.set ? d.limits.high : NAN);
        for (const char *name : {"samples", "lost", "stream_received", "stream_lost", "requests", "timeouts",
                                 "failed_requests", "reconnects"})
            integer(g, name, 0);
        real(g, "stream_expected", 0);

        const hsize_t chunk = chunkFor(d.nominalRate);
        s.time = dataset(g, "time", H5T_IEEE_F64LE, chunk, true);
        text(s.time.get(), "unit", "s");
        s.count = dataset(g, "count", H5T_STD_I32LE, chunk, true);
        text(s.count.get(), "unit", "counts");
        s.sequence = dataset(g, "sequence", H5T_STD_I64LE, chunk, true);
        s.channel = dataset(g, "channel", H5T_STD_U8LE, chunk, false);
        if (d.hasLoad) {
            s.load = dataset(g, "load", H5T_IEEE_F64LE, chunk, true);
            integer(s.load.get(), "unit_code", c.unit_code);
            integer(s.load.get(), "decimal_point", c.decimal_point);
        }
        return s;
    }

    Id eventType(hid_t number, hid_t integer, hid_t wide, bool memory) {
        Id kinds = made(H5Tenum_create(integer), H5Tclose, "event kinds");
        for (int32_t k = QOLVEN_RECORD_EVENT_START; k <= QOLVEN_RECORD_EVENT_MARK; ++k)
            check(H5Tenum_insert(kinds.get(), qolven_record_event_name(k), &k), "event kinds");
        Id words = made(H5Tcopy(H5T_C_S1), H5Tclose, "event text");
        check(H5Tset_size(words.get(), QOLVEN_RECORD_TEXT), "event text");
        check(H5Tset_cset(words.get(), H5T_CSET_UTF8), "event text");
        const size_t size = memory ? sizeof(EventRow) : 8 + 4 + 4 + 4 + 8 + 8 + QOLVEN_RECORD_TEXT;
        Id t = made(H5Tcreate(H5T_COMPOUND, size), H5Tclose, "event type");
        const size_t at[] = {memory ? offsetof(EventRow, time) : 0,      memory ? offsetof(EventRow, device) : 8,
                             memory ? offsetof(EventRow, kind) : 12,     memory ? offsetof(EventRow, detail) : 16,
                             memory ? offsetof(EventRow, sequence) : 20, memory ? offsetof(EventRow, value) : 28,
                             memory ? offsetof(EventRow, text) : 36};
        check(H5Tinsert(t.get(), "time", at[0], number), "event type");
        check(H5Tinsert(t.get(), "device", at[1], integer), "event type");
        check(H5Tinsert(t.get(), "kind", at[2], kinds.get()), "event type");
        check(H5Tinsert(t.get(), "detail", at[3], integer), "event type");
        check(H5Tinsert(t.get(), "sequence", at[4], wide), "event type");
        check(H5Tinsert(t.get(), "value", at[5], number), "event type");
        check(H5Tinsert(t.get(), "text", at[6], words.get()), "event type");
        return t;
    }

    void eventTables() {
        Id stored = eventType(H5T_IEEE_F64LE, H5T_STD_I32LE, H5T_STD_I64LE, false);
        eventMemory_ = eventType(H5T_NATIVE_DOUBLE, H5T_NATIVE_INT32, H5T_NATIVE_INT64, true);
        events_ = dataset(file_.get(), "events", stored.get(), kEventChunk, false);
    }

    // The counters that change: brought up to date at every flush.
    void figures(const Progress &p) {
        const hid_t root = file_.get();
        setInteger(root, "samples", int64_t(p.samples));
        setInteger(root, "lost", int64_t(p.lost));
        setInteger(root, "events", int64_t(p.events));
        setReal(root, "end_time", p.endTime);
        setReal(root, "trigger_time", p.triggerTime);
        for (size_t i = 0; i < p.devices.size() && i < sets_.size(); ++i) {
            const DeviceCounters &c = p.devices[i];
            const hid_t g = sets_[i].group.get();
            setInteger(g, "samples", int64_t(c.samples));
            setInteger(g, "lost", int64_t(c.lost));
            setInteger(g, "stream_received", int64_t(c.stream.received));
            setInteger(g, "stream_lost", int64_t(c.stream.lost));
            setInteger(g, "requests", int64_t(c.stream.requests));
            setInteger(g, "timeouts", int64_t(c.stream.timeouts));
            setInteger(g, "failed_requests", int64_t(c.stream.failed_requests));
            setInteger(g, "reconnects", int64_t(c.stream.reconnects));
            setReal(g, "stream_expected", c.stream.expected);
        }
    }

    FileHeader h_;
    Id file_, text_, events_, eventMemory_;
    std::vector<DeviceSets> sets_;
    hsize_t eventRows_ = 0;
    bool compress_ = false;
    int fd_ = -1;
    bool closed_ = false;
    uint64_t bytes_ = 0;
};

} // namespace

std::unique_ptr<Sink> openHdf5(const FileHeader &h) {
    // HDF5's own clean-up at the process's exit trips over a file a failed
    // write left behind; the operating system closes it as well.  Only
    // possible before anything else in the process has used HDF5.
    static std::once_flag once;
    std::call_once(once, [] { H5dont_atexit(); });
    return std::make_unique<Hdf5Sink>(h);
}

bool hdf5Available() { return true; }

} // namespace qolven_recording
