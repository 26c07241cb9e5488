// The FT_* functions of the process, forwarded to the provider chosen at run
// time: one table of providers and their search lists behind one interface.
#include "qolven_bridge.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

typedef void *FT_HANDLE;
typedef uint32_t FT_STATUS;
typedef uint32_t DWORD;

// Every FT_* function the driver library may call: name, parameters, arguments.
// FT_Read and FT_Write are defined by hand below because tracing shows their
// bytes, FT_Close because it must work after a cancel.
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

// Returned when a call arrives before any provider was loaded ("Other Errors").
constexpr FT_STATUS kNoProvider = 18;
// Returned after a cancel ("IO Error"): the driver library's waits end at their next poll.
constexpr FT_STATUS kCancelled = 4;

struct Functions {
#define QOLVEN_POINTER(name, params, args) FT_STATUS(*name) params = nullptr;
    QOLVEN_FORWARDED(QOLVEN_POINTER)
    QOLVEN_BY_HAND(QOLVEN_POINTER)
#undef QOLVEN_POINTER
};

// A provider: its name, what it is, the variable that names its file, and
// the file names it goes by.
struct Provider {
    int kind;
    const char *name;
    const char *meaning;
    const char *variable;
    std::vector<const char *> files;
};

const std::vector<Provider> &providers() {
    static const std::vector<Provider> table = {
        {QOLVEN_BRIDGE_D2XX, "d2xx", "FTDI's D2XX library", "QOLVEN_D2XX_LIBRARY",
         {"libftd2xx.so", "libftd2xx.so.1", "/usr/local/lib/libftd2xx.so"}},
        {QOLVEN_BRIDGE_FTDI1, "ftdi1", "the open provider on libftdi1", "QOLVEN_FTDI1_LIBRARY",
         {"libqolven_ftdi1.so.1", "libqolven_ftdi1.so"}},
        {QOLVEN_BRIDGE_SIMULATED, "simulated", "the simulated bridge with virtual boards", "QOLVEN_SIM_LIBRARY",
         {"libqolven_d2xx_sim.so.1", "libqolven_d2xx_sim.so"}},
    };
    return table;
}

const Provider *provider(int kind) {
    for (const Provider &p : providers())
        if (p.kind == kind) return &p;
    return nullptr;
}

Functions g_ft;
std::mutex g_loading;
void *g_library = nullptr;
std::string g_name, g_path;
std::atomic<int> g_trace{-1};
volatile std::sig_atomic_t g_cancelled = 0;

// Tracing writes whole lines with write(2): no stdio buffer to share between threads.
void traceLine(const std::string &line) {
    int fd = g_trace.load();
    if (fd < 0) return;
    std::string text = "trace: " + line + "\n";
    ssize_t ignored = write(fd, text.data(), text.size());
    (void)ignored;
}

void traceStatus(const char *name, FT_STATUS status) {
    if (g_trace.load() >= 0 && status != 0) traceLine(std::string(name) + " status " + std::to_string(status));
}

void traceBytes(const char *direction, const void *buffer, DWORD count) {
    if (g_trace.load() < 0 || count == 0 || !buffer) return;
    static const char digits[] = "0123456789abcdef";
    std::string text = std::string(direction) + " ";
    const unsigned char *bytes = static_cast<const unsigned char *>(buffer);
    for (DWORD i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    traceLine(text);
}

// The folder this library was loaded from: the providers built and installed with it sit there.
std::string ownFolder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&qolven_bridge_name), &info) || !info.dli_fname) return "";
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::vector<std::string> candidates(const Provider &p) {
    if (const char *own = std::getenv(p.variable))
        if (*own) return {own};
    std::vector<std::string> files;
    std::string folder = ownFolder();
    for (const char *file : p.files)
        if (!folder.empty() && file[0] != '/') files.push_back(folder + "/" + file);
    for (const char *file : p.files) files.push_back(file);
    return files;
}

// Opens `file` and takes every FT_* function from it; the reason when it cannot.
bool take(const std::string &file, std::string &why) {
    void *library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *text = dlerror();
        why = text ? text : file + ": cannot be loaded";
        return false;
    }
    Functions found;
    std::string missing;
