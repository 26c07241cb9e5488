#include "server.h"

#include "assets.h"
#include "board_types.h"
#include "calibration.h"
#include "device_worker.h"
#include "recording.h"
#include "request.h"
#include "security.h"

#include <httplib.h>
#include <qolven.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

namespace qolven_server {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds kShortJob{10000};
constexpr milliseconds kLongJob{30000};  // reset waits up to 10 s for the board
constexpr int kMaxChannel = 3;

std::string code(const std::string &text) {
    return std::to_string(text.empty() ? 0 : static_cast<unsigned char>(text[0]));
}

std::string libraryError(const Device &d, const std::string &fallback = "the board returned no valid value") {
    return d.lastErrorText[0] ? std::string(d.lastErrorText) : fallback;
}

// What the reading and the calibration page know of a channel's loading-point table.
struct CalibrationView {
    bool read = false;
    bool tableKnown = false;  // the number of points could be read
    std::string error;  // why there is no usable table
    std::vector<LoadingPoint> points;
    int stored = 0;     // number of loading points the board keeps
    int decimalPoint = 0;
    int unit = 0;
    int day = 0, month = 0, year = 0;
};

struct Key {
    const char *name, *alias;
    std::string (Device::*press)(void *);
};
const Key kKeys[] = {
    {"enter", "battery", &Device::Change_Battery_Enter}, {"tare", "up", &Device::Change_Tare_Up},
    {"display", "back", &Device::Change_Display_Back},   {"reset", "left", &Device::Change_Reset_Left},
    {"menu", "menu", &Device::Change_Menu},              {"unit", "right", &Device::Change_Unit_Right},
    {"shunt", "exit", &Device::Change_Shunt_Exit},       {"hold", "down", &Device::Change_Hold_Down},
};

} // namespace

struct Server::Impl {
    Options options;
    std::unique_ptr<AccessPolicy> policy;
    httplib::Server http;
    std::thread listener;
    int port = 0;
    std::atomic<size_t> eventClients{0};

    struct Entry {
        std::unique_ptr<DeviceWorker> worker;
        std::map<int, CalibrationView> calibration;  // device thread only
    };
    std::map<std::string, Entry> devices;
    std::vector<std::string> order;  // serials as attached
    std::unique_ptr<RecordingControl> recording;

    explicit Impl(Options o) : options(std::move(o)) {}

    void findDevices();
    void routes();
    Entry &device(const std::string &serial);
    Reply run(Entry &e, DeviceWorker::Job job, bool changesBoard, milliseconds timeout = kShortJob) {
        return e.worker->run(std::move(job), changesBoard, timeout);
    }

    // Jobs (run on the device's thread).
    static CalibrationView &calibration(Entry &e, Device &d, void *h, int channel);
    Reply identity(Entry &e);
    Reply reading(Entry &e, int channel);
    Reply average(Entry &e, const Json &body);
    Reply settingsList(Entry &e, int channel);
    Reply settingRead(Entry &e, const std::string &name, int channel, int point);
    Reply settingWrite(Entry &e, const std::string &name, const Json &body);
    Reply calibrationRead(Entry &e, int channel);
    Reply calibrationWrite(Entry &e, const Json &body);
    Reply streamSettings(Entry &e, const Json &body);
    Reply copyPage(Entry &e, const Json &body, bool backup);
    Reply reset(Entry &e);
    Reply display(Entry &e);
    Reply key(Entry &e, const std::string &name);
    Reply simulation(Entry &e, const Json &body);
    void events(Entry &e, httplib::Response &res);
    std::optional<SettingInfo> setting(const std::string &name) const;
};

// A device the request names that is not served.
struct UnknownDevice : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Server::Impl::Entry &Server::Impl::device(const std::string &serial) {
    auto it = devices.find(serial);
    if (it == devices.end()) throw UnknownDevice("no device with serial number \"" + serial + "\"");
    if (recording) recording->checkFree(serial);
    return it->second;
}

void Server::Impl::findDevices() {
    std::vector<std::string> found;
    auto probe = std::make_unique<Device>();
    long long count = 0;
    std::string countText = probe->Get_Device_Count();
    if (countText == "Error" || !wholeNumber(countText, count))
        throw std::runtime_error("cannot count the attached devices: " + libraryError(*probe));
    for (long long i = 0; i < count; ++i) {
        std::string serial = probe->Get_Device_Serial_Number(reinterpret_cast<void *>(static_cast<intptr_t>(i)));
        if (serial == "Error")
            throw std::runtime_error("cannot read the serial number of device " + std::to_string(i) + ": " +
                                     libraryError(*probe));
        found.push_back(serial);
    }
    std::vector<std::string> wanted = options.serials.empty() ? found : options.serials;
    for (const std::string &serial : wanted) {
        if (std::find(found.begin(), found.end(), serial) == found.end())
            throw std::runtime_error("no device with serial number \"" + serial + "\" is attached");
        if (devices.count(serial)) continue;
        devices[serial].worker = std::make_unique<DeviceWorker>(serial, options.channel);
        order.push_back(serial);
    }
}

