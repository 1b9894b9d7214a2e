#pragma once
// Running applications given by the test; a snapshot can be made to fail.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Workspace.h"

class FakeWorkspace : public platform::Workspace {
public:
    std::optional<std::vector<platform::RunningApplication>> runningApplications() const override {
        ++snapshots;
        if (failingSnapshot && snapshots == *failingSnapshot) return std::nullopt;
        return applications;
    }
    std::optional<std::string> displayNameAtPath(const std::string& path) const override {
        auto it = displayNames.find(path);
        if (it != displayNames.end()) return it->second;
        if (path.empty()) return std::nullopt;
        return path.substr(path.rfind('/') + 1);
    }

    // An application running from the bundle at bundlePath.
    platform::RunningApplication& add(std::optional<std::string> identifier, std::optional<std::string> bundlePath,
                                      std::optional<std::string> name) {
        applications.push_back({static_cast<int>(1000 + applications.size()), std::move(identifier),
                                std::move(bundlePath), std::move(name)});
        return applications.back();
    }

    std::vector<platform::RunningApplication> applications;
    // Display names that differ from the last path component (nullopt: none).
    std::map<std::string, std::optional<std::string>> displayNames;
    // The snapshot (counted from 1) that fails, if any.
    std::optional<int> failingSnapshot;
    mutable int snapshots = 0;
};
