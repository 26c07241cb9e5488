/* Recorder of the qolven_usb library: the fast-data streams of several
 * devices into one HDF5 or CSV file, with time stamps on one clock, start
 * and stop triggers, host-side tare, limits, user marks and file rotation.
 *
 * The recorder stands on the C interface (qolven.h): it takes devices the
 * caller opened, runs each one's stream from a thread of its own and writes
 * from one more.  While a recording runs the caller must leave those devices
 * alone (one object, one thread at a time); they are handed back, stream
 * stopped, when qolven_recorder_wait() reports the recording finished.
 *
 * Every function returns a qolven_status (qolven.h), or
 * QOLVEN_RECORD_WRITE_FAILED when the file could not be written;
 * qolven_recorder_error_text() gives the reason.  Settings are checked when
 * they are made and again at the start: a refused setting changes nothing,
 * and a recording that cannot start writes no file.
 *
 * Times are seconds since the recording's time 0: the earliest stream start
 * of its devices, on the process's monotonic clock.  Every device's samples
 * are placed on that one clock (each stream's own start plus its sample
 * times); the spread between the stream starts is measured and stored.
 *
 * The file layout is described in recording.md of the documentation.
 */
#ifndef QOLVEN_RECORD_H
#define QOLVEN_RECORD_H

#include <stddef.h>
#include <stdint.h>

#include "qolven.h"

#ifndef QOLVEN_RECORD_API
#if defined(__GNUC__)
#define QOLVEN_RECORD_API __attribute__((visibility("default")))
#else
#define QOLVEN_RECORD_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qolven_recorder qolven_recorder;

/* Besides the codes of qolven_status: the file could not be created or
 * written (disk full, no permission, a write error).  Everything up to the
 * last flush is in the file. */
#define QOLVEN_RECORD_WRITE_FAILED 64

enum qolven_record_format {
    QOLVEN_RECORD_HDF5 = 1,  /* .h5 or .hdf5 */
    QOLVEN_RECORD_CSV = 2    /* .csv */
};

/* What a trigger or a limit looks at. */
enum qolven_record_quantity {
    QOLVEN_RECORD_COUNT = 0,  /* the converter count */
    QOLVEN_RECORD_LOAD = 1    /* the load (decimal point applied, tare taken off); needs a calibration */
};

enum qolven_record_edge {
    QOLVEN_RECORD_RISING = 1,   /* from below the level to the level or above */
    QOLVEN_RECORD_FALLING = 2   /* from above the level to the level or below */
};

enum qolven_record_state {
    QOLVEN_RECORD_IDLE = 0,       /* not started */
    QOLVEN_RECORD_WAITING = 1,    /* streams running, waiting for the start trigger */
    QOLVEN_RECORD_RECORDING = 2,
    QOLVEN_RECORD_STOPPING = 3,   /* the stop time is set; collecting the samples up to it */
    QOLVEN_RECORD_FINISHED = 4,   /* file closed whole; `result` says whether all went well */
};

enum qolven_record_event_kind {
    QOLVEN_RECORD_EVENT_START = 1,         /* the recording (or a file of it) starts */
    QOLVEN_RECORD_EVENT_STOP = 2,          /* it ends; the text says why */
    QOLVEN_RECORD_EVENT_TRIGGER = 3,       /* the start or stop trigger fired; `detail` is the edge */
    QOLVEN_RECORD_EVENT_TARE = 4,          /* `value` (a count) is zero from `sequence` on */
    QOLVEN_RECORD_EVENT_LIMIT = 5,         /* `detail`: 1 above the upper limit, -1 below the lower, 0 back within */
    QOLVEN_RECORD_EVENT_LOST = 6,          /* `value` samples known lost before `sequence` */
    QOLVEN_RECORD_EVENT_DISCONNECTED = 7,  /* the bridge went away */
    QOLVEN_RECORD_EVENT_RECONNECTED = 8,   /* it is back; `value` samples lost in the gap */
    QOLVEN_RECORD_EVENT_MARK = 9           /* a mark of the user; the text is theirs */
};

#define QOLVEN_RECORD_TEXT 160

