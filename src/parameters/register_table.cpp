#include "parameters/register_table.h"

namespace _QOLVEN_USB_DLL {
namespace detail {
namespace table {

namespace {
constexpr TypeSet kSystemByteBoards = typeSet({9, 11, 14});
constexpr TypeSet kOutputBoards = typeSet({11, 14});
constexpr TypeSet kType16 = typeSet({16});
constexpr TypeSet kRotationBoards = typeSet({8, 11, 14});
constexpr Format D = Format::Decimal;
} // namespace

// clang-format off
//                                  types               type 0              type 9             other boards         shift bits  max    range text                           offline    clear  partner
const Parameter unitCode          {kParameterBoards,  eepromLow(126),     channelByte(106),  eepromLow(106),      0, 8,  255,      "Invalid Unit Code",                 9,  D, false, &direction};
const Parameter direction         {kParameterBoards,  eepromHigh(126),    channelByte(108),  eepromLow(108),      0, 8,  255,      "Invalid Direction",                 10, D, false, &unitCode};
const Parameter decimalPoint      {kParameterBoards,  kZero,              channelByte(114),  eepromLow(114),      0, 8,  255,      "Invalid Decimal Point",             12, D, false, nullptr};
const Parameter calibrationCode   {kParameterBoards,  kZero,              channelByte(116),  eepromLow(116),      0, 8,  255,      "Invalid Calibration Code",          13, D, false, nullptr};
const Parameter calibrationDay    {kParameterBoards,  kZero,              channelByte(118),  eepromLow(118),      0, 8,  255,      "Invalid Calibration Day",           14, D, false, nullptr};
const Parameter calibrationMonth  {kParameterBoards,  kZero,              channelByte(120),  eepromLow(120),      0, 8,  255,      "Invalid Calibration Month",         15, D, false, nullptr};
const Parameter calibrationYear   {kParameterBoards,  kZero,              channelByte(122),  eepromLow(122),      0, 8,  255,      "Invalid Calibration Year",          16, D, false, nullptr};
const Parameter offsetLoad        {kParameterBoards,  eepromWord(80),     channelWord(64),   eepromWord(64),      0, 16, 65535,    nullptr,                             3,  D, true,  nullptr};
const Parameter fullscaleLoad     {kParameterBoards,  eepromWord(118),    channelWord(94),   eepromWord(94),      0, 16, 65535,    nullptr,                             4,  D, true,  nullptr};
const Parameter numberOfLoadingPoints{kParameterBoards, eepromLow(120),   channelByte(96),   eepromLow(96),       0, 8,  255,      "Invalid Number Of Loading Points",  5,  D, false, nullptr};
const Parameter sensitivity       {kParameterBoards,  eepromHigh(120),    channelByte(98),   eepromLow(98),       2, 2,  3,        "Invalid Sensitivity",               0,  D, false, nullptr};
const Parameter bridgeResistance  {kParameterBoards,  eepromHigh(120),    channelByte(98),   eepromLow(98),       0, 2,  3,        "Invalid Bridge Resistance",         0,  D, false, nullptr};
const Parameter shuntResistor     {kType16,           kRefused,           kRefused,          eepromLow(160),      0, 8,  255,      nullptr,                             0,  D, false, nullptr};
const Parameter sensorSensitivity {kType16,           kRefused,           kRefused,          eepromWord(162),     0, 16, 65535,    nullptr,                             0,  D, false, nullptr};
const Parameter zeroPotentiometer {kType16,           kRefused,           kRefused,          eepromWord(164),     0, 16, 65535,    nullptr,                             0,  D, false, nullptr};
const Parameter span1Potentiometer{kType16,           kRefused,           kRefused,          eepromWord(166),     0, 16, 65535,    nullptr,                             0,  D, false, nullptr};
const Parameter span2Potentiometer{kType16,           kRefused,           kRefused,          eepromWord(168),     0, 16, 65535,    nullptr,                             0,  D, false, nullptr};
const Parameter crossTalk         {kSystemByteBoards, kRefused,           channelByte(127),  eepromHigh(126),     7, 1,  1,        "Invalid CrossTalk",                 0,  Format::Real, false, nullptr};
const Parameter typeOfCalibration {kSystemByteBoards, kRefused,           channelByte(127),  eepromHigh(126),     6, 1,  1,        "Invalid Type Of Calibration",       0,  D, false, nullptr};
const Parameter activeChannels    {kSystemByteBoards, kRefused,           channelByte(127),  eepromHigh(126),     4, 2,  3,        "Invalid Number of Active Channels", 0,  D, false, nullptr};
const Parameter activePage        {kSystemByteBoards, kRefused,           channelByte(127),  eepromHigh(126),     0, 3,  7,        "Invalid Active Page Number",        0,  D, false, nullptr};
const Parameter voltageOutput     {kOutputBoards,     kRefused,           kRefused,          eepromLow(126),      0, 8,  255,      "Invalid Voltage Point",             18, D, false, nullptr};
const Parameter analogVoltageOutput{kType16,          kRefused,           kRefused,          eepromLow(154),      0, 8,  255,      nullptr,                             0,  D, false, nullptr};
const Parameter excitation        {kType16,           kRefused,           kRefused,          eepromLow(152),      0, 8,  255,      nullptr,                             0,  D, false, nullptr};
const Parameter gainSwitch        {kType16,           kRefused,           kRefused,          eepromLow(156),      0, 8,  255,      nullptr,                             0,  D, false, nullptr};
const Parameter polarity          {kType16,           kRefused,           kRefused,          eepromLow(158),      0, 8,  255,      nullptr,                             0,  D, false, nullptr};
const Parameter outputType        {kOutputBoards,     kRefused,           kRefused,          eepromLow(98),       4, 4,  15,       nullptr,                             0,  D, false, nullptr};
const Parameter pulsesPerRotation {kRotationBoards,   kRefused,           kRefused,          eepromWord(124),     0, 16, 65535,    "Invalid Pulses Per Rotation",       17, D, false, nullptr};
const Parameter averageSetting    {kParameterBoards,  kZero,              memoryByte(35),    memoryByte(35),      0, 8,  255,      "Invalid Average Setting",           19, D, false, nullptr};

//                          types               type 0             type 9            other boards      other byte: type 0        other boards     other byte first
const PackedByte bridgeByte{kParameterBoards,  eepromHigh(120),   channelByte(98),  eepromLow(98),    &numberOfLoadingPoints,   nullptr,         true};
const PackedByte systemByte{kSystemByteBoards, kRefused,          channelByte(127), eepromHigh(126),  nullptr,                  &voltageOutput,  false};
// clang-format on

} // namespace table
} // namespace detail
} // namespace _QOLVEN_USB_DLL
