#pragma once
// The "Localizable" table: Contents/Resources/<lang>.lproj/Localizable.strings of
// the main bundle, a property-list dictionary (XML or binary) read with the
// bounded property-list reader (PlistReader.h: at most 1 MiB, no link below the
// bundle folder).
//
// The language, as gettext chooses it: the locale of messages is LC_ALL, else
// LC_MESSAGES, else LANG (the first set and not empty; none is "C"). Unless that
// locale is "C" or "POSIX", the entries of LANGUAGE (a colon-separated list) come
// first; then the locale itself. Each entry is tried without codeset and
// modifier as it stands (de_CH.UTF-8@euro -> de_CH), with its region joined by
// "-" (pt_BR -> pt-BR), Chinese by its script (zh_CN, zh_SG, zh -> zh-Hans;
// zh_TW, zh_HK, zh_MO -> zh-Hant), then as its language alone (de; Portuguese
// also pt-BR). When none has a table, the English one is used. With no table at
// all, every text is its key.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bundles.h"
#include "platform/StringTable.h"

namespace platform {

class PlistStringTable : public StringTable {
public:
    // Reads the environment variable of the given name; nullptr when unset.
    using Environment = std::function<const char*(const char*)>;

    // The table of the main bundle, in the language of the process environment.
    explicit PlistStringTable(const Bundles& bundles);
    // The table of the bundle at bundlePath (none: no table) for the languages
    // that environment asks for.
    PlistStringTable(std::optional<std::string> bundlePath, Environment environment);

    // The table is loaded on the first lookup.
    std::string localizedString(std::string_view key) const override;

    // The .lproj names to try, in order, for the languages environment asks for;
    // always ends with "en".
    static std::vector<std::string> PreferredLocalizations(const Environment& environment);

    // The folder of the table that the lookup uses, nullopt when there is none.
    std::optional<std::string> tablePath() const;

private:
    void load() const;

    const Bundles* bundles_ = nullptr;
    mutable std::optional<std::string> bundlePath_;
    Environment environment_;

    mutable std::once_flag loaded_;
    mutable std::optional<std::string> tablePath_;
    mutable std::optional<InfoDictionary> table_;
};

}  // namespace platform
