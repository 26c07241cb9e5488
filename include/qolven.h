/* C interface of the qolven_usb driver library.
 *
 * Plain C types only, so that any language reaches the library through its
 * foreign-function layer (Python's ctypes, LabVIEW's library node, .NET's
 * P/Invoke).  A qolven_device is an opaque object that owns one device
 * object of the library; one thread uses it at a time, and different objects
 * are independent.
 *
 * Every function that can fail returns a qolven_status: QOLVEN_OK (0) or a
 * code that says what kind of failure it was; qolven_error_text() then gives
 * the reason (the library's own text, such as "Timeout Error" or "Invalid
 * Type of Board", or a text naming the argument that was refused) and
 * qolven_d2xx_status() the bridge status of a transport failure.  Input is
 * checked before anything is sent: a refused argument never reaches the
 * board.  No C++ exception leaves these functions.
 *
 * Numbers given as text (method arguments, parameter values) are decimal,
 * also with leading zeros ("010" is ten), or hexadecimal with 0x.
 *
 * Text results go into caller-provided buffers and are always terminated
 * with a NUL; when a buffer is too small the function returns
 * QOLVEN_BUFFER_TOO_SMALL, stores the length needed (without the NUL) in
 * *length when that pointer is given, and qolven_result_text() gives the
 * whole text again.  Returned `const char *` texts are static unless said
 * otherwise.
 */
#ifndef QOLVEN_H
#define QOLVEN_H

#include <stddef.h>
#include <stdint.h>

/* The library exports its public classes and functions only. */
#ifndef QOLVEN_API
#if defined(__GNUC__)
#define QOLVEN_API __attribute__((visibility("default")))
#else
#define QOLVEN_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qolven_device qolven_device;

typedef enum qolven_status {
    QOLVEN_OK = 0,
    QOLVEN_ERROR = 1,              /* a malformed or unexpected answer ("Packet Size Error", ...), or a failure of no class below */
    QOLVEN_TIMEOUT = 2,            /* the board did not answer in time ("Timeout Error") */
    QOLVEN_INVALID_ARGUMENT = 3,   /* refused before anything was sent; the text names the argument */
    QOLVEN_UNKNOWN_NAME = 4,       /* no method, parameter, key or field of that name */
    QOLVEN_NOT_SUPPORTED = 5,      /* the parameter cannot be read, or cannot be written */
    QOLVEN_BUFFER_TOO_SMALL = 6,   /* the text did not fit; qolven_result_text() gives it again */
    QOLVEN_NO_VALUE = 7,           /* the board answered with a status text instead of a number; no load */
    QOLVEN_NOT_OPEN = 8,           /* the call needs an open device */
    QOLVEN_INTERNAL = 9,           /* an unexpected failure inside the library; the text says which */
    QOLVEN_BOARD_TYPE = 10,        /* this board type does not serve it ("Invalid Type of Board") */
    QOLVEN_BOARD_REFUSED = 11,     /* the board answered with an error report ("Command Error", ...) */
    QOLVEN_TRANSPORT = 12,         /* the bridge reported a failure; qolven_d2xx_status() gives its status */
    QOLVEN_DISCONNECTED = 13,      /* the bridge is gone (unplugged): it is no longer attached */
    QOLVEN_NO_DEVICE = 14,         /* no device with that serial number is attached, none is, or several
                                      are and none was named */
    QOLVEN_DEVICE_BUSY = 15,       /* another program, or the kernel's ftdi_sio driver, holds the device */
    QOLVEN_INTERRUPTED = 16        /* qolven_interrupt() ended a wait; nothing was cut in the middle */
} qolven_status;

/* Name of a status code ("QOLVEN_TIMEOUT"); "unknown status" for others. */
QOLVEN_API const char *qolven_error_name(int status);
/* The older name of qolven_error_name(). */
QOLVEN_API const char *qolven_status_name(int status);
/* Version of the library, "major.minor.patch". */
QOLVEN_API const char *qolven_version(void);
/* Reads a number the way every front end should: decimal (leading zeros
 * included), or hexadecimal with 0x; an optional minus sign; nothing else.
 * On failure `error` (may be NULL) says what was wrong with the text. */
QOLVEN_API int qolven_parse_integer(const char *text, int64_t low, int64_t high, int64_t *value, char *error,
                                    size_t size);

/* ---- the device object */

