// The few functions of the FTDI D2XX bridge library that the adapter calls.
// The library is not linked: the host process supplies it (or the simulated
// bridge stands in for it), so the symbols stay undefined in our .so.
#ifndef QOLVEN_FTD2XX_API_H
#define QOLVEN_FTD2XX_API_H

#include <cstdint>

extern "C" {
typedef void *FT_HANDLE;
typedef uint32_t FT_STATUS;
typedef uint32_t DWORD;

enum : DWORD {
    FT_LIST_NUMBER_ONLY = 0x80000000u,
    FT_LIST_BY_INDEX = 0x40000000u,
    FT_OPEN_BY_SERIAL_NUMBER = 1,
    FT_OPEN_BY_DESCRIPTION = 2,
    FT_PURGE_RX = 1,
    FT_PURGE_TX = 2,
};

// The statuses the library itself looks at or sets (the others only pass
// through to lastStatus).
enum : FT_STATUS {
    FT_OK = 0,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
};

// Device-information node as the bridge library lays it out.
struct FT_DEVICE_LIST_INFO_NODE {
    DWORD Flags;
    DWORD Type;
    DWORD ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

FT_STATUS FT_ListDevices(void *arg1, void *arg2, DWORD flags);
FT_STATUS FT_OpenEx(void *arg, DWORD flags, FT_HANDLE *handle);
FT_STATUS FT_Open(int index, FT_HANDLE *handle);
FT_STATUS FT_Close(FT_HANDLE handle);
FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, DWORD *type, DWORD *id, char *serial, char *description, void *dummy);
FT_STATUS FT_CreateDeviceInfoList(DWORD *count);
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *list, DWORD *count);
FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD *rxBytes, DWORD *txBytes, DWORD *eventStatus);
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, DWORD readMs, DWORD writeMs);
FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, DWORD inSize, DWORD outSize);
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, unsigned char ms);
FT_STATUS FT_GetLatencyTimer(FT_HANDLE handle, unsigned char *ms);
FT_STATUS FT_SetVIDPID(DWORD vid, DWORD pid);
FT_STATUS FT_GetVIDPID(DWORD *vid, DWORD *pid);
FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *returned);
FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, DWORD count, DWORD *written);
FT_STATUS FT_Purge(FT_HANDLE handle, DWORD mask);
}

#endif
