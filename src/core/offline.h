// The entries of offlineValues, the table that answers for the device in
// offline mode, by name and in their order.
#ifndef QOLVEN_OFFLINE_H
#define QOLVEN_OFFLINE_H

#include <cstddef>
#include <cstdint>

namespace _QOLVEN_USB_DLL {
namespace detail {

enum class Offline : uint8_t {
    OffsetCount,
    FullscaleCount,
    OffsetLoad,
    FullscaleLoad,
    NumberOfLoadingPoints,
    FastSample,
    PgaSetting,
    SamplingRate,
    UnitCode,
    Direction,
    ShuntValue,
    DecimalPoint,
    CalibrationCode,
    CalibrationDay,
    CalibrationMonth,
    CalibrationYear,
    PulsesPerRotation,
    VoltageOutput,
    AverageSetting,
    BoardType,
    HardwareVersion,
    FirmwareVersion,
    FirmwareYear,
    FirmwareMonth,
    SecondAnswerClear,  // bytes of additionalPacket cleared before a second answer is awaited
    Count,
    None = Count  // a value without an entry: answered "0"
};

// What a new object holds, in the order above.
constexpr int kOfflineDefaults[] = {
    8386698, 12530488, 0, 2, 1, 10458593, 7, 0, 34, 0, 2986902, 0, 0,
    21, 7, 11, 360, 0, 34, 2, 1, 4, 11, 1, 257,
};
static_assert(sizeof kOfflineDefaults / sizeof(int) == size_t(Offline::Count), "one default per entry");

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
