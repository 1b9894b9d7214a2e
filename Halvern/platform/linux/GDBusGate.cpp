#include "platform/linux/GDBusGate.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/GDBusCommon.h"

namespace platform::gdbus {

namespace {

constexpr size_t kFixedHeaderBytes = 16;
constexpr uint8_t kMethodCall = 1;
constexpr uint8_t kMethodReturn = 2;
constexpr uint8_t kError = 3;
constexpr uint8_t kSignal = 4;

uint32_t ReadUint32(const unsigned char* bytes, bool littleEndian) {
    if (littleEndian) {
        return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    }
    return uint32_t(bytes[3]) | uint32_t(bytes[2]) << 8 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[0]) << 24;
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd writable{fd, POLLOUT, 0};
            if (::poll(&writable, 1, -1) < 0 && errno != EINTR) return false;
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// The gate's thread: relays what GDBus writes (at gdbus) to the bus socket,
// which it holds, and what passes of what the bus sends back to GDBus, until
// either side ends. Then closes both, so that the other sees the end.
class Reader {
public:
    Reader(GSocketConnection* socket, int gdbus, std::shared_ptr<GateRules> rules, size_t maxBodyBytes)
        : socket_(socket), busFd_(g_socket_get_fd(g_socket_connection_get_socket(socket))), toGDBus_(gdbus),
          rules_(std::move(rules)), maxBodyBytes_(maxBodyBytes) {}

