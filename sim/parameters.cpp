// Board commands 0x20..0x2D and their channel forms 0x30..0x3A.  Each value lands in
// the register that the matching getter reads on that board type.
//
// Values without a getter are kept in memory registers:
//   sensor configuration 0x26/0x36   memory register 48 + channel (48..51)
//   load switch 0x27                 memory register 39
//   digital components 0x2C (a,b,c)  memory registers 44, 45, 46
//   calibration mode 0x2D (a,b)      memory registers 56, 57
//   calibration register 0x23 (r,a,b) EEPROM register r = (a, b)
#include "sim_internal.h"

namespace qolven_sim {
namespace detail {

static uint16_t keep_high(uint16_t reg, uint8_t low) { return static_cast<uint16_t>((reg & 0xFF00) | low); }

void handle_parameters(HandlerContext &c) {
    Device &d = c.d;
    Storage &s = d.st;
    const uint8_t cmd = c.r.command;
    const int type = d.cfg.boardType;
    const bool channelForm = cmd >= 0x30 && cmd <= 0x3A;
    std::vector<uint8_t> x = c.r.data;
    int channel = 0;
    if (channelForm) {
        channel = x[0];
        if (channel > 3)
            return c.fail(kErrPacketCommand, "board command 0x" + hex2(cmd) + " for channel " + std::to_string(channel) +
                                                 " (channels 0..3) [" + hex_bytes(c.r.raw) + "]");
        x.erase(x.begin());
    }
    const uint8_t base = channelForm ? cmd - 0x10 : cmd;
    const uint8_t n = c.r.number;
    auto point_ok = [&](int p) {
        if (p <= last_point(type)) return true;
        c.fail(kErrPacketCommand, "board command 0x" + hex2(cmd) + ": loading point " + std::to_string(p) +
                                      " is outside the table of board type " + std::to_string(type) + " (0.." +
                                      std::to_string(last_point(type)) + ") [" + hex_bytes(c.r.raw) + "]");
        return false;
    };

    switch (base) {
    case 0x20:  // sensor identification number: high, middle, low
        if (type == 9) {
            s.channel[channel][104] = x[0]; s.channel[channel][103] = x[1]; s.channel[channel][102] = x[2];
        } else if (type == 0) {
            s.eeprom[124] = static_cast<uint16_t>((x[0] << 8) | x[1]);
            s.eeprom[122] = static_cast<uint16_t>((x[2] << 8) | (s.eeprom[122] & 0xFF));
        } else {
            s.eeprom[104] = static_cast<uint16_t>(0xFF00 | x[0]);
            s.eeprom[102] = static_cast<uint16_t>((x[1] << 8) | x[2]);
        }
        break;
    case 0x23:  // calibration register: register, first byte, second byte
        s.eeprom[x[0]] = static_cast<uint16_t>((x[1] << 8) | x[2]);
        break;
    case 0x24:  // set loading point: the live count becomes the point's entry
        if (!point_ok(x[0])) return;
        store_entry(d, channel, x[0], live_count(d, c.now));
        break;
    case 0x25: {  // load of loading point: point, high, low
        if (!point_ok(x[0])) return;
        int p = x[0];
        if (type == 9) {
            s.channel[channel][(2 * p + 65) & 0xFF] = x[1];
            s.channel[channel][(2 * p + 64) & 0xFF] = x[2];
        } else {
            s.eeprom[(2 * p + (type == 0 ? 80 : 64)) & 0xFF] = static_cast<uint16_t>((x[1] << 8) | x[2]);
        }
        break;
    }
    case 0x26:
        s.memory[48 + channel] = x[0];
        break;
    case 0x27:
        s.memory[39] = x[0];
        break;
    case 0x28:  // number of loading points
        if (type == 9) s.channel[channel][96] = x[0];
        else if (type == 0) s.eeprom[120] = keep_high(s.eeprom[120], x[0]);
        else s.eeprom[96] = keep_high(s.eeprom[96], x[0]);
        break;
    case 0x29:  // ADC configuration byte
        set_adc_config_byte(d, channel, x[0]);
        if (channel == 0) fast_set_rate(d, rate_for_code(x[0] & 0x0F), c.now);
        break;
    case 0x2A:  // average setting
        s.memory[35] = x[0];
        break;
    case 0x2B:  // voltage output
        s.eeprom[126] = keep_high(s.eeprom[126], x[0]);
        break;
    case 0x2C:  // digital components
        s.memory[44] = x[0]; s.memory[45] = x[1]; s.memory[46] = x[2];
        break;
    case 0x2D:  // calibration mode
        s.memory[56] = x[0]; s.memory[57] = x[1];
        break;
    }
    c.wrote = true;
    c.a.primary = make_ack(n);
    if (base == 0x2C || base == 0x2D)
        c.a.later.push_back({static_cast<int64_t>(d.cfg.completionDelayMs) * 1000, {n, 4, 0x45, 0xAA}});
}

} // namespace detail
} // namespace qolven_sim
