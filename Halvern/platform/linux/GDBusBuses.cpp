#include "platform/linux/GDBusBuses.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "platform/linux/GDBusGate.h"
#include "platform/linux/GDBusInbound.h"
#include "platform/linux/GDBusObservers.h"
#include "platform/linux/RootTrust.h"

namespace platform {

using gdbus::BoundedCall;
using gdbus::SteadyClock;

namespace gdbus {

bool IsLocalSocketAddress(const std::string& addresses) {
    bool any = false;
    size_t start = 0;
    while (start <= addresses.size()) {
        const size_t end = std::min(addresses.find(';', start), addresses.size());
        const std::string entry = addresses.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        if (!entry.starts_with("unix:")) return false;
        int places = 0;
        size_t at = 5;
        while (at <= entry.size()) {
            const size_t next = std::min(entry.find(',', at), entry.size());
            const std::string pair = entry.substr(at, next - at);
            at = next + 1;
            if (pair.starts_with("path=") || pair.starts_with("abstract=")) {
                ++places;
            } else if (!pair.starts_with("guid=")) {
                return false;
            }
        }
        if (places != 1) return false;
        any = true;
    }
    return any;
}

std::optional<std::string> RefusedBusAddress(const char* variable) {
    const char* address = std::getenv(variable);
    if (address == nullptr || *address == '\0' || !EffectiveUserIsRoot() || IsLocalSocketAddress(address)) {
        return std::nullopt;
    }
    return std::string(variable) + " is not a unix:path= or unix:abstract= address, so that bus is not used as root";
}

namespace {

// The address variable's value; nullopt (why saying so) when root may not use
// it, or when it is not set (why untouched).
std::optional<std::string> AddressIn(const char* variable, std::string* why) {
    if (const std::optional<std::string> refused = RefusedBusAddress(variable)) {
        *why = *refused;
        return std::nullopt;
    }
    const char* address = std::getenv(variable);
    if (address != nullptr && *address != '\0') return std::string(address);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> SystemBusAddress(std::string* why) {
    why->clear();
    if (std::optional<std::string> address = AddressIn("DBUS_SYSTEM_BUS_ADDRESS", why)) return address;
    if (!why->empty()) return std::nullopt;
    return std::string("unix:path=/var/run/dbus/system_bus_socket");
}

std::optional<std::string> SessionBusAddress(std::string* why) {
    why->clear();
    if (std::optional<std::string> address = AddressIn("DBUS_SESSION_BUS_ADDRESS", why)) return address;
    if (!why->empty()) return std::nullopt;
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

}  // namespace gdbus

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
        kind == BusKind::System ? gdbus::SystemBusAddress(&why) : gdbus::SessionBusAddress(&why);
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
    auto result = std::make_shared<gdbus::ConnectResult>();
    auto call = std::make_unique<BoundedCall>([result, address = *address, gate = core_->gate](GCancellable* cancellable) {
        std::string error;
        GDBusConnection* connection =
            gdbus::OpenGatedConnection(address, gate, kMaxNotificationBytes, cancellable, &error);
        std::lock_guard<std::mutex> guard(result->mutex);
        result->connection = connection;
        if (connection == nullptr) result->error = error;
    });
    target.attempt = Bus::Attempt{std::move(result), std::move(call), now + kConnectTimeout};
}

void GDBusNotificationCenter::finishConnecting(Bus& target, bool wait, SteadyClock::time_point deadline) {
    if (!target.attempt) return;
    Bus::Attempt& attempt = *target.attempt;
    if (!attempt.call->finished()) {
        // A wait that runs out cancels the attempt: it is given up then, even
        // should it finish (cancelled) a moment later.
        const bool timedOut = wait && !attempt.call->waitUntil(std::min(deadline, attempt.deadline));
        if (timedOut || !attempt.call->finished()) {
            if (!timedOut && SteadyClock::now() < attempt.deadline) return;  // still under way
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
    target.filter = g_dbus_connection_add_filter(connection, Core::Filter, new Core::FilterData{core_, target.label, target.address},
                                                 Core::ReleaseFilterData);
    const SteadyClock::time_point matchDeadline = std::max(deadline, SteadyClock::now() + kConnectTimeout / 2);
    for (const auto& [rule, count] : rules_) {
        std::string error;
        if (count > 0 && !gdbus::AddMatch(connection, rule, matchDeadline, &error)) {
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

}  // namespace platform
