// Runs the running-instance detection on the real platform, in a process of its
// own, so that a test can give it an environment (bus addresses) or a sandbox
// (fixed paths) of its own.
//
//   detection_tool observe SECONDS [VIEWER]
//       starts the heartbeat observer, runs the main context for SECONDS, then
//       prints each listed record as "record<TAB>host path<TAB>host name<TAB>viewer",
//       and "entries N", "max-gap-ms N" (the longest the loop went without
//       running its 20 ms ticker: how responsive it stayed), "peak-kb N" (the
//       most memory it held).
//   detection_tool scan [VIEWER]
//       prints "shape heartbeat" or "shape scan", then one "entry<TAB>name" (scan
//       shape) or "record..." line (heartbeat shape) per element.
//   detection_tool flood RATE SECONDS SENDERS [FIRST-PID]
//       posts heartbeats of SENDERS made-up processes (pid texts from FIRST-PID,
//       by default 1000000) naming the viewer /opt/Elsewhere.app, RATE a
//       second in all, over one connection.
//   detection_tool emit ADDRESS BODY [OBJECT-PATH [INTERFACE [MEMBER]]]
//       sends one signal, BODY in GVariant text form ("('12', {'k': 'v'})"),
//       by default as com.veldane.Tolm.Heartbeat, and stays connected 0.3 s
//       (an observer asks the bus which process sent it; a sender already gone
//       cannot be named and its signal is dropped).
//   detection_tool apps
//       prints the running applications, "app<TAB>pid<TAB>identifier<TAB>bundle<TAB>name".
//   detection_tool launcher
//       prints "launcher<TAB>" and the bundle of the process that started this one.

#include <gio/gio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "TolmHeartbeat.h"
#include "platform/Platform.h"

