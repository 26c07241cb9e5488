// Every device method of the library by name: the method table, the generic
// call and the host-visible fields the methods fill.
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/device.h"
#include "acquisition/named_parameters.h"
#include "acquisition/value_text.h"
#include "core/method_binding.h"

using namespace qolven_acquisition;

namespace {

using D = Device;
using Kind = _QOLVEN_USB_DLL::detail::ArgumentKind;
using _QOLVEN_USB_DLL::detail::Argument;
using _QOLVEN_USB_DLL::detail::Invoke;
using _QOLVEN_USB_DLL::detail::MethodBinding;
const char *const kKindNames[] = {"byte", "int", "text"};

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

Method method(const MethodBinding &b) {
    return {b.name, b.result, b.needsDevice, words(b.arguments), std::vector<Kind>(b.kinds, b.kinds + b.count), b.invoke};
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
// Reads through DeviceHandle although it takes no handle argument.
std::string adcConfiguration(D &d, void *, const Argument *a) {
    return d.Get_ADC_Configuration(static_cast<unsigned char>(a[0].integer), static_cast<unsigned char>(a[1].integer));
}

const char *const kAction = "action", *const kNumber = "number", *const kCount = "count", *const kRaw = "raw",
                  *const kRecords = "records", *const kText = "text";

// The methods that no parameter row names; the rows' readers and writers follow them.
const std::vector<Method> &methods() {
    // clang-format off
    static const std::vector<Method> table = [] {
        std::vector<Method> list = {
        // discovery (Open_Device_Connection and Close_Device_Connection: qolven_call routes them to qolven_open and qolven_close)
        method(QOLVEN_BIND(Get_Device_Count, kNumber, "")),
        custom("Get_Device_Serial_Number", kText, false, "index", {Kind::Int}, serialNumber),
        custom("Open_Device_Connection", kAction, false, "serialNumber", {Kind::Text}, nullptr),
        custom("Close_Device_Connection", kAction, false, "", {}, nullptr),
        // raw registers
        method(QOLVEN_BIND(Read_EEPROM_Register, kRaw, "address")),
        method(QOLVEN_BIND(Write_EEPROM_Register, kAction, "address high low")),
        method(QOLVEN_BIND(Read_Channel_Register, kRaw, "channel address")),
        method(QOLVEN_BIND(Write_Channel_Register, kAction, "channel address value")),
        method(QOLVEN_BIND(Read_Memory_Register, kNumber, "address")),
        method(QOLVEN_BIND(Write_Memory_Register, kAction, "address value")),
        method(QOLVEN_BIND(Read_TEDS_Register, kNumber, "highAddress lowAddress")),
        method(QOLVEN_BIND(Write_TEDS_Register, kAction, "highAddress lowAddress value")),
        method(QOLVEN_BIND(Read_Page_Register, kAction, "page")),
        // identity and housekeeping
        method(QOLVEN_BIND(Version_of_Board, kAction, "")),
        custom("Get_Version_of_Board", kAction, true, "", {}, versionOfBoard),
        method(QOLVEN_BIND(Get_Type_of_Board, kNumber, "")),
        method(QOLVEN_BIND(Get_Hardware_Version, kNumber, "")),
        method(QOLVEN_BIND(Get_Firmware_Version, kNumber, "")),
        method(QOLVEN_BIND(Get_Firmware_Year, kNumber, "")),
        method(QOLVEN_BIND(Get_Firmware_Month, kNumber, "")),
        method(QOLVEN_BIND(Slave_Activity_Inquiry, kAction, "")),
        method(QOLVEN_BIND(Reset_Board, kAction, "")),
        // backup and keys
        method(QOLVEN_BIND(Create_Back_Up, kAction, "sourcePage destinationPage")),
        method(QOLVEN_BIND(Restore_Back_Up, kAction, "destinationPage sourcePage")),
        method(QOLVEN_BIND(Change_Battery_Enter, kAction, "")),
        method(QOLVEN_BIND(Change_Tare_Up, kAction, "")),
        method(QOLVEN_BIND(Change_Display_Back, kAction, "")),
        method(QOLVEN_BIND(Change_Reset_Left, kAction, "")),
        method(QOLVEN_BIND(Change_Menu, kAction, "")),
        method(QOLVEN_BIND(Change_Unit_Right, kAction, "")),
        method(QOLVEN_BIND(Change_Shunt_Exit, kAction, "")),
        method(QOLVEN_BIND(Change_Hold_Down, kAction, "")),
        // count decoding
        method(QOLVEN_BIND(Calculate_ADC_Value, kCount, "status high middle low")),
        method(QOLVEN_BIND(Calculate_PXV_ADC_Value, kNumber, "high middle low")),
        method(QOLVEN_BIND(Calculate_PXV_ADC_Value2, kNumber, "high middle low")),
        method(QOLVEN_BIND(Calculate_ADC_Value_Fast_Data_Request, kNumber, "high middle low")),
        method(QOLVEN_BIND(Calculate_ADC_Value_Fast_Data_Request2, kNumber, "high middle")),
        // measurement
        method(QOLVEN_BIND(Normal_Data_Request, kCount, "channel")),
        method(QOLVEN_BIND(Get_Offset_Value, kCount, "channel")),
        method(QOLVEN_BIND(Get_Fullscale_Value, kCount, "channel")),
        custom("Fast_Data_Request", kRecords, true, "separatorChoice slot typeText rateText versionText channel",
               {Kind::Int, Kind::Int, Kind::Int, Kind::Int, Kind::Text, Kind::Byte}, fastData),
        method(QOLVEN_BIND(Get_Display_Page, kAction, "")),
        method(QOLVEN_BIND(Get_Rotation_Values, kAction, "")),
        custom("Get_Angle_Value", kNumber, false, "", {}, angleValue),
        custom("Get_RPM_Value", kNumber, false, "", {}, rpmValue),
        method(QOLVEN_BIND(Reset_Angle, kAction, "unused")),
        method(QOLVEN_BIND(Get_Data_Logging, kAction, "recordNumber")),
        // calibration commands and loading points the rows do not carry
        method(QOLVEN_BIND(Set_Calibration_Mode, kAction, "first second channel")),
        method(QOLVEN_BIND(Set_Calibration_Register, kAction, "register first second channel")),
        method(QOLVEN_BIND(Set_Loading_Point, kAction, "point channel")),
        // converter
        custom("Get_ADC_Configuration", kText, true, "register channel", {Kind::Byte, Kind::Byte}, adcConfiguration),
        // The method fails without a text for a register outside 0..255: checked here instead.
        custom("Get_Internal_Register", kNumber, true, "register", {Kind::Byte}, internalRegister),
        };
        for (const _QOLVEN_USB_DLL::detail::Parameter *p : parameterTable()) {
            if (p->reader.method.name) list.push_back(method(p->reader.method));
            if (p->writer.method.name) list.push_back(method(p->writer.method));
        }
        return list;
    }();
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
