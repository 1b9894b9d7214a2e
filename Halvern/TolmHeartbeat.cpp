#include "TolmHeartbeat.h"

#include <chrono>
#include <exception>
#include <unordered_set>

#include "Foundation.h"
#include "Texts.h"

namespace {

using platform::Platform;

// String equality where a missing value on either side is never equal.
bool Equal(const std::optional<std::string>& a, const std::optional<std::string>& b) { return a && b && *a == *b; }
bool Equal(const std::optional<std::string>& a, const char* b) { return a && *a == b; }

// The Info.plist value under key of the bundle at bundlePath, if any.
std::optional<std::string> InfoValue(const Platform& platform, const std::optional<std::string>& bundlePath,
                                     const char* key) {
    if (!bundlePath) return std::nullopt;
    const std::optional<platform::InfoDictionary> info = platform.bundles.infoDictionary(*bundlePath);
    if (!info) return std::nullopt;
    return info->string(key);
}

// The path of a running application's bundle URL once standardized.
std::optional<std::string> StandardizedBundlePath(const platform::RunningApplication& application) {
    if (!application.bundlePath) return std::nullopt;
    return StandardizedFileURLPath(*application.bundlePath);
}

constexpr auto kFreshness = std::chrono::seconds(1);

size_t HeartbeatBytes(const platform::Notification& notification) {
    size_t bytes = notification.object->size();
    for (const auto& [key, value] : *notification.userInfo) bytes += key.size() + value.size();
    return bytes;
}

}  // namespace

// --- Free functions of the scan ---------------------------------------------------------

int32_t GetBundleMajorVersion(const std::optional<std::string>& bundlePath, Platform& platform) {
    const std::optional<std::string> version = InfoValue(platform, bundlePath, texts::kBundleVersionKey);
    if (!version) return -1;
    const std::vector<std::string> components = ComponentsSeparatedByString(*version, texts::kVersionSeparator);
    if (components.size() < 3) return -1;
    return IntValue(components[0]);
}

bool IsVeldaneApplicationManagerRunning(Platform& platform) {
    const std::optional<std::string> applications =
        platform.standardFolders.localFolder(platform::StandardFolders::Folder::Applications);
    if (!applications) return false;

    std::string path = *applications;
    for (const char* component : {texts::kUtilitiesFolderName, texts::kApplicationManagerName,
                                  texts::kManagerCoreFolderName, texts::kManagerLibraryName}) {
        path = StringByAppendingPathComponent(path, component);
    }
    path = StringByStandardizingPath(path);
    if (path.empty() || !platform.fileSystem.fileExists(path)) return false;

    const std::optional<platform::DynamicLoader::Handle> library = platform.dynamicLoader.open(path);
    if (!library) return false;
    bool running = false;
    if (void* function = platform.dynamicLoader.symbol(*library, texts::kManagerStatusFunction)) {
        using StatusFunction = int32_t (*)(int32_t);
        running = reinterpret_cast<StatusFunction>(function)(0) == texts::kManagerRunningStatus;
    }
    platform.dynamicLoader.close(*library);
    return running;
}

// --- The shared object -------------------------------------------------------------------

TolmHeartbeat::TolmHeartbeat(Platform& platform) : platform_(platform) {}

TolmHeartbeat::~TolmHeartbeat() {
    platform_.notificationCenter.removeObserver(this, std::nullopt, std::nullopt);
    _queue.cancelAllOperations();
}

TolmHeartbeat& TolmHeartbeat::sharedHeartbeat() {
    // Made after the default platform (its argument), so destroyed before it at
    // exit: the broadcasters stop before the services they post through go.
    static TolmHeartbeat sShared(platform::DefaultPlatform());
    return sShared;
}

// --- Heartbeat observer ------------------------------------------------------------------

