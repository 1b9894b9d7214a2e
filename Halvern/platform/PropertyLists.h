#pragma once
// Property-list files read as dictionaries (system files, preferences).

#include <optional>
#include <string>

#include "platform/Bundles.h"

namespace platform {

class PropertyLists {
public:
    virtual ~PropertyLists() = default;

    // The string entries of the property list in the file at path, when its root
    // is a dictionary (entries of other types are left out, as in an
    // InfoDictionary). nullopt when the file is missing, unreadable, no property
    // list, or has another root.
    virtual std::optional<InfoDictionary> dictionaryWithContentsOfFile(const std::string& path) const = 0;
};

}  // namespace platform
