// `qolven get` and `qolven set`: every stored parameter by a readable name.
#include "cli.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <sstream>

namespace qolven_tool {
namespace {

using Q = Device;

struct Call {
    void *handle;
    unsigned char channel;
    int point;            // loading-point number of an indexed parameter
    int calibrationType;  // selects the second entry block on channels 3 of type-9 boards
};

using Getter = std::function<std::string(Q &, const Call &)>;
// `value` is empty for a parameter that may be set without one (loading-point).
using Setter = std::function<std::string(Q &, const Call &, const std::string &value)>;

// Board types as a bit set, bit n = type n.
using Types = uint32_t;
constexpr Types types(std::initializer_list<int> codes) {
    Types set = 0;
    for (int code : codes) set |= Types(1) << code;
    return set;
}
constexpr Types kAllTypes = 0x1FFFF;  // 0..16
// Register parameters: everything but the display-only types 5, 10 and 15.
constexpr Types kRegisterTypes = kAllTypes & ~types({5, 10, 15});
// Board commands (the board stores the value itself): everything but 15.
constexpr Types kCommandTypes = kAllTypes & ~types({15});
constexpr Types kSystemByteTypes = types({9, 11, 14});
constexpr Types kType16 = types({16});
constexpr Types kNetworkTypes = types({13});

struct Parameter {
    const char *name;
    bool indexed;  // takes a loading-point number
    Getter get;
    Setter set;
    Types getTypes;
    Types setTypes;
    const char *syntax;
    const char *meaning;
};

Getter byChannel(std::string (Q::*method)(void *, unsigned char)) {
    return [method](Q &q, const Call &c) { return (q.*method)(c.handle, c.channel); };
}

Setter intValue(std::string (Q::*method)(void *, int, unsigned char)) {
    return [method](Q &q, const Call &c, const std::string &v) {
        return (q.*method)(c.handle, parseInt(v, "value"), c.channel);
    };
}

Setter byteValue(std::string (Q::*method)(void *, unsigned char, unsigned char)) {
    return [method](Q &q, const Call &c, const std::string &v) {
        return (q.*method)(c.handle, parseByte(v, "value"), c.channel);
    };
}

std::vector<unsigned char> octets(const std::string &text, char separator, size_t count, int base) {
    std::vector<unsigned char> bytes;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) {
        char *end = nullptr;
        long value = std::strtol(part.c_str(), &end, base);
        if (part.empty() || *end != 0 || value < 0 || value > 255) break;
        bytes.push_back(static_cast<unsigned char>(value));
    }
    if (bytes.size() != count || (!text.empty() && text.back() == separator))
        throw usageError("value: \"" + text + "\" is not " +
                         (separator == ':' ? "a MAC address like 00:11:22:33:44:55"
                                           : "an IP address like 192.168.1.10"));
    return bytes;
}

std::string formatOctets(const unsigned char *bytes, size_t count, bool mac) {
    std::string text;
    char part[8];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(part, sizeof part, mac ? "%02x" : "%u", bytes[i]);
        text += (i ? (mac ? ":" : ".") : "") + std::string(part);
    }
    return text;
}

// The network getters fill the object's record and answer "0".
Getter networkRecord(std::string (Q::*method)(void *, unsigned char),
                     std::function<std::string(const _QOLVEN_USB_DLL::NETWORK_SETTINGS &)> format) {
    return [method, format](Q &q, const Call &c) {
        std::string result = (q.*method)(c.handle, c.channel);
        return result == "Error" ? result : format(q.networkSettings);
    };
}

Setter macValue(std::string (Q::*method)(void *, unsigned char, unsigned char, unsigned char, unsigned char,
                                          unsigned char, unsigned char, unsigned char)) {
    return [method](Q &q, const Call &c, const std::string &v) {
        auto m = octets(v, ':', 6, 16);
        return (q.*method)(c.handle, m[0], m[1], m[2], m[3], m[4], m[5], c.channel);
    };
}

Setter ipValue(std::string (Q::*method)(void *, unsigned char, unsigned char, unsigned char, unsigned char,
                                         unsigned char)) {
    return [method](Q &q, const Call &c, const std::string &v) {
        auto o = octets(v, '.', 4, 10);
        return (q.*method)(c.handle, o[0], o[1], o[2], o[3], c.channel);
    };
}

