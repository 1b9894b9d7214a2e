#include "platform/linux/PlistBundles.h"

#include <plist/plist.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

namespace platform {

namespace {

// Larger files are no Info.plist or string table of ours; the cap also keeps the
// length within libplist's 32-bit sizes.
constexpr std::streamsize kMaximumPlistSize = 16 * 1024 * 1024;

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> ReadSmallFile(const std::string& path) {
    if (!IsRegularFile(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data;
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        data.append(buffer, static_cast<size_t>(in.gcount()));
        if (static_cast<std::streamsize>(data.size()) > kMaximumPlistSize) return std::nullopt;
    }
    if (in.bad()) return std::nullopt;
    return data;
}

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

}  // namespace

std::optional<InfoDictionary> ReadStringDictionary(const std::string& path) {
    const std::optional<std::string> data = ReadSmallFile(path);
    if (!data || data->empty()) return std::nullopt;

    plist_t raw = nullptr;
    plist_from_memory(data->data(), static_cast<uint32_t>(data->size()), &raw);
    const PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

    std::map<std::string, std::string, std::less<>> strings;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root.get(), &it);
    if (it == nullptr) return InfoDictionary(std::move(strings));
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), it, &key, &value);
        if (key == nullptr) break;
        if (value != nullptr && plist_get_node_type(value) == PLIST_STRING) {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(value, &length);
            if (text != nullptr) strings.emplace(key, std::string(text, static_cast<size_t>(length)));
        }
        std::free(key);
    }
    std::free(it);
    return InfoDictionary(std::move(strings));
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
    if (bundlePath.empty() || !IsDirectory(bundlePath)) return std::nullopt;
    const std::string base = bundlePath.back() == '/' ? bundlePath : bundlePath + '/';
    // The first of these that is a file is the bundle's Info.plist; if it is
    // broken the folder is no bundle, even when a later one would read.
    for (const char* relative : {"Contents/Info.plist", "Resources/Info.plist", "Info.plist"}) {
        const std::string candidate = base + relative;
        if (IsRegularFile(candidate)) return ReadStringDictionary(candidate);
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
