#include <cstdlib>
#include <cstring>

#include "core/internal.h"
#include "transport/ftd2xx_api.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

std::string QOLVEN_USB_DLL::Get_Device_Count() {
    clearError(*this);
    if (offline(*this)) return "1";
    adapter.QOLVEN_FT_GetDeviceCount();
    if (adapter.ftStatus != FT_OK) {
        transportFailure(*this, adapter.ftStatus);
        return kError;
    }
    return decimal(adapter.numDevices);
}

std::string QOLVEN_USB_DLL::Get_Device_Serial_Number(void *index) {
    clearError(*this);
    if (offline(*this)) return decimal(offlineSerialNumber);
    adapter.QOLVEN_FT_GetDeviceSerialNumber(index);
    if (adapter.ftStatus != FT_OK) {
        transportFailure(*this, adapter.ftStatus);
        return kError;
    }
    return std::string(adapter.serialNumber, strnlen(adapter.serialNumber, sizeof adapter.serialNumber));
}

void QOLVEN_USB_DLL::Open_Device_Connection(char *serialNumber) {
    if (offline(*this)) {
        if (!offlineHandleBlock) offlineHandleBlock = static_cast<int *>(std::malloc(sizeof(int)));
        if (offlineHandleBlock) *offlineHandleBlock = 123456;
        DeviceHandle = offlineHandleBlock;
        lastStatus = FT_OK;
        return;
    }
    clearError(*this);
    // A longer serial number would be cut to another device's name: refuse it.
    size_t length = serialNumber ? strnlen(serialNumber, sizeof adapter.serialNumber) : 0;
    if (!serialNumber || length >= sizeof adapter.serialNumber) {
        DeviceHandle = nullptr;
        lastStatus = FT_INVALID_PARAMETER;
        setError(*this, ErrorText::InvalidSerialNumber);
        return;
    }
    std::memset(adapter.serialNumber, 0, sizeof adapter.serialNumber);
    std::memcpy(adapter.serialNumber, serialNumber, length);

    adapter.QOLVEN_FT_OpenExBySerialNumber();
    if (adapter.ftStatus == FT_OK) {
        void *opened = adapter.ftHandle;
        adapter.QOLVEN_FT_GetDeviceInfo();
        if (adapter.ftStatus == FT_OK) adapter.QOLVEN_FT_GetStatus();
        if (adapter.ftStatus == FT_OK) adapter.QOLVEN_FT_SetTimeouts(500, 500);
        if (adapter.ftStatus == FT_OK) adapter.QOLVEN_FT_SetUSBParameters(8, 8);
        if (adapter.ftStatus == FT_OK) adapter.QOLVEN_FT_SetLatencyTimer(2);
        if (adapter.ftStatus != FT_OK) {
            // Do not leave a device open that the host has no handle for.
            uint32_t status = adapter.ftStatus;
            adapter.ftHandle = opened;
            adapter.QOLVEN_FT_Close();
            adapter.ftHandle = nullptr;
            adapter.ftStatus = status;
        }
    }
    if (adapter.ftStatus != FT_OK) {
        DeviceHandle = nullptr;
        transportFailure(*this, adapter.ftStatus);
        return;
    }
    DeviceHandle = adapter.ftHandle;
    lastStatus = FT_OK;
}

void QOLVEN_USB_DLL::Close_Device_Connection(void *handle) {
    if (offline(*this)) {
        std::free(offlineHandleBlock);
        offlineHandleBlock = nullptr;
        if (DeviceHandle == handle) DeviceHandle = nullptr;
        lastStatus = FT_OK;
        return;
    }
    clearError(*this);
    adapter.ftHandle = handle;
    adapter.QOLVEN_FT_Close();
    lastStatus = adapter.ftStatus;
    if (lastStatus != FT_OK) GetErrorDescription(lastStatus);
}

} // namespace _QOLVEN_USB_DLL
