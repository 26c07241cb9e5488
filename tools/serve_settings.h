// The tool's parameter table as the server's settings table.
#ifndef QOLVEN_TOOL_SERVE_SETTINGS_H
#define QOLVEN_TOOL_SERVE_SETTINGS_H

#include "settings.h"

namespace qolven_tool {

qolven_server::SettingsTable settingsTable();

} // namespace qolven_tool

#endif
