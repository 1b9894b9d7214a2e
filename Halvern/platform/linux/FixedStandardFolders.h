#pragma once
// The standard folders at their fixed places: "/Applications" and "/Library",
// the same on every machine, as the viewer's installers lay them out.

#include "platform/StandardFolders.h"

namespace platform {

class FixedStandardFolders : public StandardFolders {
public:
    std::optional<std::string> localFolder(Folder folder) const override {
        switch (folder) {
            case Folder::Applications: return std::string("/Applications");
            case Folder::Library: return std::string("/Library");
        }
        return std::nullopt;
    }
};

}  // namespace platform
