#include "QOLVEN_USB_DLL.h"

#include <cstdlib>
#include <cstring>

#include "core/error_texts.h"
#include "core/offline.h"
#include "protocol/commands.h"

namespace _QOLVEN_USB_DLL {

using namespace detail;

static_assert(sizeof kOfflineDefaults == sizeof(int) * QOLVEN_USB_DLL::OFFLINE_VALUES, "the whole offline table");

// Every field starts defined: the host may read any of them before the first call.
QOLVEN_USB_DLL::QOLVEN_USB_DLL()
    : DeviceHandle(nullptr), lastStatus(0), lastErrorText(), eepromHighByte(0), eepromLowByte(0), offlineMode(0),
      offlineSerialNumber(123456), dataLogRecord(), offlineValues(), requestNumber(0), requestSize(0),
      requestChannel(0), requestCommand(0), endOfPacket(kEndOfPacket), expectedNumber(0), expectedSize(0),
      expectedCommand(0), fragmentFirstSize(0), fragmentRemainder(0), packetData(), pgaSetting(0),
      samplingRateCode(0), boardType(0), registerAddress(0), registerAddress2(0), registerAddress3(0),
      valueHighByte(0), valueMiddleByte(0), valueLowByte(0), counterHighByte(0), counterLowByte(0),
      networkSettings(), additionalPacket(), lastSampleNumber(0), sampleCounters(), sampleNumbers(),
      samplesPerPacket(), sampleCounts(), angleValue(0), rpmValue(0), fragmentBuffer(),
      offlineHandleBlock(nullptr) {
    std::memcpy(offlineValues, kOfflineDefaults, sizeof offlineValues);
}

QOLVEN_USB_DLL::~QOLVEN_USB_DLL() { std::free(offlineHandleBlock); }

void QOLVEN_USB_DLL::GetErrorDescription(unsigned int status) {
    lastErrorText[0] = 0;
    const char *text = status < kStatusTexts ? kStatusText[status] : kUnknownStatusText;
    std::strncpy(lastErrorText, text, sizeof lastErrorText - 1);
    lastErrorText[sizeof lastErrorText - 1] = 0;
}

} // namespace _QOLVEN_USB_DLL
