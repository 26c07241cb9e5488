// Fast data 0x43/0x53: the board's sample generator and its answer.
//
// The generator runs lazily: when the host asks, the samples owed since the last look
// (elapsed time x rate of the sampling-rate code) are produced from the live signal at
// their own sample times.  At most 64 samples wait; older ones are dropped.  A sample is
// the board's count and nothing else (a 2-byte sample is the count's upper 16 bits); what
// the generator did is counted instead (FastCounters: generated = delivered + dropped +
// waiting).  A packet holds at most (255 - 4) / width samples (62 for 4-byte samples);
// the rest waits for the next request.
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
    d.fast.sinceStart = 0;
    d.fast.totals.dropped += d.fast.waiting.size();
    d.fast.waiting.clear();
    d.fast.rate = rate_for_code(adc_config_byte(d, 0) & 0x0F);
}

void fast_catch_up(Device &d, TimePoint now) {
    FastGenerator &g = d.fast;
    double elapsed = seconds_between(g.start, now);
    if (elapsed < 0) return;
    uint64_t due = static_cast<uint64_t>(std::floor(elapsed * g.rate + 1e-9));
    if (due <= g.sinceStart) return;
    uint64_t owed = due - g.sinceStart;
    if (owed > kMaxWaitingSamples) {
        // Everything waiting and all but the newest 64 owed samples are lost.
        uint64_t lost = owed - kMaxWaitingSamples;
        g.seq += static_cast<uint32_t>(lost);
        g.sinceStart += lost;
        g.totals.generated += lost;
        g.totals.dropped += lost + g.waiting.size();
        owed = kMaxWaitingSamples;
        g.waiting.clear();
    }
    int channels = d.cfg.boardType == 9 ? d.cfg.activeChannels : 1;
    for (uint64_t i = 0; i < owed; ++i) {
        TimePoint t = g.start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(static_cast<double>(g.sinceStart) / g.rate));
        Sample s;
        s.seq = g.seq;
        if (d.replay) {
            size_t i = replay_index_of(d, g.seq, g.rate);
            int32_t v = d.replay->counts[i];
            s.count = v < 0 ? 0 : (v > 16777215 ? 16777215 : v);
            s.channel = static_cast<uint8_t>(d.replay->channels[i] & 3);
        } else {
            int32_t v = live_count(d, t);
            s.count = v < 0 ? 0 : (v > 16777215 ? 16777215 : v);
            s.channel = static_cast<uint8_t>(g.seq % channels);
        }
        g.waiting.push_back(s);
        if (g.waiting.size() > kMaxWaitingSamples) {
            g.waiting.pop_front();
            g.totals.dropped++;
        }
        g.seq++;
        g.sinceStart++;
        g.totals.generated++;
    }
}

void fast_set_rate(Device &d, double rate, TimePoint now) {
    if (rate == d.fast.rate) return;
    fast_catch_up(d, now);
    d.fast.start = now;
    d.fast.sinceStart = 0;
    d.fast.rate = rate;
}

static void encode_sample(const Sample &s, int width, bool channelByte, std::vector<uint8_t> &out) {
    if (channelByte) out.push_back(s.channel);
    uint32_t v = static_cast<uint32_t>(s.count) & 0xFFFFFF;
    int countBytes = channelByte ? width - 1 : width;
    out.push_back((v >> 16) & 0xFF);
    out.push_back((v >> 8) & 0xFF);
    if (countBytes == 3) out.push_back(v & 0xFF);
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
    d.fast.totals.delivered += count;
    c.a.primary = make_packet(c.r.number, c.r.command, data);
    c.a.fast = true;
    c.a.fastWidth = width;
    c.a.fastSamples = count;
}

} // namespace detail
} // namespace qolven_sim
