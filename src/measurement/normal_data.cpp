#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// One count per exchange; the commands differ only in their code.
std::string readCount(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, unsigned char plainCommand,
                      const std::string &offlineAnswer) {
    clearError(d);
    if (d.offlineMode == 1) return offlineAnswer;
    if (!identify(d, handle)) return kError;
    if (!exchange(d, handle, boardRequest(d.boardType, plainCommand, channel, {}, 8,
                                          d.boardType == 9 ? plainCommand + 0x10 : plainCommand, 10)))
        return kError;
    const unsigned char *c = d.packetData;
    if (d.boardType == 9) return decimal(long(c[1]) * 65536 + long(c[2]) * 256 + c[3]);
    return d.Calculate_ADC_Value(c[0], c[1], c[2], c[3]);
}
} // namespace

std::string QOLVEN_USB_DLL::Normal_Data_Request(void *handle, unsigned char channel) {
    double midpoint = (double(offlineValues[1]) - offlineValues[0]) * 0.5 + offlineValues[0];
    return readCount(*this, handle, channel, 0x42, decimal((long long)midpoint));
}

std::string QOLVEN_USB_DLL::Get_Offset_Value(void *handle, unsigned char channel) {
    return readCount(*this, handle, channel, 0x40, decimal(offlineValues[0]));
}

std::string QOLVEN_USB_DLL::Get_Fullscale_Value(void *handle, unsigned char channel) {
    return readCount(*this, handle, channel, 0x41, decimal(offlineValues[1]));
}

} // namespace _QOLVEN_USB_DLL