std::optional<SettingInfo> Server::Impl::setting(const std::string &name) const { return findSetting(name); }

// ---- jobs

CalibrationView &Server::Impl::calibration(Entry &e, Device &d, void *h, int channel) {
    CalibrationView &view = e.calibration[channel];
    if (view.read) return view;
    view = CalibrationView();
    view.read = true;
    auto ch = static_cast<unsigned char>(channel);
    d.Get_Version_of_Board(h);
    if (d.boardTypeText == "Error") {
        view.read = false;  // ask again next time
        view.error = "identify the board: " + libraryError(d);
        return view;
    }
    const size_t size = loadingPointCount(d.boardType);
    long long value = 0;
    std::string text = d.Get_Number_of_Loading_Points(h, ch);
    if (text == "Error" || !wholeNumber(text, value)) {
        view.error = "number of loading points: " + libraryError(d);
        return view;
    }
    view.stored = static_cast<int>(value);
    view.tableKnown = true;
    struct Field {
        int *target;
        std::string (Device::*get)(void *, unsigned char);
    } fields[] = {{&view.decimalPoint, &Device::Get_Decimal_Point}, {&view.unit, &Device::Get_Unit_Code},
                  {&view.day, &Device::Get_Calibration_Day},       {&view.month, &Device::Get_Calibration_Month},
                  {&view.year, &Device::Get_Calibration_Year}};
    for (Field &f : fields) {
        e.worker->serviceStream();
        text = (d.*f.get)(h, ch);
        if (wholeNumber(text, value)) *f.target = static_cast<int>(value);
    }
    for (int p = 0; p < view.stored && static_cast<size_t>(p) < size; ++p) {
        e.worker->serviceStream();
        long long count = 0, load = 0;
        std::string entry = d.Get_Loading_Point(h, p, ch, 0);
        if (!wholeNumber(entry, count)) {
            view.error = "loading point " + std::to_string(p) + ": " + (entry == "Error" ? libraryError(d) : entry);
            view.points.clear();
            return view;
        }
        std::string loadText = d.Get_Load_of_Loading_Point(h, p, ch);
        if (!wholeNumber(loadText, load)) {
            view.error = "load of loading point " + std::to_string(p) + ": " + libraryError(d);
            view.points.clear();
            return view;
        }
        view.points.push_back({count, load});
    }
    return view;
}

Reply Server::Impl::identity(Entry &e) {
    const std::string serial = e.worker->serial();
    return run(e, [serial](Device &d, void *h) {
        Json body = {{"serial", serial}};
        d.Get_Version_of_Board(h);
        if (d.boardTypeText == "Error") {
            body["answers"] = false;
            body["error"] = libraryError(d);
            return Reply{200, body};
        }
        int type = d.boardType;
        body["boardType"] = type;
        body["meaning"] = boardTypeMeaning(type);
        body["hardwareVersion"] = std::stoi(code(d.hardwareVersionText));
        body["firmwareVersion"] = std::stoi(code(d.firmwareVersionText));
        body["firmwareYear"] = std::stoi(code(d.firmwareYearText));
        body["firmwareMonth"] = std::stoi(code(d.firmwareMonthText));
        bool answers = d.Slave_Activity_Inquiry(h) != "Error";
        body["answers"] = answers;
        body["error"] = answers ? "" : libraryError(d);
        return Reply{200, body};
    }, false);
}

Reply Server::Impl::reading(Entry &e, int channel) {
    // A request of its own even while streaming: the stream's samples may carry less
    // (two-byte samples at the fastest rates).
    return run(e, [&e, channel](Device &d, void *h) {
        Json body = {{"channel", channel}};
        long long count = 0;
        std::string text = d.Normal_Data_Request(h, static_cast<unsigned char>(channel));
        if (!wholeNumber(text, count)) return failure(422, "reading: " + (text == "Error" ? libraryError(d) : text));
        body["count"] = count;
        CalibrationView &view = calibration(e, d, h, channel);
        body["decimalPoint"] = view.decimalPoint;
        body["unit"] = view.unit;
        std::optional<double> load = loadAt(count, view.points);
        body["calibrated"] = load.has_value();
        if (load) {
            body["load"] = *load / std::pow(10.0, view.decimalPoint);
            body["loadText"] = formatLoad(*load, view.decimalPoint);
        } else {
            body["load"] = nullptr;
            body["why"] = view.error.empty() ? "fewer than two loading points" : view.error;
        }
        return Reply{200, body};
    }, false);
}

