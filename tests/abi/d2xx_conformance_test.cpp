// The library declares the FT_* functions it calls itself and never includes
// FTDI's header.  Here, and only here, the two meet: the same function types,
// device-list node, status codes and flags, for the ABI this is compiled for
// (the i386 and x86-64 builds both compile it).  A difference stops the build;
// the run checks that each status of FTDI's list gets its own text.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include <QOLVEN_USB_DLL.h>
#include <qolven_sim.h>

// Our declarations go in under other C names: a mismatch then shows as a
// failed comparison below, not as a clash of two declarations of one function.
#define FT_ListDevices ours_FT_ListDevices
#define FT_OpenEx ours_FT_OpenEx
#define FT_Open ours_FT_Open
#define FT_Close ours_FT_Close
#define FT_GetDeviceInfo ours_FT_GetDeviceInfo
#define FT_CreateDeviceInfoList ours_FT_CreateDeviceInfoList
#define FT_GetDeviceInfoList ours_FT_GetDeviceInfoList
#define FT_GetStatus ours_FT_GetStatus
#define FT_SetTimeouts ours_FT_SetTimeouts
#define FT_SetUSBParameters ours_FT_SetUSBParameters
#define FT_SetLatencyTimer ours_FT_SetLatencyTimer
#define FT_GetLatencyTimer ours_FT_GetLatencyTimer
#define FT_SetVIDPID ours_FT_SetVIDPID
#define FT_GetVIDPID ours_FT_GetVIDPID
#define FT_Read ours_FT_Read
#define FT_Write ours_FT_Write
#define FT_Purge ours_FT_Purge
namespace ours {
#include "transport/ftd2xx_api.h"
}
#undef FT_ListDevices
#undef FT_OpenEx
#undef FT_Open
#undef FT_Close
#undef FT_GetDeviceInfo
#undef FT_CreateDeviceInfoList
#undef FT_GetDeviceInfoList
#undef FT_GetStatus
#undef FT_SetTimeouts
#undef FT_SetUSBParameters
#undef FT_SetLatencyTimer
#undef FT_GetLatencyTimer
#undef FT_SetVIDPID
#undef FT_GetVIDPID
#undef FT_Read
#undef FT_Write
#undef FT_Purge

// FTDI's header makes macros of these names: take our values before it comes.
namespace ours_flags {
constexpr ours::DWORD listNumberOnly = ours::FT_LIST_NUMBER_ONLY;
constexpr ours::DWORD listByIndex = ours::FT_LIST_BY_INDEX;
constexpr ours::DWORD openBySerialNumber = ours::FT_OPEN_BY_SERIAL_NUMBER;
constexpr ours::DWORD openByDescription = ours::FT_OPEN_BY_DESCRIPTION;
constexpr ours::DWORD purgeRx = ours::FT_PURGE_RX;
constexpr ours::DWORD purgeTx = ours::FT_PURGE_TX;
} // namespace ours_flags

// libqolven_ftdi1 writes its own declarations too.
#include "d2xx_types.h"

#include <ftd2xx.h>

