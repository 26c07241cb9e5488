// Loading the bridge library at run time.
//
// The driver library leaves the FT_* functions undefined; this program defines
// them (backend.cpp) and forwards each call to the library chosen here: FTDI's
// D2XX library for real hardware or the simulated bridge for --simulate.
#ifndef QOLVEN_TOOL_BACKEND_H
#define QOLVEN_TOOL_BACKEND_H

#include <cstdio>
#include <string>
#include <vector>

namespace qolven_tool {

struct BackendResult {
    bool ok = false;
    std::string path;     // the library that was loaded
    std::string message;  // why nothing could be loaded
};

// Candidate files for the simulated bridge, the most particular first.
std::vector<std::string> simulatorCandidates();
// Candidate files for FTDI's D2XX library; QOLVEN_D2XX_LIBRARY, when set, is the only one.
std::vector<std::string> d2xxCandidates();

// Loads the first candidate that opens and provides every FT_* function.
BackendResult loadBackend(const std::vector<std::string> &candidates);

// The simulated bridge's own control functions, found in the library that
// loadBackend loaded last.  Each returns false with the simulator's reason.
bool simulatorHasControl();
bool simulatorConfigure(const std::string &description, std::string *error);
bool simulatorUseStateFile(const std::string &path, std::string *error);
// Why the simulator failed where no FT_* status could tell (a failed save); "" if nothing failed.
std::string simulatorTakeError();

// After this every FT_* call but FT_Close fails at once, so that a wait inside
// the driver library ends; safe to call from a signal handler.
void cancelTransfers();

// When set, every frame written and read is shown in hexadecimal, and every
// failing FT_* call with its status.
void setTrace(std::FILE *stream);

} // namespace qolven_tool

#endif
