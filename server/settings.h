// The stored parameters the settings page lists and edits.  The server holds no
// list of its own: whoever starts it hands over the parameter table (today the
// one behind `qolven get all`).
#ifndef QOLVEN_SERVER_SETTINGS_H
#define QOLVEN_SERVER_SETTINGS_H

#include <QOLVEN_USB_DLL.h>

#include <cstdint>
#include <functional>
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

// The outcome of one read or write: the library's result text, or why nothing was
// sent (`refused`: the value was malformed or the name unknown).
struct SettingResult {
    bool ok = false;
    bool refused = false;
    std::string value;  // the value read; empty for a write
    std::string error;  // the library's text on failure ("Invalid Decimal Point")
};

struct SettingAddress {
    unsigned char channel = 0;
    int point = 0;
};

struct SettingsTable {
    std::function<std::vector<SettingInfo>()> describe;
    std::function<SettingResult(Device &, void *handle, const std::string &name, const SettingAddress &)> read;
    std::function<SettingResult(Device &, void *handle, const std::string &name, const SettingAddress &,
                                const std::string &value)>
        write;
};

} // namespace qolven_server

#endif
