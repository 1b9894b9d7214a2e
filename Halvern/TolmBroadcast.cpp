#include "TolmBroadcast.h"

#include <algorithm>

#include "Foundation.h"
#include "Texts.h"
#include "TolmHeartbeat.h"

namespace {

// The display name of a bundle path without its extension: the host name that a
// heartbeat record carries.
std::optional<std::string> HostDisplayName(const platform::Platform& platform, const std::string& bundlePath) {
    const std::optional<std::string> name = platform.workspace.displayNameAtPath(bundlePath);
    if (!name) return std::nullopt;
    return StringByDeletingPathExtension(*name);
}

}  // namespace

// --- The decision between heartbeats and the scan ----------------------------------

std::optional<std::vector<std::string>> TolmBroadcast::OSVersionArray(platform::Platform& platform,
                                                                      OSVersionCache& cache) {
    if (cache.sVersion) return cache.sVersion;
    const std::optional<platform::InfoDictionary> systemVersion =
        platform.propertyLists.dictionaryWithContentsOfFile(texts::kSystemVersionPath);
    if (!systemVersion) return std::nullopt;  // read again next time
    const std::optional<std::string> productVersion = systemVersion->string(texts::kProductVersionKey);
    if (!productVersion) return std::nullopt;
    cache.sVersion = ComponentsSeparatedByString(*productVersion, texts::kVersionSeparator);
    return cache.sVersion;
}

bool TolmBroadcast::isMavericksOrHigher(const std::optional<std::vector<std::string>>& version) {
    if (!version) return false;
    const std::vector<std::string>& v = *version;
    if (!v.empty() && IntValue(v[0]) > 10) return true;
    if (v.size() < 2) return false;
    return IntValue(v[0]) == 10 && IntValue(v[1]) > 8;
}

bool TolmBroadcast::useHeartBeat(platform::Platform& platform, OSVersionCache& cache) {
    if (cache.once) return cache.toUseHB;
    cache.toUseHB = !isMavericksOrHigher(OSVersionArray(platform, cache));
    cache.once = true;
    return cache.toUseHB;
}

namespace {

// The process-wide caches. The first calls come from the main thread; later
// ones only read.
TolmBroadcast::OSVersionCache& ProcessOSVersionCache() {
    static TolmBroadcast::OSVersionCache sCache;
    return sCache;
}

}  // namespace

std::optional<std::vector<std::string>> TolmBroadcast::OSVersionArray() {
    return OSVersionArray(platform::DefaultPlatform(), ProcessOSVersionCache());
}

bool TolmBroadcast::useHeartBeat() { return useHeartBeat(platform::DefaultPlatform(), ProcessOSVersionCache()); }

// --- The broadcast operation ---------------------------------------------------------

TolmBroadcast::TolmBroadcast(platform::Platform& platform, std::optional<std::string> path)
    : appPath(std::move(path)), platform_(platform) {}

void TolmBroadcast::cancel() {
    {
        std::lock_guard<std::mutex> guard(pauseMutex_);
        cancelled_.store(true);
    }
    pauseCondition_.notify_all();
}

void TolmBroadcast::main() {
    if (!appPath) return;

    HeartbeatRecord launcherRecord;
    HeartbeatRecord ownRecord;

    // Own bundle.
    const std::optional<std::string> bundlePath = platform_.bundles.mainBundlePath();
    if (bundlePath) {
        if (const std::optional<std::string> displayName = HostDisplayName(platform_, *bundlePath)) {
            ownRecord[kUserInfoHostAppPath] = *bundlePath;
            ownRecord[kUserInfoHostDisplayName] = *displayName;
            ownRecord[kUserInfoLumaroAppPath] = *appPath;
        }
    }

    const std::string object = std::to_string(platform_.processInfo.processIdentifier());
    platform::NotificationCenter& center = platform_.notificationCenter;

    // The browser's plug-in host speaks for the application that launched it.
    bool useLauncher = false;
    std::optional<std::string> bundleIdentifier;
    if (bundlePath) {
        if (const auto info = platform_.bundles.infoDictionary(*bundlePath)) {
            bundleIdentifier = info->string(texts::kBundleIdentifierKey);
        }
    }
    if (bundleIdentifier == kWEBKIT_BUNDLEID) {
        if (const std::optional<std::string> launcherPath = platform_.processInfo.launcherBundlePath()) {
            if (const std::optional<std::string> displayName = HostDisplayName(platform_, *launcherPath)) {
                launcherRecord[kUserInfoHostAppPath] = *launcherPath;
                launcherRecord[kUserInfoHostDisplayName] = *displayName;
                launcherRecord[kUserInfoLumaroAppPath] = *appPath;
            }
        }
        useLauncher = launcherRecord.contains(kUserInfoHostDisplayName);
    }

    if (launcherRecord.empty() && ownRecord.empty()) return;
    const auto record = std::make_shared<const HeartbeatRecord>(useLauncher ? launcherRecord : ownRecord);

    while (!isCancelled()) {
        center.postNotification(kTolmHeartbeat, object, record, platform::kPostToAllSessions);
        std::unique_lock<std::mutex> lock(pauseMutex_);
        pauseCondition_.wait_for(lock, kHeartbeatInterval, [this] { return cancelled_.load(); });
    }
}

// --- The queue ---------------------------------------------------------------------------

TolmBroadcastQueue::~TolmBroadcastQueue() {
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (Entry& entry : entries_) entry.operation->cancel();
        entries.swap(entries_);
    }
    entries.clear();  // joins each thread
}

void TolmBroadcastQueue::addOperation(std::shared_ptr<TolmBroadcast> operation) {
    std::lock_guard<std::mutex> guard(mutex_);
    reapFinished();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::jthread thread([operation, finished] {
        if (!operation->isCancelled()) operation->main();
        finished->store(true);
    });
    entries_.push_back(Entry{std::move(operation), std::move(finished), std::move(thread)});
}

void TolmBroadcastQueue::cancelAllOperations() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (Entry& entry : entries_) entry.operation->cancel();
}

size_t TolmBroadcastQueue::operationCount() {
    std::lock_guard<std::mutex> guard(mutex_);
    reapFinished();
    return entries_.size();
}

void TolmBroadcastQueue::reapFinished() {
    // A finished operation's thread has left main; joining it is immediate.
    std::erase_if(entries_, [](const Entry& entry) { return entry.finished->load(); });
}
