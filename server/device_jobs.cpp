#include "device_jobs.h"

#include "board_types.h"
#include "calibration.h"
#include "request.h"
#include "settings.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <vector>

namespace qolven_server {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds kShortJob{10000};
constexpr milliseconds kLongJob{30000};  // reset waits up to 10 s for the board

Json orNull(int value) { return value >= 0 ? Json(value) : Json(); }

// A failure of a setting: its code's status, its text and the setting.
Reply settingFailure(const SettingResult &r, const std::string &name) {
    Reply reply = failure(httpStatus(r.status), r.error);
    reply.body["setting"] = name;
    reply.body["code"] = qolven_error_name(r.status);
    return reply;
}


std::optional<long long> settingNumber(qolven_device *d, const char *name) {
    SettingResult r = readSetting(d, name, 0);
    long long value = 0;
    if (r.ok() && wholeNumber(r.value, value)) return value;
    return std::nullopt;
}

std::string joined(const std::vector<std::string> &parts) {
    std::string text;
    for (const std::string &p : parts) text += (text.empty() ? "" : "; ") + p;
    return text;
}

// The canonical name of a front-panel key by name or alias; empty when there is none.
std::string keyName(const std::string &name) {
    for (int i = 0; i < qolven_key_count(); ++i)
        if (name == qolven_key_name(i) || name == qolven_key_alias(i)) return qolven_key_name(i);
    return "";
}

} // namespace

std::string latin1ToUtf8(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Reply identity(DeviceWorker &w) {
    const std::string serial = w.serial();
    return w.run([serial](qolven_device *d) {
        Json body = {{"serial", serial}};
        qolven_board_identity id{};
        int status = qolven_identify(d, &id);
        if (status != QOLVEN_OK) {
            // A board that does not answer is what this asks, not a failure of the request.
            body["answers"] = false;
            body["error"] = qolven_error_text(d);
            body["code"] = qolven_error_name(status);
            return Reply{200, body};
        }
        body["boardType"] = id.board_type;
        body["meaning"] = boardTypeMeaning(id.board_type);
        body["hardwareVersion"] = id.hardware_version;
        body["firmwareVersion"] = id.firmware_version;
        body["firmwareYear"] = id.firmware_year;
        body["firmwareMonth"] = id.firmware_month;
        // What the page offers follows the library's board-type table.
        const char *boardClass = qolven_board_type_class(id.board_type);
        body["class"] = boardClass ? boardClass : "";
        Json families = Json::array();
        for (int f = 0; f < qolven_board_type_family_count(); ++f)
            if (qolven_board_type_serves(id.board_type, f)) families.push_back(qolven_board_type_family_name(f));
        body["families"] = families;
        body["lastRateCode"] = qolven_board_type_last_rate_code(id.board_type);
        char result[64];
        status = qolven_call(d, "Slave_Activity_Inquiry", nullptr, 0, result, sizeof result, nullptr);
        body["answers"] = status == QOLVEN_OK;
        body["error"] = status == QOLVEN_OK ? "" : qolven_error_text(d);
        if (status != QOLVEN_OK) body["code"] = qolven_error_name(status);
        return Reply{200, body};
    }, false, kShortJob);
}

Reply reading(DeviceWorker &w, int channel) {
    // A request of its own even while streaming: the stream's samples may carry less
    // (two-byte samples at the fastest rates).
    return w.run([&w, channel](qolven_device *d) {
        int status = w.selectChannel(d, channel);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "channel");
        qolven_reading r{};
        status = qolven_read(d, &r);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "reading");
        Json body = {{"channel", channel},
                     {"count", r.has_count ? Json(r.count) : Json()},
                     {"decimalPoint", orNull(r.decimal_point)},
                     {"unit", orNull(r.unit_code)},
                     {"calibrated", r.has_load != 0},
                     {"load", r.has_load ? Json(r.load) : Json()},
                     {"loadText", r.has_load ? Json(latin1ToUtf8(r.load_text)) : Json()},
                     {"why", latin1ToUtf8(r.why)},
                     {"tared", r.tared != 0}};
        if (!r.has_count) body["status"] = latin1ToUtf8(r.status);
        std::optional<int64_t> tare = w.tare(channel);
        body["tare"] = tare ? Json(*tare) : Json();
        return Reply{200, body};
    }, false, kShortJob);
}