// The port bytes are kept low byte first.
std::string port(const unsigned char *bytes) { return std::to_string(bytes[0] + 256 * bytes[1]); }

const std::vector<Parameter> &parameters() {
    using N = _QOLVEN_USB_DLL::NETWORK_SETTINGS;
    static const std::vector<Parameter> table = {
        {"decimal-point", false, byChannel(&Q::Get_Decimal_Point), intValue(&Q::Set_Decimal_Point),
         kRegisterTypes, kRegisterTypes, "0..255", "decimal places shown by the display"},
        {"unit-code", false, byChannel(&Q::Get_Unit_Code), intValue(&Q::Set_Unit_Code), kRegisterTypes,
         kRegisterTypes, "0..255", "unit shown by the display (the board's code)"},
        {"direction", false, byChannel(&Q::Get_Direction), intValue(&Q::Set_Direction), kRegisterTypes,
         kRegisterTypes, "0..255", "sign of the reading (the board's code)"},
        {"calibration-code", false, byChannel(&Q::Get_Calibration_Code), intValue(&Q::Set_Calibration_Code),
         kRegisterTypes, kRegisterTypes, "0..255", "calibration code"},
        {"calibration-day", false, byChannel(&Q::Get_Calibration_Day), intValue(&Q::Set_Calibration_Day),
         kRegisterTypes, kRegisterTypes, "0..255", "day of the calibration"},
        {"calibration-month", false, byChannel(&Q::Get_Calibration_Month), intValue(&Q::Set_Calibration_Month),
         kRegisterTypes, kRegisterTypes, "0..255", "month of the calibration"},
        {"calibration-year", false, byChannel(&Q::Get_Calibration_Year), intValue(&Q::Set_Calibration_Year),
         kRegisterTypes, kRegisterTypes, "0..255", "year of the calibration"},
        {"number-of-loading-points", false, byChannel(&Q::Get_Number_of_Loading_Points),
         intValue(&Q::Set_Number_of_Loading_Points), kRegisterTypes, kCommandTypes, "0..255",
         "loading points in use"},
        {"loading-point", true,
         [](Q &q, const Call &c) { return q.Get_Loading_Point(c.handle, c.point, c.channel, c.calibrationType); },
         [](Q &q, const Call &c, const std::string &v) {
             // Without a value the board takes its present reading as the point.
             if (v.empty()) return q.Set_Loading_Point(c.handle, c.point, c.channel);
             return q.Set_Zero_Correction(c.handle, c.point, parseInt(v, "value"), c.channel, c.calibrationType);
         },
         kAllTypes & ~types({10, 15}), kCommandTypes, "[count]",
         "converter count of loading point N; `set` without a count captures the present reading"},
        {"load-of-loading-point", true,
         [](Q &q, const Call &c) { return q.Get_Load_of_Loading_Point(c.handle, c.point, c.channel); },
         [](Q &q, const Call &c, const std::string &v) {
             return q.Set_Load_of_Loading_Point(c.handle, c.point, parseInt(v, "value"), c.channel);
         },
         kRegisterTypes, kCommandTypes, "0..65535", "load applied at loading point N"},
        {"sensitivity", false, byChannel(&Q::Get_Sensitivity), intValue(&Q::Set_Sensitivity), kRegisterTypes,
         kRegisterTypes, "0..3", "sensitivity code of the sensor bridge"},
        {"bridge-resistance", false, byChannel(&Q::Get_Bridge_Resistance), intValue(&Q::Set_Bridge_Resistance),
         kRegisterTypes, kRegisterTypes, "0..3", "bridge-resistance code"},
        {"shunt", false, byChannel(&Q::Get_Shunt_Value), intValue(&Q::Set_Shunt_Value),
         kAllTypes & ~types({10, 15}), kRegisterTypes, "0..16777215", "shunt value"},
        {"shunt-resistor", false, byChannel(&Q::Get_Shunt_Resistor), nullptr, kType16, 0, "", "shunt resistor"},
        {"sensor-sensitivity", false, byChannel(&Q::Get_Sensor_Sensitivity), nullptr, kType16, 0, "",
         "sensor sensitivity"},
        {"zero-potentiometer", false, byChannel(&Q::Get_Zero_Potentiometer), nullptr, kType16, 0, "",
         "zero potentiometer setting"},
        {"span-1-potentiometer", false, byChannel(&Q::Get_Span_1_Potentiometer), nullptr, kType16, 0, "",
         "span 1 potentiometer setting"},
        {"span-2-potentiometer", false, byChannel(&Q::Get_Span_2_Potentiometer), nullptr, kType16, 0, "",
         "span 2 potentiometer setting"},
        {"sensor-id", false, byChannel(&Q::Get_Sensor_Identification_Number),
         intValue(&Q::Set_Sensor_Identification_Number), kRegisterTypes, kCommandTypes, "0..16777215",
         "identification number of the sensor"},
        {"sensor-configuration", false, nullptr, intValue(&Q::Set_Sensor_Configuration), 0, kCommandTypes,
         "0..255", "sensor configuration byte (write only)"},
        {"crosstalk", false,
         [](Q &q, const Call &c) {
             // The library renders this flag as a real number ("1.000000").
             std::string text = q.Get_CrossTalk(c.handle, c.channel);
             return text == "Error" ? text : std::to_string(static_cast<int>(std::strtod(text.c_str(), nullptr)));
         },
         intValue(&Q::Set_CrossTalk), kSystemByteTypes, kSystemByteTypes, "0|1", "crosstalk flag"},
        {"type-of-calibration", false, byChannel(&Q::Get_Type_of_Calibration), intValue(&Q::Set_Type_of_Calibration),
         kSystemByteTypes, kSystemByteTypes, "0|1", "type of calibration"},
        {"active-channels", false, byChannel(&Q::Get_Number_of_Active_Channels),
         intValue(&Q::Set_Number_of_Active_Channels), kSystemByteTypes, kSystemByteTypes, "0..3",
         "number of active channels"},
        {"active-page", false, byChannel(&Q::Get_Active_Page_Number), intValue(&Q::Set_Active_Page_Number),
         kSystemByteTypes, kSystemByteTypes, "0..7", "active page number"},
        {"pga", false, byChannel(&Q::Get_ADC_PGA_Setting), nullptr, kRegisterTypes, 0, "",
         "converter gain (PGA) setting; set it with adc-configuration"},
        {"sampling-rate", false, byChannel(&Q::Get_ADC_Sampling_Rate), byteValue(&Q::Set_ADC_Configuration),
         kRegisterTypes, kRegisterTypes, "0..15", "converter sampling-rate code (the gain is kept)"},
        {"adc-configuration", false, nullptr, byteValue(&Q::Set_ADC_Configuration2), 0, kCommandTypes,
         "0..255", "whole converter byte: 16 x pga + sampling-rate (write only)"},
        {"average", false, byChannel(&Q::Get_Average_Setting), intValue(&Q::Set_Average_Setting),
         kRegisterTypes, kCommandTypes, "0..255", "average setting"},
        {"voltage-output", false, byChannel(&Q::Get_Voltage_Output), intValue(&Q::Set_Voltage_Output),
         types({11, 14}), types({11, 14}), "0..255", "voltage output point"},
        {"analog-voltage-output", false, byChannel(&Q::Get_Analog_Voltage_Output), nullptr, kType16, 0, "",
         "analog voltage output"},
        {"excitation", false, byChannel(&Q::Get_Excitation), nullptr, kType16, 0, "", "excitation"},
        {"gain-switch", false, byChannel(&Q::Get_Gain_Switch), nullptr, kType16, 0, "", "gain switch position"},
        {"polarity", false, byChannel(&Q::Get_Polarity), nullptr, kType16, 0, "", "polarity"},
        {"output-type", false, byChannel(&Q::Get_Output_Type), nullptr, types({11, 14}), 0, "", "output type"},
        {"load-switch", false, nullptr, intValue(&Q::Set_Load_Switch), 0, types({0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 16}),
         "0..255", "simulated-load switch (write only)"},
        {"digital-components", false, nullptr,
         [](Q &q, const Call &c, const std::string &v) {
             std::vector<unsigned char> b;
             std::istringstream in(v);
             std::string part;
             while (std::getline(in, part, ',')) b.push_back(parseByte(part, "value"));
             if (b.size() < 3 || b.size() > 4) throw usageError("value: give three or four bytes, like 1,2,3");
             return q.Set_Digital_Components(c.handle, b[0], b[1], b[2], b.size() > 3 ? b[3] : 0);
         },
         0, kType16, "A,B,C", "digital components (write only)"},
        {"pulses-per-rotation", false, byChannel(&Q::Get_Pulses_Per_Rotation), intValue(&Q::Set_Pulses_Per_Rotation),
         types({8, 11, 14}), types({8, 11, 14}), "0..65535", "pulses per rotation of the rotation input"},
        {"dest-mac", false,
         networkRecord(&Q::Get_Destination_MAC_Address,
                       [](const N &n) { return formatOctets(n.destinationMacAddress, 6, true); }),
         macValue(&Q::Set_Destination_MAC_Address), kNetworkTypes, kNetworkTypes, "xx:xx:xx:xx:xx:xx",
         "MAC address of the peer"},
        {"dest-ip", false,
         networkRecord(&Q::Get_Destination_IP_Address,
                       [](const N &n) { return formatOctets(n.destinationIpAddress, 4, false); }),
         ipValue(&Q::Set_Destination_IP_Address), kNetworkTypes, kNetworkTypes, "a.b.c.d", "IP address of the peer"},
        {"dest-port", false,
         networkRecord(&Q::Get_Destination_Port_Number, [](const N &n) { return port(n.destinationPortNumber); }),
         intValue(&Q::Set_Destination_Port_Number), kNetworkTypes, kNetworkTypes, "0..65535", "port of the peer"},
        {"source-mac", false,
         networkRecord(&Q::Get_Source_MAC_Address, [](const N &n) { return formatOctets(n.sourceMacAddress, 6, true); }),
         nullptr, kNetworkTypes, 0, "", "MAC address of the board (read only)"},
        {"source-ip", false,
         networkRecord(&Q::Get_Source_IP_Address, [](const N &n) { return formatOctets(n.sourceIpAddress, 4, false); }),
         ipValue(&Q::Set_Source_IP_Address), kNetworkTypes, kNetworkTypes, "a.b.c.d", "IP address of the board"},
        {"source-port", false,
         networkRecord(&Q::Get_Source_Port_Number, [](const N &n) { return port(n.sourcePortNumber); }),
         intValue(&Q::Set_Source_Port_Number), kNetworkTypes, kNetworkTypes, "0..65535", "port of the board"},
        {"offset-load", false, byChannel(&Q::Get_Offset_Load), nullptr, kRegisterTypes, 0, "",
         "load at the offset count"},
        {"fullscale-load", false, byChannel(&Q::Get_Fullscale_Load), nullptr, kRegisterTypes, 0, "",
         "load at the full-scale count"},
    };
    return table;
}

