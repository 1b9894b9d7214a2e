#include "platform/linux/PlistPropertyLists.h"

#include "platform/linux/PlistBundles.h"

namespace platform {

std::optional<InfoDictionary> PlistPropertyLists::dictionaryWithContentsOfFile(const std::string& path) const {
    return ReadStringDictionary(path);
}

}  // namespace platform
