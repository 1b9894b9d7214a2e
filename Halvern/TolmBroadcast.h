#pragma once
// The heartbeat broadcaster, and the decision between heartbeats and the scan of
// running applications.
//
// NOTE: the API below is the contract used by the wait for running viewers; the
// class's members are filled in with the detection itself.

#include <optional>
#include <string>
#include <vector>

class TolmBroadcast {
public:
    // The system's product version split at "."; nullopt when it cannot be read.
    static std::optional<std::vector<std::string>> OSVersionArray();
    // True for version 10.9 or later.
    static bool isMavericksOrHigher(const std::optional<std::vector<std::string>>& version);
    // True when running instances are found through heartbeats. Decided on the
    // first call and never revised.
    static bool useHeartBeat();
};