const Parameter &find(const std::string &name) {
    for (const Parameter &p : parameters())
        if (name == p.name) return p;
    throw usageError("unknown parameter \"" + name + "\" (see qolven get --help)");
}

// "loading-point 3" and "loading-point.3" both name point 3.
struct Target {
    const Parameter *parameter;
    int point = 0;
    size_t used = 1;  // positional arguments taken by the name
    std::string label() const {
        return parameter->indexed ? std::string(parameter->name) + "." + std::to_string(point) : parameter->name;
    }
};

Target target(const std::vector<std::string> &args, size_t first) {
    if (args.size() <= first) throw usageError("name a parameter (see qolven get --help)");
    std::string name = args[first];
    std::string index;
    size_t dot = name.find('.');
    if (dot != std::string::npos) {
        index = name.substr(dot + 1);
        name = name.substr(0, dot);
    }
    Target t{&find(name)};
    if (!t.parameter->indexed) {
        if (!index.empty()) throw usageError(name + " takes no point number");
        return t;
    }
    if (index.empty()) {
        if (args.size() <= first + 1) throw usageError(name + " needs a point number, e.g. " + name + " 0");
        index = args[first + 1];
        t.used = 2;
    }
    t.point = parseInt(index, "point");
    return t;
}

Call callFor(const Session &s, int point) { return {s.handle, s.channel, point, s.calibrationType}; }

