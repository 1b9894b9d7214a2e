#pragma once
// The application's "Localizable" string table, in the user's language.

#include <string>
#include <string_view>

namespace platform {

class StringTable {
public:
    virtual ~StringTable() = default;
    // The table's text for key. When the table has no entry for key, or there is
    // no table at all, the key itself comes back unchanged, so any text may be
    // passed through the lookup.
    virtual std::string localizedString(std::string_view key) const = 0;
};

}  // namespace platform
