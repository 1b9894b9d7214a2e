#pragma once
// A run loop on the fake clock: running it moves the clock to the next timer
// that is due by the limit (and fires it) or to the limit.

#include <functional>
#include <vector>

#include "FakeClock.h"
#include "platform/RunLoop.h"

class FakeRunLoop : public platform::RunLoop {
public:
    explicit FakeRunLoop(FakeClock& clock) : clock_(clock) {}

    void scheduleTimer(Interval interval, std::function<void()> action) override;
    // Fires the earliest timer due by limit (the earliest scheduled first among
    // equals) after moving the clock to its time, or moves the clock to limit.
    // False, without moving the clock, when no timer is pending at all.
    bool runOnce(platform::Clock::TimePoint limit) override;
    void stop() override { ++stops; }

    struct Timer {
        platform::Clock::TimePoint due;
        Interval interval;
        std::function<void()> action;
    };
    std::vector<Timer> pending;  // in the order scheduled

    // Records.
    std::vector<Interval> scheduled;                    // every timer's interval, in order
    std::vector<platform::Clock::TimePoint> runLimits;  // every runOnce's limit
    int stops = 0;
    // Runs at the start of every runOnce, with the number of the run (1, 2, ...).
    std::function<void(int)> onRun;

private:
    FakeClock& clock_;
};
