#include "platform/linux/GDBusNotificationCenter.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";
constexpr GDBusConnectionFlags kConnectionFlags = static_cast<GDBusConnectionFlags>(
    G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);

std::string TakeMessage(GError* error) {
    std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    return message;
}

// A blocking GLib call on a thread of its own, so that the caller can stop
// waiting for it. Past the deadline the caller cancels it and goes on; the
// thread then finishes by itself, owning what it holds.
class BoundedCall {
public:
    using Work = std::function<void(GCancellable*)>;

    explicit BoundedCall(Work work) : state_(std::make_shared<State>()) {
        std::thread([state = state_, work = std::move(work)] {
            work(state->cancellable);
            std::lock_guard<std::mutex> guard(state->mutex);
            state->done = true;
            state->condition.notify_all();
        }).detach();
    }

    // True when the call finished by deadline; otherwise cancels it.
    bool waitUntil(SteadyClock::time_point deadline) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        if (state_->condition.wait_until(lock, deadline, [this] { return state_->done; })) return true;
        g_cancellable_cancel(state_->cancellable);
        return false;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable condition;
        bool done = false;
        GCancellable* cancellable = g_cancellable_new();
        ~State() { g_object_unref(cancellable); }
    };
    std::shared_ptr<State> state_;
};

// The outcome of opening a connection, shared with the thread that opens it.
struct ConnectResult {
    std::mutex mutex;
    GDBusConnection* connection = nullptr;
    std::string error;
    ~ConnectResult() {
        if (connection != nullptr) g_object_unref(connection);
    }
};

