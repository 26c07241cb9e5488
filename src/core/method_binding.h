// A public method of the device class bound for a call by name: its name
// (written once, where the binding is made), what its result holds, its
// argument names and the kinds read off its signature, and a caller that takes
// the arguments already checked.
#ifndef QOLVEN_METHOD_BINDING_H
#define QOLVEN_METHOD_BINDING_H

#include <cstddef>
#include <string>
#include <utility>

#include "QOLVEN_USB_DLL.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

enum class ArgumentKind : unsigned char { Byte, Int, Text };

// An argument after it was checked: the number, or the text itself.
struct Argument {
    long long integer = 0;
    std::string text;
};

using Invoke = std::string (*)(QOLVEN_USB_DLL &, void *handle, const Argument *);

struct MethodBinding {
    const char *name;        // nullptr: no method
    const char *result;      // what the result text holds: "action", "number", "count", "raw", "records", "text"
    const char *arguments;   // their names after the handle, separated by spaces
    const ArgumentKind *kinds;
    int count;
    bool needsDevice;
    Invoke invoke;
};

template <typename T> struct KindOf;
template <> struct KindOf<unsigned char> { static constexpr ArgumentKind value = ArgumentKind::Byte; };
template <> struct KindOf<int> { static constexpr ArgumentKind value = ArgumentKind::Int; };

template <typename T> T convert(const Argument &a);
template <> inline unsigned char convert(const Argument &a) { return static_cast<unsigned char>(a.integer); }
template <> inline int convert(const Argument &a) { return static_cast<int>(a.integer); }

// Arguments, kinds and the caller of a method, read off its signature.
template <auto M, typename Signature = decltype(M)> struct Bind;

template <auto M, typename... A> struct Bind<M, std::string (QOLVEN_USB_DLL::*)(void *, A...)> {
    static constexpr bool handle = true;
    static constexpr int count = int(sizeof...(A));
    static constexpr ArgumentKind kinds[sizeof...(A) + 1] = {KindOf<A>::value..., ArgumentKind::Byte};
    static std::string call(QOLVEN_USB_DLL &d, void *h, const Argument *a) {
        return call(d, h, a, std::index_sequence_for<A...>());
    }
    template <size_t... I>
    static std::string call(QOLVEN_USB_DLL &d, void *h, const Argument *a, std::index_sequence<I...>) {
        (void)a;
        return (d.*M)(h, convert<A>(a[I])...);
    }
};

template <auto M, typename... A> struct Bind<M, std::string (QOLVEN_USB_DLL::*)(A...)> {
    static constexpr bool handle = false;
    static constexpr int count = int(sizeof...(A));
    static constexpr ArgumentKind kinds[sizeof...(A) + 1] = {KindOf<A>::value..., ArgumentKind::Byte};
    static std::string call(QOLVEN_USB_DLL &d, void *, const Argument *a) {
        return call(d, a, std::index_sequence_for<A...>());
    }
    template <size_t... I>
    static std::string call(QOLVEN_USB_DLL &d, const Argument *a, std::index_sequence<I...>) {
        (void)a;
        return (d.*M)(convert<A>(a[I])...);
    }
};

// The binding of a public method: QOLVEN_BIND(Get_Decimal_Point, "number", "channel").
#define QOLVEN_BIND(method, result, arguments)                                                             \
    ::_QOLVEN_USB_DLL::detail::MethodBinding {                                                             \
        #method, result, arguments, ::_QOLVEN_USB_DLL::detail::Bind<&::_QOLVEN_USB_DLL::QOLVEN_USB_DLL::method>::kinds, \
            ::_QOLVEN_USB_DLL::detail::Bind<&::_QOLVEN_USB_DLL::QOLVEN_USB_DLL::method>::count,          \
            ::_QOLVEN_USB_DLL::detail::Bind<&::_QOLVEN_USB_DLL::QOLVEN_USB_DLL::method>::handle,         \
            &::_QOLVEN_USB_DLL::detail::Bind<&::_QOLVEN_USB_DLL::QOLVEN_USB_DLL::method>::call            \
    }

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
