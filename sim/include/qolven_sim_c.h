/* C interface of the simulated bridge library (libqolven_d2xx_sim), for hosts that
   load it with dlopen() or ctypes and cannot use the C++ control API of qolven_sim.h.

   Every function returns 0 on success and non-zero on failure and never throws.  An
   `error` buffer, when not NULL and `errorSize` is not 0, always comes back
   NUL-terminated: the reason of a failure (cut to errorSize), "" after a success. */
#ifndef QOLVEN_SIM_C_H
#define QOLVEN_SIM_C_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Devices one bridge takes at most. */
#define QOLVEN_SIM_MAX_DEVICES 256

/* Replaces the attached devices by those described in `text`: the syntax of the
   tool's --simulate option (devices separated by ';', key=value pairs by ','; a
   device without serial= gets SIM0001, SIM0002, ... by position) and of description
   files (one device per line, pairs separated by ',' or spaces, '#' comments) are one
   grammar, parsed in one place here.  The keys are listed in sim/README.md.  Open
   handles of the devices replaced fail with FT_IO_ERROR from then on.  On failure
   nothing is attached (the devices attached before stay) and `error` names the
   device, the key and the fault. */
int qolven_sim_configure(const char *text, char *error, size_t errorSize);

/* Uses `path` as the state file from now on (NULL: none, nothing touches the disk).
   Refuses "" , directories, other non-regular files and a path whose directory does
   not exist: the state file in use stays as it was.  A damaged file is moved aside
   (renamed next to it) and reported with its reason; the path is used all the same,
   starting a new file.  The stored registers of attached devices that are not open
   are loaded from the file; devices open now keep the file they were opened with. */
int qolven_sim_use_state_file(const char *path, char *error, size_t errorSize);

/* The reason of the last failure of the bridge that a host cannot see through FT_*
   statuses (a failed save, a damaged state file, a bad QOLVEN_SIM_CONFIG), "" when
   there is none; clears it.  Fails (and keeps the reason) only when `error` is NULL or
   errorSize is 0. */
int qolven_sim_take_error(char *error, size_t errorSize);

#ifdef __cplusplus
}
#endif

#endif
