#include "platform/linux/PlistBundles.h"

#include <sys/auxv.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "platform/linux/RootTrust.h"

namespace platform {

std::optional<InfoDictionary> ReadStringDictionary(const std::string& path) {
    return ReadPropertyListFile(path, PlistKeys::All());
}

std::optional<std::string> EnclosingAppFolder(const std::string& path) {
    static constexpr std::string_view kSuffix = ".app";
    std::string folder = path;
    for (;;) {
        const size_t slash = folder.rfind('/');
        if (slash == std::string::npos) return std::nullopt;
        folder.resize(slash);
        while (!folder.empty() && folder.back() == '/') folder.pop_back();
        if (folder.empty()) return std::nullopt;  // reached the root
        const size_t nameStart = folder.rfind('/') + 1;  // 0 when there is no slash left
        const std::string_view name = std::string_view(folder).substr(nameStart);
        if (name.size() > kSuffix.size() && name.ends_with(kSuffix)) return folder;
    }
}

std::optional<InfoDictionary> PlistBundles::infoDictionary(const std::string& bundlePath) const {
    if (bundlePath.empty()) return std::nullopt;
    // The first of these that exists is the bundle's Info.plist; if it cannot
    // be read the folder is no bundle, even when a later one would read.
    const LinksInside links = EffectiveUserIsRoot() ? LinksInside::Refuse : LinksInside::Follow;
    for (const char* relative : {"Contents/Info.plist", "Resources/Info.plist", "Info.plist"}) {
        PlistFile file = ReadPropertyList(bundlePath, relative, keys_, links);
        if (file.found) return std::move(file.strings);
    }
    return std::nullopt;
}

std::optional<std::string> PlistBundles::mainBundlePath() const {
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length > 0 && static_cast<size_t>(length) < buffer.size()) {
        buffer.resize(static_cast<size_t>(length));
        return EnclosingAppFolder(buffer);
    }
    // Without /proc (a chroot or sandbox that does not mount it): the path the
    // program was started by, which the kernel hands over with the arguments,
    // resolved as /proc would have it. The program never changes its working
    // directory, so a relative one still resolves.
    const auto* started = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
    if (started == nullptr) return std::nullopt;
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(started, nullptr), &std::free);
    if (!resolved) return std::nullopt;
    return EnclosingAppFolder(resolved.get());
}

}  // namespace platform
