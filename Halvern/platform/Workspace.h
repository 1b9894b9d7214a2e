#pragma once
// The applications that run on this machine, and the names the desktop shows.

#include <optional>
#include <string>
#include <vector>

namespace platform {

// One running application: a process whose program lies inside an application
// bundle. Every field may be missing (a bundle without Info.plist has no
// identifier).
struct RunningApplication {
    int processIdentifier = 0;
    std::optional<std::string> bundleIdentifier;
    // The bundle's full path, as the system resolved it (no "." or ".."
    // components, no trailing "/").
    std::optional<std::string> bundlePath;
    // The name to show for the application.
    std::optional<std::string> localizedName;
};

class Workspace {
public:
    virtual ~Workspace() = default;

    // A snapshot of the running applications, in the system's order. Processes
    // that end while the snapshot is taken, or that cannot be inspected, are
    // left out. nullopt when the list of processes itself cannot be read.
    virtual std::optional<std::vector<RunningApplication>> runningApplications() const = 0;

    // The name that the desktop shows for the file or folder at path, extension
    // included; nullopt when path names nothing that could be shown.
    virtual std::optional<std::string> displayNameAtPath(const std::string& path) const = 0;
};

}  // namespace platform
