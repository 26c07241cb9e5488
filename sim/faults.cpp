// Fault injection: choosing the fault for an answer (modes Next, EveryNth, Random with the
// device seed) and turning the answer into the pieces that reach the receive queue.
//
// Defaults when FaultSpec::delayUs is 0: Late 100000 us, Split and FastTwoPieces 200 us.
// A fault changes the request's first answer packet; further packets of the same request
// (reset announcement, completion packet) keep their timing after it, except that Partial
// and BoardError drop them.  NoAnswer, BoardError, FastEmpty and FastRefusal also keep the
// command from running (the board did not take it); the other faults only damage the answer.
// Fast-only faults wait for the next fast-data answer.
#include "sim_internal.h"

#include <algorithm>

namespace qolven_sim {
namespace detail {

static bool fast_only(Fault k) {
    return k == Fault::FastEmpty || k == Fault::FastTwoPieces || k == Fault::FastRefusal || k == Fault::FastShort;
}

FaultSpec pick_fault(Device &d, bool fastAnswer) {
    FaultSpec chosen;
    for (auto it = d.faults.begin(); it != d.faults.end();) {
        const FaultSpec &f = it->rule;
        if (f.kind == Fault::None || (fast_only(f.kind) && !fastAnswer)) {
            ++it;
            continue;
        }
        bool fire = false;
        switch (f.mode) {
        case FaultMode::Next:
            fire = true;
            break;
        case FaultMode::EveryNth:
            it->counter++;
            fire = f.every <= 1 || it->counter % f.every == 0;
            break;
        case FaultMode::Random: {
            std::uniform_real_distribution<double> u(0.0, 1.0);
            fire = u(d.faultRng) < f.probability;
            break;
        }
        }
        if (fire && chosen.kind == Fault::None) {
            chosen = f;
            if (f.mode == FaultMode::Next) {
                it = d.faults.erase(it);
                continue;
            }
        }
        ++it;
    }
    return chosen;
}

std::vector<Piece> apply_fault(Device &d, const FaultSpec &f, const Request &r, Answer &a) {
    (void)d;
    std::vector<uint8_t> &p = a.primary;
    std::vector<Piece> later = a.later;
    std::vector<Piece> out;
    auto delay = [&](unsigned def) { return static_cast<int64_t>(f.delayUs ? f.delayUs : def); };

    switch (f.kind) {
    case Fault::None:
    case Fault::NoAnswer:
        break;
    case Fault::Late: {
        int64_t dl = delay(100000);
        out.push_back({dl, p});
        for (auto &l : later) out.push_back({l.offsetUs + dl, l.bytes});
        return out;
    }
    case Fault::Partial: {
        size_t k = f.arg >= 0 ? static_cast<size_t>(f.arg) : p.size() / 2;
        p.resize(std::min(k, p.size()));
        later.clear();
        break;
    }
    case Fault::WrongNumber:
        if (!p.empty()) {
            int v = p[0] + 1;
            p[0] = static_cast<uint8_t>(v >= 255 ? 1 : v);
        }
        break;
    case Fault::WrongSize:
        if (p.size() > 1) p[1] = static_cast<uint8_t>(p[1] + 1);
        break;
    case Fault::WrongCommand:
        if (p.size() > 2) p[2] = static_cast<uint8_t>(f.arg >= 0 ? f.arg : 0x7F);
        break;
    case Fault::WrongEnd:
        if (!p.empty()) p.back() = 0x00;
        break;
    case Fault::BoardError:
        p = make_error(r.number, static_cast<uint8_t>(f.arg >= 0 ? f.arg : kErrCommand), r.command);
        later.clear();
        break;
    case Fault::LeadingFF:
        p.insert(p.begin(), 0xFF);
        break;
    case Fault::Split: {
        if (p.size() < 2) break;
        size_t k = f.arg > 0 ? std::min(static_cast<size_t>(f.arg), p.size() - 1) : p.size() / 2;
        int64_t dl = delay(200);
        out.push_back({0, std::vector<uint8_t>(p.begin(), p.begin() + k)});
        out.push_back({dl, std::vector<uint8_t>(p.begin() + k, p.end())});
        for (auto &l : later) out.push_back({std::max(l.offsetUs, dl), l.bytes});
        return out;
    }
    case Fault::ExtraBytes:
        p.insert(p.end(), static_cast<size_t>(f.arg >= 0 ? f.arg : 3), 0xEE);
        break;
    case Fault::FastEmpty:
        p = {r.number, 0, r.command, 0xAA};
        later.clear();
        break;
    case Fault::FastRefusal:
        p = {r.number, 4, static_cast<uint8_t>(f.arg >= 0 ? f.arg : kErrCommand), 0xAA};
        later.clear();
        break;
    case Fault::FastTwoPieces: {
        if (!a.fast || a.fastSamples == 0) break;  // a packet without samples cannot be split
        size_t first = 4 + (a.fastSamples / 2) * a.fastWidth;
        int64_t dl = delay(200);
        out.push_back({0, std::vector<uint8_t>(p.begin(), p.begin() + first)});
        out.push_back({dl, std::vector<uint8_t>(p.begin() + first, p.end())});
        return out;
    }
    case Fault::FastShort:
        if (!a.fast) break;
        if (p.size() + a.fastWidth <= 255) {
            p[1] = static_cast<uint8_t>(p.size() + a.fastWidth);
        } else {  // size byte already at its limit: send one sample less than announced
            p.erase(p.end() - 1 - static_cast<long>(a.fastWidth), p.end() - 1);
        }
        break;
    }
    if (!p.empty()) out.push_back({0, p});
    for (auto &l : later) out.push_back(l);
    return out;
}

} // namespace detail
} // namespace qolven_sim
