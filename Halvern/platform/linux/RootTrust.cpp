#include "platform/linux/RootTrust.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform {

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

bool EffectiveUserIsRoot() { return ::geteuid() == 0; }

namespace {

// The kernel's own bound on the links one lookup may follow.
constexpr int kMaximumLinks = 40;

struct Entry {
    Descriptor fd;
    struct stat st {};
    std::string path;
};

bool WritableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

std::string NotOwnedByRoot(const std::string& path, uid_t uid) {
    std::string owner = "uid " + std::to_string(uid);
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        owner = std::string(found->pw_name) + " (" + owner + ")";
    }
    return path + " is owned by " + owner + ", not root";
}

std::string WritableByOthersText(const std::string& path, const struct stat& st) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return path + " is writable by others than its owner (mode " + mode + ")";
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// Pushes the components of path onto pending so that the first comes out first.
void PushComponents(const std::string& path, std::vector<std::string>& pending) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start) components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    pending.insert(pending.end(), components.rbegin(), components.rend());
}

Status Examine(Entry& entry, const std::string& path, int folder, const char* name, int& error) {
    entry.fd = Descriptor(::openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (entry.fd.get() < 0 || ::fstat(entry.fd.get(), &entry.st) != 0) {
        error = errno;
        return Status::Failure("Cannot examine " + path + ": " + std::strerror(error));
    }
    entry.path = path;
    if (entry.st.st_uid != 0) return Status::Failure(NotOwnedByRoot(path, entry.st.st_uid));
    return Status::Ok();
}

}  // namespace

RootTrust CheckRootTrust(const std::string& path) {
    RootTrust result;
    auto fail = [&result](std::string reason) {
        result.status = Status::Failure(std::move(reason));
        return std::move(result);
    };
    if (path.empty()) return fail("An empty path names nothing to trust");

    std::vector<std::string> pending;
    PushComponents(path, pending);
    if (path.front() != '/') {
        std::vector<char> cwd(PATH_MAX);
        if (::getcwd(cwd.data(), cwd.size()) == nullptr) {
            return fail("Cannot resolve " + path + ": the working folder is unknown: " + std::strerror(errno));
        }
        PushComponents(cwd.data(), pending);
    }

    std::vector<Entry> chain(1);
    if (Status root = Examine(chain.front(), "/", AT_FDCWD, "/", result.error); !root.ok()) return fail(root.localizedDescription());

    int links = 0;
    while (!pending.empty()) {
        const std::string name = std::move(pending.back());
        pending.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            // The chain holds no link, so its parent is the folder above.
            if (chain.size() > 1) chain.pop_back();
            continue;
        }
        const Entry& parent = chain.back();
        if (!S_ISDIR(parent.st.st_mode)) {
            result.error = ENOTDIR;
            return fail("Cannot examine " + Join(parent.path, name) + ": " + parent.path + " is not a folder");
        }

        Entry entry;
        if (Status examined = Examine(entry, Join(parent.path, name), parent.fd.get(), name.c_str(), result.error); !examined.ok()) {
            return fail(examined.localizedDescription());
        }
        // The entry is root's (Examine checked): a folder that others may
        // write holds it safely only when the sticky bit keeps them from
        // renaming or removing what is not theirs.
        if (WritableByOthers(parent.st) && (parent.st.st_mode & S_ISVTX) == 0) {
            return fail(WritableByOthersText(parent.path, parent.st));
        }
        if (S_ISLNK(entry.st.st_mode)) {
            if (++links > kMaximumLinks) return fail("Cannot resolve " + path + ": too many levels of symbolic links");
            std::vector<char> target(PATH_MAX + 1);
            const ssize_t length = ::readlinkat(entry.fd.get(), "", target.data(), target.size());
            if (length <= 0 || static_cast<size_t>(length) >= target.size()) {
                return fail("Cannot read the symbolic link " + entry.path + ": " + std::strerror(errno));
            }
            const std::string text(target.data(), static_cast<size_t>(length));
            PushComponents(text, pending);
            if (text.front() == '/') chain.resize(1);
            continue;
        }
        chain.push_back(std::move(entry));
    }

    Entry& last = chain.back();
    if (WritableByOthers(last.st)) return fail(WritableByOthersText(last.path, last.st));
    result.resolved = last.path;
    result.mode = last.st.st_mode;
    result.descriptor = std::move(last.fd);
    return result;
}

}  // namespace platform
