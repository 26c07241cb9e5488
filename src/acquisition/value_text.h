// Numbers and addresses given as text, the way every front end writes them:
// decimal even with leading zeros ("010" is ten), hexadecimal only with 0x.
#ifndef QOLVEN_ACQUISITION_VALUE_TEXT_H
#define QOLVEN_ACQUISITION_VALUE_TEXT_H

#include <cstddef>
#include <string>
#include <vector>

namespace qolven_acquisition {

// Parses an integer within low..high.  On failure `why` says what was wrong
// with the text ("\"abc\" is not a number", "300 is outside 0..255").
bool parseInteger(const char *text, long long low, long long high, long long &value, std::string &why,
                  bool *outside = nullptr);

// "low..high", or "0|1" for a flag.
std::string rangeText(long long low, long long high);

// `count` numbers 0..255 separated by `separator`; MAC addresses are written
// in hexadecimal without 0x (base 16), the other lists decimal or 0x.
bool parseBytes(const char *text, char separator, size_t count, int base, std::vector<unsigned char> &bytes,
                std::string &why);

std::string formatMac(const unsigned char *bytes);
std::string formatIp(const unsigned char *bytes);

} // namespace qolven_acquisition

#endif
