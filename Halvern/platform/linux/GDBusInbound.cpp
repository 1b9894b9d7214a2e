#include "platform/linux/GDBusInbound.h"

#include <algorithm>

namespace platform {

namespace gdbus {

namespace {

constexpr const char* kEchoPath = "/com/veldane/Tolm/Echo";
constexpr const char* kEchoInterface = "com.veldane.Tolm.Echo";
constexpr const char* kEchoMember = "Echo";
// Tokens that came back and were not waited for (late), kept at most.
constexpr size_t kMaxEchoesBack = 64;

}  // namespace

uint64_t Echoes::send(GDBusConnection* connection) {
    const char* self = g_dbus_connection_get_unique_name(connection);
    if (self == nullptr) return 0;
    uint64_t token = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        token = next_++;
    }
    if (!g_dbus_connection_emit_signal(connection, self, kEchoPath, kEchoInterface, kEchoMember,
                                       g_variant_new("(t)", static_cast<guint64>(token)), nullptr)) {
        return 0;
    }
    return token;
}

bool Echoes::wait(uint64_t token, const std::atomic<uint64_t>& arrivals, std::chrono::milliseconds idle,
                  SteadyClock::time_point cap) {
    if (token == 0) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t seen = arrivals.load();
    for (;;) {
        const SteadyClock::time_point deadline = std::min(cap, SteadyClock::now() + idle);
        if (arrived_.wait_until(lock, deadline, [&] { return back_.contains(token); })) {
            back_.erase(token);
            return true;
        }
        const uint64_t now = arrivals.load();
        if (now == seen || SteadyClock::now() >= cap) return false;
        seen = now;
    }
}

bool Echoes::take(GDBusConnection* connection, GDBusMessage* message) {
    if (g_strcmp0(g_dbus_message_get_interface(message), kEchoInterface) != 0) return false;
    const char* self = g_dbus_connection_get_unique_name(connection);
    GVariant* body = g_dbus_message_get_body(message);
    if (self == nullptr || g_strcmp0(g_dbus_message_get_sender(message), self) != 0 || body == nullptr ||
        !g_variant_is_of_type(body, G_VARIANT_TYPE("(t)"))) {
        return true;  // not this process's own
    }
    guint64 token = 0;
    g_variant_get(body, "(t)", &token);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (back_.size() >= kMaxEchoesBack) back_.clear();
        back_.insert(token);
    }
    arrived_.notify_all();
    return true;
}

}  // namespace gdbus

GDBusMessage* GDBusNotificationCenter::Core::Filter(GDBusConnection* connection, GDBusMessage* message,
                                                    gboolean incoming, gpointer data) {
    const auto* filter = static_cast<FilterData*>(data);
    if (incoming) filter->core->arrivals.fetch_add(1);
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_SIGNAL) {
        if (filter->core->echoes.take(connection, message)) {
            g_object_unref(message);
            return nullptr;
        }
        filter->core->receive(filter->busLabel, filter->busAddress, message);
    }
    return message;  // left for GDBus's own handling
}

void GDBusNotificationCenter::Core::ReleaseFilterData(gpointer data) { delete static_cast<FilterData*>(data); }

void GDBusNotificationCenter::Core::receive(const char* busLabel, const std::string& busAddress,
                                            GDBusMessage* message) {
    const char* interface = g_dbus_message_get_interface(message);
    const char* member = g_dbus_message_get_member(message);
    const char* path = g_dbus_message_get_path(message);
    if (interface == nullptr || member == nullptr || path == nullptr) return;
    GVariant* body = g_dbus_message_get_body(message);
    const size_t bytes = body != nullptr ? g_variant_get_size(body) : 0;

    Received received;
    {
        std::lock_guard<std::mutex> guard(mutex);
        std::optional<Notification> notification;
        for (const RegistrationPtr& registration : registrations) {
            if (registration->signal) {
                const Signal& wanted = *registration->signal;
                if (wanted.interface != interface || wanted.member != member || wanted.path != path) continue;
            }
            if (bytes > kMaxNotificationBytes) {
                dropped.fetch_add(1);
                return;
            }
            if (!notification) notification = Parse(interface, member, body);
            if (registration->object && registration->object != notification->object) continue;
            received.registrations.push_back(registration);
        }
        if (received.registrations.empty()) return;
        received.notification = std::move(*notification);
    }
    const char* sender = g_dbus_message_get_sender(message);
    if (sender == nullptr) {
        dropped.fetch_add(1);  // nobody to vouch for it
        return;
    }
    // Unique names are per bus: the same name on the other bus is another
    // connection.
    const std::string senderKey = std::string(busLabel) + " " + sender;
    received.notification.sender = senderKey;
    received.bytes = bytes;
    // The Core outlives every delivery: its sender pids stop handing over
    // before anything else of it goes.
    senderPids.resolve(busAddress, senderKey, sender,
                       [this, received = std::move(received)](int pid) mutable { deliver(std::move(received), pid); });
}

