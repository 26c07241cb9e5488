#include <cstdlib>
#include <cstring>

#include "measurement/fast_data.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {

// Offline pacing: one simulated sample per sampling period of the rate code.
double offlinePause(const std::string &rateText) {
    static const char *const codes[] = {"0", "1", "2",  "3",  "4",  "5",  "6",  "7",
                                        "8", "9", "10", "11", "12", "13", "14", "15"};
    static const double pauses[] = {400, 100, 50, 40, 100.0 / 3, 20, 50.0 / 3, 12.5,
                                    10,  20.0 / 3, 5, 4, 10.0 / 3, 2, 4.0 / 3, 1};
    for (size_t i = 0; i < sizeof codes / sizeof codes[0]; ++i)
        if (rateText == codes[i]) return pauses[i];
    return 0;
}

std::string offlineRecord(QOLVEN_USB_DLL &d, char separator, int slot, const std::string &rateText) {
    takeTimeStamp(d);
    RecordWriter records(d, separator, slot, 1);
    records.offline();
    if (double pause = offlinePause(rateText)) d.Delay2(pause);
    return std::move(records.text());
}

// Count of the sample at `at` and the channel it names (a multi-channel
// board sends the channel byte first): the value of
// Calculate_ADC_Value_Fast_Data_Request (three count bytes) or of its
// 16-bit form, whose missing low byte is taken as 128; computed as a
// number, since the record and the table both want the number.
int decodeSample(QOLVEN_USB_DLL &d, const unsigned char *at, int width, bool channelByte, int &channel) {
    std::memcpy(d.packetData, at, size_t(width));
    const unsigned char *c = d.packetData;
    channel = 0;
    if (channelByte) {
        channel = c[0];
        ++c;
        --width;
    }
    return c[0] * 65536 + c[1] * 256 + (width == 3 ? c[2] : 128);
}

} // namespace

std::string QOLVEN_USB_DLL::Fast_Data_Request(void *handle, int separatorChoice, int slot, std::string typeText,
                                              std::string rateText, std::string versionText, unsigned char channel) {
    const char separator = separatorChoice == 1 ? '\t' : ',';
    // The calendar year (%Y): the week-based year is wrong around New Year.
    dateTimeFormat = "%A, %B %d,%Y,%I:%M:%S %p";
    timeFormat = "%I:%M:%S %p";
    dateFormat = "%A, %B %d,%Y";
    // The slot indexes the tables: nothing outside them is written.
    if (slot < 0 || slot >= SLOTS) return fail(*this, ErrorText::InvalidSlot);
    if (offline(*this)) return offlineRecord(*this, separator, slot, rateText);

    clearError(*this);
    if (!(std::strtod(versionText.c_str(), nullptr) > 3.0)) return fail(*this, ErrorText::InvalidFirmwareVersion);
    if (!serves(boardType, kFastData)) return fail(*this, ErrorText::InvalidTypeOfBoard);
    // Texts without a number throw; converted before anything is stored so
    // that a refused or throwing call leaves the object as it was.
    const int newType = std::stoi(typeText);
    const unsigned char rateCode = (unsigned char)std::stoi(rateText);
    if (!serves(newType, kFastData)) return fail(*this, ErrorText::InvalidTypeOfBoard);
    boardType = newType;
    samplingRateCode = rateCode;

    const bool channels = multiChannel(boardType);
    if (!sendRequest(*this, handle, request(Command::FastData, channels, channel))) return kError;
    Delay2(1.5);
    ReadFastPacket(boardTypeRow(boardType).fastWaitMs);
    if (fastReadStatus != kFinished) return kError;
    takeTimeStamp(*this);
    if (expectedSize == kFastFraming) {
        samplesPerPacket[slot][0][0] = 0;
        return std::string();
    }

    const int width = fastSampleWidth(boardType, samplingRateCode);
    const int total = (expectedSize - kFastFraming) / width;
    RecordWriter records(*this, separator, slot, total);
    for (int j = 0; j < total; ++j) {
        int sampleChannel = 0;
        int count = decodeSample(*this, adapter.readBuffer + 3 + j * width, width, channels, sampleChannel);
        records.sample(sampleChannel, channels, j, total, count);
    }
    std::memset(adapter.readBuffer, 0, 128);
    return std::move(records.text());
}

} // namespace _QOLVEN_USB_DLL
