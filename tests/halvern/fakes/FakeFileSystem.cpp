#include "FakeFileSystem.h"

#include <cstdio>

bool FakeFileSystem::fileExists(const std::string& path) const {
    calls.push_back("exists " + path);
    std::string current = path;
    // Follow links as stat(2) does; a loop or a dangling link is nothing.
    for (int hops = 0; hops < 40; ++hops) {
        auto it = entries.find(current);
        if (it == entries.end()) return false;
        if (it->second.kind != Kind::Link) return true;
        current = it->second.target;
    }
    return false;
}

std::optional<std::string> FakeFileSystem::resolve(const std::string& path) const {
    std::string resolved;
    size_t start = 1;
    int hops = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) resolved += "/" + path.substr(start, end - start);
        start = end + 1;
        for (auto it = entries.find(resolved); it != entries.end() && it->second.kind == Kind::Link;
             it = entries.find(resolved)) {
            if (++hops > 40) return std::nullopt;
            resolved = it->second.target;
        }
    }
    if (entries.count(resolved) == 0) return std::nullopt;
    return resolved;
}

bool FakeFileSystem::isSameFolder(const std::string& a, const std::string& b) const {
    calls.push_back("same " + a + " " + b);
    const std::optional<std::string> first = resolve(a);
    const std::optional<std::string> second = resolve(b);
    return first && first == second && entries.at(*first).kind == Kind::Folder;
}

bool FakeFileSystem::isReadableFile(const std::string& path) const {
    auto it = entries.find(path);
    return it != entries.end() && it->second.kind == Kind::File && it->second.readable;
}

platform::Status FakeFileSystem::createPrivateFolder(const std::string& parent, std::string* path) {
    calls.push_back("folder " + parent);
    if (folderFailure) return platform::Status::Failure(*folderFailure);
    char name[32];
    std::snprintf(name, sizeof name, "Halvern-%06zu", createdFolders.size() + 1);
    std::string folder = parent;
    if (folder.empty() || folder.back() != '/') folder += '/';
    folder += name;
    entries[folder] = Entry{Kind::Folder, {}, true};
    createdFolders.push_back(folder);
    *path = folder;
    return platform::Status::Ok();
}

platform::Status FakeFileSystem::createEmptyFile(const std::string& path) {
    calls.push_back("create " + path);
    // Exclusive and without following links: anything at path makes it fail.
    if (failCreate) return platform::Status::Failure("Could not create " + path + ": Permission denied");
    if (entries.count(path) != 0) return platform::Status::Failure("Could not create " + path + ": File exists");
    entries[path] = Entry{Kind::File, {}, true};
    createdFiles.push_back(path);
    return platform::Status::Ok();
}

platform::Status FakeFileSystem::removeItem(const std::string& path) {
    calls.push_back("remove " + path);
    if (removeFailure) return platform::Status::Failure(*removeFailure);
    if (entries.erase(path) == 0) return platform::Status::Failure("Could not remove " + path + ": No such file or directory");
    removedItems.push_back(path);
    return platform::Status::Ok();
}

platform::Status FakeFileSystem::createSymbolicLink(const std::string& linkPath, const std::string& target) {
    calls.push_back("link " + linkPath + " -> " + target);
    if (linkFailure) return platform::Status::Failure(*linkFailure);
    if (entries.count(linkPath) != 0) {
        return platform::Status::Failure("Could not create a symbolic link at " + linkPath + ": File exists");
    }
    entries[linkPath] = Entry{Kind::Link, target, true};
    createdLinks.emplace_back(linkPath, target);
    return platform::Status::Ok();
}

platform::Status FakeFileSystem::trustForRoot(const std::string& path) const {
    const auto it = untrusted.find(path);
    return it == untrusted.end() ? platform::Status::Ok() : platform::Status::Failure(it->second);
}
