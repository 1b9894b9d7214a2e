#pragma once
// The one rule by which a program running as root decides whether a path is
// its own: what lies there, and every folder above it, after resolving links,
// must be owned by root and writable by no one else (group or others). A folder
// that others may write counts only as the parent of an entry owned by root,
// and only when it has the sticky bit, so a root-owned folder made with mkdtemp
// under /tmp passes and /tmp itself passes only as such a parent. Every link
// met on the way is judged where it lies (its folder by the same rule) before
// it is followed.
//
// The path is walked one component at a time from descriptors opened with
// O_PATH|O_NOFOLLOW, so what is judged is what was opened: a link swapped in
// behind the walk is met as a link and judged, never followed blindly.
//
// A folder that root writes into after the program has ended (the viewer
// bundle, where dpkg unpacks through the link) is judged more strictly: every
// folder inside it, at any depth, must be root's alone too, and no folder on
// the way to it may be sticky and writable by others, since anyone may
// re-create a path there once a cleanup has removed it.

#include <string>

#include "platform/Status.h"

namespace platform {

// A descriptor closed when the object goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

struct RootTrust {
    // Ok when the path is trusted; otherwise one line that names the entry
    // that failed and its owner or mode ("/home/ann is owned by ann (uid 1000),
    // not root"), or why it could not be examined.
    Status status = Status::Ok();
    // The system's error number when something along the path could not be
    // examined (it does not exist, say); 0 when it was judged.
    int error = 0;
    // When trusted: the path with every link resolved, and an O_PATH
    // descriptor of what lies there.
    std::string resolved;
    Descriptor descriptor;
    // The st_mode of what lies there (when trusted).
    unsigned mode = 0;
};

// Whether a folder that others may write, with the sticky bit, passes as the
// parent of root's own entry.
enum class StickyFolders { Pass, Refuse };

// Applies the rule to path (absolute, or relative to the working folder).
RootTrust CheckRootTrust(const std::string& path, StickyFolders sticky = StickyFolders::Pass);

// The rule for a folder that root will write into later: CheckRootTrust with
// sticky folders refused, and, when a folder lies there, every folder inside it
// (see CheckFoldersInside).
RootTrust CheckRootTrustWithin(const std::string& path);

// The deepest level inside a judged folder that is walked (its own entries
// are level 1); a folder deeper still makes the whole untrusted (each level
// holds a descriptor while it is walked).
inline constexpr int kMaximumFolderDepth = 256;

// Every folder inside the folder open at descriptor (any depth, links not
// followed: a link is an entry, not a folder) must be owned by root and
// writable by no one else. Ok, or one line naming the first folder met that
// fails, or that could not be examined. shown is the path used in that line.
// Each folder is opened with O_NOFOLLOW|O_DIRECTORY from its parent's
// descriptor and judged by fstat of what was opened; its entries are listed
// with getdents64, and only those the file system marks as folders (or does
// not mark) are looked at further.
Status CheckFoldersInside(int descriptor, const std::string& shown);

// True when this process runs with root's effective user ID.
bool EffectiveUserIsRoot();

}  // namespace platform
