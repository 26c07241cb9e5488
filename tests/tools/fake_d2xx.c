/* A stand-in for FTDI's D2XX library on a machine where it reaches no USB
 * device: every call answers QOLVEN_FAKE_D2XX_STATUS (default 18, "Other
 * Errors", what FTDI's library answers without a USB file system); with 0 it
 * lists the serial numbers of QOLVEN_FAKE_D2XX_SERIALS (comma-separated, none
 * by default).  FT_OpenEx aborts, as FTDI's does in a container, so a program
 * that opens without counting first fails loudly. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

typedef uint32_t DWORD;
typedef uint32_t FT_STATUS;
typedef void *FT_HANDLE;

static FT_STATUS status(void) {
    const char *text = getenv("QOLVEN_FAKE_D2XX_STATUS");
    return text ? (FT_STATUS)atoi(text) : 18;
}

/* The n-th serial number of the list into `out` (16 bytes); the count of them. */
static DWORD serial(DWORD n, char *out) {
    const char *list = getenv("QOLVEN_FAKE_D2XX_SERIALS");
    DWORD index = 0;
    while (list && *list) {
        size_t length = strcspn(list, ",");
        if (index == n && out) {
            memset(out, 0, 16);
            memcpy(out, list, length < 15 ? length : 15);
        }
        ++index;
        list += length + (list[length] == ',');
    }
    return index;
}

FT_STATUS FT_ListDevices(void *arg, void *buffer, DWORD flags) {
    if (status() != 0) return status();
    if (flags == 0x80000000u) { /* FT_LIST_NUMBER_ONLY */
        *(DWORD *)arg = serial(0, NULL);
        return 0;
    }
    DWORD index = (DWORD)(uintptr_t)arg;
    if (index >= serial(0, NULL)) return 2; /* FT_DEVICE_NOT_FOUND */
    serial(index, (char *)buffer);
    return 0;
}
FT_STATUS FT_OpenEx(void *arg, DWORD flags, FT_HANDLE *handle) {
    (void)arg, (void)flags, (void)handle;
    abort();
}
FT_STATUS FT_Open(int index, FT_HANDLE *handle) { (void)index, (void)handle; return status() ? status() : 2; }
FT_STATUS FT_Close(FT_HANDLE h) { (void)h; return status(); }
FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, DWORD *type, DWORD *id, char *serial, char *description, void *d) {
    (void)h, (void)type, (void)id, (void)serial, (void)description, (void)d;
    return status();
}
FT_STATUS FT_CreateDeviceInfoList(DWORD *count) {
    if (status() == 0 && count) *count = 0;
    return status();
}
FT_STATUS FT_GetDeviceInfoList(void *list, DWORD *count) {
    (void)list;
    if (status() == 0 && count) *count = 0;
    return status();
}
FT_STATUS FT_GetStatus(FT_HANDLE h, DWORD *rx, DWORD *tx, DWORD *events) { (void)h, (void)rx, (void)tx, (void)events; return status(); }
FT_STATUS FT_SetTimeouts(FT_HANDLE h, DWORD r, DWORD w) { (void)h, (void)r, (void)w; return status(); }
FT_STATUS FT_SetUSBParameters(FT_HANDLE h, DWORD in, DWORD out) { (void)h, (void)in, (void)out; return status(); }
FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, unsigned char ms) { (void)h, (void)ms; return status(); }
FT_STATUS FT_GetLatencyTimer(FT_HANDLE h, unsigned char *ms) { (void)h, (void)ms; return status(); }
FT_STATUS FT_SetVIDPID(DWORD vid, DWORD pid) { (void)vid, (void)pid; return status(); }
FT_STATUS FT_GetVIDPID(DWORD *vid, DWORD *pid) { (void)vid, (void)pid; return status(); }
FT_STATUS FT_Read(FT_HANDLE h, void *b, DWORD n, DWORD *done) { (void)h, (void)b, (void)n, (void)done; return status(); }
FT_STATUS FT_Write(FT_HANDLE h, void *b, DWORD n, DWORD *done) { (void)h, (void)b, (void)n, (void)done; return status(); }
FT_STATUS FT_Purge(FT_HANDLE h, DWORD mask) { (void)h, (void)mask; return status(); }