void TolmHeartbeat::observe(const platform::Notification& notification) {
    if (!notification.object) return;
    if (!notification.userInfo) return;
    if (notification.name != kTolmHeartbeat) return;
    if (HeartbeatBytes(notification) > kMaxHeartbeatBytes) return;
    // A process speaks for itself only: a pid text that is not the poster's own
    // would take over (and so hide) another process's entry.
    if (notification.senderProcessIdentifier &&
        *notification.object != std::to_string(*notification.senderProcessIdentifier)) {
        return;
    }

    std::lock_guard<std::recursive_mutex> guard(_lock);
    try {
        const platform::Clock::TimePoint now = platform_.clock.now();
        // Keyed by the sending connection as well: a connection keeps the pid
        // it was opened with, so once that pid is reused another process's
        // connection may rightly claim the same text.
        const std::string key =
            notification.sender ? *notification.sender + " " + *notification.object : *notification.object;
        const std::string sender = notification.sender.value_or("");
        const auto senderIsFull = [&] { return !sender.empty() && keysOf(sender) >= kMaxKeysPerSender; };
        auto date = _lastHeartBeatDates.find(key);
        if (date == _lastHeartBeatDates.end()) {
            if (senderIsFull()) return;
            if (_lastHeartBeatDates.size() >= kMaxHeartbeatSenders) {
                dropStaleEntries(now);
                if (_lastHeartBeatDates.size() >= kMaxHeartbeatSenders && !evictForSender(sender)) return;
            }
            _arrivalOrder.push_back(key);
            date = _lastHeartBeatDates.emplace(key, HeartbeatDate{now, std::prev(_arrivalOrder.end()), sender}).first;
            countKey(sender, 1);
        } else {
            if (date->second.sender != sender) {
                if (senderIsFull()) return;
                countKey(date->second.sender, -1);
                countKey(sender, 1);
                date->second.sender = sender;
            }
            date->second.date = now;
            _arrivalOrder.splice(_arrivalOrder.end(), _arrivalOrder, date->second.arrival);
        }
        _lastHeartBeatUserInfos[key] = notification.userInfo;
    } catch (const std::exception&) {
        // Dropped: the heartbeat is lost, the observer goes on.
    }
}

void TolmHeartbeat::removeEntry(std::unordered_map<std::string, HeartbeatDate>::iterator date) {
    countKey(date->second.sender, -1);
    _lastHeartBeatUserInfos.erase(date->first);
    _arrivalOrder.erase(date->second.arrival);
    _lastHeartBeatDates.erase(date);
}

void TolmHeartbeat::dropStaleEntries(platform::Clock::TimePoint now) {
    while (!_arrivalOrder.empty()) {
        const auto date = _lastHeartBeatDates.find(_arrivalOrder.front());
        if (now - date->second.date < kFreshness) break;
        removeEntry(date);
    }
}

bool TolmHeartbeat::evictForSender(const std::string& sender) {
    if (_holdersByCount.empty()) return false;
    const size_t most = _holdersByCount.rbegin()->first;
    if (most <= keysOf(sender)) return false;
    for (const std::string& key : _arrivalOrder) {
        const auto date = _lastHeartBeatDates.find(key);
        if (keysOf(date->second.sender) == most) {
            removeEntry(date);
            return true;
        }
    }
    return false;
}

size_t TolmHeartbeat::keysOf(const std::string& sender) const {
    const auto held = _keysPerSender.find(sender);
    return held == _keysPerSender.end() ? 0 : held->second;
}

void TolmHeartbeat::countKey(const std::string& sender, int delta) {
    size_t& held = _keysPerSender[sender];
    if (held > 0) {
        const auto holders = _holdersByCount.find(held);
        if (--holders->second == 0) _holdersByCount.erase(holders);
    }
    held = static_cast<size_t>(static_cast<long long>(held) + delta);
    if (held == 0) {
        _keysPerSender.erase(sender);
    } else {
        ++_holdersByCount[held];
    }
}

size_t TolmHeartbeat::heartbeatEntryCount() const {
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _lastHeartBeatDates.size();
}

RunningInstanceList TolmHeartbeat::getBeatingProcesses(const std::optional<std::string>& installPath) {
    RunningInstanceList result;
    // Fresh records naming the viewer by another path: compared by folder
    // identity once the lock is released (that takes the file system).
    std::vector<std::shared_ptr<const HeartbeatRecord>> otherPaths;
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        try {
            const platform::Clock::TimePoint now = platform_.clock.now();
            for (const auto& [key, date] : _lastHeartBeatDates) {
                const auto userInfo = _lastHeartBeatUserInfos.find(key);
                if (userInfo == _lastHeartBeatUserInfos.end() || !userInfo->second) continue;
                const std::shared_ptr<const HeartbeatRecord>& record = userInfo->second;
                const auto lumaroAppPath = record->find(kUserInfoLumaroAppPath);
                if (now - date.date >= kFreshness || lumaroAppPath == record->end()) continue;
                if (!installPath || *installPath == lumaroAppPath->second) {
                    result.emplace_back(record);
                } else {
                    otherPaths.push_back(record);
                }
            }
        } catch (const std::exception&) {
            // The walk ends here; the list keeps what it holds.
            return result;
        }
    }
    try {
        std::unordered_map<std::string, bool> sameFolder;  // many senders name one path
        for (const auto& record : otherPaths) {
            const std::string& path = record->at(kUserInfoLumaroAppPath);
            auto known = sameFolder.find(path);
            if (known == sameFolder.end()) {
                known = sameFolder.emplace(path, platform_.fileSystem.isSameFolder(path, *installPath)).first;
            }
            if (known->second) result.emplace_back(record);
        }
    } catch (const std::exception&) {
        // As above.
    }
    return result;
}

