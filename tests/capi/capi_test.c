/* The C interface from C, on the simulated bridge: discovery and opening,
 * the typed conveniences, parameters by name, the generic call, the method
 * and field tables, the fast-data block and the failures.  Compiled as C. */

#include <qolven.h>
#include <qolven_sim_c.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int checks, failures;

static void check(int ok, const char *file, int line, const char *format, ...) {
    ++checks;
    if (ok) return;
    ++failures;
    va_list args;
    va_start(args, format);
    fprintf(stderr, "%s:%d: ", file, line);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}
#define CHECK(cond, ...) check((cond) != 0, __FILE__, __LINE__, __VA_ARGS__)
#define CONTAINS(text, part) (strstr((text), (part)) != NULL)

/* The virtual devices. */
static const char *const kDevices =
    "serial=C2,type=2,delay_us=0,completion_delay_ms=0,reset_delay_ms=0,noise=0;"
    "serial=C0,type=0,delay_us=0;"
    "serial=C9,type=9,delay_us=0,channels=4;"
    "serial=C13,type=13,delay_us=0;"
    "serial=C16,type=16,delay_us=0,completion_delay_ms=0;"
    "serial=SLOW,type=2,delay_us=5000000;"
    "serial=C12,type=12,delay_us=0";
enum { kDeviceCount = 7 };

static qolven_device *opened(const char *serial) {
    qolven_device *d = qolven_create();
    CHECK(d != NULL, "create");
    int status = qolven_open(d, serial);
    CHECK(status == QOLVEN_OK, "open %s: %s %s", serial, qolven_status_name(status), qolven_error_text(d));
    return d;
}

