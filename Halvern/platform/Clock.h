#pragma once
// The time, for timers and for the age of heartbeats.

#include <chrono>

namespace platform {

class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    // Monotonic now: never jumps when the wall clock is set.
    virtual TimePoint now() const = 0;
};

}  // namespace platform
