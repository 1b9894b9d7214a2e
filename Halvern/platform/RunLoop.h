#pragma once
// The main thread's run loop: one-shot timers, and running the loop by hand.

#include <chrono>
#include <functional>

#include "platform/Clock.h"

namespace platform {

class RunLoop {
public:
    using Interval = std::chrono::duration<double>;  // seconds
    virtual ~RunLoop() = default;

    // Schedules action to run once on this run loop, interval after now, from
    // inside a later runOnce (or any other run of the same loop, such as a modal
    // dialog's). A fired timer is gone; there is no way to cancel one.
    virtual void scheduleTimer(Interval interval, std::function<void()> action) = 0;

    // Runs the loop once: waits until a timer is due, another source has input,
    // or limit has passed, handles what is ready and returns. Sub-millisecond
    // remainders are rounded up, so the wait never ends before limit only
    // because of rounding. True when the loop could run; false when it could not
    // (it has nothing to wait for, or another thread owns it).
    virtual bool runOnce(Clock::TimePoint limit) = 0;

    // Makes a runOnce in progress return as soon as the handler that called
    // stop has finished.
    virtual void stop() = 0;
};

}  // namespace platform
