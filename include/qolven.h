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
    QOLVEN_ERROR = 1,              /* the library, the bridge or the board reported a failure */
    QOLVEN_TIMEOUT = 2,            /* the board did not answer in time ("Timeout Error") */
    QOLVEN_INVALID_ARGUMENT = 3,   /* refused before anything was sent; the text names the argument */
    QOLVEN_UNKNOWN_NAME = 4,       /* no method, parameter or field of that name */
    QOLVEN_NOT_SUPPORTED = 5,      /* the parameter cannot be read, or cannot be written */
    QOLVEN_BUFFER_TOO_SMALL = 6,   /* the text did not fit; qolven_result_text() gives it again */
    QOLVEN_NO_VALUE = 7,           /* the board answered with a status text instead of a number */
    QOLVEN_NOT_OPEN = 8,           /* the call needs an open device */
    QOLVEN_INTERNAL = 9            /* an unexpected failure inside the library; the text says which */
} qolven_status;

/* Name of a status code ("QOLVEN_TIMEOUT"); "unknown status" for others. */
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
/* USB serial number of the device at `index` (0 .. count-1). */
QOLVEN_API int qolven_device_serial(qolven_device *device, int index, char *serial, size_t size);
/* Opens the device with this serial number; NULL or "" opens the only device
 * attached (an error names them when there are several). */
QOLVEN_API int qolven_open(qolven_device *device, const char *serial);
QOLVEN_API int qolven_close(qolven_device *device);
QOLVEN_API int qolven_is_open(const qolven_device *device);
/* Serial number of the open device ("" when none is open). */
QOLVEN_API const char *qolven_open_serial(const qolven_device *device);

/* Channel (0..3) and type of calibration (0..1) used by the conveniences
 * below; both start at 0.  The channel matters on multi-channel boards only. */
QOLVEN_API int qolven_set_channel(qolven_device *device, int channel);
QOLVEN_API int qolven_set_calibration_type(qolven_device *device, int type);

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

/* Fast data.  qolven_stream_start() sets the board's sampling-rate code
 * (0..15; -1 keeps the board's own) and identifies the board once;
 * qolven_stream_read() then makes one fast-data request and fills the
 * arrays with the samples received: the library's running sample number,
 * the channel and the count of each.  Samples that do not fit stay for the
 * next call, so nothing is dropped.  `seconds` (may be NULL) receives the
 * time since qolven_stream_start() at which the samples arrived.  A board
 * with nothing to send yields 0 samples and QOLVEN_OK. */
QOLVEN_API int qolven_stream_start(qolven_device *device, int rate_code);
QOLVEN_API int qolven_stream_read(qolven_device *device, int32_t *numbers, int32_t *channels, int32_t *counts,
                                  size_t capacity, size_t *received, double *seconds);
/* Nominal samples per second of a sampling-rate code (0 for a code outside 0..15). */
QOLVEN_API double qolven_rate_samples_per_second(int rate_code);
/* Splits the text Fast_Data_Request answers (qolven_call) into the arrays
 * qolven_stream_read fills: sample number, channel and count of each record.
 * The records of a board of class "multi-channel" carry the channel; those of
 * the other types give channel 0.  A board type the library does not know
 * gives QOLVEN_INVALID_ARGUMENT.  `count` receives the
 * number of records; more than `capacity` gives QOLVEN_BUFFER_TOO_SMALL with
 * the first `capacity` filled (a record has at least 8 tab-ended fields, so
 * a capacity of the text's tabs / 8 always suffices).  A text that is not such records gives
 * QOLVEN_INVALID_ARGUMENT.  `error` (may be NULL) receives the reason. */
QOLVEN_API int qolven_fast_records(const char *text, int board_type, int32_t *numbers, int32_t *channels,
                                   int32_t *counts, size_t capacity, size_t *count, char *error, size_t size);

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
