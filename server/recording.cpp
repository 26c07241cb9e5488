#include "recording.h"

#include "request.h"

#include <qolven.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace qolven_server {

namespace {

constexpr auto kLendWait = std::chrono::seconds(15);
constexpr size_t kMostEvents = 10000;
constexpr size_t kLongestName = 100;

// A plain file name in the server's folder: letters, digits, '.', '-', '_',
// not starting with '.', ending in .h5, .hdf5 or .csv.
std::string fileProblem(const std::string &name) {
    if (name.empty()) return "file: empty; give a name such as run.h5";
    if (name.size() > kLongestName) return "file: longer than " + std::to_string(kLongestName) + " characters";
    if (name[0] == '.') return "file: a name may not start with '.'";
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
              c == '_'))
            return "file: only letters, digits, '.', '-' and '_' (the file goes into the folder qolven serve "
                   "was started in)";
    auto ends = [&](const std::string &ext) {
        return name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0;
    };
    if (!ends(".h5") && !ends(".hdf5") && !ends(".csv")) return "file: the name must end in .h5, .hdf5 or .csv";
    return "";
}

// The recorder's own codes, then the acquisition layer's classes.
int recordingStatus(int status) {
    return status == QOLVEN_RECORD_WRITE_FAILED ? 507 : httpStatus(status);
}

Json number(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

Json statusOf(qolven_recorder *r, const std::vector<std::string> &serials) {
    qolven_record_status st{};
    qolven_recorder_status(r, &st);
    Json devices = Json::array();
    for (size_t i = 0; i < serials.size(); ++i) {
        qolven_record_device_status d{};
        qolven_recorder_device_status(r, int(i), &d);
        devices.push_back({{"serial", serials[i]}, {"lastTime", number(d.last_time)}, {"lastCount", d.last_count},
                           {"lastLoad", number(d.last_load)}, {"samples", d.samples}, {"lost", d.lost},
                           {"tared", d.tared != 0}, {"limit", d.limit_state}});
    }
    return {{"state", qolven_record_state_name(st.state)}, {"elapsed", st.elapsed}, {"samples", st.samples},
            {"lost", st.lost}, {"bytes", st.bytes}, {"stopReason", st.stop_reason}, {"devices", devices}};
}

} // namespace

// One device lent to the recorder: a job on its worker that hands over the
// device object and waits until the recording gives it back.
struct RecordingControl::Lent {
    DeviceWorker *worker = nullptr;
    std::thread thread;
    qolven_device *device = nullptr;
    bool ready = false;
    std::string error;
};

RecordingControl::RecordingControl(std::string folder, std::string application)
    : folder_(std::move(folder)), application_(std::move(application)) {}

RecordingControl::~RecordingControl() { shutdown(); }

void RecordingControl::giveBack() {
    {
        std::lock_guard<std::mutex> lock(m_);
        release_ = true;
    }
    cv_.notify_all();
    for (auto &l : lent_)
        if (l->thread.joinable()) l->thread.join();
    std::lock_guard<std::mutex> lock(m_);
    lent_.clear();
    release_ = false;
}

