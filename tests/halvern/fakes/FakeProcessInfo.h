#pragma once
// The process's identifier and launcher, as the test sets them.

#include <atomic>

#include "platform/ProcessInfo.h"

class FakeProcessInfo : public platform::ProcessInfo {
public:
    int processIdentifier() const override { return pid; }
    std::optional<std::string> launcherBundlePath() const override {
        ++launcherLookups;
        return launcherBundle;
    }

    int pid = 4242;
    std::optional<std::string> launcherBundle;
    mutable std::atomic<int> launcherLookups = 0;  // asked from broadcaster threads
};
