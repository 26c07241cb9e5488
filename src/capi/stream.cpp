// Fast data into caller-provided arrays.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "board/board_types.h"
#include "capi/device.h"

using namespace qolven_capi;
using _QOLVEN_USB_DLL::detail::multiChannel;

namespace {

using Clock = std::chrono::steady_clock;

// Nominal samples per second of the sampling-rate codes.
const double kRates[16] = {2.5, 10, 20, 25, 30, 50, 60, 80, 100, 150, 200, 250, 300, 500, 750, 1000};

int code(const std::string &text) { return text.empty() ? 0 : static_cast<unsigned char>(text[0]); }

// Records are tab-separated (separator choice 1): number, total, [channel,]
// count, three empty fields, date, time, each field ending with a tab.  False
// with the reason when the text is not records of that shape.
template <typename Add>
bool parseRecords(const char *text, bool channelField, Add add, std::string &why) {
    const size_t width = channelField ? 9 : 8, numeric = channelField ? 4 : 3;
    const char *end = text + std::strlen(text);
    long long fields[4] = {};
    size_t field = 0, record = 0;
    const char *start = text;
    while (const char *tab = static_cast<const char *>(std::memchr(start, '\t', static_cast<size_t>(end - start)))) {
        if (field < numeric) {
            auto r = std::from_chars(start, tab, fields[field]);
            if (r.ec != std::errc() || r.ptr != tab || fields[field] < INT32_MIN || fields[field] > INT32_MAX)
                return why = "record " + std::to_string(record + 1) + ": field " + std::to_string(field + 1) +
                             " is not a number", false;
        }
        if (++field == width) {
            if (channelField) add(qolven_device::Sample{int32_t(fields[0]), int32_t(fields[2]), int32_t(fields[3])});
            else add(qolven_device::Sample{int32_t(fields[0]), 0, int32_t(fields[2])});
            field = 0;
            ++record;
        }
        start = tab + 1;
    }
    if (field != 0 || (end > text && end[-1] != '\t'))
        return why = "record " + std::to_string(record + 1) + " is cut off (" + std::to_string(width) +
                     " tab-ended fields each)", false;
    return true;
}

} // namespace

extern "C" {

double qolven_rate_samples_per_second(int rateCode) { return rateCode >= 0 && rateCode < 16 ? kRates[rateCode] : 0; }

int qolven_stream_start(qolven_device *d, int rateCode) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (rateCode < -1 || rateCode > 15)
            return refuse(d, QOLVEN_INVALID_ARGUMENT,
                          "sampling-rate code " + std::to_string(rateCode) + " is outside 0..15 (-1 keeps the board's)");
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        Device &o = *d->object;
        d->stream = qolven_device::Stream();
        o.Get_Version_of_Board(d->handle());
        if (o.boardTypeText == "Error") return libraryFailure(d);
        const int boardType = o.boardType, version = code(o.firmwareVersionText);
        const int lastRate = qolven_board_type_last_rate_code(boardType);
        if (rateCode > lastRate && lastRate >= 0)
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "sampling-rate code " + std::to_string(rateCode) +
                                                          " is outside 0.." + std::to_string(lastRate) +
                                                          " of board type " + std::to_string(boardType));
        if (rateCode >= 0 && o.Set_ADC_Configuration(d->handle(), static_cast<unsigned char>(rateCode), d->channel) == "Error")
            return libraryFailure(d);
        // Read back: the board decides the rate it runs at.
        std::string rate = o.Get_ADC_Sampling_Rate(d->handle(), d->channel);
        if (rate == "Error") return libraryFailure(d);
        if (rateCode >= 0 && rate != std::to_string(rateCode))
            return refuse(d, QOLVEN_ERROR, "the board runs at sampling-rate code " + rate + ", not " +
                                               std::to_string(rateCode));
        d->stream.typeText = std::to_string(boardType);
        d->stream.rateText = rate;
        d->stream.versionText = std::to_string(version);
        d->stream.start = Clock::now();
        d->stream.started = true;
        return QOLVEN_OK;
    });
}

int qolven_stream_read(qolven_device *d, int32_t *numbers, int32_t *channels, int32_t *counts, size_t capacity,
                       size_t *received, double *seconds) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (received) *received = 0;
        if (!received || (capacity > 0 && (!numbers || !channels || !counts)))
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "the sample arrays and the received count must be given");
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        qolven_device::Stream &s = d->stream;
        if (!s.started) return refuse(d, QOLVEN_INVALID_ARGUMENT, "no stream started (qolven_stream_start first)");
        if (s.pending.empty()) {
            Device &o = *d->object;
            std::string text = o.Fast_Data_Request(d->handle(), 1, 0, s.typeText, s.rateText, s.versionText, d->channel);
            s.arrival = std::chrono::duration<double>(Clock::now() - s.start).count();
            if (text == "Error") return libraryFailure(d);
            std::string why;
            auto add = [&s](const qolven_device::Sample &x) { s.pending.push_back(x); };
            if (!parseRecords(text.c_str(), multiChannel(o.boardType), add, why))
                return refuse(d, QOLVEN_INTERNAL, "internal error: fast-data records out of shape: " + why);
        }
        size_t n = 0;
        for (; n < capacity && !s.pending.empty(); ++n) {
            numbers[n] = s.pending.front().number;
            channels[n] = s.pending.front().channel;
            counts[n] = s.pending.front().count;
            s.pending.pop_front();
        }
        *received = n;
        if (seconds) *seconds = s.arrival;
        return QOLVEN_OK;
    });
}

int qolven_fast_records(const char *text, int board_type, int32_t *numbers, int32_t *channels, int32_t *counts,
                        size_t capacity, size_t *count, char *error, size_t size) {
    try {
        std::string why;
        size_t n = 0;
        auto add = [&](const qolven_device::Sample &x) {
            if (n < capacity) numbers[n] = x.number, channels[n] = x.channel, counts[n] = x.count;
            ++n;
        };
        int status = QOLVEN_OK;
        if (!text || !count || (capacity > 0 && (!numbers || !channels || !counts)))
            why = "the text, the arrays and the count must be given", status = QOLVEN_INVALID_ARGUMENT;
        else if (!qolven_board_type_known(board_type))
            why = "board type " + std::to_string(board_type) + " is not known", status = QOLVEN_INVALID_ARGUMENT;
        else if (!parseRecords(text, multiChannel(board_type), add, why))
            status = QOLVEN_INVALID_ARGUMENT;
        else if (n > capacity)
            why = std::to_string(n) + " records do not fit in " + std::to_string(capacity), status = QOLVEN_BUFFER_TOO_SMALL;
        if (count) *count = status == QOLVEN_INVALID_ARGUMENT ? 0 : n;
        giveReason(why, error, size);
        return status;
    } catch (...) {
        return QOLVEN_INTERNAL;
    }
}

} // extern "C"
