// The tool's bridge library (include/qolven_bridge.h) and the simulated
// bridge's own controls, found in the provider it loaded.
#ifndef QOLVEN_TOOL_BACKEND_H
#define QOLVEN_TOOL_BACKEND_H

#include <cstdio>
#include <string>

namespace qolven_tool {

struct BackendResult {
    bool ok = false;
    std::string path;     // the library that was loaded
    std::string message;  // why nothing could be loaded
};

// Loads the provider of the FT_* functions (a qolven_bridge_kind).
BackendResult loadBackend(int kind);

// The simulated bridge's control functions.  Each returns false with the
// simulator's reason.
bool simulatorHasControl();
bool simulatorConfigure(const std::string &description, std::string *error);
bool simulatorUseStateFile(const std::string &path, std::string *error);
// Why the simulator failed where no FT_* status could tell (a failed save); "" if nothing failed.
std::string simulatorTakeError();

// After this every FT_* call but FT_Close fails at once, so that a wait inside
// the driver library ends; safe to call from a signal handler.
void cancelTransfers();

// A further function of the loaded library (the simulated bridge's controls), or null.
void *backendSymbol(const char *name);

// When set, every frame written and read is shown in hexadecimal, and every
// failing FT_* call with its status.
void setTrace(std::FILE *stream);

} // namespace qolven_tool

#endif
