#include "platform/linux/GDBusSenderPids.h"

#include <limits>
#include <thread>

#include "platform/linux/GDBusCommon.h"
#include "platform/linux/GDBusNotificationCenter.h"

namespace platform::gdbus {

SenderPids::State::~State() {
    for (Request& request : requests) g_object_unref(request.connection);
    g_object_unref(cancellable);
}

SenderPids::SenderPids(std::atomic<uint64_t>& dropped) : dropped_(dropped) {}

SenderPids::~SenderPids() {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->stopping = true;
    }
    g_cancellable_cancel(state_->cancellable);
    state_->wake.notify_all();
}

void SenderPids::resolve(GDBusConnection* connection, const std::string& sender, const char* uniqueName,
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
        state_->requests.push_back(Request{sender, G_DBUS_CONNECTION(g_object_ref(connection)), uniqueName});
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
// hands over what waited for it.
void SenderPids::Ask(std::shared_ptr<State> state) {
    for (;;) {
        Request request;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->requests.empty(); });
            if (state->stopping) return;
            request = std::move(state->requests.front());
            state->requests.pop_front();
        }
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            request.connection, kBusName, kBusPath, kBusInterface, "GetConnectionUnixProcessID",
            g_variant_new("(s)", request.uniqueName.c_str()), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
            static_cast<int>(GDBusNotificationCenter::kConnectTimeout.count()), state->cancellable, &error);
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
        // What waited is handed over before the lock is let go: once the pid is
        // known, the sender's next message is delivered as it arrives, and must
        // not overtake the ones that waited.
        std::lock_guard<std::mutex> guard(state->mutex);
        if (state->stopping) return;
        if (state->pids.size() >= kMaxKnownSenders) state->pids.clear();
        state->pids[request.sender] = pid;
        if (const auto waiting = state->waiting.find(request.sender); waiting != state->waiting.end()) {
            for (Delivery& delivery : waiting->second) delivery(pid);
            state->waiting.erase(waiting);
        }
    }
}

}  // namespace platform::gdbus
