#pragma once
// The running process on Linux: the argument vector that main received, as the
// C library handed it to the program, and exit(3).

#include "platform/Process.h"

namespace platform {

class LinuxProcess : public Process {
public:
    std::span<char* const> arguments() const override;
    void exit(int status) override;
};

}  // namespace platform
