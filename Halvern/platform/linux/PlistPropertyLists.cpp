#include "platform/linux/PlistPropertyLists.h"


namespace platform {

std::optional<InfoDictionary> PlistPropertyLists::dictionaryWithContentsOfFile(const std::string& path) const {
    return ReadPropertyListFile(path, keys_);
}

}  // namespace platform
