#include "backend.h"

#include <dlfcn.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>

typedef void *FT_HANDLE;
typedef uint32_t FT_STATUS;
typedef uint32_t DWORD;

// Every FT_* function the driver library may call: name, parameters, arguments.
// FT_Read and FT_Write are defined by hand below because --trace shows their bytes,
// FT_Close because it must work after an interrupt.
#define QOLVEN_FORWARDED(X)                                                                               \
    X(FT_ListDevices, (void *a, void *b, DWORD flags), (a, b, flags))                                     \
    X(FT_OpenEx, (void *arg, DWORD flags, FT_HANDLE *h), (arg, flags, h))                                 \
    X(FT_Open, (int index, FT_HANDLE *h), (index, h))                                                     \
    X(FT_GetDeviceInfo, (FT_HANDLE h, DWORD *type, DWORD *id, char *serial, char *description, void *d), \
      (h, type, id, serial, description, d))                                                              \
    X(FT_CreateDeviceInfoList, (DWORD * count), (count))                                                  \
    X(FT_GetDeviceInfoList, (void *list, DWORD *count), (list, count))                                    \
    X(FT_GetStatus, (FT_HANDLE h, DWORD *rx, DWORD *tx, DWORD *events), (h, rx, tx, events))              \
    X(FT_SetTimeouts, (FT_HANDLE h, DWORD readMs, DWORD writeMs), (h, readMs, writeMs))                   \
    X(FT_SetUSBParameters, (FT_HANDLE h, DWORD in, DWORD out), (h, in, out))                              \
    X(FT_SetLatencyTimer, (FT_HANDLE h, unsigned char ms), (h, ms))                                       \
    X(FT_GetLatencyTimer, (FT_HANDLE h, unsigned char *ms), (h, ms))                                      \
    X(FT_SetVIDPID, (DWORD vid, DWORD pid), (vid, pid))                                                   \
    X(FT_GetVIDPID, (DWORD * vid, DWORD *pid), (vid, pid))                                                \
    X(FT_Purge, (FT_HANDLE h, DWORD mask), (h, mask))

#define QOLVEN_BY_HAND(X)                                                                      \
    X(FT_Close, (FT_HANDLE h), (h))                                                             \
    X(FT_Read, (FT_HANDLE h, void *buffer, DWORD count, DWORD *done), (h, buffer, count, done)) \
    X(FT_Write, (FT_HANDLE h, void *buffer, DWORD count, DWORD *done), (h, buffer, count, done))

namespace {

// Returned when a call arrives before any library was loaded ("Other Errors").
constexpr FT_STATUS kNoBackend = 18;
// Returned after an interrupt ("IO Error"): the library's waits end at their next poll.
constexpr FT_STATUS kCancelled = 4;

struct Functions {
#define QOLVEN_POINTER(name, params, args) FT_STATUS(*name) params = nullptr;
    QOLVEN_FORWARDED(QOLVEN_POINTER)
    QOLVEN_BY_HAND(QOLVEN_POINTER)
#undef QOLVEN_POINTER
};

Functions g_ft;
void *g_library = nullptr;
std::FILE *g_trace = nullptr;
volatile std::sig_atomic_t g_cancelled = 0;

// The simulated bridge's C entry points (sim/include/qolven_sim_c.h); 0 = success.
struct SimulatorControl {
    int (*configure)(const char *text, char *error, size_t errorSize) = nullptr;
    int (*useStateFile)(const char *path, char *error, size_t errorSize) = nullptr;
    int (*takeError)(char *error, size_t errorSize) = nullptr;
};
SimulatorControl g_sim;

void traceStatus(const char *name, FT_STATUS status) {
    if (g_trace && status != 0) std::fprintf(g_trace, "trace: %s status %u\n", name, status);
}

void traceBytes(const char *direction, const void *buffer, DWORD count) {
    if (!g_trace || count == 0 || !buffer) return;
    static const char digits[] = "0123456789abcdef";
    std::string text;
    const unsigned char *bytes = static_cast<const unsigned char *>(buffer);
    for (DWORD i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    std::fprintf(g_trace, "trace: %s %s\n", direction, text.c_str());
}

std::string executableDir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = 0;
    std::string text(path);
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? "" : text.substr(0, slash);
}

} // namespace

#define QOLVEN_EXPORT extern "C" __attribute__((visibility("default")))