// --- Running-application scan ---------------------------------------------------------

RunningInstanceList TolmHeartbeat::getBeatingProcesses_Mavericks(const std::optional<std::string>& installPath,
                                                                 const std::optional<std::string>& bundleId,
                                                                 const std::optional<std::string>& track) {
    RunningInstanceList result;
    std::unordered_set<std::string> collected;

    // A failure of the platform (no snapshot, an application without a name to
    // collect) ends the scan where it stands, like an exception would.
    const auto scan = [&]() -> bool {
        const std::optional<std::string> standardizedInstallPath =
            installPath ? std::optional<std::string>(StringByStandardizingPath(*installPath)) : std::nullopt;
        // Character for character first; else the same folder by another path
        // (a symbolic link on either side).
        const auto installPathMatches = [&](const std::optional<std::string>& path) {
            if (Equal(standardizedInstallPath, path)) return true;
            return standardizedInstallPath && path &&
                   platform_.fileSystem.isSameFolder(*path, *standardizedInstallPath);
        };
        const auto collect = [&](const platform::RunningApplication& application) {
            if (!application.localizedName) return false;
            collected.insert(*application.localizedName);
            return true;
        };

        // Phase 1: the viewer.
        auto applications = platform_.workspace.runningApplications();
        if (!applications) return false;
        for (const platform::RunningApplication& application : *applications) {
            if (!Equal(application.bundleIdentifier, bundleId)) continue;
            // The path first: it costs no read, and a bundle elsewhere that only
            // claims the viewer's identifier then costs no Info.plist reads.
            if (installPath && !installPathMatches(StandardizedBundlePath(application))) continue;
            if (Equal(bundleId, texts::kLumaroBundleID)) {
                const std::optional<std::string> trackName =
                    InfoValue(platform_, application.bundlePath, texts::kTrackNameKey);
                if (track && GetBundleMajorVersion(application.bundlePath, platform_) >= texts::kMajorVersionWithTrack &&
                    !Equal(trackName, track)) {
                    continue;
                }
            }
            if (!collect(application)) return false;
            if (installPath) break;
        }

        // The primary entry.
        if (installPath && !collected.empty()) {
            result.emplace_back(*collected.begin());
        } else {
            result.emplace_back(std::string(kINVALIDAPPNAME));
        }

        // Phase 2: the application manager.
        applications = platform_.workspace.runningApplications();
        if (!applications) return false;
        bool managerSeen = false;
        for (const platform::RunningApplication& application : *applications) {
            if (Equal(application.bundleIdentifier, kZEV_BUNDLEID)) {
                if (!collect(application)) return false;
                managerSeen = true;
                break;
            }
        }
        if (!managerSeen && IsVeldaneApplicationManagerRunning(platform_)) {
            collected.insert(texts::kApplicationManagerName);
        }

        // Phase 3: the PDF-creation tool of a full product.
        applications = platform_.workspace.runningApplications();
        if (!applications) return false;
        for (const platform::RunningApplication& application : *applications) {
            if (!Equal(application.bundleIdentifier, kVATREL_BUNDLEID)) continue;
            if (GetBundleMajorVersion(application.bundlePath, platform_) < texts::kMajorVersionWithTrack) continue;
            std::optional<std::string> productPath;
            if (application.bundlePath) {
                productPath = StringByAppendingPathComponent(StringByDeletingLastPathComponent(*application.bundlePath),
                                                             texts::kFullProductBundleName);
            }
            const std::optional<std::string> trackName = InfoValue(platform_, productPath, texts::kTrackNameKey);
            if (track && !Equal(trackName, track)) continue;
            if (installPath) {
                if (installPathMatches(productPath)) {
                    if (!collect(application)) return false;
                    break;
                }
                continue;
            }
            if (!collect(application)) return false;
        }

        // Phase 4: the browser's plug-in host.
        applications = platform_.workspace.runningApplications();
        if (!applications) return false;
        for (const platform::RunningApplication& application : *applications) {
            if (!Equal(application.bundleIdentifier, kWEBKIT_BUNDLEID) &&
                !Equal(application.bundleIdentifier, kWEBKIT_BUNDLEID_64)) {
                continue;
            }
            if (!application.localizedName || !HasPrefix(*application.localizedName, kBROWSERPLUGIN_PREFIX)) continue;

            // Formed and read anew for every candidate host.
            const std::optional<std::string> library =
                platform_.standardFolders.localFolder(platform::StandardFolders::Folder::Library);
            if (!library) continue;
            const std::string preferences = StringByAppendingPathComponent(
                StringByAppendingPathComponent(*library, texts::kPreferencesFolderName),
                std::string(kBROWSERPLUGIN_PLIST) + "." + texts::kPlistExtension);
            if (!platform_.fileSystem.isReadableFile(preferences)) continue;

            const std::optional<platform::InfoDictionary> settings =
                platform_.propertyLists.dictionaryWithContentsOfFile(preferences);
            const std::optional<std::string> usePath =
                settings ? settings->string(kBROWSERPLUGIN_APPPATHKEY) : std::nullopt;
            const std::optional<std::string> viewerPath =
                usePath ? PathOfStandardizedURLWithString(*usePath) : std::nullopt;
            if (installPath && !installPathMatches(viewerPath)) continue;
            if (!collect(application)) return false;
            break;
        }
        return true;
    };

    bool finished = false;
    try {
        finished = scan();
    } catch (const std::exception&) {
        // As a failure of the platform.
    }
    // Cut short, the scan has not looked everywhere: what it found still
    // runs, but finding nothing proves nothing, so the list is then empty
    // (the running applications could not be listed).
    if (!finished && collected.empty()) return {};
    if (result.empty()) result.emplace_back(std::string(kINVALIDAPPNAME));
    for (const std::string& name : collected) result.emplace_back(name);
    return result;
}

