#pragma once
// Facts about the running process and the process that launched it.

#include <optional>
#include <string>

namespace platform {

class ProcessInfo {
public:
    virtual ~ProcessInfo() = default;

    // This process's identifier.
    virtual int processIdentifier() const = 0;

    // The bundle path of the process that launched this one (its parent), when
    // that process runs from an application bundle. nullopt when the launcher
    // cannot be found out or lies in no bundle.
    virtual std::optional<std::string> launcherBundlePath() const = 0;
};

}  // namespace platform
