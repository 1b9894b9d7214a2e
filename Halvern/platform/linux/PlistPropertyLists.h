#pragma once
// Property-list files (XML or binary) read with the bounded property-list
// reader (PlistReader.h). The folders above the file may be links; the file
// itself may not be one.

#include "platform/PropertyLists.h"
#include "platform/linux/PlistReader.h"

namespace platform {

class PlistPropertyLists : public PropertyLists {
public:
    // Keeps the entries under keys only.
    explicit PlistPropertyLists(PlistKeys keys) : keys_(std::move(keys)) {}

    std::optional<InfoDictionary> dictionaryWithContentsOfFile(const std::string& path) const override;

private:
    PlistKeys keys_;
};

}  // namespace platform
