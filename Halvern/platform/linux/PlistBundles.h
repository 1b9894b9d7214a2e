#pragma once
// Application bundles: folders whose Info.plist, in XML or binary form, is read
// with the bounded property-list reader (PlistReader.h). The main bundle is the
// nearest *.app folder above the running executable (/proc/self/exe; without
// /proc, the path the program was started by, AT_EXECFN, with its links resolved).
//
// The bundle folder may be a link, or be reached through links. Inside it, as
// root, no component of the path to the Info.plist may be one (what root reads
// must lie in the bundle); for any other user, links there are followed, as in
// any folder of theirs. Of Contents/Info.plist,
// Resources/Info.plist and Info.plist, the first that exists is the bundle's
// Info.plist (a FIFO or a folder there included, or as root a link, which then
// makes the folder no bundle).

#include <optional>
#include <string>

#include "Texts.h"
#include "platform/Bundles.h"
#include "platform/linux/PlistReader.h"

namespace platform {

inline constexpr const char* kBundleDisplayNameKey = "CFBundleDisplayName";
inline constexpr const char* kBundleNameKey = "CFBundleName";

// The Info.plist keys that the system reads; an Info.plist's other entries are
// left out of its InfoDictionary.
inline PlistKeys InfoPlistKeys() {
    return {texts::kBundleIdentifierKey, texts::kBundleVersionKey, texts::kTrackNameKey, kBundleDisplayNameKey,
            kBundleNameKey};
}

class PlistBundles : public Bundles {
public:
    explicit PlistBundles(PlistKeys keys = InfoPlistKeys()) : keys_(std::move(keys)) {}

    std::optional<InfoDictionary> infoDictionary(const std::string& bundlePath) const override;
    std::optional<std::string> mainBundlePath() const override;

private:
    PlistKeys keys_;
};

// The string entries of the property list in the file at path (every key), read
// by the bounded reader with path's folder as its base. nullopt when the file
// cannot be read, is refused, is no property list, or has another root.
std::optional<InfoDictionary> ReadStringDictionary(const std::string& path);

// The nearest folder above path (path itself excluded) whose name ends in ".app",
// as a prefix of path, character for character; nullopt when there is none.
std::optional<std::string> EnclosingAppFolder(const std::string& path);

}  // namespace platform
