#include "acquisition/named_parameters.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "acquisition/value_text.h"
#include "parameters/parameter_table.h"

namespace qolven_acquisition {

namespace {

using D = Device;
using _QOLVEN_USB_DLL::NETWORK_SETTINGS;

// ---- board types served: families of the board-type table
namespace bt = _QOLVEN_USB_DLL::detail;
constexpr uint32_t kNone = 0;

// ---- ranges: the library's rows where it has them (so that a front end
// refuses exactly what the method would), the rest written once here
namespace lib = _QOLVEN_USB_DLL::detail::table;
using Row = _QOLVEN_USB_DLL::detail::Parameter;
constexpr long long kByte = 255;
constexpr long long kLowestCount = -16777216, kHighestCount = 16777215;  // a loading point's 24-bit entry
constexpr long long kLastPga = 7;                                        // three bits of the converter byte

long long most(const Row &r) { return r.range.max; }
// The boards a row is written on: its command's, or its register's.
uint32_t written(const Row &r) { return r.write ? r.write->families : r.families; }
// The sampling-rate codes a board type's converter takes, and those of any type.
long long lastRateCode(int boardType) { return bt::boardTypeRow(boardType).lastRateCode; }
long long highestRateCode() {
    long long highest = 0;
    for (const bt::BoardType &type : bt::kBoardTypes) highest = std::max<long long>(highest, type.lastRateCode);
    return highest;
}

// ---- getters and setters by the shape of their method
template <auto M>
std::string byChannel(const Target &t) {
    return (t.d.*M)(t.handle, t.channel);
}

template <auto M>
std::string intValue(const Target &t, const Value &v) {
    return (t.d.*M)(t.handle, static_cast<int>(v.integer), t.channel);
}

template <auto M>
std::string byteValue(const Target &t, const Value &v) {
    return (t.d.*M)(t.handle, static_cast<unsigned char>(v.integer), t.channel);
}

// The network getters fill the object's record and answer "0".
template <auto M, auto Field, std::string (*Format)(const unsigned char *)>
std::string networkRecord(const Target &t) {
    std::string result = (t.d.*M)(t.handle, t.channel);
    return result == "Error" ? result : Format(t.d.networkSettings.*Field);
}

// The port bytes are kept low byte first.
std::string port(const unsigned char *bytes) { return std::to_string(bytes[0] + 256 * bytes[1]); }

template <auto M>
std::string macValue(const Target &t, const Value &v) {
    const unsigned char *m = v.bytes.data();
    return (t.d.*M)(t.handle, m[0], m[1], m[2], m[3], m[4], m[5], t.channel);
}

template <auto M>
std::string ipValue(const Target &t, const Value &v) {
    const unsigned char *o = v.bytes.data();
    return (t.d.*M)(t.handle, o[0], o[1], o[2], o[3], t.channel);
}

std::string getLoadingPoint(const Target &t) {
    return t.d.Get_Loading_Point(t.handle, t.point, t.channel, t.calibrationType);
}

// Without a count the board takes its present reading as the point.
std::string setLoadingPoint(const Target &t, const Value &v) {
    if (!v.given) return t.d.Set_Loading_Point(t.handle, t.point, t.channel);
    return t.d.Set_Zero_Correction(t.handle, t.point, static_cast<int>(v.integer), t.channel, t.calibrationType);
}

std::string getLoadOfPoint(const Target &t) { return t.d.Get_Load_of_Loading_Point(t.handle, t.point, t.channel); }
std::string setLoadOfPoint(const Target &t, const Value &v) {
    return t.d.Set_Load_of_Loading_Point(t.handle, t.point, static_cast<int>(v.integer), t.channel);
}

// The library renders this flag as a real number ("1.000000").
std::string getCrossTalk(const Target &t) {
    std::string text = t.d.Get_CrossTalk(t.handle, t.channel);
    return text == "Error" ? text : std::to_string(static_cast<int>(std::strtod(text.c_str(), nullptr)));
}

// The method takes a fourth byte only to drop it: the board takes three.
std::string setDigitalComponents(const Target &t, const Value &v) {
    return t.d.Set_Digital_Components(t.handle, v.bytes[0], v.bytes[1], v.bytes[2], 0);
}

using N = NETWORK_SETTINGS;
constexpr Kind I = Kind::Integer;

// Built on first use: the library's rows belong to another translation unit.
const std::vector<Parameter> &table() {
    // clang-format off
    static const std::vector<Parameter> rows = {
    // name, getter and setter methods,
    //   kind, indexed, value optional, low, high, get families, set families, high by board type,
    //   get, set, meaning, the library's refusal of a value outside the range
    {"decimal-point", "Get_Decimal_Point", "Set_Decimal_Point",
        I, false, false, 0, most(lib::decimalPoint), lib::decimalPoint.families, written(lib::decimalPoint), nullptr,
        byChannel<&D::Get_Decimal_Point>, intValue<&D::Set_Decimal_Point>, "decimal places shown by the display",
        lib::decimalPoint.range.text},
    {"unit-code", "Get_Unit_Code", "Set_Unit_Code",
        I, false, false, 0, most(lib::unitCode), lib::unitCode.families, written(lib::unitCode), nullptr,
        byChannel<&D::Get_Unit_Code>, intValue<&D::Set_Unit_Code>, "unit shown by the display (the board's code)",
        lib::unitCode.range.text},
    {"direction", "Get_Direction", "Set_Direction",
        I, false, false, 0, most(lib::direction), lib::direction.families, written(lib::direction), nullptr,
        byChannel<&D::Get_Direction>, intValue<&D::Set_Direction>, "sign of the reading (the board's code)",
        lib::direction.range.text},
    {"calibration-code", "Get_Calibration_Code", "Set_Calibration_Code",
        I, false, false, 0, most(lib::calibrationCode), lib::calibrationCode.families, written(lib::calibrationCode), nullptr,
        byChannel<&D::Get_Calibration_Code>, intValue<&D::Set_Calibration_Code>, "calibration code",
        lib::calibrationCode.range.text},
    {"calibration-day", "Get_Calibration_Day", "Set_Calibration_Day",
        I, false, false, 0, most(lib::calibrationDay), lib::calibrationDay.families, written(lib::calibrationDay), nullptr,
        byChannel<&D::Get_Calibration_Day>, intValue<&D::Set_Calibration_Day>, "day of the calibration",
        lib::calibrationDay.range.text},
    {"calibration-month", "Get_Calibration_Month", "Set_Calibration_Month",
        I, false, false, 0, most(lib::calibrationMonth), lib::calibrationMonth.families, written(lib::calibrationMonth), nullptr,
        byChannel<&D::Get_Calibration_Month>, intValue<&D::Set_Calibration_Month>, "month of the calibration",
        lib::calibrationMonth.range.text},
    {"calibration-year", "Get_Calibration_Year", "Set_Calibration_Year",
        I, false, false, 0, most(lib::calibrationYear), lib::calibrationYear.families, written(lib::calibrationYear), nullptr,
        byChannel<&D::Get_Calibration_Year>, intValue<&D::Set_Calibration_Year>, "year of the calibration",
        lib::calibrationYear.range.text},
    {"number-of-loading-points", "Get_Number_of_Loading_Points", "Set_Number_of_Loading_Points",
        I, false, false, 0, most(lib::numberOfLoadingPoints), lib::numberOfLoadingPoints.families,
        written(lib::numberOfLoadingPoints), nullptr,
        byChannel<&D::Get_Number_of_Loading_Points>, intValue<&D::Set_Number_of_Loading_Points>,
        "loading points in use",
        lib::numberOfLoadingPoints.range.text},
    {"loading-point", "Get_Loading_Point", "Set_Zero_Correction",
        Kind::Count, true, true, kLowestCount, kHighestCount, bt::kCalibrationReadable, written(lib::loadingPoint), nullptr,
        getLoadingPoint, setLoadingPoint,
        "converter count of loading point N; `set` without a count captures the present reading"},
    {"load-of-loading-point", "Get_Load_of_Loading_Point", "Set_Load_of_Loading_Point",
        I, true, false, 0, most(lib::pointLoad), bt::kParameters, written(lib::pointAndLoad), nullptr,
        getLoadOfPoint, setLoadOfPoint, "load applied at loading point N",
        lib::pointLoad.range.text},
    {"sensitivity", "Get_Sensitivity", "Set_Sensitivity",
        I, false, false, 0, most(lib::sensitivity), lib::sensitivity.families, lib::bridgeByte.families, nullptr,
        byChannel<&D::Get_Sensitivity>, intValue<&D::Set_Sensitivity>, "sensitivity code of the sensor bridge",
        lib::sensitivity.range.text},
    {"bridge-resistance", "Get_Bridge_Resistance", "Set_Bridge_Resistance",
        I, false, false, 0, most(lib::bridgeResistance), lib::bridgeResistance.families, lib::bridgeByte.families, nullptr,
        byChannel<&D::Get_Bridge_Resistance>, intValue<&D::Set_Bridge_Resistance>, "bridge-resistance code",
        lib::bridgeResistance.range.text},
    {"shunt", "Get_Shunt_Value", "Set_Shunt_Value",
        I, false, false, 0, most(lib::shuntValue), bt::kCalibrationReadable, bt::kParameters, nullptr,
        byChannel<&D::Get_Shunt_Value>, intValue<&D::Set_Shunt_Value>, "shunt value",
        lib::shuntValue.range.text},
    {"shunt-resistor", "Get_Shunt_Resistor", "",
        I, false, false, 0, most(lib::shuntResistor), lib::shuntResistor.families, kNone, nullptr,
        byChannel<&D::Get_Shunt_Resistor>, nullptr, "shunt resistor"},
    {"sensor-sensitivity", "Get_Sensor_Sensitivity", "",
        I, false, false, 0, most(lib::sensorSensitivity), lib::sensorSensitivity.families, kNone, nullptr,
        byChannel<&D::Get_Sensor_Sensitivity>, nullptr, "sensor sensitivity"},
    {"zero-potentiometer", "Get_Zero_Potentiometer", "",
        I, false, false, 0, most(lib::zeroPotentiometer), lib::zeroPotentiometer.families, kNone, nullptr,
        byChannel<&D::Get_Zero_Potentiometer>, nullptr, "zero potentiometer setting"},
    {"span-1-potentiometer", "Get_Span_1_Potentiometer", "",
        I, false, false, 0, most(lib::span1Potentiometer), lib::span1Potentiometer.families, kNone, nullptr,
        byChannel<&D::Get_Span_1_Potentiometer>, nullptr, "span 1 potentiometer setting"},
    {"span-2-potentiometer", "Get_Span_2_Potentiometer", "",
        I, false, false, 0, most(lib::span2Potentiometer), lib::span2Potentiometer.families, kNone, nullptr,
        byChannel<&D::Get_Span_2_Potentiometer>, nullptr, "span 2 potentiometer setting"},
    {"sensor-id", "Get_Sensor_Identification_Number", "Set_Sensor_Identification_Number",
        I, false, false, 0, most(lib::sensorIdentificationNumber), bt::kParameters,
        written(lib::sensorIdentificationNumber), nullptr,
        byChannel<&D::Get_Sensor_Identification_Number>, intValue<&D::Set_Sensor_Identification_Number>,
        "identification number of the sensor",
        lib::sensorIdentificationNumber.range.text},
    {"sensor-configuration", "", "Set_Sensor_Configuration",
        I, false, false, 0, most(lib::sensorConfiguration), kNone, written(lib::sensorConfiguration), nullptr,
        nullptr, intValue<&D::Set_Sensor_Configuration>, "sensor configuration byte (write only)",
        lib::sensorConfiguration.range.text},
    {"crosstalk", "Get_CrossTalk", "Set_CrossTalk",
        I, false, false, 0, most(lib::crossTalk), lib::crossTalk.families, lib::systemByte.families, nullptr,
        getCrossTalk, intValue<&D::Set_CrossTalk>, "crosstalk flag",
        lib::crossTalk.range.text},
    {"type-of-calibration", "Get_Type_of_Calibration", "Set_Type_of_Calibration",
        I, false, false, 0, most(lib::typeOfCalibration), lib::typeOfCalibration.families, lib::systemByte.families, nullptr,
        byChannel<&D::Get_Type_of_Calibration>, intValue<&D::Set_Type_of_Calibration>, "type of calibration",
        lib::typeOfCalibration.range.text},
    {"active-channels", "Get_Number_of_Active_Channels", "Set_Number_of_Active_Channels",
        I, false, false, 0, most(lib::activeChannels), lib::activeChannels.families, lib::systemByte.families, nullptr,
        byChannel<&D::Get_Number_of_Active_Channels>, intValue<&D::Set_Number_of_Active_Channels>,
        "number of active channels",
        lib::activeChannels.range.text},
    {"active-page", "Get_Active_Page_Number", "Set_Active_Page_Number",
        I, false, false, 0, most(lib::activePage), lib::activePage.families, lib::systemByte.families, nullptr,
        byChannel<&D::Get_Active_Page_Number>, intValue<&D::Set_Active_Page_Number>, "active page number",
        lib::activePage.range.text},
    {"pga", "Get_ADC_PGA_Setting", "",
        I, false, false, 0, kLastPga, bt::kParameters, kNone, nullptr, byChannel<&D::Get_ADC_PGA_Setting>, nullptr,
        "converter gain (PGA) setting; set it with adc-configuration"},
    // The converter of some board types stops below rate code 15.
    {"sampling-rate", "Get_ADC_Sampling_Rate", "Set_ADC_Configuration",
        I, false, false, 0, highestRateCode(), bt::kParameters, bt::kParameters, lastRateCode,
        byChannel<&D::Get_ADC_Sampling_Rate>, byteValue<&D::Set_ADC_Configuration>,
        "converter sampling-rate code (the gain is kept)"},
    {"adc-configuration", "", "Set_ADC_Configuration2",
        I, false, false, 0, kByte, kNone, bt::kStoredSettings, nullptr, nullptr, byteValue<&D::Set_ADC_Configuration2>,
        "whole converter byte: 16 x pga + sampling-rate (write only)"},
    {"average", "Get_Average_Setting", "Set_Average_Setting",
        I, false, false, 0, most(lib::averageSetting), lib::averageSetting.families, written(lib::averageSetting), nullptr,
        byChannel<&D::Get_Average_Setting>, intValue<&D::Set_Average_Setting>, "average setting",
        lib::averageSetting.range.text},
    {"voltage-output", "Get_Voltage_Output", "Set_Voltage_Output",
        I, false, false, 0, most(lib::voltageOutput), lib::voltageOutput.families, written(lib::voltageOutput), nullptr,
        byChannel<&D::Get_Voltage_Output>, intValue<&D::Set_Voltage_Output>, "voltage output point",
        lib::voltageOutput.range.text},
    {"analog-voltage-output", "Get_Analog_Voltage_Output", "",
        I, false, false, 0, most(lib::analogVoltageOutput), lib::analogVoltageOutput.families, kNone, nullptr,
        byChannel<&D::Get_Analog_Voltage_Output>, nullptr, "analog voltage output"},
    {"excitation", "Get_Excitation", "",
        I, false, false, 0, most(lib::excitation), lib::excitation.families, kNone, nullptr,
        byChannel<&D::Get_Excitation>, nullptr, "excitation"},
    {"gain-switch", "Get_Gain_Switch", "",
        I, false, false, 0, most(lib::gainSwitch), lib::gainSwitch.families, kNone, nullptr,
        byChannel<&D::Get_Gain_Switch>, nullptr, "gain switch position"},
    {"polarity", "Get_Polarity", "",
        I, false, false, 0, most(lib::polarity), lib::polarity.families, kNone, nullptr,
        byChannel<&D::Get_Polarity>, nullptr, "polarity"},
    {"output-type", "Get_Output_Type", "",
        I, false, false, 0, most(lib::outputType), lib::outputType.families, kNone, nullptr,
        byChannel<&D::Get_Output_Type>, nullptr, "output type"},
    {"load-switch", "", "Set_Load_Switch",
        I, false, false, 0, most(lib::loadSwitch), kNone, written(lib::loadSwitch), nullptr,
        nullptr, intValue<&D::Set_Load_Switch>, "simulated-load switch (write only)",
        lib::loadSwitch.range.text},
    {"digital-components", "", "Set_Digital_Components",
        Kind::Bytes, false, false, 3, 3, kNone, bt::kDigitalComponents, nullptr, nullptr, setDigitalComponents,
        "digital components, three bytes (write only)"},
    {"pulses-per-rotation", "Get_Pulses_Per_Rotation", "Set_Pulses_Per_Rotation",
        I, false, false, 0, most(lib::pulsesPerRotation), lib::pulsesPerRotation.families,
        written(lib::pulsesPerRotation), nullptr,
        byChannel<&D::Get_Pulses_Per_Rotation>, intValue<&D::Set_Pulses_Per_Rotation>,
        "pulses per rotation of the rotation input",
        lib::pulsesPerRotation.range.text},
    {"dest-mac", "Get_Destination_MAC_Address", "Set_Destination_MAC_Address",
        Kind::Mac, false, false, 0, kByte, bt::kNetwork, bt::kNetwork, nullptr,
        networkRecord<&D::Get_Destination_MAC_Address, &N::destinationMacAddress, formatMac>,
        macValue<&D::Set_Destination_MAC_Address>, "MAC address of the peer"},
    {"dest-ip", "Get_Destination_IP_Address", "Set_Destination_IP_Address",
        Kind::Ip, false, false, 0, kByte, bt::kNetwork, bt::kNetwork, nullptr,
        networkRecord<&D::Get_Destination_IP_Address, &N::destinationIpAddress, formatIp>,
        ipValue<&D::Set_Destination_IP_Address>, "IP address of the peer"},
    {"dest-port", "Get_Destination_Port_Number", "Set_Destination_Port_Number",
        I, false, false, 0, most(lib::portNumber), bt::kNetwork, bt::kNetwork, nullptr,
        networkRecord<&D::Get_Destination_Port_Number, &N::destinationPortNumber, port>,
        intValue<&D::Set_Destination_Port_Number>, "port of the peer",
        lib::portNumber.range.text},
    {"source-mac", "Get_Source_MAC_Address", "",
        Kind::Mac, false, false, 0, kByte, bt::kNetwork, kNone, nullptr,
        networkRecord<&D::Get_Source_MAC_Address, &N::sourceMacAddress, formatMac>, nullptr,
        "MAC address of the board (read only)"},
    {"source-ip", "Get_Source_IP_Address", "Set_Source_IP_Address",
        Kind::Ip, false, false, 0, kByte, bt::kNetwork, bt::kNetwork, nullptr,
        networkRecord<&D::Get_Source_IP_Address, &N::sourceIpAddress, formatIp>,
        ipValue<&D::Set_Source_IP_Address>, "IP address of the board"},
    {"source-port", "Get_Source_Port_Number", "Set_Source_Port_Number",
        I, false, false, 0, most(lib::portNumber), bt::kNetwork, bt::kNetwork, nullptr,
        networkRecord<&D::Get_Source_Port_Number, &N::sourcePortNumber, port>,
        intValue<&D::Set_Source_Port_Number>, "port of the board",
        lib::portNumber.range.text},
    {"offset-load", "Get_Offset_Load", "",
        I, false, false, 0, most(lib::offsetLoad), lib::offsetLoad.families, kNone, nullptr,
        byChannel<&D::Get_Offset_Load>, nullptr, "load at the offset count"},
    {"fullscale-load", "Get_Fullscale_Load", "",
        I, false, false, 0, most(lib::fullscaleLoad), lib::fullscaleLoad.families, kNone, nullptr,
        byChannel<&D::Get_Fullscale_Load>, nullptr, "load at the full-scale count"},
    };
    // clang-format on
    return rows;
}

} // namespace

const std::vector<Parameter> &parameterTable() { return table(); }

const Parameter *findParameter(const char *name) {
    if (!name) return nullptr;
    for (const Parameter &p : table())
        if (std::strcmp(p.name, name) == 0) return &p;
    return nullptr;
}

bool loadingPoints(int boardType, int &first, int &last) {
    if (boardType < 0 || boardType > bt::kLastBoardType) return false;
    first = 0;
    last = bt::boardTypeRow(boardType).lastLoadingPoint;
    return true;
}

std::string valueSyntax(const Parameter &p) {
    switch (p.kind) {
    case Kind::Integer: return rangeText(p.low, p.high);
    case Kind::Count: return std::string(p.optionalValue ? "[" : "") + "count " + rangeText(p.low, p.high) +
                             (p.optionalValue ? "]" : "");
    case Kind::Mac: return "xx:xx:xx:xx:xx:xx";
    case Kind::Ip: return "a.b.c.d";
    case Kind::Bytes: {
        std::string text;
        for (long long i = 0; i < p.high; ++i) text += (i ? "," : "") + std::string(1, char('A' + i));
        return text;
    }
    }
    return "";
}

bool parseValue(const Parameter &p, const char *text, Value &value, std::string &why, bool *outside) {
    value = Value();
    if (!text || !*text) {
        if (p.optionalValue) return true;
        why = "needs a value (" + valueSyntax(p) + ")";
        return false;
    }
    value.given = true;
    bool ok = false;
    switch (p.kind) {
    case Kind::Integer:
    case Kind::Count: ok = parseInteger(text, p.low, p.high, value.integer, why, outside); break;
    case Kind::Mac: ok = parseBytes(text, ':', 6, 16, value.bytes, why); break;
    case Kind::Ip: ok = parseBytes(text, '.', 4, 10, value.bytes, why); break;
    case Kind::Bytes: ok = parseBytes(text, ',', static_cast<size_t>(p.high), 10, value.bytes, why); break;
    }
    if (!ok) why = "value " + why;
    return ok;
}

} // namespace qolven_acquisition
