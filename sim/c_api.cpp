// The C interface of qolven_sim_c.h.  Each entry point catches everything: a C host
// (dlopen, ctypes) cannot take a C++ exception.
#include "qolven_sim_c.h"

#include "sim_internal.h"

#include <cstring>
#include <new>

#define QOLVEN_C_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace qolven_sim::detail;

// Copies `text` into the caller's buffer, cut at a character boundary.
void give(const std::string &text, char *out, size_t size) {
    if (!out || size == 0) return;
    size_t n = std::min(text.size(), size - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(out, text.data(), n);
    out[n] = 0;
}

// Runs `f` (which fills `why` on failure) and turns its outcome into the C convention.
template <class F> int run(char *error, size_t errorSize, F f) {
    std::string why;
    try {
        if (f(why)) {
            give("", error, errorSize);
            return 0;
        }
    } catch (const std::bad_alloc &) {
        why = "out of memory";
    } catch (const std::exception &e) {
        why = e.what();
    } catch (...) {
        why = "unexpected failure";
    }
    if (why.empty()) why = "unexpected failure";
    give(why, error, errorSize);
    return 1;
}

} // namespace

QOLVEN_C_EXPORT int qolven_sim_configure(const char *text, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) {
        if (!text) return why = "no description (null text)", false;
        std::vector<DeviceDescription> devices;
        return parse_description(text, devices, &why) && attach_devices(bridge(), devices, true, &why);
    });
}

QOLVEN_C_EXPORT int qolven_sim_use_state_file(const char *path, char *error, size_t errorSize) {
    return run(error, errorSize, [&](std::string &why) { return use_state_file(bridge(), path, &why); });
}

QOLVEN_C_EXPORT int qolven_sim_take_error(char *error, size_t errorSize) {
    if (!error || errorSize == 0) return 1;
    try {
        give(take_error(bridge()), error, errorSize);
        return 0;
    } catch (...) {
        give("", error, errorSize);
        return 1;
    }
}
