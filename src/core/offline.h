// The entries of offlineValues, the table that answers for the device in
// offline mode: each by name, in order, with what a new object holds.
#ifndef QOLVEN_OFFLINE_H
#define QOLVEN_OFFLINE_H

#include <cstddef>
#include <cstdint>

namespace _QOLVEN_USB_DLL {
namespace detail {

// clang-format off
#define QOLVEN_OFFLINE_ENTRIES(X)         \
    X(OffsetCount, 8386698)               \
    X(FullscaleCount, 12530488)           \
    X(OffsetLoad, 0)                      \
    X(FullscaleLoad, 2)                   \
    X(NumberOfLoadingPoints, 1)           \
    X(FastSample, 10458593)               \
    X(PgaSetting, 7)                      \
    X(SamplingRate, 0)                    \
    X(UnitCode, 34)                       \
    X(Direction, 0)                       \
    X(ShuntValue, 2986902)                \
    X(DecimalPoint, 0)                    \
    X(CalibrationCode, 0)                 \
    X(CalibrationDay, 21)                 \
    X(CalibrationMonth, 7)                \
    X(CalibrationYear, 11)                \
    X(PulsesPerRotation, 360)             \
    X(VoltageOutput, 0)                   \
    X(AverageSetting, 34)                 \
    X(BoardType, 2)                       \
    X(HardwareVersion, 1)                 \
    X(FirmwareVersion, 4)                 \
    X(FirmwareYear, 11)                   \
    X(FirmwareMonth, 1)                   \
    /* bytes of additionalPacket cleared before a second answer is awaited */ \
    X(SecondAnswerClear, 257)
// clang-format on

#define QOLVEN_OFFLINE_NAME(name, value) name,
#define QOLVEN_OFFLINE_VALUE(name, value) value,
enum class Offline : uint8_t {
    QOLVEN_OFFLINE_ENTRIES(QOLVEN_OFFLINE_NAME) Count,
    None = Count  // a value without an entry: answered "0"
};
constexpr int kOfflineDefaults[] = {QOLVEN_OFFLINE_ENTRIES(QOLVEN_OFFLINE_VALUE)};
#undef QOLVEN_OFFLINE_NAME
#undef QOLVEN_OFFLINE_VALUE

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
