#include "platform/linux/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/linux/RootTrust.h"

namespace platform {

namespace {

Status Failure(const char* what, const std::string& path, int error) {
    return Status::Failure(std::string(what) + " " + path + ": " + std::strerror(error));
}

}  // namespace

bool PosixFileSystem::fileExists(const std::string& path) const {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool PosixFileSystem::isReadableFile(const std::string& path) const {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

bool PosixFileSystem::isSameFolder(const std::string& a, const std::string& b) const {
    struct stat first;
    struct stat second;
    return ::stat(a.c_str(), &first) == 0 && S_ISDIR(first.st_mode) && ::stat(b.c_str(), &second) == 0 &&
           S_ISDIR(second.st_mode) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::optional<std::string> PosixFileSystem::temporaryDirectory() const {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && *tmpdir != '\0') return std::string(tmpdir);
    return std::string("/tmp");
}

std::optional<std::string> PosixFileSystem::currentDirectoryPath() const {
    // getcwd(NULL, 0) allocates as much as the path needs.
    char* path = ::getcwd(nullptr, 0);
    if (path == nullptr) return std::nullopt;
    std::string result(path);
    std::free(path);
    return result;
}

Status PosixFileSystem::createPrivateFolder(const std::string& parent, std::string* path) {
    std::string pattern = parent;
    while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
    if (pattern != "/") pattern += '/';
    pattern += "Halvern-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return Failure("Could not create a private folder in", parent, errno);
    *path = std::move(pattern);
    return Status::Ok();
}

Status PosixFileSystem::createEmptyFile(const std::string& path) {
    // 0666 before the umask: the default permissions of a new file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return Failure("Could not create", path, errno);
    ::close(fd);
    return Status::Ok();
}

Status PosixFileSystem::removeItem(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return Status::Ok();
    int error = errno;
    // Linux answers EISDIR for a folder (POSIX allows EPERM too).
    if (error == EISDIR || error == EPERM) {
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            if (::rmdir(path.c_str()) == 0) return Status::Ok();
            error = errno;
        }
    }
    return Failure("Could not remove", path, error);
}

Status PosixFileSystem::createSymbolicLink(const std::string& linkPath, const std::string& target) {
    if (!EffectiveUserIsRoot()) {
        if (::symlink(target.c_str(), linkPath.c_str()) == 0) return Status::Ok();
        return Failure("Could not create a symbolic link at", linkPath, errno);
    }
    // The link's own name is not resolved: only its folder is walked.
    const size_t slash = linkPath.rfind('/');
    const std::string name = slash == std::string::npos ? linkPath : linkPath.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : linkPath.substr(0, slash);
    if (name.empty() || name == "." || name == "..") {
        return Status::Failure("Could not create a symbolic link at " + linkPath + ": it names no entry of a folder");
    }
    const RootTrust trust = CheckRootTrust(folder);
    // A folder that is not there is no question of trust.
    if (trust.error != 0) return Failure("Could not create a symbolic link at", linkPath, trust.error);
    if (!trust.status.ok()) {
        return Status::Failure("Could not create a symbolic link at " + linkPath +
                               ": its folder is not trusted: " + trust.status.localizedDescription());
    }
    if (!S_ISDIR(trust.mode)) return Failure("Could not create a symbolic link at", linkPath, ENOTDIR);
    if (::symlinkat(target.c_str(), trust.descriptor.get(), name.c_str()) == 0) return Status::Ok();
    return Failure("Could not create a symbolic link at", linkPath, errno);
}

Status PosixFileSystem::trustForRoot(const std::string& path) const {
    if (!EffectiveUserIsRoot()) return Status::Ok();
    return CheckRootTrustWithin(path).status;
}

}  // namespace platform