// --- Broadcasting ------------------------------------------------------------------------

void TolmHeartbeat::startBroadcasting(const std::optional<std::string>& path) {
    _queue.addOperation(std::make_shared<TolmBroadcast>(platform_, path));
}

void TolmHeartbeat::stopBroadcasting() { _queue.cancelAllOperations(); }

// --- The functions of the wait -------------------------------------------------------------

namespace {

// Main thread only.
// True while the observer is registered on a bus (StartTolmHeartbeatObserver
// found one).
bool sObserving = false;
// The shape of the list GetBeatingProcesses returned last.
bool sHeartbeatShape = false;
// The reason last said for heartbeats not counting, while they still do not:
// a check that fails for the same reason again says nothing more.
std::optional<std::string> sUnobservedReason;

}  // namespace

void StartTolmHeartbeatObserver() {
    if (!TolmBroadcast::useHeartBeat()) return;
    TolmHeartbeat& shared = TolmHeartbeat::sharedHeartbeat();
    Platform& platform = platform::DefaultPlatform();
    const platform::Status status = platform.notificationCenter.addObserver(
        &shared, [&shared](const platform::Notification& notification) { shared.observe(notification); },
        std::string(kTolmHeartbeat), std::nullopt);
    sObserving = status.ok();
    sHeartbeatShape = sObserving;
    sUnobservedReason.reset();
    if (!status.ok()) {
        platform.console.write(Format(texts::kHeartbeatsNotObserved, status.localizedDescription().c_str()));
    }
}

void StopTolmHeartbeatObserver() {
    if (!TolmBroadcast::useHeartBeat()) return;
    platform::DefaultPlatform().notificationCenter.removeObserver(&TolmHeartbeat::sharedHeartbeat(),
                                                                  std::string(kTolmHeartbeat), std::nullopt);
}

bool IsHeartbeatShape() { return TolmBroadcast::useHeartBeat() && sHeartbeatShape; }

RunningInstanceList GetBeatingProcesses(const std::optional<std::string>& installPath) {
    TolmHeartbeat& shared = TolmHeartbeat::sharedHeartbeat();
    Platform& platform = platform::DefaultPlatform();
    if (TolmBroadcast::useHeartBeat() && sObserving) {
        // Heartbeats count only when the observer answers now: one that has
        // stalled, or lost a bus, has not seen what was sent meanwhile.
        const platform::Status observing = platform.notificationCenter.observationStatus(&shared);
        if (observing.ok()) {
            sUnobservedReason.reset();
            RunningInstanceList beating = shared.getBeatingProcesses(installPath);
            if (!beating.empty()) {
                sHeartbeatShape = true;
                return beating;
            }
        } else if (sUnobservedReason != observing.localizedDescription()) {
            sUnobservedReason = observing.localizedDescription();
            platform.console.write(Format(texts::kHeartbeatsLost, sUnobservedReason->c_str()));
        }
    }

    // No heartbeat names the viewer (or none could be seen): the running
    // applications must say so too. A viewer that posts no heartbeat, or whose
    // heartbeats are held up, still runs as a process.
    sHeartbeatShape = false;
    std::optional<std::string> identifier;
    if (installPath) {
        identifier = InfoValue(platform, StringByStandardizingPath(*installPath), texts::kBundleIdentifierKey);
    }
    return shared.getBeatingProcesses_Mavericks(installPath, identifier, std::nullopt);
}
