// How long root takes to judge a large viewer bundle: the bundle, the folders
// above it and every folder inside it (PosixFileSystem::trustForRoot), for a
// bundle of about 20,000 folders with a few files among them, against a
// reference measured in the same run: the same tree walked by path with
// std::filesystem (recursive_directory_iterator and a symlink_status of every
// entry), which judges nothing.
//
//   bundle_walk_bench [FOLDER]   the tree is made in FOLDER (default: the
//                                program's own folder), which with every
//                                folder above it must be root's alone
//
// Runs as root (the folders must be root's). Prints the median of 21 runs of
// each, after 3 unmeasured ones, in wall time and in the process's CPU time
// (steadier on a busy machine), the ratio to the reference, and the share of
// the 100 ms budget. Target: under 100 ms.

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/linux/PosixFileSystem.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 21;
constexpr int kWarmUps = 3;

// Contents/Resources/gA/sB/lC: 10 groups of 40 sets of 49 leaves, each set
// with a small file.
size_t MakeTree(const std::string& bundle) {
    size_t folders = 0;
    const auto folder = [&folders](const std::string& path) {
        if (::mkdir(path.c_str(), 0755) == 0) ++folders;
    };
    folder(bundle);
    folder(bundle + "/Contents");
    folder(bundle + "/Contents/Resources");
    std::ofstream(bundle + "/Contents/Info.plist") << "<plist version=\"1.0\"><dict/></plist>\n";
    for (int g = 0; g < 10; ++g) {
        const std::string group = bundle + "/Contents/Resources/g" + std::to_string(g);
        folder(group);
        for (int s = 0; s < 40; ++s) {
            const std::string set = group + "/s" + std::to_string(s);
            folder(set);
            std::ofstream(set + "/strings.txt") << "text\n";
            for (int l = 0; l < 49; ++l) folder(set + "/l" + std::to_string(l));
        }
    }
    return folders - 1;  // the folders inside the bundle
}

double CpuMilliseconds() {
    struct timespec now;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Timing {
    double wall = 0;  // median, ms
    double cpu = 0;   // median of the process's CPU time, ms
};

Timing Median(const std::function<void()>& run) {
    for (int i = 0; i < kWarmUps; ++i) run();
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int i = 0; i < kRuns; ++i) {
        const double cpuStart = CpuMilliseconds();
        const auto start = Clock::now();
        run();
        wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        cpu.push_back(CpuMilliseconds() - cpuStart);
    }
    std::nth_element(wall.begin(), wall.begin() + kRuns / 2, wall.end());
    std::nth_element(cpu.begin(), cpu.begin() + kRuns / 2, cpu.end());
    return {wall[kRuns / 2], cpu[kRuns / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bundle_walk_bench: runs as root only (the folders must be root's)\n");
        return 1;
    }
    const std::string parent = argc > 1 ? argv[1] : fs::read_symlink("/proc/self/exe").parent_path().string();
    std::string root = parent + "/bundle-walk-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) {
        std::fprintf(stderr, "bundle_walk_bench: cannot make a folder in %s\n", parent.c_str());
        return 1;
    }
    ::chmod(root.c_str(), 0755);
    const std::string bundle = root + "/Viewer.app";
    const size_t folders = MakeTree(bundle);

    platform::PosixFileSystem files;
    const platform::Status trusted = files.trustForRoot(bundle);
    if (!trusted.ok()) {
        std::fprintf(stderr, "bundle_walk_bench: the tree is not trusted: %s\n",
                     trusted.localizedDescription().c_str());
        fs::remove_all(root);
        return 1;
    }
    bool allTrusted = true;
    const Timing judged = Median([&] { allTrusted = files.trustForRoot(bundle).ok() && allTrusted; });
    size_t entries = 0;
    const Timing reference = Median([&] {
        entries = 0;
        for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
            entries += fs::exists(entry.symlink_status()) ? 1 : 0;
        }
    });
    fs::remove_all(root);

    std::printf("bundle of %zu folders (%zu entries): judged in %.2f ms (%.2f ms of CPU; medians of %d)%s\n",
                folders, entries, judged.wall, judged.cpu, kRuns, allTrusted ? "" : " [a run did not trust it]");
    std::printf("reference, the same tree walked by path without judging: %.2f ms (%.2f ms of CPU)\n",
                reference.wall, reference.cpu);
    std::printf("ratio judged/reference: %.2f (CPU %.2f); share of the 100 ms budget: %.2f (CPU %.2f)\n",
                judged.wall / reference.wall, judged.cpu / reference.cpu, judged.wall / 100.0, judged.cpu / 100.0);
    return allTrusted ? 0 : 1;
}
