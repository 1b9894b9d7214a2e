#include "platform/linux/ProcfsProcessInfo.h"

#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/linux/PlistBundles.h"
#include "platform/linux/ProcfsWorkspace.h"

namespace platform {

int ProcfsProcessInfo::processIdentifier() const { return static_cast<int>(::getpid()); }

std::optional<int> ParentProcessIdentifier() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("PPid:")) {
            try {
                return std::stoi(line.substr(5));
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> ProcfsProcessInfo::launcherBundlePath() const {
    const std::optional<int> parent = ParentProcessIdentifier();
    if (!parent || *parent <= 0) return std::nullopt;
    const std::optional<std::string> executable = ProcessExecutablePath(*parent);
    if (!executable) return std::nullopt;
    return EnclosingAppFolder(*executable);
}

}  // namespace platform