std::string EscapeMatchValue(const std::string& value) {
    // Inside a quoted match-rule value a quote is written '\''.
    std::string escaped;
    for (char c : value) {
        if (c == '\'') {
            escaped += "'\\''";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

// --- Observers and their queues ----------------------------------------------------------

struct GDBusNotificationCenter::Core {
    struct Registration {
        const void* observer = nullptr;
        std::optional<std::string> name;
        std::optional<Signal> signal;  // of name
        std::optional<std::string> object;
        Callback callback;
        GMainContext* context = nullptr;
        std::atomic<bool> active{true};

        std::mutex pendingMutex;
        std::deque<Notification> pending;
        size_t pendingBytes = 0;
        bool drainScheduled = false;

        ~Registration() {
            if (context != nullptr) g_main_context_unref(context);
        }
    };
    using RegistrationPtr = std::shared_ptr<Registration>;

    std::mutex mutex;  // guards registrations; taken before a pendingMutex
    std::vector<RegistrationPtr> registrations;
    std::atomic<uint64_t> dropped{0};

    // On GDBus's thread, for every message that arrives on a connection.
    static GDBusMessage* Filter(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer data) {
        if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_SIGNAL) {
            (*static_cast<std::shared_ptr<Core>*>(data))->receive(message);
        }
        return message;  // left for GDBus's own handling
    }
    static void ReleaseFilterData(gpointer data) { delete static_cast<std::shared_ptr<Core>*>(data); }

    void receive(GDBusMessage* message) {
        const char* interface = g_dbus_message_get_interface(message);
        const char* member = g_dbus_message_get_member(message);
        const char* path = g_dbus_message_get_path(message);
        if (interface == nullptr || member == nullptr || path == nullptr) return;
        GVariant* body = g_dbus_message_get_body(message);
        const size_t bytes = body != nullptr ? g_variant_get_size(body) : 0;

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
            if (!notification) {
                notification = Parse(interface, member, body);
                if (const char* sender = g_dbus_message_get_sender(message)) notification->sender = sender;
            }
            if (registration->object && registration->object != notification->object) continue;
            enqueue(registration, *notification, bytes);
        }
    }

    static Notification Parse(const char* interface, const char* member, GVariant* body) {
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

    void enqueue(const RegistrationPtr& registration, const Notification& notification, size_t bytes) {
        std::lock_guard<std::mutex> guard(registration->pendingMutex);
        if (registration->pending.size() >= kMaxPendingNotifications ||
            registration->pendingBytes + bytes > kMaxPendingBytes) {
            dropped.fetch_add(1);
            return;
        }
        registration->pending.push_back(notification);
        registration->pendingBytes += bytes;
        if (registration->drainScheduled) return;
        registration->drainScheduled = true;
        GSource* source = g_idle_source_new();
        g_source_set_priority(source, G_PRIORITY_DEFAULT);
        g_source_set_callback(source, Drain, new RegistrationPtr(registration), ReleaseRegistration);
        g_source_attach(source, registration->context);
        g_source_unref(source);
    }

    // On the observer's main context: hands over what has arrived.
    static gboolean Drain(gpointer data) {
        const RegistrationPtr& registration = *static_cast<RegistrationPtr*>(data);
        std::deque<Notification> batch;
        {
            std::lock_guard<std::mutex> guard(registration->pendingMutex);
            batch.swap(registration->pending);
            registration->pendingBytes = 0;
            registration->drainScheduled = false;
        }
        for (const Notification& notification : batch) {
            if (!registration->active.load()) break;
            registration->callback(notification);
        }
        return G_SOURCE_REMOVE;
    }
    static void ReleaseRegistration(gpointer data) { delete static_cast<RegistrationPtr*>(data); }
};

// --- Buses ---------------------------------------------------------------------------------

struct GDBusNotificationCenter::Bus {
    explicit Bus(const char* name) : label(name) {}
    const char* label;  // "system bus", "session bus"
    GDBusConnection* connection = nullptr;
    std::string address;
    guint filter = 0;
    std::optional<SteadyClock::time_point> lastAttempt;
    std::string failure;  // why it is not connected
};

namespace {

std::optional<std::string> SystemBusAddress(std::string*) {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') return std::string(address);
    return std::string("unix:path=/var/run/dbus/system_bus_socket");
}

std::optional<std::string> SessionBusAddress(std::string* why) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') return std::string(address);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') {
        const std::string socketPath = std::string(runtime) + "/bus";
        struct stat st;
        if (::stat(socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            gchar* escaped = g_dbus_address_escape_value(socketPath.c_str());
            std::string result = std::string("unix:path=") + escaped;
            g_free(escaped);
            return result;
        }
    }
    *why = "DBUS_SESSION_BUS_ADDRESS is not set and there is no $XDG_RUNTIME_DIR/bus";
    return std::nullopt;
}

bool AddMatch(GDBusConnection* connection, const std::string& rule, SteadyClock::time_point deadline,
              std::string* error) {
    // The reply is awaited so that signals sent after this returns are seen; at
    // least a short while even past the deadline, as the bus did just answer.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    const int timeout = static_cast<int>(std::max<int64_t>(left.count(), 200));
    GError* failure = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection, kBusName, kBusPath, kBusInterface, "AddMatch",
                                                  g_variant_new("(s)", rule.c_str()), nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, timeout, nullptr, &failure);
    if (reply == nullptr) {
        *error = "AddMatch failed: " + TakeMessage(failure);
        return false;
    }
    g_variant_unref(reply);
    return true;
}

void RemoveMatch(GDBusConnection* connection, const std::string& rule) {
    // Nothing waits for the answer.
    g_dbus_connection_call(connection, kBusName, kBusPath, kBusInterface, "RemoveMatch",
                           g_variant_new("(s)", rule.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                           nullptr, nullptr);
}

std::string MatchRule(const std::optional<GDBusNotificationCenter::Signal>& signal,
                      const std::optional<std::string>& object) {
    std::string rule = "type='signal'";
    if (signal) {
        rule += ",interface='" + signal->interface + "',member='" + signal->member + "',path='" + signal->path + "'";
    }
    if (object) rule += ",arg0='" + EscapeMatchValue(*object) + "'";
    return rule;
}

}  // namespace

GDBusNotificationCenter::GDBusNotificationCenter()
    : core_(std::make_shared<Core>()),
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
        flushes.push_back(std::make_unique<BoundedCall>([connection](GCancellable* cancellable) {
            g_dbus_connection_flush_sync(connection, cancellable, nullptr);
            g_object_unref(connection);
        }));
    }
    const SteadyClock::time_point deadline = SteadyClock::now() + kConnectTimeout;
    for (auto& flush : flushes) flush->waitUntil(deadline);
    disconnect(*system_);
    disconnect(*session_);
    for (CachedPost& post : posts_) g_variant_unref(post.body);
}