Reply Server::Impl::average(Entry &e, const Json &request) {
    int samples = static_cast<int>(integerField(request, "samples", 1, 500, 20));
    int channel = static_cast<int>(integerField(request, "channel", 0, kMaxChannel, 0));
    DeviceWorker *worker = e.worker.get();
    return run(e, [samples, channel, worker](Device &d, void *h) {
        std::vector<long long> counts;
        for (int i = 0; i < samples; ++i) {
            worker->serviceStream();
            long long count = 0;
            std::string text = d.Normal_Data_Request(h, static_cast<unsigned char>(channel));
            if (!wholeNumber(text, count))
                return failure(422, "reading " + std::to_string(i + 1) + ": " +
                                        (text == "Error" ? libraryError(d) : text));
            counts.push_back(count);
        }
        Spread s = summarize(counts);
        return Reply{200, Json{{"channel", channel}, {"samples", s.n}, {"mean", s.mean}, {"stddev", s.stddev},
                               {"min", s.min}, {"max", s.max}, {"counts", counts}}};
    }, false, seconds(60));
}

Reply Server::Impl::settingsList(Entry &e, int channel) {
    std::vector<SettingInfo> table = settingsTable();
    DeviceWorker *worker = e.worker.get();
    return run(e, [table, channel, worker](Device &d, void *h) {
        d.Get_Version_of_Board(h);
        if (d.boardTypeText == "Error") return failure(422, "identify the board: " + libraryError(d));
        int type = d.boardType;
        if (!qolven_board_type_known(type)) return failure(422, "board type " + std::to_string(type) + " is not known");
        auto ch = static_cast<unsigned char>(channel);
        // Indexed settings: the points in use, at least one.
        int points = 1;
        long long stored = 0;
        if (wholeNumber(d.Get_Number_of_Loading_Points(h, ch), stored))
            points = static_cast<int>(std::clamp<long long>(stored, 1, static_cast<long long>(loadingPointCount(type))));
        Json list = Json::array();
        const uint32_t bit = uint32_t(1) << type;
        for (const SettingInfo &s : table) {
            bool readable = s.readTypes & bit, writable = s.writeTypes & bit;
            if (!readable && !writable) continue;
            std::vector<int> valid = s.indexed ? settingPoints(s.name, type) : std::vector<int>{0};
            for (int p : valid) {
                if (s.indexed && p >= points) break;
                worker->serviceStream();
                Json item = {{"name", s.name}, {"readable", readable}, {"writable", writable},
                             {"syntax", s.syntax}, {"meaning", s.meaning}, {"value", nullptr}, {"error", ""}};
                if (s.indexed) item["point"] = p;
                if (readable) {
                    SettingResult r = readSetting(d, s.name, {ch, p});
                    if (r.ok) item["value"] = r.value;
                    else item["error"] = r.error;
                }
                list.push_back(item);
            }
        }
        return Reply{200, Json{{"boardType", type}, {"channel", channel}, {"settings", list}}};
    }, false, kLongJob);
}

Reply Server::Impl::settingRead(Entry &e, const std::string &name, int channel, int point) {
    if (!setting(name)) return failure(404, "unknown setting \"" + name + "\" (GET /api/settings lists them)");
    return run(e, [name, channel, point](Device &d, void *) {
        SettingResult r = readSetting(d, name, {static_cast<unsigned char>(channel), point});
        if (r.refused) return failure(400, r.error);
        if (!r.ok) return Reply{422, Json{{"error", r.error}, {"setting", name}}};
        return Reply{200, Json{{"name", name}, {"channel", channel}, {"point", point}, {"value", r.value}}};
    }, false);
}

