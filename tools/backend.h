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

// A further function of the loaded library (the simulated bridge's controls), or null.
void *backendSymbol(const char *name);

// Turns the --simulate text "type=9,serial=SIM0009;type=2" into description-file
// lines, one device per line; a device without a serial number gets SIMnnnn by
// its position.  Returns false with a reason for an empty or malformed device.
bool simulatorDescription(const std::string &text, std::string *lines, std::string *error);

// When set, every frame written and read is shown in hexadecimal, and every
// failing FT_* call with its status.
void setTrace(std::FILE *stream);

} // namespace qolven_tool

#endif
