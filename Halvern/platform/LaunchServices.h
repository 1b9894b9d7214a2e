#pragma once
// The applications that the system offers for a file.

#include <optional>
#include <string>
#include <vector>

namespace platform {

class LaunchServices {
public:
    virtual ~LaunchServices() = default;
    // The applications that can open (edit) the file at path, in the system's
    // order of preference: the default application first. Each entry is the path
    // of the application's bundle, or of its program when it lies in no bundle;
    // an entry may be empty. nullopt when the system has no application at all
    // for the file ("no list"); an empty vector is a list with no entries.
    virtual std::optional<std::vector<std::string>> applicationsForFile(const std::string& path) = 0;
};

}  // namespace platform