Reply Server::Impl::settingWrite(Entry &e, const std::string &name, const Json &body) {
    std::optional<SettingInfo> info = setting(name);
    if (!info) return failure(404, "unknown setting \"" + name + "\" (GET /api/settings lists them)");
    if (!info->writeTypes) return failure(405, "setting \"" + name + "\" cannot be written");
    std::string value = valueText(body, "value");
    int channel = static_cast<int>(integerField(body, "channel", 0, kMaxChannel, 0));
    int point = static_cast<int>(integerField(body, "point", 0, 19, 0));
    bool readable = info->readTypes != 0;
    uint32_t readTypes = info->readTypes;
    return run(e, [&e, name, value, channel, point, readable, readTypes](Device &d, void *) {
        e.calibration.clear();
        SettingAddress at{static_cast<unsigned char>(channel), point};
        SettingResult w = writeSetting(d, name, at, value);
        if (w.refused) return failure(400, w.error);
        if (!w.ok) return Reply{422, Json{{"error", w.error}, {"setting", name}}};
        Json body = {{"name", name}, {"channel", channel}, {"point", point}, {"value", nullptr}};
        // The board decides what it kept: show that, not what was asked for.
        if (readable && qolven_board_type_known(d.boardType) && (readTypes >> d.boardType) & 1) {
            SettingResult r = readSetting(d, name, at);
            if (r.ok) body["value"] = r.value;
            else body["readBackError"] = r.error;
        }
        return Reply{200, body};
    }, true);
}

Reply Server::Impl::calibrationRead(Entry &e, int channel) {
    return run(e, [&e, channel](Device &d, void *h) {
        e.calibration.erase(channel);  // the page asks when it wants the board's present table
        CalibrationView &view = calibration(e, d, h, channel);
        if (!view.tableKnown) return failure(422, view.error);
        Json points = Json::array();
        for (const LoadingPoint &p : view.points) points.push_back({{"count", p.count}, {"load", p.load}});
        return Reply{200, Json{{"channel", channel}, {"stored", view.stored}, {"points", points},
                               {"decimalPoint", view.decimalPoint}, {"unit", view.unit},
                               {"date", {{"day", view.day}, {"month", view.month}, {"year", view.year}}},
                               {"sensitivity", sensitivity(view.points)}, {"error", view.error}}};
    }, false, kLongJob);
}

Reply Server::Impl::calibrationWrite(Entry &e, const Json &body) {
    int channel = static_cast<int>(integerField(body, "channel", 0, kMaxChannel, 0));
    bool check = booleanField(body, "check", false);
    auto list = body.find("points");
    if (list == body.end()) throw BadRequest("points: missing");
    if (!list->is_array()) throw BadRequest("points: expected a list of {\"count\": N, \"load\": N}");
    if (list->size() > 20) throw BadRequest("points: " + std::to_string(list->size()) + " points, at most 20");
    std::vector<LoadingPoint> points;
    for (size_t i = 0; i < list->size(); ++i) {
        const Json &p = (*list)[i];
        std::string where = "points[" + std::to_string(i) + "]";
        if (!p.is_object()) throw BadRequest(where + ": expected {\"count\": N, \"load\": N}");
        for (auto it = p.begin(); it != p.end(); ++it)
            if (it.key() != "count" && it.key() != "load")
                throw BadRequest(where + ": unknown field \"" + it.key() + "\"");
        try {
            points.push_back({integerField(p, "count", -8388608, 16777215), integerField(p, "load", 0, 65535)});
        } catch (const BadRequest &bad) {
            throw BadRequest(where + "." + bad.what());
        }
    }
    int day = 0, month = 0, year = 0;
    bool dated = body.contains("date");
    if (dated) {
        const Json &date = body["date"];
        if (!date.is_object()) throw BadRequest("date: expected {\"day\": D, \"month\": M, \"year\": Y}");
        for (auto it = date.begin(); it != date.end(); ++it)
            if (it.key() != "day" && it.key() != "month" && it.key() != "year")
                throw BadRequest("date: unknown field \"" + it.key() + "\"");
        day = static_cast<int>(integerField(date, "day", 1, 31));
        month = static_cast<int>(integerField(date, "month", 1, 12));
        year = static_cast<int>(integerField(date, "year", 0, 99));
    }
    // The board's table size is known only on the device thread; first the largest.
    std::string problem = checkLoadingPoints(points, mostLoadingPoints());
    if (!problem.empty()) return failure(422, problem);
    return run(e, [&e, points, channel, check, dated, day, month, year](Device &d, void *h) {
        auto ch = static_cast<unsigned char>(channel);
        d.Get_Version_of_Board(h);
        if (d.boardTypeText == "Error") return failure(422, "identify the board: " + libraryError(d));
        std::string problem = checkLoadingPoints(points, loadingPointCount(d.boardType));
        if (!problem.empty()) return failure(422, problem);
        Json summary = {{"channel", channel}, {"sensitivity", sensitivity(points)}};
        if (check) {
            summary["written"] = false;
            return Reply{200, summary};
        }
        e.calibration.clear();
        struct Step {
            std::string what;
            std::function<std::string()> run;
        };
        std::vector<Step> steps;
        for (size_t p = 0; p < points.size(); ++p) {
            int point = static_cast<int>(p);
            steps.push_back({"count of loading point " + std::to_string(p), [&d, h, point, ch, &points] {
                                 return d.Set_Zero_Correction(h, point, static_cast<int>(points[point].count), ch, 0);
                             }});
            steps.push_back({"load of loading point " + std::to_string(p), [&d, h, point, ch, &points] {
                                 return d.Set_Load_of_Loading_Point(h, point, static_cast<int>(points[point].load), ch);
                             }});
        }
        int n = static_cast<int>(points.size());
        steps.push_back({"number of loading points", [&d, h, n, ch] { return d.Set_Number_of_Loading_Points(h, n, ch); }});
        if (dated) {
            steps.push_back({"calibration day", [&d, h, day, ch] { return d.Set_Calibration_Day(h, day, ch); }});
            steps.push_back({"calibration month", [&d, h, month, ch] { return d.Set_Calibration_Month(h, month, ch); }});
            steps.push_back({"calibration year", [&d, h, year, ch] { return d.Set_Calibration_Year(h, year, ch); }});
        }
        for (size_t i = 0; i < steps.size(); ++i)
            if (e.worker->serviceStream(), steps[i].run() == "Error")
                return Reply{422, Json{{"error", steps[i].what + ": " + libraryError(d, "the board did not confirm")},
                                       {"stepsDone", i}, {"steps", steps.size()}}};
        CalibrationView &view = calibration(e, d, h, channel);
        Json back = Json::array();
        for (const LoadingPoint &p : view.points) back.push_back({{"count", p.count}, {"load", p.load}});
        summary["written"] = true;
        summary["points"] = back;
        summary["stored"] = view.stored;
        if (!view.error.empty()) summary["readBackError"] = view.error;
        return Reply{200, summary};
    }, true, kLongJob);
}