GDBusNotificationCenter::Bus& GDBusNotificationCenter::bus(BusKind kind) {
    return kind == BusKind::System ? *system_ : *session_;
}

void GDBusNotificationCenter::disconnect(Bus& bus) {
    if (bus.connection == nullptr) return;
    g_dbus_connection_remove_filter(bus.connection, bus.filter);
    g_object_unref(bus.connection);
    bus.connection = nullptr;
    bus.filter = 0;
}

void GDBusNotificationCenter::connectBuses(std::initializer_list<BusKind> kinds, bool rateLimited,
                                           SteadyClock::time_point deadline) {
    struct Attempt {
        Bus* bus;
        std::shared_ptr<ConnectResult> result;
        std::unique_ptr<BoundedCall> call;
    };
    std::vector<Attempt> attempts;
    const SteadyClock::time_point now = SteadyClock::now();
    for (BusKind kind : kinds) {
        Bus& target = bus(kind);
        if (target.connection != nullptr && g_dbus_connection_is_closed(target.connection)) {
            disconnect(target);
            target.failure = "the connection was closed";
        }
        if (target.connection != nullptr) continue;
        if (rateLimited && target.lastAttempt && now - *target.lastAttempt < kRetryInterval) continue;
        target.lastAttempt = now;

        std::string why;
        const std::optional<std::string> address =
            kind == BusKind::System ? SystemBusAddress(&why) : SessionBusAddress(&why);
        if (!address) {
            target.failure = why;
            continue;
        }
        // The same bus under both names is observed once.
        const Bus& other = kind == BusKind::System ? *session_ : *system_;
        if (other.connection != nullptr && other.address == *address) {
            target.failure = "same address as the " + std::string(other.label);
            continue;
        }
        target.address = *address;
        auto result = std::make_shared<ConnectResult>();
        auto call = std::make_unique<BoundedCall>([result, address = *address](GCancellable* cancellable) {
            GError* error = nullptr;
            GDBusConnection* connection =
                g_dbus_connection_new_for_address_sync(address.c_str(), kConnectionFlags, nullptr, cancellable, &error);
            std::lock_guard<std::mutex> guard(result->mutex);
            result->connection = connection;
            if (connection == nullptr) result->error = TakeMessage(error);
        });
        attempts.push_back(Attempt{&target, std::move(result), std::move(call)});
    }

    for (Attempt& attempt : attempts) {
        Bus& target = *attempt.bus;
        if (!attempt.call->waitUntil(deadline)) {
            target.failure = "no answer within " + std::to_string(kConnectTimeout.count()) + " ms";
            continue;
        }
        GDBusConnection* connection = nullptr;
        {
            std::lock_guard<std::mutex> guard(attempt.result->mutex);
            connection = std::exchange(attempt.result->connection, nullptr);
            if (connection == nullptr) target.failure = attempt.result->error;
        }
        if (connection == nullptr) continue;

        g_dbus_connection_set_exit_on_close(connection, FALSE);
        target.connection = connection;
        target.filter = g_dbus_connection_add_filter(connection, Core::Filter, new std::shared_ptr<Core>(core_),
                                                     Core::ReleaseFilterData);
        for (const auto& [rule, count] : rules_) {
            std::string error;
            if (count > 0 && !AddMatch(connection, rule, deadline, &error)) {
                target.failure = error;
                disconnect(target);
                break;
            }
        }
        if (target.connection != nullptr) target.failure.clear();
    }
}

