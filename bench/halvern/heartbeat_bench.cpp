// Heartbeats under load, over a private session bus that this benchmark starts:
//
//   heartbeat_bench broadcaster [SECONDS] [session]
//       runs the sample viewer (one broadcaster) for SECONDS (default 60) with
//       a system bus to post on (with "session": none, so it falls back to the
//       session bus) and reports its CPU time as a share of one core, and its
//       resident memory one second after the start and at the end.
//       Targets: at most 0.1% of a core; memory flat.
//   heartbeat_bench observer [SECONDS] [SENDERS]
//       runs SENDERS sample viewers (default 100) broadcasting four times a
//       second and observes them in this process for SECONDS (default 10),
//       asking every 0.25 s which senders are fresh; reports how many queries
//       listed every sender, the fewest listed, and the observer's CPU share.
//       Target: every fresh sender listed.
//
// The sample viewer is taken from the build (HEARTBEAT_SAMPLES).

#include <glib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DetectionSupport.h"
#include "TolmHeartbeat.h"
#include "platform/linux/GDBusNotificationCenter.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kViewerProgram = std::string(HEARTBEAT_SAMPLES) + "/Veldane Lumaro.app/Contents/MacOS/Veldane Lumaro";

// Time every thread of a process has run, in seconds (schedstat: nanoseconds).
double CpuSeconds(pid_t pid) {
    unsigned long long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        unsigned long long running = 0;
        if (schedstat >> running) total += running;
    }
    return static_cast<double>(total) / 1e9;
}

long ResidentKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    }
    return -1;
}

// A private session bus, and with withSystemBus a private system bus (the
// machine's stock policy) too, named in this process's environment.
struct Bus {
    std::string folder;
    std::unique_ptr<detection::PrivateBus> session;
    std::unique_ptr<detection::PrivateBus> system;
    explicit Bus(bool withSystemBus) {
        char pattern[] = "/tmp/heartbeat-bench-XXXXXX";
        folder = ::mkdtemp(pattern);
        session = std::make_unique<detection::PrivateBus>(detection::PrivateBus::Kind::Session, folder);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", session->address().c_str(), 1);
        if (withSystemBus) {
            system = std::make_unique<detection::PrivateBus>(detection::PrivateBus::Kind::System, folder);
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", system->address().c_str(), 1);
        } else {
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/heartbeat-bench", 1);
        }
    }
    bool up() const { return !session->address().empty() && (!system || !system->address().empty()); }
    ~Bus() {
        session.reset();
        system.reset();
        std::filesystem::remove_all(folder);
    }
};

int Broadcaster(double seconds, bool systemBus) {
    Bus bus(systemBus);
    if (!bus.up()) {
        std::printf("heartbeat_bench: dbus-daemon did not start\n");
        return 1;
    }
    detection::Child viewer({kViewerProgram}, {detection::Environment({})});
    std::this_thread::sleep_for(1s);
    const double cpuStart = CpuSeconds(viewer.pid());
    const long rssStart = ResidentKilobytes(viewer.pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds(viewer.pid()) - cpuStart;
    const long rssEnd = ResidentKilobytes(viewer.pid());
    std::printf("broadcaster (%s): %.0f s, CPU %.4f s = %.4f%% of a core (target <= 0.1%%), "
                "RSS %ld kB at 1 s, %ld kB at end\n",
                systemBus ? "system bus" : "no system bus, session bus", elapsed, cpu, 100.0 * cpu / elapsed, rssStart,
                rssEnd);
    return 0;
}

int Observer(double seconds, int senders) {
    Bus bus(true);
    if (!bus.up()) {
        std::printf("heartbeat_bench: dbus-daemon did not start\n");
        return 1;
    }
    std::vector<std::unique_ptr<detection::Child>> viewers;
    for (int i = 0; i < senders; ++i) {
        viewers.push_back(std::make_unique<detection::Child>(std::vector<std::string>{kViewerProgram},
                                                             detection::Child::Options{detection::Environment({})}));
    }

    StartTolmHeartbeatObserver();
    // Let every sender come up and post.
    const auto warmEnd = Clock::now() + 2s;
    while (Clock::now() < warmEnd) g_main_context_iteration(nullptr, TRUE);

    struct Queries {
        int senders;
        int count = 0;
        int complete = 0;
        size_t fewest = SIZE_MAX;
    } queries{senders};
    g_timeout_add(
        250,
        [](gpointer data) -> gboolean {
            auto* q = static_cast<Queries*>(data);
            const size_t listed = TolmHeartbeat::sharedHeartbeat().getBeatingProcesses(std::nullopt).size();
            ++q->count;
            if (listed == static_cast<size_t>(q->senders)) ++q->complete;
            q->fewest = std::min(q->fewest, listed);
            return G_SOURCE_CONTINUE;
        },
        &queries);

    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) g_main_context_iteration(nullptr, TRUE);
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    const auto cpu = [](const rusage& u) {
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("observer: %d senders at 4 Hz for %.0f s: %d of %d queries listed every sender, fewest listed %zu; "
                "observer CPU %.2f%% of a core\n",
                senders, elapsed, queries.complete, queries.count, queries.fewest,
                100.0 * (cpu(after) - cpu(before)) / elapsed);
    StopTolmHeartbeatObserver();
    for (auto& viewer : viewers) viewer->closeInput();
    return queries.complete == queries.count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "broadcaster") {
        return Broadcaster(argc > 2 ? std::atof(argv[2]) : 60, !(argc > 3 && std::string(argv[3]) == "session"));
    }
    if (mode == "observer") return Observer(argc > 2 ? std::atof(argv[2]) : 10, argc > 3 ? std::atoi(argv[3]) : 100);
    std::printf("usage: heartbeat_bench broadcaster [SECONDS] [session] | observer [SECONDS] [SENDERS]\n");
    return 2;
}