Reply Server::Impl::streamSettings(Entry &e, const Json &body) {
    std::optional<long long> rate, channel;
    if (body.contains("rate")) rate = integerField(body, "rate", 0, 15);
    if (body.contains("channel")) channel = integerField(body, "channel", 0, kMaxChannel);
    DeviceWorker *worker = e.worker.get();
    return run(e, [worker, rate, channel](Device &d, void *h) {
        if (channel) worker->setStreamChannel(static_cast<unsigned char>(*channel));
        auto ch = worker->streamChannel();
        if (rate && d.Set_ADC_Configuration(h, static_cast<unsigned char>(*rate), ch) == "Error")
            return Reply{422, Json{{"error", "sampling rate: " + libraryError(d)}}};
        long long now = 0;
        std::string text = d.Get_ADC_Sampling_Rate(h, ch);
        if (!wholeNumber(text, now)) return failure(422, "sampling rate: " + libraryError(d));
        return Reply{200, Json{{"channel", ch}, {"rate", now}, {"nominal", nominalRate(static_cast<int>(now))}}};
    }, true);
}

Reply Server::Impl::copyPage(Entry &e, const Json &body, bool backup) {
    int from = static_cast<int>(integerField(body, "from", 0, 255));
    int to = static_cast<int>(integerField(body, "to", 0, 255));
    return run(e, [&e, from, to, backup](Device &d, void *h) {
        e.calibration.clear();
        std::string result = backup ? d.Create_Back_Up(h, from, to) : d.Restore_Back_Up(h, to, from);
        if (result == "Error") return failure(422, std::string(backup ? "backup" : "restore") + ": " + libraryError(d));
        return Reply{200, Json{{"from", from}, {"to", to}}};
    }, !backup);
}

Reply Server::Impl::reset(Entry &e) {
    return run(e, [&e](Device &d, void *h) {
        e.calibration.clear();
        if (d.Reset_Board(h) == "Error") return failure(422, "reset: " + libraryError(d));
        return Reply{200, Json{{"reset", true}}};
    }, true, kLongJob);
}

Reply Server::Impl::display(Entry &e) {
    return run(e, [](Device &d, void *h) {
        if (d.Get_Display_Page(h) == "Error") return failure(422, "display page: " + libraryError(d));
        // The page sits in the read buffer after the three framing bytes (four with a leading 0xFF).
        d.GetDisplayPage(d.adapter.readBuffer[0] == 0xFF ? 4 : 3);
        return Reply{200, Json{{"lines", {d.displayLine1, d.displayLine2, d.displayLine3, d.displayLine4}}}};
    }, false);
}

