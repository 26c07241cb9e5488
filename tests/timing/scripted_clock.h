// A clock for the library that the test drives: it stands in for
// src/core/timing.cpp in held_up_test, so that time passes only when the
// library sleeps, things happen at exact moments of that time, and a sleep
// can be made to last far longer than asked, as when the scheduler holds a
// thread up.
#ifndef QOLVEN_TEST_SCRIPTED_CLOCK_H
#define QOLVEN_TEST_SCRIPTED_CLOCK_H

#include <cstdint>
#include <functional>

namespace scripted_clock {

constexpr int64_t kMs = 1000000;

// Back to time 0, with nothing planned.
void reset();
// Nanoseconds of scripted time.
int64_t now();
// Runs `action` when a sleep passes `at`.
void at(int64_t at, std::function<void()> action);
// The first sleep or poll pause that starts at or after `from` lasts until
// `until`, whatever it asked for.
void holdUp(int64_t from, int64_t until);
// Sleeps and pauses taken since reset().
int sleeps();

} // namespace scripted_clock

#endif
