// Pieces of the fast-data stream shared by its reader, its request and its
// records: the sample width of a board, and the record writer.
#ifndef QOLVEN_FAST_DATA_H
#define QOLVEN_FAST_DATA_H

#include <initializer_list>
#include <string>

#include "board/board_types.h"
#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

// Four framing bytes around the samples: number, size, kind ... end byte.
constexpr int kFastFraming = 4;
// The size byte can announce no more than this.
constexpr int kLargestFastPacket = 255;

// Bytes per sample for the board type and rate code; 0 for a type that
// has no fast data.  At the high rate codes the board drops the low count
// byte.
int fastSampleWidth(int boardType, unsigned char rateCode);

// Local date and time of the packet just received into dateText, timeText
// and dateTimeText.
void takeTimeStamp(QOLVEN_USB_DLL &d);

// Writes the records of one call into the result text and the sample table
// of one slot.  The slot must already be checked.
class RecordWriter {
public:
    // Every record of a call ends alike: built once, after the time stamp.
    RecordWriter(QOLVEN_USB_DLL &d, char separator, int slot, int records);
    // One sample of a packet of `total` samples at `position`; the channel
    // field is written for the channel board only.
    void sample(int channel, bool channelField, int position, int total, int count);
    // The one record of an offline call.
    void offline();
    std::string &text() { return text_; }

private:
    int nextNumber(int channel);
    void store(int channel, int position, int number, int total, int count);
    void record(std::initializer_list<long long> fields);
    QOLVEN_USB_DLL &d_;
    char sep_;
    int slot_;
    std::string text_;
    std::string tail_;
};

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
