// Internal declarations of the simulated bridge library.  Nothing here comes from
// the driver library (src/, include/): the virtual board is written from the
// protocol description only.
#ifndef QOLVEN_SIM_INTERNAL_H
#define QOLVEN_SIM_INTERNAL_H

#include "qolven_sim.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace qolven_sim {
namespace detail {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

inline int64_t micros_between(TimePoint a, TimePoint b) {
    return std::chrono::duration_cast<std::chrono::microseconds>(b - a).count();
}
inline double seconds_between(TimePoint a, TimePoint b) {
    return std::chrono::duration<double>(b - a).count();
}

constexpr int kPageSize = 129;
constexpr int kPages = 256;
constexpr int kTedsSize = 65536;
constexpr size_t kMaxWaitingSamples = 64;
constexpr size_t kMaxCallRecords = 200000;
constexpr size_t kMaxDevices = 256;
constexpr size_t kMaxSerialBytes = 63;   // a USB serial number string, as FT_ListDevices gives it
// Per-device logs keep their newest entries within these bounds, so that a host
// streaming for hours does not grow the process.
constexpr size_t kMaxWriteRecords = 4096;
constexpr size_t kMaxWriteBytes = 1 << 20;
constexpr size_t kMaxDiagnostics = 1000;
constexpr size_t kMaxKeyPresses = 4096;
// Answer bytes beyond this many unread ones are lost, as in a full bridge buffer.
constexpr size_t kMaxRxBytes = 1 << 20;

// Board error codes.
constexpr uint8_t kErrTeds = 0x4C, kErrCommand = 0x4D, kErrFrame = 0x4E, kErrPacketCommand = 0x4F;

// Register default given in a description (applied after the board defaults).
struct RegisterOverride {
    enum Kind { Eeprom, Channel, Memory, Teds, Internal } kind;
    int channel = 0;
    int address = 0;
    uint32_t value = 0;
};

// A recording a board plays back (replay.cpp): one device of a file of
// `qolven record`.
struct Replay {
    std::string path, group, serial;
    int boardType = 2;
    int rateCode = 0;
    double rate = 0;  // samples per second recorded
    std::vector<int32_t> counts;
    std::vector<uint8_t> channels;
    std::string calibrationSource;  // "table", "offset-fullscale" or "none"
    std::vector<int64_t> calibrationCounts, calibrationLoads;
    int pointsInUse = -1, decimalPoint = -1, unitCode = -1;
};

// One device of a description: configuration, register defaults and fault.
struct DeviceDescription {
    BoardConfig cfg;
    std::vector<RegisterOverride> overrides;
    std::optional<FaultSpec> fault;
    std::shared_ptr<const Replay> replay;
};

struct RxChunk {
    TimePoint visibleAt;
    std::vector<uint8_t> bytes;
    size_t consumed = 0;  // bytes already read from the front
    size_t remaining() const { return bytes.size() - consumed; }
};

// Stored registers.  TEDS memory, pages and page backups take 195 kB together and most
// boards never write them, so they stay empty (erased TEDS, factory pages) until the
// first write: go through the accessors below.
struct Storage {
    uint16_t eeprom[256];
    uint8_t channel[4][256];
    uint8_t memory[256];
    std::vector<uint8_t> teds;      // empty or kTedsSize bytes
    std::vector<uint8_t> pages;     // empty or kPages * kPageSize bytes
    std::vector<uint8_t> backups;   // backup slot per page (boards other than type 9), likewise
    std::map<int, uint32_t> internal;
    std::map<int, std::vector<uint8_t>> logs;
};
uint8_t teds_byte(const Storage &s, int address);
void set_teds_byte(Storage &s, int address, uint8_t value);
// `area` is Storage::pages or Storage::backups.
uint8_t page_byte(const std::vector<uint8_t> &area, int page, int index);
uint8_t *page_bytes(std::vector<uint8_t> &area, int page);  // allocates the area on first use
bool page_is_default(const std::vector<uint8_t> &area, int page);

struct Sample {
    uint32_t seq;
    int32_t count;   // unsigned 24-bit count (0..16777215)
    uint8_t channel;
};

struct FastGenerator {
    TimePoint start;       // start of the current rate period
    double rate = 2.5;     // samples per second
    uint64_t sinceStart = 0;// samples generated since `start`
    uint32_t seq = 0;      // sequence number of the next sample
    std::deque<Sample> waiting;
    FastCounters totals;   // since the device was attached (`waiting` kept apart)
};

struct FaultRule {
    FaultSpec rule;
    long counter = 0;
};

class StateFile;

// A call log entry as kept: no allocation per call (the control API hands out
// CallRecords).  Every FT_* function has at most two integer arguments.
struct LoggedCall {
    const char *function;                       // a string literal
    uint64_t args[2];
    uint8_t argCount;
    uint32_t status;
    uint32_t repeat;
    std::shared_ptr<const std::string> serial;  // null for bridge-level calls
};

// One virtual device.  `m` guards every field not marked otherwise, so calls on
// different devices share no lock.  Lock order: the bridge's lock before a device's,
// never the other way round; the call log's and the error's locks are taken last.
struct Device {
    std::mutex m;
    BoardConfig cfg;             // serial and description never change after attach
    std::shared_ptr<const std::string> serial;  // cfg.serial, shared with the call log

