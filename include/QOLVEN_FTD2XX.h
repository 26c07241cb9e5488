// Thin adapter over the FTDI D2XX bridge library.
//
// Each method makes one D2XX call and keeps its status in ftStatus; it never
// interprets the status.  The D2XX library itself is supplied by the host
// process (or by the simulated bridge); this library only declares the few
// functions it calls.
#ifndef QOLVEN_FTD2XX_H
#define QOLVEN_FTD2XX_H

#include <cstdint>

// The library exports its public classes and functions only.
#ifndef QOLVEN_API
#define QOLVEN_API __attribute__((visibility("default")))
#endif

namespace _QOLVEN_USB_DLL {

class QOLVEN_API QOLVEN_FTD2XX {
public:
    uint32_t ftDevice;
    void *ftHandle;
    uint32_t ftStatus;
    void *deviceInfoList;
    uint32_t numDevices;
    char serialNumber[16];
    char description[64];
    unsigned char readBuffer[1024];
    unsigned char writeBuffer[1024];
    uint32_t vendorId;
    uint32_t productId;
    uint32_t rxBytes;
    uint32_t txBytes;

    QOLVEN_FTD2XX();
    ~QOLVEN_FTD2XX();
    QOLVEN_FTD2XX(const QOLVEN_FTD2XX &) = delete;
    QOLVEN_FTD2XX &operator=(const QOLVEN_FTD2XX &) = delete;

    void QOLVEN_FT_SetVIDPID();
    void QOLVEN_FT_GetVIDPID();
    void QOLVEN_FT_CreateDeviceInfoList();
    void QOLVEN_FT_GetDeviceInfoList();
    void QOLVEN_FT_GetDeviceCount();
    void QOLVEN_FT_GetDeviceSerialNumber(void *index);
    void QOLVEN_FT_GetDeviceDescription(void *index);
    void QOLVEN_FT_OpenByIndex(int index);
    void QOLVEN_FT_OpenExBySerialNumber();
    void QOLVEN_FT_OpenExByDescription();
    void QOLVEN_FT_Close();
    void QOLVEN_FT_GetDeviceInfo();
    void QOLVEN_FT_Purge();
    void QOLVEN_FT_SetTimeouts(unsigned read, unsigned write);
    // Reads at most sizeof(readBuffer) bytes, whatever count asks for.
    void QOLVEN_FT_Read(unsigned count);
    void QOLVEN_FT_Write(unsigned count);
    void QOLVEN_FT_SetLatencyTimer(unsigned char ms);
    void QOLVEN_FT_GetLatencyTimer();
    void QOLVEN_FT_SetUSBParameters(unsigned in, unsigned out);
    void QOLVEN_FT_GetStatus();
};

} // namespace _QOLVEN_USB_DLL

#endif
