#include "scripted_clock.h"

#include <algorithm>
#include <map>

#include "core/timing.h"

namespace scripted_clock {
namespace {

struct State {
    int64_t now = 0;
    std::multimap<int64_t, std::function<void()>> planned;
    int64_t holdFrom = -1, holdUntil = 0;
    int sleeps = 0;
};

State &state() {
    static State s;
    return s;
}

void advanceTo(int64_t target) {
    State &s = state();
    ++s.sleeps;
    if (s.holdFrom >= 0 && s.now >= s.holdFrom) {
        target = std::max(target, s.holdUntil);
        s.holdFrom = -1;
    }
    while (!s.planned.empty() && s.planned.begin()->first <= target) {
        auto next = s.planned.begin();
        s.now = std::max(s.now, next->first);
        std::function<void()> action = std::move(next->second);
        s.planned.erase(next);
        action();
    }
    s.now = std::max(s.now, target);
}

} // namespace

void reset() { state() = State(); }
int64_t now() { return state().now; }
void at(int64_t when, std::function<void()> action) { state().planned.emplace(when, std::move(action)); }
void holdUp(int64_t from, int64_t until) {
    state().holdFrom = from;
    state().holdUntil = until;
}
int sleeps() { return state().sleeps; }

} // namespace scripted_clock

namespace _QOLVEN_USB_DLL {
namespace detail {

int64_t monotonicNanos() { return scripted_clock::now(); }
void sleepUntil(int64_t deadlineNanos) { scripted_clock::advanceTo(deadlineNanos); }
void pollPause(int64_t limitNanos) {
    const int64_t now = scripted_clock::now();
    if (now >= limitNanos) return;
    scripted_clock::advanceTo(std::min(now + kPollPauseNanos, limitNanos));
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