struct qolven_record_event {
    int kind;            /* qolven_record_event_kind */
    int device;          /* index of the device (order of qolven_recorder_add_device), -1 for all */
    int detail;          /* see the kinds */
    double time;         /* seconds since time 0 */
    int64_t sequence;    /* the device's sample sequence number it refers to, -1 for none */
    double value;        /* see the kinds; NaN for none */
    char text[QOLVEN_RECORD_TEXT];  /* what happened, in words */
};

struct qolven_record_status {
    int state;                 /* qolven_record_state */
    int result;                /* when finished: QOLVEN_OK, or the code of the failure that ended it */
    double elapsed;            /* seconds since time 0 (0 before the start) */
    double trigger_time;       /* time of the start trigger; NaN before it fires, 0 without one */
    double start_spread;       /* seconds between the first and the last stream start */
    uint64_t samples;          /* samples written, all devices */
    uint64_t lost;             /* samples known lost within the recording, all devices */
    uint64_t events;           /* events written */
    uint64_t bytes;            /* size of the files written so far */
    int file_index;            /* 0, or 1, 2, ... with rotation */
    char file[1024];           /* the file being written (the last one when finished) */
    char stop_reason[QOLVEN_RECORD_TEXT];
};

struct qolven_record_device_status {
    char serial[64];
    int board_type;
    int rate_code;
    double nominal_rate;
    int has_load;              /* 1 when the device keeps a calibration: loads are recorded */
    double start_offset;       /* its stream's start, seconds after time 0 */
    double last_time;          /* time of the newest sample seen */
    int64_t last_count;        /* its count */
    double last_load;          /* its load, NaN without */
    uint64_t samples;          /* written */
    uint64_t lost;             /* known lost within the recording */
    int tared;                 /* a host-side tare is on */
    int64_t tare_count;
    int limit_state;           /* 1 above the upper limit, -1 below the lower, 0 within (or no limits) */
};

/* Version of the recorder, "major.minor.patch". */
QOLVEN_RECORD_API const char *qolven_record_version(void);
/* 1 when this build writes the format (HDF5 needs the library built with it). */
QOLVEN_RECORD_API int qolven_record_format_available(int format);
/* Name of a status code, including QOLVEN_RECORD_WRITE_FAILED. */
QOLVEN_RECORD_API const char *qolven_record_error_name(int status);
/* Name of an event kind ("tare", "limit", ...); "" for others. */
QOLVEN_RECORD_API const char *qolven_record_event_name(int kind);
/* Name of a state ("recording", ...); "" for others. */
QOLVEN_RECORD_API const char *qolven_record_state_name(int state);

/* A new recorder, NULL when memory ran out. */
QOLVEN_RECORD_API qolven_recorder *qolven_recorder_create(void);
/* Stops a recording under way, waits for it and releases the recorder (never
 * the devices).  NULL is ignored. */
QOLVEN_RECORD_API void qolven_recorder_destroy(qolven_recorder *recorder);
/* Reason of the last failure; "" after a success.  Valid until the next call. */
QOLVEN_RECORD_API const char *qolven_recorder_error_text(const qolven_recorder *recorder);

/* ---- settings, before qolven_recorder_start() */

/* Adds an open device (its channel as set with qolven_set_channel); its index
 * is the number of devices added before.  At most 256. */
QOLVEN_RECORD_API int qolven_recorder_add_device(qolven_recorder *recorder, qolven_device *device);
/* The serial number of device `device` for the file, where its object does
 * not know it (one made with qolven_wrap()); 1 to 63 bytes. */
QOLVEN_RECORD_API int qolven_recorder_set_device_serial(qolven_recorder *recorder, int device, const char *serial);
/* The file: its format from the name (.h5, .hdf5, .csv).  An existing file is
 * refused unless `overwrite` is 1. */
QOLVEN_RECORD_API int qolven_recorder_set_output(qolven_recorder *recorder, const char *path, int overwrite);
/* Sampling-rate code for every device (0..15); -1 (the default) keeps each board's own. */
QOLVEN_RECORD_API int qolven_recorder_set_rate(qolven_recorder *recorder, int rate_code);
/* Seconds to record from the start (or from the start trigger); 0 (the
 * default): until stopped. */
QOLVEN_RECORD_API int qolven_recorder_set_duration(qolven_recorder *recorder, double seconds);
/* Recording starts when `quantity` of device `device` crosses `level` in the
 * direction of `edge`; the `pre_seconds` before it are kept (0..600). */