Reply average(DeviceWorker &w, const Json &request) {
    int samples = static_cast<int>(integerField(request, "samples", 1, 500, 20));
    int channel = static_cast<int>(integerField(request, "channel", 0, kMaxChannel, 0));
    return w.run([samples, channel, &w](qolven_device *d) {
        int status = w.selectChannel(d, channel);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "channel");
        std::vector<long long> counts;
        for (int i = 0; i < samples; ++i) {
            w.serviceStream();
            int64_t count = 0;
            status = qolven_read_count(d, &count);
            if (status != QOLVEN_OK) return libraryFailure(d, status, "reading " + std::to_string(i + 1));
            counts.push_back(count);
        }
        Spread s = summarize(counts);
        return Reply{200, Json{{"channel", channel}, {"samples", s.n}, {"mean", s.mean}, {"stddev", s.stddev},
                               {"min", s.min}, {"max", s.max}, {"counts", counts}}};
    }, false, seconds(60));
}

Reply settingsList(DeviceWorker &w, int channel) {
    std::vector<SettingInfo> table = settingsTable();
    return w.run([table, channel, &w](qolven_device *d) {
        int status = w.selectChannel(d, channel);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "channel");
        qolven_board_identity id{};
        status = qolven_identify(d, &id);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "identify the board");
        const int type = id.board_type;
        if (!qolven_board_type_known(type)) return failure(422, "board type " + std::to_string(type) + " is not known");
        // Indexed settings: the points in use, at least one.
        long long points = 1;
        if (std::optional<long long> stored = settingNumber(d, "number-of-loading-points"))
            points = std::clamp<long long>(*stored, 1, static_cast<long long>(loadingPointCount(type)));
        Json list = Json::array();
        const uint32_t bit = uint32_t(1) << type;
        for (const SettingInfo &s : table) {
            bool readable = s.readTypes & bit, writable = s.writeTypes & bit;
            if (!readable && !writable) continue;
            std::vector<int> valid = s.indexed ? settingPoints(s.name, type) : std::vector<int>{0};
            for (int p : valid) {
                if (s.indexed && p >= points) break;
                w.serviceStream();
                Json item = {{"name", s.name}, {"readable", readable}, {"writable", writable},
                             {"syntax", s.syntax}, {"meaning", s.meaning}, {"value", nullptr}, {"error", ""}};
                if (s.indexed) item["point"] = p;
                if (readable) {
                    SettingResult r = readSetting(d, s.name, p);
                    if (r.ok()) item["value"] = latin1ToUtf8(r.value);
                    else item["error"] = r.error;
                }
                list.push_back(item);
            }
        }
        return Reply{200, Json{{"boardType", type}, {"channel", channel}, {"settings", list}}};
    }, false, kLongJob);
}

namespace {

// An indexed setting names its loading point: writing point 0 for want of one
// overwrote calibrations.
void requirePoint(const SettingInfo &s, bool given) {
    if (s.indexed && !given)
        throw BadRequest("point: missing; " + s.name + " keeps one value per loading point: say which (\"point\": 0 for the first)");
}

std::optional<SettingInfo> knownSetting(const std::string &name, Reply &refusal) {
    std::optional<SettingInfo> s = findSetting(name);
    if (!s) refusal = failure(404, "unknown setting \"" + name + "\" (GET /api/settings lists them)");
    return s;
}

} // namespace

