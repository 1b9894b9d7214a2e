#pragma once
// Application bundles on disk and their Info.plist dictionaries.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The top-level entries of an Info.plist whose values are strings. Entries of
// other types (numbers, arrays, ...) are left out: every key the system reads
// is a string key, and a value of another type counts as absent. An
// implementation may also leave out the keys that the system never reads.
class InfoDictionary {
public:
    InfoDictionary() = default;
    explicit InfoDictionary(std::map<std::string, std::string, std::less<>> strings)
        : strings_(std::move(strings)) {}

    // The string under key, or nullopt when the key is absent or not a string.
    std::optional<std::string> string(std::string_view key) const {
        auto it = strings_.find(key);
        if (it == strings_.end()) return std::nullopt;
        return it->second;
    }
    const std::map<std::string, std::string, std::less<>>& strings() const { return strings_; }

private:
    std::map<std::string, std::string, std::less<>> strings_;
};

class Bundles {
public:
    virtual ~Bundles() = default;
    // The Info.plist of the bundle at bundlePath: a folder holding
    // Contents/Info.plist (or Resources/Info.plist, or Info.plist at its top)
    // whose root is a dictionary, in XML or binary form. nullopt when there is no
    // such bundle: no folder, no readable Info.plist, a broken one, or a root that
    // is not a dictionary.
    virtual std::optional<InfoDictionary> infoDictionary(const std::string& bundlePath) const = 0;

    // The bundle enclosing the running program's executable ("the main bundle"):
    // the nearest folder named *.app above it. nullopt when there is none.
    virtual std::optional<std::string> mainBundlePath() const = 0;
};

}  // namespace platform
