#include "transport/serial_numbers.h"

#include <cstring>

#include "transport/ftd2xx_api.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

std::string fullSerialNumber(uint32_t index, uint32_t &status) {
    char work[kDeviceStringBytes] = {};
    status = FT_ListDevices(reinterpret_cast<void *>(static_cast<uintptr_t>(index)), work,
                            FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
    if (status != FT_OK) return std::string();
    return std::string(work, strnlen(work, sizeof work));
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
