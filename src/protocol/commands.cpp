#include "protocol/commands.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

ErrorText boardErrorText(unsigned char code) {
    switch (code) {
    case 0x4C: return ErrorText::Teds;
    case 0x4D: return ErrorText::Command;
    case 0x4E: return ErrorText::PacketFrame;
    case 0x4F: return ErrorText::PacketCommand;
    default: return ErrorText::None;
    }
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