namespace {

#define QOLVEN_SAME_TYPE(name) \
    static_assert(std::is_same<ours::name, ::name>::value, #name ": the library's type is not FTDI's");
QOLVEN_SAME_TYPE(FT_HANDLE)
QOLVEN_SAME_TYPE(FT_STATUS)
QOLVEN_SAME_TYPE(DWORD)
#undef QOLVEN_SAME_TYPE

// The bridge library fills an array of nodes the library allocated.
using OurNode = ours::FT_DEVICE_LIST_INFO_NODE;
using TheirNode = ::FT_DEVICE_LIST_INFO_NODE;
static_assert(sizeof(OurNode) == sizeof(TheirNode), "device-list node: size differs from FTDI's");
static_assert(alignof(OurNode) == alignof(TheirNode), "device-list node: alignment differs from FTDI's");
static_assert(sizeof(void *) != 4 || sizeof(OurNode) == 100, "device-list node of a 32-bit process is 100 bytes");
#define QOLVEN_SAME_FIELD(field)                                                                     \
    static_assert(offsetof(OurNode, field) == offsetof(TheirNode, field), "node field " #field ": offset differs"); \
    static_assert(std::is_same<decltype(OurNode::field), decltype(TheirNode::field)>::value,           \
                  "node field " #field ": type differs");
QOLVEN_SAME_FIELD(Flags)
QOLVEN_SAME_FIELD(Type)
QOLVEN_SAME_FIELD(ID)
QOLVEN_SAME_FIELD(LocId)
QOLVEN_SAME_FIELD(SerialNumber)
QOLVEN_SAME_FIELD(Description)
QOLVEN_SAME_FIELD(ftHandle)
#undef QOLVEN_SAME_FIELD

// Our node is a type of its own namespace, compared field by field above:
// in a function type it stands for FTDI's.
template <class T> struct AsFtdi { using type = T; };
template <> struct AsFtdi<OurNode *> { using type = TheirNode *; };
template <class R, class... Args> struct AsFtdi<R(Args...)> {
    using type = typename AsFtdi<R>::type(typename AsFtdi<Args>::type...);
};

#define QOLVEN_SAME_FUNCTION(name)                                                                  \
    static_assert(std::is_same<AsFtdi<decltype(ours::ours_##name)>::type, decltype(::name)>::value, \
                  #name ": the library's declaration differs from FTDI's");
QOLVEN_SAME_FUNCTION(FT_ListDevices)
QOLVEN_SAME_FUNCTION(FT_OpenEx)
QOLVEN_SAME_FUNCTION(FT_Open)
QOLVEN_SAME_FUNCTION(FT_Close)
QOLVEN_SAME_FUNCTION(FT_GetDeviceInfo)
QOLVEN_SAME_FUNCTION(FT_CreateDeviceInfoList)
QOLVEN_SAME_FUNCTION(FT_GetDeviceInfoList)
QOLVEN_SAME_FUNCTION(FT_GetStatus)
QOLVEN_SAME_FUNCTION(FT_SetTimeouts)
QOLVEN_SAME_FUNCTION(FT_SetUSBParameters)
QOLVEN_SAME_FUNCTION(FT_SetLatencyTimer)
QOLVEN_SAME_FUNCTION(FT_GetLatencyTimer)
QOLVEN_SAME_FUNCTION(FT_SetVIDPID)
QOLVEN_SAME_FUNCTION(FT_GetVIDPID)
QOLVEN_SAME_FUNCTION(FT_Read)
QOLVEN_SAME_FUNCTION(FT_Write)
QOLVEN_SAME_FUNCTION(FT_Purge)
#undef QOLVEN_SAME_FUNCTION

// Compared as numbers: the enumerations are distinct types on purpose.
constexpr unsigned long long value(unsigned long long v) { return v; }

static_assert(ours_flags::listNumberOnly == FT_LIST_NUMBER_ONLY, "FT_LIST_NUMBER_ONLY");
static_assert(ours_flags::listByIndex == FT_LIST_BY_INDEX, "FT_LIST_BY_INDEX");
static_assert(ours_flags::openBySerialNumber == FT_OPEN_BY_SERIAL_NUMBER, "FT_OPEN_BY_SERIAL_NUMBER");
static_assert(ours_flags::openByDescription == FT_OPEN_BY_DESCRIPTION, "FT_OPEN_BY_DESCRIPTION");
static_assert(ours_flags::purgeRx == FT_PURGE_RX, "FT_PURGE_RX");
static_assert(ours_flags::purgeTx == FT_PURGE_TX, "FT_PURGE_TX");

// Statuses the library reports without a bridge call, and those the simulated
// bridge answers with (it shares no header with the library).
static_assert(value(ours::FT_OK) == value(::FT_OK), "FT_OK");
static_assert(value(ours::FT_INSUFFICIENT_RESOURCES) == value(::FT_INSUFFICIENT_RESOURCES), "FT_INSUFFICIENT_RESOURCES");
static_assert(value(ours::FT_INVALID_PARAMETER) == value(::FT_INVALID_PARAMETER), "FT_INVALID_PARAMETER");
static_assert(value(qolven_sim::FT_OK_) == value(::FT_OK), "simulated FT_OK");
static_assert(value(qolven_sim::FT_INVALID_HANDLE_) == value(::FT_INVALID_HANDLE), "simulated FT_INVALID_HANDLE");
static_assert(value(qolven_sim::FT_DEVICE_NOT_FOUND_) == value(::FT_DEVICE_NOT_FOUND), "simulated FT_DEVICE_NOT_FOUND");
static_assert(value(qolven_sim::FT_DEVICE_NOT_OPENED_) == value(::FT_DEVICE_NOT_OPENED), "simulated FT_DEVICE_NOT_OPENED");
static_assert(value(qolven_sim::FT_IO_ERROR_) == value(::FT_IO_ERROR), "simulated FT_IO_ERROR");
static_assert(value(qolven_sim::FT_INSUFFICIENT_RESOURCES_) == value(::FT_INSUFFICIENT_RESOURCES),
              "simulated FT_INSUFFICIENT_RESOURCES");
static_assert(value(qolven_sim::FT_INVALID_PARAMETER_) == value(::FT_INVALID_PARAMETER), "simulated FT_INVALID_PARAMETER");

// libqolven_ftdi1's node, statuses and flags.
using ProviderNode = qolven_ftdi1::DeviceListNode;
static_assert(sizeof(ProviderNode) == sizeof(TheirNode), "provider's node: size differs from FTDI's");
static_assert(alignof(ProviderNode) == alignof(TheirNode), "provider's node: alignment differs from FTDI's");
#define QOLVEN_PROVIDER_FIELD(field)                                                                        \
    static_assert(offsetof(ProviderNode, field) == offsetof(TheirNode, field), "provider's " #field ": offset"); \
    static_assert(sizeof(ProviderNode::field) == sizeof(TheirNode::field), "provider's " #field ": size");
QOLVEN_PROVIDER_FIELD(Flags)
QOLVEN_PROVIDER_FIELD(Type)
QOLVEN_PROVIDER_FIELD(ID)
QOLVEN_PROVIDER_FIELD(LocId)
QOLVEN_PROVIDER_FIELD(SerialNumber)
QOLVEN_PROVIDER_FIELD(Description)
QOLVEN_PROVIDER_FIELD(ftHandle)
#undef QOLVEN_PROVIDER_FIELD
#define QOLVEN_PROVIDER_VALUE(ours, theirs) static_assert(value(qolven_ftdi1::ours) == value(theirs), #theirs);
QOLVEN_PROVIDER_VALUE(kOk, ::FT_OK)
QOLVEN_PROVIDER_VALUE(kInvalidHandle, ::FT_INVALID_HANDLE)
QOLVEN_PROVIDER_VALUE(kDeviceNotFound, ::FT_DEVICE_NOT_FOUND)
QOLVEN_PROVIDER_VALUE(kDeviceNotOpened, ::FT_DEVICE_NOT_OPENED)
QOLVEN_PROVIDER_VALUE(kIoError, ::FT_IO_ERROR)
QOLVEN_PROVIDER_VALUE(kInsufficientResources, ::FT_INSUFFICIENT_RESOURCES)
QOLVEN_PROVIDER_VALUE(kInvalidParameter, ::FT_INVALID_PARAMETER)
QOLVEN_PROVIDER_VALUE(kInvalidArgs, ::FT_INVALID_ARGS)
QOLVEN_PROVIDER_VALUE(kNotSupported, ::FT_NOT_SUPPORTED)
QOLVEN_PROVIDER_VALUE(kOtherError, ::FT_OTHER_ERROR)
QOLVEN_PROVIDER_VALUE(kListNumberOnly, FT_LIST_NUMBER_ONLY)
QOLVEN_PROVIDER_VALUE(kListByIndex, FT_LIST_BY_INDEX)
QOLVEN_PROVIDER_VALUE(kListAll, FT_LIST_ALL)
QOLVEN_PROVIDER_VALUE(kBySerialNumber, FT_OPEN_BY_SERIAL_NUMBER)
QOLVEN_PROVIDER_VALUE(kByDescription, FT_OPEN_BY_DESCRIPTION)
QOLVEN_PROVIDER_VALUE(kPurgeReceive, FT_PURGE_RX)
QOLVEN_PROVIDER_VALUE(kPurgeTransmit, FT_PURGE_TX)
QOLVEN_PROVIDER_VALUE(kNodeOpened, FT_FLAGS_OPENED)
QOLVEN_PROVIDER_VALUE(kNodeHighSpeed, FT_FLAGS_HISPEED)
QOLVEN_PROVIDER_VALUE(kDeviceBm, ::FT_DEVICE_BM)
QOLVEN_PROVIDER_VALUE(kDeviceAm, ::FT_DEVICE_AM)
QOLVEN_PROVIDER_VALUE(kDevice100Ax, ::FT_DEVICE_100AX)
QOLVEN_PROVIDER_VALUE(kDeviceUnknown, ::FT_DEVICE_UNKNOWN)
QOLVEN_PROVIDER_VALUE(kDevice2232C, ::FT_DEVICE_2232C)
QOLVEN_PROVIDER_VALUE(kDevice232R, ::FT_DEVICE_232R)
QOLVEN_PROVIDER_VALUE(kDevice2232H, ::FT_DEVICE_2232H)
QOLVEN_PROVIDER_VALUE(kDevice4232H, ::FT_DEVICE_4232H)
QOLVEN_PROVIDER_VALUE(kDevice232H, ::FT_DEVICE_232H)
QOLVEN_PROVIDER_VALUE(kDeviceXSeries, ::FT_DEVICE_X_SERIES)
#undef QOLVEN_PROVIDER_VALUE

// Every status of FTDI's list, by FTDI's name, and the text the library gives it.
struct StatusText {
    FT_STATUS status;
    const char *name;
    const char *text;
};
#define QOLVEN_STATUS(name, text) StatusText{::name, #name, text}
const StatusText kStatusTexts[] = {
    QOLVEN_STATUS(FT_OK, "OK"),
    QOLVEN_STATUS(FT_INVALID_HANDLE, "Invalid Handle"),
    QOLVEN_STATUS(FT_DEVICE_NOT_FOUND, "Device Not Found"),
    QOLVEN_STATUS(FT_DEVICE_NOT_OPENED, "Device Not Opened"),
    QOLVEN_STATUS(FT_IO_ERROR, "IO Error"),
    QOLVEN_STATUS(FT_INSUFFICIENT_RESOURCES, "Insufficient Resources"),
    QOLVEN_STATUS(FT_INVALID_PARAMETER, "Invalid Parameter"),
    QOLVEN_STATUS(FT_INVALID_BAUD_RATE, "Invalid Baud Rate"),
    QOLVEN_STATUS(FT_DEVICE_NOT_OPENED_FOR_ERASE, "Device Not Opened For Erase"),
    QOLVEN_STATUS(FT_DEVICE_NOT_OPENED_FOR_WRITE, "Device Not Opened For Write"),
    QOLVEN_STATUS(FT_FAILED_TO_WRITE_DEVICE, "Failed to Write Device"),
    QOLVEN_STATUS(FT_EEPROM_READ_FAILED, "EEPROM Read Failed"),
    QOLVEN_STATUS(FT_EEPROM_WRITE_FAILED, "EEPROM Write Failed"),
    QOLVEN_STATUS(FT_EEPROM_ERASE_FAILED, "EEPROM Erased Failed"),
    QOLVEN_STATUS(FT_EEPROM_NOT_PRESENT, "EEPROM Not Present"),
    QOLVEN_STATUS(FT_EEPROM_NOT_PROGRAMMED, "EEPROM Not Programmed"),
    QOLVEN_STATUS(FT_INVALID_ARGS, "Invalid Arguments"),
    QOLVEN_STATUS(FT_NOT_SUPPORTED, "Not Supported"),
    QOLVEN_STATUS(FT_OTHER_ERROR, "Other Errors"),
    QOLVEN_STATUS(FT_DEVICE_LIST_NOT_READY, "Device List Not Ready"),
};
#undef QOLVEN_STATUS

TEST(D2xxConformance, EveryStatusOfFtdisListGetsTheTextOfItsName) {
    auto device = std::make_unique<_QOLVEN_USB_DLL::QOLVEN_USB_DLL>();
    for (const StatusText &entry : kStatusTexts) {
        device->GetErrorDescription(entry.status);
        EXPECT_STREQ(device->lastErrorText, entry.text) << entry.name << " = " << entry.status;
    }
    // A status FTDI's list does not have must not borrow the text of one it has.
    device->GetErrorDescription(::FT_DEVICE_LIST_NOT_READY + 1);
    for (const StatusText &entry : kStatusTexts) EXPECT_STRNE(device->lastErrorText, entry.text);
}

} // namespace
