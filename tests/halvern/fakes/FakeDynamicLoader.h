#pragma once
// Libraries given by the test as tables of symbols; records every call.

#include <map>
#include <string>
#include <vector>

#include "platform/DynamicLoader.h"

class FakeDynamicLoader : public platform::DynamicLoader {
public:
    using Library = std::map<std::string, void*>;

    std::optional<Handle> open(const std::string& path) override {
        calls.push_back("open " + path);
        auto it = libraries.find(path);
        if (it == libraries.end()) return std::nullopt;
        ++openCount;
        return &it->second;
    }
    void* symbol(Handle handle, const std::string& name) override {
        calls.push_back("symbol " + name);
        const Library& library = *static_cast<Library*>(handle);
        auto it = library.find(name);
        return it == library.end() ? nullptr : it->second;
    }
    void close(Handle) override {
        calls.push_back("close");
        --openCount;
    }

    std::map<std::string, Library> libraries;  // path -> symbols
    std::vector<std::string> calls;            // "open PATH", "symbol NAME", "close"
    int openCount = 0;                         // opened and not closed
};