int boardType(Session &s) { return std::atoi(s.check(s.dev->Get_Type_of_Board(s.handle), "board type").c_str()); }

// Points of the board's table that are in use, for `get all`.
int pointsInUse(Session &s, int type) {
    std::string number = s.dev->Get_Number_of_Loading_Points(s.handle, s.channel);
    if (number == "Error") return 0;
    int tableSize = type == 0 ? 20 : 16;
    int n = std::atoi(number.c_str());
    return n < tableSize ? n : tableSize;
}

int getAll(Session &s, Output &out) {
    int type = boardType(s);
    if (type < 0 || type > 16) throw Failure(kExitDevice, "board type " + std::to_string(type) + " is not known");
    int failures = 0;
    for (const Parameter &p : parameters()) {
        if (!p.get || !(p.getTypes & (Types(1) << type))) continue;
        int points = p.indexed ? pointsInUse(s, type) : 1;
        for (int point = 0; point < points; ++point) {
            Target t{&p, point};
            std::string value = p.get(*s.dev, callFor(s, point));
            if (value == "Error") {
                ++failures;
                std::fprintf(stderr, "qolven: %s: %s\n", t.label().c_str(),
                             s.dev->lastErrorText[0] ? s.dev->lastErrorText : "the board returned no valid value");
                continue;
            }
            out.field(t.label(), value);
        }
        if (interrupted()) break;
    }
    out.finish();
    return failures ? kExitDevice : kExitOk;
}

