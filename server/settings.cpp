#include "settings.h"

#include <qolven.h>

#include <memory>

namespace qolven_server {

namespace {

// Board types a table row can name; the library refuses everything above 16.
constexpr int kBoardTypes = 32;

uint32_t servedTypes(int index, int access) {
    uint32_t set = 0;
    for (int type = 0; type < kBoardTypes; ++type)
        if (qolven_parameter_serves(index, type, access)) set |= uint32_t(1) << type;
    return set;
}

using Wrapper = std::unique_ptr<qolven_device, void (*)(qolven_device *)>;

// The worker's device object seen through the C interface, for one call.
Wrapper wrap(Device &d, const SettingAddress &at, SettingResult &r) {
    Wrapper w(qolven_wrap(&d), qolven_destroy);
    if (!w) {
        r.error = "out of memory";
    } else if (qolven_set_channel(w.get(), at.channel) != QOLVEN_OK) {
        r.refused = true;
        r.error = qolven_error_text(w.get());
        w.reset();
    }
    return w;
}

void outcome(qolven_device *w, int status, SettingResult &r) {
    r.ok = status == QOLVEN_OK;
    if (r.ok) return;
    r.error = qolven_error_text(w);
    r.refused = status == QOLVEN_INVALID_ARGUMENT || status == QOLVEN_UNKNOWN_NAME || status == QOLVEN_NOT_SUPPORTED;
}

} // namespace

std::vector<SettingInfo> settingsTable() {
    std::vector<SettingInfo> table;
    for (int i = 0; i < qolven_parameter_count(); ++i) {
        SettingInfo s;
        s.name = qolven_parameter_name(i);
        s.indexed = qolven_parameter_flags(i) & QOLVEN_PARAMETER_INDEXED;
        s.readTypes = servedTypes(i, QOLVEN_PARAMETER_READABLE);
        s.writeTypes = servedTypes(i, QOLVEN_PARAMETER_WRITABLE);
        s.syntax = qolven_parameter_syntax(i);
        s.meaning = qolven_parameter_meaning(i);
        table.push_back(s);
    }
    return table;
}

std::optional<SettingInfo> findSetting(const std::string &name) {
    int index = qolven_parameter_find(name.c_str());
    if (index < 0) return std::nullopt;
    return settingsTable()[static_cast<size_t>(index)];
}

std::vector<int> settingPoints(const std::string &name, int boardType) {
    int first = 0, last = -1;
    int index = qolven_parameter_find(name.c_str());
    if (index < 0 || qolven_parameter_points(index, boardType, &first, &last) != QOLVEN_OK) return {};
    std::vector<int> points;
    for (int p = first; p <= last; ++p) points.push_back(p);
    return points;
}

SettingResult readSetting(Device &d, const std::string &name, const SettingAddress &at) {
    SettingResult r;
    Wrapper w = wrap(d, at, r);
    if (!w) return r;
    char value[256];
    outcome(w.get(), qolven_get_parameter(w.get(), name.c_str(), at.point, value, sizeof value), r);
    if (r.ok) r.value = value;
    return r;
}

SettingResult writeSetting(Device &d, const std::string &name, const SettingAddress &at, const std::string &value) {
    SettingResult r;
    Wrapper w = wrap(d, at, r);
    if (!w) return r;
    outcome(w.get(), qolven_set_parameter(w.get(), name.c_str(), at.point, value.c_str()), r);
    return r;
}

} // namespace qolven_server
