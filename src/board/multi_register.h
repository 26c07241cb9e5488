// Values that span several register locations (a 24-bit number over three
// bytes, an address over several EEPROM registers).
#ifndef QOLVEN_MULTI_REGISTER_H
#define QOLVEN_MULTI_REGISTER_H

#include <cstddef>
#include <initializer_list>

#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

// Reads the locations in order, each as readLocation() does (a word gives
// high*256+low), into values[].  Stops at the first failed read, whose text
// stays in lastErrorText.  Returns how many locations were read.
size_t readLocations(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Location *at, size_t count,
                     unsigned *values);
inline size_t readLocations(QOLVEN_USB_DLL &d, void *handle, unsigned char channel,
                            std::initializer_list<Location> at, unsigned *values) {
    return readLocations(d, handle, channel, at.begin(), at.size(), values);
}

// The values read joined most significant first: a word contributes 16 bits,
// a byte 8.
unsigned long joinLocations(const Location *at, size_t count, const unsigned *values);

// The inverse of joinLocations: writes `value` over the locations, most
// significant part first, every write made (see WriteSequence).  The other
// byte of a one-byte EEPROM location is written as 0xFF.
void writeLocations(WriteSequence &writes, unsigned char channel, const Location *at, size_t count,
                    unsigned long value);

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
