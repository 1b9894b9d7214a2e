#pragma once
// The running process itself: its argument vector and its end.

#include <span>

namespace platform {

class Process {
public:
    virtual ~Process() = default;

    // The process's own argument vector: the very array that main received,
    // argv[0] .. argv[argc - 1], whoever asks and from wherever.
    virtual std::span<char* const> arguments() const = 0;

    // Ends the process with status, as exit(3) does: standard output is flushed
    // and the parent sees the low 8 bits (-1 is seen as 255). Does not return on
    // a real platform; a test's stand-in records the status and unwinds.
    virtual void exit(int status) = 0;
};

}  // namespace platform