#define QOLVEN_FORWARD(name, params, args)                  \
    QOLVEN_EXPORT FT_STATUS name params {                   \
        if (!g_ft.name) return kNoBackend;                  \
        if (g_cancelled) return kCancelled;                 \
        FT_STATUS status = g_ft.name args;                  \
        traceStatus(#name, status);                         \
        return status;                                      \
    }
QOLVEN_FORWARDED(QOLVEN_FORWARD)
#undef QOLVEN_FORWARD

// Closing still works after an interrupt: the device is left closed.
QOLVEN_EXPORT FT_STATUS FT_Close(FT_HANDLE h) {
    if (!g_ft.FT_Close) return kNoBackend;
    FT_STATUS status = g_ft.FT_Close(h);
    traceStatus("FT_Close", status);
    return status;
}

QOLVEN_EXPORT FT_STATUS FT_Write(FT_HANDLE h, void *buffer, DWORD count, DWORD *done) {
    if (!g_ft.FT_Write) return kNoBackend;
    if (g_cancelled) return kCancelled;
    traceBytes("tx", buffer, count);
    FT_STATUS status = g_ft.FT_Write(h, buffer, count, done);
    traceStatus("FT_Write", status);
    return status;
}

QOLVEN_EXPORT FT_STATUS FT_Read(FT_HANDLE h, void *buffer, DWORD count, DWORD *done) {
    if (!g_ft.FT_Read) return kNoBackend;
    if (g_cancelled) return kCancelled;
    FT_STATUS status = g_ft.FT_Read(h, buffer, count, done);
    traceStatus("FT_Read", status);
    if (status == 0 && done) traceBytes("rx", buffer, *done);
    return status;
}

namespace qolven_tool {

void setTrace(std::FILE *stream) { g_trace = stream; }

void cancelTransfers() { g_cancelled = 1; }

bool simulatorHasControl() {
    if (!g_library) return false;
    g_sim.configure = reinterpret_cast<decltype(g_sim.configure)>(dlsym(g_library, "qolven_sim_configure"));
    g_sim.useStateFile = reinterpret_cast<decltype(g_sim.useStateFile)>(dlsym(g_library, "qolven_sim_use_state_file"));
    g_sim.takeError = reinterpret_cast<decltype(g_sim.takeError)>(dlsym(g_library, "qolven_sim_take_error"));
    return g_sim.configure && g_sim.useStateFile && g_sim.takeError;
}

namespace {
bool simulatorCall(int status, const char *reason, std::string *error) {
    if (status == 0) return true;
    *error = reason[0] ? reason : "the simulated bridge refused it without a reason";
    return false;
}
} // namespace

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

std::vector<std::string> simulatorCandidates() {
    static const char *const names[] = {"libqolven_d2xx_sim.so.1", "libqolven_d2xx_sim.so"};
    std::vector<std::string> dirs;
    if (const char *own = std::getenv("QOLVEN_SIM_LIBRARY"))
        if (*own) return {own};
    std::string origin = executableDir();
    if (!origin.empty()) {
        dirs.push_back(origin + "/../lib");
        dirs.push_back(origin + "/../" QOLVEN_INSTALL_LIBDIR);
    }
    dirs.push_back(QOLVEN_SIM_BUILD_DIR);
    dirs.push_back(QOLVEN_INSTALL_FULL_LIBDIR);
    std::vector<std::string> files;
    for (const std::string &dir : dirs)
        for (const char *name : names) files.push_back(dir + "/" + name);
    // Last, whatever the dynamic loader finds by itself (RUNPATH, LD_LIBRARY_PATH, cache).
    for (const char *name : names) files.push_back(name);
    return files;
}

std::vector<std::string> d2xxCandidates() {
    if (const char *own = std::getenv("QOLVEN_D2XX_LIBRARY"))
        if (*own) return {own};
    return {"libftd2xx.so", "libftd2xx.so.1", "/usr/local/lib/libftd2xx.so"};
}

BackendResult loadBackend(const std::vector<std::string> &candidates) {
    BackendResult result;
    std::string reasons;
    for (const std::string &file : candidates) {
        void *library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            if (reasons.empty()) reasons = dlerror();
            continue;
        }
        Functions found;
        std::string missing;
#define QOLVEN_LOOKUP(name, params, args)                                                  \
    found.name = reinterpret_cast<decltype(found.name)>(dlsym(library, #name));            \
    if (!found.name) missing += missing.empty() ? #name : ", " #name;
        QOLVEN_FORWARDED(QOLVEN_LOOKUP)
        QOLVEN_BY_HAND(QOLVEN_LOOKUP)
#undef QOLVEN_LOOKUP
        if (!missing.empty()) {
            reasons = file + " lacks " + missing;
            dlclose(library);
            continue;
        }
        g_ft = found;
        g_library = library;
        result.ok = true;
        result.path = file;
        return result;
    }
    result.message = reasons;
    return result;
}

} // namespace qolven_tool
