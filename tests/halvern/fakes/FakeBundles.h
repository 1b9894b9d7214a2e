#pragma once
// Bundles given by the test: a path and its Info.plist strings.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bundles.h"

class FakeBundles : public platform::Bundles {
public:
    std::optional<platform::InfoDictionary> infoDictionary(const std::string& bundlePath) const override {
        {
            // Broadcasters ask from their worker threads.
            std::lock_guard<std::mutex> guard(openedMutex);
            opened.push_back(bundlePath);
        }
        auto it = bundles.find(bundlePath);
        if (it == bundles.end()) return std::nullopt;
        return it->second;
    }
    std::optional<std::string> mainBundlePath() const override { return mainBundle; }

    // A bundle with the given Info.plist strings.
    void add(const std::string& path, std::map<std::string, std::string, std::less<>> strings) {
        bundles[path] = platform::InfoDictionary(std::move(strings));
    }
    // A bundle with the viewer's identifier; an absent track or version is left out.
    void addLumaro(const std::string& path, std::optional<std::string> track, std::optional<std::string> version,
                   std::string identifier = "com.veldane.Lumaro");

    std::map<std::string, platform::InfoDictionary> bundles;
    std::optional<std::string> mainBundle;
    mutable std::vector<std::string> opened;  // every path asked for, in order
    mutable std::mutex openedMutex;
};