Reply settingRead(DeviceWorker &w, const std::string &name, int channel, std::optional<long long> point) {
    Reply refusal;
    std::optional<SettingInfo> info = knownSetting(name, refusal);
    if (!info) return refusal;
    requirePoint(*info, point.has_value());
    const int at = static_cast<int>(point.value_or(0));
    return w.run([&w, name, channel, at](qolven_device *d) {
        int status = w.selectChannel(d, channel);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "channel");
        SettingResult r = readSetting(d, name, at);
        if (!r.ok()) return settingFailure(r, name);
        return Reply{200, Json{{"name", name}, {"channel", channel}, {"point", at}, {"value", latin1ToUtf8(r.value)}}};
    }, false, kShortJob);
}

Reply settingWrite(DeviceWorker &w, const std::string &name, const Json &body) {
    Reply refusal;
    std::optional<SettingInfo> info = knownSetting(name, refusal);
    if (!info) return refusal;
    if (!info->writeTypes) return failure(405, "setting \"" + name + "\" cannot be written");
    std::string value = valueText(body, "value");
    int channel = static_cast<int>(integerField(body, "channel", 0, kMaxChannel, 0));
    requirePoint(*info, body.contains("point"));
    // The board type's table decides which points exist: the library checks.
    int point = static_cast<int>(integerField(body, "point", INT_MIN, INT_MAX, 0));
    const bool readable = info->readTypes != 0;
    return w.run([&w, name, value, channel, point, readable](qolven_device *d) {
        int status = w.selectChannel(d, channel);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "channel");
        SettingResult written = writeSetting(d, name, point, value);
        if (!written.ok()) return settingFailure(written, name);
        Json reply = {{"name", name}, {"channel", channel}, {"point", point}, {"value", nullptr}};
        // The board decides what it kept: show that, not what was asked for.
        if (readable) {
            SettingResult r = readSetting(d, name, point);
            if (r.ok()) reply["value"] = latin1ToUtf8(r.value);
            else if (r.status != QOLVEN_BOARD_TYPE && r.status != QOLVEN_NOT_SUPPORTED) reply["readBackError"] = r.error;
        }
        // The decimal point applies to every load of a calibration the board keeps.
        qolven_calibration c{};
        if (name == "decimal-point" && qolven_read_calibration(d, &c) == QOLVEN_OK && c.source != QOLVEN_LOAD_NONE)
            reply["warning"] = "every load of the board's calibration (" +
                               std::string(c.source == QOLVEN_LOAD_TABLE ? "its loading points"
                                                                          : "its offset and full-scale pair") +
                               ") now shows " + std::to_string(c.decimal_point) +
                               " decimal places: each place moves every load tenfold";
        return Reply{200, reply};
    }, true, kShortJob);
}

Reply calibrationRead(DeviceWorker &w, int channel) {
    return w.run([&w, channel](qolven_device *d) {
        int status = w.selectChannel(d, channel);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "channel");
        qolven_calibration c{};
        status = qolven_read_calibration(d, &c);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "calibration");
        std::vector<LoadingPoint> points;
        Json list = Json::array();
        for (int i = 0; i < c.points; ++i) {
            points.push_back({c.counts[i], c.loads[i]});
            list.push_back({{"count", c.counts[i]}, {"load", c.loads[i]}});
        }
        Json date = Json::object();
        if (c.source != QOLVEN_LOAD_NONE || c.points_in_use >= 0)
            for (const char *part : {"day", "month", "year"}) {
                w.serviceStream();
                std::optional<long long> v = settingNumber(d, (std::string("calibration-") + part).c_str());
                date[part] = v ? Json(*v) : Json();
            }
        return Reply{200, Json{{"channel", channel},
                               {"source", qolven_load_source_name(c.source)},
                               {"stored", orNull(c.points_in_use)},
                               {"points", list},
                               {"decimalPoint", orNull(c.decimal_point)},
                               {"unit", orNull(c.unit_code)},
                               {"date", date},
                               {"sensitivity", sensitivity(points)},
                               {"why", latin1ToUtf8(c.why)}}};
    }, false, kLongJob);
}

