// The records Fast_Data_Request answers, split into numbers.
#ifndef QOLVEN_ACQUISITION_FAST_RECORDS_H
#define QOLVEN_ACQUISITION_FAST_RECORDS_H

#include <cstdint>
#include <functional>
#include <string>

namespace qolven_acquisition {

struct FastRecord {
    int32_t number, channel, count;
};

// Records are tab-separated (separator choice 1): number, total, [channel,]
// count, three empty fields, date, time, each field ending with a tab.
// False with the reason when the text is not records of that shape.
bool parseFastRecords(const char *text, bool channelField, const std::function<void(const FastRecord &)> &add,
                      std::string &why);

} // namespace qolven_acquisition

#endif
