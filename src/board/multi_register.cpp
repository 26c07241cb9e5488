#include "board/multi_register.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

size_t readLocations(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Location *at, size_t count,
                     unsigned *values) {
    for (size_t i = 0; i < count; ++i)
        if (!readLocation(d, handle, channel, at[i], values[i])) return i;
    return count;
}

unsigned long joinLocations(const Location *at, size_t count, const unsigned *values) {
    unsigned long joined = 0;
    for (size_t i = 0; i < count; ++i) {
        unsigned width = at[i].bytes == Bytes::Word ? 16 : 8;
        joined = (joined << width) | (values[i] & ((1ul << width) - 1));
    }
    return joined;
}

void writeLocations(WriteSequence &writes, unsigned char channel, const Location *at, size_t count,
                    unsigned long value) {
    unsigned shift = 0;
    for (size_t i = 0; i < count; ++i) shift += at[i].bytes == Bytes::Word ? 16 : 8;
    for (size_t i = 0; i < count; ++i) {
        const Location &l = at[i];
        bool word = l.bytes == Bytes::Word;
        shift -= word ? 16 : 8;
        unsigned char low = value >> shift & 0xFF;
        unsigned char high = word ? value >> (shift + 8) & 0xFF : 0xFF;
        switch (l.store) {
        case Store::Eeprom:
            if (l.bytes == Bytes::High) writes.eeprom(l.reg, low, 0xFF);
            else writes.eeprom(l.reg, high, low);
            break;
        case Store::Channel:
            // As readLocation: the high byte of a channel word lives in reg+1.
            if (word) writes.channel(channel, l.reg + 1, high);
            writes.channel(channel, l.reg, low);
            break;
        case Store::Memory:
            writes.memory(l.reg, low);
            break;
        case Store::Zero:
        case Store::Refused:
            break;
        }
    }
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
