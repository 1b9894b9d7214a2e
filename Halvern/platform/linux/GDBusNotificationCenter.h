#pragma once
// Distributed notifications as D-Bus signals, through GDBus.
//
// A notification called "a.b.C" is the signal C of interface a.b on the object
// path /a/b, sent to no one in particular (a broadcast), with the arguments
// (s object, a{ss} userInfo); a missing object travels as "", a missing userInfo
// by leaving the second argument out. Received signals of another shape keep
// what they carry: a first argument that is no string gives no object, a second
// that is no a{ss} gives no userInfo.
//
// "Every session" is the system bus: a post to all sessions goes there when it
// can be reached, else to the session bus; any other post goes to the session
// bus. Observers listen on every bus that can be reached (system and session).
// The session bus is the one DBUS_SESSION_BUS_ADDRESS names, else
// $XDG_RUNTIME_DIR/bus; a bus is never started on demand. The system bus is the
// one DBUS_SYSTEM_BUS_ADDRESS names, else the standard socket. The addresses are
// read each time a connection is opened.
//
// Nothing here blocks for longer than about kConnectTimeout, and a post never
// waits for a connection while it has a bus to post on: a bus that is not
// connected is tried again at most every retry interval, on a thread of its
// own, while posts go on over the buses that are connected.
//
// Every connection is read through a gate (GDBusGate.h): only replies, and
// signals while observers listen, of at most kMaxNotificationBytes reach
// GDBus; anything else is read past without being decoded. A connection that
// only posts thus keeps posting however much is sent to it. Incoming signals
// are handed to each observer's main context through a bounded queue: a flood
// fills the queue and the excess is dropped, whatever the observing thread
// does, the connection with the most messages waiting giving up its oldest
// first. Each notification carries the process ID of the connection that sent
// it, as the bus reports it (GetConnectionUnixProcessID, asked on a thread and
// a connection of its own, again after a failure); a signal whose sender the
// bus says it cannot name is dropped. observationStatus sends a message to
// itself over every connection observers listen on and fails when one does
// not come back (see kEchoTimeout).
//
// The class is the front; its rooms, one concern each:
//   GDBusBuses       where the buses are; opening, losing and reopening connections
//   GDBusInbound     the filter on every connection and the bounded queues to observers
//   GDBusSenderPids  the process ID of each sending connection
//   GDBusPosting     the signal a notification becomes, and sending it
//   GDBusObservers   registrations and the match rules they need
//   GDBusGate        the bounded reader in front of every connection
//   GDBusCommon      the bus's own names; a blocking call one may stop waiting for

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;

namespace platform {

class GDBusNotificationCenter : public NotificationCenter {
public:
    static constexpr std::chrono::milliseconds kConnectTimeout{1000};
    // Observation counts as stalled when a message this process sends to
    // itself has not come back and nothing at all has arrived for
    // kEchoTimeout; while messages keep arriving (a busy bus, a flood) the
    // echo is waited for up to kEchoCap.
    static constexpr std::chrono::milliseconds kEchoTimeout{500};
    static constexpr std::chrono::milliseconds kEchoCap{2000};
    static constexpr std::chrono::seconds kRetryInterval{30};
    // A signal whose arguments are larger is no notification of ours.
    static constexpr size_t kMaxNotificationBytes = 64 * 1024;
    // What may wait for an observer's main context, at most.
    static constexpr size_t kMaxPendingNotifications = 4096;
    static constexpr size_t kMaxPendingBytes = 4 * 1024 * 1024;

    explicit GDBusNotificationCenter(std::chrono::milliseconds retryInterval = kRetryInterval);
    ~GDBusNotificationCenter() override;
    GDBusNotificationCenter(const GDBusNotificationCenter&) = delete;
    GDBusNotificationCenter& operator=(const GDBusNotificationCenter&) = delete;

    void postNotification(const std::string& name, const std::optional<std::string>& object,
                          std::shared_ptr<const NotificationUserInfo> userInfo, unsigned options) override;
    // Connects to the buses not yet connected (all at once, together within
    // about kConnectTimeout) and asks each for the signal. Fails, naming every
    // bus and why, when none can be reached.
    Status addObserver(const void* observer, Callback callback, const std::optional<std::string>& name,
                       const std::optional<std::string>& object) override;
    void removeObserver(const void* observer, const std::optional<std::string>& name,
                        const std::optional<std::string>& object) override;
    // Fails once a bus that carried the observers' match rules has closed its
    // connection, naming it; the next successful addObserver starts afresh.
    Status observationStatus(const void* observer) override;

    // The signal that carries the notification called name; nullopt when name
    // cannot be written as one (no ".", or parts D-Bus does not allow).
    struct Signal {
        std::string interface;
        std::string member;
        std::string path;
    };
    static std::optional<Signal> SignalForName(const std::string& name);

    // Notifications dropped so far because they were too large or an observer's
    // queue was full.
    uint64_t droppedNotifications() const;
    // How many buses are connected now.
    int connectedBusCount();

private:
    struct Core;
    struct Bus;
    enum class BusKind { System, Session };

    // With busMutex_ held: connects every bus of kinds that is not connected (and,
    // when rateLimited, was not tried within the retry interval), all at once,
    // waiting for them until deadline.
    void connectBuses(std::initializer_list<BusKind> kinds, bool rateLimited,
                      std::chrono::steady_clock::time_point deadline);
    // With busMutex_ held: starts connecting to bus on a thread of its own unless
    // it is connected, an attempt is under way, or (rateLimited) the last one
    // was less than the retry interval ago.
    void startConnecting(BusKind kind, bool rateLimited);
    // With busMutex_ held: takes the outcome of bus's attempt when it is there
    // (waiting for it until deadline when wait is set; giving it up once past its
    // own deadline). A bus that comes up gets the filter and every match rule.
    void finishConnecting(Bus& bus, bool wait, std::chrono::steady_clock::time_point deadline);
    // With busMutex_ held: true when bus is connected; a connection found closed
    // is let go (and counted as lost when observers listened on it).
    bool connected(Bus& bus);
    void disconnect(Bus& bus);
    Bus& bus(BusKind kind);
    std::string describeFailures();

    const std::chrono::milliseconds retryInterval_;
    std::shared_ptr<Core> core_;
    std::mutex busMutex_;
    std::unique_ptr<Bus> system_;
    std::unique_ptr<Bus> session_;
    // The match rules in use, with how many registrations need each.
    std::map<std::string, int> rules_;
    // The message of a post, kept for the next post of the same notification: a
    // broadcaster posts the same one over and over. Keyed by the shared,
    // unchanging userInfo (held here, so its address is not reused).
    struct CachedPost {
        std::string name;
        std::optional<std::string> object;
        std::shared_ptr<const NotificationUserInfo> userInfo;
        Signal signal;
        GVariant* body = nullptr;
    };
    std::vector<CachedPost> posts_;  // guarded by busMutex_
};

}  // namespace platform