Reply calibrationWrite(DeviceWorker &w, const Json &body) {
    int channel = static_cast<int>(integerField(body, "channel", 0, kMaxChannel, 0));
    bool check = booleanField(body, "check", false);
    auto list = body.find("points");
    if (list == body.end()) throw BadRequest("points: missing");
    if (!list->is_array()) throw BadRequest("points: expected a list of {\"count\": N, \"load\": N}");
    if (list->size() > mostLoadingPoints())
        throw BadRequest("points: " + std::to_string(list->size()) + " points, at most " +
                         std::to_string(mostLoadingPoints()));
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
    auto refused = [](const std::vector<std::string> &problems) {
        Reply r = failure(422, joined(problems));
        r.body["problems"] = problems;
        return r;
    };
    // The board's table size is known only on the device thread; first the largest.
    std::vector<std::string> problems = loadingPointProblems(points, mostLoadingPoints());
    if (!problems.empty()) return refused(problems);
    return w.run([&w, points, channel, check, dated, day, month, year, refused](qolven_device *d) {
        int status = w.selectChannel(d, channel);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "channel");
        qolven_board_identity id{};
        status = qolven_identify(d, &id);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "identify the board");
        std::vector<std::string> problems = loadingPointProblems(points, loadingPointCount(id.board_type));
        if (!problems.empty()) return refused(problems);
        Json summary = {{"channel", channel}, {"sensitivity", sensitivity(points)}};
        if (check) {
            summary["written"] = false;
            return Reply{200, summary};
        }
        struct Step {
            std::string what, setting;
            int point;
            long long value;
        };
        std::vector<Step> steps;
        for (size_t p = 0; p < points.size(); ++p) {
            int point = static_cast<int>(p);
            steps.push_back({"count of loading point " + std::to_string(p), "loading-point", point, points[p].count});
            steps.push_back({"load of loading point " + std::to_string(p), "load-of-loading-point", point, points[p].load});
        }
        steps.push_back({"number of loading points", "number-of-loading-points", 0, static_cast<long long>(points.size())});
        if (dated) {
            steps.push_back({"calibration day", "calibration-day", 0, day});
            steps.push_back({"calibration month", "calibration-month", 0, month});
            steps.push_back({"calibration year", "calibration-year", 0, year});
        }
        for (size_t i = 0; i < steps.size(); ++i) {
            w.serviceStream();
            SettingResult r = writeSetting(d, steps[i].setting, steps[i].point, std::to_string(steps[i].value));
            if (!r.ok()) {
                Reply reply = failure(httpStatus(r.status), steps[i].what + ": " + r.error);
                reply.body["code"] = qolven_error_name(r.status);
                reply.body["stepsDone"] = i;
                reply.body["steps"] = steps.size();
                return reply;
            }
        }
        qolven_calibration c{};
        status = qolven_read_calibration(d, &c);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "written; reading it back");
        Json back = Json::array();
        for (int i = 0; i < c.points; ++i) back.push_back({{"count", c.counts[i]}, {"load", c.loads[i]}});
        summary["written"] = true;
        summary["points"] = back;
        summary["stored"] = orNull(c.points_in_use);
        if (c.source != QOLVEN_LOAD_TABLE) summary["readBackError"] = latin1ToUtf8(c.why);
        return Reply{200, summary};
    }, true, kLongJob);
}

Reply streamSettings(DeviceWorker &w, const Json &body) {
    std::optional<long long> rate, channel;
    if (body.contains("rate")) rate = integerField(body, "rate", 0, 15);
    if (body.contains("channel")) channel = integerField(body, "channel", 0, kMaxChannel);
    return w.run([&w, rate, channel](qolven_device *d) {
        if (channel) w.setStreamChannel(static_cast<int>(*channel));
        const int ch = w.streamChannel();
        int status = w.selectChannel(d, ch);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "channel");
        if (rate) {
            SettingResult r = writeSetting(d, "sampling-rate", 0, std::to_string(*rate));
            if (!r.ok()) return settingFailure(r, "sampling-rate");
        }
        SettingResult now = readSetting(d, "sampling-rate", 0);
        long long code = 0;
        if (!now.ok()) return settingFailure(now, "sampling-rate");
        if (!wholeNumber(now.value, code)) return failure(502, "sampling rate: the board answered \"" + now.value + "\"");
        return Reply{200, Json{{"channel", ch}, {"rate", code},
                               {"nominal", qolven_rate_samples_per_second(static_cast<int>(code))}}};
    }, true, kShortJob);
}

