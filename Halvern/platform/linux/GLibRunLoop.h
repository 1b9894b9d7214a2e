#pragma once
// The run loop of the main thread on the GLib main context: timers are GLib
// timeout sources, and running the loop once is one bounded iteration of the
// default main context. Needs GLib only, never GTK, so the command-line mode
// can wait without loading any graphical library; in graphical mode GTK runs
// the same context, so its dialogs and these timers share one loop.

#include "platform/Clock.h"
#include "platform/RunLoop.h"

namespace platform {

class GLibRunLoop : public RunLoop {
public:
    explicit GLibRunLoop(const Clock& clock) : clock_(clock) {}

    void scheduleTimer(Interval interval, std::function<void()> action) override;
    bool runOnce(Clock::TimePoint limit) override;
    void stop() override;

private:
    const Clock& clock_;
};

}  // namespace platform
