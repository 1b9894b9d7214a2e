#include "platform/linux/GDBusNotificationCenter.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <thread>
#include <unordered_map>
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

    bool finished() {
        std::lock_guard<std::mutex> guard(state_->mutex);
        return state_->done;
    }
    void cancel() { g_cancellable_cancel(state_->cancellable); }

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

struct GDBusNotificationCenter::Core : std::enable_shared_from_this<Core> {
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

    // A received signal waiting for its sender's process ID.
    struct Unresolved {
        Notification notification;
        size_t bytes = 0;
        std::vector<RegistrationPtr> registrations;
    };
    // The process IDs of senders, asked of their bus once per sender by a thread
    // of its own, which the receiving thread never waits for. The thread holds
    // this state, not the Core, and ends once stopping is set.
    struct Resolver {
        struct Request {
            std::string sender;
            GDBusConnection* connection;  // a reference of the request's own
            std::string uniqueName;
        };
        std::mutex mutex;
        std::condition_variable wake;
        bool started = false;
        bool stopping = false;
        GCancellable* cancellable = g_cancellable_new();
        std::unordered_map<std::string, int> pids;  // -1: the bus could not name it
        std::unordered_map<std::string, std::deque<Unresolved>> waiting;
        std::deque<Request> requests;
        ~Resolver() {
            for (Request& request : requests) g_object_unref(request.connection);
            g_object_unref(cancellable);
        }
    };
    // Senders remembered at most; beyond it the memory starts afresh. Unique
    // names are never reused on a bus, so forgetting costs one more question.
    static constexpr size_t kMaxKnownSenders = 8192;

    struct FilterData {
        std::shared_ptr<Core> core;
        const char* busLabel;
    };

    std::mutex mutex;  // guards registrations; taken before a pendingMutex
    std::vector<RegistrationPtr> registrations;
    std::atomic<uint64_t> dropped{0};
    std::shared_ptr<Resolver> resolver = std::make_shared<Resolver>();

    ~Core() {
        {
            std::lock_guard<std::mutex> guard(resolver->mutex);
            resolver->stopping = true;
        }
        g_cancellable_cancel(resolver->cancellable);
        resolver->wake.notify_all();
    }

