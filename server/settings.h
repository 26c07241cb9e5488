// The stored parameters the settings page lists and edits: the library's one
// parameter table (its C interface), the same the tool's `get all` uses.
#ifndef QOLVEN_SERVER_SETTINGS_H
#define QOLVEN_SERVER_SETTINGS_H

#include <qolven.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qolven_server {

struct SettingInfo {
    std::string name;
    bool indexed = false;        // one value per loading point
    uint32_t readTypes = 0;      // board types that serve a read, bit n = type n
    uint32_t writeTypes = 0;     // board types that serve a write
    std::string syntax, meaning;
};

std::vector<SettingInfo> settingsTable();
std::optional<SettingInfo> findSetting(const std::string &name);
// Point numbers an indexed setting has on a board type (empty when none).
std::vector<int> settingPoints(const std::string &name, int boardType);

// The outcome of one read or write: the value, or the library's code and text.
struct SettingResult {
    int status = QOLVEN_OK;
    std::string value;
    std::string error;
    bool ok() const { return status == QOLVEN_OK; }
};

// On the device's own thread, with the channel already chosen.  `point`
// matters for indexed settings only.
SettingResult readSetting(qolven_device *device, const std::string &name, int point);
SettingResult writeSetting(qolven_device *device, const std::string &name, int point, const std::string &value);

} // namespace qolven_server

#endif