/* A new object with no device open; NULL when memory ran out. */
QOLVEN_API qolven_device *qolven_create(void);
/* Closes the device if one is open and releases the object.  NULL is ignored. */
QOLVEN_API void qolven_destroy(qolven_device *device);
/* For C++ hosts: an object that works on a _QOLVEN_USB_DLL::QOLVEN_USB_DLL the
 * caller owns and keeps alive (its DeviceHandle is the open device).
 * qolven_destroy() releases the wrapper only. */
QOLVEN_API qolven_device *qolven_wrap(void *object);

/* Offline mode: every method answers from the library's table of fixed
 * values without touching the bus (0 = off, 1 = on). */
QOLVEN_API int qolven_set_offline(qolven_device *device, int offline);

/* Reason of the last failure on this object; "" after a success.  The text
 * stays valid until the next call on the object. */
QOLVEN_API const char *qolven_error_text(const qolven_device *device);
/* D2XX status of the last transport failure (0 when there was none). */
QOLVEN_API uint32_t qolven_d2xx_status(const qolven_device *device);
/* The whole text of the last result (method result, parameter value, field
 * value), for a caller whose buffer was too small. */
QOLVEN_API int qolven_result_text(const qolven_device *device, char *text, size_t size, size_t *length);

/* ---- discovery and connection */

QOLVEN_API int qolven_device_count(qolven_device *device, int *count);
/* USB serial number of the device at `index` (0 .. count-1), whole: a bridge
 * may report more than the 15 characters a serial number opens with, and such
 * a bridge is listed as it is (qolven_open then refuses it by name). */
QOLVEN_API int qolven_device_serial(qolven_device *device, int index, char *serial, size_t size);
/* Opens the device with this serial number; NULL or "" opens the only device
 * attached.  QOLVEN_NO_DEVICE when none is attached, when several are and none
 * was named (the text lists them), or when the one named is not attached;
 * QOLVEN_DEVICE_BUSY when another program or the kernel holds it. */
QOLVEN_API int qolven_open(qolven_device *device, const char *serial);
QOLVEN_API int qolven_close(qolven_device *device);
QOLVEN_API int qolven_is_open(const qolven_device *device);
/* Serial number of the open device ("" when none is open). */
QOLVEN_API const char *qolven_open_serial(const qolven_device *device);

/* Channel (0..3) and type of calibration (0..1) used by the conveniences
 * below; both start at 0.  The channel matters on multi-channel boards only. */
QOLVEN_API int qolven_set_channel(qolven_device *device, int channel);
QOLVEN_API int qolven_set_calibration_type(qolven_device *device, int type);

/* Ends a wait of the object (a stream read waiting for samples or for an
 * unplugged bridge to return) at once with QOLVEN_INTERRUPTED.  An exchange
 * under way, and every write of one value, is finished first, so nothing is
 * left half written.  Safe from another thread and from a signal handler;
 * the next call on the object clears it. */
QOLVEN_API void qolven_interrupt(qolven_device *device);

/* ---- typed conveniences */

struct qolven_board_identity {
    int board_type;
    int hardware_version;
    int firmware_version;
    int firmware_year;   /* 0..15 */
    int firmware_month;  /* 0..15 */
};
/* One identification exchange. */
QOLVEN_API int qolven_identify(qolven_device *device, struct qolven_board_identity *identity);
/* The live converter count of the channel.  A status text of the board
 * ("Positive Overflow", "Unassigned", ...) gives QOLVEN_NO_VALUE with that text. */
QOLVEN_API int qolven_read_count(qolven_device *device, int64_t *count);

/* ---- loads
 *
 * How a count becomes a load, in one place for every front end (see the
 * load document of the library's documentation): the board keeps a table of
 * loading points -- each a converter count and the load applied there, in
 * units of the display's last decimal place -- and the number of points in
 * use.  With two or more points in use the load follows the table in
 * straight lines between points, the end segments extended.  With fewer,
 * the board's offset and full-scale pair (the first and the last entry of
 * the same table) gives the line, as a board delivered without a
 * multi-point calibration uses it.  The display's decimal point is applied
 * once: a stored load of 25 with decimal point 1 is 2.5.  Unit codes are
 * the board's numbers; the library gives them no names. */

#define QOLVEN_MAX_LOADING_POINTS 20