Reply Server::Impl::key(Entry &e, const std::string &name) {
    for (const Key &k : kKeys)
        if (name == k.name || name == k.alias) {
            auto press = k.press;
            std::string canonical = k.name;
            return run(e, [press, canonical](Device &d, void *h) {
                if ((d.*press)(h) == "Error") return failure(422, "key " + canonical + ": " + libraryError(d));
                return Reply{200, Json{{"key", canonical}}};
            }, true);
        }
    return failure(404, "unknown key \"" + name + "\" (enter, tare, display, reset, menu, unit, shunt, hold)");
}

Reply Server::Impl::simulation(Entry &e, const Json &body) {
    if (!options.simulation) return failure(404, "the devices are not simulated (start with --simulate)");
    double offset = numberField(body, "offset", -8388608, 16777215, std::nullopt);
    double amplitude = numberField(body, "amplitude", 0, 8388608, 0.0);
    double period = numberField(body, "period", 0, 3600, 0.0);
    double noise = numberField(body, "noise", 0, 1000000, 0.0);
    if (!options.simulation(e.worker->serial(), offset, amplitude, period, noise))
        return failure(404, "no virtual board " + e.worker->serial());
    return Reply{200, Json{{"offset", offset}, {"amplitude", amplitude}, {"period", period}, {"noise", noise}}};
}

void Server::Impl::events(Entry &e, httplib::Response &res) {
    if (eventClients.fetch_add(1) >= options.maxEventClients) {
        --eventClients;
        Reply r = failure(503, "too many live-view connections (" + std::to_string(options.maxEventClients) +
                                   "); close one and try again");
        res.status = r.status;
        res.set_content(r.body.dump(), "application/json");
        return;
    }
    DeviceWorker *worker = e.worker.get();
    std::shared_ptr<EventClient> client = worker->events().subscribe();
    worker->wake();
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [client](size_t, httplib::DataSink &sink) {
            std::string out;
            bool more = client->take(out, seconds(1));
            // A comment now and then shows a closed connection and keeps proxies from timing out.
            if (out.empty() && more) out = ": idle\n\n";
            if (!out.empty() && !sink.write(out.data(), out.size())) return false;
            if (!more) sink.done();
            return true;
        },
        [this, worker, client](bool) {
            worker->events().unsubscribe(client);
            --eventClients;
        });
}

// ---- HTTP

