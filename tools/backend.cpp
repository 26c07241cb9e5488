#include "backend.h"

#include <qolven_bridge.h>

namespace qolven_tool {

namespace {

// The simulated bridge's C entry points (sim/include/qolven_sim_c.h); 0 = success.
struct SimulatorControl {
    int (*configure)(const char *text, char *error, size_t errorSize) = nullptr;
    int (*useStateFile)(const char *path, char *error, size_t errorSize) = nullptr;
    int (*takeError)(char *error, size_t errorSize) = nullptr;
};
SimulatorControl g_sim;

bool simulatorCall(int status, const char *reason, std::string *error) {
    if (status == 0) return true;
    *error = reason[0] ? reason : "the simulated bridge refused it without a reason";
    return false;
}

} // namespace

BackendResult loadBackend(int kind) {
    BackendResult result;
    char reason[1024] = "";
    result.ok = qolven_bridge_load(kind, nullptr, reason, sizeof reason) == 0;
    result.path = qolven_bridge_path();
    result.message = reason;
    return result;
}

void setTrace(std::FILE *stream) { qolven_bridge_trace(stream ? fileno(stream) : -1); }

void cancelTransfers() { qolven_bridge_cancel(); }

void *backendSymbol(const char *name) { return qolven_bridge_symbol(name); }

bool simulatorHasControl() {
    g_sim.configure = reinterpret_cast<decltype(g_sim.configure)>(backendSymbol("qolven_sim_configure"));
    g_sim.useStateFile = reinterpret_cast<decltype(g_sim.useStateFile)>(backendSymbol("qolven_sim_use_state_file"));
    g_sim.takeError = reinterpret_cast<decltype(g_sim.takeError)>(backendSymbol("qolven_sim_take_error"));
    return g_sim.configure && g_sim.useStateFile && g_sim.takeError;
}

bool simulatorConfigure(const std::string &description, std::string *error) {
    char reason[512] = "";
    return simulatorCall(g_sim.configure(description.c_str(), reason, sizeof reason), reason, error);
}

bool simulatorUseStateFile(const std::string &path, std::string *error) {
    char reason[512] = "";
    return simulatorCall(g_sim.useStateFile(path.c_str(), reason, sizeof reason), reason, error);
}

std::string simulatorTakeError() {
    char reason[512] = "";
    if (g_sim.takeError) g_sim.takeError(reason, sizeof reason);
    return reason;
}

} // namespace qolven_tool
