// The D2XX calling convention the provider answers: types, statuses, flags and
// the device-list node, written down here on their own so that a wrong value
// cannot pass by being wrong in the driver library too.
#ifndef QOLVEN_FTDI1_D2XX_TYPES_H
#define QOLVEN_FTDI1_D2XX_TYPES_H

#include <cstdint>

namespace qolven_ftdi1 {

using Status = uint32_t;
using Dword = uint32_t;

enum : Status {
    kOk = 0,
    kInvalidHandle = 1,
    kDeviceNotFound = 2,
    kDeviceNotOpened = 3,
    kIoError = 4,
    kInsufficientResources = 5,
    kInvalidParameter = 6,
    kInvalidArgs = 16,
    kNotSupported = 17,
    kOtherError = 18,
};

enum : Dword {
    kListNumberOnly = 0x80000000u,
    kListByIndex = 0x40000000u,
    kListAll = 0x20000000u,
    kBySerialNumber = 1,
    kByDescription = 2,
    kPurgeReceive = 1,
    kPurgeTransmit = 2,
};

// FT_DEVICE_LIST_INFO_NODE flags.
enum : Dword {
    kNodeOpened = 1,
    kNodeHighSpeed = 2,
};

// FT_DEVICE values of the node's Type and FT_GetDeviceInfo.
enum : Dword {
    kDeviceBm = 0,
    kDeviceAm = 1,
    kDevice100Ax = 2,
    kDeviceUnknown = 3,
    kDevice2232C = 4,
    kDevice232R = 5,
    kDevice2232H = 6,
    kDevice4232H = 7,
    kDevice232H = 8,
    kDeviceXSeries = 9,
};

struct DeviceListNode {
    Dword Flags;
    Dword Type;
    Dword ID;
    Dword LocId;
    char SerialNumber[16];
    char Description[64];
    void *ftHandle;
};
static_assert(sizeof(DeviceListNode) == (sizeof(void *) == 4 ? 100 : 104), "the node as D2XX lays it out");

} // namespace qolven_ftdi1

#endif