std::string GDBusNotificationCenter::describeFailures() {
    std::string text;
    for (const Bus* target : {system_.get(), session_.get()}) {
        if (!text.empty()) text += "; ";
        text += target->label;
        if (!target->address.empty()) text += " (" + target->address + ")";
        text += ": " + (target->failure.empty() ? std::string("not connected") : target->failure);
    }
    return text;
}

int GDBusNotificationCenter::connectedBusCount() {
    std::lock_guard<std::mutex> guard(busMutex_);
    int count = 0;
    for (const Bus* target : {system_.get(), session_.get()}) {
        if (target->connection != nullptr && !g_dbus_connection_is_closed(target->connection)) ++count;
    }
    return count;
}

uint64_t GDBusNotificationCenter::droppedNotifications() const { return core_->dropped.load(); }

std::optional<GDBusNotificationCenter::Signal> GDBusNotificationCenter::SignalForName(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    Signal signal{name.substr(0, dot), name.substr(dot + 1), "/"};
    if (!g_dbus_is_interface_name(signal.interface.c_str()) || !g_dbus_is_member_name(signal.member.c_str())) {
        return std::nullopt;
    }
    std::string path = "/" + signal.interface;
    std::replace(path.begin(), path.end(), '.', '/');
    if (!g_variant_is_object_path(path.c_str())) return std::nullopt;
    signal.path = path;
    return signal;
}

namespace {

// The arguments of a notification's signal: (s object), or (s object, a{ss} userInfo).
GVariant* SignalBody(const std::optional<std::string>& object,
                     const std::shared_ptr<const NotificationUserInfo>& userInfo) {
    const std::string objectText = object.value_or("");
    if (!g_utf8_validate(objectText.c_str(), static_cast<gssize>(objectText.size()), nullptr)) return nullptr;
    GVariantBuilder arguments;
    g_variant_builder_init(&arguments, G_VARIANT_TYPE_TUPLE);
    g_variant_builder_add(&arguments, "s", objectText.c_str());
    if (userInfo) {
        GVariantBuilder entries;
        g_variant_builder_init(&entries, G_VARIANT_TYPE("a{ss}"));
        for (const auto& [key, value] : *userInfo) {
            if (!g_utf8_validate(key.c_str(), static_cast<gssize>(key.size()), nullptr) ||
                !g_utf8_validate(value.c_str(), static_cast<gssize>(value.size()), nullptr)) {
                continue;  // D-Bus carries UTF-8 only
            }
            g_variant_builder_add(&entries, "{ss}", key.c_str(), value.c_str());
        }
        g_variant_builder_add_value(&arguments, g_variant_builder_end(&entries));
    }
    return g_variant_ref_sink(g_variant_builder_end(&arguments));
}

constexpr size_t kCachedPosts = 16;

}  // namespace

