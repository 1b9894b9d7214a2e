#pragma once
// This process and its launcher through /proc: the launcher is the parent
// process (PPid in /proc/self/status), and its bundle the nearest *.app folder
// above its executable (/proc/PPID/exe).

#include "platform/ProcessInfo.h"

namespace platform {

class ProcfsProcessInfo : public ProcessInfo {
public:
    int processIdentifier() const override;
    std::optional<std::string> launcherBundlePath() const override;
};

// The parent process's identifier as /proc/self/status tells it; nullopt when it
// cannot be read.
std::optional<int> ParentProcessIdentifier();

}  // namespace platform
