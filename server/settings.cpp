#include "settings.h"

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

SettingResult outcome(qolven_device *device, int status) {
    SettingResult r;
    r.status = status;
    if (status != QOLVEN_OK) r.error = qolven_error_text(device);
    return r;
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
    if (name.find('\0') != std::string::npos) return std::nullopt;  // "decimal-point\0x" is no name
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

SettingResult readSetting(qolven_device *device, const std::string &name, int point) {
    char value[256];
    SettingResult r = outcome(device, qolven_get_parameter(device, name.c_str(), point, value, sizeof value));
    if (r.ok()) r.value = value;
    return r;
}

SettingResult writeSetting(qolven_device *device, const std::string &name, int point, const std::string &value) {
    return outcome(device, qolven_set_parameter(device, name.c_str(), point, value.c_str()));
}

} // namespace qolven_server
