#pragma once
// The shared heartbeat object: observes the heartbeats that processes hosting the
// viewer broadcast, scans the running applications, and answers which viewer
// instances run.
//
// NOTE: the API below is the contract used by the wait for running viewers; the
// class's members are filled in with the detection itself.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The userInfo of a heartbeat notification: kUserInfoHostAppPath,
// kUserInfoHostDisplayName, kUserInfoLumaroAppPath (all strings).
using HeartbeatRecord = std::map<std::string, std::string>;

// One element of a running-instance list: a heartbeat record (heartbeat shape)
// or a display name (scan shape). Records are the stored objects themselves,
// shared with the observer, never changed once stored.
using RunningInstance = std::variant<std::shared_ptr<const HeartbeatRecord>, std::string>;

// Heartbeat shape (TolmBroadcast::useHeartBeat() true): records, the first
// running instance at index 0. Scan shape: display names, index 0 the scan's
// primary entry, the running instances from index 1.
using RunningInstanceList = std::vector<RunningInstance>;

inline constexpr const char* kTolmHeartbeat = "com.veldane.Tolm.Heartbeat";
inline constexpr const char* kUserInfoHostAppPath = "kUserInfoHostAppPath";
inline constexpr const char* kUserInfoHostDisplayName = "kUserInfoHostDisplayName";
inline constexpr const char* kUserInfoLumaroAppPath = "kUserInfoLumaroAppPath";

// Starts observing heartbeats when heartbeats are in use; otherwise does nothing.
void StartTolmHeartbeatObserver();
// Stops observing when heartbeats are in use; the collected entries stay.
void StopTolmHeartbeatObserver();
// The running-instance list for the viewer at installPath (nullopt: any viewer).
RunningInstanceList GetBeatingProcesses(const std::optional<std::string>& installPath);
