// Serial numbers of the attached bridges as D2XX lists them, in full.  Internal: the
// public QOLVEN_FTD2XX::serialNumber keeps 15 characters, as D2XX's own device
// information does, while FT_ListDevices reports serial numbers of up to 63.
#ifndef QOLVEN_SERIAL_NUMBERS_H
#define QOLVEN_SERIAL_NUMBERS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace _QOLVEN_USB_DLL {
namespace detail {

// D2XX writes a device's strings whole, NUL included: its buffers take this many bytes.
constexpr size_t kDeviceStringBytes = 64;
// The longest serial number that opening by serial number can take (QOLVEN_FTD2XX::serialNumber).
constexpr size_t kOpenableSerialBytes = 15;

// The whole serial number of bridge `index` (FT_ListDevices by index).  `status` receives
// the D2XX status; the text is empty unless it is FT_OK (0).
std::string fullSerialNumber(uint32_t index, uint32_t &status);

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
