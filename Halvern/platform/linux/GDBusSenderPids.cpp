#include "platform/linux/GDBusSenderPids.h"

#include <algorithm>
#include <limits>
#include <map>
#include <thread>

#include "platform/linux/GDBusCommon.h"
#include "platform/linux/GDBusGate.h"
#include "platform/linux/GDBusNotificationCenter.h"

namespace platform::gdbus {

namespace {

constexpr int kNoAnswer = std::numeric_limits<int>::min();

// The bus's answer for one sender: its pid, -1 when the bus says it cannot
// name it, kNoAnswer when there was no definite answer. Lets go of a
// connection that failed, so that the next question opens a fresh one.
int AskBus(GDBusConnection*& connection, const std::string& uniqueName, GCancellable* cancellable) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, kBusName, kBusPath, kBusInterface, "GetConnectionUnixProcessID",
        g_variant_new("(s)", uniqueName.c_str()), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
        static_cast<int>(GDBusNotificationCenter::kConnectTimeout.count()), cancellable, &error);
    if (reply == nullptr) {
        const bool definite = g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
                              g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNIX_PROCESS_ID_UNKNOWN);
        g_error_free(error);
        if (definite) return -1;
        g_object_unref(connection);
        connection = nullptr;
        return kNoAnswer;
    }
    guint32 value = 0;
    g_variant_get(reply, "(u)", &value);
    g_variant_unref(reply);
    if (value > 0 && value <= static_cast<guint32>(std::numeric_limits<int>::max())) return static_cast<int>(value);
    return -1;
}

}  // namespace

SenderPids::SenderPids(std::atomic<uint64_t>& dropped) : dropped_(dropped) {}

SenderPids::~SenderPids() {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->stopping = true;
    }
    g_cancellable_cancel(state_->cancellable);
    state_->wake.notify_all();
}

void SenderPids::resolve(const std::string& busAddress, const std::string& sender, const char* uniqueName,
                         Delivery delivery) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (const auto known = state_->pids.find(sender); known != state_->pids.end()) {
        const int pid = known->second;
        lock.unlock();
        delivery(pid);
        return;
    }
    std::deque<Delivery>& waiting = state_->waiting[sender];
    if (waiting.empty()) {
        if (state_->requests.size() >= kMaxRequests) {
            state_->waiting.erase(sender);
            dropped_.fetch_add(1);
            return;
        }
        state_->requests.push_back(Request{sender, busAddress, uniqueName});
        if (!state_->started) {
            state_->started = true;
            std::thread(Ask, state_).detach();
        }
        state_->wake.notify_one();
    } else if (waiting.size() >= kMaxWaitingPerSender) {
        waiting.pop_front();  // the sender's own oldest
        dropped_.fetch_add(1);
    }
    waiting.push_back(std::move(delivery));
}

// The asking thread: asks the bus for each sender's process ID in turn, then
// hands over what waited for it. A question without a definite answer goes
// to the back of the line, after a pause that grows while answers fail.
void SenderPids::Ask(std::shared_ptr<State> state) {
    // Its own connection to each bus, gated to let nothing but replies in.
    auto rules = std::make_shared<GateRules>();
    std::map<std::string, GDBusConnection*> connections;
    std::chrono::milliseconds pause{0};
    for (;;) {
        Request request;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->wake.wait_for(lock, pause, [&] { return state->stopping; });
            state->wake.wait(lock, [&] { return state->stopping || !state->requests.empty(); });
            if (state->stopping) break;
            request = std::move(state->requests.front());
            state->requests.pop_front();
        }
        GDBusConnection*& connection = connections[request.busAddress];
        if (connection != nullptr && g_dbus_connection_is_closed(connection)) {
            g_object_unref(connection);
            connection = nullptr;
        }
        if (connection == nullptr) {
            std::string error;
            connection = OpenGatedConnectionWithin(request.busAddress, rules, kMaxHeaderFieldsBytes,
                                                   GDBusNotificationCenter::kConnectTimeout, &error);
        }
        const int pid = connection != nullptr ? AskBus(connection, request.uniqueName, state->cancellable) : kNoAnswer;

        // What waited is handed over before the lock is let go: once the pid is
        // known, the sender's next message is delivered as it arrives, and must
        // not overtake the ones that waited.
        std::lock_guard<std::mutex> guard(state->mutex);
        if (state->stopping) break;
        if (pid == kNoAnswer) {
            state->requests.push_back(std::move(request));
            pause = std::min(kMaxRetryPause, std::max(pause * 2, std::chrono::milliseconds(50)));
            continue;
        }
        pause = std::chrono::milliseconds(0);
        if (state->pids.size() >= kMaxKnownSenders) state->pids.clear();
        state->pids[request.sender] = pid;
        if (const auto waiting = state->waiting.find(request.sender); waiting != state->waiting.end()) {
            for (Delivery& delivery : waiting->second) delivery(pid);
            state->waiting.erase(waiting);
        }
    }
    for (auto& [address, connection] : connections) {
        if (connection != nullptr) g_object_unref(connection);
    }
}

}  // namespace platform::gdbus
