#ifdef QOLVEN_WITH_SERVE
#include "serve_settings.h"

#include "cli.h"

namespace qolven_tool {

namespace {

using qolven_server::SettingAddress;
using qolven_server::SettingResult;

template <class F> SettingResult attempt(Device &d, F f) {
    SettingResult r;
    try {
        std::string text = f();
        r.ok = text != "Error";
        if (r.ok) r.value = text;
        else r.error = d.lastErrorText[0] ? d.lastErrorText : "the board returned no valid value";
    } catch (const Failure &f) {
        // Malformed value or unknown name: nothing was sent.
        r.refused = true;
        r.error = f.what();
    }
    return r;
}

} // namespace

qolven_server::SettingsTable settingsTable() {
    qolven_server::SettingsTable t;
    t.describe = [] {
        std::vector<qolven_server::SettingInfo> list;
        for (const ParameterDescription &p : parameterDescriptions())
            list.push_back({p.name, p.indexed, p.readTypes, p.writeTypes, p.syntax, p.meaning});
        return list;
    };
    t.read = [](Device &d, void *h, const std::string &name, const SettingAddress &at) {
        return attempt(d, [&] { return readParameter(d, h, name, at.channel, at.point); });
    };
    t.write = [](Device &d, void *h, const std::string &name, const SettingAddress &at, const std::string &value) {
        SettingResult r = attempt(d, [&] { return writeParameter(d, h, name, at.channel, at.point, value); });
        r.value.clear();
        return r;
    };
    return t;
}

} // namespace qolven_tool

#endif
