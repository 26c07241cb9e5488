// How a read or write by name reaches the public method of a parameter, by
// the shape of the method; the rows of parameter_table.cpp name the method
// once and pick its shape here.
#ifndef QOLVEN_PARAMETER_ACCESS_H
#define QOLVEN_PARAMETER_ACCESS_H

#include <cstdlib>
#include <string>

#include "acquisition/value_text.h"
#include "parameters/parameter_path.h"

namespace _QOLVEN_USB_DLL {
namespace detail {
namespace access {

using D = QOLVEN_USB_DLL;

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
inline std::string port(const unsigned char *bytes) { return std::to_string(bytes[0] + 256 * bytes[1]); }

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

template <auto M>
std::string byPoint(const Target &t) {
    return (t.d.*M)(t.handle, t.point, t.channel);
}

inline std::string loadingPoint(const Target &t) {
    return t.d.Get_Loading_Point(t.handle, t.point, t.channel, t.calibrationType);
}

// Without a count the board takes its present reading as the point.
inline std::string captureOrWritePoint(const Target &t, const Value &v) {
    if (!v.given) return t.d.Set_Loading_Point(t.handle, t.point, t.channel);
    return t.d.Set_Zero_Correction(t.handle, t.point, static_cast<int>(v.integer), t.channel, t.calibrationType);
}

inline std::string loadOfPoint(const Target &t, const Value &v) {
    return t.d.Set_Load_of_Loading_Point(t.handle, t.point, static_cast<int>(v.integer), t.channel);
}

// The library renders this flag as a real number ("1.000000").
inline std::string wholeFlag(const Target &t) {
    std::string text = t.d.Get_CrossTalk(t.handle, t.channel);
    return text == "Error" ? text : std::to_string(static_cast<int>(std::strtod(text.c_str(), nullptr)));
}

// The method takes a fourth byte only to drop it: the board takes three.
inline std::string threeBytes(const Target &t, const Value &v) {
    return t.d.Set_Digital_Components(t.handle, v.bytes[0], v.bytes[1], v.bytes[2], 0);
}

} // namespace access

// The reader (writer) of a row: its public method, named once, and how a
// read (write) by name calls it.
#define QOLVEN_READ(method, call, result, arguments) \
    ::_QOLVEN_USB_DLL::detail::Reader { QOLVEN_BIND(method, result, arguments), call, ::_QOLVEN_USB_DLL::detail::kFromRow }
#define QOLVEN_READ_BY_CHANNEL(method) \
    QOLVEN_READ(method, &access::byChannel<&QOLVEN_USB_DLL::method>, "number", "channel")
#define QOLVEN_WRITE(method, call, arguments) \
    ::_QOLVEN_USB_DLL::detail::Writer { QOLVEN_BIND(method, "action", arguments), call, ::_QOLVEN_USB_DLL::detail::kFromRow }
#define QOLVEN_WRITE_INT(method) QOLVEN_WRITE(method, &access::intValue<&QOLVEN_USB_DLL::method>, "value channel")

// The same with the board types it serves given instead of the row's.
constexpr Reader servedBy(Reader r, uint32_t families) { return r.families = families, r; }
constexpr Writer servedBy(Writer w, uint32_t families) { return w.families = families, w; }

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
