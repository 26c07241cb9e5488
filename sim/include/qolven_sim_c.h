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

/* Changes the live signal of the running device `serial`: counts = offset + amplitude *
   sin(2 pi t / periodS) + uniform noise of +-noise (periodS 0: offset + amplitude).  Open
   handles stay open.  Fails for an unknown serial. */
int qolven_sim_set_signal(const char *serial, double offset, double amplitude, double periodS, double noise);
/* The live signal in use, as qolven_sim_set_signal takes it (for a page that shows it);
   a NULL pointer skips its value.  Fails for an unknown serial. */
int qolven_sim_get_signal(const char *serial, double *offset, double *amplitude, double *periodS, double *noise);
/* ---- devices, faults and the wire, for a host's own tests (Python: qolven.sim).
   Functions that name a device by `serial` fail when no device of that serial number
   is attached. */

/* Attaches the one device described (the grammar above); one with the same serial
   number is replaced, the others stay. */
int qolven_sim_attach(const char *text, char *error, size_t errorSize);
/* Unplugs the device: calls on its open handles then fail with FT_IO_ERROR. */
int qolven_sim_detach(const char *serial, char *error, size_t errorSize);
/* Detaches every device and clears every log and injected status. */
int qolven_sim_reset(void);
/* Devices attached, and the serial number of the one at `index` (index order of FT_*). */
int qolven_sim_device_count(void);
int qolven_sim_device_serial(int index, char *serial, size_t size);

/* Makes the device's answers faulty: `fault` holds the fault keys of the grammar above,
   e.g. "fault=board_error,fault_arg=77,fault_every=3".  A fault of the same kind
   replaces the earlier one. */
int qolven_sim_set_fault(const char *serial, const char *fault, char *error, size_t errorSize);
int qolven_sim_clear_faults(const char *serial, char *error, size_t errorSize);
/* The next `count` calls of the bridge function `function` ("FT_Write", "FT_Read",
   "FT_OpenEx", ...) on any device return `status` (count 0 removes the injection). */
int qolven_sim_inject_status(const char *function, unsigned status, int count, char *error, size_t errorSize);
/* Time from a request to the board's answer. */
int qolven_sim_set_answer_delay_us(const char *serial, unsigned delayUs, char *error, size_t errorSize);

/* The writes of the host to the device, oldest first (the newest 4096): how many, and
   the bytes of one; `length` receives its length even when `size` is too small (then
   the call fails). */
int qolven_sim_write_count(const char *serial, size_t *count, char *error, size_t errorSize);
int qolven_sim_write(const char *serial, size_t index, unsigned char *bytes, size_t size, size_t *length,
                     char *error, size_t errorSize);
int qolven_sim_clear_writes(const char *serial, char *error, size_t errorSize);

/* The board's stored registers by kind: "eeprom" (16-bit), "channel" (one byte of
   channel 0..3), "memory" and "teds" (one byte).  Addresses 0..255, TEDS 0..65535. */
int qolven_sim_register(const char *serial, const char *kind, int channel, int address, unsigned *value,
                        char *error, size_t errorSize);
int qolven_sim_set_register(const char *serial, const char *kind, int channel, int address, unsigned value,
                            char *error, size_t errorSize);

/* What the board's fast-data generator did since the device was attached, brought up to
   now: samples generated, delivered in fast-data answers, dropped on the board (64 were
   waiting already, or a restart cleared them) and waiting now; always generated =
   delivered + dropped + waiting.  A sample carries only the board's count, so a host
   that received R samples lost delivered - R on the way.  A NULL pointer skips its value. */
int qolven_sim_fast_counters(const char *serial, unsigned long long *generated, unsigned long long *delivered,
                             unsigned long long *dropped, unsigned long long *waiting, char *error, size_t errorSize);
/* Number of the next sample the board's fast-data generator makes (samples generated since
   the device was attached). */
int qolven_sim_next_sample_sequence(const char *serial, unsigned *sequence, char *error, size_t errorSize);

#ifdef __cplusplus
}
#endif

#endif
