#include "platform/linux/RootTrust.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/vfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>
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

RootTrust CheckRootTrust(const std::string& path, StickyFolders sticky) {
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
        // renaming or removing what is not theirs, and only while it is there.
        if (WritableByOthers(parent.st) && ((parent.st.st_mode & S_ISVTX) == 0 || sticky == StickyFolders::Refuse)) {
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

namespace {

// One folder of the walk: its descriptor, and the entries that may be folders
// still to look at.
struct Frame {
    Descriptor fd;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    bool exactLinkCounts = false;
    std::vector<std::string> folders;
    size_t next = 0;
};

// True when the file system of the folder open at fd gives every folder two
// links plus one for each folder inside it, so that two links mean no folder
// inside (ext2/3/4, XFS, tmpfs; not Btrfs or overlays).
bool ExactFolderLinkCounts(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case EXT4_SUPER_MAGIC:
        case XFS_SUPER_MAGIC:
        case TMPFS_MAGIC:
            return true;
        default:
            return false;
    }
}

// The entries of the folder open at fd that are folders, or whose type the
// file system does not tell. False with errno when the folder cannot be read.
bool ListPossibleFolders(int fd, std::vector<std::string>& names) {
    // getdents64 fills the buffer with struct dirent64 records.
    alignas(struct dirent64) char buffer[32 * 1024];
    for (;;) {
        const ssize_t length = ::getdents64(fd, buffer, sizeof buffer);
        if (length < 0) return false;
        if (length == 0) return true;
        for (ssize_t at = 0; at < length;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            names.emplace_back(name);
        }
    }
}

}  // namespace

Status CheckFoldersInside(int descriptor, const std::string& shown) {
    const auto cannot = [](const std::string& path, int error) {
        return Status::Failure("Cannot examine " + path + ": " + std::strerror(error));
    };
    // Ok, or why the folder at path is not root's alone.
    const auto judge = [](const std::string& path, const struct stat& st) {
        if (st.st_uid != 0) return Status::Failure(NotOwnedByRoot(path, st.st_uid));
        if (WritableByOthers(st)) return Status::Failure(WritableByOthersText(path, st));
        return Status::Ok();
    };
    std::vector<Frame> stack;
    {
        Frame top;
        top.fd = Descriptor(::openat(descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st;
        if (top.fd.get() < 0 || ::fstat(top.fd.get(), &st) != 0) return cannot(shown, errno);
        top.path = shown;
        top.device = st.st_dev;
        top.inode = st.st_ino;
        top.exactLinkCounts = ExactFolderLinkCounts(top.fd.get());
        if (!ListPossibleFolders(top.fd.get(), top.folders)) return cannot(shown, errno);
        stack.push_back(std::move(top));
    }
    while (!stack.empty()) {
        Frame& parent = stack.back();
        if (parent.next == parent.folders.size()) {
            stack.pop_back();
            continue;
        }
        const std::string& name = parent.folders[parent.next++];
        Frame child;
        child.path = Join(parent.path, name);
        // The parent is root's alone, so only root can change what the name
        // holds between this look and the open below.
        struct stat st;
        if (::fstatat(parent.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // removed meanwhile
            return cannot(child.path, errno);
        }
        if (!S_ISDIR(st.st_mode)) continue;  // a link or a file: no folder to judge
        if (Status judged = judge(child.path, st); !judged.ok()) return judged;
        if (stack.size() > static_cast<size_t>(kMaximumFolderDepth)) {
            return Status::Failure(child.path + " lies more than " + std::to_string(kMaximumFolderDepth) +
                                   " folders deep inside " + shown + ", too deep to be judged");
        }
        // Most folders of a bundle hold no folder; where the file system
        // counts each subfolder's ".." as a link, such a folder need not be
        // opened.
        if (st.st_nlink == 2 && st.st_dev == parent.device && parent.exactLinkCounts) continue;

        child.fd = Descriptor(::openat(parent.fd.get(), name.c_str(),
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (child.fd.get() < 0) {
            if (errno == ENOTDIR || errno == ELOOP || errno == ENOENT) continue;  // no longer a folder
            return cannot(child.path, errno);
        }
        if (::fstat(child.fd.get(), &st) != 0) return cannot(child.path, errno);
        if (Status judged = judge(child.path, st); !judged.ok()) return judged;
        // A folder mounted again below itself is already being walked.
        bool again = false;
        for (const Frame& above : stack) again = again || (above.device == st.st_dev && above.inode == st.st_ino);
        if (again) continue;
        child.device = st.st_dev;
        child.inode = st.st_ino;
        child.exactLinkCounts =
            st.st_dev == parent.device ? parent.exactLinkCounts : ExactFolderLinkCounts(child.fd.get());
        if (!ListPossibleFolders(child.fd.get(), child.folders)) return cannot(child.path, errno);
        stack.push_back(std::move(child));  // parent is not used past this point
    }
    return Status::Ok();
}

RootTrust CheckRootTrustWithin(const std::string& path) {
    RootTrust result = CheckRootTrust(path, StickyFolders::Refuse);
    if (!result.status.ok() || !S_ISDIR(result.mode)) return result;
    if (Status inside = CheckFoldersInside(result.descriptor.get(), path); !inside.ok()) {
        result.status = std::move(inside);
        result.descriptor = Descriptor();
        result.resolved.clear();
    }
    return result;
}

}  // namespace platform