Reply copyPage(DeviceWorker &w, const Json &body, bool backup) {
    int from = static_cast<int>(integerField(body, "from", 0, 255));
    int to = static_cast<int>(integerField(body, "to", 0, 255));
    return w.run([from, to, backup](qolven_device *d) {
        const std::string first = std::to_string(backup ? from : to), second = std::to_string(backup ? to : from);
        const char *arguments[] = {first.c_str(), second.c_str()};
        char result[64];
        int status = qolven_call(d, backup ? "Create_Back_Up" : "Restore_Back_Up", arguments, 2, result, sizeof result,
                                 nullptr);
        if (status != QOLVEN_OK) return libraryFailure(d, status, backup ? "backup" : "restore");
        return Reply{200, Json{{"from", from}, {"to", to}}};
    }, !backup, kShortJob);
}

Reply reset(DeviceWorker &w) {
    return w.run([](qolven_device *d) {
        char result[64];
        int status = qolven_call(d, "Reset_Board", nullptr, 0, result, sizeof result, nullptr);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "reset");
        return Reply{200, Json{{"reset", true}}};
    }, true, kLongJob);
}

Reply display(DeviceWorker &w) {
    return w.run([](qolven_device *d) {
        char lines[QOLVEN_DISPLAY_LINES][QOLVEN_DISPLAY_LINE_LENGTH + 1];
        int status = qolven_read_display(d, lines);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "display");
        Json list = Json::array();
        for (auto &line : lines) list.push_back(latin1ToUtf8(line));
        return Reply{200, Json{{"lines", list}}};
    }, false, kShortJob);
}

Reply key(DeviceWorker &w, const std::string &name) {
    std::string canonical = keyName(name);
    if (canonical.empty()) {
        std::string names;
        for (int i = 0; i < qolven_key_count(); ++i) names += (names.empty() ? "" : ", ") + std::string(qolven_key_name(i));
        return failure(404, "unknown key \"" + name + "\" (" + names + ")");
    }
    return w.run([canonical](qolven_device *d) {
        int status = qolven_press_key(d, canonical.c_str());
        if (status != QOLVEN_OK) return libraryFailure(d, status, "key " + canonical);
        return Reply{200, Json{{"key", canonical}}};
    }, true, kShortJob);
}

Reply setTare(DeviceWorker &w, const Json &body) {
    int channel = static_cast<int>(integerField(body, "channel", 0, kMaxChannel, 0));
    std::optional<long long> count;
    if (body.contains("count")) count = integerField(body, "count", -8388608, 16777215);
    return w.run([&w, channel, count](qolven_device *d) {
        int status = w.selectChannel(d, channel);
        if (status != QOLVEN_OK) return libraryFailure(d, status, "channel");
        int64_t at = 0;
        if (count) {
            at = *count;
        } else if ((status = qolven_read_count(d, &at)) != QOLVEN_OK) {
            return libraryFailure(d, status, "tare at the present reading");
        }
        w.setTare(channel, at);
        return Reply{200, Json{{"channel", channel}, {"tared", true}, {"tare", at}}};
    }, false, kShortJob);
}

Reply clearTare(DeviceWorker &w, int channel) {
    return w.run([&w, channel](qolven_device *) {
        w.setTare(channel, std::nullopt);
        return Reply{200, Json{{"channel", channel}, {"tared", false}, {"tare", nullptr}}};
    }, false, kShortJob);
}

} // namespace qolven_server
