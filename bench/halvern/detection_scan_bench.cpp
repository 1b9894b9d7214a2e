// The running-application scan on the real platform with 1,000 running
// processes that this benchmark starts (copies of sleep inside bundles), next to
// whatever else runs on the machine:
//
//   BM_Snapshot/N          one /proc snapshot (one phase's worth of work)
//   BM_Scan/N              the whole scan, four phases, with an install path
//   BM_ScanDistinctBundles every process from a bundle of its own (1,000
//                          Info.plists to read per snapshot)
//
// Target: a scan with 1,000 running processes in at most 20 ms.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "TolmHeartbeat.h"
#include "platform/Platform.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Processes started from bundles, stopped when the object goes.
class Fleet {
public:
    Fleet(int count, int bundles) {
        char pattern[] = "/tmp/detection-bench-XXXXXX";
        root_ = ::mkdtemp(pattern);
        for (int b = 0; b < bundles; ++b) {
            const bool viewer = b == 0;
            const std::string bundle = root_ + "/" + (viewer ? std::string("Veldane Lumaro") : "App " + std::to_string(b)) + ".app";
            fs::create_directories(bundle + "/Contents/MacOS");
            fs::copy_file("/usr/bin/sleep", bundle + "/Contents/MacOS/program");
            fs::permissions(bundle + "/Contents/MacOS/program", fs::perms(0755));
            std::ofstream(bundle + "/Contents/Info.plist")
                << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                << "<key>CFBundleIdentifier</key><string>"
                << (viewer ? std::string("com.veldane.Lumaro") : "org.example.app" + std::to_string(b))
                << "</string><key>CFBundleVersion</key><string>17.8.30051</string>"
                << "<key>TrackName</key><string>2017</string>"
                << "<key>CFBundleDisplayName</key><string>" << (viewer ? "Veldane Lumaro" : "App") << "</string>"
                << "</dict></plist>\n";
            bundles_.push_back(bundle);
        }
        for (int i = 0; i < count; ++i) {
            const std::string program = bundles_[static_cast<size_t>(i) % bundles_.size()] + "/Contents/MacOS/program";
            char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("3600"), nullptr};
            pid_t pid = 0;
            if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0) pids_.push_back(pid);
        }
        // Measure only once every child runs its program and has settled.
        for (int tries = 0; tries < 3000 && !AllRunning(); ++tries) ::usleep(10 * 1000);
        ::usleep(300 * 1000);
    }
    bool AllRunning() const {
        for (pid_t pid : pids_) {
            char target[4096];
            const std::string link = "/proc/" + std::to_string(pid) + "/exe";
            const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
            if (length <= 0 || !std::string_view(target, static_cast<size_t>(length)).ends_with("/program")) return false;
        }
        return true;
    }
    ~Fleet() {
        for (pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
        fs::remove_all(root_);
    }
    const std::string& viewer() const { return bundles_.front(); }

private:
    std::string root_;
    std::vector<std::string> bundles_;
    std::vector<pid_t> pids_;
};

void BM_Snapshot(benchmark::State& state) {
    Fleet fleet(static_cast<int>(state.range(0)), 10);
    platform::Workspace& workspace = platform::DefaultPlatform().workspace;
    size_t applications = 0;
    for (auto _ : state) {
        const auto snapshot = workspace.runningApplications();
        applications = snapshot ? snapshot->size() : 0;
        benchmark::DoNotOptimize(applications);
    }
    state.counters["applications"] = static_cast<double>(applications);
}

void BM_Scan(benchmark::State& state) {
    Fleet fleet(static_cast<int>(state.range(0)), 10);
    TolmHeartbeat heartbeat(platform::DefaultPlatform());
    size_t listed = 0;
    for (auto _ : state) {
        const RunningInstanceList list =
            heartbeat.getBeatingProcesses_Mavericks(fleet.viewer(), std::string("com.veldane.Lumaro"), std::nullopt);
        listed = list.size();
        benchmark::DoNotOptimize(listed);
    }
    state.counters["listed"] = static_cast<double>(listed);
}

void BM_ScanDistinctBundles(benchmark::State& state) {
    Fleet fleet(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)));
    TolmHeartbeat heartbeat(platform::DefaultPlatform());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            heartbeat.getBeatingProcesses_Mavericks(fleet.viewer(), std::string("com.veldane.Lumaro"), std::nullopt));
    }
}

BENCHMARK(BM_Snapshot)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanDistinctBundles)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
