#include "QOLVEN_FTD2XX.h"

#include <cstdlib>
#include <cstring>

#include "transport/ftd2xx_api.h"
#include "transport/serial_numbers.h"

namespace _QOLVEN_USB_DLL {
using detail::kDeviceStringBytes;
static_assert(sizeof(QOLVEN_FTD2XX::serialNumber) == detail::kOpenableSerialBytes + 1, "serial number field");

QOLVEN_FTD2XX::QOLVEN_FTD2XX()
    : ftDevice(0), ftHandle(nullptr), ftStatus(0), deviceInfoList(nullptr), numDevices(0), serialNumber(),
      description(), readBuffer(), writeBuffer(), vendorId(0x0403), productId(0x6001), rxBytes(0), txBytes(0) {}

QOLVEN_FTD2XX::~QOLVEN_FTD2XX() { std::free(deviceInfoList); }

void QOLVEN_FTD2XX::QOLVEN_FT_SetVIDPID() { ftStatus = FT_SetVIDPID(vendorId, productId); }

void QOLVEN_FTD2XX::QOLVEN_FT_GetVIDPID() {
    DWORD vid = vendorId, pid = productId;
    ftStatus = FT_GetVIDPID(&vid, &pid);
    vendorId = vid;
    productId = pid;
}

void QOLVEN_FTD2XX::QOLVEN_FT_CreateDeviceInfoList() {
    DWORD n = numDevices;
    ftStatus = FT_CreateDeviceInfoList(&n);
    numDevices = n;
}

void QOLVEN_FTD2XX::QOLVEN_FT_GetDeviceInfoList() {
    QOLVEN_FT_CreateDeviceInfoList();
    if (numDevices == 0) return;
    // A new list replaces the previous one; the node size follows the
    // pointer width of this process so the bridge library never writes past it.
    std::free(deviceInfoList);
    deviceInfoList = std::calloc(numDevices, sizeof(FT_DEVICE_LIST_INFO_NODE));
    if (!deviceInfoList) {
        ftStatus = FT_INSUFFICIENT_RESOURCES;
        return;
    }
    DWORD n = numDevices;
    ftStatus = FT_GetDeviceInfoList(static_cast<FT_DEVICE_LIST_INFO_NODE *>(deviceInfoList), &n);
    numDevices = n;
}

void QOLVEN_FTD2XX::QOLVEN_FT_GetDeviceCount() {
    DWORD n = 0;
    ftStatus = FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY);
    numDevices = n;
}

void QOLVEN_FTD2XX::QOLVEN_FT_GetDeviceSerialNumber(void *index) {
    // D2XX writes the whole serial number, which may be longer than the field keeps.
    char work[kDeviceStringBytes] = {};
    ftStatus = FT_ListDevices(index, work, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
    if (ftStatus == FT_OK) {
        std::memset(serialNumber, 0, sizeof serialNumber);
        std::memcpy(serialNumber, work, strnlen(work, detail::kOpenableSerialBytes));
    }
}

void QOLVEN_FTD2XX::QOLVEN_FT_GetDeviceDescription(void *index) {
    char work[kDeviceStringBytes] = {};
    ftStatus = FT_ListDevices(index, work, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    if (ftStatus == FT_OK) {
        work[sizeof work - 1] = 0;
        std::memcpy(description, work, sizeof description);
    }
}

void QOLVEN_FTD2XX::QOLVEN_FT_OpenByIndex(int index) { ftStatus = FT_Open(index, &ftHandle); }

void QOLVEN_FTD2XX::QOLVEN_FT_OpenExBySerialNumber() {
    ftStatus = FT_OpenEx(serialNumber, FT_OPEN_BY_SERIAL_NUMBER, &ftHandle);
}

void QOLVEN_FTD2XX::QOLVEN_FT_OpenExByDescription() {
    ftStatus = FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &ftHandle);
}

void QOLVEN_FTD2XX::QOLVEN_FT_Close() { ftStatus = FT_Close(ftHandle); }

void QOLVEN_FTD2XX::QOLVEN_FT_GetDeviceInfo() {
    DWORD type = 0, id = 0;
    char serial[kDeviceStringBytes] = {};
    char desc[kDeviceStringBytes] = {};
    ftStatus = FT_GetDeviceInfo(ftHandle, &type, &id, serial, desc, nullptr);
    ftDevice = type;
}

void QOLVEN_FTD2XX::QOLVEN_FT_Purge() { ftStatus = FT_Purge(ftHandle, FT_PURGE_RX | FT_PURGE_TX); }

void QOLVEN_FTD2XX::QOLVEN_FT_SetTimeouts(unsigned read, unsigned write) {
    ftStatus = FT_SetTimeouts(ftHandle, read, write);
}

void QOLVEN_FTD2XX::QOLVEN_FT_Read(unsigned count) {
    if (count > sizeof readBuffer) count = sizeof readBuffer;
    DWORD got = 0;
    ftStatus = FT_Read(ftHandle, readBuffer, count, &got);
}

void QOLVEN_FTD2XX::QOLVEN_FT_Write(unsigned count) {
    if (count > sizeof writeBuffer) count = sizeof writeBuffer;
    DWORD written = 0;
    ftStatus = FT_Write(ftHandle, writeBuffer, count, &written);
}

void QOLVEN_FTD2XX::QOLVEN_FT_SetLatencyTimer(unsigned char ms) { ftStatus = FT_SetLatencyTimer(ftHandle, ms); }

void QOLVEN_FTD2XX::QOLVEN_FT_GetLatencyTimer() {
    unsigned char ms = 0;
    ftStatus = FT_GetLatencyTimer(ftHandle, &ms);
}

void QOLVEN_FTD2XX::QOLVEN_FT_SetUSBParameters(unsigned in, unsigned out) {
    ftStatus = FT_SetUSBParameters(ftHandle, in, out);
}

void QOLVEN_FTD2XX::QOLVEN_FT_GetStatus() {
    DWORD rx = 0, tx = 0, events = 0;
    ftStatus = FT_GetStatus(ftHandle, &rx, &tx, &events);
    rxBytes = rx;
    txBytes = tx;
}

} // namespace _QOLVEN_USB_DLL