void GDBusNotificationCenter::Core::deliver(Received received, int pid) {
    if (pid < 0) {
        dropped.fetch_add(1);
        return;
    }
    received.notification.senderProcessIdentifier = pid;
    for (const RegistrationPtr& registration : received.registrations) {
        if (registration->active.load()) enqueue(registration, received.notification, received.bytes);
    }
}

Notification GDBusNotificationCenter::Core::Parse(const char* interface, const char* member, GVariant* body) {
    Notification notification;
    notification.name = std::string(interface) + "." + member;
    if (body == nullptr || !g_variant_is_of_type(body, G_VARIANT_TYPE_TUPLE)) return notification;
    const gsize count = g_variant_n_children(body);
    if (count >= 1) {
        GVariant* object = g_variant_get_child_value(body, 0);
        if (g_variant_is_of_type(object, G_VARIANT_TYPE_STRING)) {
            const char* text = g_variant_get_string(object, nullptr);
            if (*text != '\0') notification.object = text;
        }
        g_variant_unref(object);
    }
    if (count >= 2) {
        GVariant* userInfo = g_variant_get_child_value(body, 1);
        if (g_variant_is_of_type(userInfo, G_VARIANT_TYPE("a{ss}"))) {
            auto entries = std::make_shared<NotificationUserInfo>();
            GVariantIter iter;
            g_variant_iter_init(&iter, userInfo);
            const char* key = nullptr;
            const char* value = nullptr;
            while (g_variant_iter_next(&iter, "{&s&s}", &key, &value)) (*entries)[key] = value;
            notification.userInfo = std::move(entries);
        }
        g_variant_unref(userInfo);
    }
    return notification;
}

void GDBusNotificationCenter::Core::enqueue(const RegistrationPtr& registration, const Notification& notification,
                                            size_t bytes) {
    std::lock_guard<std::mutex> guard(registration->pendingMutex);
    const std::string sender = notification.sender.value_or("");
    while (registration->pending.size() >= kMaxPendingNotifications ||
           registration->pendingBytes + bytes > kMaxPendingBytes) {
        const size_t own = registration->pendingPerSender[sender];
        auto largest = registration->pendingPerSender.begin();
        for (auto it = registration->pendingPerSender.begin(); it != registration->pendingPerSender.end(); ++it) {
            if (it->second > largest->second) largest = it;
        }
        dropped.fetch_add(1);
        if (largest->second <= own) {
            if (own == 0) registration->pendingPerSender.erase(sender);
            return;
        }
        const std::string& holder = largest->first;
        const auto oldest = std::find_if(registration->pending.begin(), registration->pending.end(),
                                         [&](const Pending& p) { return p.notification.sender.value_or("") == holder; });
        registration->pendingBytes -= oldest->bytes;
        registration->pending.erase(oldest);
        if (--largest->second == 0) registration->pendingPerSender.erase(largest);
    }
    registration->pending.push_back(Pending{notification, bytes});
    ++registration->pendingPerSender[sender];
    registration->pendingBytes += bytes;
    if (registration->drainScheduled) return;
    registration->drainScheduled = true;
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, Drain, new RegistrationPtr(registration), ReleaseRegistration);
    g_source_attach(source, registration->context);
    g_source_unref(source);
}

void GDBusNotificationCenter::Core::drainNow(const void* observer) {
    std::vector<RegistrationPtr> owned;
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (const RegistrationPtr& registration : registrations) {
            if (registration->observer == observer) owned.push_back(registration);
        }
    }
    for (RegistrationPtr& registration : owned) {
        if (!g_main_context_acquire(registration->context)) continue;  // another thread runs it
        Drain(&registration);
        g_main_context_release(registration->context);
    }
}

gboolean GDBusNotificationCenter::Core::Drain(gpointer data) {
    const RegistrationPtr& registration = *static_cast<RegistrationPtr*>(data);
    std::list<Pending> batch;
    {
        std::lock_guard<std::mutex> guard(registration->pendingMutex);
        batch.swap(registration->pending);
        registration->pendingPerSender.clear();
        registration->pendingBytes = 0;
        registration->drainScheduled = false;
    }
    for (const Pending& pending : batch) {
        if (!registration->active.load()) break;
        registration->callback(pending.notification);
    }
    return G_SOURCE_REMOVE;
}

void GDBusNotificationCenter::Core::ReleaseRegistration(gpointer data) { delete static_cast<RegistrationPtr*>(data); }

}  // namespace platform
