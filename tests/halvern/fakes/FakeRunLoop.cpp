#include "FakeRunLoop.h"

#include <algorithm>

void FakeRunLoop::scheduleTimer(Interval interval, std::function<void()> action) {
    scheduled.push_back(interval);
    const auto due = clock_.current + std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
    pending.push_back(Timer{due, interval, std::move(action)});
}

bool FakeRunLoop::runOnce(platform::Clock::TimePoint limit) {
    runLimits.push_back(limit);
    if (onRun) onRun(static_cast<int>(runLimits.size()));
    if (pending.empty()) return false;

    auto earliest = std::min_element(pending.begin(), pending.end(),
                                     [](const Timer& a, const Timer& b) { return a.due < b.due; });
    if (earliest->due > limit) {
        clock_.current = std::max(clock_.current, limit);
        return true;
    }
    clock_.current = std::max(clock_.current, earliest->due);
    // Off the list before it fires: the action may schedule timers, or unwind.
    std::function<void()> action = std::move(earliest->action);
    pending.erase(earliest);
    action();
    return true;
}