#define QOLVEN_LOOKUP(name, params, args)                                       \
    found.name = reinterpret_cast<decltype(found.name)>(dlsym(library, #name)); \
    if (!found.name) missing += missing.empty() ? #name : ", " #name;
    QOLVEN_FORWARDED(QOLVEN_LOOKUP)
    QOLVEN_BY_HAND(QOLVEN_LOOKUP)
#undef QOLVEN_LOOKUP
    if (!missing.empty()) {
        why = file + " lacks " + missing;
        dlclose(library);
        return false;
    }
    g_ft = found;
    g_library = library;
    return true;
}

// D2XX counts as present when it is named or the loader finds it.
bool d2xxPresent() {
    const char *own = std::getenv("QOLVEN_D2XX_LIBRARY");
    if (own && *own) return true;
    for (const char *file : provider(QOLVEN_BRIDGE_D2XX)->files) {
        void *library = dlopen(file, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
        if (!library) library = dlopen(file, RTLD_LAZY | RTLD_LOCAL);
        if (library) {
            dlclose(library);
            return true;
        }
    }
    return false;
}

int chosenKind(int kind, std::string &why) {
    if (kind != QOLVEN_BRIDGE_AUTO) return kind;
    if (const char *named = std::getenv("QOLVEN_BRIDGE"))
        if (*named) {
            for (const Provider &p : providers())
                if (std::strcmp(named, p.name) == 0) return p.kind;
            why = "QOLVEN_BRIDGE=\"" + std::string(named) + "\" names no bridge library (d2xx, ftdi1, simulated)";
            return -1;
        }
    return d2xxPresent() ? QOLVEN_BRIDGE_D2XX : QOLVEN_BRIDGE_FTDI1;
}

void giveReason(const std::string &why, char *error, size_t size) {
    if (!error || size == 0) return;
    std::snprintf(error, size, "%s", why.c_str());
}

} // namespace

#define QOLVEN_EXPORT extern "C" __attribute__((visibility("default")))

#define QOLVEN_FORWARD(name, params, args)  \
    QOLVEN_EXPORT FT_STATUS name params {   \
        if (!g_ft.name) return kNoProvider; \
        if (g_cancelled) return kCancelled; \
        FT_STATUS status = g_ft.name args;  \
        traceStatus(#name, status);         \
        return status;                      \
    }
QOLVEN_FORWARDED(QOLVEN_FORWARD)
#undef QOLVEN_FORWARD

// Closing still works after a cancel: the device is left closed.
QOLVEN_EXPORT FT_STATUS FT_Close(FT_HANDLE h) {
    if (!g_ft.FT_Close) return kNoProvider;
    FT_STATUS status = g_ft.FT_Close(h);
    traceStatus("FT_Close", status);
    return status;
}

QOLVEN_EXPORT FT_STATUS FT_Write(FT_HANDLE h, void *buffer, DWORD count, DWORD *done) {
    if (!g_ft.FT_Write) return kNoProvider;
    if (g_cancelled) return kCancelled;
    traceBytes("tx", buffer, count);
    FT_STATUS status = g_ft.FT_Write(h, buffer, count, done);
    traceStatus("FT_Write", status);
    return status;
}

QOLVEN_EXPORT FT_STATUS FT_Read(FT_HANDLE h, void *buffer, DWORD count, DWORD *done) {
    if (!g_ft.FT_Read) return kNoProvider;
    if (g_cancelled) return kCancelled;
    FT_STATUS status = g_ft.FT_Read(h, buffer, count, done);
    traceStatus("FT_Read", status);
    if (status == 0 && done) traceBytes("rx", buffer, *done);
    return status;
}

extern "C" {

int qolven_bridge_load(int kind, const char *path, char *error, size_t size) {
    try {
        std::lock_guard<std::mutex> lock(g_loading);
        std::string why;
        int chosen = chosenKind(kind, why);
        const Provider *p = chosen < 0 ? nullptr : provider(chosen);
        if (!p) {
            giveReason(why.empty() ? "bridge kind " + std::to_string(kind) + " is not known" : why, error, size);
            return 1;
        }
        if (g_library) {
            if (g_name == p->name && (!path || g_path == path)) return 0;
            giveReason("this process uses the " + g_name + " bridge library (" + g_path +
                           ") already; one process uses one bridge library",
                       error, size);
            return 1;
        }
        std::vector<std::string> files = path && *path ? std::vector<std::string>{path} : candidates(*p);
        std::string first;
        for (const std::string &file : files) {
            std::string reason;
            if (take(file, reason)) {
                g_name = p->name;
                g_path = file;
                return 0;
            }
            if (first.empty()) first = reason;
        }
        giveReason(std::string(p->meaning) + " cannot be loaded: " + (first.empty() ? "no file to try" : first) +
                       (std::getenv(p->variable) ? "" : std::string(" (") + p->variable + " names its file)"),
                   error, size);
        return 1;
    } catch (...) {
        giveReason("out of memory", error, size);
        return 1;
    }
}

const char *qolven_bridge_name(void) { return g_name.c_str(); }

const char *qolven_bridge_path(void) { return g_path.c_str(); }

const char *qolven_bridge_kind_meaning(int kind) {
    const Provider *p = provider(kind);
    return p ? p->meaning : nullptr;
}

void *qolven_bridge_symbol(const char *name) { return g_library && name ? dlsym(g_library, name) : nullptr; }

void qolven_bridge_cancel(void) { g_cancelled = 1; }

void qolven_bridge_trace(int fd) { g_trace.store(fd); }

} // extern "C"
