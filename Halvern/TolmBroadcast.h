#pragma once
// The heartbeat broadcaster, and the decision between heartbeats and the scan of
// running applications.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"

// A broadcast operation: once started, posts the heartbeat notification of this
// process for one viewer bundle every 0.25 seconds until it is cancelled.
class TolmBroadcast {
public:
    // The pause between two heartbeats.
    static constexpr std::chrono::milliseconds kHeartbeatInterval{250};

    // initWithAppPath: appPath is the viewer bundle the heartbeats name; nothing
    // is posted without one.
    TolmBroadcast(platform::Platform& platform, std::optional<std::string> appPath);
    TolmBroadcast(const TolmBroadcast&) = delete;
    TolmBroadcast& operator=(const TolmBroadcast&) = delete;

    // The broadcast loop. Builds the record once (this process's bundle, or the
    // launching application's when this process is the browser's plug-in host),
    // then posts and pauses until cancelled; returns at once when there is
    // nothing to send. Runs on a worker thread.
    void main();

    // Marks the operation cancelled, from any thread: main leaves its loop at the
    // top of its next pass, and a pause in progress ends early.
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }

    // Written only before the operation is queued.
    std::optional<std::string> appPath;

    // --- The decision between heartbeats and the scan ---------------------------
    // The system's product version split at "."; nullopt when it cannot be read.
    static std::optional<std::vector<std::string>> OSVersionArray();
    // True for version 10.9 or later.
    static bool isMavericksOrHigher(const std::optional<std::vector<std::string>>& version);
    // True when running instances are found through heartbeats. Decided on the
    // first call and never revised.
    static bool useHeartBeat();

    // The caches of the decision. The process has one, behind the two functions
    // above; the overloads below take the platform and the cache explicitly.
    struct OSVersionCache {
        std::optional<std::vector<std::string>> sVersion;  // kept once a read succeeded
        bool toUseHB = false;
        bool once = false;
    };
    static std::optional<std::vector<std::string>> OSVersionArray(platform::Platform& platform,
                                                                  OSVersionCache& cache);
    static bool useHeartBeat(platform::Platform& platform, OSVersionCache& cache);

private:
    platform::Platform& platform_;
    std::atomic<bool> cancelled_{false};
    std::mutex pauseMutex_;
    std::condition_variable pauseCondition_;
};

// The operation queue of the shared heartbeat object: each added operation runs
// on a thread of its own; nothing limits how many run side by side.
class TolmBroadcastQueue {
public:
    TolmBroadcastQueue() = default;
    // Cancels every operation and waits for their threads.
    ~TolmBroadcastQueue();
    TolmBroadcastQueue(const TolmBroadcastQueue&) = delete;
    TolmBroadcastQueue& operator=(const TolmBroadcastQueue&) = delete;

    // Runs the operation's main on a new thread, unless it is cancelled before
    // the thread gets to it. The queue holds the operation until main returns.
    void addOperation(std::shared_ptr<TolmBroadcast> operation);
    // Cancels every queued or running operation.
    void cancelAllOperations();
    // Operations whose main has not returned yet.
    size_t operationCount();

private:
    struct Entry {
        std::shared_ptr<TolmBroadcast> operation;
        std::shared_ptr<std::atomic<bool>> finished;
        std::jthread thread;
    };
    void reapFinished();  // with mutex_ held

    std::mutex mutex_;
    std::vector<Entry> entries_;
};