namespace {

void send(httplib::Response &res, const Reply &r) {
    res.status = r.status;
    res.set_content(r.body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

const char *reason(int status) {
    switch (status) {
    case 404: return "no such address";
    case 405: return "method not allowed here";
    case 413: return "request body too large";
    case 414: return "address too long";
    default: return "request refused";
    }
}

// A body must say it is JSON: a page elsewhere can send plain text without asking
// first, JSON only with the server's consent (which it never gives).
Json jsonBody(const httplib::Request &req, const std::set<std::string> &allowed) {
    std::string type = req.get_header_value("Content-Type");
    if (!req.body.empty() && type.compare(0, 16, "application/json") != 0)
        throw BadRequest("body: send it as Content-Type: application/json, not \"" + type + "\"");
    return parseBody(req.body, allowed);
}

} // namespace

void Server::Impl::routes() {
    auto &s = http;
    // Every handler goes through here: a bad request is answered, never thrown out.
    auto guarded = [](std::function<Reply(const httplib::Request &)> handler) {
        return [handler](const httplib::Request &req, httplib::Response &res) {
            try {
                send(res, handler(req));
            } catch (const BadRequest &e) {
                send(res, failure(400, e.what()));
            } catch (const UnknownDevice &e) {
                send(res, failure(404, e.what()));
            } catch (const DeviceRecording &e) {
                send(res, failure(409, e.what()));
            } catch (const std::exception &e) {
                send(res, failure(500, std::string("internal error: ") + e.what()));
            }
        };
    };
    auto query = [](const httplib::Request &req, const char *name, long long low, long long high, long long fallback) {
        return integerParameter(req.get_param_value(name), req.has_param(name), name, low, high, fallback);
    };
    const std::string dev = R"(/api/devices/([^/]+))";

    for (size_t i = 0; i < kAssetCount; ++i) {
        const Asset *a = &kAssets[i];
        s.Get(a->path, [this, a](const httplib::Request &req, httplib::Response &res) {
            // The address printed at start carries the token; the page then keeps it in a cookie.
            if (req.has_param("token") && !policy->token().empty())
                res.set_header("Set-Cookie", policy->cookieName() + "=" + policy->token() +
                                                 "; Path=/; HttpOnly; SameSite=Strict");
            res.set_content(reinterpret_cast<const char *>(a->data), a->size, a->type);
        });
    }
    s.Get("/api", guarded([this](const httplib::Request &) {
        return Reply{200, Json{{"version", options.version}, {"devices", order},
                               {"simulated", static_cast<bool>(options.simulation)},
                               {"limits", {{"eventClients", options.maxEventClients},
                                           {"bodyBytes", options.maxBodyBytes}}}}};
    }));
    s.Get("/api/devices", guarded([this](const httplib::Request &) {
        Json list = Json::array();
        for (const std::string &serial : order) list.push_back({{"serial", serial}});
        return Reply{200, list};
    }));
    s.Get("/api/settings", guarded([this](const httplib::Request &) {
        Json list = Json::array();
        for (const SettingInfo &i : settingsTable()) {
            Json readTypes = Json::array(), writeTypes = Json::array();
            for (int t = 0; t <= 16; ++t) {
                if ((i.readTypes >> t) & 1) readTypes.push_back(t);
                if ((i.writeTypes >> t) & 1) writeTypes.push_back(t);
            }
            list.push_back({{"name", i.name}, {"indexed", i.indexed}, {"readTypes", readTypes},
                            {"writeTypes", writeTypes}, {"syntax", i.syntax}, {"meaning", i.meaning}});
        }
        return Reply{200, list};
    }));
    s.Get(dev, guarded([this](const httplib::Request &req) { return identity(device(req.matches[1])); }));
    s.Get(dev + "/reading", guarded([this, query](const httplib::Request &req) {
        return reading(device(req.matches[1]), static_cast<int>(query(req, "channel", 0, kMaxChannel, 0)));
    }));
    s.Post(dev + "/average", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return average(e, jsonBody(req, {"samples", "channel"}));
    }));
    s.Get(dev + "/settings", guarded([this, query](const httplib::Request &req) {
        return settingsList(device(req.matches[1]), static_cast<int>(query(req, "channel", 0, kMaxChannel, 0)));
    }));
    s.Get(dev + "/settings/([^/]+)", guarded([this, query](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return settingRead(e, req.matches[2], static_cast<int>(query(req, "channel", 0, kMaxChannel, 0)),
                           static_cast<int>(query(req, "point", 0, 19, 0)));
    }));
    s.Put(dev + "/settings/([^/]+)", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return settingWrite(e, req.matches[2], jsonBody(req, {"value", "channel", "point"}));
    }));
    s.Get(dev + "/calibration", guarded([this, query](const httplib::Request &req) {
        return calibrationRead(device(req.matches[1]), static_cast<int>(query(req, "channel", 0, kMaxChannel, 0)));
    }));
    s.Post(dev + "/calibration", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return calibrationWrite(e, jsonBody(req, {"points", "channel", "date", "check"}));
    }));
    s.Get(dev + "/stream", [this](const httplib::Request &req, httplib::Response &res) {
        auto it = devices.find(req.matches[1]);
        if (it == devices.end()) return send(res, failure(404, "no device with serial number \"" +
                                                                   std::string(req.matches[1]) + "\""));
        events(it->second, res);
    });
    s.Put(dev + "/stream", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return streamSettings(e, jsonBody(req, {"rate", "channel"}));
    }));
    s.Post(dev + "/backup", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return copyPage(e, jsonBody(req, {"from", "to"}), true);
    }));
    s.Post(dev + "/restore", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return copyPage(e, jsonBody(req, {"from", "to"}), false);
    }));
    s.Post(dev + "/reset", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        jsonBody(req, {});
        return reset(e);
    }));
    s.Get(dev + "/display", guarded([this](const httplib::Request &req) { return display(device(req.matches[1])); }));
    s.Post(dev + "/keys/([^/]+)", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        jsonBody(req, {});
        return key(e, req.matches[2]);
    }));
    s.Put(dev + "/simulation", guarded([this](const httplib::Request &req) {
        Entry &e = device(req.matches[1]);
        return simulation(e, jsonBody(req, {"offset", "amplitude", "period", "noise"}));
    }));
    // Recording (recording.cpp): into the folder the server was started in.
    char folder[4096];
    recording = std::make_unique<RecordingControl>(getcwd(folder, sizeof folder) ? folder : ".",
                                                   "qolven serve " + options.version);
    s.Get("/api/recording", guarded([this, query](const httplib::Request &req) {
        return recording->status(query(req, "since", 0, 1LL << 53, 0));
    }));
    s.Post("/api/recording", guarded([this](const httplib::Request &req) {
        std::vector<DeviceWorker *> workers;
        for (const std::string &serial : order) workers.push_back(devices.at(serial).worker.get());
        return recording->start(workers, jsonBody(req, {"file", "serials", "seconds", "rate", "tare"}));
    }));
    s.Post("/api/recording/stop", guarded([this](const httplib::Request &req) {
        jsonBody(req, {});
        return recording->stop();
    }));
    s.Post("/api/recording/mark", guarded([this](const httplib::Request &req) {
        return recording->mark(jsonBody(req, {"text"}));
    }));
    s.Post("/api/recording/tare", guarded([this](const httplib::Request &req) {
        return recording->tare(jsonBody(req, {"serial"}));
    }));

    // Refused before any handler runs, so nothing reaches a device.
    s.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        std::string host = req.get_header_value("Host");
        if (!policy->hostAllowed(host)) {
            send(res, failure(403, "Host \"" + host + "\" is not this server's; open the address qolven serve printed"));
            return httplib::Server::HandlerResponse::Handled;
        }
        std::string origin = req.get_header_value("Origin");
        if (!policy->originAllowed(origin)) {
            send(res, failure(403, "requests from pages of \"" + origin + "\" are refused"));
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!policy->tokenAllowed(req.get_header_value("Authorization"), req.get_header_value("Cookie"),
                                  req.get_param_value("token"))) {
            send(res, failure(401, "missing or wrong token: open the address qolven serve printed (it ends in "
                                   "?token=...), or send the header Authorization: Bearer TOKEN"));
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        send(res, failure(res.status, reason(res.status)));
        return httplib::Server::HandlerResponse::Handled;
    }));
    s.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        send(res, failure(500, "internal error"));
    });
    s.set_default_headers({{"Cache-Control", "no-store"},
                           {"X-Content-Type-Options", "nosniff"},
                           {"X-Frame-Options", "DENY"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Content-Security-Policy",
                            "default-src 'self'; img-src 'self' data: blob:; frame-ancestors 'none'"}});
}