enum qolven_load_source {
    QOLVEN_LOAD_NONE = 0,              /* no load: `why` says why */
    QOLVEN_LOAD_TABLE = 1,             /* the loading points in use */
    QOLVEN_LOAD_OFFSET_FULLSCALE = 2   /* the offset and full-scale pair */
};
/* "none", "table", "offset-fullscale"; "unknown" for any other value. */
QOLVEN_API const char *qolven_load_source_name(int source);

struct qolven_calibration {
    int source;                                 /* qolven_load_source */
    int points;                                 /* points the load runs along (0 with no load) */
    int64_t counts[QOLVEN_MAX_LOADING_POINTS];  /* their counts */
    int64_t loads[QOLVEN_MAX_LOADING_POINTS];   /* their stored loads (before the decimal point) */
    int points_in_use;                          /* the board's number of loading points (-1: not kept) */
    int decimal_point;                          /* -1 where the board keeps none */
    int unit_code;                              /* -1 where the board keeps none */
    char why[160];                              /* why there is no load; "" when there is one */
};

/* Reads the calibration of the channel from the board (once: the object
 * keeps it until something is written through it, or the channel changes).
 * A board that keeps no calibration is not a failure: source is then
 * QOLVEN_LOAD_NONE with the reason in `why`. */
QOLVEN_API int qolven_read_calibration(qolven_device *device, struct qolven_calibration *calibration);
/* The load at `count`, the decimal point applied; QOLVEN_NO_VALUE without one. */
QOLVEN_API int qolven_calibration_load(const struct qolven_calibration *calibration, int64_t count, double *load);
/* The load as the display writes it, with the calibration's decimal places ("2.50"). */
QOLVEN_API int qolven_format_load(const struct qolven_calibration *calibration, double load, char *text,
                                  size_t size);

/* Host-side tare: from now on loads are given relative to the load at
 * `count` (readings, stream samples); the board's calibration is not
 * touched.  qolven_clear_tare() ends it. */
QOLVEN_API int qolven_set_tare(qolven_device *device, int64_t count);
QOLVEN_API int qolven_clear_tare(qolven_device *device);
/* `active` 1 with the tare count, 0 without tare. */
QOLVEN_API int qolven_get_tare(qolven_device *device, int *active, int64_t *count);

struct qolven_reading {
    int has_count;         /* 0 when the board answered with a status text instead */
    int64_t count;
    char status[40];       /* that status text ("Positive Overflow", ...); "" with a count */
    int has_load;
    double load;           /* decimal point applied, tare taken off */
    char load_text[40];    /* as the display writes it */
    int decimal_point;     /* -1 where the board keeps none */
    int unit_code;         /* -1 where the board keeps none */
    int tared;             /* 1 when a host-side tare was taken off */
    char why[160];         /* why there is no load (or no count) */
};
/* The live count of the channel and its load. */
QOLVEN_API int qolven_read(qolven_device *device, struct qolven_reading *reading);

/* ---- fast data
 *
 * qolven_stream_start() identifies the board, sets its sampling-rate code
 * (0..15; -1 keeps the board's own), reads its calibration and starts the
 * stream's clock.  qolven_stream_read_samples() then asks the board for its
 * samples as often as the rate needs and hands them over: for each sample
 * its sequence number, channel, count, time and load.
 *
 * - Sequence numbers count the board's samples from 0.  The board does not
 *   number its packets, so samples known lost are found from the shortfall
 *   against the nominal rate across a failed request or a pause long enough
 *   for the board's queue to overflow; the sequence then skips as many
 *   numbers, and a "lost" event says where.  The basis of the loss figures
 *   is given per stream (qolven_loss_basis).
 * - Times are seconds since the stream's start on the monotonic clock,
 *   spread evenly over the samples of one answer at the nominal rate and
 *   never going back; the status gives the start on the monotonic clock
 *   (shared by every stream of the process) and on the wall clock (UTC).
 * - Loads follow the calibration read at the start (NaN where there is
 *   none), tare taken off.  That calibration is the object's channel's: on a
 *   multi-channel board the samples of the other channels have no load (NaN).
 * - Retry policy: requests that time out or fail are repeated; after 50 in
 *   a row the read fails with the last failure's code.  A bridge that is
 *   gone gives QOLVEN_DISCONNECTED -- unless reconnecting is on (the
 *   default): then the read waits for the same serial number to return,
 *   reopens it, restores the channel and the sampling rate, and goes on;
 *   "disconnected" and "reconnected" events mark the gap and the samples of
 *   the gap count as lost. */

