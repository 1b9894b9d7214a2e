#include "platform/linux/ProcfsWorkspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "Foundation.h"
#include "platform/linux/PlistBundles.h"

namespace platform {

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr std::string_view kAppSuffix = ".app";

bool IsProcessDirectoryName(const char* name) {
    if (*name == '\0' || *name == '0') return false;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    return true;
}

std::optional<std::string> ReadLinkAt(int directory, const std::string& relative) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlinkat(directory, relative.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::nullopt;
    std::string target(buffer, static_cast<size_t>(length));
    if (target.ends_with(kDeletedSuffix)) {
        struct stat st;
        if (::lstat(target.c_str(), &st) != 0) target.resize(target.size() - kDeletedSuffix.size());
    }
    return target;
}

std::optional<std::string> ProcessName(int directory, const std::string& pid) {
    const int fd = ::openat(directory, (pid + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[64];
    const ssize_t length = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (length <= 0) return std::nullopt;
    std::string name(buffer, static_cast<size_t>(length));
    while (!name.empty() && name.back() == '\n') name.pop_back();
    if (name.empty()) return std::nullopt;
    return name;
}

std::optional<std::string> NonEmpty(std::optional<std::string> text) {
    if (text && text->empty()) return std::nullopt;
    return text;
}

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

}  // namespace

std::optional<std::string> ProcessExecutablePath(int pid, const std::string& procRoot) {
    const int directory = ::open(procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return std::nullopt;
    std::optional<std::string> path = ReadLinkAt(directory, std::to_string(pid) + "/exe");
    ::close(directory);
    return path;
}

std::optional<std::vector<RunningApplication>> ProcfsWorkspace::runningApplications() const {
    std::unique_ptr<DIR, DirectoryCloser> proc(::opendir(procRoot.c_str()));
    if (!proc) return std::nullopt;
    const int directory = ::dirfd(proc.get());

    // Many processes share a bundle: each Info.plist is read once per snapshot.
    std::map<std::string, std::optional<InfoDictionary>, std::less<>> infos;
    std::vector<RunningApplication> applications;
    while (const struct dirent* entry = ::readdir(proc.get())) {
        if (!IsProcessDirectoryName(entry->d_name)) continue;
        const std::string pid(entry->d_name);
        const std::optional<std::string> executable = ReadLinkAt(directory, pid + "/exe");
        if (!executable) continue;
        const std::optional<std::string> bundlePath = EnclosingAppFolder(*executable);
        if (!bundlePath) continue;

        auto info = infos.find(*bundlePath);
        if (info == infos.end()) info = infos.emplace(*bundlePath, bundles_.infoDictionary(*bundlePath)).first;

        RunningApplication application;
        application.processIdentifier = std::atoi(pid.c_str());
        application.bundlePath = bundlePath;
        if (info->second) {
            application.bundleIdentifier = info->second->string("CFBundleIdentifier");
            application.localizedName = NonEmpty(info->second->string("CFBundleDisplayName"));
            if (!application.localizedName) application.localizedName = NonEmpty(info->second->string("CFBundleName"));
        }
        if (!application.localizedName) {
            std::string folderName = LastPathComponent(*bundlePath);
            folderName.resize(folderName.size() - kAppSuffix.size());
            application.localizedName = NonEmpty(std::move(folderName));
        }
        if (!application.localizedName) application.localizedName = ProcessName(directory, pid);
        applications.push_back(std::move(application));
    }
    return applications;
}

std::optional<std::string> ProcfsWorkspace::displayNameAtPath(const std::string& path) const {
    if (path.empty()) return std::nullopt;
    return LastPathComponent(path);
}

}  // namespace platform
