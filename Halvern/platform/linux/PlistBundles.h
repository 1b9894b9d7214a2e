#pragma once
// Application bundles: folders whose Info.plist, in XML or binary form, is read
// with libplist. The main bundle is the nearest *.app folder above the running
// executable (/proc/self/exe; without /proc, the path the program was started
// by, AT_EXECFN, with its links resolved).

#include <optional>
#include <string>

#include "platform/Bundles.h"

namespace platform {

class PlistBundles : public Bundles {
public:
    std::optional<InfoDictionary> infoDictionary(const std::string& bundlePath) const override;
    std::optional<std::string> mainBundlePath() const override;
};

// The property list in the file at path when its root is a dictionary: its
// entries whose values are strings. nullopt when the file cannot be read, is no
// property list (XML or binary), or has another root.
std::optional<InfoDictionary> ReadStringDictionary(const std::string& path);

// The nearest folder above path (path itself excluded) whose name ends in ".app",
// as a prefix of path, character for character; nullopt when there is none.
std::optional<std::string> EnclosingAppFolder(const std::string& path);

}  // namespace platform