Reply RecordingControl::start(const std::vector<DeviceWorker *> &workers, const Json &body) {
    auto file = body.find("file");
    if (file == body.end() || !file->is_string()) throw BadRequest("file: missing (a name such as run.h5)");
    const std::string name = *file;
    std::string problem = fileProblem(name);
    if (!problem.empty()) throw BadRequest(problem);
    std::vector<DeviceWorker *> chosen;
    if (body.contains("serials")) {
        const Json &list = body["serials"];
        if (!list.is_array() || list.empty()) throw BadRequest("serials: expected a list of serial numbers");
        for (const Json &s : list) {
            if (!s.is_string()) throw BadRequest("serials: expected a list of serial numbers");
            auto it = std::find_if(workers.begin(), workers.end(), [&](DeviceWorker *w) { return w->serial() == s; });
            if (it == workers.end()) throw BadRequest("serials: \"" + std::string(s) + "\" is not served here");
            if (std::find(chosen.begin(), chosen.end(), *it) == chosen.end()) chosen.push_back(*it);
        }
    } else {
        chosen = workers;
    }
    if (chosen.empty()) throw BadRequest("no device to record");
    const double seconds = numberField(body, "seconds", 0, 1e9, 0.0);
    const long long rate = integerField(body, "rate", -1, 15, -1);
    const bool tare = booleanField(body, "tare", false);

    std::unique_lock<std::mutex> lock(m_);
    if (recorder_ || !lent_.empty()) return failure(409, "a recording is under way; stop it first");
    lock.unlock();
    if (watcher_.joinable()) watcher_.join();  // the last recording's, finished

    for (DeviceWorker *w : chosen) {
        auto l = std::make_unique<Lent>();
        l->worker = w;
        Lent *lent = l.get();
        l->thread = std::thread([this, lent] {
            Reply r = lent->worker->run(
                [this, lent](qolven_device *d) {
                    std::unique_lock<std::mutex> lock(m_);
                    lent->device = d;
                    lent->ready = true;
                    cv_.notify_all();
                    cv_.wait(lock, [this] { return release_; });
                    return Reply{200, Json::object()};
                },
                true, std::chrono::hours(24 * 366));
            std::lock_guard<std::mutex> lock(m_);
            if (!lent->ready || r.status != 200) {
                lent->ready = true;
                if (lent->error.empty()) lent->error = r.body.value("error", std::string("the device was not lent"));
                cv_.notify_all();
            }
        });
        lock.lock();
        lent_.push_back(std::move(l));
        lock.unlock();
    }
    lock.lock();
    bool allReady = cv_.wait_for(lock, kLendWait, [this] {
        return std::all_of(lent_.begin(), lent_.end(), [](const auto &l) { return l->ready; });
    });
    std::string busy;
    for (auto &l : lent_)
        if (!l->ready || !l->error.empty() || !l->device)
            busy += (busy.empty() ? "" : "; ") + l->worker->serial() + ": " + (l->error.empty() ? "busy" : l->error);
    lock.unlock();
    if (!allReady || !busy.empty()) {
        giveBack();
        return failure(503, "the devices could not be handed to the recorder (" + busy + "); try again");
    }

    qolven_recorder *r = qolven_recorder_create();
    if (!r) {
        giveBack();
        return failure(500, "out of memory");
    }
    std::vector<std::string> serials;
    int status = QOLVEN_OK;
    auto step = [&](int s) {
        if (status == QOLVEN_OK) status = s;
    };
    for (size_t i = 0; i < lent_.size(); ++i) {
        qolven_device *d = lent_[i]->device;
        step(qolven_recorder_add_device(r, d));
        serials.push_back(lent_[i]->worker->serial());
        step(qolven_recorder_set_device_serial(r, int(i), serials.back().c_str()));
    }
    const std::string path = folder_ + "/" + name;
    step(qolven_recorder_set_output(r, path.c_str(), 0));
    step(qolven_recorder_set_application(r, application_.c_str()));
    if (seconds > 0) step(qolven_recorder_set_duration(r, seconds));
    if (rate >= 0) step(qolven_recorder_set_rate(r, int(rate)));
    if (tare) step(qolven_recorder_set_tare_at_start(r, 1));
    if (status == QOLVEN_OK) status = qolven_recorder_start(r);
    if (status != QOLVEN_OK) {
        std::string why = qolven_recorder_error_text(r);
        qolven_recorder_destroy(r);
        giveBack();
        return failure(recordingStatus(status), "record: " + why);
    }
    lock.lock();
    recorder_ = r;
    file_ = name;
    serials_ = serials;
    events_.clear();
    firstEvent_ = 0;
    last_ = Json();
    Json reply = statusOf(r, serials_);
    reply["file"] = file_;
    lock.unlock();
    watcher_ = std::thread([this, r] { watch(r); });
    return Reply{200, reply};
}

