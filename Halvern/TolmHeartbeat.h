#pragma once
// The shared heartbeat object: observes the heartbeats that processes hosting the
// viewer broadcast, scans the running applications, and answers which viewer
// instances run.

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "TolmBroadcast.h"
#include "platform/Platform.h"

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

// Bundle identifiers, names and keys of the running-application scan.
inline constexpr const char* kWEBKIT_BUNDLEID = "com.apple.WebKit.PluginProcess";
inline constexpr const char* kWEBKIT_BUNDLEID_64 = "com.apple.WebKit.Plugin.64";
inline constexpr const char* kVATREL_BUNDLEID = "com.veldane.vatrel";
inline constexpr const char* kZEV_BUNDLEID = "com.veldane.Harbex";
inline constexpr const char* kBROWSERPLUGIN_PLIST = "com.veldane.quorvo.pdfviewer";
inline constexpr const char* kBROWSERPLUGIN_PREFIX = "VeldanePDFViewer";
inline constexpr const char* kBROWSERPLUGIN_APPPATHKEY = "WebBrowserUsePath";
inline constexpr const char* kINVALIDAPPNAME = "__--__INVALID__--__";

// Starts observing heartbeats when heartbeats are in use; otherwise does nothing.
// When no message bus can be reached it prints one line saying so and that the
// running applications are scanned instead: the scan then decides alone.
void StartTolmHeartbeatObserver();
// Stops observing when heartbeats are in use; the collected entries stay.
void StopTolmHeartbeatObserver();
// The running-instance list for the viewer at installPath (nullopt: any viewer).
// Both ways look: the heartbeat records when a fresh heartbeat names the
// viewer, else the scan's list, so that "none runs" needs both to say so. The
// heartbeats count only when the observer answers at that moment (it has a bus
// and has not stalled or lost one); when it does not, one line says why (not
// again while the reason stays the same) and the scan decides alone. A scan that
// could not look gives an empty list.
RunningInstanceList GetBeatingProcesses(const std::optional<std::string>& installPath);
// True when the list GetBeatingProcesses returned last (before any call: when
// heartbeats are observed) has the heartbeat shape; false for the scan shape.
bool IsHeartbeatShape();

// The major version of the bundle at bundlePath: the first component of its
// CFBundleVersion as atoi reads it, when the version has at least three
// "."-separated components; -1 otherwise (also for a missing bundle or path).
int32_t GetBundleMajorVersion(const std::optional<std::string>& bundlePath,
                              platform::Platform& platform = platform::DefaultPlatform());

// True when the maker's installer-manager library, loaded from the machine's
// application folder, reports (status -3) that the application manager runs.
// A missing, untrusted or broken library, or one without the status function,
// gives false.
bool IsVeldaneApplicationManagerRunning(platform::Platform& platform = platform::DefaultPlatform());

class TolmHeartbeat {
public:
    // Heartbeats that the observer keeps, at most: beyond it, senders whose
    // latest heartbeat is stale (and so is never listed) make room; when every
    // kept entry is fresh, the sender holding the most entries gives up its least
    // recently beaten one, and a sender that holds no fewer than every other has
    // its new heartbeat dropped: a sender with one entry is the last to go. With
    // the record cap below this bounds the observer's memory under a flood of
    // made-up senders to about kMaxHeartbeatSenders * kMaxHeartbeatBytes
    // (24 MiB), and to well under 1 MiB for records of ordinary size.
    static constexpr size_t kMaxHeartbeatSenders = 2048;
    // A heartbeat whose object and record texts together exceed this is no
    // heartbeat of a viewer (three paths and a name) and is dropped.
    static constexpr size_t kMaxHeartbeatBytes = 12 * 1024;
    // Keys that one sender (as the platform tells senders apart) may hold at
    // once. A viewer process posts under its own pid text only, so a sender
    // posting under many made-up pid texts gets no more than this: a flood from
    // one connection cannot crowd out the real senders.
    static constexpr size_t kMaxKeysPerSender = 4;

