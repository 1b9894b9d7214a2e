#pragma once
// The applications for a file, as the test sets them.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/LaunchServices.h"

class FakeLaunchServices : public platform::LaunchServices {
public:
    std::optional<std::vector<std::string>> applicationsForFile(const std::string& path) override {
        queried.push_back(path);
        if (onQuery) onQuery(path);
        return applications;
    }

    // nullopt: no list at all.
    std::optional<std::vector<std::string>> applications;
    std::vector<std::string> queried;               // every file asked about
    std::function<void(const std::string&)> onQuery;  // runs during each query
};
