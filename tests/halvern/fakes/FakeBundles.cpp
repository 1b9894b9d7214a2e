#include "FakeBundles.h"

void FakeBundles::addLumaro(const std::string& path, std::optional<std::string> track,
                            std::optional<std::string> version, std::string identifier) {
    std::map<std::string, std::string, std::less<>> strings{{"CFBundleIdentifier", std::move(identifier)}};
    if (track) strings["TrackName"] = *track;
    if (version) strings["CFBundleVersion"] = *version;
    add(path, std::move(strings));
}
