// Identity and maintenance commands: activity inquiry 0x01, identification 0x44,
// reset 0x45.
#include "sim_internal.h"

namespace qolven_sim {
namespace detail {

void handle_identity(HandlerContext &c) {
    Device &d = c.d;
    switch (c.r.command) {
    case 0x01:
        c.a.primary = make_ack(c.r.number);
        break;
    case 0x44: {
        uint8_t date = static_cast<uint8_t>(((d.cfg.firmwareYear & 0x0F) << 4) | (d.cfg.firmwareMonth & 0x0F));
        c.a.primary = make_packet(c.r.number, 0x44,
                                  {static_cast<uint8_t>(d.cfg.boardType), static_cast<uint8_t>(d.cfg.hardwareVersion),
                                   static_cast<uint8_t>(d.cfg.firmwareVersion), date});
        break;
    }
    case 0x45:
        // Acknowledge, restart, then announce with the packet 1, 4, 0x45, 0xAA.
        c.a.primary = make_ack(c.r.number);
        c.a.later.push_back({static_cast<int64_t>(d.cfg.resetDelayMs) * 1000, {1, 4, 0x45, 0xAA}});
        d.resets++;
        fast_restart(d, c.now);
        d.menuOpen = false;
        d.menuItem = 0;
        d.lastKey = -1;
        break;
    }
}

} // namespace detail
} // namespace qolven_sim
