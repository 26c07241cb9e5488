// Register commands 0x80..0x88 (memory, EEPROM, TEDS and channel registers, whole
// pages) and backup/restore of pages 0x49/0x4A/0x59/0x5A.
//
// Backup model: boards other than type 9 keep one backup slot per page; 0x49 p copies
// page p into its slot and 0x4A p copies the slot back into page p.  Channel boards copy
// page to page: 0x59 source, destination and 0x5A destination, source.
#include "sim_internal.h"

#include <algorithm>

namespace qolven_sim {
namespace detail {

static void copy_page(std::vector<uint8_t> &to, int toPage, const std::vector<uint8_t> &from, int fromPage) {
    uint8_t page[kPageSize];
    for (int i = 0; i < kPageSize; ++i) page[i] = page_byte(from, fromPage, i);
    std::copy_n(page, kPageSize, page_bytes(to, toPage));
}

void handle_registers(HandlerContext &c) {
    Device &d = c.d;
    Storage &s = d.st;
    const auto &x = c.r.data;
    const uint8_t n = c.r.number;
    switch (c.r.command) {
    case 0x80:
        c.a.primary = make_packet(n, 0x80, {x[0], s.memory[x[0]]});
        break;
    case 0x81: {
        s.memory[x[0]] = x[1];
        c.wrote = true;
        // Angle reset: memory registers 128..130 (type 8) or 45..47 (types 11, 14) written with 0.
        int t = d.cfg.boardType;
        bool angleReg = (t == 8 && x[0] >= 128 && x[0] <= 130) || ((t == 11 || t == 14) && x[0] >= 45 && x[0] <= 47);
        if (angleReg && x[1] == 0) rotation_reset_angle(d, c.now);
        c.a.primary = make_ack(n);
        break;
    }
    case 0x82: {
        uint16_t v = s.eeprom[x[0]];
        c.a.primary = make_packet(n, 0x82, {x[0], static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)});
        break;
    }
    case 0x83:
        s.eeprom[x[0]] = static_cast<uint16_t>((x[1] << 8) | x[2]);
        c.wrote = true;
        c.a.primary = make_ack(n);
        break;
    case 0x84:
        c.a.primary = make_packet(n, 0x84, {x[0], x[1], teds_byte(s, (x[0] << 8) | x[1])});
        break;
    case 0x85:
        set_teds_byte(s, (x[0] << 8) | x[1], x[2]);
        c.wrote = true;
        c.a.primary = make_ack(n);
        break;
    case 0x86:
        if (x[0] > 3) return c.fail(kErrPacketCommand, "read channel register: channel " + std::to_string(x[0]) +
                                                          " does not exist (0..3) [" + hex_bytes(c.r.raw) + "]");
        c.a.primary = make_packet(n, 0x86, {x[0], x[1], s.channel[x[0]][x[1]]});
        break;
    case 0x87:
        if (x[0] > 3) return c.fail(kErrPacketCommand, "write channel register: channel " + std::to_string(x[0]) +
                                                          " does not exist (0..3) [" + hex_bytes(c.r.raw) + "]");
        s.channel[x[0]][x[1]] = x[2];
        c.wrote = true;
        c.a.primary = make_ack(n);
        break;
    case 0x88: {
        std::vector<uint8_t> page(kPageSize);
        for (int i = 0; i < kPageSize; ++i) page[i] = page_byte(s.pages, x[0], i);
        c.a.primary = make_packet(n, 0x88, page);
        break;
    }
    case 0x49:  // create backup of page x[0]
        copy_page(s.backups, x[0], s.pages, x[0]);
        c.wrote = true;
        c.a.primary = make_ack(n);
        break;
    case 0x4A:  // restore page x[0] from its backup
        copy_page(s.pages, x[0], s.backups, x[0]);
        c.wrote = true;
        c.a.primary = make_ack(n);
        break;
    case 0x59:  // source, destination
        copy_page(s.pages, x[1], s.pages, x[0]);
        c.wrote = true;
        c.a.primary = make_ack(n);
        break;
    case 0x5A:  // destination, source
        copy_page(s.pages, x[0], s.pages, x[1]);
        c.wrote = true;
        c.a.primary = make_ack(n);
        break;
    }
}

} // namespace detail
} // namespace qolven_sim
