#include "acquisition/fast_records.h"

#include <charconv>
#include <cstring>

#include "acquisition/device.h"
#include "board/board_types.h"

namespace qolven_acquisition {

bool parseFastRecords(const char *text, bool channelField, const std::function<void(const FastRecord &)> &add,
                      std::string &why) {
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
            if (channelField) add(FastRecord{int32_t(fields[0]), int32_t(fields[2]), int32_t(fields[3])});
            else add(FastRecord{int32_t(fields[0]), 0, int32_t(fields[2])});
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

} // namespace qolven_acquisition

using namespace qolven_acquisition;

extern "C" int qolven_fast_records(const char *text, int board_type, int32_t *numbers, int32_t *channels,
                                   int32_t *counts, size_t capacity, size_t *count, char *error, size_t size) {
    try {
        std::string why;
        size_t n = 0;
        auto add = [&](const FastRecord &x) {
            if (n < capacity) numbers[n] = x.number, channels[n] = x.channel, counts[n] = x.count;
            ++n;
        };
        int status = QOLVEN_OK;
        if (!text || !count || (capacity > 0 && (!numbers || !channels || !counts)))
            why = "the text, the arrays and the count must be given", status = QOLVEN_INVALID_ARGUMENT;
        else if (!qolven_board_type_known(board_type))
            why = "board type " + std::to_string(board_type) + " is not known", status = QOLVEN_INVALID_ARGUMENT;
        else if (!parseFastRecords(text, _QOLVEN_USB_DLL::detail::multiChannel(board_type), add, why))
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