    std::vector<RegisterOverride> overrides;
    std::shared_ptr<const Replay> replay;  // null unless it plays a recording back

    // bridge side
    std::atomic<bool> detached{false};     // read without `m`
    std::atomic<uintptr_t> handle{0};      // open handle (0: closed), written under `m`
    std::shared_ptr<StateFile> state;      // the state file it was opened with
    int lockFd = -1;                       // its lock file, held while open
    DeviceSettings settings;
    std::deque<RxChunk> rx;
    size_t rxBytes = 0;
    std::deque<std::vector<uint8_t>> writes;
    size_t writeBytes = 0;
    bool silent = false;
    std::deque<std::string> diagnostics;

    // board side
    Storage st;
    TimePoint epoch;             // t = 0 of the live signal
    std::mt19937 noiseRng;
    std::mt19937 faultRng;
    std::vector<FaultRule> faults;
    FastGenerator fast;
    double rotationPulses = 0;   // accumulated pulses (angle counts)
    TimePoint rotationLast;
    std::optional<std::string> displayOverride;
    std::deque<int> keys;
    int lastKey = -1;
    bool menuOpen = false;
    int menuItem = 0;
    int resets = 0;
    // Where a failed save is reported; unset: qolven_sim_take_error of the process's bridge.
    std::function<void(const std::string &)> reportError;

    bool is_open() const { return handle.load() != 0; }
    // Marks the device closed and gives its lock file back; caller holds `m`.
    void close_locked();
    ~Device();
};

using DevicePtr = std::shared_ptr<Device>;

// Bridge-level state (one per process).  `m` guards the device list, the handle table,
// the injections and the state file; it is held to look something up or change it,
// never while a device works.
struct Bridge {
    std::shared_mutex m;
    std::vector<DevicePtr> devices;                 // attached, index order
    std::map<uintptr_t, DevicePtr> handles;         // open handles
    std::map<std::string, std::pair<uint32_t, int>> injections;
    std::shared_ptr<StateFile> state;               // null: nothing touches the disk
    std::atomic<uintptr_t> nextHandle{0x51A0001};
    std::atomic<int> pendingInjections{0};          // calls skip the map while it is 0
    std::atomic<uint32_t> vid{0x0403}, pid{0x6001};
    std::atomic<long> infoListSnapshot{-1};         // count at the last FT_CreateDeviceInfoList

    std::mutex logM;
    std::deque<LoggedCall> calls;

