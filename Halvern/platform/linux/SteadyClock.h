#pragma once
// The monotonic clock of the C++ library.

#include "platform/Clock.h"

namespace platform {

class SteadyClock : public Clock {
public:
    TimePoint now() const override;
};

}  // namespace platform