namespace {

using Clock = std::chrono::steady_clock;

void PrintRecord(const HeartbeatRecord& record) {
    const auto value = [&](const char* key) {
        auto it = record.find(key);
        return it == record.end() ? std::string("(none)") : it->second;
    };
    std::printf("record\t%s\t%s\t%s\n", value(kUserInfoHostAppPath).c_str(), value(kUserInfoHostDisplayName).c_str(),
                value(kUserInfoLumaroAppPath).c_str());
}

void PrintList(const RunningInstanceList& list) {
    for (const RunningInstance& element : list) {
        if (const auto* name = std::get_if<std::string>(&element)) {
            std::printf("entry\t%s\n", name->c_str());
        } else {
            PrintRecord(*std::get<std::shared_ptr<const HeartbeatRecord>>(element));
        }
    }
}

std::optional<std::string> Viewer(int argc, char** argv, int index) {
    if (argc > index) return std::string(argv[index]);
    return std::nullopt;
}

struct Ticker {
    Clock::time_point last = Clock::now();
    long long maxGapMs = 0;
};

gboolean Tick(gpointer data) {
    auto* ticker = static_cast<Ticker*>(data);
    const auto now = Clock::now();
    ticker->maxGapMs =
        std::max<long long>(ticker->maxGapMs, std::chrono::duration_cast<std::chrono::milliseconds>(now - ticker->last).count());
    ticker->last = now;
    return G_SOURCE_CONTINUE;
}

// The most memory the process has held (VmHWM), in KiB; -1 when unknown.
long PeakKilobytes(pid_t pid) {
    FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (status == nullptr) return -1;
    char line[256];
    long kilobytes = -1;
    while (std::fgets(line, sizeof(line), status) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld", &kilobytes) == 1) break;
    }
    std::fclose(status);
    return kilobytes;
}

int Observe(int argc, char** argv) {
    const double seconds = std::atof(argv[2]);
    const auto started = Clock::now();
    StartTolmHeartbeatObserver();
    std::printf("start-ms %lld\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count()));
    std::fflush(stdout);

    Ticker ticker;
    g_timeout_add(20, Tick, &ticker);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) g_main_context_iteration(nullptr, TRUE);
    PrintList(GetBeatingProcesses(Viewer(argc, argv, 3)));
    std::printf("entries %zu\nmax-gap-ms %lld\n", TolmHeartbeat::sharedHeartbeat().heartbeatEntryCount(),
                ticker.maxGapMs);
    std::printf("peak-kb %ld\n", PeakKilobytes(::getpid()));
    StopTolmHeartbeatObserver();
    return 0;
}

int Scan(int argc, char** argv) {
    const std::optional<std::string> viewer = Viewer(argc, argv, 2);
    std::printf("shape %s\n", TolmBroadcast::useHeartBeat() ? "heartbeat" : "scan");
    PrintList(GetBeatingProcesses(viewer));
    return 0;
}

int Flood(int argc, char** argv) {
    const double rate = std::atof(argv[2]);
    const double seconds = std::atof(argv[3]);
    const long senders = std::max(1L, std::atol(argv[4]));
    const long firstPid = argc > 5 ? std::atol(argv[5]) : 1000000;
    platform::NotificationCenter& center = platform::DefaultPlatform().notificationCenter;
    const auto record = std::make_shared<const HeartbeatRecord>(HeartbeatRecord{
        {kUserInfoHostAppPath, "/Applications/Flood.app"}, {kUserInfoHostDisplayName, "Flood"},
        {kUserInfoLumaroAppPath, "/opt/Elsewhere.app"}});
    const auto start = Clock::now();
    long sent = 0;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed >= seconds) break;
        const long due = static_cast<long>(elapsed * rate);
        for (; sent < due; ++sent) {
            center.postNotification(kTolmHeartbeat, std::to_string(firstPid + sent % senders), record,
                                    platform::kPostToAllSessions);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("sent %ld\n", sent);
    return 0;
}

int Emit(int argc, char** argv) {
    GError* error = nullptr;
    GVariant* body = g_variant_parse(nullptr, argv[3], nullptr, nullptr, &error);
    if (body == nullptr) {
        std::printf("emit: bad body %s: %s\n", argv[3], error->message);
        return 2;
    }
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        argv[2],
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection == nullptr) {
        std::printf("emit: cannot connect to %s: %s\n", argv[2], error->message);
        return 2;
    }
    const char* path = argc > 4 ? argv[4] : "/com/veldane/Tolm";
    const char* interface = argc > 5 ? argv[5] : "com.veldane.Tolm";
    const char* member = argc > 6 ? argv[6] : "Heartbeat";
    if (!g_variant_is_of_type(body, G_VARIANT_TYPE_TUPLE)) body = g_variant_new_tuple(&body, 1);
    if (!g_dbus_connection_emit_signal(connection, nullptr, path, interface, member, body, &error) ||
        !g_dbus_connection_flush_sync(connection, nullptr, &error)) {
        std::printf("emit: %s\n", error->message);
        return 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    g_object_unref(connection);
    return 0;
}

int Apps() {
    const auto applications = platform::DefaultPlatform().workspace.runningApplications();
    if (!applications) {
        std::printf("no snapshot\n");
        return 1;
    }
    for (const platform::RunningApplication& application : *applications) {
        std::printf("app\t%d\t%s\t%s\t%s\n", application.processIdentifier,
                    application.bundleIdentifier.value_or("(none)").c_str(),
                    application.bundlePath.value_or("(none)").c_str(),
                    application.localizedName.value_or("(none)").c_str());
    }
    return 0;
}

int Launcher() {
    std::printf("launcher\t%s\n",
                platform::DefaultPlatform().processInfo.launcherBundlePath().value_or("(none)").c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "observe" && argc >= 3) return Observe(argc, argv);
    if (command == "scan") return Scan(argc, argv);
    if (command == "flood" && argc >= 5) return Flood(argc, argv);
    if (command == "emit" && argc >= 4) return Emit(argc, argv);
    if (command == "apps") return Apps();
    if (command == "launcher") return Launcher();
    std::printf("usage: detection_tool observe SECONDS [VIEWER] | scan [VIEWER] | flood RATE SECONDS SENDERS [FIRST-PID] | "
                "emit ADDRESS BODY [PATH [INTERFACE [MEMBER]]] | apps | launcher\n");
    return 2;
}
