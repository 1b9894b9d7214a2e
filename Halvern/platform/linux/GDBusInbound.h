#pragma once
// The inbound side of the GDBus notification center: a filter on every
// connection that picks the signals observers want, with their sender's
// process ID, and the bounded queues that carry them to each observer's main
// context.

#include <gio/gio.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/GDBusCommon.h"
#include "platform/linux/GDBusGate.h"
#include "platform/linux/GDBusNotificationCenter.h"
#include "platform/linux/GDBusSenderPids.h"

namespace platform {

namespace gdbus {

// Round trips through the bus to this process itself: a signal sent to the
// connection's own unique name, which the filter takes back as it arrives.
class Echoes {
public:
    // Sends one; its token, 0 when it could not be sent.
    uint64_t send(GDBusConnection* connection);
    // True once the echo of token has come back. Waits while messages keep
    // arriving (arrivals grows) without a pause of idle or longer, and until
    // cap at the latest: a busy connection is slow, a stalled one brings
    // nothing.
    bool wait(uint64_t token, const std::atomic<uint64_t>& arrivals, std::chrono::milliseconds idle,
              SteadyClock::time_point cap);
    // On GDBus's thread: true when message is an echo (taken, whoever sent it).
    bool take(GDBusConnection* connection, GDBusMessage* message);

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    uint64_t next_ = 1;
    std::set<uint64_t> back_;
};

}  // namespace gdbus

struct GDBusNotificationCenter::Core {
    // A notification waiting for an observer's main context.
    struct Pending {
        Notification notification;
        size_t bytes = 0;
    };
    struct Registration {
        const void* observer = nullptr;
        std::optional<std::string> name;
        std::optional<Signal> signal;  // of name
        std::optional<std::string> object;
        Callback callback;
        GMainContext* context = nullptr;
        std::atomic<bool> active{true};

        std::mutex pendingMutex;
        std::list<Pending> pending;  // in the order of arrival
        std::unordered_map<std::string, size_t> pendingPerSender;
        size_t pendingBytes = 0;
        bool drainScheduled = false;

        ~Registration() {
            if (context != nullptr) g_main_context_unref(context);
        }
    };
    using RegistrationPtr = std::shared_ptr<Registration>;

    // What a connection's filter holds: the Core, and which bus it is on.
    struct FilterData {
        std::shared_ptr<Core> core;
        const char* busLabel;
        std::string busAddress;
    };
    // On GDBus's thread, for every message that arrives on a connection.
    static GDBusMessage* Filter(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer data);
    static void ReleaseFilterData(gpointer data);

    std::mutex mutex;  // guards registrations; taken before a pendingMutex
    std::vector<RegistrationPtr> registrations;
    std::atomic<uint64_t> dropped{0};
    gdbus::Echoes echoes;
    std::atomic<uint64_t> arrivals{0};  // messages that reached the filter
    // What the gates of the connections pass on.
    std::shared_ptr<gdbus::GateRules> gate = std::make_shared<gdbus::GateRules>();
    // Last, so that it stops handing over before the rest goes.
    gdbus::SenderPids senderPids{dropped};

    // Hands observer's registrations what has arrived for them, now, when this
    // thread may run their main context (it runs it, or nobody does).
    void drainNow(const void* observer);

private:
    // A received signal, with the registrations it is for.
    struct Received {
        Notification notification;
        size_t bytes = 0;
        std::vector<RegistrationPtr> registrations;
    };
    void receive(const char* busLabel, const std::string& busAddress, GDBusMessage* message);
    // Hands a received signal to its registrations, with its sender's process
    // ID; dropped when the bus could not name the sender.
    void deliver(Received received, int pid);
    static Notification Parse(const char* interface, const char* member, GVariant* body);
    // Queues a notification for the registration's main context. When the queue
    // is full, the connection with the most messages waiting gives up its
    // oldest; a connection that holds no more than that keeps its own, so a
    // flood from one connection never pushes out another's message.
    void enqueue(const RegistrationPtr& registration, const Notification& notification, size_t bytes);
    // On the observer's main context: hands over what has arrived.
    static gboolean Drain(gpointer data);
    static void ReleaseRegistration(gpointer data);
};

}  // namespace platform
