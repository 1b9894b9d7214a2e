#pragma once
// Property-list files given by the test; records every read.

#include <map>
#include <string>
#include <vector>

#include "platform/PropertyLists.h"

class FakePropertyLists : public platform::PropertyLists {
public:
    std::optional<platform::InfoDictionary> dictionaryWithContentsOfFile(const std::string& path) const override {
        reads.push_back(path);
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    }

    void add(const std::string& path, std::map<std::string, std::string, std::less<>> strings) {
        files[path] = platform::InfoDictionary(std::move(strings));
    }

    std::map<std::string, platform::InfoDictionary> files;
    mutable std::vector<std::string> reads;  // every path read, in order
};
