#pragma once
// Files, folders and symbolic links.

#include <optional>
#include <string>

#include "platform/Status.h"

namespace platform {

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // True when something exists at path, following symbolic links (a link that
    // points nowhere counts as nothing).
    virtual bool fileExists(const std::string& path) const = 0;

    // True when a and b name one existing folder (the same device and inode),
    // however differently they are written: symbolic links are followed.
    virtual bool isSameFolder(const std::string& a, const std::string& b) const = 0;

    // True when path names a file this process may read.
    virtual bool isReadableFile(const std::string& path) const = 0;

    // The user's temporary directory: $TMPDIR when set and not empty, else /tmp.
    // nullopt when it cannot be determined.
    virtual std::optional<std::string> temporaryDirectory() const = 0;

    // The working directory of the process, absolute; nullopt when it cannot be
    // determined (it was removed, or is out of reach).
    virtual std::optional<std::string> currentDirectoryPath() const = 0;

    // Creates a new folder of a fresh name inside parent that only this user may
    // enter, read or write (0700), and stores its path in *path. *path is
    // written only on success.
    virtual Status createPrivateFolder(const std::string& parent, std::string* path) = 0;

    // Creates an empty file at path with default permissions. The creation is
    // exclusive and never follows a symbolic link: if anything at all stands at
    // path (a file, a folder, a link, dangling or not), it fails and nothing
    // outside path is created or truncated.
    virtual Status createEmptyFile(const std::string& path) = 0;

    // Removes the entry at path itself. A symbolic link is removed as a link;
    // what it points at is never touched.
    virtual Status removeItem(const std::string& path) = 0;

    // Creates a symbolic link at linkPath whose content is target, character for
    // character. Fails when something already stands at linkPath or its folder
    // cannot be written. When the effective user is root, also fails when the
    // folder of linkPath is not trusted (see trustForRoot), and no link met on
    // the way to that folder is followed unless it is trusted where it lies.
    virtual Status createSymbolicLink(const std::string& linkPath, const std::string& target) = 0;

    // Whether root may write into what lies at path, now or after the program
    // has ended (the viewer bundle, which dpkg fills through the link). When
    // the effective user is root: Ok when it and every folder above it, after
    // resolving links, and, when it is a folder, every folder inside it at any
    // depth (links inside not followed), are owned by root and writable by no
    // one else; a folder above that others may write refuses it even when
    // sticky, since anyone may re-create a path there after a cleanup.
    // Otherwise a Failure whose description names the first entry and the
    // owner or mode that failed, in one line. When the effective user is not
    // root: always Ok, the path is trusted as the caller's own.
    virtual Status trustForRoot(const std::string& path) const = 0;
};

}  // namespace platform
