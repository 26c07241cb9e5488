// Recording from the page: the served devices into one file in the folder
// `qolven serve` was started in, through the recorder library
// (qolven_record.h).  While a recording runs, each recorded device's worker
// lends its device object to the recorder and does nothing else; the live
// view of those devices pauses and resumes after.
#ifndef QOLVEN_SERVER_RECORDING_H
#define QOLVEN_SERVER_RECORDING_H

#include "device_worker.h"

#include <qolven_record.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qolven_server {

// A request for a device that is lent to the recorder (409).
struct DeviceRecording : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class RecordingControl {
public:
    RecordingControl(std::string folder, std::string application);
    ~RecordingControl();
    RecordingControl(const RecordingControl &) = delete;
    RecordingControl &operator=(const RecordingControl &) = delete;

    // POST /api/recording: {"file": "NAME.h5", "serials": [...], "seconds": S, "rate": CODE, "tare": true}.
    Reply start(const std::vector<DeviceWorker *> &workers, const Json &body);
    // GET /api/recording?since=N: the state, the devices' newest values and the events from N on.
    Reply status(long long since);
    Reply stop();
    Reply mark(const Json &body);
    Reply tare(const Json &body);
    // Ends a recording under way and gives the devices back (before the workers go).
    void shutdown();
    // Throws DeviceRecording while the device is lent to the recorder.
    void checkFree(const std::string &serial);

private:
    struct Lent;
    void watch(qolven_recorder *r);
    void giveBack();

    const std::string folder_, application_;
    std::mutex m_;
    std::condition_variable cv_;
    qolven_recorder *recorder_ = nullptr;  // of the recording under way
    std::vector<std::unique_ptr<Lent>> lent_;
    bool release_ = false;
    std::thread watcher_;
    std::string file_;
    std::vector<std::string> serials_;
    std::vector<Json> events_;  // of the present or last recording
    long long firstEvent_ = 0;  // index of events_[0]
    Json last_;                 // the last recording's end
};

} // namespace qolven_server

#endif
