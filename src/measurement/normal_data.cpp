#include "board/board_types.h"
#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// One count per exchange; the commands differ only in their code.
std::string readCount(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, Command c,
                      const std::string &offlineAnswer) {
    clearError(d);
    if (d.offlineMode == 1) return offlineAnswer;
    if (!identify(d, handle)) return kError;
    const bool channels = multiChannel(d.boardType);
    if (!exchange(d, handle, request(c, channels, channel))) return kError;
    const unsigned char *count = d.packetData;
    // The multi-channel board sends the count without its status byte.
    if (channels) return decimal(long(count[1]) * 65536 + long(count[2]) * 256 + count[3]);
    return d.Calculate_ADC_Value(count[0], count[1], count[2], count[3]);
}
} // namespace

std::string QOLVEN_USB_DLL::Normal_Data_Request(void *handle, unsigned char channel) {
    const int offset = offlineValue(*this, Offline::OffsetCount);
    double midpoint = (double(offlineValue(*this, Offline::FullscaleCount)) - offset) * 0.5 + offset;
    return readCount(*this, handle, channel, Command::NormalData, decimal((long long)midpoint));
}

std::string QOLVEN_USB_DLL::Get_Offset_Value(void *handle, unsigned char channel) {
    return readCount(*this, handle, channel, Command::OffsetValue, offlineEntry(*this, Offline::OffsetCount));
}

std::string QOLVEN_USB_DLL::Get_Fullscale_Value(void *handle, unsigned char channel) {
    return readCount(*this, handle, channel, Command::FullscaleValue, offlineEntry(*this, Offline::FullscaleCount));
}

} // namespace _QOLVEN_USB_DLL
