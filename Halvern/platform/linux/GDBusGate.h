#pragma once
// The gate in front of every connection the notification center opens. A
// thread of the gate reads what the bus sends, framing the messages by their
// fixed header alone, and passes on to GDBus only the messages it may decode:
// replies and errors, and signals while observers listen, none larger than
// the center's bounds. Everything else (a method call, a signal nobody waits
// for, a message too large) is read past in small pieces and dropped without
// being decoded, so that no sender can make the center decode, hold or answer
// a large or unwanted message, and a flood costs no more than reading it.

#include <gio/gio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace platform::gdbus {

struct GateRules {
    // Signals are passed on (observers listen); otherwise dropped.
    std::atomic<bool> signals{false};
    // Signals dropped for their size while observers listen.
    std::atomic<uint64_t> droppedSignals{0};
};

// Header fields larger than this mark a message that is none of ours.
inline constexpr uint32_t kMaxHeaderFieldsBytes = 16 * 1024;

// Opens a message bus connection to address behind a gate that follows rules.
// Blocks until the bus has answered Hello, failed, or cancellable is
// cancelled; null, saying why in error, on failure. The connection ends when
// the bus ends it or when it is closed (or let go) here.
GDBusConnection* OpenGatedConnection(const std::string& address, std::shared_ptr<GateRules> rules, size_t maxBodyBytes,
                                     GCancellable* cancellable, std::string* error);

// The same, waiting at most timeout; the attempt is then cancelled and ends by
// itself.
GDBusConnection* OpenGatedConnectionWithin(const std::string& address, std::shared_ptr<GateRules> rules,
                                           size_t maxBodyBytes, std::chrono::milliseconds timeout, std::string* error);

}  // namespace platform::gdbus
