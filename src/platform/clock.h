#pragma once

#include <cstdint>

namespace vorn {

// Every fixed wait and poll goes through here, so tests can count them without sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since 1970-01-01 00:00:00 UTC (0 when the clock reads earlier).
    virtual uint64_t unix_time_ms() = 0;
    virtual void sleep_ms(uint32_t milliseconds) = 0;
};

}  // namespace vorn