    void run() {
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            pollfd fds[2] = {{busFd_, POLLIN, 0}, {toGDBus_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[1].revents != 0) {  // GDBus wrote, or let go
                const ssize_t got = ::recv(toGDBus_, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
                if (got <= 0 || !SendAll(busFd_, buffer.data(), static_cast<size_t>(got))) break;
            }
            if (fds[0].revents != 0) {
                const ssize_t got = ::recv(busFd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
                if (got <= 0) break;  // the bus ended the connection
                if (!take(buffer.data(), static_cast<size_t>(got))) break;
            }
        }
        ::shutdown(toGDBus_, SHUT_RDWR);
        ::close(toGDBus_);
        g_io_stream_close(G_IO_STREAM(socket_), nullptr, nullptr);
        g_object_unref(socket_);
    }

private:
    // Takes bytes from the bus; false once the connection must end.
    bool take(const char* data, size_t size) {
        while (size > 0) {
            if (skip_ > 0) {
                const size_t n = std::min<size_t>(skip_, size);
                skip_ -= n;
                data += n;
                size -= n;
                continue;
            }
            const size_t wanted = message_.size() < kFixedHeaderBytes ? kFixedHeaderBytes : total_;
            const size_t n = std::min(wanted - message_.size(), size);
            message_.append(data, n);
            data += n;
            size -= n;
            if (message_.size() < wanted) continue;
            if (message_.size() == kFixedHeaderBytes && total_ == 0) {
                if (!judge()) return false;
                if (pass_ && message_.size() < total_) continue;
            }
            if (pass_ && !SendAll(toGDBus_, message_.data(), message_.size())) return false;
            message_.clear();
            total_ = 0;
        }
        return true;
    }

    // From the fixed header in message_: the message's size and whether it
    // passes; one it drops is skipped from here on. False when it is no D-Bus
    // message at all.
    bool judge() {
        const auto* header = reinterpret_cast<const unsigned char*>(message_.data());
        if ((header[0] != 'l' && header[0] != 'B') || header[3] != 1) return false;
        const bool little = header[0] == 'l';
        const uint8_t type = header[1];
        const uint64_t body = ReadUint32(header + 4, little);
        const uint64_t fields = ReadUint32(header + 12, little);
        const uint64_t headerEnd = (kFixedHeaderBytes + fields + 7) / 8 * 8;
        const uint64_t total = headerEnd + body;
        if (total > (uint64_t(1) << 27)) return false;  // larger than D-Bus allows
        const bool small = fields <= kMaxHeaderFieldsBytes && body <= maxBodyBytes_;
        if (type == kSignal) {
            const bool listening = rules_->signals.load();
            pass_ = small && listening;
            if (listening && !small) rules_->droppedSignals.fetch_add(1);
        } else {
            pass_ = small && (type == kMethodReturn || type == kError);
            if (type != kMethodCall && type != kMethodReturn && type != kError) return false;
        }
        total_ = static_cast<size_t>(total);
        if (!pass_) {
            skip_ = total_ - message_.size();
            message_.clear();
            total_ = 0;
        }
        return true;
    }

    GSocketConnection* socket_;
    int busFd_;
    int toGDBus_;
    std::shared_ptr<GateRules> rules_;
    size_t maxBodyBytes_;
    std::string message_;  // the message being read, while it passes
    size_t total_ = 0;     // its whole size, once its fixed header is read
    bool pass_ = false;
    uint64_t skip_ = 0;    // bytes of a dropped message still to read past
};

// Authenticates as this process's user (EXTERNAL: the bus asks the kernel who
// is at the other end) and begins the message stream. Blocks until the bus
// has answered or cancellable is cancelled.
bool Authenticate(int fd, GCancellable* cancellable, std::string* error) {
    std::string hexUser;
    for (char c : std::to_string(::geteuid())) {
        static const char kHex[] = "0123456789abcdef";
        hexUser += kHex[(c >> 4) & 0xf];
        hexUser += kHex[c & 0xf];
    }
    const std::string request = std::string(1, '\0') + "AUTH EXTERNAL " + hexUser + "\r\n";
    if (!SendAll(fd, request.data(), request.size())) {
        *error = std::string("could not write to the bus: ") + std::strerror(errno);
        return false;
    }
    std::string line;
    while (line.empty() || line.back() != '\n') {
        if (g_cancellable_is_cancelled(cancellable)) {
            *error = "cancelled while authenticating";
            return false;
        }
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 50) <= 0) continue;
        char c = 0;
        const ssize_t got = ::recv(fd, &c, 1, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (got <= 0 || line.size() > 512) {
            *error = "the bus ended the connection while authenticating";
            return false;
        }
        line += c;
    }
    if (!line.starts_with("OK ")) {
        *error = "the bus refused authentication: " + line.substr(0, line.find_first_of("\r\n"));
        return false;
    }
    const std::string begin = "BEGIN\r\n";
    if (!SendAll(fd, begin.data(), begin.size())) {
        *error = std::string("could not write to the bus: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

GDBusConnection* OpenGatedConnection(const std::string& address, std::shared_ptr<GateRules> rules, size_t maxBodyBytes,
                                     GCancellable* cancellable, std::string* error) {
    GError* failure = nullptr;
    GIOStream* stream = g_dbus_address_get_stream_sync(address.c_str(), nullptr, cancellable, &failure);
    if (stream == nullptr) {
        *error = TakeMessage(failure);
        return nullptr;
    }
    if (!G_IS_SOCKET_CONNECTION(stream)) {
        g_object_unref(stream);
        *error = "not a socket connection";
        return nullptr;
    }
    if (!Authenticate(g_socket_get_fd(g_socket_connection_get_socket(G_SOCKET_CONNECTION(stream))), cancellable,
                      error)) {
        g_object_unref(stream);
        return nullptr;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        *error = std::string("socketpair failed: ") + std::strerror(errno);
        g_object_unref(stream);
        return nullptr;
    }
    // GDBus speaks through the gate, over a socket pair.
    GSocket* end = g_socket_new_from_fd(pair[0], &failure);
    if (end == nullptr) {
        *error = TakeMessage(failure);
        ::close(pair[0]);
        ::close(pair[1]);
        g_object_unref(stream);
        return nullptr;
    }
    GSocketConnection* gated = g_socket_connection_factory_create_connection(end);
    g_object_unref(end);
    auto* reader = new Reader(G_SOCKET_CONNECTION(stream), pair[1], std::move(rules), maxBodyBytes);
    std::thread([reader] {
        reader->run();
        delete reader;
    }).detach();

    // Authenticated already: GDBus only says Hello.
    GDBusConnection* connection = g_dbus_connection_new_sync(
        G_IO_STREAM(gated), nullptr, G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION, nullptr, cancellable, &failure);
    if (connection == nullptr) {
        *error = TakeMessage(failure);
        g_io_stream_close(G_IO_STREAM(gated), nullptr, nullptr);
    }
    g_object_unref(gated);
    return connection;
}

GDBusConnection* OpenGatedConnectionWithin(const std::string& address, std::shared_ptr<GateRules> rules,
                                           size_t maxBodyBytes, std::chrono::milliseconds timeout, std::string* error) {
    auto result = std::make_shared<ConnectResult>();
    BoundedCall call([=](GCancellable* cancellable) {
        std::string why;
        GDBusConnection* connection = OpenGatedConnection(address, rules, maxBodyBytes, cancellable, &why);
        std::lock_guard<std::mutex> guard(result->mutex);
        result->connection = connection;
        result->error = why;
    });
    if (!call.waitUntil(SteadyClock::now() + timeout)) {
        *error = "no answer within " + std::to_string(timeout.count()) + " ms";
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(result->mutex);
    *error = result->error;
    return std::exchange(result->connection, nullptr);
}

}  // namespace platform::gdbus
