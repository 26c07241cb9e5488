// Every text the library leaves in lastErrorText, in one table: the texts
// are part of the interface, so each is written once and named everywhere
// else.
#ifndef QOLVEN_ERROR_TEXTS_H
#define QOLVEN_ERROR_TEXTS_H

#include <cstddef>
#include <cstdint>

namespace _QOLVEN_USB_DLL {
namespace detail {

// clang-format off
#define QOLVEN_ERROR_TEXTS(X)                                                        \
    X(None, "")  /* no failure */                                                    \
    /* packets */                                                                    \
    X(Timeout, "Timeout Error")                                                      \
    X(PacketNumber, "Packet Number Error")                                           \
    X(PacketSize, "Packet Size Error")                                               \
    X(CommandNumber, "Command Number Error")                                         \
    X(EndOfPacket, "End Of Packet Error")                                            \
    X(EmptyBuffer, "Empty Buffer Error")                                             \
    /* board error reports */                                                        \
    X(Teds, "TEDS Error")                                                            \
    X(Command, "Command Error")                                                      \
    X(PacketFrame, "Packet Frame Error")                                             \
    X(PacketCommand, "Packet Command Error")                                         \
    X(InvalidTypeOfBoard, "Invalid Type of Board")                                   \
    /* arguments */                                                                  \
    X(InvalidSourcePage, "Invalid Source Page Number")                               \
    X(InvalidDestinationPage, "Invalid Destination Page Number")                     \
    X(InvalidActivePage, "Invalid Active Page Number")                               \
    X(InvalidAverageSetting, "Invalid Average Setting")                              \
    X(InvalidBridgeResistance, "Invalid Bridge Resistance")                          \
    X(InvalidCalibrationCode, "Invalid Calibration Code")                            \
    X(InvalidCalibrationDay, "Invalid Calibration Day")                              \
    X(InvalidCalibrationMonth, "Invalid Calibration Month")                          \
    X(InvalidCalibrationYear, "Invalid Calibration Year")                            \
    X(InvalidCrossTalk, "Invalid CrossTalk")                                         \
    X(InvalidDecimalPoint, "Invalid Decimal Point")                                  \
    X(InvalidDirection, "Invalid Direction")                                         \
    X(InvalidLoadValue, "Invalid Load Value")                                        \
    X(InvalidLoadingPoint, "Invalid Loading Point")                                  \
    X(InvalidNumberOfLoadingPoints, "Invalid Number Of Loading Points")              \
    X(InvalidNumberOfActiveChannels, "Invalid Number of Active Channels")            \
    X(InvalidPoint, "Invalid Point")                                                 \
    X(InvalidPortNumber, "Invalid Port Number")                                      \
    X(InvalidPulsesPerRotation, "Invalid Pulses Per Rotation")                       \
    X(InvalidSamplingRate, "Invalid Sampling Rate")                                  \
    X(InvalidSensitivity, "Invalid Sensitivity")                                     \
    X(InvalidSensorConfiguration, "Invalid Sensor Configuration")                    \
    X(InvalidSerialNumber, "Invalid Serial Number")                                  \
    X(InvalidShuntValue, "Invalid Shunt Value")                                      \
    X(InvalidSimulatedLoad, "Invalid Simulated Load")                                \
    X(InvalidTypeOfCalibration, "Invalid Type Of Calibration")                       \
    X(InvalidUnitCode, "Invalid Unit Code")                                          \
    X(InvalidVoltagePoint, "Invalid Voltage Point")                                  \
    X(InvalidCounter, "Invalid Counter")                                             \
    X(InvalidFirmwareVersion, "Invalid Firmware Version")                            \
    X(InvalidSlot, "Invalid Slot")                                                   \
    X(InvalidZeroCorrection, "Invalid Zero Correction")
// clang-format on

#define QOLVEN_ERROR_TEXT_NAME(name, text) name,
enum class ErrorText : uint8_t { QOLVEN_ERROR_TEXTS(QOLVEN_ERROR_TEXT_NAME) Count };
#undef QOLVEN_ERROR_TEXT_NAME

const char *errorText(ErrorText text);

// Texts of the D2XX statuses, by status code; past the last, kUnknownStatusText.
constexpr uint32_t kStatusTexts = 20;
extern const char *const kStatusText[kStatusTexts];
extern const char *const kUnknownStatusText;

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
