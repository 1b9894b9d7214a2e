#pragma once
// A clock that moves only when the test moves it.

#include "platform/Clock.h"

class FakeClock : public platform::Clock {
public:
    TimePoint now() const override {
        ++reads;
        return current;
    }
    void advance(std::chrono::steady_clock::duration by) { current += by; }

    TimePoint current{};
    mutable int reads = 0;
};
