#pragma once
// The system's standard folders.

#include <optional>
#include <string>

namespace platform {

class StandardFolders {
public:
    enum class Folder {
        Applications,  // where applications are installed for every user
        Library,       // the machine-wide library (preferences and support files)
    };
    virtual ~StandardFolders() = default;

    // The full path of folder in the machine-wide (local) domain, without a
    // trailing "/"; nullopt when the system cannot tell it. Nothing is created.
    virtual std::optional<std::string> localFolder(Folder folder) const = 0;
};

}  // namespace platform
