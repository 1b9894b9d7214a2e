#include "FakeFileSystem.h"

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

bool FakeFileSystem::isReadableFile(const std::string& path) const {
    auto it = entries.find(path);
    return it != entries.end() && it->second.kind == Kind::File && it->second.readable;
}

bool FakeFileSystem::createEmptyFile(const std::string& path) {
    calls.push_back("create " + path);
    // Exclusive and without following links: anything at path makes it fail.
    if (failCreate || entries.count(path) != 0) return false;
    entries[path] = Entry{Kind::File, {}, true};
    createdFiles.push_back(path);
    return true;
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
