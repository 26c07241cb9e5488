// Identity, the live count and the one definition of a load: how the
// board's loading-point table (or its offset and full-scale pair) turns a
// count into a load, with the decimal point applied once and a host-side
// tare taken off.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "acquisition/device.h"
#include "acquisition/load.h"
#include "board/board_types.h"

namespace qolven_acquisition {

namespace {

namespace bt = _QOLVEN_USB_DLL::detail;

// The identity texts hold one character whose code is the number.
int code(const std::string &text) { return text.empty() ? 0 : static_cast<unsigned char>(text[0]); }

bool wholeNumber(const std::string &text, long long &value) {
    const char *end = text.data() + text.size();
    auto r = std::from_chars(text.data(), end, value);
    return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

// A getter that answers a number: false with the failure's code in `failure`
// when it answered "Error", with `why` set when it answered a status text.
bool number(qolven_device *d, const std::string &text, long long &value, int &failure, std::string &why,
            const std::string &what) {
    if (text == "Error") {
        failure = libraryFailure(d);
        if (failure == QOLVEN_NO_VALUE) why = what + " holds no valid value";
        return false;
    }
    if (!wholeNumber(text, value)) {
        why = what + " holds no count (" + (text.empty() ? std::string("status unknown") : text) + ")";
        return false;
    }
    return true;
}

// Reads what the load needs from the board.  QOLVEN_OK also when the board
// keeps no usable calibration (then source NONE and the reason); a failed
// exchange gives its code.
int readCalibration(qolven_device *d, qolven_calibration &c) {
    c = qolven_calibration{};
    c.points_in_use = c.decimal_point = c.unit_code = -1;
    Device &o = *d->object;
    void *h = d->handle();
    const unsigned char ch = d->channel;
    o.Get_Version_of_Board(h);
    if (o.boardTypeText == "Error") return libraryFailure(d);
    const int type = o.boardType;
    auto none = [&c](const std::string &why) {
        c.source = QOLVEN_LOAD_NONE;
        c.points = 0;
        copyText(c.why, why);
        return QOLVEN_OK;
    };
    if (!bt::serves(type, bt::kParameters))
        return none("board type " + std::to_string(type) + " keeps no calibration");
    long long value = 0;
    int failure = QOLVEN_OK;
    std::string why;
    if (!number(d, o.Get_Number_of_Loading_Points(h, ch), value, failure, why, "the number of loading points"))
        return failure != QOLVEN_OK && failure != QOLVEN_NO_VALUE ? failure : none(why);
    c.points_in_use = static_cast<int>(value);
    if (number(d, o.Get_Decimal_Point(h, ch), value, failure, why, "the decimal point")) c.decimal_point = int(value);
    else if (failure != QOLVEN_OK && failure != QOLVEN_NO_VALUE) return failure;
    if (number(d, o.Get_Unit_Code(h, ch), value, failure, why, "the unit code")) c.unit_code = int(value);
    else if (failure != QOLVEN_OK && failure != QOLVEN_NO_VALUE) return failure;

    std::vector<LoadPoint> points;
    auto point = [&](const std::string &countText, const std::string &loadText, const std::string &what) {
        long long count = 0, load = 0;
        if (!number(d, countText, count, failure, why, what) || !number(d, loadText, load, failure, why, "the load of " + what))
            return false;
        points.push_back({count, load});
        return true;
    };
    const int tableSize = bt::boardTypeRow(type).lastLoadingPoint + 1;
    if (c.points_in_use >= 2) {
        c.source = QOLVEN_LOAD_TABLE;
        for (int p = 0; p < c.points_in_use && p < tableSize; ++p)
            if (!point(o.Get_Loading_Point(h, p, ch, d->calibrationType), o.Get_Load_of_Loading_Point(h, p, ch),
                       "loading point " + std::to_string(p)))
                return failure != QOLVEN_OK && failure != QOLVEN_NO_VALUE ? failure : none(why);
    } else {
        c.source = QOLVEN_LOAD_OFFSET_FULLSCALE;
        if (!point(o.Get_Offset_Value(h, ch), o.Get_Offset_Load(h, ch), "the offset count") ||
            !point(o.Get_Fullscale_Value(h, ch), o.Get_Fullscale_Load(h, ch), "the full-scale count"))
            return failure != QOLVEN_OK && failure != QOLVEN_NO_VALUE ? failure : none(why);
    }
    std::string problem = checkLoadPoints(points);
    if (!problem.empty()) return none(problem);
    c.points = static_cast<int>(points.size());
    for (size_t i = 0; i < points.size(); ++i) c.counts[i] = points[i].count, c.loads[i] = points[i].load;
    return QOLVEN_OK;
}

} // namespace

int knownCalibration(qolven_device *d, qolven_calibration *&calibration) {
    if (!d->calibrationKnown) {
        int status = readCalibration(d, d->calibration);
        if (status != QOLVEN_OK) return status;
        d->calibrationKnown = true;
    }
    calibration = &d->calibration;
    return QOLVEN_OK;
}

double sampleLoad(const qolven_device *d, const qolven_calibration &c, int64_t count) {
    double load = 0, zero = 0;
    if (!calibratedLoad(c, count, load)) return NAN;
    if (d->tared && calibratedLoad(c, d->tareCount, zero)) load -= zero;
    return load;
}

} // namespace qolven_acquisition

using namespace qolven_acquisition;

extern "C" {

int qolven_identify(qolven_device *d, struct qolven_board_identity *identity) {
    if (!d || !identity) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        Device &o = *d->object;
        o.Get_Version_of_Board(d->handle());
        if (o.boardTypeText == "Error") return libraryFailure(d);
        *identity = {code(o.boardTypeText), code(o.hardwareVersionText), code(o.firmwareVersionText),
                     code(o.firmwareYearText), code(o.firmwareMonthText)};
        return QOLVEN_OK;
    });
}

