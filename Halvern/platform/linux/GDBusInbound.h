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
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/GDBusNotificationCenter.h"
#include "platform/linux/GDBusSenderPids.h"

namespace platform {

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
    };
    // On GDBus's thread, for every message that arrives on a connection.
    static GDBusMessage* Filter(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer data);
    static void ReleaseFilterData(gpointer data);

    std::mutex mutex;  // guards registrations; taken before a pendingMutex
    std::vector<RegistrationPtr> registrations;
    std::atomic<uint64_t> dropped{0};
    // Last, so that it stops handing over before the rest goes.
    gdbus::SenderPids senderPids{dropped};

private:
    // A received signal, with the registrations it is for.
    struct Received {
        Notification notification;
        size_t bytes = 0;
        std::vector<RegistrationPtr> registrations;
    };
    void receive(GDBusConnection* connection, const char* busLabel, GDBusMessage* message);
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