static void test_discovery_and_opening(void) {
    qolven_device *d = qolven_create();
    int count = -1;
    CHECK(qolven_device_count(d, &count) == QOLVEN_OK && count == kDeviceCount, "count %d", count);
    char serial[16];
    CHECK(qolven_device_serial(d, 2, serial, sizeof serial) == QOLVEN_OK && strcmp(serial, "C9") == 0,
          "serial 2: %s", serial);
    CHECK(qolven_device_serial(d, 2, serial, 2) == QOLVEN_BUFFER_TOO_SMALL && serial[0] == 0, "short buffer");

    static const struct {
        const char *serial;
        int status;
        const char *text;
        uint32_t d2xx;
    } cases[] = {
        {NULL, QOLVEN_NO_DEVICE, "7 devices attached (C2, C0, C9, C13, C16, SLOW, C12); name one", 2},
        {"NOPE", QOLVEN_NO_DEVICE, "no bridge with serial NOPE attached", 2},
        {"A234567890123456", QOLVEN_INVALID_ARGUMENT, "longer than 15 characters", 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        int status = qolven_open(d, cases[i].serial);
        CHECK(status == cases[i].status, "open %s: %s", cases[i].serial ? cases[i].serial : "(any)",
              qolven_status_name(status));
        CHECK(CONTAINS(qolven_error_text(d), cases[i].text), "open text: %s", qolven_error_text(d));
        CHECK(qolven_d2xx_status(d) == cases[i].d2xx, "open status %u", qolven_d2xx_status(d));
        CHECK(!qolven_is_open(d), "nothing open after a refusal");
    }

    CHECK(qolven_open(d, "C2") == QOLVEN_OK && qolven_is_open(d), "open C2: %s", qolven_error_text(d));
    CHECK(strcmp(qolven_open_serial(d), "C2") == 0, "open serial %s", qolven_open_serial(d));
    CHECK(qolven_open(d, "C9") == QOLVEN_INVALID_ARGUMENT, "a second open on one object");
    CHECK(qolven_close(d) == QOLVEN_OK && !qolven_is_open(d), "close");
    CHECK(qolven_close(d) == QOLVEN_OK, "closing twice is fine");
    int64_t value;
    CHECK(qolven_read_count(d, &value) == QOLVEN_NOT_OPEN, "read on a closed object");
    CHECK(qolven_get_parameter(d, "decimal-point", 0, serial, sizeof serial) == QOLVEN_NOT_OPEN, "get closed");
    qolven_destroy(d);
}

static void test_identity_and_readings(void) {
    static const struct {
        const char *serial;
        int type;
    } boards[] = {{"C2", 2}, {"C9", 9}, {"C16", 16}};
    for (size_t i = 0; i < sizeof boards / sizeof boards[0]; ++i) {
        qolven_device *d = opened(boards[i].serial);
        struct qolven_board_identity identity = {-1, -1, -1, -1, -1};
        CHECK(qolven_identify(d, &identity) == QOLVEN_OK, "identify: %s", qolven_error_text(d));
        CHECK(identity.board_type == boards[i].type, "board type %d", identity.board_type);
        CHECK(identity.firmware_version == 4 && identity.firmware_year == 11 && identity.firmware_month == 1,
              "firmware %d %d/%d", identity.firmware_version, identity.firmware_year, identity.firmware_month);
        int64_t count = -1;
        CHECK(qolven_read_count(d, &count) == QOLVEN_OK, "count: %s", qolven_error_text(d));
        CHECK(count > 8388608 - 200000 && count < 8388608 + 200000, "count %lld", (long long)count);
        qolven_destroy(d);
    }

    /* Offline: the library's table of fixed values, no bus. */
    qolven_device *d = qolven_create();
    CHECK(qolven_set_offline(d, 2) == QOLVEN_INVALID_ARGUMENT, "offline mode 2");
    CHECK(qolven_set_offline(d, 1) == QOLVEN_OK && qolven_open(d, NULL) == QOLVEN_OK, "offline open");
    CHECK(strcmp(qolven_open_serial(d), "123456") == 0, "offline serial %s", qolven_open_serial(d));
    int64_t count = 0;
    CHECK(qolven_read_count(d, &count) == QOLVEN_OK && count == 10458593, "offline count %lld", (long long)count);
    qolven_destroy(d);
}

/* Every parameter write read back from the board's stored registers. */
static void test_parameters_round_trip(void) {
    static const struct {
        const char *serial;
        int channel;
        const char *name;
        int point;
        const char *value, *shown;
    } cases[] = {
        {"C2", 0, "decimal-point", 0, "3", "3"},
        {"C2", 0, "unit-code", 0, "010", "10"},
        {"C2", 0, "unit-code", 0, "0x0c", "12"},
        {"C2", 0, "sensitivity", 0, "2", "2"},
        {"C2", 0, "bridge-resistance", 0, "1", "1"},
        {"C2", 0, "shunt", 0, "1193046", "1193046"},
        {"C2", 0, "loading-point", 15, "-5", "-5"},
        {"C2", 0, "load-of-loading-point", 4, "1000", "1000"},
        {"C2", 0, "sampling-rate", 0, "12", "12"},
        {"C12", 0, "sampling-rate", 0, "11", "11"},
        {"C0", 0, "loading-point", 19, "77", "77"},
        {"C0", 0, "unit-code", 0, "12", "12"},
        {"C9", 2, "decimal-point", 0, "4", "4"},
        {"C9", 3, "crosstalk", 0, "1", "1"},
        {"C9", 1, "active-page", 0, "5", "5"},
        {"C13", 0, "dest-ip", 0, "192.168.1.10", "192.168.1.10"},
        {"C13", 0, "dest-mac", 0, "00:11:22:aa:bb:cc", "00:11:22:aa:bb:cc"},
        {"C13", 0, "source-port", 0, "5000", "5000"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        qolven_device *d = opened(cases[i].serial);
        char value[64] = "untouched";
        CHECK(qolven_set_channel(d, cases[i].channel) == QOLVEN_OK, "channel");
        int status = qolven_set_parameter(d, cases[i].name, cases[i].point, cases[i].value);
        CHECK(status == QOLVEN_OK, "set %s %s: %s", cases[i].name, cases[i].value, qolven_error_text(d));
        status = qolven_get_parameter(d, cases[i].name, cases[i].point, value, sizeof value);
        CHECK(status == QOLVEN_OK && strcmp(value, cases[i].shown) == 0, "%s on %s: %s (%s)", cases[i].name,
              cases[i].serial, value, qolven_error_text(d));
        qolven_destroy(d);
    }
}

/* Refusals of names, values and points: nothing is written. */
static void test_parameter_refusals(void) {
    static const struct {
        const char *serial;
        int write;
        const char *name;
        int point;
        const char *value;
        int status;
        const char *text;
    } cases[] = {
        {"C2", 0, "no-such-parameter", 0, NULL, QOLVEN_UNKNOWN_NAME, "unknown parameter \"no-such-parameter\""},
        {"C2", 1, "source-mac", 0, "00:11:22:33:44:55", QOLVEN_NOT_SUPPORTED, "cannot be written"},
        {"C2", 0, "load-switch", 0, NULL, QOLVEN_NOT_SUPPORTED, "cannot be read"},
        {"C2", 1, "decimal-point", 0, "256", QOLVEN_INVALID_ARGUMENT, "Invalid Decimal Point (decimal-point: value 256 is outside 0..255)"},
        {"C2", 1, "decimal-point", 0, "-1", QOLVEN_INVALID_ARGUMENT, "value -1 is outside 0..255"},
        {"C2", 1, "decimal-point", 0, "three", QOLVEN_INVALID_ARGUMENT, "\"three\" is not a number"},
        {"C2", 1, "decimal-point", 0, " 3", QOLVEN_INVALID_ARGUMENT, "is not a number"},
        {"C2", 1, "decimal-point", 0, "", QOLVEN_INVALID_ARGUMENT, "needs a value (0..255)"},
        {"C2", 1, "shunt", 0, "99999999999999999999999", QOLVEN_INVALID_ARGUMENT, "Invalid Shunt Value (shunt: value \"99999999999999999999999\" is outside 0..16777215)"},
        {"C2", 1, "loading-point", 16, "5", QOLVEN_INVALID_ARGUMENT, "point 16 is outside 0..15 of board type 2"},
        {"C2", 0, "load-of-loading-point", -1, NULL, QOLVEN_INVALID_ARGUMENT, "point -1 is outside 0..15"},
        {"C0", 1, "loading-point", 20, "5", QOLVEN_INVALID_ARGUMENT, "point 20 is outside 0..19 of board type 0"},
        {"C16", 1, "digital-components", 0, "1,2,3,4", QOLVEN_INVALID_ARGUMENT, "is not 3 bytes 0..255"},
        {"C16", 1, "digital-components", 0, "1,2,256", QOLVEN_INVALID_ARGUMENT, "is not 3 bytes 0..255"},
        {"C13", 1, "dest-ip", 0, "192.168.1", QOLVEN_INVALID_ARGUMENT, "is not an IP address"},
        {"C13", 1, "dest-mac", 0, "00:11:22:33:44:5g", QOLVEN_INVALID_ARGUMENT, "is not a MAC address"},
        {"C2", 0, "crosstalk", 0, NULL, QOLVEN_BOARD_TYPE, "Invalid Type of Board"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        qolven_device *d = opened(cases[i].serial);
        char value[64];
        /* The register the refused writes would have reached keeps this value. */
        qolven_set_parameter(d, "decimal-point", 0, "7");
        int status = cases[i].write ? qolven_set_parameter(d, cases[i].name, cases[i].point, cases[i].value)
                                    : qolven_get_parameter(d, cases[i].name, cases[i].point, value, sizeof value);
        CHECK(status == cases[i].status, "%s %s: %s (%s)", cases[i].name, cases[i].value ? cases[i].value : "",
              qolven_status_name(status), qolven_error_text(d));
        CHECK(CONTAINS(qolven_error_text(d), cases[i].text), "%s: text \"%s\"", cases[i].name, qolven_error_text(d));
        if (cases[i].serial[1] == '2') {
            CHECK(qolven_get_parameter(d, "decimal-point", 0, value, sizeof value) == QOLVEN_OK &&
                      strcmp(value, "7") == 0, "nothing written: %s", value);
        }
        qolven_destroy(d);
    }
    /* The converter of type 12 stops at rate code 11: refused, not quietly lowered. */
    qolven_device *r = opened("C12");
    char rate[8];
    CHECK(qolven_set_parameter(r, "sampling-rate", 0, "5") == QOLVEN_OK, "rate 5: %s", qolven_error_text(r));
    CHECK(qolven_set_parameter(r, "sampling-rate", 0, "15") == QOLVEN_INVALID_ARGUMENT &&
              strcmp(qolven_error_text(r), "sampling-rate: value 15 is outside 0..11 of board type 12") == 0,
          "rate 15 on type 12: %s", qolven_error_text(r));
    CHECK(qolven_get_parameter(r, "sampling-rate", 0, rate, sizeof rate) == QOLVEN_OK && strcmp(rate, "5") == 0,
          "the refused rate was not written: %s", rate);
    CHECK(qolven_set_parameter(r, "sampling-rate", 0, "16") == QOLVEN_INVALID_ARGUMENT &&
              strcmp(qolven_error_text(r), "sampling-rate: value 16 is outside 0..15") == 0,
          "rate 16: %s", qolven_error_text(r));
    qolven_destroy(r);
    qolven_device *d = opened("C9");
    CHECK(qolven_set_channel(d, 4) == QOLVEN_INVALID_ARGUMENT && CONTAINS(qolven_error_text(d), "outside 0..3"),
          "channel 4");
    CHECK(qolven_set_calibration_type(d, 2) == QOLVEN_INVALID_ARGUMENT, "calibration type 2");
    qolven_destroy(d);
}

static int family(const char *name) {
    for (int f = 0; f < qolven_board_type_family_count(); ++f)
        if (strcmp(qolven_board_type_family_name(f), name) == 0) return f;
    return -1;
}

/* Board-type answers come from the library's table: a class per known code,
 * families by name, nothing for codes it does not know. */
static void test_board_types(void) {
    static const struct {
        int code;
        const char *className;
        const char *family;
        int serves;
    } cases[] = {
        {0, "own-layout", "fast-data", 0},  {2, "eeprom", "fast-data", 1},    {5, "display", "keys", 1},
        {9, "multi-channel", "system-byte", 1}, {13, "eeprom", "network", 1}, {15, "refused", "parameters", 0},
        {16, "eeprom", "digital-components", 1}, {8, "eeprom", "rotation", 1}, {2, "eeprom", "rotation", 0},
    };
    int families = qolven_board_type_family_count();
    CHECK(families > 0 && qolven_board_type_family_name(families) == NULL && qolven_board_type_family_name(-1) == NULL,
          "family range %d", families);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        int f = family(cases[i].family);
        CHECK(f >= 0 && qolven_board_type_family_meaning(f)[0] != 0, "family %s", cases[i].family);
        CHECK(qolven_board_type_known(cases[i].code), "type %d known", cases[i].code);
        CHECK(strcmp(qolven_board_type_class(cases[i].code), cases[i].className) == 0, "type %d class %s",
              cases[i].code, qolven_board_type_class(cases[i].code));
        CHECK(qolven_board_type_meaning(cases[i].code)[0] != 0, "type %d meaning", cases[i].code);
        CHECK(qolven_board_type_serves(cases[i].code, f) == cases[i].serves, "type %d serves %s", cases[i].code,
              cases[i].family);
    }
    static const int unknown[] = {-1, 17, 99, 255};
    for (size_t i = 0; i < sizeof unknown / sizeof unknown[0]; ++i)
        CHECK(!qolven_board_type_known(unknown[i]) && qolven_board_type_class(unknown[i]) == NULL &&
                  qolven_board_type_meaning(unknown[i]) == NULL && !qolven_board_type_serves(unknown[i], 0),
              "type %d unknown", unknown[i]);
}

static void test_parameter_table(void) {
    int count = qolven_parameter_count();
    CHECK(count >= 40, "parameter count %d", count);
    for (int i = 0; i < count; ++i) {
        const char *name = qolven_parameter_name(i);
        CHECK(name && qolven_parameter_find(name) == i, "find %s", name ? name : "(null)");
        CHECK(strchr(name, '_') == NULL, "%s: names are written with '-'", name);
        int flags = qolven_parameter_flags(i);
        CHECK(flags & (QOLVEN_PARAMETER_READABLE | QOLVEN_PARAMETER_WRITABLE), "%s: neither read nor written", name);
        CHECK(*qolven_parameter_syntax(i) && *qolven_parameter_meaning(i), "%s: syntax and meaning", name);
        CHECK((*qolven_parameter_getter(i) != 0) == ((flags & QOLVEN_PARAMETER_READABLE) != 0), "%s getter", name);
        CHECK(qolven_method_find(*qolven_parameter_getter(i) ? qolven_parameter_getter(i) : "Get_Type_of_Board") >= 0,
              "%s: the getter is a method", name);
    }
    CHECK(qolven_parameter_name(count) == NULL && qolven_parameter_name(-1) == NULL, "outside the table");
    int p = qolven_parameter_find("decimal-point");
    CHECK(qolven_parameter_serves(p, 2, QOLVEN_PARAMETER_READABLE) && !qolven_parameter_serves(p, 15, 1) &&
              !qolven_parameter_serves(p, 17, 1),
          "decimal-point served on 2, not on 15 or 17");
    int64_t low = 1, high = 0;
    CHECK(qolven_parameter_range(p, &low, &high) == QOLVEN_OK && low == 0 && high == 255, "range");
    CHECK(strcmp(qolven_parameter_syntax(qolven_parameter_find("crosstalk")), "0|1") == 0, "flag syntax");
    int lp = qolven_parameter_find("loading-point"), first = -1, last = -1;
    CHECK(qolven_parameter_points(lp, 0, &first, &last) == QOLVEN_OK && first == 0 && last == 19, "type 0 points");
    CHECK(qolven_parameter_points(lp, 2, &first, &last) == QOLVEN_OK && last == 15, "type 2 points");
    CHECK(qolven_parameter_points(p, 2, &first, &last) == QOLVEN_INVALID_ARGUMENT, "points of a plain parameter");
    CHECK(qolven_parameter_kind(qolven_parameter_find("dest-mac")) == QOLVEN_VALUE_MAC, "kind");
    CHECK(qolven_board_type_known(16) && !qolven_board_type_known(17) && qolven_board_type_meaning(17) == NULL &&
              qolven_board_type_class(-1) == NULL,
          "board types");
    CHECK(qolven_board_type_last_rate_code(12) == 11 && qolven_board_type_last_rate_code(2) == 15 &&
              qolven_board_type_last_rate_code(17) == -1,
          "last rate codes");
    /* The served types come from the board-type table. */
    for (int type = 0; type <= 16; ++type) {
        CHECK(qolven_parameter_serves(qolven_parameter_find("dest-ip"), type, QOLVEN_PARAMETER_WRITABLE) ==
                  qolven_board_type_serves(type, family("network")),
              "dest-ip on type %d", type);
        CHECK(qolven_parameter_serves(qolven_parameter_find("crosstalk"), type, QOLVEN_PARAMETER_READABLE) ==
                  qolven_board_type_serves(type, family("system-byte")),
              "crosstalk on type %d", type);
    }
}

static void test_generic_call(void) {
    qolven_device *d = opened("C2");
    static const struct {
        const char *method;
        int count;
        const char *arguments[7];
        int status;
        const char *result;  /* or the error text when status is not OK */
    } cases[] = {
        {"Set_Decimal_Point", 2, {"5", "0"}, QOLVEN_OK, "0"},
        {"Get_Decimal_Point", 1, {"0"}, QOLVEN_OK, "5"},
        {"Set_Decimal_Point", 2, {"300", "0"}, QOLVEN_INVALID_ARGUMENT, "Invalid Decimal Point"},
        {"Calculate_ADC_Value", 4, {"2", "0x12", "0x34", "0x56"}, QOLVEN_OK, "1193046"},
        {"Calculate_ADC_Value", 4, {"255", "255", "255", "255"}, QOLVEN_OK, "Unassigned"},
        {"Calculate_PXV_ADC_Value2", 3, {"128", "0", "0"}, QOLVEN_OK, "-8388608"},
        {"Get_Type_of_Board", 0, {NULL}, QOLVEN_OK, "2"},
        {"Get_Version_of_Board", 0, {NULL}, QOLVEN_OK, "0"},
        {"Get_Device_Count", 0, {NULL}, QOLVEN_OK, "7"},
        {"Get_Device_Serial_Number", 1, {"4"}, QOLVEN_OK, "C16"},
        {"Get_Loading_Point", 3, {"0", "0", "2"}, QOLVEN_INVALID_ARGUMENT, "Invalid Type Of Calibration"},
        {"Get_Decimal_Point", 1, {"256"}, QOLVEN_INVALID_ARGUMENT, "Get_Decimal_Point: channel 256 is outside 0..255"},
        {"Get_Decimal_Point", 1, {"1x"}, QOLVEN_INVALID_ARGUMENT, "channel \"1x\" is not a number"},
        {"Get_Decimal_Point", 0, {NULL}, QOLVEN_INVALID_ARGUMENT, "Get_Decimal_Point takes 1 argument, not 0"},
        {"Set_Decimal_Point", 2, {"99999999999", "0"}, QOLVEN_INVALID_ARGUMENT, "value"},
        {"No_Such_Method", 0, {NULL}, QOLVEN_UNKNOWN_NAME, "unknown method \"No_Such_Method\""},
        /* The library fails these without a text: refused with one instead. */
        {"Get_Internal_Register", 1, {"999"}, QOLVEN_INVALID_ARGUMENT, "register 999 is outside 0..255"},
        /* The library would throw on a type text without a number: checked instead. */
        {"Fast_Data_Request", 6, {"1", "0", "abc", "15", "4", "0"}, QOLVEN_INVALID_ARGUMENT, "typeText \"abc\""},
        {"Fast_Data_Request", 6, {"1", "16", "2", "15", "4", "0"}, QOLVEN_INVALID_ARGUMENT, "Invalid Slot"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        char result[128] = "";
        size_t length = 0;
        int status = qolven_call(d, cases[i].method, cases[i].arguments, cases[i].count, result, sizeof result, &length);
        CHECK(status == cases[i].status, "%s: %s (%s)", cases[i].method, qolven_status_name(status),
              qolven_error_text(d));
        const char *seen = status == QOLVEN_OK ? result : qolven_error_text(d);
        CHECK(status == QOLVEN_OK ? strcmp(seen, cases[i].result) == 0 : CONTAINS(seen, cases[i].result),
              "%s gave \"%s\"", cases[i].method, seen);
        if (status == QOLVEN_ERROR) CHECK(strcmp(result, "Error") == 0, "%s: result %s", cases[i].method, result);
    }

    /* Raw bytes: the EEPROM register as written, its length counted. */
    const char *write[] = {"114", "0", "0"};
    const char *read[] = {"114"};
    char raw[8];
    size_t length = 0;
    CHECK(qolven_call(d, "Write_EEPROM_Register", write, 3, raw, sizeof raw, &length) == QOLVEN_OK, "write raw");
    CHECK(qolven_call(d, "Read_EEPROM_Register", read, 1, raw, sizeof raw, &length) == QOLVEN_OK && length == 2 &&
              raw[0] == 0 && raw[1] == 0,
          "raw result of length %zu", length);

    /* A result too long for the buffer is given again whole. */
    const char *page[] = {"0"};
    char small[2];
    CHECK(qolven_call(d, "Get_Offset_Value", page, 1, small, sizeof small, &length) == QOLVEN_BUFFER_TOO_SMALL &&
              length == 7 && small[0] == 0,
          "too small: length %zu", length);
    char whole[16];
    CHECK(qolven_result_text(d, whole, sizeof whole, &length) == QOLVEN_OK && strcmp(whole, "8386698") == 0,
          "result again: %s", whole);

    /* The network record through the fields. */
    qolven_device *n = opened("C13");
    const char *channel[] = {"0"};
    char ip[32], field[32];
    CHECK(qolven_set_parameter(n, "source-ip", 0, "10.0.0.7") == QOLVEN_OK, "source-ip");
    CHECK(qolven_call(n, "Get_Source_IP_Address", channel, 1, ip, sizeof ip, NULL) == QOLVEN_OK, "network read");
    CHECK(qolven_get_field(n, "sourceIpAddress", field, sizeof field, NULL) == QOLVEN_OK &&
              strcmp(field, "10.0.0.7") == 0,
          "field %s", field);
    CHECK(qolven_get_field(n, "noSuchField", field, sizeof field, NULL) == QOLVEN_UNKNOWN_NAME, "unknown field");
    qolven_destroy(n);
    qolven_destroy(d);

    /* The method table. */
    int m = qolven_method_find("Set_Load_of_Loading_Point");
    CHECK(m >= 0 && qolven_method_argument_count(m) == 3, "arguments of Set_Load_of_Loading_Point");
    CHECK(strcmp(qolven_method_argument_name(m, 1), "load") == 0 && strcmp(qolven_method_argument_kind(m, 1), "int") == 0 &&
              strcmp(qolven_method_argument_kind(m, 2), "byte") == 0,
          "argument 1 %s %s", qolven_method_argument_name(m, 1), qolven_method_argument_kind(m, 1));
    CHECK(strcmp(qolven_method_result(qolven_method_find("Read_Channel_Register")), "raw") == 0, "raw result kind");
    CHECK(!qolven_method_needs_device(qolven_method_find("Calculate_ADC_Value")) &&
              qolven_method_needs_device(qolven_method_find("Get_ADC_Configuration")),
          "device needed");
    CHECK(qolven_method_count() > 120 && qolven_method_name(qolven_method_count()) == NULL, "method count");
}

/* Samples in order and none dropped, even through a one-sample array. */
static void test_stream(void) {
    qolven_device *d = opened("C2");
    CHECK(qolven_stream_read(d, NULL, NULL, NULL, 0, &(size_t){0}, NULL) == QOLVEN_INVALID_ARGUMENT, "not started");
    CHECK(qolven_stream_start(d, 16) == QOLVEN_INVALID_ARGUMENT, "rate code 16");
    CHECK(qolven_stream_start(d, 15) == QOLVEN_OK, "start: %s", qolven_error_text(d));
    int32_t numbers[1], channels[1], counts[1];
    int32_t expected = -1;
    size_t got = 0, total = 0;
    double seconds = 0;
    for (int calls = 0; calls < 20000 && total < 60; ++calls) {
        int status = qolven_stream_read(d, numbers, channels, counts, 1, &got, &seconds);
        CHECK(status == QOLVEN_OK, "read: %s", qolven_error_text(d));
        if (status != QOLVEN_OK) break;
        if (got == 0) continue;
        if (expected >= 0) CHECK(numbers[0] == expected, "sample %d after %d", numbers[0], expected - 1);
        expected = numbers[0] + 1;
        CHECK(channels[0] == 0 && counts[0] > 0, "channel %d count %d", channels[0], counts[0]);
        ++total;
    }
    CHECK(total >= 60 && seconds > 0, "%zu samples in %.3f s", total, seconds);
    CHECK(qolven_rate_samples_per_second(15) == 1000 && qolven_rate_samples_per_second(0) == 2.5 &&
              qolven_rate_samples_per_second(16) == 0,
          "nominal rates");
    qolven_destroy(d);
}

/* A Fast_Data_Request text from the generic call, split as the stream splits it. */
static void test_fast_records(void) {
    static const struct {
        const char *text;
        int board_type;
        size_t capacity;
        int status;
        size_t count;
        int32_t last_number, last_channel, last_count; /* of the last record filled */
        const char *error;
    } cases[] = {
        {"", 2, 4, QOLVEN_OK, 0, 0, 0, 0, ""},
        {"7\t8\t-5\t\t\t\t08.12.2026\t10:00:00\t", 2, 4, QOLVEN_OK, 1, 7, 0, -5, ""},
        {"1\t1\t3\t42\t\t\t\td\tt\t2\t2\t0\t43\t\t\t\td\tt\t", 9, 4, QOLVEN_OK, 2, 2, 0, 43, ""},
        {"1\t1\t5\t\t\t\td\tt\t2\t2\t6\t\t\t\td\tt\t", 2, 1, QOLVEN_BUFFER_TOO_SMALL, 2, 1, 0, 5,
         "2 records do not fit in 1"},
        {"1\t1\t5\t\t\t\td\t", 2, 4, QOLVEN_INVALID_ARGUMENT, 0, 0, 0, 0, "record 1 is cut off"},
        {"1\t1\t5\t\t\t\td\tt", 2, 4, QOLVEN_INVALID_ARGUMENT, 0, 0, 0, 0, "record 1 is cut off"},
        {"1\t1\tx5\t\t\t\td\tt\t", 2, 4, QOLVEN_INVALID_ARGUMENT, 0, 0, 0, 0, "record 1: field 3 is not a number"},
        {"1\t1\t99999999999\t\t\t\td\tt\t", 2, 4, QOLVEN_INVALID_ARGUMENT, 0, 0, 0, 0, "field 3 is not a number"},
        {"Error", 2, 4, QOLVEN_INVALID_ARGUMENT, 0, 0, 0, 0, "cut off"},
        {"", 99, 4, QOLVEN_INVALID_ARGUMENT, 0, 0, 0, 0, "board type 99 is not known"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        int32_t numbers[4] = {0}, channels[4] = {0}, counts[4] = {0};
        size_t count = 99;
        char error[80] = "unset";
        int status = qolven_fast_records(cases[i].text, cases[i].board_type, numbers, channels, counts,
                                         cases[i].capacity, &count, error, sizeof error);
        CHECK(status == cases[i].status, "case %zu: %s (%s)", i, qolven_status_name(status), error);
        CHECK(count == cases[i].count, "case %zu: %zu records", i, count);
        CHECK(cases[i].error[0] ? CONTAINS(error, cases[i].error) : !error[0], "case %zu: \"%s\"", i, error);
        size_t last = (count < cases[i].capacity ? count : cases[i].capacity);
        if (status != QOLVEN_INVALID_ARGUMENT && last > 0)
            CHECK(numbers[last - 1] == cases[i].last_number && channels[last - 1] == cases[i].last_channel &&
                      counts[last - 1] == cases[i].last_count,
                  "case %zu: %d %d %d", i, numbers[last - 1], channels[last - 1], counts[last - 1]);
    }
    CHECK(qolven_fast_records(NULL, 2, NULL, NULL, NULL, 0, &(size_t){0}, NULL, 0) == QOLVEN_INVALID_ARGUMENT,
          "no text");

    /* The generic call's text of a live board. */
    qolven_device *d = opened("C9");
    CHECK(qolven_set_parameter(d, "sampling-rate", 0, "15") == QOLVEN_OK, "rate: %s", qolven_error_text(d));
    struct qolven_board_identity identity;
    CHECK(qolven_identify(d, &identity) == QOLVEN_OK, "identify: %s", qolven_error_text(d));
    char type[8], version[8];
    snprintf(type, sizeof type, "%d", identity.board_type);
    snprintf(version, sizeof version, "%d", identity.firmware_version);
    const char *arguments[] = {"1", "0", type, "15", version, "0"};
    size_t total = 0;
    for (int calls = 0; calls < 200 && total == 0; ++calls) {
        char text[8192];
        if (qolven_call(d, "Fast_Data_Request", arguments, 6, text, sizeof text, NULL) != QOLVEN_OK) continue;
        int32_t numbers[256], channels[256], counts[256];
        int status = qolven_fast_records(text, identity.board_type, numbers, channels, counts, 256, &total, NULL, 0);
        CHECK(status == QOLVEN_OK, "records of type 9: %s", qolven_status_name(status));
        for (size_t i = 0; i < total && i < 256; ++i)
            CHECK(channels[i] >= 0 && channels[i] <= 3, "channel %d", channels[i]);
    }
    CHECK(total > 0, "no samples from the board");
    qolven_destroy(d);
}

/* Failures of the bridge and the board become statuses with the library's text. */
static void test_failures(void) {
    qolven_device *d = opened("SLOW");
    char value[16];
    int status = qolven_get_parameter(d, "decimal-point", 0, value, sizeof value);
    CHECK(status == QOLVEN_TIMEOUT && strcmp(qolven_error_text(d), "Timeout Error") == 0, "slow board: %s %s",
          qolven_status_name(status), qolven_error_text(d));
    qolven_destroy(d);

    /* Null objects and pointers are refused, not followed. */
    CHECK(qolven_open(NULL, "C2") == QOLVEN_INVALID_ARGUMENT && qolven_read_count(NULL, NULL) == QOLVEN_INVALID_ARGUMENT,
          "null device");
    CHECK(qolven_wrap(NULL) == NULL && strcmp(qolven_error_text(NULL), "no device object") == 0, "null wrap");
    qolven_destroy(NULL);
    CHECK(strcmp(qolven_status_name(QOLVEN_NO_VALUE), "QOLVEN_NO_VALUE") == 0 &&
              strcmp(qolven_status_name(99), "unknown status") == 0,
          "status names");

    static const struct {
        const char *text;
        int64_t low, high, value;
        int status;
    } numbers[] = {
        {"010", 0, 255, 10, QOLVEN_OK},     {"0x1F", 0, 255, 31, QOLVEN_OK}, {"-0x10", -100, 0, -16, QOLVEN_OK},
        {"0x", 0, 255, 0, QOLVEN_INVALID_ARGUMENT}, {"+1", 0, 255, 0, QOLVEN_INVALID_ARGUMENT},
        {"256", 0, 255, 0, QOLVEN_INVALID_ARGUMENT}, {"", 0, 255, 0, QOLVEN_INVALID_ARGUMENT},
        {"18446744073709551616", 0, 255, 0, QOLVEN_INVALID_ARGUMENT},
    };
    for (size_t i = 0; i < sizeof numbers / sizeof numbers[0]; ++i) {
        int64_t value = -12345;
        char why[64];
        status = qolven_parse_integer(numbers[i].text, numbers[i].low, numbers[i].high, &value, why, sizeof why);
        CHECK(status == numbers[i].status && (status != QOLVEN_OK || value == numbers[i].value), "\"%s\": %s %lld %s",
              numbers[i].text, qolven_status_name(status), (long long)value, why);
    }
}

/* Faults the simulated bridge injects into the answers and the bridge calls:
 * each becomes a status with the library's text, never an exception (which
 * would end this C program), and the device works again afterwards. */
static void test_injected_faults(void) {
    static const struct {
        const char *fault;  /* fault keys, or NULL for a bridge status */
        const char *function;
        unsigned status;
        int call;           /* 0: a parameter, 1: fast data, 2: the generic call */
        int expected;
        const char *text;
        int stale;          /* the answer that could not be read stays queued for one exchange */
    } cases[] = {
        {"fault=no_answer", NULL, 0, 0, QOLVEN_TIMEOUT, "Timeout Error", 0},
        {"fault=wrong_number", NULL, 0, 0, QOLVEN_ERROR, "Packet Number Error", 0},
        {"fault=wrong_size", NULL, 0, 0, QOLVEN_ERROR, "Packet Size Error", 0},
        {"fault=wrong_command", NULL, 0, 2, QOLVEN_ERROR, "Command Number Error", 0},
        {"fault=wrong_end", NULL, 0, 0, QOLVEN_ERROR, "End Of Packet Error", 0},
        {"fault=board_error,fault_arg=76", NULL, 0, 0, QOLVEN_BOARD_REFUSED, "TEDS Error", 0},
        {"fault=partial", NULL, 0, 2, QOLVEN_TIMEOUT, "Timeout Error", 0},
        /* The stream's retry policy takes in single failures of fast data. */
        {"fault=fast_empty", NULL, 0, 1, QOLVEN_OK, "", 0},
        {"fault=fast_refusal,fault_arg=77", NULL, 0, 1, QOLVEN_OK, "", 0},
        {"fault=fast_short", NULL, 0, 1, QOLVEN_OK, "", 0},
        {NULL, "FT_Write", 4, 0, QOLVEN_TRANSPORT, "IO Error", 0},
        {NULL, "FT_GetStatus", 18, 2, QOLVEN_TRANSPORT, "Other Errors", 0},
        {NULL, "FT_Read", 1, 1, QOLVEN_OK, "", 1},
    };
    char error[256];
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        qolven_device *d = opened("C2");
        size_t got = 0;
        int32_t numbers[64], channels[64], counts[64];
        if (cases[i].call == 1) CHECK(qolven_stream_start(d, 15) == QOLVEN_OK, "start: %s", qolven_error_text(d));
        int injected = cases[i].fault ? qolven_sim_set_fault("C2", cases[i].fault, error, sizeof error)
                                      : qolven_sim_inject_status(cases[i].function, cases[i].status, 1, error,
                                                                 sizeof error);
        CHECK(injected == 0, "inject %s: %s", cases[i].fault ? cases[i].fault : cases[i].function, error);
        char value[64];
        const char *arguments[] = {"0"};
        int status = cases[i].call == 0 ? qolven_get_parameter(d, "decimal-point", 0, value, sizeof value)
                   : cases[i].call == 1 ? qolven_stream_read(d, numbers, channels, counts, 64, &got, NULL)
                                        : qolven_call(d, "Get_Offset_Value", arguments, 1, value, sizeof value, NULL);
        const char *what = cases[i].fault ? cases[i].fault : cases[i].function;
        CHECK(status == cases[i].expected, "%s: %s (%s)", what, qolven_status_name(status), qolven_error_text(d));
        CHECK(strcmp(qolven_error_text(d), cases[i].text) == 0, "%s: \"%s\"", what, qolven_error_text(d));
        CHECK(cases[i].fault || cases[i].expected == QOLVEN_OK || qolven_d2xx_status(d) == cases[i].status, "%s: status %u", what,
              qolven_d2xx_status(d));
        qolven_sim_clear_faults("C2", NULL, 0);
        if (cases[i].stale) {
            status = qolven_get_parameter(d, "decimal-point", 0, value, sizeof value);
            CHECK(status == QOLVEN_ERROR && strcmp(qolven_error_text(d), "Packet Number Error") == 0,
                  "%s: the queued answer: %s", what, qolven_error_text(d));
        }
        CHECK(qolven_get_parameter(d, "decimal-point", 0, value, sizeof value) == QOLVEN_OK, "%s: sound again: %s",
              what, qolven_error_text(d));
        qolven_destroy(d);
    }

    /* An unplugged device: every call fails with the bridge's status. */
    qolven_device *d = opened("C13");
    CHECK(qolven_sim_detach("C13", error, sizeof error) == 0, "detach: %s", error);
    struct qolven_board_identity identity;
    CHECK(qolven_identify(d, &identity) == QOLVEN_DISCONNECTED && qolven_d2xx_status(d) == 4, "unplugged: %s",
          qolven_error_text(d));
    CHECK(qolven_close(d) == QOLVEN_DISCONNECTED && !qolven_is_open(d), "closing an unplugged device: %s",
          qolven_error_text(d));
    qolven_destroy(d);
}

int main(void) {
    char error[256];
    if (qolven_sim_configure(kDevices, error, sizeof error) != 0) {
        fprintf(stderr, "configure: %s\n", error);
        return 1;
    }

    test_discovery_and_opening();
    test_identity_and_readings();
    test_parameters_round_trip();
    test_parameter_refusals();
    test_parameter_table();
    test_board_types();
    test_generic_call();
    test_stream();
    test_fast_records();
    test_failures();
    test_injected_faults();

    printf("%d checks, %d failed\n", checks, failures);
    return failures ? 1 : 0;
}
