#include "board/board_command.h"

#include "board/parameter_path.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

std::string setByCommand(QOLVEN_USB_DLL &d, void *handle, long long value, unsigned char channel,
                         const CommandSetting &s) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!inRange(d, value, s.maxValue, s.rangeText)) return kError;
    if (!identify(d, handle)) return kError;
    if (!accepts(s.types, d.boardType)) return fail(d, kInvalidTypeOfBoard);
    Request r = boardRequest(d.boardType, s.command, channel, {}, 4, kAck, s.timeoutMs);
    for (int i = s.dataBytes - 1; i >= 0 && r.dataCount < sizeof r.data; --i)
        r.data[r.dataCount++] = (unsigned long long)value >> (8 * i) & 0xFF;
    return exchange(d, handle, r) ? kOk : kError;
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
