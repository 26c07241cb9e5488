// Settings that the board stores itself: one command carrying the value,
// answered by an acknowledgement (no register access of ours).
#ifndef QOLVEN_BOARD_COMMAND_H
#define QOLVEN_BOARD_COMMAND_H

#include <string>

#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

struct CommandSetting {
    TypeSet types;            // board types served; the others get "Invalid Type of Board"
    unsigned char command;    // plain form; board type 9 takes the channel form
    unsigned char dataBytes;  // the value is sent in this many bytes, most significant first
    long long maxValue;       // accepted 0..maxValue
    const char *rangeText;    // and this text otherwise
    int timeoutMs;            // wait for the acknowledgement
};

// Offline "0"; range check before anything is sent; fresh identification;
// the command; "0" once the acknowledgement came.
std::string setByCommand(QOLVEN_USB_DLL &d, void *handle, long long value, unsigned char channel,
                         const CommandSetting &s);

} // namespace detail
} // namespace _QOLVEN_USB_DLL

#endif
