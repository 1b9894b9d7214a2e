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

namespace {

bool AnyRule(const std::map<std::string, int>& rules) {
    return std::any_of(rules.begin(), rules.end(), [](const auto& entry) { return entry.second > 0; });
}

}  // namespace

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
    core_->gate->signals.store(true);  // before the bus is asked for any
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
    core_->gate->signals.store(AnyRule(rules_));
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
    core_->gate->signals.store(AnyRule(rules_));
}

Status GDBusNotificationCenter::observationStatus(const void* observer) {
    std::vector<std::pair<GDBusConnection*, std::string>> probes;  // with what to call each
    {
        std::lock_guard<std::mutex> guard(busMutex_);
        std::string lost;
        for (Bus* target : {system_.get(), session_.get()}) {
            connected(*target);
            if (target->lost) {
                if (!lost.empty()) lost += "; ";
                lost += "the " + std::string(target->label) + " (" + target->address + ") closed the connection";
            } else if (target->connection != nullptr && target->observed) {
                probes.emplace_back(G_DBUS_CONNECTION(g_object_ref(target->connection)),
                                    "the " + std::string(target->label) + " (" + target->address + ")");
            }
        }
        if (!lost.empty()) {
            for (auto& probe : probes) g_object_unref(probe.first);
            return Status::Failure(lost);
        }
    }
    // Each connection the observers listen on must bring a message to itself
    // back in time: one that does not is stalled, and heartbeats may be lost
    // on it.
    std::vector<uint64_t> tokens;
    std::string failed;
    for (auto& [connection, name] : probes) {
        tokens.push_back(core_->echoes.send(connection));
        g_object_unref(connection);
    }
    const SteadyClock::time_point cap = SteadyClock::now() + kEchoCap;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (core_->echoes.wait(tokens[i], core_->arrivals, kEchoTimeout, cap)) continue;
        if (!failed.empty()) failed += "; ";
        failed += probes[i].second + " brought nothing for " + std::to_string(kEchoTimeout.count()) +
                  " ms and not the message this process sent to itself";
    }
    if (!failed.empty()) return Status::Failure(failed);
    // What came in before the echoes reaches the observer before it decides.
    core_->drainNow(observer);
    return Status::Ok();
}

}  // namespace platform