enum qolven_loss_basis {
    QOLVEN_LOSS_NOMINAL_RATE = 1,  /* shortfall against the board's nominal rate */
    QOLVEN_LOSS_BOARD = 2          /* the board's own count of samples */
};

enum qolven_stream_state {
    QOLVEN_STREAM_STOPPED = 0,
    QOLVEN_STREAM_RUNNING = 1,
    QOLVEN_STREAM_RECONNECTING = 2,  /* the bridge is gone; waiting for it */
    QOLVEN_STREAM_FAILED = 3         /* the last read failed; start again */
};

struct qolven_stream_info {
    int state;                 /* qolven_stream_state */
    int board_type;
    int rate_code;
    double nominal_rate;       /* samples per second */
    int multi_channel;         /* 1 when samples carry their channel */
    double start_monotonic;    /* the stream's time 0, seconds on the process's monotonic clock */
    double start_wall;         /* the same instant, UTC seconds since 1970 */
    double elapsed;            /* seconds since time 0 */
    int loss_basis;            /* qolven_loss_basis */
    uint64_t received;         /* samples handed over or waiting to be */
    uint64_t lost;             /* samples known lost */
    double expected;           /* samples the nominal rate gives since the first answer */
    uint64_t requests;         /* fast-data requests made */
    uint64_t timeouts;         /* requests the board did not answer in time */
    uint64_t failed_requests;  /* requests that failed otherwise */
    uint64_t reconnects;
};

QOLVEN_API int qolven_stream_start(qolven_device *device, int rate_code);
/* Reads up to `capacity` samples.  Waits until at least one sample is there,
 * or for `timeout_ms` (0: one look, -1: no limit); QOLVEN_OK with
 * *received 0 when none came in that time.  Any array but `count` may be
 * NULL. */
QOLVEN_API int qolven_stream_read_samples(qolven_device *device, int64_t *sequence, int32_t *channel,
                                          int32_t *count, double *time, double *load, size_t capacity,
                                          size_t *received, int timeout_ms);
QOLVEN_API int qolven_stream_status(qolven_device *device, struct qolven_stream_info *status);
QOLVEN_API int qolven_stream_stop(qolven_device *device);
/* 1 (the default): wait for an unplugged bridge and go on; 0: fail with QOLVEN_DISCONNECTED. */
QOLVEN_API int qolven_stream_set_reconnect(qolven_device *device, int reconnect);
/* Name of a qolven_loss_basis ("nominal-rate", "board"); "" for others. */
QOLVEN_API const char *qolven_loss_basis_name(int basis);

enum qolven_event_kind {
    QOLVEN_EVENT_LOST = 1,          /* `samples` known lost before sample `sequence` */
    QOLVEN_EVENT_DISCONNECTED = 2,  /* the bridge went away at `time` */
    QOLVEN_EVENT_RECONNECTED = 3    /* it is back; `samples` lost in the gap, the stream goes on at `sequence` */
};
struct qolven_event {
    int kind;            /* qolven_event_kind */
    double time;         /* stream time */
    int64_t sequence;
    int64_t samples;
    char text[160];      /* what happened, in words */
};
/* The oldest event not yet taken: *got 1 and the event, or *got 0.  The
 * object keeps the newest 1024. */
QOLVEN_API int qolven_stream_next_event(qolven_device *device, struct qolven_event *event, int *got);
/* Name of an event kind ("lost", "disconnected", "reconnected"); "" for others. */
QOLVEN_API const char *qolven_event_name(int kind);

/* The earlier interface, kept for hosts that use it: one fast-data request
 * when nothing waits, and the sample numbers as 32 bits. */
QOLVEN_API int qolven_stream_read(qolven_device *device, int32_t *numbers, int32_t *channels, int32_t *counts,
                                  size_t capacity, size_t *received, double *seconds);
/* Nominal samples per second of a sampling-rate code (0 for a code outside 0..15). */
QOLVEN_API double qolven_rate_samples_per_second(int rate_code);
/* Splits the text Fast_Data_Request answers (qolven_call) into sample
 * numbers, channels and counts.  The records of a board of class
 * "multi-channel" carry the channel; those of the other types give channel
 * 0.  A board type the library does not know gives QOLVEN_INVALID_ARGUMENT.
 * `count` receives the number of records; more than `capacity` gives
 * QOLVEN_BUFFER_TOO_SMALL with the first `capacity` filled (a record has at
 * least 8 tab-ended fields, so a capacity of the text's tabs / 8 always
 * suffices).  A text that is not such records gives QOLVEN_INVALID_ARGUMENT.
 * `error` (may be NULL) receives the reason. */
