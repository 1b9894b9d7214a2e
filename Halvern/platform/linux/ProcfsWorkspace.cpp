#include "platform/linux/ProcfsWorkspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <system_error>
#include <thread>

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

// From this many processes on, the executable links are read by several threads.
constexpr size_t kProcessesPerThread = 256;
constexpr unsigned kMaximumThreads = 4;
// Bundles remembered at most; beyond it the cache starts afresh.
constexpr size_t kMaximumCachedBundles = 4096;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The executable of each process named in pids, read through the /proc folder.
std::vector<std::optional<std::string>> ExecutablePaths(int proc, const std::vector<std::string>& pids) {
    std::vector<std::optional<std::string>> executables(pids.size());
    const auto resolve = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) executables[i] = ReadLinkAt(proc, pids[i] + "/exe");
    };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t threads = std::min<size_t>({cores, kMaximumThreads, pids.size() / kProcessesPerThread + 1});
    const size_t slice = (pids.size() + threads - 1) / threads;
    std::vector<std::jthread> helpers;
    size_t done = slice;  // the first slice is this thread's
    try {
        for (size_t start = slice; start < pids.size(); start += slice) {
            helpers.emplace_back(resolve, start, std::min(pids.size(), start + slice));
            done = std::min(pids.size(), start + slice);
        }
    } catch (const std::system_error&) {
        // No more threads to be had: this thread reads the rest.
    }
    resolve(0, std::min(pids.size(), slice));
    resolve(done, pids.size());
    return executables;  // the helpers have joined
}

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

    // A /proc that does not list this very process (an empty folder where
    // nothing is mounted, or the processes of another pid namespace) shows
    // nothing of what runs here: no snapshot, rather than one of nobody.
    const std::string self = std::to_string(::getpid());
    bool selfListed = false;
    std::vector<std::string> pids;
    while (const struct dirent* entry = ::readdir(proc.get())) {
        if (!IsProcessDirectoryName(entry->d_name)) continue;
        pids.emplace_back(entry->d_name);
        if (pids.back() == self) selfListed = true;
    }
    if (!selfListed) return std::nullopt;
    std::vector<std::optional<std::string>> executables = ExecutablePaths(directory, pids);

    // Many processes share a bundle: each one is looked at once per snapshot.
    std::map<std::string, std::shared_ptr<const InfoDictionary>, std::less<>> infos;
    std::vector<RunningApplication> applications;
    for (size_t i = 0; i < pids.size(); ++i) {
        const std::string& pid = pids[i];
        const std::optional<std::string>& executable = executables[i];
        if (!executable) continue;
        const std::optional<std::string> bundlePath = EnclosingAppFolder(*executable);
        if (!bundlePath) continue;

        auto info = infos.find(*bundlePath);
        if (info == infos.end()) info = infos.emplace(*bundlePath, infoDictionary(*bundlePath)).first;

        RunningApplication application;
        application.processIdentifier = std::atoi(pid.c_str());
        application.bundlePath = bundlePath;
        if (info->second) {
            application.bundleIdentifier = info->second->string("CFBundleIdentifier");
            application.localizedName = NonEmpty(info->second->string(kBundleDisplayNameKey));
            if (!application.localizedName) application.localizedName = NonEmpty(info->second->string(kBundleNameKey));
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

std::shared_ptr<const InfoDictionary> ProcfsWorkspace::infoDictionary(const std::string& bundlePath) const {
    const auto read = [&]() -> std::shared_ptr<const InfoDictionary> {
        std::optional<InfoDictionary> info = bundles_.infoDictionary(bundlePath);
        if (!info) return nullptr;
        return std::make_shared<const InfoDictionary>(std::move(*info));
    };
    // lstat: a link in the Info.plist's place is not the file it names (and is
    // refused when read).
    struct stat identity;
    if (::lstat((bundlePath + "/Contents/Info.plist").c_str(), &identity) != 0 || !S_ISREG(identity.st_mode)) {
        return read();  // another layout, or no regular file: read as it is
    }
    {
        std::lock_guard<std::mutex> guard(cacheMutex_);
        const auto cached = infoCache_.find(bundlePath);
        if (cached != infoCache_.end() && SameFile(cached->second.identity, identity)) return cached->second.info;
    }
    std::shared_ptr<const InfoDictionary> info = read();
    std::lock_guard<std::mutex> guard(cacheMutex_);
    if (infoCache_.size() >= kMaximumCachedBundles) infoCache_.clear();
    infoCache_[bundlePath] = CachedInfo{identity, info};
    return info;
}

std::optional<std::string> ProcfsWorkspace::displayNameAtPath(const std::string& path) const {
    if (path.empty()) return std::nullopt;
    return LastPathComponent(path);
}

}  // namespace platform
