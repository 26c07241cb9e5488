#include "parameters/parameter_path.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace _QOLVEN_USB_DLL {
namespace detail {

namespace {

unsigned fieldOf(const Parameter &p, unsigned value) {
    unsigned mask = p.bits >= 16 ? 0xFFFFu : (1u << p.bits) - 1;
    return (value >> p.shift) & mask;
}

std::string format(const Parameter &p, unsigned field) {
    if (p.format == Format::Real) {
        char text[32];
        std::snprintf(text, sizeof text, "%f", double(field));
        return text;
    }
    return decimal(field);
}

// Reads a companion through its getter; false when it answered "Error".
bool readBack(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Parameter &p, double &value) {
    std::string text = getParameter(d, handle, channel, p);
    if (text == kError) return false;
    value = std::strtod(text.c_str(), nullptr);
    return true;
}

// Writes one byte at a location; the other byte of an EEPROM register is `other`.
void writeByte(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Location &at, unsigned char byte,
               unsigned char other) {
    if (at.store == Store::Channel) {
        d.Write_Channel_Register(handle, channel, at.reg, byte);
    } else if (at.bytes == Bytes::High) {
        d.Write_EEPROM_Register(handle, at.reg, byte, other);
    } else {
        d.Write_EEPROM_Register(handle, at.reg, other, byte);
    }
}

const Location &locate(const Parameter &p, int code) {
    if (!serves(code, p.families)) return kRefused;
    return classLocation(code, p.ownLayout, p.channels, p.eeprom);
}
} // namespace

const Location &classLocation(int code, const Location &own, const Location &channels, const Location &eeprom) {
    switch (boardTypeRow(code).boardClass) {
    case BoardClass::OwnLayout: return own;
    case BoardClass::MultiChannel: return channels;
    default: return eeprom;
    }
}

bool inRange(QOLVEN_USB_DLL &d, long long value, const Range &range) {
    if (value >= 0 && value <= range.max) return true;
    setError(d, range.text);
    return false;
}

std::string getParameter(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Parameter &p) {
    if (p.clearFirst) clearError(d);
    if (offline(d)) return offlineEntry(d, p.offline);
    clearError(d);
    if (!identify(d, handle)) return kError;
    const Location &at = locate(p, d.boardType);
    if (at.store == Store::Refused) return fail(d, ErrorText::InvalidTypeOfBoard);
    if (at.store == Store::Zero) return kOk;
    unsigned value = 0;
    if (!readLocation(d, handle, channel, at, value)) return kError;
    return format(p, fieldOf(p, value));
}

std::string setParameter(QOLVEN_USB_DLL &d, void *handle, long long value, unsigned char channel,
                         const Parameter &p) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!inRange(d, value, p.range)) return kError;
    if (p.write) return sendSetting(d, handle, value, channel, *p.write);
    d.valueHighByte = (unsigned(value) >> 8) & 0xFF;
    d.valueLowByte = unsigned(value) & 0xFF;
    if (!identify(d, handle)) return kError;
    const Location &at = locate(p, d.boardType);
    if (at.store == Store::Refused) return fail(d, ErrorText::InvalidTypeOfBoard);
    if (at.store == Store::Zero) return kOk;
    d.registerAddress = at.reg;
    if (at.bytes == Bytes::Word) {
        WriteSequence writes(d, handle);
        if (at.store == Store::Channel) {
            writes.channel(channel, at.reg + 1, d.valueHighByte);
            writes.channel(channel, at.reg, d.valueLowByte);
        } else {
            writes.eeprom(at.reg, d.valueHighByte, d.valueLowByte);
        }
        return writes.result();
    }
    unsigned char other = 0xFF;
    if (ownLayout(d.boardType) && p.partner) {
        // Type 0 keeps two parameters in one register: keep the other one.
        std::string &partner = at.bytes == Bytes::Low ? d.partnerText1 : d.partnerText2;
        partner = getParameter(d, handle, 0, *p.partner);
        if (partner == kError) return kError;
        other = (unsigned char)std::strtol(partner.c_str(), nullptr, 10);
    }
    writeByte(d, handle, channel, at, d.valueLowByte, other);
    return exchanged(d) ? kOk : kError;
}

std::string setPackedField(QOLVEN_USB_DLL &d, void *handle, int value, unsigned char channel,
                           const PackedByte &packed, const Parameter &field,
                           std::initializer_list<const Parameter *> others) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!inRange(d, value, field.range)) return kError;
    if (!identify(d, handle)) return kError;
    if (!serves(d.boardType, packed.families)) return fail(d, ErrorText::InvalidTypeOfBoard);
    const Location &at = classLocation(d.boardType, packed.ownLayout, packed.channels, packed.eeprom);
    const Parameter *otherGetter = ownLayout(d.boardType) ? packed.otherByteOwnLayout
                                 : at.store == Store::Eeprom ? packed.otherByteEeprom : nullptr;
    double other = 0xFF;
    if (otherGetter && packed.otherByteFirst && !readBack(d, handle, channel, *otherGetter, other)) return kError;
    double byte = double(value) * (1u << field.shift);
    std::string *texts[] = {&d.companionText1, &d.companionText2, &d.companionText3};
    size_t i = 0;
    for (const Parameter *p : others) {
        double fieldValue = 0;
        if (!readBack(d, handle, channel, *p, fieldValue)) return kError;
        if (i < 3) *texts[i++] = decimal((long long)fieldValue);
        byte += fieldValue * (1u << p->shift);
    }
    if (otherGetter && !packed.otherByteFirst && !readBack(d, handle, channel, *otherGetter, other)) return kError;
    unsigned char rebuilt = (unsigned char)((long long)std::llround(byte) & 0xFF);
    d.registerAddress = at.reg;
    writeByte(d, handle, channel, at, rebuilt, (unsigned char)(long long)other);
    return exchanged(d) ? kOk : kError;
}

std::string sendSetting(QOLVEN_USB_DLL &d, void *handle, long long value, unsigned char channel,
                        const CommandWrite &w) {
    if (!identify(d, handle)) return kError;
    if (w.ownLayoutAnswersZero && ownLayout(d.boardType)) return kOk;
    if (!serves(d.boardType, w.families)) return fail(d, ErrorText::InvalidTypeOfBoard);
    unsigned char bytes[4] = {};
    const int count = command(w.command).dataBytes;
    for (int i = 0; i < count && i < 4; ++i) bytes[i] = (unsigned long long)value >> (8 * (count - 1 - i)) & 0xFF;
    const Request r = request(w.command, multiChannel(d.boardType), channel, {bytes[0], bytes[1], bytes[2], bytes[3]});
    return exchange(d, handle, r) ? kOk : kError;
}

std::string completedCommand(QOLVEN_USB_DLL &d, void *handle, uint32_t families, Command c,
                             std::initializer_list<unsigned char> data) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!identify(d, handle)) return kError;
    if (!serves(d.boardType, families)) return fail(d, ErrorText::InvalidTypeOfBoard);
    if (!exchange(d, handle, request(c, data))) return kError;
    return secondAnswer(d, d.requestNumber, c) ? kOk : kError;
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
