#pragma once
// Property-list files (XML or binary) read with libplist.

#include "platform/PropertyLists.h"

namespace platform {

class PlistPropertyLists : public PropertyLists {
public:
    std::optional<InfoDictionary> dictionaryWithContentsOfFile(const std::string& path) const override;
};

}  // namespace platform