    std::mutex errorM;
    std::string lastError;                          // for qolven_sim_take_error
};

// The bridge, set up on first use from QOLVEN_SIM_CONFIG and QOLVEN_SIM_STATE.
Bridge &bridge();

// Keeps `reason` for qolven_sim_take_error (the newest failure wins).
void record_error(Bridge &b, const std::string &reason);
std::string take_error(Bridge &b);
// `text` fit for a message: quoted, at most `limit` bytes of it, control bytes and
// bytes that are not UTF-8 written as \xNN, a longer text cut with "...".
std::string quoted(const std::string &text, size_t limit = 40);
// Length of the well-formed UTF-8 sequence at s[i] (1 for ASCII), 0 when there is none.
size_t utf8_length(const std::string &s, size_t i);

// ---- registry (registry.cpp)
DevicePtr find_device(Bridge &b, const std::string &serial);   // caller holds b.m
// Runs f(device) under the device's lock; false for an unknown serial.
template <class F> bool with_device(const std::string &serial, F f) {
    Bridge &b = bridge();
    DevicePtr d;
    {
        std::shared_lock<std::shared_mutex> lock(b.m);
        d = find_device(b, serial);
    }
    if (!d) return false;
    std::lock_guard<std::mutex> lock(d->m);
    f(*d);
    return true;
}
DevicePtr make_device(const DeviceDescription &description);
void init_device(Device &d, TimePoint now);     // board storage and generators from cfg
// A board switched on again: what it keeps in RAM starts afresh, its stored registers stay
// and the answers it had not sent yet are gone.
void power_up(Device &d, TimePoint now);
// Fast data, rotation, display and menu as after power-up; the receive queue stays.
void restart_board(Device &d, TimePoint now);
// Replaces the attached devices (all of them, or those with the same serial numbers when
// `replaceAll` is false) by `devices`, with their stored registers from the state file
// in use.  Nothing changes when it fails (too many devices).
bool attach_devices(Bridge &b, const std::vector<DeviceDescription> &devices, bool replaceAll, std::string *error);
bool detach_device(Bridge &b, const std::string &serial);
void reset_bridge(Bridge &b);
void log_call(Bridge &b, const char *fn, const uint64_t *args, size_t argCount, uint32_t status, const Device *d);
// Device logs that keep their newest entries (caller holds the device's lock).
void add_diagnostic(Device &d, std::string text);
void add_write(Device &d, std::vector<uint8_t> bytes);
// Sets `path` as the state file (empty: none) and loads the records of the devices that
// are not open.  The path stays in use when only the file's contents were bad.
bool use_state_file(Bridge &b, const char *path, std::string *error);

// ---- storage defaults (storage.cpp)
void init_storage(Device &d);
void apply_overrides(Device &d);
uint8_t default_page_byte(int page, int index);
bool is_channel_board(const Device &d);
int last_point(int boardType);
// Entry of a loading point (status, high, middle, low) in the type's register map.
void store_entry(Device &d, int channel, int point, int32_t count);
void read_entry(const Device &d, int channel, int point, uint8_t out[4]);
uint8_t adc_config_byte(const Device &d, int channel);
void set_adc_config_byte(Device &d, int channel, uint8_t value);

// ---- signal (measurement.cpp)
double signal_value(Device &d, TimePoint t);
int32_t live_count(Device &d, TimePoint t);     // signed, rounded
void encode_status_count(int32_t count, uint8_t out[4]);

// ---- board (board.cpp)
struct Request {
    uint8_t number = 0, size = 0, command = 0;
    std::vector<uint8_t> data;     // bytes between the command byte and the end byte
    std::vector<uint8_t> raw;
};
struct Piece {
    int64_t offsetUs = 0;          // relative to the primary answer's visibility
    std::vector<uint8_t> bytes;
};
struct Answer {
    std::vector<uint8_t> primary;  // empty: nothing to send
    std::vector<Piece> later;      // further packets of the same request
    bool fast = false;
    size_t fastWidth = 0;
    size_t fastSamples = 0;
};
std::vector<uint8_t> make_packet(uint8_t number, uint8_t command, const std::vector<uint8_t> &data);
std::vector<uint8_t> make_ack(uint8_t number);
std::vector<uint8_t> make_error(uint8_t number, uint8_t code, uint8_t detail);
// Feeds bytes written by the host to the board.  With a state file, every write-type
// command is saved before it is acknowledged.
void board_receive(Device &d, const std::vector<uint8_t> &bytes, TimePoint now);
void schedule(Device &d, TimePoint visibleAt, std::vector<uint8_t> bytes);
std::string hex_bytes(const std::vector<uint8_t> &bytes);
std::string hex2(unsigned v);

// ---- handlers (one file per family); each fills `a` or returns an error report via `fail`
struct HandlerContext {
    Device &d;
    const Request &r;
    Answer &a;
    TimePoint now;
    bool wrote = false;            // a write-type command changed stored values
    void fail(uint8_t code, const std::string &diagnostic);
};
void handle_identity(HandlerContext &c);      // 0x01, 0x44, 0x45
void handle_registers(HandlerContext &c);     // 0x80..0x88, 0x49/0x4A/0x59/0x5A
void handle_measurement(HandlerContext &c);   // 0x40..0x42, 0x50..0x52, 0x47, 0x48
void handle_fast(HandlerContext &c);          // 0x43, 0x53
void handle_parameters(HandlerContext &c);    // 0x20..0x2D, 0x30..0x3A
void handle_display(HandlerContext &c);       // 0x46, 0x60..0x67
void handle_rotation(HandlerContext &c);      // 0x4B

// ---- fast data (fastdata.cpp)
double rate_for_code(int code);
int fast_width(int boardType, int rateCode);  // 0: no fast data on this type
void fast_restart(Device &d, TimePoint now);
void fast_catch_up(Device &d, TimePoint now);
void fast_set_rate(Device &d, double rate, TimePoint now);

// ---- replay (replay.cpp)
// Reads device `device` (its group name or serial number; "" for the first) of
// a recording; false with the reason.  Loads HDF5's library on first use.
bool load_replay(const std::string &path, const std::string &device, Replay &out, std::string *error);
// The recorded sampling-rate code and calibration into the board's storage.
void apply_replay(Device &d);
// The recorded sample at `seconds` after the board's epoch, and the one the
// fast-data generator's sample `sequence` plays at `rate`.
size_t replay_index_at(const Device &d, double seconds);
size_t replay_index_of(const Device &d, uint32_t sequence, double rate);

// ---- rotation (rotation.cpp)
void rotation_advance(Device &d, TimePoint now);
void rotation_reset_angle(Device &d, TimePoint now);
bool has_rotation(int boardType);

// ---- display (display.cpp)
std::string current_display_page(Device &d, TimePoint now);

// ---- faults (faults.cpp)
// Chooses the fault for the next answer (Fault::None when none applies).
FaultSpec pick_fault(Device &d, bool fastAnswer);
// Turns an answer into the pieces that reach the receive queue.
std::vector<Piece> apply_fault(Device &d, const FaultSpec &f, const Request &r, Answer &a);

// ---- descriptions (description.cpp)
// The one grammar of --simulate texts and description files; `error` names the device,
// the key and the fault.
bool parse_description(const std::string &text, std::vector<DeviceDescription> &out, std::string *error);
constexpr size_t kMaxDescriptionBytes = 1 << 20;
// Reads a description file; false with the reason.
bool read_description_file(const std::string &path, std::string &text, std::string *error);

// ---- state file (state.cpp)
// The boards' stored registers on disk, shared by every process that uses the path.  A
// save replaces one device's record and keeps the others (unique temporary, fsync,
// rename, under a lock file); a damaged file is moved aside, never overwritten.  While
// a device is open, its own lock file keeps other processes from opening it.
class StateFile {
public:
    // Refuses "" , directories, other non-regular files and a missing parent directory.
    static std::shared_ptr<StateFile> create(const std::string &path, std::string *error);
    const std::string &path() const { return path_; }
    // Reads the file (a missing one is fine): false when it cannot be read or is damaged
    // (then it is moved aside).
    bool check(std::string *error);
    // Takes the device's lock file: its descriptor, or -1 with `busy` set when another
    // process has the device open, else with the reason in `error`.
    int lock_device(const std::string &serial, bool *busy, std::string *error);
    // True while another process has the device open (this process's own openings are
    // known without asking).
    bool open_elsewhere(const std::string &serial) const;
    // Copies the device's record into `st` when the file has one.
    bool load_device(const std::string &serial, Storage &st, std::string *error);
    // The same for several devices, reading the file once.
    bool load_devices(const std::vector<std::pair<std::string, Storage *>> &targets, std::string *error);
    // Replaces the records of these devices and keeps everybody else's.
    bool save(const std::vector<std::pair<std::string, const Storage *>> &records, std::string *error);

private:
    explicit StateFile(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

} // namespace detail
} // namespace qolven_sim

#endif