QOLVEN_RECORD_API int qolven_recorder_set_start_trigger(qolven_recorder *recorder, int device, int quantity, int edge,
                                                        double level, double pre_seconds);
/* Recording stops when `quantity` of device `device` crosses `level` after the start. */
QOLVEN_RECORD_API int qolven_recorder_set_stop_trigger(qolven_recorder *recorder, int device, int quantity, int edge,
                                                       double level);
/* Lower and upper limit of device `device` (NaN: none); every crossing is an event. */
QOLVEN_RECORD_API int qolven_recorder_set_limits(qolven_recorder *recorder, int device, int quantity, double low,
                                                 double high);
/* 1: the first limit crossing ends the recording (the crossing sample is the last one). */
QOLVEN_RECORD_API int qolven_recorder_set_stop_on_limit(qolven_recorder *recorder, int on);
/* 1: before the streams start, each device's live count becomes its zero
 * (qolven_set_tare; the stored calibration is not touched). */
QOLVEN_RECORD_API int qolven_recorder_set_tare_at_start(qolven_recorder *recorder, int on);
/* A new file when the current one reaches `bytes` (0: no limit) or holds
 * `seconds` (0: no limit); the files are then NAME-0001.EXT, NAME-0002.EXT, ... */
QOLVEN_RECORD_API int qolven_recorder_set_rotation(qolven_recorder *recorder, uint64_t bytes, double seconds);
/* How often the file is brought up to date on disk (0.05..1 s, default 0.5):
 * a recording cut by a crash or a power loss keeps what was flushed. */
QOLVEN_RECORD_API int qolven_recorder_set_flush_interval(qolven_recorder *recorder, double seconds);
/* 1 (the default): where the process may (root, CAP_SYS_NICE or an
 * RLIMIT_RTPRIO), the reading threads run at the lowest real-time priority
 * (SCHED_RR): a board keeps only 64 samples (64 ms at 1000/s), and a busy
 * machine would otherwise keep them from asking in time.  They sleep between
 * requests.  The file's attribute reader_priority says which it was. */
QOLVEN_RECORD_API int qolven_recorder_set_real_time(qolven_recorder *recorder, int on);
/* The program that records, e.g. "qolven 1.0.0", stored in the file. */
QOLVEN_RECORD_API int qolven_recorder_set_application(qolven_recorder *recorder, const char *name);

/* ---- the recording */

/* Starts the streams together (tare first, when asked) and creates the file.
 * Returns once all is running, or with the failure; nothing is left running
 * and no file is left behind after a failure. */
QOLVEN_RECORD_API int qolven_recorder_start(qolven_recorder *recorder);
/* Waits up to `timeout_ms` (-1: no limit) for the recording to finish.
 * *finished 1: it did, and the result is the recording's (QOLVEN_OK, or the
 * failure that ended it, with its text); the devices are the caller's again. */
QOLVEN_RECORD_API int qolven_recorder_wait(qolven_recorder *recorder, int timeout_ms, int *finished);
/* Ends the recording now: the samples up to this moment are still collected
 * and the file is closed whole.  Safe from another thread and from a signal
 * handler.  A second call while stopping cuts the collecting short. */
QOLVEN_RECORD_API int qolven_recorder_stop(qolven_recorder *recorder);
/* Takes device `device`'s newest count as its zero (-1: every device), as an event. */
QOLVEN_RECORD_API int qolven_recorder_tare(qolven_recorder *recorder, int device);
/* A mark of the user at this moment, as an event (text up to 159 bytes). */
QOLVEN_RECORD_API int qolven_recorder_mark(qolven_recorder *recorder, const char *text);

/* From any thread, at any time. */
QOLVEN_RECORD_API int qolven_recorder_status(qolven_recorder *recorder, struct qolven_record_status *status);
QOLVEN_RECORD_API int qolven_recorder_device_count(qolven_recorder *recorder, int *count);
QOLVEN_RECORD_API int qolven_recorder_device_status(qolven_recorder *recorder, int device,
                                                    struct qolven_record_device_status *status);
/* The oldest event written and not yet taken here: *got 1 and the event, or
 * *got 0.  The newest 4096 are kept. */
QOLVEN_RECORD_API int qolven_recorder_next_event(qolven_recorder *recorder, struct qolven_record_event *event,
                                                 int *got);

#ifdef __cplusplus
}
#endif

#endif
