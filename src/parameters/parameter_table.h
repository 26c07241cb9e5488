// One row per parameter: where each board class keeps it or which command
// carries it, its width, range and range text, and its offline answer.
#ifndef QOLVEN_PARAMETER_TABLE_H
#define QOLVEN_PARAMETER_TABLE_H

#include "board/parameter_path.h"

namespace _QOLVEN_USB_DLL {
namespace detail {
namespace table {

// display settings
extern const Parameter unitCode, direction, decimalPoint;
// calibration record
extern const Parameter calibrationCode, calibrationDay, calibrationMonth, calibrationYear, calibrationRegister;
// loads and loading points
extern const Parameter offsetLoad, fullscaleLoad, numberOfLoadingPoints, loadingPoint, pointLoad, pointAndLoad;
// sensor bridge
extern const Parameter sensitivity, bridgeResistance, shuntValue;
extern const Parameter shuntResistor, sensorSensitivity, zeroPotentiometer, span1Potentiometer, span2Potentiometer;
// sensor identity
extern const Parameter sensorIdentificationNumber, sensorConfiguration;
// system byte fields
extern const Parameter crossTalk, typeOfCalibration, activeChannels, activePage;
// outputs
extern const Parameter voltageOutput, analogVoltageOutput, excitation, gainSwitch, polarity, outputType,
    pulsesPerRotation, loadSwitch;
// converter
extern const Parameter averageSetting;
// network
extern const Parameter portNumber;

extern const PackedByte bridgeByte, systemByte;

} // namespace table
} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
