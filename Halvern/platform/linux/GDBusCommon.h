#pragma once
// What the rooms of the GDBus notification center share: the bus's own names,
// how connections are opened, and a blocking GLib call that a caller may stop
// waiting for.

#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform::gdbus {

using SteadyClock = std::chrono::steady_clock;

inline constexpr const char* kBusName = "org.freedesktop.DBus";
inline constexpr const char* kBusPath = "/org/freedesktop/DBus";
inline constexpr const char* kBusInterface = "org.freedesktop.DBus";
inline constexpr GDBusConnectionFlags kConnectionFlags = static_cast<GDBusConnectionFlags>(
    G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);

// The error's message, freeing the error.
inline std::string TakeMessage(GError* error) {
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

}  // namespace platform::gdbus
