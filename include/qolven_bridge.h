/* The bridge library of a process: which library supplies the FT_* functions.
 *
 * The driver library (libqolven_usb) calls the FT_* functions of FTDI's D2XX
 * interface and leaves them to the host process.  libqolven_bridge defines
 * them and forwards every call to a provider it loads at run time:
 *
 *   - "d2xx": FTDI's own D2XX library (libftd2xx.so, from the chip maker);
 *   - "ftdi1": the open provider libqolven_ftdi1.so, built on Debian's libftdi1;
 *   - "simulated": the simulated bridge libqolven_d2xx_sim.so with virtual boards.
 *
 * A host links (or loads with global symbols) libqolven_bridge before the
 * driver library, then calls qolven_bridge_load() once before any device
 * call.  The choice holds for the whole process: FT_* are process-wide names.
 */
#ifndef QOLVEN_BRIDGE_H
#define QOLVEN_BRIDGE_H

#include <stddef.h>

#ifndef QOLVEN_BRIDGE_API
#if defined(__GNUC__)
#define QOLVEN_BRIDGE_API __attribute__((visibility("default")))
#else
#define QOLVEN_BRIDGE_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum qolven_bridge_kind {
    QOLVEN_BRIDGE_AUTO = 0,      /* D2XX when it is installed or named, otherwise the open provider */
    QOLVEN_BRIDGE_D2XX = 1,
    QOLVEN_BRIDGE_FTDI1 = 2,
    QOLVEN_BRIDGE_SIMULATED = 3
};

/* Loads the provider of `kind`: the library at `path` when given, otherwise
 * the first of the provider's search list that loads and supplies every FT_*
 * function.  The search list: the provider's variable when set
 * (QOLVEN_D2XX_LIBRARY, QOLVEN_FTDI1_LIBRARY, QOLVEN_SIM_LIBRARY), else the
 * folder of libqolven_bridge itself, then the loader's own search.  With
 * QOLVEN_BRIDGE_AUTO the variable QOLVEN_BRIDGE ("d2xx", "ftdi1",
 * "simulated") decides when set.  0 on success; otherwise non-zero and
 * `error` (may be NULL) says what was tried and why it failed.  A second
 * call fails unless it asks for the provider already loaded. */
QOLVEN_BRIDGE_API int qolven_bridge_load(int kind, const char *path, char *error, size_t size);
/* The provider loaded: "d2xx", "ftdi1", "simulated", or "" before any. */
QOLVEN_BRIDGE_API const char *qolven_bridge_name(void);
/* Its file, as loaded ("" before any). */
QOLVEN_BRIDGE_API const char *qolven_bridge_path(void);
/* What a provider is, for people ("FTDI's D2XX library", ...); NULL for an unknown kind. */
QOLVEN_BRIDGE_API const char *qolven_bridge_kind_meaning(int kind);
/* A further function of the provider (the simulated bridge's controls), or NULL. */
QOLVEN_BRIDGE_API void *qolven_bridge_symbol(const char *name);

/* From now on every FT_* call but FT_Close fails at once with FT_IO_ERROR,
 * so that a wait inside the driver library ends.  Safe in a signal handler. */
QOLVEN_BRIDGE_API void qolven_bridge_cancel(void);
/* Shows every frame written and read in hexadecimal, and every failing FT_*
 * call with its status, on the file descriptor (-1: off). */
QOLVEN_BRIDGE_API void qolven_bridge_trace(int fd);

#ifdef __cplusplus
}
#endif

#endif
