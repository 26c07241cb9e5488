#include <charconv>
#include <ctime>

#include "measurement/fast_data.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

int fastSampleWidth(int boardType, unsigned char rateCode) {
    const BoardType &row = boardTypeRow(boardType);
    if (row.fastWidth == 0) return 0;
    return rateCode <= row.lastFullRate ? row.fastWidth : row.fastWidth - 1;
}

void takeTimeStamp(QOLVEN_USB_DLL &d) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[80];
    const std::string *formats[] = {&d.dateFormat, &d.timeFormat, &d.dateTimeFormat};
    std::string *results[] = {&d.dateText, &d.timeText, &d.dateTimeText};
    for (int i = 0; i < 3; ++i) {
        size_t length = std::strftime(text, sizeof text, formats[i]->c_str(), &local);
        results[i]->assign(text, length);
    }
}

RecordWriter::RecordWriter(QOLVEN_USB_DLL &d, char separator, int slot, int records)
    : d_(d), sep_(separator), slot_(slot) {
    // The three empty fields, then date and time.
    tail_.append(3, sep_);
    tail_ += d_.dateText;
    tail_ += sep_;
    tail_ += d_.timeText;
    tail_ += sep_;
    text_.reserve(size_t(records) * (4 * 12 + tail_.size()));
}

// One record: the numeric fields, each followed by the separator, then the
// common tail.  Formatted on the stack and appended in two pieces.
void RecordWriter::record(std::initializer_list<long long> fields) {
    char line[4 * 24];
    char *end = line;
    for (long long value : fields) {
        end = std::to_chars(end, line + sizeof line - 1, value).ptr;
        *end++ = sep_;
    }
    text_.append(line, size_t(end - line));
    text_ += tail_;
}

int RecordWriter::nextNumber(int channel) {
    d_.lastSampleNumber = d_.sampleCounters[slot_][channel]++;
    return d_.lastSampleNumber;
}

void RecordWriter::store(int channel, int position, int number, int total, int count) {
    d_.sampleNumbers[slot_][channel][position] = number;
    d_.samplesPerPacket[slot_][channel][position] = total;
    d_.sampleCounts[slot_][channel][position] = count;
    d_.sampleTimes[slot_][channel][position] = d_.dateTimeText;
}

void RecordWriter::sample(int channel, bool channelField, int position, int total, int count) {
    // A channel the tables have no room for gets no running number (-1)
    // and no entry, nor does a position past their end; the host still
    // sees the sample in the text.
    int number = -1;
    if (channel >= 0 && channel < QOLVEN_USB_DLL::CHANNELS) {
        number = nextNumber(channel);
        if (position < QOLVEN_USB_DLL::POSITIONS) store(channel, position, number, total, count);
    }
    if (channelField) record({number, total, channel, count});
    else record({number, total, count});
}

void RecordWriter::offline() {
    const int value = offlineValue(d_, Offline::FastSample);
    const int number = nextNumber(0);
    store(0, 0, number, 1, value);
    record({number, 1, value});
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
