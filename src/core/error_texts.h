// Every text the library leaves in lastErrorText, in one table: the texts
// are part of the interface, so each is written once and named everywhere
// else.
#ifndef QOLVEN_ERROR_TEXTS_H
#define QOLVEN_ERROR_TEXTS_H

#include <cstddef>
#include <cstdint>

namespace _QOLVEN_USB_DLL {
namespace detail {

enum class ErrorText : uint8_t {
    None,  // no failure: the empty text
    // packets
    Timeout,
    PacketNumber,
    PacketSize,
    CommandNumber,
    EndOfPacket,
    EmptyBuffer,
    // board error reports
    Teds,
    Command,
    PacketFrame,
    PacketCommand,
    // board type
    InvalidTypeOfBoard,
    // arguments
    InvalidSourcePage,
    InvalidDestinationPage,
    InvalidActivePage,
    InvalidAverageSetting,
    InvalidBridgeResistance,
    InvalidCalibrationCode,
    InvalidCalibrationDay,
    InvalidCalibrationMonth,
    InvalidCalibrationYear,
    InvalidCrossTalk,
    InvalidDecimalPoint,
    InvalidDirection,
    InvalidLoadValue,
    InvalidLoadingPoint,
    InvalidNumberOfLoadingPoints,
    InvalidNumberOfActiveChannels,
    InvalidPoint,
    InvalidPortNumber,
    InvalidPulsesPerRotation,
    InvalidSamplingRate,
    InvalidSensitivity,
    InvalidSensorConfiguration,
    InvalidSerialNumber,
    InvalidShuntValue,
    InvalidSimulatedLoad,
    InvalidTypeOfCalibration,
    InvalidUnitCode,
    InvalidVoltagePoint,
    InvalidCounter,
    InvalidFirmwareVersion,
    InvalidSlot,
    InvalidZeroCorrection,
    Count
};

const char *errorText(ErrorText text);

// Texts of the D2XX statuses; past the last, kUnknownStatusText.
constexpr uint32_t kStatusTexts = 20;
extern const char *const kStatusText[kStatusTexts];
extern const char *const kUnknownStatusText;

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
