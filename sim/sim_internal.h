// Internal declarations of the simulated bridge library.  Nothing here comes from
// the driver library (src/, include/): the virtual board is written from the
// protocol description only.
#ifndef QOLVEN_SIM_INTERNAL_H
#define QOLVEN_SIM_INTERNAL_H

#include "qolven_sim.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
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

// Board error codes.
constexpr uint8_t kErrTeds = 0x4C, kErrCommand = 0x4D, kErrFrame = 0x4E, kErrPacketCommand = 0x4F;

// Register default given in a description file (applied after the board defaults).
struct RegisterOverride {
    enum Kind { Eeprom, Channel, Memory, Teds, Internal } kind;
    int channel = 0;
    int address = 0;
    uint32_t value = 0;
};

struct RxChunk {
    TimePoint visibleAt;
    std::vector<uint8_t> bytes;
    size_t consumed = 0;  // bytes already read from the front
    size_t remaining() const { return bytes.size() - consumed; }
};

struct Storage {
    uint16_t eeprom[256];
    uint8_t channel[4][256];
    uint8_t memory[256];
    std::vector<uint8_t> teds;      // kTedsSize
    std::vector<uint8_t> pages;     // kPages * kPageSize
    std::vector<uint8_t> backups;   // backup slot per page (boards other than type 9)
    std::map<int, uint32_t> internal;
    std::map<int, std::vector<uint8_t>> logs;
};

struct Sample {
    uint32_t seq;
    int32_t count;   // unsigned 24-bit count (0..16777215)
    uint8_t channel;
};

struct FastGenerator {
    TimePoint start;       // start of the current rate period
    double rate = 2.5;     // samples per second
    uint64_t generated = 0;// samples generated since `start`
    uint32_t seq = 0;      // sequence number of the next sample
    std::deque<Sample> waiting;
};

struct FaultRule {
    FaultSpec rule;
    long counter = 0;
};

struct Device {
    BoardConfig cfg;
    std::vector<RegisterOverride> overrides;

    // bridge side
    bool detached = false;
    bool open = false;
    uintptr_t handle = 0;
    DeviceSettings settings;
    std::deque<RxChunk> rx;
    std::vector<std::vector<uint8_t>> writes;
    bool silent = false;
    std::vector<std::string> diagnostics;

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
    std::vector<int> keys;
    int lastKey = -1;
    bool menuOpen = false;
    int menuItem = 0;
    int resets = 0;
};

using DevicePtr = std::shared_ptr<Device>;

// Global state of the bridge (one per process).
struct Bridge {
    std::mutex m;
    bool initialised = false;
    std::vector<DevicePtr> devices;                 // attached, index order
    std::map<uintptr_t, DevicePtr> handles;         // open handles
    uintptr_t nextHandle = 0x51A0001;
    std::map<std::string, std::pair<uint32_t, int>> injections;
    std::deque<CallRecord> calls;
    uint32_t vid = 0x0403, pid = 0x6001;
    long infoListSnapshot = -1;                     // count at the last FT_CreateDeviceInfoList
    std::string statePath;                          // QOLVEN_SIM_STATE
};

Bridge &bridge();
// Takes the bridge lock and runs the first-use initialisation.
struct Guard {
    std::unique_lock<std::mutex> lock;
    Bridge &b;
    Guard();
};

// ---- registry (registry.cpp); callers hold the lock
DevicePtr find_device(Bridge &b, const std::string &serial);
void attach_locked(Bridge &b, const BoardConfig &cfg, const std::vector<RegisterOverride> &overrides);
bool detach_locked(Bridge &b, const std::string &serial);
void reset_locked(Bridge &b);
void init_device(Device &d, TimePoint now);     // board storage and generators from cfg
void log_call(Bridge &b, const char *fn, std::vector<uint64_t> args, uint32_t status, const Device *d);

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
// Feeds bytes written by the host to the board; returns true when a write-type command ran.
bool board_receive(Bridge &b, Device &d, const std::vector<uint8_t> &bytes, TimePoint now);
void schedule(Device &d, TimePoint visibleAt, std::vector<uint8_t> bytes);
std::string hex_bytes(const std::vector<uint8_t> &bytes);
std::string hex2(unsigned v);

// ---- handlers (one file per family); each fills `a` or returns an error report via `fail`
struct HandlerContext {
    Bridge &b;
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

// ---- description file and state file
bool load_description_locked(Bridge &b, const std::string &path, std::string *error);
bool parse_description_text(const std::string &text, std::vector<std::pair<BoardConfig, std::vector<RegisterOverride>>> &out,
                            std::string *error);
bool save_state_locked(Bridge &b, const std::string &path);
bool load_state_locked(Bridge &b, const std::string &path);

} // namespace detail
} // namespace qolven_sim

#endif
