// Measurement commands: offset 0x40/0x50, full scale 0x41/0x51, normal data 0x42/0x52,
// internal register 0x47, data logging 0x48, and the live signal shared with fast data.
//
// Offset and full-scale counts are the entries of the first and the last loading point
// in the type's register map: point 0, and point 15 (19 on board type 0), which
// is where the offset and full-scale loads also sit (loads of points 0 and 15/19).
#include "sim_internal.h"

#include <cmath>

namespace qolven_sim {
namespace detail {

double signal_value(Device &d, TimePoint t) {
    const BoardConfig &c = d.cfg;
    double s = seconds_between(d.epoch, t);
    double v = c.signalOffset;
    if (c.signalPeriodS > 0) v += c.signalAmplitude * std::sin(2.0 * M_PI * s / c.signalPeriodS);
    else v += c.signalAmplitude;
    if (c.signalNoise > 0) {
        std::uniform_real_distribution<double> u(-c.signalNoise, c.signalNoise);
        v += u(d.noiseRng);
    }
    return v;
}

int32_t live_count(Device &d, TimePoint t) {
    if (d.replay) return d.replay->counts[replay_index_at(d, seconds_between(d.epoch, t))];
    double v = std::round(signal_value(d, t));
    if (v > 2147483647.0) v = 2147483647.0;
    if (v < -2147483648.0) v = -2147483648.0;
    return static_cast<int32_t>(v);
}

static uint32_t clamp24(int32_t v) { return v < 0 ? 0u : (v > 16777215 ? 16777215u : static_cast<uint32_t>(v)); }

void handle_measurement(HandlerContext &c) {
    Device &d = c.d;
    const auto &x = c.r.data;
    const uint8_t n = c.r.number;
    const uint8_t cmd = c.r.command;
    const bool channelForm = cmd >= 0x50 && cmd <= 0x52;
    int channel = 0;
    if (channelForm) {
        if (x[0] > 3)
            return c.fail(kErrPacketCommand, "measurement request for channel " + std::to_string(x[0]) +
                                                 " (channels 0..3) [" + hex_bytes(c.r.raw) + "]");
        channel = x[0];
    }
    switch (cmd) {
    case 0x42:
    case 0x52: {
        int32_t count = live_count(d, c.now);
        if (channelForm) {
            uint32_t v = clamp24(count);
            c.a.primary = make_packet(n, cmd, {static_cast<uint8_t>(channel), static_cast<uint8_t>(v >> 16),
                                               static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
        } else {
            uint8_t b[4];
            encode_status_count(count, b);
            c.a.primary = make_packet(n, cmd, {b[0], b[1], b[2], b[3]});
        }
        break;
    }
    case 0x40: case 0x50:
    case 0x41: case 0x51: {
        bool offset = cmd == 0x40 || cmd == 0x50;
        uint8_t b[4];
        read_entry(d, channel, offset ? 0 : last_point(d.cfg.boardType), b);
        if (channelForm) b[0] = static_cast<uint8_t>(channel);
        c.a.primary = make_packet(n, cmd, {b[0], b[1], b[2], b[3]});
        break;
    }
    case 0x47: {
        auto it = d.st.internal.find(x[0]);
        uint32_t v = it == d.st.internal.end() ? 0 : it->second;
        c.a.primary = make_packet(n, 0x47, {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                                            static_cast<uint8_t>(v)});
        break;
    }
    case 0x48: {
        int number = (x[0] << 8) | x[1];
        std::vector<uint8_t> rec;
        auto it = d.st.logs.find(number);
        if (it != d.st.logs.end()) {
            rec = it->second;
        } else {
            // Default record: number (16 bit), count = offset count + number (24 bit),
            // seconds since logging started = 10 * number (24 bit).
            uint32_t count = (8386698u + number) & 0xFFFFFF, secs = (10u * number) & 0xFFFFFF;
            rec = {x[0], x[1], static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 8),
                   static_cast<uint8_t>(count), static_cast<uint8_t>(secs >> 16), static_cast<uint8_t>(secs >> 8),
                   static_cast<uint8_t>(secs)};
        }
        rec.resize(8, 0);
        c.a.primary = make_packet(n, 0x48, rec);
        break;
    }
    }
}

} // namespace detail
} // namespace qolven_sim