void RecordingControl::watch(qolven_recorder *r) {
    int finished = 0;
    int result = QOLVEN_OK;
    for (;;) {
        result = qolven_recorder_wait(r, 250, &finished);
        qolven_record_event e{};
        int got = 0;
        std::lock_guard<std::mutex> lock(m_);
        while (qolven_recorder_next_event(r, &e, &got) == QOLVEN_OK && got) {
            events_.push_back({{"index", firstEvent_ + static_cast<long long>(events_.size())}, {"time", e.time},
                               {"device", e.device},
                               {"serial", e.device >= 0 && size_t(e.device) < serials_.size() ? serials_[size_t(e.device)] : ""},
                               {"kind", qolven_record_event_name(e.kind)}, {"detail", e.detail},
                               {"sequence", e.sequence}, {"value", number(e.value)}, {"text", e.text}});
            if (events_.size() > kMostEvents) {
                events_.erase(events_.begin());
                ++firstEvent_;
            }
        }
        if (finished) break;
    }
    const std::string why = qolven_recorder_error_text(r);
    giveBack();
    std::lock_guard<std::mutex> lock(m_);
    last_ = statusOf(r, serials_);
    last_["file"] = file_;
    last_["result"] = qolven_record_error_name(result);
    last_["error"] = result == QOLVEN_OK ? "" : why;
    qolven_recorder_destroy(r);
    recorder_ = nullptr;
}

Reply RecordingControl::status(long long since) {
    std::lock_guard<std::mutex> lock(m_);
    Json body;
    if (recorder_) {
        body = statusOf(recorder_, serials_);
        body["file"] = file_;
        // Finished only once the result is known and the devices are given back.
        if (body["state"] == "finished") body["state"] = "stopping";
    } else if (!last_.is_null()) {
        body = last_;
    } else {
        body = {{"state", "idle"}};
    }
    body["folder"] = folder_;
    Json events = Json::array();
    for (size_t i = size_t(std::max<long long>(0, since - firstEvent_)); i < events_.size(); ++i)
        events.push_back(events_[i]);
    body["events"] = events;
    body["nextEvent"] = firstEvent_ + static_cast<long long>(events_.size());
    return Reply{200, body};
}

Reply RecordingControl::stop() {
    std::lock_guard<std::mutex> lock(m_);
    if (!recorder_) return failure(409, "no recording under way");
    qolven_recorder_stop(recorder_);
    return Reply{200, Json{{"stopping", true}}};
}

Reply RecordingControl::mark(const Json &body) {
    auto text = body.find("text");
    if (text == body.end() || !text->is_string()) throw BadRequest("text: missing");
    std::lock_guard<std::mutex> lock(m_);
    if (!recorder_) return failure(409, "no recording under way");
    if (qolven_recorder_mark(recorder_, std::string(*text).c_str()) != QOLVEN_OK)
        return failure(400, qolven_recorder_error_text(recorder_));
    return Reply{200, Json{{"marked", *text}}};
}

Reply RecordingControl::tare(const Json &body) {
    std::lock_guard<std::mutex> lock(m_);
    if (!recorder_) return failure(409, "no recording under way");
    int device = -1;
    if (body.contains("serial")) {
        if (!body["serial"].is_string()) throw BadRequest("serial: expected a serial number");
        auto it = std::find(serials_.begin(), serials_.end(), std::string(body["serial"]));
        if (it == serials_.end()) throw BadRequest("serial: not one of the devices recorded");
        device = int(it - serials_.begin());
    }
    if (qolven_recorder_tare(recorder_, device) != QOLVEN_OK) return failure(400, qolven_recorder_error_text(recorder_));
    return Reply{200, Json{{"tare", device < 0 ? Json("all") : Json(serials_[size_t(device)])}}};
}

void RecordingControl::checkFree(const std::string &serial) {
    std::lock_guard<std::mutex> lock(m_);
    for (auto &l : lent_)
        if (l->worker->serial() == serial)
            throw DeviceRecording("device " + serial + " is recording (" + file_ +
                                  "); it answers again when the recording ends");
}

void RecordingControl::shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_);
        if (recorder_) qolven_recorder_stop(recorder_);
    }
    if (watcher_.joinable()) watcher_.join();
}

} // namespace qolven_server
