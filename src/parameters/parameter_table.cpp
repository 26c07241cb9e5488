#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
namespace detail {
namespace table {

namespace {
constexpr Format D = Format::Decimal;
constexpr Offline None = Offline::None;
using E = ErrorText;
using O = Offline;

// clang-format off
// Values the board stores itself.
//                                              board types           command                         type 0 answers "0"
constexpr CommandWrite kSetNumberOfPoints       {kStoredSettings,      Command::NumberOfLoadingPoints, false};
constexpr CommandWrite kSetLoadingPoint         {kStoredSettings,      Command::LoadingPoint,          false};
constexpr CommandWrite kSetPointAndLoad         {kStoredSettings,      Command::LoadOfLoadingPoint,    false};
constexpr CommandWrite kSetIdentificationNumber {kStoredSettings,      Command::SensorIdentification,  false};
constexpr CommandWrite kSetSensorConfiguration  {kStoredSettings,      Command::SensorConfiguration,   false};
constexpr CommandWrite kSetAverageSetting       {kStoredSettings,      Command::AverageSetting,        true};
constexpr CommandWrite kSetVoltageOutput        {kVoltageOutput,       Command::VoltageOutput,         false};
constexpr CommandWrite kSetLoadSwitch           {kLoadSwitch,          Command::LoadSwitch,            false};
constexpr CommandWrite kSetCalibrationRegister  {kCalibrationRegister, Command::CalibrationRegister,   false};
} // namespace

// Rows without a register (kRefused everywhere) are only written.
//                                  board types       type 0             type 9             other boards      shift bits  max   range text                        offline             clear  partner     written by
const Parameter unitCode          {kParameters,     eepromLow(126),    channelByte(106),  eepromLow(106),   0, 8,  {255,      E::InvalidUnitCode},                O::UnitCode,        D, false, &direction, nullptr};
const Parameter direction         {kParameters,     eepromHigh(126),   channelByte(108),  eepromLow(108),   0, 8,  {255,      E::InvalidDirection},               O::Direction,       D, false, &unitCode,  nullptr};
const Parameter decimalPoint      {kParameters,     kZero,             channelByte(114),  eepromLow(114),   0, 8,  {255,      E::InvalidDecimalPoint},            O::DecimalPoint,    D, false, nullptr,    nullptr};
const Parameter calibrationCode   {kParameters,     kZero,             channelByte(116),  eepromLow(116),   0, 8,  {255,      E::InvalidCalibrationCode},         O::CalibrationCode, D, false, nullptr,    nullptr};
const Parameter calibrationDay    {kParameters,     kZero,             channelByte(118),  eepromLow(118),   0, 8,  {255,      E::InvalidCalibrationDay},          O::CalibrationDay,  D, false, nullptr,    nullptr};
const Parameter calibrationMonth  {kParameters,     kZero,             channelByte(120),  eepromLow(120),   0, 8,  {255,      E::InvalidCalibrationMonth},        O::CalibrationMonth, D, false, nullptr,   nullptr};
const Parameter calibrationYear   {kParameters,     kZero,             channelByte(122),  eepromLow(122),   0, 8,  {255,      E::InvalidCalibrationYear},         O::CalibrationYear, D, false, nullptr,    nullptr};
// Register and the two data bytes travel as one 24-bit value; every byte is in range.
const Parameter calibrationRegister{0,              kRefused,          kRefused,          kRefused,         0, 24, {0xFFFFFF, E::None},                           None,               D, false, nullptr,    &kSetCalibrationRegister};
const Parameter offsetLoad        {kParameters,     eepromWord(80),    channelWord(64),   eepromWord(64),   0, 16, {65535,    E::None},                           O::OffsetLoad,      D, true,  nullptr,    nullptr};
const Parameter fullscaleLoad     {kParameters,     eepromWord(118),   channelWord(94),   eepromWord(94),   0, 16, {65535,    E::None},                           O::FullscaleLoad,   D, true,  nullptr,    nullptr};
const Parameter numberOfLoadingPoints{kParameters,  eepromLow(120),    channelByte(96),   eepromLow(96),    0, 8,  {255,      E::InvalidNumberOfLoadingPoints},   O::NumberOfLoadingPoints, D, false, nullptr, &kSetNumberOfPoints};
const Parameter loadingPoint      {0,               kRefused,          kRefused,          kRefused,         0, 8,  {255,      E::InvalidLoadingPoint},            None,               D, false, nullptr,    &kSetLoadingPoint};
// The load of one loading point; where it is kept depends on the point.
const Parameter pointLoad         {0,               kRefused,          kRefused,          kRefused,         0, 16, {65535,    E::InvalidLoadValue},               None,               D, false, nullptr,    nullptr};
// Point and load travel as one 24-bit value; both were checked beforehand.
const Parameter pointAndLoad      {0,               kRefused,          kRefused,          kRefused,         0, 24, {0xFFFFFF, E::None},                           None,               D, false, nullptr,    &kSetPointAndLoad};
const Parameter sensitivity       {kParameters,     eepromHigh(120),   channelByte(98),   eepromLow(98),    2, 2,  {3,        E::InvalidSensitivity},             None,               D, false, nullptr,    nullptr};
const Parameter bridgeResistance  {kParameters,     eepromHigh(120),   channelByte(98),   eepromLow(98),    0, 2,  {3,        E::InvalidBridgeResistance},        None,               D, false, nullptr,    nullptr};
// Spread over several registers: see sensor_bridge.cpp.
const Parameter shuntValue        {0,               kRefused,          kRefused,          kRefused,         0, 24, {16777215, E::InvalidShuntValue},              O::ShuntValue,      D, false, nullptr,    nullptr};
const Parameter shuntResistor     {kSensorBlock,    kRefused,          kRefused,          eepromLow(160),   0, 8,  {255,      E::None},                           None,               D, false, nullptr,    nullptr};
const Parameter sensorSensitivity {kSensorBlock,    kRefused,          kRefused,          eepromWord(162),  0, 16, {65535,    E::None},                           None,               D, false, nullptr,    nullptr};
const Parameter zeroPotentiometer {kSensorBlock,    kRefused,          kRefused,          eepromWord(164),  0, 16, {65535,    E::None},                           None,               D, false, nullptr,    nullptr};
const Parameter span1Potentiometer{kSensorBlock,    kRefused,          kRefused,          eepromWord(166),  0, 16, {65535,    E::None},                           None,               D, false, nullptr,    nullptr};
const Parameter span2Potentiometer{kSensorBlock,    kRefused,          kRefused,          eepromWord(168),  0, 16, {65535,    E::None},                           None,               D, false, nullptr,    nullptr};
// Read from several registers: see sensor_identity.cpp.
const Parameter sensorIdentificationNumber{0,       kRefused,          kRefused,          kRefused,         0, 24, {16777215, E::InvalidSerialNumber},            None,               D, false, nullptr,    &kSetIdentificationNumber};
const Parameter sensorConfiguration{0,              kRefused,          kRefused,          kRefused,         0, 8,  {255,      E::InvalidSensorConfiguration},     None,               D, false, nullptr,    &kSetSensorConfiguration};
const Parameter crossTalk         {kSystemByte,     kRefused,          channelByte(127),  eepromHigh(126),  7, 1,  {1,        E::InvalidCrossTalk},               None,               Format::Real, false, nullptr, nullptr};
const Parameter typeOfCalibration {kSystemByte,     kRefused,          channelByte(127),  eepromHigh(126),  6, 1,  {1,        E::InvalidTypeOfCalibration},       None,               D, false, nullptr,    nullptr};
const Parameter activeChannels    {kSystemByte,     kRefused,          channelByte(127),  eepromHigh(126),  4, 2,  {3,        E::InvalidNumberOfActiveChannels},  None,               D, false, nullptr,    nullptr};
const Parameter activePage        {kSystemByte,     kRefused,          channelByte(127),  eepromHigh(126),  0, 3,  {7,        E::InvalidActivePage},              None,               D, false, nullptr,    nullptr};
const Parameter voltageOutput     {kVoltageOutput,  kRefused,          kRefused,          eepromLow(126),   0, 8,  {255,      E::InvalidVoltagePoint},            O::VoltageOutput,   D, false, nullptr,    &kSetVoltageOutput};
const Parameter analogVoltageOutput{kSensorBlock,   kRefused,          kRefused,          eepromLow(154),   0, 8,  {255,      E::None},                           None,               D, false, nullptr,    nullptr};
const Parameter excitation        {kSensorBlock,    kRefused,          kRefused,          eepromLow(152),   0, 8,  {255,      E::None},                           None,               D, false, nullptr,    nullptr};
const Parameter gainSwitch        {kSensorBlock,    kRefused,          kRefused,          eepromLow(156),   0, 8,  {255,      E::None},                           None,               D, false, nullptr,    nullptr};
const Parameter polarity          {kSensorBlock,    kRefused,          kRefused,          eepromLow(158),   0, 8,  {255,      E::None},                           None,               D, false, nullptr,    nullptr};
const Parameter outputType        {kVoltageOutput,  kRefused,          kRefused,          eepromLow(98),    4, 4,  {15,       E::None},                           None,               D, false, nullptr,    nullptr};
const Parameter pulsesPerRotation {kRotation,       kRefused,          kRefused,          eepromWord(124),  0, 16, {65535,    E::InvalidPulsesPerRotation},       O::PulsesPerRotation, D, false, nullptr,  nullptr};
const Parameter loadSwitch        {0,               kRefused,          kRefused,          kRefused,         0, 8,  {255,      E::InvalidSimulatedLoad},           None,               D, false, nullptr,    &kSetLoadSwitch};
const Parameter averageSetting    {kParameters,     kZero,             memoryByte(35),    memoryByte(35),   0, 8,  {255,      E::InvalidAverageSetting},          O::AverageSetting,  D, false, nullptr,    &kSetAverageSetting};
const Parameter portNumber        {0,               kRefused,          kRefused,          kRefused,         0, 16, {65535,    E::InvalidPortNumber},              None,               D, false, nullptr,    nullptr};

//                          board types   type 0            type 9            other boards     other byte: type 0        other boards     other byte first
const PackedByte bridgeByte{kParameters, eepromHigh(120),  channelByte(98),  eepromLow(98),   &numberOfLoadingPoints,   nullptr,         true};
const PackedByte systemByte{kSystemByte, kRefused,         channelByte(127), eepromHigh(126), nullptr,                  &voltageOutput,  false};
// clang-format on

} // namespace table
} // namespace detail
} // namespace _QOLVEN_USB_DLL
