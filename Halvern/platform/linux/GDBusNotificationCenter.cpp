#include "platform/linux/GDBusNotificationCenter.h"

#include <vector>

#include "platform/linux/GDBusBuses.h"
#include "platform/linux/GDBusInbound.h"

namespace platform {

using gdbus::BoundedCall;
using gdbus::SteadyClock;

GDBusNotificationCenter::GDBusNotificationCenter(std::chrono::milliseconds retryInterval)
    : retryInterval_(retryInterval),
      core_(std::make_shared<Core>()),
      system_(std::make_unique<Bus>("system bus")),
      session_(std::make_unique<Bus>("session bus")) {}

GDBusNotificationCenter::~GDBusNotificationCenter() {
    {
        std::lock_guard<std::mutex> guard(core_->mutex);
        for (const auto& registration : core_->registrations) registration->active.store(false);
        core_->registrations.clear();
    }
    std::lock_guard<std::mutex> guard(busMutex_);
    // Posts still queued get about a second to leave, on both buses at once; a
    // bus that does not take them in that time does not hold the process.
    std::vector<std::unique_ptr<BoundedCall>> flushes;
    for (Bus* target : {system_.get(), session_.get()}) {
        if (target->connection == nullptr) continue;
        GDBusConnection* connection = G_DBUS_CONNECTION(g_object_ref(target->connection));
        // A question to the bus is answered only once everything written
        // before it has reached the bus (through the gate, too).
        flushes.push_back(std::make_unique<BoundedCall>([connection](GCancellable* cancellable) {
            GVariant* reply = g_dbus_connection_call_sync(
                connection, gdbus::kBusName, gdbus::kBusPath, gdbus::kBusInterface, "GetId", nullptr,
                G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, static_cast<int>(kConnectTimeout.count()), cancellable,
                nullptr);
            if (reply != nullptr) g_variant_unref(reply);
            g_object_unref(connection);
        }));
    }
    const SteadyClock::time_point deadline = SteadyClock::now() + kConnectTimeout;
    for (auto& flush : flushes) flush->waitUntil(deadline);
    for (Bus* target : {system_.get(), session_.get()}) {
        if (target->attempt) target->attempt->call->cancel();  // its thread ends by itself
    }
    disconnect(*system_);
    disconnect(*session_);
    for (CachedPost& post : posts_) g_variant_unref(post.body);
}

uint64_t GDBusNotificationCenter::droppedNotifications() const {
    return core_->dropped.load() + core_->gate->droppedSignals.load();
}

}  // namespace platform
