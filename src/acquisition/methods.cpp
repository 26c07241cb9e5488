// Every device method of the library by name: the method table, the generic
// call and the host-visible fields the methods fill.
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/device.h"
#include "acquisition/value_text.h"

using namespace qolven_acquisition;

namespace {

using D = Device;

enum class Kind { Byte, Int, Text };
const char *const kKindNames[] = {"byte", "int", "text"};

// An argument after it was checked: the number, or the text itself.
struct Argument {
    long long integer = 0;
    std::string text;
};

template <typename T> struct KindOf;
template <> struct KindOf<unsigned char> { static constexpr Kind value = Kind::Byte; };
template <> struct KindOf<int> { static constexpr Kind value = Kind::Int; };

template <typename T> T convert(const Argument &a);
template <> unsigned char convert(const Argument &a) { return static_cast<unsigned char>(a.integer); }
template <> int convert(const Argument &a) { return static_cast<int>(a.integer); }

using Invoke = std::string (*)(D &, void *handle, const Argument *);

// Arguments, kinds and the invoker of a method, read off its signature.
template <auto M, typename Signature = decltype(M)> struct Bind;

template <auto M, typename... A> struct Bind<M, std::string (D::*)(void *, A...)> {
    static constexpr bool handle = true;
    static std::vector<Kind> kinds() { return {KindOf<A>::value...}; }
    static std::string call(D &d, void *h, const Argument *a) { return call(d, h, a, std::index_sequence_for<A...>()); }
    template <size_t... I>
    static std::string call(D &d, void *h, const Argument *a, std::index_sequence<I...>) {
        (void)a;
        return (d.*M)(h, convert<A>(a[I])...);
    }
};

template <auto M, typename... A> struct Bind<M, std::string (D::*)(A...)> {
    static constexpr bool handle = false;
    static std::vector<Kind> kinds() { return {KindOf<A>::value...}; }
    static std::string call(D &d, void *, const Argument *a) { return call(d, a, std::index_sequence_for<A...>()); }
    template <size_t... I>
    static std::string call(D &d, const Argument *a, std::index_sequence<I...>) {
        (void)a;
        return (d.*M)(convert<A>(a[I])...);
    }
};

struct Method {
    std::string name;
    const char *result;          // what the result text holds
    bool needsDevice;
    std::vector<std::string> argumentNames;
    std::vector<Kind> kinds;
    Invoke invoke;
};

std::vector<std::string> words(const char *text) {
    std::vector<std::string> list;
    for (const char *p = text; *p;) {
        const char *end = std::strchr(p, ' ');
        if (!end) end = p + std::strlen(p);
        list.emplace_back(p, end);
        p = *end ? end + 1 : end;
    }
    return list;
}

template <auto M>
Method method(const char *name, const char *result, const char *arguments) {
    using B = Bind<M>;
    return {name, result, B::handle, words(arguments), B::kinds(), &B::call};
}

Method custom(const char *name, const char *result, bool needsDevice, const char *arguments,
              std::vector<Kind> kinds, Invoke invoke) {
    return {name, result, needsDevice, words(arguments), std::move(kinds), invoke};
}

// Methods without a text result of their own report through the object.
std::string versionOfBoard(D &d, void *h, const Argument *) {
    d.Get_Version_of_Board(h);
    return d.boardTypeText == "Error" ? "Error" : "0";
}
std::string angleValue(D &d, void *, const Argument *) { return std::to_string(d.Get_Angle_Value()); }
std::string rpmValue(D &d, void *, const Argument *) { return std::to_string(d.Get_RPM_Value()); }
std::string serialNumber(D &d, void *, const Argument *a) {
    return d.Get_Device_Serial_Number(reinterpret_cast<void *>(static_cast<intptr_t>(a[0].integer)));
}
std::string internalRegister(D &d, void *h, const Argument *a) {
    return d.Get_Internal_Register(h, static_cast<int>(a[0].integer));
}
// The board-type and rate texts are numbers: checked as such, so the
// library's conversion never meets a text without one.
std::string fastData(D &d, void *h, const Argument *a) {
    return d.Fast_Data_Request(h, static_cast<int>(a[0].integer), static_cast<int>(a[1].integer),
                               std::to_string(a[2].integer), std::to_string(a[3].integer), a[4].text,
                               static_cast<unsigned char>(a[5].integer));
}

const char *const kAction = "action", *const kNumber = "number", *const kCount = "count", *const kRaw = "raw",
                  *const kRecords = "records", *const kText = "text";

const std::vector<Method> &methods() {
    // clang-format off
    static const std::vector<Method> table = {
        // discovery (Open_Device_Connection and Close_Device_Connection: qolven_call routes them to qolven_open and qolven_close)
        method<&D::Get_Device_Count>("Get_Device_Count", kNumber, ""),
        custom("Get_Device_Serial_Number", kText, false, "index", {Kind::Int}, serialNumber),
        custom("Open_Device_Connection", kAction, false, "serialNumber", {Kind::Text}, nullptr),
        custom("Close_Device_Connection", kAction, false, "", {}, nullptr),
        // raw registers
        method<&D::Read_EEPROM_Register>("Read_EEPROM_Register", kRaw, "address"),
        method<&D::Write_EEPROM_Register>("Write_EEPROM_Register", kAction, "address high low"),
        method<&D::Read_Channel_Register>("Read_Channel_Register", kRaw, "channel address"),
        method<&D::Write_Channel_Register>("Write_Channel_Register", kAction, "channel address value"),
        method<&D::Read_Memory_Register>("Read_Memory_Register", kNumber, "address"),
        method<&D::Write_Memory_Register>("Write_Memory_Register", kAction, "address value"),
        method<&D::Read_TEDS_Register>("Read_TEDS_Register", kNumber, "highAddress lowAddress"),
        method<&D::Write_TEDS_Register>("Write_TEDS_Register", kAction, "highAddress lowAddress value"),
        method<&D::Read_Page_Register>("Read_Page_Register", kAction, "page"),
        // identity and housekeeping
        method<&D::Version_of_Board>("Version_of_Board", kAction, ""),
        custom("Get_Version_of_Board", kAction, true, "", {}, versionOfBoard),
        method<&D::Get_Type_of_Board>("Get_Type_of_Board", kNumber, ""),
        method<&D::Get_Hardware_Version>("Get_Hardware_Version", kNumber, ""),
        method<&D::Get_Firmware_Version>("Get_Firmware_Version", kNumber, ""),
        method<&D::Get_Firmware_Year>("Get_Firmware_Year", kNumber, ""),
        method<&D::Get_Firmware_Month>("Get_Firmware_Month", kNumber, ""),
        method<&D::Slave_Activity_Inquiry>("Slave_Activity_Inquiry", kAction, ""),
        method<&D::Reset_Board>("Reset_Board", kAction, ""),
        // backup and keys
        method<&D::Create_Back_Up>("Create_Back_Up", kAction, "sourcePage destinationPage"),
        method<&D::Restore_Back_Up>("Restore_Back_Up", kAction, "destinationPage sourcePage"),
        method<&D::Change_Battery_Enter>("Change_Battery_Enter", kAction, ""),
        method<&D::Change_Tare_Up>("Change_Tare_Up", kAction, ""),
        method<&D::Change_Display_Back>("Change_Display_Back", kAction, ""),
        method<&D::Change_Reset_Left>("Change_Reset_Left", kAction, ""),
        method<&D::Change_Menu>("Change_Menu", kAction, ""),
        method<&D::Change_Unit_Right>("Change_Unit_Right", kAction, ""),
        method<&D::Change_Shunt_Exit>("Change_Shunt_Exit", kAction, ""),
        method<&D::Change_Hold_Down>("Change_Hold_Down", kAction, ""),
        // count decoding
        method<&D::Calculate_ADC_Value>("Calculate_ADC_Value", kCount, "status high middle low"),
        method<&D::Calculate_PXV_ADC_Value>("Calculate_PXV_ADC_Value", kNumber, "high middle low"),
        method<&D::Calculate_PXV_ADC_Value2>("Calculate_PXV_ADC_Value2", kNumber, "high middle low"),
        method<&D::Calculate_ADC_Value_Fast_Data_Request>("Calculate_ADC_Value_Fast_Data_Request", kNumber, "high middle low"),
        method<&D::Calculate_ADC_Value_Fast_Data_Request2>("Calculate_ADC_Value_Fast_Data_Request2", kNumber, "high middle"),
        // measurement
        method<&D::Normal_Data_Request>("Normal_Data_Request", kCount, "channel"),
        method<&D::Get_Offset_Value>("Get_Offset_Value", kCount, "channel"),
        method<&D::Get_Fullscale_Value>("Get_Fullscale_Value", kCount, "channel"),
        method<&D::Get_Offset_Load>("Get_Offset_Load", kNumber, "channel"),
        method<&D::Get_Fullscale_Load>("Get_Fullscale_Load", kNumber, "channel"),
        custom("Fast_Data_Request", kRecords, true, "separatorChoice slot typeText rateText versionText channel",
               {Kind::Int, Kind::Int, Kind::Int, Kind::Int, Kind::Text, Kind::Byte}, fastData),
        method<&D::Get_Display_Page>("Get_Display_Page", kAction, ""),
        method<&D::Get_Rotation_Values>("Get_Rotation_Values", kAction, ""),
        custom("Get_Angle_Value", kNumber, false, "", {}, angleValue),
        custom("Get_RPM_Value", kNumber, false, "", {}, rpmValue),
        method<&D::Reset_Angle>("Reset_Angle", kAction, "unused"),
        method<&D::Get_Data_Logging>("Get_Data_Logging", kAction, "recordNumber"),
        // calibration record
        method<&D::Set_Calibration_Code>("Set_Calibration_Code", kAction, "value channel"),
        method<&D::Set_Calibration_Day>("Set_Calibration_Day", kAction, "value channel"),
        method<&D::Set_Calibration_Month>("Set_Calibration_Month", kAction, "value channel"),
        method<&D::Set_Calibration_Year>("Set_Calibration_Year", kAction, "value channel"),
        method<&D::Get_Calibration_Code>("Get_Calibration_Code", kNumber, "channel"),
        method<&D::Get_Calibration_Day>("Get_Calibration_Day", kNumber, "channel"),
        method<&D::Get_Calibration_Month>("Get_Calibration_Month", kNumber, "channel"),
        method<&D::Get_Calibration_Year>("Get_Calibration_Year", kNumber, "channel"),
        method<&D::Set_Calibration_Mode>("Set_Calibration_Mode", kAction, "first second channel"),
        method<&D::Set_Calibration_Register>("Set_Calibration_Register", kAction, "register first second channel"),
        // loading points
        method<&D::Set_Number_of_Loading_Points>("Set_Number_of_Loading_Points", kAction, "number channel"),
        method<&D::Get_Number_of_Loading_Points>("Get_Number_of_Loading_Points", kNumber, "channel"),
        method<&D::Set_Loading_Point>("Set_Loading_Point", kAction, "point channel"),
        method<&D::Get_Loading_Point>("Get_Loading_Point", kCount, "point channel typeOfCalibration"),
        method<&D::Set_Load_of_Loading_Point>("Set_Load_of_Loading_Point", kAction, "point load channel"),
        method<&D::Get_Load_of_Loading_Point>("Get_Load_of_Loading_Point", kNumber, "point channel"),
        method<&D::Set_Zero_Correction>("Set_Zero_Correction", kAction, "point count channel typeOfCalibration"),
        // sensor bridge
        method<&D::Set_Sensitivity>("Set_Sensitivity", kAction, "value channel"),
        method<&D::Get_Sensitivity>("Get_Sensitivity", kNumber, "channel"),
        method<&D::Set_Bridge_Resistance>("Set_Bridge_Resistance", kAction, "value channel"),
        method<&D::Get_Bridge_Resistance>("Get_Bridge_Resistance", kNumber, "channel"),
        method<&D::Set_Shunt_Value>("Set_Shunt_Value", kAction, "value channel"),
        method<&D::Get_Shunt_Value>("Get_Shunt_Value", kNumber, "channel"),
        method<&D::Get_Shunt_Resistor>("Get_Shunt_Resistor", kNumber, "channel"),
        method<&D::Get_Sensor_Sensitivity>("Get_Sensor_Sensitivity", kNumber, "channel"),
        method<&D::Get_Zero_Potentiometer>("Get_Zero_Potentiometer", kNumber, "channel"),
        method<&D::Get_Span_1_Potentiometer>("Get_Span_1_Potentiometer", kNumber, "channel"),
        method<&D::Get_Span_2_Potentiometer>("Get_Span_2_Potentiometer", kNumber, "channel"),
        // sensor identity, crosstalk, type of calibration
        method<&D::Set_Sensor_Identification_Number>("Set_Sensor_Identification_Number", kAction, "value channel"),
        method<&D::Get_Sensor_Identification_Number>("Get_Sensor_Identification_Number", kNumber, "channel"),
        method<&D::Set_Sensor_Configuration>("Set_Sensor_Configuration", kAction, "value channel"),
        method<&D::Set_CrossTalk>("Set_CrossTalk", kAction, "value channel"),
        method<&D::Get_CrossTalk>("Get_CrossTalk", kText, "channel"),
        method<&D::Set_Type_of_Calibration>("Set_Type_of_Calibration", kAction, "value channel"),
        method<&D::Get_Type_of_Calibration>("Get_Type_of_Calibration", kNumber, "channel"),
        // display settings
        method<&D::Set_Unit_Code>("Set_Unit_Code", kAction, "value channel"),
        method<&D::Get_Unit_Code>("Get_Unit_Code", kNumber, "channel"),
        method<&D::Set_Decimal_Point>("Set_Decimal_Point", kAction, "value channel"),
        method<&D::Get_Decimal_Point>("Get_Decimal_Point", kNumber, "channel"),
        method<&D::Set_Direction>("Set_Direction", kAction, "value channel"),
        method<&D::Get_Direction>("Get_Direction", kNumber, "channel"),
        // converter
        method<&D::Set_ADC_Configuration>("Set_ADC_Configuration", kAction, "rate channel"),
        method<&D::Set_ADC_Configuration2>("Set_ADC_Configuration2", kAction, "configuration channel"),
        // Reads through DeviceHandle although it takes no handle argument.
        {"Get_ADC_Configuration", kText, true, words("register channel"), {Kind::Byte, Kind::Byte},
         &Bind<&D::Get_ADC_Configuration>::call},
        method<&D::Get_ADC_PGA_Setting>("Get_ADC_PGA_Setting", kNumber, "channel"),
        method<&D::Get_ADC_Sampling_Rate>("Get_ADC_Sampling_Rate", kNumber, "channel"),
        method<&D::Set_Average_Setting>("Set_Average_Setting", kAction, "value channel"),
        method<&D::Get_Average_Setting>("Get_Average_Setting", kNumber, "channel"),
        // active channels, active page, internal registers
        method<&D::Set_Active_Page_Number>("Set_Active_Page_Number", kAction, "value channel"),
        method<&D::Get_Active_Page_Number>("Get_Active_Page_Number", kNumber, "channel"),
        method<&D::Set_Number_of_Active_Channels>("Set_Number_of_Active_Channels", kAction, "value channel"),
        method<&D::Get_Number_of_Active_Channels>("Get_Number_of_Active_Channels", kNumber, "channel"),
        // The method fails without a text for a register outside 0..255: checked here instead.
        custom("Get_Internal_Register", kNumber, true, "register", {Kind::Byte}, internalRegister),
        // outputs, switches, rotation pulses
        method<&D::Set_Voltage_Output>("Set_Voltage_Output", kAction, "value channel"),
        method<&D::Get_Voltage_Output>("Get_Voltage_Output", kNumber, "channel"),
        method<&D::Get_Analog_Voltage_Output>("Get_Analog_Voltage_Output", kNumber, "channel"),
        method<&D::Get_Excitation>("Get_Excitation", kNumber, "channel"),
        method<&D::Get_Gain_Switch>("Get_Gain_Switch", kNumber, "channel"),
        method<&D::Get_Polarity>("Get_Polarity", kNumber, "channel"),
        method<&D::Get_Output_Type>("Get_Output_Type", kNumber, "channel"),
        method<&D::Set_Load_Switch>("Set_Load_Switch", kAction, "value channel"),
        method<&D::Set_Digital_Components>("Set_Digital_Components", kAction, "first second third fourth"),
        method<&D::Set_Pulses_Per_Rotation>("Set_Pulses_Per_Rotation", kAction, "value channel"),
        method<&D::Get_Pulses_Per_Rotation>("Get_Pulses_Per_Rotation", kNumber, "channel"),
        // network settings
        method<&D::Set_Destination_MAC_Address>("Set_Destination_MAC_Address", kAction, "m1 m2 m3 m4 m5 m6 channel"),
        method<&D::Set_Destination_IP_Address>("Set_Destination_IP_Address", kAction, "o1 o2 o3 o4 channel"),
        method<&D::Set_Destination_Port_Number>("Set_Destination_Port_Number", kAction, "port channel"),
        method<&D::Set_Source_IP_Address>("Set_Source_IP_Address", kAction, "o1 o2 o3 o4 channel"),
        method<&D::Set_Source_Port_Number>("Set_Source_Port_Number", kAction, "port channel"),
        method<&D::Get_Destination_MAC_Address>("Get_Destination_MAC_Address", kAction, "channel"),
        method<&D::Get_Destination_IP_Address>("Get_Destination_IP_Address", kAction, "channel"),
        method<&D::Get_Destination_Port_Number>("Get_Destination_Port_Number", kAction, "channel"),
        method<&D::Get_Source_MAC_Address>("Get_Source_MAC_Address", kAction, "channel"),
        method<&D::Get_Source_IP_Address>("Get_Source_IP_Address", kAction, "channel"),
        method<&D::Get_Source_Port_Number>("Get_Source_Port_Number", kAction, "channel"),
    };
    // clang-format on
    return table;
}

const Method *methodAt(int index) {
    const auto &table = methods();
    if (index < 0 || static_cast<size_t>(index) >= table.size()) return nullptr;
    return &table[static_cast<size_t>(index)];
}

// ---- fields the methods fill for the host
struct Field {
    const char *name;
    std::string (*read)(const D &);
};

std::string number(long long value) { return std::to_string(value); }
std::string port(const unsigned char *bytes) { return number(bytes[0] + 256 * bytes[1]); }

const std::vector<Field> &fields() {
    // clang-format off
    static const std::vector<Field> table = {
        {"lastStatus", [](const D &d) { return number(d.lastStatus); }},
        {"lastErrorText", [](const D &d) { return std::string(d.lastErrorText); }},
        {"packetSentText", [](const D &d) { return d.packetSentText; }},
        {"packetReceivedText", [](const D &d) { return d.packetReceivedText; }},
        {"readStatus", [](const D &d) { return d.readStatus; }},
        {"writeStatus", [](const D &d) { return d.writeStatus; }},
        {"fastReadStatus", [](const D &d) { return d.fastReadStatus; }},
        {"offlineMode", [](const D &d) { return number(d.offlineMode); }},
        {"requestNumber", [](const D &d) { return number(d.requestNumber); }},
        {"boardType", [](const D &d) { return number(d.boardType); }},
        {"boardTypeText", [](const D &d) { return d.boardTypeText; }},
        {"hardwareVersionText", [](const D &d) { return d.hardwareVersionText; }},
        {"firmwareVersionText", [](const D &d) { return d.firmwareVersionText; }},
        {"firmwareYearText", [](const D &d) { return d.firmwareYearText; }},
        {"firmwareMonthText", [](const D &d) { return d.firmwareMonthText; }},
        {"eepromHighByte", [](const D &d) { return number(d.eepromHighByte); }},
        {"eepromLowByte", [](const D &d) { return number(d.eepromLowByte); }},
        {"pgaSetting", [](const D &d) { return number(d.pgaSetting); }},
        {"samplingRateCode", [](const D &d) { return number(d.samplingRateCode); }},
        {"displayPageText", [](const D &d) { return d.displayPageText; }},
        {"displayLine1", [](const D &d) { return d.displayLine1; }},
        {"displayLine2", [](const D &d) { return d.displayLine2; }},
        {"displayLine3", [](const D &d) { return d.displayLine3; }},
        {"displayLine4", [](const D &d) { return d.displayLine4; }},
        {"dataLogRecord", [](const D &d) {
            std::string text;
            for (int value : d.dataLogRecord) text += (text.empty() ? "" : ",") + number(value);
            return text;
        }},
        {"angleValue", [](const D &d) { return number(d.angleValue); }},
        {"rpmValue", [](const D &d) { return number(d.rpmValue); }},
        {"lastSampleNumber", [](const D &d) { return number(d.lastSampleNumber); }},
        {"dateText", [](const D &d) { return d.dateText; }},
        {"timeText", [](const D &d) { return d.timeText; }},
        {"dateTimeText", [](const D &d) { return d.dateTimeText; }},
        {"destinationMacAddress", [](const D &d) { return formatMac(d.networkSettings.destinationMacAddress); }},
        {"destinationIpAddress", [](const D &d) { return formatIp(d.networkSettings.destinationIpAddress); }},
        {"destinationPortNumber", [](const D &d) { return port(d.networkSettings.destinationPortNumber); }},
        {"sourceMacAddress", [](const D &d) { return formatMac(d.networkSettings.sourceMacAddress); }},
        {"sourceIpAddress", [](const D &d) { return formatIp(d.networkSettings.sourceIpAddress); }},
        {"sourcePortNumber", [](const D &d) { return port(d.networkSettings.sourcePortNumber); }},
    };
    // clang-format on
    return table;
}

// Checks the argument texts against the kinds; the refusal names the argument.
bool checkArguments(qolven_device *d, const Method &m, const char *const *texts, int count,
                    std::vector<Argument> &arguments) {
    if (count != static_cast<int>(m.kinds.size()) || (count > 0 && !texts)) {
        refuse(d, QOLVEN_INVALID_ARGUMENT, m.name + " takes " + std::to_string(m.kinds.size()) + " argument" +
                                               (m.kinds.size() == 1 ? "" : "s") + ", not " + std::to_string(count));
        return false;
    }
    arguments.assign(static_cast<size_t>(count), Argument());
    for (size_t i = 0; i < m.kinds.size(); ++i) {
        const char *text = texts[i];
        Argument &a = arguments[i];
        std::string why;
        bool ok = text != nullptr;
        if (!ok) why = "is missing";
        else if (m.kinds[i] == Kind::Text) a.text = text;
        else if (m.kinds[i] == Kind::Byte) ok = parseInteger(text, 0, 255, a.integer, why);
        else ok = parseInteger(text, INT32_MIN, INT32_MAX, a.integer, why);
        if (!ok) {
            refuse(d, QOLVEN_INVALID_ARGUMENT, m.name + ": " + m.argumentNames[i] + " " + why);
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" {

int qolven_method_count(void) { return static_cast<int>(methods().size()); }

int qolven_method_find(const char *name) {
    if (!name) return -1;
    const auto &table = methods();
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i].name == name) return static_cast<int>(i);
    return -1;
}

const char *qolven_method_name(int index) {
    const Method *m = methodAt(index);
    return m ? m->name.c_str() : nullptr;
}

const char *qolven_method_result(int index) {
    const Method *m = methodAt(index);
    return m ? m->result : nullptr;
}

int qolven_method_needs_device(int index) {
    const Method *m = methodAt(index);
    return m && m->needsDevice ? 1 : 0;
}

int qolven_method_argument_count(int index) {
    const Method *m = methodAt(index);
    return m ? static_cast<int>(m->kinds.size()) : -1;
}

const char *qolven_method_argument_name(int index, int argument) {
    const Method *m = methodAt(index);
    if (!m || argument < 0 || static_cast<size_t>(argument) >= m->argumentNames.size()) return nullptr;
    return m->argumentNames[static_cast<size_t>(argument)].c_str();
}

const char *qolven_method_argument_kind(int index, int argument) {
    const Method *m = methodAt(index);
    if (!m || argument < 0 || static_cast<size_t>(argument) >= m->kinds.size()) return nullptr;
    return kKindNames[static_cast<int>(m->kinds[static_cast<size_t>(argument)])];
}

int qolven_call(qolven_device *d, const char *name, const char *const *texts, int count, char *result,
                size_t size, size_t *length) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        int index = qolven_method_find(name);
        if (index < 0)
            return refuse(d, QOLVEN_UNKNOWN_NAME, "unknown method \"" + std::string(name ? name : "") + "\"");
        const Method &m = *methodAt(index);
        std::vector<Argument> arguments;
        if (!checkArguments(d, m, texts, count, arguments)) return QOLVEN_INVALID_ARGUMENT;
        if (m.name == "Open_Device_Connection" || m.name == "Close_Device_Connection") {
            int status = m.kinds.empty() ? qolven_close(d) : qolven_open(d, arguments[0].text.c_str());
            return give(d, status == QOLVEN_OK ? "0" : "Error", result, size, length, status);
        }
        if (m.needsDevice && !requireOpen(d)) return QOLVEN_NOT_OPEN;
        std::string text = m.invoke(*d->object, d->handle(), arguments.data());
        if (m.name.compare(0, 4, "Get_") != 0 && m.name.compare(0, 5, "Read_") != 0) boardChanged(d);
        int status = text == "Error" ? libraryFailure(d) : QOLVEN_OK;
        return give(d, text, result, size, length, status);
    });
}

int qolven_field_count(void) { return static_cast<int>(fields().size()); }

const char *qolven_field_name(int index) {
    const auto &table = fields();
    if (index < 0 || static_cast<size_t>(index) >= table.size()) return nullptr;
    return table[static_cast<size_t>(index)].name;
}

int qolven_get_field(qolven_device *d, const char *name, char *value, size_t size, size_t *length) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        for (const Field &f : fields())
            if (name && std::strcmp(f.name, name) == 0) return give(d, f.read(*d->object), value, size, length);
        return refuse(d, QOLVEN_UNKNOWN_NAME, "unknown field \"" + std::string(name ? name : "") + "\"");
    });
}

} // extern "C"