QOLVEN_API int qolven_fast_records(const char *text, int board_type, int32_t *numbers, int32_t *channels,
                                   int32_t *counts, size_t capacity, size_t *count, char *error, size_t size);

/* ---- display, keys and pages */

#define QOLVEN_DISPLAY_LINES 4
#define QOLVEN_DISPLAY_LINE_LENGTH 16
#define QOLVEN_PAGE_BYTES 129

/* The four lines of the display page, each the board's 16 bytes (Latin-1)
 * and a NUL.  QOLVEN_BOARD_TYPE on a board without a display. */
QOLVEN_API int qolven_read_display(qolven_device *device, char lines[QOLVEN_DISPLAY_LINES][QOLVEN_DISPLAY_LINE_LENGTH + 1]);
/* The bytes of register page `page` (0..255). */
QOLVEN_API int qolven_read_page(qolven_device *device, int page, unsigned char bytes[QOLVEN_PAGE_BYTES]);

/* The front-panel keys of the handheld displays, by index 0 .. count-1:
 * their name ("tare"), the other name printed on the key ("up") and the
 * library method that presses it.  NULL outside the range. */
QOLVEN_API int qolven_key_count(void);
QOLVEN_API const char *qolven_key_name(int index);
QOLVEN_API const char *qolven_key_alias(int index);
QOLVEN_API const char *qolven_key_method(int index);
/* Presses the key of that name or alias; QOLVEN_BOARD_TYPE on a board without keys. */
QOLVEN_API int qolven_press_key(qolven_device *device, const char *name);

/* ---- stored parameters by name
 *
 * One table serves every front end (the qolven tool, these functions, the
 * Python package): names such as "decimal-point" or "sampling-rate", what
 * each one means, which board types serve it and the values it takes.
 * Indexed parameters (the loading points) take a point number, the others
 * ignore it.  Values travel as text: integers, "00:11:22:aa:bb:cc" for a MAC
 * address, "192.168.1.10" for an IP address, "1,2,3" for a list of bytes.
 * A value or point outside what the parameter takes -- and where it depends
 * on the board type (the loading points, the sampling-rate codes), what the
 * board-type table says that type takes -- is refused with
 * QOLVEN_INVALID_ARGUMENT before anything is written.  The board types that
 * serve a parameter come from the same board-type table. */

enum qolven_parameter_flag {
    QOLVEN_PARAMETER_READABLE = 1,
    QOLVEN_PARAMETER_WRITABLE = 2,
    QOLVEN_PARAMETER_INDEXED = 4,          /* takes a loading-point number */
    QOLVEN_PARAMETER_VALUE_OPTIONAL = 8    /* may be written without a value (NULL or "") */
};

enum qolven_value_kind {
    QOLVEN_VALUE_INTEGER = 0,   /* decimal integer within qolven_parameter_range() */
    QOLVEN_VALUE_COUNT = 1,     /* a converter count; reading it may give a status text instead */
    QOLVEN_VALUE_MAC = 2,       /* six bytes, "00:11:22:aa:bb:cc" */
    QOLVEN_VALUE_IP = 3,        /* four bytes, "192.168.1.10" */
    QOLVEN_VALUE_BYTES = 4      /* qolven_parameter_range() bytes separated by ',' */
};

QOLVEN_API int qolven_parameter_count(void);
/* Index of a parameter by name, or -1. */
QOLVEN_API int qolven_parameter_find(const char *name);
/* NULL for an index outside 0 .. count-1. */
QOLVEN_API const char *qolven_parameter_name(int index);
QOLVEN_API const char *qolven_parameter_meaning(int index);
/* The value as a user writes it, e.g. "0..255", "a.b.c.d", "[count]". */
QOLVEN_API const char *qolven_parameter_syntax(int index);
/* The library methods behind the parameter ("" when there is none). */
QOLVEN_API const char *qolven_parameter_getter(int index);
QOLVEN_API const char *qolven_parameter_setter(int index);
/* qolven_parameter_flag bits; 0 for an unknown index. */
QOLVEN_API int qolven_parameter_flags(int index);
/* qolven_value_kind; -1 for an unknown index. */
QOLVEN_API int qolven_parameter_kind(int index);
/* Integers and counts: the values accepted.  Bytes: the number of bytes in
 * both.  MAC and IP addresses: 0..255 per byte. */
