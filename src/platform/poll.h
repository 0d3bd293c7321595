#pragma once
// The one shape of every bounded wait: look, and sleep before looking again, a fixed number of
// times. The sleeps go through the clock port, so tests count them without sleeping.

#include <cstdint>
#include <optional>
#include <type_traits>

#include "platform/clock.h"

namespace vorn {

// Up to `tries` looks, `sleep_ms` apart.
struct PollSchedule {
    int tries = 0;
    uint32_t sleep_ms = 0;
};

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

// Runs `check` up to `schedule.tries` times and sleeps after each look that did not end the wait,
// the last one too. `check` returns bool (true: done) or an optional (a value ends the wait,
// whether it tells of success or failure). Returns what ended the wait; false or empty when no
// look did.
template <class Check>
std::invoke_result_t<Check&> poll_until(Clock& clock, PollSchedule schedule, Check&& check) {
    using Outcome = std::invoke_result_t<Check&>;
    static_assert(std::is_same_v<Outcome, bool> || kIsOptional<Outcome>, "a look answers bool or an optional");
    for (int look = 0; look < schedule.tries; ++look) {
        if (Outcome outcome = check()) return outcome;
        clock.sleep_ms(schedule.sleep_ms);
    }
    return Outcome{};
}

}  // namespace vorn
