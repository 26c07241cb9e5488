#include <cstring>

#include "core/internal.h"
#include "transport/ftd2xx_api.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

void QOLVEN_USB_DLL::NextPacketNumber() {
    if (offline(*this)) return;
    // 1..254: 0 marks "nothing sent yet" and a leading 0xFF marks the other framing.
    requestNumber = requestNumber <= 253 ? requestNumber + 1 : 1;
}

void QOLVEN_USB_DLL::WritePacket(signed char layout) {
    if (offline(*this)) return;
    packetSentText.clear();
    writeStatus.clear();
    adapter.QOLVEN_FT_GetStatus();
    if (adapter.ftStatus != FT_OK) {
        transportFailure(*this, adapter.ftStatus);
        return;
    }
    const unsigned header = layout == 1 ? 4 : 3;
    const unsigned minSize = header + 1;
    if ((layout != 0 && layout != 1) || requestSize < minSize || requestSize > minSize + 4) {
        setError(*this, ErrorText::PacketSize);
        return;
    }
    unsigned char *out = adapter.writeBuffer;
    out[0] = requestNumber;
    out[1] = requestSize;
    out[2] = requestCommand;
    if (layout == 1) out[3] = requestChannel;
    std::memcpy(out + header, packetData, requestSize - minSize);
    out[requestSize - 1] = endOfPacket;
    GetPacketSent();
    adapter.QOLVEN_FT_Write(requestSize);
    if (adapter.ftStatus != FT_OK) {
        transportFailure(*this, adapter.ftStatus);
        return;
    }
    lastStatus = FT_OK;
    writeStatus = kFinished;
}

void QOLVEN_USB_DLL::GetPacketSent() {
    if (offline(*this)) return;
    packetSentText = hexText(adapter.writeBuffer, requestSize);
}

} // namespace _QOLVEN_USB_DLL
