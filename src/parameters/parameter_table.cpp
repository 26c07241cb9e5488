#include "parameters/parameter_table.h"

#include "parameters/parameter_access.h"

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

// The highest sampling-rate code of any board type (four bits of the
// converter byte), and the highest of one type.
constexpr long long kLastRateCode = 15;
long long lastRateCodeOf(int boardType) { return boardTypeRow(boardType).lastRateCode; }
} // namespace

// clang-format off
#define ROW(id, ...) const Parameter id = __VA_ARGS__;
#include "parameters/parameter_rows.def"
#undef ROW

#define ROW(id, ...) &id,
const Parameter *const kRows[] = {
#include "parameters/parameter_rows.def"
};
#undef ROW
const size_t kRowCount = sizeof kRows / sizeof kRows[0];

//                          board types   type 0            type 9            other boards     other byte: type 0        other boards     other byte first
const PackedByte bridgeByte{kParameters, eepromHigh(120),  channelByte(98),  eepromLow(98),   &numberOfLoadingPoints,   nullptr,         true};
const PackedByte systemByte{kSystemByte, kRefused,         channelByte(127), eepromHigh(126), nullptr,                  &voltageOutput,  false};
// clang-format on

} // namespace table
} // namespace detail
} // namespace _QOLVEN_USB_DLL
