#pragma once
// A "Localizable" table given by the test. Without entries it behaves as a
// missing table: every text is its key.

#include <map>
#include <string>
#include <vector>

#include "platform/StringTable.h"

class FakeStringTable : public platform::StringTable {
public:
    std::string localizedString(std::string_view key) const override {
        lookups.emplace_back(key);
        auto it = entries.find(key);
        return it == entries.end() ? std::string(key) : it->second;
    }

    std::map<std::string, std::string, std::less<>> entries;
    mutable std::vector<std::string> lookups;  // every key asked for, in order
};
