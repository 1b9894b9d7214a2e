#include "platform/linux/GDBusObservers.h"

#include <algorithm>
#include <vector>

#include "platform/linux/GDBusBuses.h"
#include "platform/linux/GDBusInbound.h"

namespace platform {

namespace gdbus {

namespace {

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

}  // namespace gdbus

using gdbus::SteadyClock;

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
    const std::string rule = gdbus::MatchRule(signal, object);
    const SteadyClock::time_point deadline = SteadyClock::now() + kConnectTimeout;
    for (Bus* target : {system_.get(), session_.get()}) {
        connected(*target);
        std::string error;
        if (target->connection == nullptr) continue;
        if (rules_[rule] == 0 && !gdbus::AddMatch(target->connection, rule, deadline, &error)) {
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
        const std::string rule = gdbus::MatchRule(registration->signal, registration->object);
        if (--rules_[rule] > 0) continue;
        rules_.erase(rule);
        for (Bus* target : {system_.get(), session_.get()}) {
            if (target->connection != nullptr) gdbus::RemoveMatch(target->connection, rule);
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
