#include "QOLVEN_USB_DLL.h"

#include <cstdlib>
#include <cstring>

namespace _QOLVEN_USB_DLL {

namespace {
const int kOfflineDefaults[QOLVEN_USB_DLL::OFFLINE_VALUES] = {
    8386698,  // offset count
    12530488, // full-scale count
    0,        // offset load
    2,        // full-scale load
    1,        // number of loading points
    10458593, // fast-data sample
    7,        // ADC PGA setting
    0,        // ADC sampling rate
    34,       // unit code
    0,        // direction
    2986902,  // shunt value
    0,        // decimal point
    0,        // calibration code
    21,       // calibration day
    7,        // calibration month
    11,       // calibration year
    360,      // pulses per rotation
    0,        // voltage output
    34,       // average setting
    2,        // board type
    1,        // hardware version
    4,        // firmware version
    11,       // firmware year
    1,        // firmware month
    257,      // bytes of additionalPacket cleared before a two-answer exchange
};
} // namespace

// Every field starts defined: the host may read any of them before the first call.
QOLVEN_USB_DLL::QOLVEN_USB_DLL()
    : DeviceHandle(nullptr), lastStatus(0), lastErrorText(), eepromHighByte(0), eepromLowByte(0), offlineMode(0),
      offlineSerialNumber(123456), dataLogRecord(), offlineValues(), requestNumber(0), requestSize(0),
      requestChannel(0), requestCommand(0), endOfPacket(0xAA), expectedNumber(0), expectedSize(0),
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
    static const char *const texts[] = {
        "OK",
        "Invalid Handle",
        "Device Not Found",
        "Device Not Opened",
        "IO Error",
        "Insufficient Resources",
        "Invalid Parameter",
        "Invalid Baud Rate",
        "Device Not Opened For Erase",
        "Device Not Opened For Write",
        "Failed to Write Device",
        "EEPROM Read Failed",
        "EEPROM Write Failed",
        "EEPROM Erased Failed",
        "EEPROM Not Present",
        "EEPROM Not Programmed",
        "Invalid Arguments",
        "Not Supported",
        "Other Errors",
        "Device List Not Ready",
    };
    lastErrorText[0] = 0;
    const char *text = status < sizeof texts / sizeof texts[0] ? texts[status] : "Unknown Error";
    std::strncpy(lastErrorText, text, sizeof lastErrorText - 1);
    lastErrorText[sizeof lastErrorText - 1] = 0;
}

} // namespace _QOLVEN_USB_DLL
