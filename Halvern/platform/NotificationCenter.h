#pragma once
// Distributed notifications: short messages that any process on the machine can
// post and any process can observe.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/Status.h"

namespace platform {

using NotificationUserInfo = std::map<std::string, std::string>;

struct Notification {
    std::string name;
    std::optional<std::string> object;
    // Shared, never changed after posting: an observer may keep it.
    std::shared_ptr<const NotificationUserInfo> userInfo;  // null: none
    // Who posted it, when the platform can tell: one name per connection of a
    // poster to the system (its pid text is only what it claims).
    std::optional<std::string> sender = std::nullopt;
    // The process that posted it, as the system reports it (not as the poster
    // claims); nullopt when the platform cannot tell.
    std::optional<int> senderProcessIdentifier = std::nullopt;
};

// Options of a post, as bits.
enum PostOptions : unsigned {
    kPostDeliverImmediately = 1,
    // Reach observers in every login session on the machine, not only in the
    // poster's own.
    kPostToAllSessions = 2,
};

class NotificationCenter {
public:
    using Callback = std::function<void(const Notification&)>;
    virtual ~NotificationCenter() = default;

    // Posts a notification. Reports nothing: a post that reaches no observer, or
    // no other process at all, goes unnoticed. May be called from any thread.
    virtual void postNotification(const std::string& name, const std::optional<std::string>& object,
                                  std::shared_ptr<const NotificationUserInfo> userInfo, unsigned options) = 0;

    // Registers callback for the notifications called name (any name when
    // nullopt) whose object is object (any when nullopt), on behalf of observer.
    // Notifications are delivered on the thread that registered, through its
    // main context (the main thread's loop), and only while that loop runs.
    // Fails, saying why, when no notification could ever reach the callback
    // (nothing to listen on); the registration then has no effect.
    virtual Status addObserver(const void* observer, Callback callback, const std::optional<std::string>& name,
                               const std::optional<std::string>& object) = 0;

    // Asked just before each decision that rests on what observer has
    // received. Ok when notifications reach observer's registrations now: each
    // connection they listen on has carried a message from this process back
    // to itself, without stalling for more than a short bound, and what had
    // arrived by then has been
    // handed to observer's callbacks (when called on the thread that runs their
    // main context). Fails, saying why in one line, when a connection is
    // stalled (the round trip did not come back in time) or has been lost
    // since the registrations were made. A failure means: for this decision,
    // do not count what observer received. A stall may pass, so a later call
    // may succeed again; a lost connection keeps it failing until observer
    // registers anew. Blocks for half a second when stalled, for at
    // most about two seconds on a busy connection.
    virtual Status observationStatus(const void* observer) = 0;

    // Removes observer's registrations for name and object (nullopt matches
    // every name, every object). Once it returns on the delivering thread, no
    // further notification reaches those callbacks.
    virtual void removeObserver(const void* observer, const std::optional<std::string>& name,
                                const std::optional<std::string>& object) = 0;
};

}  // namespace platform
