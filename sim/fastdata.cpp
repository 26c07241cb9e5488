// Fast data 0x43/0x53: the board's sample generator and its answer.
//
// The generator runs lazily: when the host asks, the samples owed since the last look
// (elapsed time x rate of the sampling-rate code) are produced from the live signal at
// their own sample times.  At most 64 samples wait; older ones are dropped.  Each sample
// has a sequence number that travels in the sample itself: in 3-byte counts (and the 3
// count bytes of type 9) the low byte of the count is the low 8 bits of the sequence
// number; in 2-byte short counts bits 0-3 of the second byte (count bits 8-11) are the low
// 4 bits of the sequence number.  A packet holds at most (255 - 4) / width samples (62
// for 4-byte samples); the rest waits for the next request.
#include "sim_internal.h"

#include <cmath>

namespace qolven_sim {
namespace detail {

double rate_for_code(int code) {
    static const double rates[16] = {2.5, 10, 20, 25, 30, 50, 60, 80, 100, 150, 200, 250, 300, 500, 750, 1000};
    return rates[code & 0x0F];
}

int fast_width(int type, int code) {
    switch (type) {
    case 1: case 2: case 3: case 6: case 7: case 11: case 12: case 13: case 16:
        return code <= 13 ? 3 : 2;
    case 4: case 14:
        return code <= 12 ? 3 : 2;
    case 8:
        return 3;
    case 9:
        return code <= 13 ? 4 : 3;
    default:
        return 0;
    }
}

void fast_restart(Device &d, TimePoint now) {
    d.fast.start = now;
    d.fast.generated = 0;
    d.fast.waiting.clear();
    d.fast.rate = rate_for_code(adc_config_byte(d, 0) & 0x0F);
}

void fast_catch_up(Device &d, TimePoint now) {
    FastGenerator &g = d.fast;
    double elapsed = seconds_between(g.start, now);
    if (elapsed < 0) return;
    uint64_t due = static_cast<uint64_t>(std::floor(elapsed * g.rate + 1e-9));
    if (due <= g.generated) return;
    uint64_t owed = due - g.generated;
    if (owed > kMaxWaitingSamples) {
        // Everything waiting and all but the newest 64 owed samples are lost.
        uint64_t lost = owed - kMaxWaitingSamples;
        g.seq += static_cast<uint32_t>(lost);
        g.generated += lost;
        owed = kMaxWaitingSamples;
        g.waiting.clear();
    }
    int channels = d.cfg.boardType == 9 ? d.cfg.activeChannels : 1;
    for (uint64_t i = 0; i < owed; ++i) {
        TimePoint t = g.start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(static_cast<double>(g.generated) / g.rate));
        Sample s;
        s.seq = g.seq;
        if (d.replay) {
            size_t i = replay_index_of(d, g.seq, g.rate);
            int32_t v = d.replay->counts[i];
            s.count = v < 0 ? 0 : (v > 16777215 ? 16777215 : v);
            s.channel = static_cast<uint8_t>(d.replay->channels[i] & 3);
            s.ownSequence = true;
        } else {
            int32_t v = live_count(d, t);
            s.count = v < 0 ? 0 : (v > 16777215 ? 16777215 : v);
            s.channel = static_cast<uint8_t>(g.seq % channels);
        }
        g.waiting.push_back(s);
        if (g.waiting.size() > kMaxWaitingSamples) g.waiting.pop_front();
        g.seq++;
        g.generated++;
    }
}

void fast_set_rate(Device &d, double rate, TimePoint now) {
    if (rate == d.fast.rate) return;
    fast_catch_up(d, now);
    d.fast.start = now;
    d.fast.generated = 0;
    d.fast.rate = rate;
}

static void encode_sample(const Sample &s, int width, bool channelByte, std::vector<uint8_t> &out) {
    if (channelByte) out.push_back(s.channel);
    uint32_t v = static_cast<uint32_t>(s.count) & 0xFFFFFF;
    int countBytes = channelByte ? width - 1 : width;
    if (countBytes == 3) {
        out.push_back((v >> 16) & 0xFF);
        out.push_back((v >> 8) & 0xFF);
        out.push_back(s.ownSequence ? v & 0xFF : s.seq & 0xFF);
    } else {
        out.push_back((v >> 16) & 0xFF);
        out.push_back(static_cast<uint8_t>(((v >> 8) & 0xF0) | ((s.ownSequence ? v >> 8 : s.seq) & 0x0F)));
    }
}

void handle_fast(HandlerContext &c) {
    Device &d = c.d;
    const bool channelForm = c.r.command == 0x53;
    int channel = 0;
    if (channelForm) {
        if (c.r.data[0] > 3)
            return c.fail(kErrPacketCommand, "fast data request for channel " + std::to_string(c.r.data[0]) +
                                                 " (channels 0..3) [" + hex_bytes(c.r.raw) + "]");
        channel = c.r.data[0];
    }
    int code = adc_config_byte(d, channel) & 0x0F;
    fast_set_rate(d, rate_for_code(code), c.now);
    fast_catch_up(d, c.now);
    int width = fast_width(d.cfg.boardType, code);
    if (width == 0)
        return c.fail(kErrCommand, "fast data is not available on board type " + std::to_string(d.cfg.boardType));
    size_t maxSamples = (255 - 4) / width;
    size_t count = std::min(maxSamples, d.fast.waiting.size());
    std::vector<uint8_t> data;
    data.reserve(count * width);
    for (size_t i = 0; i < count; ++i) {
        encode_sample(d.fast.waiting.front(), width, channelForm, data);
        d.fast.waiting.pop_front();
    }
    c.a.primary = make_packet(c.r.number, c.r.command, data);
    c.a.fast = true;
    c.a.fastWidth = width;
    c.a.fastSamples = count;
}

} // namespace detail
} // namespace qolven_sim
