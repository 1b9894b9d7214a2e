#pragma once
// The process IDs of the connections that send signals, as their bus reports
// them (GetConnectionUnixProcessID). Each sender is asked about by a thread of
// its own that the receiving thread never waits for, over a connection of its
// own to that bus that listens to nothing; what a sender sends meanwhile
// waits, a few messages per sender at most. Only the bus's definite word that
// it cannot name the sender (no such name, no process ID known) is kept as
// such; a question that timed out or failed otherwise is asked again.

#include <gio/gio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace platform::gdbus {

class SenderPids {
public:
    // Takes the sender's process ID, or -1 when the bus cannot name it.
    using Delivery = std::function<void(int pid)>;

    // Messages waiting for one sender's process ID, at most; and questions
    // waiting to be asked.
    static constexpr size_t kMaxWaitingPerSender = 8;
    static constexpr size_t kMaxRequests = 4096;
    // Senders remembered at most; beyond it the memory starts afresh. Unique
    // names are never reused on a bus, so forgetting costs one more question.
    static constexpr size_t kMaxKnownSenders = 8192;
    // The longest pause before a question that failed is asked again.
    static constexpr std::chrono::milliseconds kMaxRetryPause{1000};

    explicit SenderPids(std::atomic<uint64_t>& dropped);
    // Stops the asking thread; what still waits is dropped.
    ~SenderPids();
    SenderPids(const SenderPids&) = delete;
    SenderPids& operator=(const SenderPids&) = delete;

    // Calls delivery with the process ID of sender (a key naming the bus and
    // the connection's unique name uniqueName on it): at once when it is known,
    // else from the asking thread once the bus at busAddress has answered.
    // Deliveries for one sender keep their order. Counts what it drops in
    // dropped.
    void resolve(const std::string& busAddress, const std::string& sender, const char* uniqueName,
                 Delivery delivery);

private:
    struct Request {
        std::string sender;
        std::string busAddress;
        std::string uniqueName;
    };
    // Shared with the asking thread, which ends once stopping is set.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        bool started = false;
        bool stopping = false;
        GCancellable* cancellable = g_cancellable_new();
        std::unordered_map<std::string, int> pids;  // -1: the bus cannot name it
        std::unordered_map<std::string, std::deque<Delivery>> waiting;
        std::deque<Request> requests;
        ~State() { g_object_unref(cancellable); }
    };
    static void Ask(std::shared_ptr<State> state);

    std::atomic<uint64_t>& dropped_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace platform::gdbus