    // On GDBus's thread, for every message that arrives on a connection.
    static GDBusMessage* Filter(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer data) {
        if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_SIGNAL) {
            const auto* filter = static_cast<FilterData*>(data);
            filter->core->receive(connection, filter->busLabel, message);
        }
        return message;  // left for GDBus's own handling
    }
    static void ReleaseFilterData(gpointer data) { delete static_cast<FilterData*>(data); }

    void receive(GDBusConnection* connection, const char* busLabel, GDBusMessage* message) {
        const char* interface = g_dbus_message_get_interface(message);
        const char* member = g_dbus_message_get_member(message);
        const char* path = g_dbus_message_get_path(message);
        if (interface == nullptr || member == nullptr || path == nullptr) return;
        GVariant* body = g_dbus_message_get_body(message);
        const size_t bytes = body != nullptr ? g_variant_get_size(body) : 0;

        Unresolved received;
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

        std::unique_lock<std::mutex> lock(resolver->mutex);
        if (const auto known = resolver->pids.find(senderKey); known != resolver->pids.end()) {
            const int pid = known->second;
            lock.unlock();
            deliver(std::move(received), pid);
            return;
        }
        std::deque<Unresolved>& waiting = resolver->waiting[senderKey];
        if (waiting.empty()) {
            if (resolver->requests.size() >= kMaxPendingNotifications) {
                resolver->waiting.erase(senderKey);
                dropped.fetch_add(1);
                return;
            }
            resolver->requests.push_back(
                Resolver::Request{senderKey, G_DBUS_CONNECTION(g_object_ref(connection)), sender});
            if (!resolver->started) {
                resolver->started = true;
                std::thread(Resolve, resolver, weak_from_this()).detach();
            }
            resolver->wake.notify_one();
        } else if (waiting.size() >= kMaxUnresolvedPerSender) {
            waiting.pop_front();  // the sender's own oldest
            dropped.fetch_add(1);
        }
        waiting.push_back(std::move(received));
    }

    // Hands a received signal to its registrations, with its sender's process
    // ID; dropped when the bus could not name the sender.
    void deliver(Unresolved received, int pid) {
        if (pid < 0) {
            dropped.fetch_add(1);
            return;
        }
        received.notification.senderProcessIdentifier = pid;
        for (const RegistrationPtr& registration : received.registrations) {
            if (registration->active.load()) enqueue(registration, received.notification, received.bytes);
        }
    }

    // The resolver's thread: asks the bus for each sender's process ID in turn,
    // then hands over what waited for it.
    static void Resolve(std::shared_ptr<Resolver> resolver, std::weak_ptr<Core> weakCore) {
        for (;;) {
            Resolver::Request request;
            {
                std::unique_lock<std::mutex> lock(resolver->mutex);
                resolver->wake.wait(lock, [&] { return resolver->stopping || !resolver->requests.empty(); });
                if (resolver->stopping) return;
                request = std::move(resolver->requests.front());
                resolver->requests.pop_front();
            }
            GError* error = nullptr;
            GVariant* reply = g_dbus_connection_call_sync(
                request.connection, kBusName, kBusPath, kBusInterface, "GetConnectionUnixProcessID",
                g_variant_new("(s)", request.uniqueName.c_str()), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
                static_cast<int>(kConnectTimeout.count()), resolver->cancellable, &error);
            g_object_unref(request.connection);
            int pid = -1;
            if (reply != nullptr) {
                guint32 value = 0;
                g_variant_get(reply, "(u)", &value);
                g_variant_unref(reply);
                if (value > 0 && value <= static_cast<guint32>(std::numeric_limits<int>::max())) {
                    pid = static_cast<int>(value);
                }
            } else {
                g_error_free(error);
            }
            const std::shared_ptr<Core> core = weakCore.lock();
            if (!core) return;
            // What waited is handed over before the lock is let go: once the
            // pid is known, the sender's next signal is delivered as it
            // arrives, and must not overtake the ones that waited.
            std::lock_guard<std::mutex> guard(resolver->mutex);
            if (resolver->pids.size() >= kMaxKnownSenders) resolver->pids.clear();
            resolver->pids[request.sender] = pid;
            if (const auto waiting = resolver->waiting.find(request.sender); waiting != resolver->waiting.end()) {
                for (Unresolved& received : waiting->second) core->deliver(std::move(received), pid);
                resolver->waiting.erase(waiting);
            }
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

    // Queues a notification for the registration's main context. When the queue
    // is full, the connection with the most messages waiting gives up its
    // oldest; a connection that holds no more than that keeps its own, so a
    // flood from one connection never pushes out another's message.
    void enqueue(const RegistrationPtr& registration, const Notification& notification, size_t bytes) {
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

    // On the observer's main context: hands over what has arrived.
    static gboolean Drain(gpointer data) {
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
    // A connection being opened, and when it is given up.
    struct Attempt {
        std::shared_ptr<ConnectResult> result;
        std::unique_ptr<BoundedCall> call;
        SteadyClock::time_point deadline;
    };
    std::optional<Attempt> attempt;
    // The connection carries the observers' match rules; and one that did has
    // closed since observers last registered.
    bool observed = false;
    bool lost = false;
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
        flushes.push_back(std::make_unique<BoundedCall>([connection](GCancellable* cancellable) {
            g_dbus_connection_flush_sync(connection, cancellable, nullptr);
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

bool GDBusNotificationCenter::connected(Bus& target) {
    if (target.connection == nullptr) return false;
    if (!g_dbus_connection_is_closed(target.connection)) return true;
    disconnect(target);
    target.failure = "the connection was closed";
    if (target.observed) target.lost = true;
    target.observed = false;
    return false;
}

void GDBusNotificationCenter::startConnecting(BusKind kind, bool rateLimited) {
    Bus& target = bus(kind);
    if (connected(target) || target.attempt) return;
    const SteadyClock::time_point now = SteadyClock::now();
    if (rateLimited && target.lastAttempt && now - *target.lastAttempt < retryInterval_) return;
    target.lastAttempt = now;

    std::string why;
    const std::optional<std::string> address =
        kind == BusKind::System ? SystemBusAddress(&why) : SessionBusAddress(&why);
    if (!address) {
        target.failure = why;
        return;
    }
    // The same bus under both names is observed once.
    const Bus& other = kind == BusKind::System ? *session_ : *system_;
    if (other.connection != nullptr && other.address == *address) {
        target.failure = "same address as the " + std::string(other.label);
        return;
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
    target.attempt = Bus::Attempt{std::move(result), std::move(call), now + kConnectTimeout};
}

void GDBusNotificationCenter::finishConnecting(Bus& target, bool wait, SteadyClock::time_point deadline) {
    if (!target.attempt) return;
    Bus::Attempt& attempt = *target.attempt;
    if (!attempt.call->finished()) {
        if (wait) attempt.call->waitUntil(std::min(deadline, attempt.deadline));
        if (!attempt.call->finished()) {
            if (SteadyClock::now() < attempt.deadline) return;  // still under way
            attempt.call->cancel();
            target.failure = "no answer within " + std::to_string(kConnectTimeout.count()) + " ms";
            target.attempt.reset();
            return;
        }
    }
    GDBusConnection* connection = nullptr;
    {
        std::lock_guard<std::mutex> guard(attempt.result->mutex);
        connection = std::exchange(attempt.result->connection, nullptr);
        if (connection == nullptr) target.failure = attempt.result->error;
    }
    target.attempt.reset();
    if (connection == nullptr) return;

    g_dbus_connection_set_exit_on_close(connection, FALSE);
    target.connection = connection;
    target.filter = g_dbus_connection_add_filter(connection, Core::Filter, new Core::FilterData{core_, target.label},
                                                 Core::ReleaseFilterData);
    const SteadyClock::time_point matchDeadline = std::max(deadline, SteadyClock::now() + kConnectTimeout / 2);
    for (const auto& [rule, count] : rules_) {
        std::string error;
        if (count > 0 && !AddMatch(connection, rule, matchDeadline, &error)) {
            target.failure = error;
            disconnect(target);
            return;
        }
        if (count > 0) target.observed = true;
    }
    target.failure.clear();
}

void GDBusNotificationCenter::connectBuses(std::initializer_list<BusKind> kinds, bool rateLimited,
                                           SteadyClock::time_point deadline) {
    for (BusKind kind : kinds) startConnecting(kind, rateLimited);
    for (BusKind kind : kinds) finishConnecting(bus(kind), true, deadline);
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

    // Never waits for a connection while there is a bus to post on: a bus that
    // is not up is tried again on a thread of its own, and the post goes out
    // over what is connected now.
    std::vector<BusKind> order;
    if ((options & kPostToAllSessions) != 0) order.push_back(BusKind::System);
    order.push_back(BusKind::Session);
    for (BusKind kind : order) finishConnecting(bus(kind), false, SteadyClock::now());
    if ((options & kPostToAllSessions) != 0 && !connected(*system_)) {
        // Both at once while the system bus is not up: should it not come up,
        // the session bus is ready without a second wait.
        startConnecting(BusKind::System, true);
        startConnecting(BusKind::Session, true);
    } else {
        startConnecting(order.front(), true);
    }
    const bool anyConnected =
        std::any_of(order.begin(), order.end(), [&](BusKind kind) { return connected(bus(kind)); });
    if (!anyConnected) {
        // Nothing to post on yet (the first post, or every bus lost): the
        // attempts under way are waited for, the preferred bus first.
        const SteadyClock::time_point deadline = SteadyClock::now() + kConnectTimeout;
        for (BusKind kind : order) {
            finishConnecting(bus(kind), true, deadline);
            if (connected(bus(kind))) break;
        }
    }
    for (BusKind kind : order) {
        Bus& target = bus(kind);
        if (!connected(target)) continue;
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
    for (Bus* target : {system_.get(), session_.get()}) {
        connected(*target);
        std::string error;
        if (target->connection == nullptr) continue;
        if (rules_[rule] == 0 && !AddMatch(target->connection, rule, deadline, &error)) {
            target->failure = error;
            disconnect(*target);
            continue;
        }
        target->observed = true;
    }
    ++rules_[rule];
    connectBuses({BusKind::System, BusKind::Session}, false, deadline);
    if (system_->connection != nullptr || session_->connection != nullptr) {
        system_->lost = false;
        session_->lost = false;
        return Status::Ok();
    }

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
            if (rules_.empty()) target->observed = false;
        }
    }
}

Status GDBusNotificationCenter::observationStatus(const void*) {
    std::lock_guard<std::mutex> guard(busMutex_);
    std::string lost;
    for (Bus* target : {system_.get(), session_.get()}) {
        connected(*target);
        if (!target->lost) continue;
        if (!lost.empty()) lost += "; ";
        lost += "the " + std::string(target->label) + " (" + target->address + ") closed the connection";
    }
    if (lost.empty()) return Status::Ok();
    return Status::Failure(lost);
}

}  // namespace platform
