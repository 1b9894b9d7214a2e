#pragma once
// Files, folders and symbolic links through POSIX calls. Failures are described
// in one line that names the path and the system's reason.

#include "platform/FileSystem.h"

namespace platform {

class PosixFileSystem : public FileSystem {
public:
    bool fileExists(const std::string& path) const override;
    bool isReadableFile(const std::string& path) const override;
    // stat(2) of both: folders with the same st_dev and st_ino.
    bool isSameFolder(const std::string& a, const std::string& b) const override;
    std::optional<std::string> temporaryDirectory() const override;
    // getcwd(3).
    std::optional<std::string> currentDirectoryPath() const override;
    // mkdtemp(3) with the name Halvern-XXXXXX: a new folder of mode 0700.
    Status createPrivateFolder(const std::string& parent, std::string* path) override;
    // open(2) with O_CREAT|O_EXCL|O_NOFOLLOW: a link planted at path, dangling or
    // not, makes the creation fail instead of creating or truncating its target.
    Status createEmptyFile(const std::string& path) override;
    // unlink(2), or rmdir(2) for an empty folder: never follows a link and never
    // descends into a folder (a folder that is not empty is an error).
    Status removeItem(const std::string& path) override;
    // As root: the link's folder is reached with openat(2) from "/", one
    // component at a time with O_NOFOLLOW, judged by the trust rule on the way
    // (RootTrust.h), and the link is made with symlinkat(2) in that very
    // descriptor, so no folder swapped in after the check is written to.
    // Otherwise symlink(2).
    Status createSymbolicLink(const std::string& linkPath, const std::string& target) override;
    // CheckRootTrustWithin (RootTrust.h): the folders above, then the folders
    // inside, walked by descriptor.
    Status trustForRoot(const std::string& path) const override;
};

}  // namespace platform
