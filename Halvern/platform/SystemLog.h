#pragma once
// The system log, where user-facing reasons are recorded.

#include <string_view>

namespace platform {

class SystemLog {
public:
    virtual ~SystemLog() = default;
    // Records one message verbatim; the message is never used as a format.
    virtual void log(std::string_view message) = 0;
};

}  // namespace platform