void GDBusNotificationCenter::postNotification(const std::string& name, const std::optional<std::string>& object,
                                               std::shared_ptr<const NotificationUserInfo> userInfo,
                                               unsigned options) {
    std::lock_guard<std::mutex> guard(busMutex_);
    const CachedPost* post = nullptr;
    if (userInfo) {
        for (const CachedPost& cached : posts_) {
            if (cached.userInfo == userInfo && cached.name == name && cached.object == object) post = &cached;
        }
    }
    std::optional<Signal> fresh;
    GVariant* body = nullptr;
    if (post != nullptr) {
        body = g_variant_ref(post->body);
    } else {
        fresh = SignalForName(name);
        if (!fresh) return;
        body = SignalBody(object, userInfo);
        if (body == nullptr) return;
        if (userInfo) {
            if (posts_.size() >= kCachedPosts) {
                g_variant_unref(posts_.front().body);
                posts_.erase(posts_.begin());
            }
            posts_.push_back(CachedPost{name, object, userInfo, *fresh, g_variant_ref(body)});
        }
    }
    const Signal& signal = post != nullptr ? post->signal : *fresh;

    const SteadyClock::time_point deadline = SteadyClock::now() + kConnectTimeout;
    std::vector<BusKind> order;
    if ((options & kPostToAllSessions) != 0) {
        // Both at once while the system bus is not up: should it not come up in
        // time, the session bus is ready without a second wait.
        if (system_->connection == nullptr) connectBuses({BusKind::System, BusKind::Session}, true, deadline);
        order.push_back(BusKind::System);
    }
    order.push_back(BusKind::Session);
    for (BusKind kind : order) {
        Bus& target = bus(kind);
        if (target.connection == nullptr || g_dbus_connection_is_closed(target.connection)) {
            connectBuses({kind}, true, deadline);
        }
        if (target.connection == nullptr) continue;
        GError* error = nullptr;
        if (g_dbus_connection_emit_signal(target.connection, nullptr, signal.path.c_str(), signal.interface.c_str(),
                                          signal.member.c_str(), body, &error)) {
            break;
        }
        target.failure = TakeMessage(error);
        disconnect(target);
    }
    g_variant_unref(body);
}

Status GDBusNotificationCenter::addObserver(const void* observer, Callback callback,
                                            const std::optional<std::string>& name,
                                            const std::optional<std::string>& object) {
    std::optional<Signal> signal;
    if (name) {
        signal = SignalForName(*name);
        if (!signal) return Status::Failure("\"" + *name + "\" cannot be carried as a D-Bus signal");
    }
    auto registration = std::make_shared<Core::Registration>();
    registration->observer = observer;
    registration->name = name;
    registration->signal = signal;
    registration->object = object;
    registration->callback = std::move(callback);
    registration->context = g_main_context_ref_thread_default();

    std::lock_guard<std::mutex> guard(busMutex_);
    {
        std::lock_guard<std::mutex> coreGuard(core_->mutex);
        core_->registrations.push_back(registration);
    }
    const std::string rule = MatchRule(signal, object);
    const SteadyClock::time_point deadline = SteadyClock::now() + kConnectTimeout;
    if (rules_[rule]++ == 0) {
        for (Bus* target : {system_.get(), session_.get()}) {
            std::string error;
            if (target->connection != nullptr && !AddMatch(target->connection, rule, deadline, &error)) {
                target->failure = error;
                disconnect(*target);
            }
        }
    }
    connectBuses({BusKind::System, BusKind::Session}, false, deadline);
    if (system_->connection != nullptr || session_->connection != nullptr) return Status::Ok();

    // Nothing to listen on: the registration is withdrawn.
    registration->active.store(false);
    {
        std::lock_guard<std::mutex> coreGuard(core_->mutex);
        std::erase(core_->registrations, registration);
    }
    --rules_[rule];
    return Status::Failure("no message bus could be reached (" + describeFailures() + ")");
}

void GDBusNotificationCenter::removeObserver(const void* observer, const std::optional<std::string>& name,
                                             const std::optional<std::string>& object) {
    std::vector<Core::RegistrationPtr> removed;
    {
        std::lock_guard<std::mutex> coreGuard(core_->mutex);
        std::erase_if(core_->registrations, [&](const Core::RegistrationPtr& registration) {
            const bool matches = registration->observer == observer && (!name || registration->name == name) &&
                                 (!object || registration->object == object);
            if (matches) {
                registration->active.store(false);
                removed.push_back(registration);
            }
            return matches;
        });
    }
    std::lock_guard<std::mutex> guard(busMutex_);
    for (const Core::RegistrationPtr& registration : removed) {
        const std::string rule = MatchRule(registration->signal, registration->object);
        if (--rules_[rule] > 0) continue;
        rules_.erase(rule);
        for (Bus* target : {system_.get(), session_.get()}) {
            if (target->connection != nullptr) RemoveMatch(target->connection, rule);
        }
    }
}

}  // namespace platform
