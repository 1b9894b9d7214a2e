#include "platform/linux/SteadyClock.h"

namespace platform {

Clock::TimePoint SteadyClock::now() const { return std::chrono::steady_clock::now(); }

}  // namespace platform
