// The stored parameters the settings page lists and edits: the library's one
// parameter table (its C interface), the same the tool's `get all` uses.
#ifndef QOLVEN_SERVER_SETTINGS_H
#define QOLVEN_SERVER_SETTINGS_H

#include <QOLVEN_USB_DLL.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qolven_server {

using Device = _QOLVEN_USB_DLL::QOLVEN_USB_DLL;

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

// The outcome of one read or write: the value, or the library's text on failure.
// `refused`: the value or point was not taken, and nothing was sent.
struct SettingResult {
    bool ok = false;
    bool refused = false;
    std::string value;
    std::string error;
};

struct SettingAddress {
    unsigned char channel = 0;
    int point = 0;
};

// On the device's own thread, with its open device object.
SettingResult readSetting(Device &d, const std::string &name, const SettingAddress &at);
SettingResult writeSetting(Device &d, const std::string &name, const SettingAddress &at, const std::string &value);

} // namespace qolven_server

#endif