std::string typeList(Types set) {
    if (set == kAllTypes) return "all";
    // Most parameters serve nearly every type: name the few left out instead.
    bool most = __builtin_popcount(set) > 8;
    std::string text;
    for (int type = 0; type <= 16; ++type)
        if (((set >> type) & 1) != most) text += (text.empty() ? "" : ",") + std::to_string(type);
    return most ? "all but " + text : text;
}

} // namespace

std::string parameterHelp() {
    std::string text = "Parameters (name, access, board types, value):\n";
    char line[256];
    for (const Parameter &p : parameters()) {
        std::string name = std::string(p.name) + (p.indexed ? " N" : "");
        std::string access = std::string(p.get ? "get" : "") + (p.get && p.set ? "/" : "") + (p.set ? "set" : "");
        Types served = p.getTypes | p.setTypes;
        std::snprintf(line, sizeof line, "  %-26s %-8s %-24s %s\n      %s\n", name.c_str(), access.c_str(),
                      typeList(served).c_str(), p.syntax, p.meaning);
        text += line;
    }
    return text;
}

int commandGet(Session &s, Output &out) {
    const auto &args = s.options->arguments;
    if (args.size() == 1 && args[0] == "all") return getAll(s, out);
    Target t = target(args, 0);
    if (args.size() != t.used) throw usageError("get takes one parameter name");
    if (!t.parameter->get) throw usageError(std::string(t.parameter->name) + " cannot be read");
    std::string value = s.check(t.parameter->get(*s.dev, callFor(s, t.point)), "get " + t.label());
    out.field(t.label(), value);
    out.finish();
    return kExitOk;
}

int commandSet(Session &s, Output &out) {
    const auto &args = s.options->arguments;
    Target t = target(args, 0);
    if (!t.parameter->set) throw usageError(std::string(t.parameter->name) + " cannot be written");
    bool optionalValue = t.parameter->indexed && std::string(t.parameter->syntax) == "[count]";
    if (args.size() != t.used + 1 && !(optionalValue && args.size() == t.used))
        throw usageError("usage: qolven set " + std::string(t.parameter->name) + (t.parameter->indexed ? " N" : "") +
                         " " + t.parameter->syntax);
    std::string value = args.size() > t.used ? args[t.used] : "";
    s.check(t.parameter->set(*s.dev, callFor(s, t.point), value), "set " + t.label());
    (void)out;
    return kExitOk;
}

std::vector<ParameterDescription> parameterDescriptions() {
    std::vector<ParameterDescription> list;
    for (const Parameter &p : parameters())
        list.push_back({p.name, p.indexed, p.get ? p.getTypes : 0, p.set ? p.setTypes : 0, p.syntax, p.meaning});
    return list;
}

std::string readParameter(Device &d, void *handle, const std::string &name, unsigned char channel, int point) {
    const Parameter &p = find(name);
    if (!p.get) throw usageError(name + " cannot be read");
    return p.get(d, Call{handle, channel, point, 0});
}

std::string writeParameter(Device &d, void *handle, const std::string &name, unsigned char channel, int point,
                           const std::string &value) {
    const Parameter &p = find(name);
    if (!p.set) throw usageError(name + " cannot be written");
    return p.set(d, Call{handle, channel, point, 0}, value);
}

} // namespace qolven_tool
