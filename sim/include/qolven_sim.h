// Control API of the simulated bridge library (libqolven_d2xx_sim).
//
// The simulated library exports the FT_* functions of the D2XX bridge library
// and answers them from virtual devices.  Behind every virtual device sits a
// virtual board that speaks the board packet protocol.  Tests and tools use
// this API to attach devices, inject faults and look at what went over the
// wire.  Every function may be called from any thread; C hosts use qolven_sim_c.h.
#ifndef QOLVEN_SIM_H
#define QOLVEN_SIM_H

#include <cstdint>
#include <string>
#include <vector>

namespace qolven_sim {

// Statuses the simulated bridge returns (same codes as the real library).
enum Status : uint32_t {
    FT_OK_ = 0, FT_INVALID_HANDLE_ = 1, FT_DEVICE_NOT_FOUND_ = 2, FT_DEVICE_NOT_OPENED_ = 3,
    FT_IO_ERROR_ = 4, FT_INSUFFICIENT_RESOURCES_ = 5, FT_INVALID_PARAMETER_ = 6
};

// Everything that describes one virtual device and its board.  Fields left at
// their defaults give a plain single-channel amplifier (board type 2).
struct BoardConfig {
    std::string serial = "SIM0001";  // 1 to 63 bytes; FT_GetDeviceInfo(List) gives the first 15
    std::string description = "QOLVEN USB SIM";
    uint32_t deviceType = 5;        // D2XX device-type code reported by FT_GetDeviceInfo
    int boardType = 2;
    int hardwareVersion = 1;
    int firmwareVersion = 4;
    int firmwareYear = 11;          // 0..15, high nibble of the date byte
    int firmwareMonth = 1;          // 0..15, low nibble
    unsigned answerDelayUs = 1500;  // time from request to answer; 0 for fast unit tests
    unsigned resetDelayMs = 200;    // time from reset acknowledgement to the announcement; 0 = same read
    unsigned completionDelayMs = 50;// acknowledgement to completion answer (0x2C, 0x2D); 0 = same read
    // Live signal in counts: offset + amplitude * sin(2 pi t / period) + uniform noise.
    double signalOffset = 8388608.0;
    double signalAmplitude = 100000.0;
    double signalPeriodS = 10.0;
    double signalNoise = 20.0;
    uint32_t seed = 1;              // noise and random faults
    int activeChannels = 1;         // board type 9: channels that fast data cycles over (1..4)
    // Shaft speed of the rotation input (board types 8, 11, 14), revolutions per minute.
    double rotationRpm = 60.0;
};

enum class Fault {
    None,
    NoAnswer,        // the request is swallowed
    Late,            // the answer arrives after `delayUs`
    Partial,         // only the first `arg` bytes of the answer arrive (default: half)
    WrongNumber,     // packet number + 1
    WrongSize,       // size byte + 1
    WrongCommand,    // command byte replaced by `arg` (default 0x7F)
    WrongEnd,        // end byte 0x00
    BoardError,      // 5-byte error report with command `arg` (0x4C..0x4F, default 0x4D)
    LeadingFF,       // the answer preceded by one 0xFF byte
    Split,           // the answer in two pieces, the second `delayUs` after the first
    ExtraBytes,      // `arg` bytes of garbage after the answer (default 3)
    // fast-data answers only
    FastEmpty,       // size byte 0
    FastTwoPieces,   // the packet in two pieces (size byte tells the whole length)
    FastRefusal,     // kind byte `arg` (0x4C..0x4F, default 0x4D)
    FastShort,       // announces more bytes than arrive
};

enum class FaultMode {
    Next,      // the next answer only
    EveryNth,  // every `every`-th answer, counting from the injection
    Random,    // each answer with probability `probability`, from the device seed
};

struct FaultSpec {
    Fault kind = Fault::None;
    FaultMode mode = FaultMode::Next;
    int arg = -1;            // fault-specific, -1 = default
    unsigned delayUs = 0;    // Late, Split, FastTwoPieces
    int every = 1;           // EveryNth
    double probability = 0;  // Random
};

// What a board's fast-data generator did since the device was attached.  Always
// generated = delivered + dropped + waiting.
struct FastCounters {
    uint64_t generated = 0;  // samples the board's sample clock made
    uint64_t delivered = 0;  // samples put into fast-data answers (also when a fault damaged the answer)
    uint64_t dropped = 0;    // lost on the board: 64 were waiting already, or a restart (open,
                             // reset 0x45, set_board_type) cleared them
    uint64_t waiting = 0;    // waiting for the next fast-data request
};

struct CallRecord {
    std::string function;             // e.g. "FT_SetTimeouts"
    std::vector<uint64_t> args;       // integer arguments in order (handles and buffers left out)
    uint32_t status;                  // status returned
    // Serial number of the device the call addressed (empty for bridge-level calls
    // and for calls on handles that are not open).
    std::string serial;
    // A busy poll repeats the same FT_GetStatus call thousands of times: identical
    // consecutive polls are one record with this count, so the log keeps what matters.
    uint32_t repeat = 1;
};

// Transport settings the host applied to a device since it was last opened.
struct DeviceSettings {
    uint32_t readTimeoutMs = 0, writeTimeoutMs = 0;    // FT_SetTimeouts (0 = never set)
    uint32_t usbInSize = 4096, usbOutSize = 4096;       // FT_SetUSBParameters
    uint8_t latencyMs = 16;                             // FT_SetLatencyTimer
    std::vector<std::string> order;                     // configuration calls in call order
};

// ---- bridge level
void reset();                                    // detach all devices, clear all logs and injections
// Replaces a device with the same serial number; throws std::length_error when 256
// devices are attached already, std::invalid_argument for a serial number that is empty
// or longer than 63 bytes.
void attach(const BoardConfig &config);
bool detach(const std::string &serial);          // unplug: open handles then fail with FT_IO_ERROR
std::vector<std::string> serials();              // attached devices in index order
// Load devices from a description file (one device per line, key=value pairs separated by
// commas or spaces, e.g. "serial=SIM0009 type=9 fw=5 delay_us=0"; '#' starts a comment;
// the grammar of sim/README.md).  They replace attached devices of the same serial
// numbers; the others stay.  Returns false and fills error (the file, then the device,
// the key and the fault) when the file cannot be read or is malformed: nothing changes.
bool load_description(const std::string &path, std::string *error);

// Inject a status for calls of `function` ("FT_Read", "FT_Write", "FT_GetStatus", "FT_OpenEx",
// "FT_ListDevices", ...) on any device: the next `count` calls return `status`.
void inject_status(const std::string &function, uint32_t status, int count = 1);

// Log of every FT_* call on the bridge, oldest first (the newest 200000).
std::vector<CallRecord> calls();
void clear_calls();

// ---- device level (by serial number); functions on an unknown serial do nothing / return empty
void set_fault(const std::string &serial, const FaultSpec &fault);
void clear_faults(const std::string &serial);
void set_answer_delay_us(const std::string &serial, unsigned delayUs);
void set_board_type(const std::string &serial, int boardType);
// Added: change the live signal of a running board (the BoardConfig fields of the same names);
// false for an unknown serial.  C hosts: qolven_sim_set_signal() of qolven_sim_c.h.
bool set_signal(const std::string &serial, double offset, double amplitude, double periodS, double noise);
// The live signal in use (set_signal's values); false for an unknown serial.
bool get_signal(const std::string &serial, double &offset, double &amplitude, double &periodS, double &noise);
BoardConfig config(const std::string &serial);

// Bytes the host wrote, one entry per FT_Write: the newest 4096 writes, at most 1 MiB of them.
std::vector<std::vector<uint8_t>> writes(const std::string &serial);
void clear_writes(const std::string &serial);
// Put raw bytes into the receive queue, visible `delayUs` from now (after what is already queued).
void queue_rx(const std::string &serial, const std::vector<uint8_t> &bytes, unsigned delayUs = 0);
// Bytes waiting in the receive queue (visible or not yet visible).
size_t rx_pending(const std::string &serial);
// When true the board does not answer requests at all (raw-bytes tests).
void set_board_silent(const std::string &serial, bool silent);
// Diagnostics of requests the board did not take, oldest first (the newest 1000).
std::vector<std::string> diagnostics(const std::string &serial);
// Transport settings of a device (see DeviceSettings) and whether it is open.
DeviceSettings device_settings(const std::string &serial);
bool is_open(const std::string &serial);

// Board storage.  EEPROM registers are 16-bit (high, low); channel, memory and TEDS registers
// are one byte.  Channel 0..3, address 0..255.
uint16_t eeprom(const std::string &serial, int address);
void set_eeprom(const std::string &serial, int address, uint16_t value);
uint8_t channel_register(const std::string &serial, int channel, int address);
void set_channel_register(const std::string &serial, int channel, int address, uint8_t value);
uint8_t memory_register(const std::string &serial, int address);
void set_memory_register(const std::string &serial, int address, uint8_t value);
uint8_t teds_register(const std::string &serial, int address);
void set_teds_register(const std::string &serial, int address, uint8_t value);
std::vector<uint8_t> page(const std::string &serial, int page);   // 129 bytes
void set_page(const std::string &serial, int page, const std::vector<uint8_t> &bytes);
std::string display_page(const std::string &serial);               // 64 characters
void set_display_page(const std::string &serial, const std::string &text);
void set_internal_register(const std::string &serial, int reg, uint32_t value24);
void set_log_record(const std::string &serial, int number, const std::vector<uint8_t> &eightBytes);
std::vector<int> key_presses(const std::string &serial);          // key codes pressed, oldest first
int reset_count(const std::string &serial);

// Fast data.  A sample carries the board's count only; loss is told by the generator's
// counters, brought up to now first (all 0 for an unknown serial).  A host that received
// R samples lost delivered - R on the way, and `dropped` on the board.
FastCounters fast_counters(const std::string &serial);
// Number of the next sample the generator makes: the samples generated since the device
// was attached (FastCounters::generated).
uint32_t next_sample_sequence(const std::string &serial);

// Persist and restore the stored registers of every attached device (EEPROM, channel, memory,
// TEDS registers and pages) so that a later process sees what an earlier one wrote.  A save
// replaces the records of the attached devices and keeps the others; a load of a missing or
// damaged file changes nothing and returns false (qolven_sim_take_error() tells why).
bool save_state(const std::string &path);
bool load_state(const std::string &path);

} // namespace qolven_sim

#endif