// ---- Server

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() { stop(); }

void Server::start() {
    Impl &i = *impl_;
    const Options &o = i.options;
    if (o.port < 0 || o.port > 65535) throw std::runtime_error("--port: " + std::to_string(o.port) + " is outside 0..65535");
    if (o.bind.empty()) throw std::runtime_error("--bind: empty address");
    if (!isLoopback(o.bind) && o.token.empty())
        throw std::runtime_error("--bind " + o.bind + " reaches other machines: give a token (--token) or bind "
                                 "to 127.0.0.1");
    i.findDevices();
    // Every live-view connection holds a thread for as long as it is open; the
    // others keep enough threads for the page's own requests.
    size_t threads = o.maxEventClients + 8;
    i.http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    i.http.set_payload_max_length(o.maxBodyBytes);
    i.http.set_read_timeout(5, 0);
    i.http.set_write_timeout(5, 0);
    i.http.set_keep_alive_timeout(2);
    // cpp-httplib's default also sets SO_REUSEPORT, with which a second server on the
    // same port would silently share the requests with the first.
    i.http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    i.routes();
    errno = 0;
    int port = o.port;
    bool bound = port == 0 ? (port = i.http.bind_to_any_port(o.bind)) > 0 : i.http.bind_to_port(o.bind, port);
    if (!bound) {
        std::string why = errno ? std::strerror(errno) : "the address is not one of this machine's";
        throw std::runtime_error("cannot listen on " + o.bind + " port " + std::to_string(o.port) + ": " + why);
    }
    i.port = port;
    i.policy = std::make_unique<AccessPolicy>(hostsFor(o.bind), port, o.token);
    i.listener = std::thread([&i] { i.http.listen_after_bind(); });
    // stop() only reaches a server that runs: until then it would leave the listener in accept().
    for (int wait = 0; !i.http.is_running(); ++wait) {
        if (wait == 10000) throw std::runtime_error("the server did not start within 10 s");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void Server::stop() {
    Impl &i = *impl_;
    if (!i.listener.joinable()) return;
    for (auto &d : i.devices) d.second.worker->events().closeAll(eventFrame("closed", "{\"reason\":\"the server stops\"}"));
    i.http.stop();
    i.listener.join();
    if (i.recording) i.recording->shutdown();  // the file closed whole, the devices given back
    i.devices.clear();
}

int Server::port() const { return impl_->port; }

const std::string &Server::token() const { return impl_->options.token; }

std::string Server::url() const {
    const Impl &i = *impl_;
    std::string host = i.options.bind;
    if (isWildcard(host)) host = host == "::" ? "[::1]" : "127.0.0.1";
    else if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(i.port) + "/" + (i.options.token.empty() ? "" : "?token=" + i.options.token);
}

std::vector<std::string> Server::serials() const { return impl_->order; }

} // namespace qolven_server
