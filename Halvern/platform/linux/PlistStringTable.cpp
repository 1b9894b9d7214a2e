#include "platform/linux/PlistStringTable.h"

#include <cstdlib>

#include "platform/linux/PlistReader.h"

namespace platform {

namespace {

constexpr const char* kTableName = "Localizable.strings";
constexpr const char* kFallbackLocalization = "en";

// "de_DE.UTF-8@euro" -> "de_DE"; "" for the portable locales that name no language.
std::string_view LocaleWithoutCodeset(std::string_view locale) {
    const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
    if (name == "C" || name == "POSIX") return {};
    return name;
}

void AddLocalization(std::vector<std::string>& names, std::string_view locale) {
    const std::string_view full = LocaleWithoutCodeset(locale);
    if (full.empty()) return;
    auto add = [&names](std::string_view name) {
        for (const std::string& existing : names) {
            if (existing == name) return;
        }
        names.emplace_back(name);
    };
    add(full);
    const size_t territory = full.find_first_of("_-");
    if (territory != std::string_view::npos && territory > 0) add(full.substr(0, territory));
}

}  // namespace

PlistStringTable::PlistStringTable(const Bundles& bundles)
    : bundles_(&bundles), environment_([](const char* name) { return std::getenv(name); }) {}

PlistStringTable::PlistStringTable(std::optional<std::string> bundlePath, Environment environment)
    : bundlePath_(std::move(bundlePath)), environment_(std::move(environment)) {}

std::vector<std::string> PlistStringTable::PreferredLocalizations(const Environment& environment) {
    std::vector<std::string> names;
    auto value = [&environment](const char* name) -> std::string_view {
        const char* text = environment(name);
        return text == nullptr ? std::string_view() : std::string_view(text);
    };

    std::string_view languages = value("LANGUAGE");
    while (!languages.empty()) {
        const size_t colon = languages.find(':');
        AddLocalization(names, languages.substr(0, colon));
        if (colon == std::string_view::npos) break;
        languages.remove_prefix(colon + 1);
    }
    // The locale of messages is the first of these that is set and not empty.
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const std::string_view locale = value(variable);
        if (locale.empty()) continue;
        AddLocalization(names, locale);
        break;
    }
    AddLocalization(names, kFallbackLocalization);
    return names;
}

void PlistStringTable::load() const {
    std::call_once(loaded_, [this] {
        if (bundles_ != nullptr) bundlePath_ = bundles_->mainBundlePath();
        if (!bundlePath_) return;
        for (const std::string& localization : PreferredLocalizations(environment_)) {
            // Read below the bundle: no link inside it, no ".." out of it.
            const std::string folder = "Contents/Resources/" + localization + ".lproj";
            std::optional<InfoDictionary> table =
                ReadPropertyList(*bundlePath_, folder + "/" + kTableName, PlistKeys::All()).strings;
            if (table) {
                tablePath_ = *bundlePath_ + "/" + folder;
                table_ = std::move(table);
                return;
            }
        }
    });
}

std::string PlistStringTable::localizedString(std::string_view key) const {
    load();
    if (table_) {
        if (std::optional<std::string> text = table_->string(key)) return *std::move(text);
    }
    return std::string(key);
}

std::optional<std::string> PlistStringTable::tablePath() const {
    load();
    return tablePath_;
}

}  // namespace platform