int qolven_read_count(qolven_device *d, int64_t *count) {
    if (!d || !count) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        std::string text = d->object->Normal_Data_Request(d->handle(), d->channel);
        d->result = text;
        if (text == "Error") return libraryFailure(d);
        long long value = 0;
        if (!wholeNumber(text, value))
            return refuse(d, QOLVEN_NO_VALUE, text.empty() ? "the board sent a count of unknown status" : text);
        *count = value;
        return QOLVEN_OK;
    });
}

const char *qolven_load_source_name(int source) {
    switch (source) {
    case QOLVEN_LOAD_NONE: return "none";
    case QOLVEN_LOAD_TABLE: return "table";
    case QOLVEN_LOAD_OFFSET_FULLSCALE: return "offset-fullscale";
    default: return "unknown";
    }
}

int qolven_read_calibration(qolven_device *d, struct qolven_calibration *calibration) {
    if (!d || !calibration) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        qolven_calibration *known = nullptr;
        int status = knownCalibration(d, known);
        if (status != QOLVEN_OK) return status;
        *calibration = *known;
        return QOLVEN_OK;
    });
}

int qolven_calibration_load(const struct qolven_calibration *calibration, int64_t count, double *load) {
    if (!calibration || !load) return QOLVEN_INVALID_ARGUMENT;
    return calibratedLoad(*calibration, count, *load) ? QOLVEN_OK : QOLVEN_NO_VALUE;
}

int qolven_format_load(const struct qolven_calibration *calibration, double load, char *text, size_t size) {
    if (!calibration || !text || size == 0) return QOLVEN_INVALID_ARGUMENT;
    std::string shown = loadText(load, calibration->decimal_point);
    if (shown.size() >= size) {
        text[0] = 0;
        return QOLVEN_BUFFER_TOO_SMALL;
    }
    std::snprintf(text, size, "%s", shown.c_str());
    return QOLVEN_OK;
}

int qolven_set_tare(qolven_device *d, int64_t count) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    begin(d);
    d->tared = true;
    d->tareCount = count;
    return QOLVEN_OK;
}

int qolven_clear_tare(qolven_device *d) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    begin(d);
    d->tared = false;
    return QOLVEN_OK;
}

int qolven_get_tare(qolven_device *d, int *active, int64_t *count) {
    if (!d || !active || !count) return QOLVEN_INVALID_ARGUMENT;
    *active = d->tared ? 1 : 0;
    *count = d->tared ? d->tareCount : 0;
    return QOLVEN_OK;
}

int qolven_read(qolven_device *d, struct qolven_reading *reading) {
    if (!d || !reading) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        *reading = qolven_reading{};
        reading->decimal_point = reading->unit_code = -1;
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        std::string text = d->object->Normal_Data_Request(d->handle(), d->channel);
        d->result = text;
        if (text == "Error") {
            int failure = libraryFailure(d);
            if (failure != QOLVEN_NO_VALUE) return failure;
            copyText(reading->why, d->error);
        }
        long long count = 0;
        if (text != "Error" && !wholeNumber(text, count)) {
            copyText(reading->status, text.empty() ? "unknown status" : text);
            copyText(reading->why, "the board sent no count (" + std::string(reading->status) + ")");
        } else if (text != "Error") {
            reading->has_count = 1;
            reading->count = count;
        }
        qolven_calibration *c = nullptr;
        int status = knownCalibration(d, c);
        if (status != QOLVEN_OK) return status;
        reading->decimal_point = c->decimal_point;
        reading->unit_code = c->unit_code;
        reading->tared = d->tared ? 1 : 0;
        if (!reading->has_count) return QOLVEN_OK;
        if (c->source == QOLVEN_LOAD_NONE) {
            copyText(reading->why, c->why);
            return QOLVEN_OK;
        }
        double load = sampleLoad(d, *c, count);
        if (std::isnan(load)) return QOLVEN_OK;
        reading->has_load = 1;
        reading->load = load;
        copyText(reading->load_text, loadText(load, c->decimal_point));
        return QOLVEN_OK;
    });
}

} // extern "C"