QOLVEN_API int qolven_parameter_range(int index, int64_t *low, int64_t *high);
/* 1 when board type `board_type` serves the parameter for `access`
 * (QOLVEN_PARAMETER_READABLE or QOLVEN_PARAMETER_WRITABLE), else 0. */
QOLVEN_API int qolven_parameter_serves(int index, int board_type, int access);
/* Indexed parameters: the point numbers the board type's table holds. */
QOLVEN_API int qolven_parameter_points(int index, int board_type, int *first, int *last);

QOLVEN_API int qolven_get_parameter(qolven_device *device, const char *name, int point, char *value, size_t size);
QOLVEN_API int qolven_set_parameter(qolven_device *device, const char *name, int point, const char *value);

/* ---- board types
 *
 * The library's board-type table: each type code belongs to a class (where
 * the board keeps its parameters) and serves families of commands. */

/* 1 when the library knows board type `code`, else 0. */
QOLVEN_API int qolven_board_type_known(int code);
/* Short name of the type's class: "own-layout", "eeprom", "multi-channel",
 * "display" or "refused"; NULL for an unknown code. */
QOLVEN_API const char *qolven_board_type_class(int code);
/* What a board of this type is, e.g. "handheld display with front-panel
 * keys"; NULL for an unknown code. */
QOLVEN_API const char *qolven_board_type_meaning(int code);
/* Families of commands, numbered 0 .. count-1: a short name ("fast-data",
 * "keys", "network", ...) and its meaning; NULL outside the range. */
QOLVEN_API int qolven_board_type_family_count(void);
QOLVEN_API const char *qolven_board_type_family_name(int family);
QOLVEN_API const char *qolven_board_type_family_meaning(int family);
/* 1 when board type `code` serves family `family`, else 0. */
QOLVEN_API int qolven_board_type_serves(int code, int family);
/* Highest sampling-rate code the type's converter takes; -1 for an unknown code. */
QOLVEN_API int qolven_board_type_last_rate_code(int code);

/* ---- every device method by name
 *
 * The method table describes each public device method of the library:
 * its name (as in the C++ class, e.g. "Set_Decimal_Point"), its arguments
 * after the device handle and what its result text holds.  qolven_call()
 * runs a method with its arguments as texts on the open device and gives
 * the method's own result text ("0", a decimal value, "Error", ...).
 * Argument kinds: "byte" (0..255), "int" (32-bit signed), "text". */

QOLVEN_API int qolven_method_count(void);
QOLVEN_API int qolven_method_find(const char *name);
QOLVEN_API const char *qolven_method_name(int index);
/* "action" ("0" on success), "number" (decimal text), "count" (a count or a
 * status text of the count decoding), "raw" (bytes as received, see the
 * length), "records" (fast-data records), "text" (anything else). */
QOLVEN_API const char *qolven_method_result(int index);
/* 1 when the method works on the open device, 0 when it needs none. */
QOLVEN_API int qolven_method_needs_device(int index);
QOLVEN_API int qolven_method_argument_count(int index);
QOLVEN_API const char *qolven_method_argument_name(int index, int argument);
QOLVEN_API const char *qolven_method_argument_kind(int index, int argument);

/* Runs `method` with `count` argument texts.  QOLVEN_OK when the method
 * succeeded; when its result is "Error", QOLVEN_ERROR or QOLVEN_TIMEOUT with
 * the library's text, or QOLVEN_NO_VALUE when the library gave none (a count
 * the board marked invalid); the result text is given all the same.
 * `length` (may be NULL) receives the length of the result, which for "raw"
 * results may contain NUL bytes. */
QOLVEN_API int qolven_call(qolven_device *device, const char *method, const char *const *arguments, int count,
                           char *result, size_t size, size_t *length);

/* Fields of the device object that methods fill for the host (the display
 * lines, the data-log record, the network record, the packet texts, ...). */
QOLVEN_API int qolven_field_count(void);
QOLVEN_API const char *qolven_field_name(int index);
QOLVEN_API int qolven_get_field(qolven_device *device, const char *name, char *value, size_t size, size_t *length);

#ifdef __cplusplus
}
#endif

#endif
