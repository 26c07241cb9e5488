// One row per register parameter: where each board class keeps it, its
// width, range and range text, and its offline answer.
#ifndef QOLVEN_REGISTER_TABLE_H
#define QOLVEN_REGISTER_TABLE_H

#include "board/parameter_path.h"

namespace _QOLVEN_USB_DLL {
namespace detail {
namespace table {

// display settings
extern const Parameter unitCode, direction, decimalPoint;
// calibration record
extern const Parameter calibrationCode, calibrationDay, calibrationMonth, calibrationYear;
// loads and loading points
extern const Parameter offsetLoad, fullscaleLoad, numberOfLoadingPoints;
// sensor bridge
extern const Parameter sensitivity, bridgeResistance;
extern const Parameter shuntResistor, sensorSensitivity, zeroPotentiometer, span1Potentiometer, span2Potentiometer;
// system byte fields
extern const Parameter crossTalk, typeOfCalibration, activeChannels, activePage;
// outputs
extern const Parameter voltageOutput, analogVoltageOutput, excitation, gainSwitch, polarity, outputType,
    pulsesPerRotation;
// converter
extern const Parameter averageSetting;

extern const PackedByte bridgeByte, systemByte;

} // namespace table
} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
