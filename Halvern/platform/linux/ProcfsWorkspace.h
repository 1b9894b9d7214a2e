#pragma once
// The running applications, from /proc: a running application is a process whose
// executable (/proc/PID/exe) lies inside an application bundle, the nearest
// *.app folder above it. Its identifier is the bundle's CFBundleIdentifier; its
// name CFBundleDisplayName, else CFBundleName, else the bundle's folder name
// without ".app", else the process name (/proc/PID/comm).
//
// Processes that end while the snapshot is taken, kernel threads, and processes
// whose executable this process may not see (another user's, when not root) are
// left out. An executable deleted since its start ("... (deleted)") still names
// its bundle; a bundle deleted with it has no identifier. A /proc that does not
// list this process itself (not mounted, or another pid namespace's) gives no
// snapshot at all.
//
// Speed: reading a process's executable link is most of the cost (a few
// microseconds each), so a long process list is read by several threads. An
// Info.plist is parsed again only when its file has changed (another inode,
// size, or modification or change time). Info.plists are read through bundles,
// whose reader bounds what any one costs whatever it holds (another user's
// bundle included: PlistReader.h), and only the keys the system reads are kept.

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/Bundles.h"
#include "platform/Workspace.h"

namespace platform {

class ProcfsWorkspace : public Workspace {
public:
    // Info.plists are read through bundles.
    explicit ProcfsWorkspace(const Bundles& bundles) : bundles_(bundles) {}

    std::optional<std::vector<RunningApplication>> runningApplications() const override;
    // Linux shows files under their own names: the last path component.
    std::optional<std::string> displayNameAtPath(const std::string& path) const override;

    // Where /proc is read from (a test may point it at a copy).
    std::string procRoot = "/proc";

private:
    // The bundle's Info.plist, from the cache while Contents/Info.plist is the
    // same file as when it was read.
    // Null when there is no bundle there.
    std::shared_ptr<const InfoDictionary> infoDictionary(const std::string& bundlePath) const;

    struct CachedInfo {
        struct stat identity;
        std::shared_ptr<const InfoDictionary> info;
    };
    const Bundles& bundles_;
    mutable std::mutex cacheMutex_;
    mutable std::unordered_map<std::string, CachedInfo> infoCache_;
};

// The executable of process pid (/proc/PID/exe), without the " (deleted)" that
// the kernel appends once the file is gone; nullopt when the process has ended,
// has no executable (a kernel thread) or may not be inspected.
std::optional<std::string> ProcessExecutablePath(int pid, const std::string& procRoot = "/proc");

}  // namespace platform
