#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
long count24(unsigned char high, unsigned char middle, unsigned char low) {
    return long(high) * 65536 + long(middle) * 256 + long(low);
}
bool all(unsigned char high, unsigned char middle, unsigned char low, unsigned char v) {
    return high == v && middle == v && low == v;
}
} // namespace

std::string QOLVEN_USB_DLL::Calculate_ADC_Value(unsigned char status, unsigned char high, unsigned char middle,
                                                unsigned char low) {
    if (offlineMode == 1) return kOk;
    switch (status) {
    case 0:
        if (all(high, middle, low, 0)) return "Error";
        if (all(high, middle, low, 255)) return "Negative Overflow";
        return "";
    case 1: return decimal(count24(high, middle, low) - 16777216);
    case 2: return decimal(count24(high, middle, low));
    case 3: return all(high, middle, low, 0) ? "Positive Overflow" : "";
    case 255:
        if (all(high, middle, low, 255)) return "Unassigned";
        break;
    default:
        break;
    }
    // The bytes go in as the characters of their codes.
    std::string text = "Data ";
    text += char(status);
    text += ", ";
    text += char(high);
    text += ", ";
    text += char(middle);
    text += ", ";
    text += char(low);
    return text;
}

std::string QOLVEN_USB_DLL::Calculate_PXV_ADC_Value(unsigned char high, unsigned char middle, unsigned char low) {
    if (offline(*this)) return kOk;
    return decimal(count24(high, middle, low));
}

std::string QOLVEN_USB_DLL::Calculate_PXV_ADC_Value2(unsigned char high, unsigned char middle, unsigned char low) {
    if (offline(*this)) return kOk;
    long value = count24(high, middle, low);
    return decimal(high >= 128 ? value - 16777216 : value);
}

std::string QOLVEN_USB_DLL::Calculate_ADC_Value_Fast_Data_Request(unsigned char high, unsigned char middle,
                                                                  unsigned char low) {
    if (offline(*this)) return kOk;
    return decimal(count24(high, middle, low));
}

std::string QOLVEN_USB_DLL::Calculate_ADC_Value_Fast_Data_Request2(unsigned char high, unsigned char middle) {
    if (offline(*this)) return kOk;
    // The missing low byte is taken as the middle of its range.
    return decimal(count24(high, middle, 128));
}

} // namespace _QOLVEN_USB_DLL
