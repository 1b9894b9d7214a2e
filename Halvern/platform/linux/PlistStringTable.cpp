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

// The folder of Chinese in the script that a region writes (zh_TW, zh_HK, zh_MO:
// Traditional; elsewhere Simplified), or that the name gives itself (zh-Hant).
std::string_view ChineseScriptFolder(std::string_view rest) {
    for (std::string_view traditional : {"Hant", "TW", "HK", "MO"}) {
        if (rest.starts_with(traditional)) return "zh-Hant";
    }
    return "zh-Hans";
}

// The folders to try for one entry of the language variables, in order: the
// name as written (de_CH, pt-BR), the region joined with "-" as the tables are
// named (pt_BR -> pt-BR), Chinese by its script (zh_CN -> zh-Hans), the
// language alone (de), and for Portuguese the Brazilian table as the one
// Portuguese there is.
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
    const size_t separator = full.find_first_of("_-");
    const std::string_view language = full.substr(0, separator);
    const std::string_view rest = separator == std::string_view::npos ? "" : full.substr(separator + 1);
    if (language.empty()) return;
    if (!rest.empty()) add(std::string(language) + "-" + std::string(rest));
    if (language == "zh") add(ChineseScriptFolder(rest));
    add(language);
    if (language == "pt") add("pt-BR");
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

    // The locale of messages: the first of these that is set and not empty;
    // none at all is the C locale.
    std::string_view locale = "C";
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (!value(variable).empty()) {
            locale = value(variable);
            break;
        }
    }
    // As gettext does: LANGUAGE is not consulted in the C locale, whose texts
    // are the program's own (C.UTF-8 is another locale, and honours it).
    if (locale != "C" && locale != "POSIX") {
        std::string_view languages = value("LANGUAGE");
        while (!languages.empty()) {
            const size_t colon = languages.find(':');
            AddLocalization(names, languages.substr(0, colon));
            if (colon == std::string_view::npos) break;
            languages.remove_prefix(colon + 1);
        }
    }
    AddLocalization(names, locale);
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