    // init: empty dictionaries, an idle queue. The platform serves the scan, the
    // clock of the heartbeats and the broadcasters; it must outlive the object.
    explicit TolmHeartbeat(platform::Platform& platform);
    // dealloc: cancels the broadcasters and waits for their threads.
    ~TolmHeartbeat();
    TolmHeartbeat(const TolmHeartbeat&) = delete;
    TolmHeartbeat& operator=(const TolmHeartbeat&) = delete;

    // The one instance of the process, on the default platform; made on the
    // first call. It lasts until the process ends (its broadcasters are
    // cancelled and joined at exit).
    static TolmHeartbeat& sharedHeartbeat();

    // --- Heartbeat observer -------------------------------------------------------
    // Records a delivered heartbeat: ignored without object, without userInfo,
    // under another name, or when the platform names the process that posted it
    // and its pid text is not that process's (no one speaks for another
    // process); otherwise the sender's date (now, on the platform's clock) and
    // record replace what its key held.
    void observe(const platform::Notification& notification);

    // The records of the fresh senders (latest heartbeat less than one second
    // ago) whose kUserInfoLumaroAppPath is installPath, character for character,
    // or names the same folder as installPath (a path through a symbolic link,
    // the viewer's resolved path), or of every fresh sender with that key when
    // installPath is nullopt.
    RunningInstanceList getBeatingProcesses(const std::optional<std::string>& installPath);

    // --- Running-application scan -------------------------------------------------
    // The scan shape: index 0 the display name of the viewer running at
    // installPath (or kINVALIDAPPNAME; a path matches installPath standardized,
    // character for character, or when it names the same folder), then every name that the four phases
    // collected (viewer, application manager, PDF-creation tool of a full
    // product, browser plug-in host), each once. A failure of the platform in the
    // middle ends the scan: the list then holds what was found up to there
    // (the primary entry, then the names collected), or nothing at all when
    // nothing was, since a scan that did not finish cannot show that nothing runs.
    RunningInstanceList getBeatingProcesses_Mavericks(const std::optional<std::string>& installPath,
                                                      const std::optional<std::string>& identifier,
                                                      const std::optional<std::string>& track);

    // --- Broadcasting ---------------------------------------------------------------
    // Starts one more broadcast operation for the viewer at path, on a thread of
    // its own.
    void startBroadcasting(const std::optional<std::string>& path);
    // Cancels every broadcast operation: one not yet started never posts; a
    // running one posts no more after the pass in progress.
    void stopBroadcasting();

    // Senders that have an entry (fresh or not).
    size_t heartbeatEntryCount() const;

private:
    // Dates with their place in _arrivalOrder and the sender of the latest
    // heartbeat (empty when the platform cannot tell).
    struct HeartbeatDate {
        platform::Clock::TimePoint date;
        std::list<std::string>::iterator arrival;
        std::string sender;
    };
    // Drops the entries whose latest heartbeat is stale at now.
    void dropStaleEntries(platform::Clock::TimePoint now);
    // Makes room for one more key of sender in a full table: the least recently
    // beaten key of a sender holding the most keys goes, unless no one holds
    // more than sender does. False when nothing went.
    bool evictForSender(const std::string& sender);
    void removeEntry(std::unordered_map<std::string, HeartbeatDate>::iterator date);
    // Adds delta to the keys sender holds.
    void countKey(const std::string& sender, int delta);
    size_t keysOf(const std::string& sender) const;

    platform::Platform& platform_;
    std::unordered_map<std::string, HeartbeatDate> _lastHeartBeatDates;
    std::unordered_map<std::string, std::shared_ptr<const HeartbeatRecord>> _lastHeartBeatUserInfos;
    // The keys, the one with the oldest latest heartbeat first: making room
    // takes the stale ones from the front without walking the rest.
    std::list<std::string> _arrivalOrder;
    // How many keys each known sender holds (senders holding none are absent;
    // the senders the platform cannot tell apart count as one, ""), and how
    // many senders hold each count.
    std::unordered_map<std::string, size_t> _keysPerSender;
    std::map<size_t, size_t> _holdersByCount;
    TolmBroadcastQueue _queue;
    mutable std::recursive_mutex _lock;  // guards the dictionaries and _arrivalOrder
};
