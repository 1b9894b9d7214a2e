#pragma once
// A file system in memory: files, folders and symbolic links by full path, with
// failures that a test can switch on, and a record of every change asked for.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

class FakeFileSystem : public platform::FileSystem {
public:
    enum class Kind { File, Folder, Link };
    struct Entry {
        Kind kind = Kind::File;
        std::string target;  // links only
        bool readable = true;
    };

    bool fileExists(const std::string& path) const override;
    bool isReadableFile(const std::string& path) const override;
    // Links are followed component by component, as stat(2) does.
    bool isSameFolder(const std::string& a, const std::string& b) const override;
    // path with every link in it followed; nullopt when it names nothing.
    std::optional<std::string> resolve(const std::string& path) const;
    std::optional<std::string> temporaryDirectory() const override { return temporary; }
    std::optional<std::string> currentDirectoryPath() const override { return currentDirectory; }
    // Makes PARENT/Halvern-000001, -000002, ... in turn.
    platform::Status createPrivateFolder(const std::string& parent, std::string* path) override;
    platform::Status createEmptyFile(const std::string& path) override;
    platform::Status removeItem(const std::string& path) override;
    platform::Status createSymbolicLink(const std::string& linkPath, const std::string& target) override;
    // Ok unless the test marked path untrusted: then its reason.
    platform::Status trustForRoot(const std::string& path) const override;

    void addFile(const std::string& path) { entries[path] = Entry{Kind::File, {}, true}; }
    void addFolder(const std::string& path) { entries[path] = Entry{Kind::Folder, {}, true}; }
    void addLink(const std::string& path, const std::string& target) { entries[path] = Entry{Kind::Link, target, true}; }
    bool has(const std::string& path) const { return entries.count(path) != 0; }

    std::map<std::string, Entry> entries;
    std::optional<std::string> temporary = std::string("/tmp");
    std::optional<std::string> currentDirectory = std::string("/");

    // Failures to inject: creation of files fails; creation of private folders,
    // removal or linking fails with the given description.
    bool failCreate = false;
    std::optional<std::string> folderFailure;
    std::optional<std::string> removeFailure;
    std::optional<std::string> linkFailure;
    // Paths that a program running as root must not trust, with the reason.
    std::map<std::string, std::string> untrusted;

    // Records, in order.
    std::vector<std::string> createdFiles;
    std::vector<std::string> createdFolders;
    std::vector<std::string> removedItems;
    std::vector<std::pair<std::string, std::string>> createdLinks;  // (link path, target)
    // "exists PATH", "folder PARENT", "create PATH", "remove PATH", "link PATH -> TARGET"
    mutable std::vector<std::string> calls;
};
