// The running-application scan on the real platform with 1,000 running
// processes that this benchmark starts (copies of sleep inside bundles), next to
// whatever else runs on the machine:
//
//   BM_Snapshot/N          one /proc snapshot (one phase's worth of work)
//   BM_Scan/N              the whole scan, four phases, with an install path
//   BM_ScanDistinctBundles every process from a bundle of its own (1,000
//                          Info.plists to read per snapshot)
//   BM_ScanFreshWorkspace/ordinary/N  the scan with N processes from N bundles
//                          of their own, each scan by a fresh workspace, so
//                          every Info.plist is read again
//   BM_ScanFreshWorkspace/hostile/N   the same with bundles that any user could
//                          make: a FIFO, 200,000 levels, 400,000 keys, a NUL in
//                          the identifier, and files at every limit of the
//                          reader (8,000 elements in 1 MiB), some of these
//                          claiming the viewer's identifier
//   BM_ScanFreshWorkspace/impostors/N every bundle at those limits and claiming
//                          the viewer's identifier: the worst a user can plant
//
// Targets: a scan with 1,000 running processes in at most 20 ms; a first scan
// of 100 bundles, whatever they hold, in under 50 ms.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "../../tests/halvern/linux/PlistHostileSupport.h"
#include "TolmHeartbeat.h"
#include "platform/Platform.h"
#include "platform/linux/PlistBundles.h"
#include "platform/linux/ProcfsWorkspace.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Processes started from bundles, stopped when the object goes.
class Fleet {
public:
    // Writes the Info.plist at path of bundle number b (1 and on; 0 is the viewer).
    using Plant = std::function<void(int b, const std::string& path)>;

    Fleet(int count, int bundles, const Plant& plant = nullptr) {
        char pattern[] = "/tmp/detection-bench-XXXXXX";
        root_ = ::mkdtemp(pattern);
        for (int b = 0; b < bundles; ++b) {
            const bool viewer = b == 0;
            const std::string bundle = root_ + "/" + (viewer ? std::string("Veldane Lumaro") : "App " + std::to_string(b)) + ".app";
            fs::create_directories(bundle + "/Contents/MacOS");
            fs::copy_file("/usr/bin/sleep", bundle + "/Contents/MacOS/program");
            fs::permissions(bundle + "/Contents/MacOS/program", fs::perms(0755));
            if (plant && !viewer) {
                plant(b, bundle + "/Contents/Info.plist");
                bundles_.push_back(bundle);
                continue;
            }
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

// 4,000 entries (8,000 elements) and a comment up to just below 1 MiB: as
// large as the reader takes.
std::string AtTheLimits(const std::string& identifier) {
    std::string xml = hostile::ManyKeysXml(4'000);
    xml.replace(xml.find("com.veldane.Lumaro"), 18, identifier);
    const std::string comment = "<!--" + std::string(1024 * 1024 - xml.size() - 16, '-') + "-->";
    return xml.insert(xml.rfind("</dict>"), comment);
}

// Every bundle as large as the reader takes and claiming the viewer's identifier.
void PlantImpostors(int, const std::string& path) { std::ofstream(path) << AtTheLimits("com.veldane.Lumaro"); }

// One of each kind in turn; the last two are as large as the reader takes.
void PlantHostile(int b, const std::string& path) {
    const auto atTheLimits = AtTheLimits;
    switch (b % 6) {
        case 0:
            ::mkfifo(path.c_str(), 0644);
            return;
        case 1:
            std::ofstream(path) << hostile::NestedXml(200'000);
            return;
        case 2:
            std::ofstream(path) << hostile::ManyKeysBinary(400'000);
            return;
        case 3:
            std::ofstream(path) << hostile::OneEntryBinary("CFBundleIdentifier", std::string("com.veldane.Lumaro\0x", 20));
            return;
        case 4:
            std::ofstream(path) << atTheLimits("org.example.app" + std::to_string(b));
            return;
        default:
            std::ofstream(path) << atTheLimits("com.veldane.Lumaro");  // read again by the scan's phase 1
            return;
    }
}

void BM_ScanFreshWorkspace(benchmark::State& state, Fleet::Plant plant) {
    const int count = static_cast<int>(state.range(0));
    Fleet fleet(count, count, plant);
    platform::Platform& real = platform::DefaultPlatform();
    for (auto _ : state) {
        // Nothing remembered from the last scan.
        platform::PlistBundles bundles;
        platform::ProcfsWorkspace workspace{bundles};
        platform::Platform fresh{.console = real.console, .systemLog = real.systemLog, .strings = real.strings,
                                 .bundles = bundles, .fileSystem = real.fileSystem,
                                 .launchServices = real.launchServices, .clock = real.clock, .runLoop = real.runLoop,
                                 .process = real.process, .application = real.application, .alert = real.alert,
                                 .openPanel = real.openPanel, .workspace = workspace,
                                 .notificationCenter = real.notificationCenter, .dynamicLoader = real.dynamicLoader,
                                 .processInfo = real.processInfo, .propertyLists = real.propertyLists,
                                 .standardFolders = real.standardFolders};
        TolmHeartbeat heartbeat(fresh);
        benchmark::DoNotOptimize(
            heartbeat.getBeatingProcesses_Mavericks(fleet.viewer(), std::string("com.veldane.Lumaro"), std::nullopt));
    }
}

BENCHMARK(BM_Snapshot)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanDistinctBundles)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ScanFreshWorkspace, ordinary, Fleet::Plant())->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ScanFreshWorkspace, hostile, PlantHostile)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ScanFreshWorkspace, impostors, PlantImpostors)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
