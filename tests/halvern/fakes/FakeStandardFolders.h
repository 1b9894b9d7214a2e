#pragma once
// Standard folders at their usual places, or missing when the test says so.

#include <map>

#include "platform/StandardFolders.h"

class FakeStandardFolders : public platform::StandardFolders {
public:
    std::optional<std::string> localFolder(Folder folder) const override {
        ++lookups;
        auto it = folders.find(folder);
        if (it == folders.end()) return std::nullopt;
        return it->second;
    }

    std::map<Folder, std::string> folders{{Folder::Applications, "/Applications"}, {Folder::Library, "/Library"}};
    mutable int lookups = 0;
};
