// The recorder's pieces: samples by column, events, the settings, what the
// file learns of each device, and the file writers (HDF5, CSV) behind one
// interface.
#ifndef QOLVEN_RECORDING_RECORDER_H
#define QOLVEN_RECORDING_RECORDER_H

#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qolven.h"
#include "qolven_record.h"

namespace qolven_recording {

// Samples of one device in order, column by column, as the file keeps them.
struct Columns {
    std::vector<int64_t> sequence;
    std::vector<int32_t> channel, count;
    std::vector<double> time, load;

    size_t size() const { return count.size(); }
    bool empty() const { return count.empty(); }
    void add(int64_t s, int32_t c, int32_t n, double t, double l) {
        sequence.push_back(s);
        channel.push_back(c);
        count.push_back(n);
        time.push_back(t);
        load.push_back(l);
    }
    void add(const Columns &from, size_t i) {
        add(from.sequence[i], from.channel[i], from.count[i], from.time[i], from.load[i]);
    }
    // Drops the first `n` samples.
    void dropFront(size_t n);
    void clear();
};

struct Event {
    int kind = 0;
    int device = -1;
    int detail = 0;
    double time = 0;
    int64_t sequence = -1;
    double value = NAN;
    std::string text;
};

// A level crossing of one device's count or load.
struct Crossing {
    bool set = false;
    int device = 0;
    int quantity = QOLVEN_RECORD_COUNT;
    int edge = QOLVEN_RECORD_RISING;
    double level = 0;
};

struct Limits {
    bool set = false;
    int quantity = QOLVEN_RECORD_COUNT;
    double low = NAN, high = NAN;
};

struct Settings {
    std::string path;
    int format = 0;
    bool overwrite = false;
    int rate = -1;
    double duration = 0;
    Crossing start, stop;
    double pre = 0;
    std::vector<Limits> limits;  // by device
    bool stopOnLimit = false;
    bool tareAtStart = false;
    uint64_t rotateBytes = 0;
    double rotateSeconds = 0;
    double flushInterval = 0.5;
    bool realTime = true;
    std::string application;
};

// What the file says of a device, learnt at the start.
struct DeviceInfo {
    int index = 0;
    std::string serial;
    std::string group;  // its name in the file
    int channel = 0;
    qolven_board_identity identity{};
    std::string boardClass, boardMeaning;
    int rateCode = 0;
    double nominalRate = 0;
    bool multiChannel = false;
    qolven_calibration calibration{};
    bool hasLoad = false;
    double startMonotonic = 0, startWall = 0;
    double offset = 0;  // stream start - time 0
    int lossBasis = 0;
    Limits limits;
};

// The figures a file keeps up to date at each flush.
struct DeviceCounters {
    uint64_t samples = 0;  // written to this file
    uint64_t lost = 0;     // known lost within this file
    bool tared = false;
    int64_t tareCount = 0;
    struct qolven_stream_info stream{};
};

struct Progress {
    std::vector<DeviceCounters> devices;
    uint64_t samples = 0, lost = 0, events = 0;
    double endTime = 0;      // newest time written
    double triggerTime = 0;  // NaN while waiting for the start trigger
    std::string stopReason;  // set when the file is closed
    bool complete = false;
};

// Everything a file holds besides its samples and events.
struct FileHeader {
    std::string path;
    int format = 0;
    bool overwrite = false;
    int index = 0;            // 0 without rotation, else 1, 2, ...
    double startTime = 0;     // where this file begins on the recording's clock
    std::string application, libraryVersion, recorderVersion;
    double time0Monotonic = 0, time0Wall = 0, spread = 0;
    std::string trigger, stop;  // the conditions, in words
    std::string readerPriority; // "real-time" or "normal"
    double triggerTime = NAN;
    double flushInterval = 0;
    std::vector<DeviceInfo> devices;
    std::vector<DeviceCounters> atStart;  // tare state when the file begins
};

struct WriteFailure : std::runtime_error {
    explicit WriteFailure(const std::string &what) : std::runtime_error(what) {}
};

// One file being written.  Every call may throw WriteFailure, which names the
// file and the reason.
class Sink {
public:
    virtual ~Sink() = default;
    // Samples of every device (`pending[device]`, each in time order) and events.
    virtual void write(const std::vector<Columns> &pending, const std::vector<Event> &events) = 0;
    // Everything written so far, and `p`'s figures, reach the disk.
    virtual void flush(const Progress &p) = 0;
    // The file is closed whole; nothing may be called after.
    virtual void close(const Progress &p) = 0;
    // After a write failure: the file is let go without writing more (what
    // the last flush put on disk stays readable).  Never throws.
    virtual void abandon() = 0;
    virtual uint64_t bytes() const = 0;
};

std::unique_ptr<Sink> openCsv(const FileHeader &h);
std::unique_ptr<Sink> openHdf5(const FileHeader &h);
bool hdf5Available();

// ---- small shared helpers (text.cpp)

// "2024-05-01T12:00:00.123456Z"
std::string isoUtc(double wallSeconds);
// The file of rotation `index` (1, 2, ...): NAME-0001.EXT.
std::string rotatedPath(const std::string &path, int index);
// A device's group name: its serial number with characters other than
// letters, digits, '-' and '_' written as '_'.
std::string groupName(const std::string &serial);
const char *quantityName(int quantity);
const char *edgeName(int edge);
// "rising count 9000000 on SIM0001"
std::string crossingText(const Crossing &c, const std::string &serial);

} // namespace qolven_recording

#endif
