// Times whole command-line installations of the built Halvern.app, each a fresh
// process started as a package script starts it, and reports the median wall
// time and the peak resident memory (wait4's ru_maxrss) per case:
//
//   sample viewer   position 3 is samples/Applications/Veldane Lumaro.app
//   50 handlers     position 3 is missing; GIO offers 50 PDF handlers from a
//                   private XDG tree, the viewer being the last of them
//
// Usage: halvern_cli_bench [--runs N] [--halvern PATH]

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Sample {
    double milliseconds;
    long peakKilobytes;
};

struct Case {
    std::string name;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::string linkPath;  // removed after each run
    double targetMilliseconds;
    long targetKilobytes;  // 0: none
};

void WriteFile(const fs::path& path, const std::string& content, fs::perms perms = fs::perms(0644)) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    fs::permissions(path, perms);
}

std::string InfoPlist(const std::string& identifier, const std::string& version, const std::string& track) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleIdentifier</key>\n\t<string>" + identifier + "</string>\n"
           "\t<key>CFBundleVersion</key>\n\t<string>" + version + "</string>\n"
           "\t<key>TrackName</key>\n\t<string>" + track + "</string>\n</dict>\n</plist>\n";
}

// Runs the case once; exits the benchmark when Halvern does not succeed.
Sample RunOnce(const Case& c) {
    std::vector<char*> argv, envp;
    for (const std::string& a : c.arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : c.environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(errno));
        std::exit(1);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const auto end = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);

    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s: Halvern ended with status %d (run it by hand to see why)\n", c.name.c_str(),
                     WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        std::exit(1);
    }
    ::unlink(c.linkPath.c_str());
    return {std::chrono::duration<double, std::milli>(end - start).count(), usage.ru_maxrss};
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

void Report(const Case& c, int runs) {
    for (int i = 0; i < std::max(3, runs / 10); ++i) RunOnce(c);  // warm the page cache
    std::vector<double> times;
    long peak = 0;
    std::vector<double> peaks;
    for (int i = 0; i < runs; ++i) {
        const Sample s = RunOnce(c);
        times.push_back(s.milliseconds);
        peaks.push_back(static_cast<double>(s.peakKilobytes));
        peak = std::max(peak, s.peakKilobytes);
    }
    const double median = Percentile(times, 0.5);
    std::printf("%-15s runs %4d  median %7.2f ms  p10 %7.2f  p90 %7.2f  (target <= %.0f ms: %s, %.2fx)\n",
                c.name.c_str(), runs, median, Percentile(times, 0.1), Percentile(times, 0.9), c.targetMilliseconds,
                median <= c.targetMilliseconds ? "met" : "MISSED", median / c.targetMilliseconds);
    std::printf("%-15s peak memory median %6.2f MB  max %6.2f MB", "", Percentile(peaks, 0.5) / 1024.0,
                static_cast<double>(peak) / 1024.0);
    if (c.targetKilobytes > 0) {
        std::printf("  (target <= %ld MB: %s)", c.targetKilobytes / 1024, peak <= c.targetKilobytes ? "met" : "MISSED");
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 200;
    std::string halvern = std::string(HALVERN_APP) + "/Contents/MacOS/Halvern";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--halvern") == 0 && i + 1 < argc) {
            halvern = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--halvern PATH]\n", argv[0]);
            return 2;
        }
    }

    char pattern[] = "/tmp/halvern-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;
    const std::string sample = std::string(HALVERN_SOURCE_DIR) + "/samples/Applications/Veldane Lumaro.app";

    // A private XDG tree: 49 other PDF applications, each in a bundle of its
    // own, and a copy of the sample viewer last; the MIME database copied.
    std::string cache = "[MIME Cache]\napplication/pdf=";
    for (int i = 1; i <= 50; ++i) {
        const std::string name = i == 50 ? "Veldane Lumaro" : "PDF Reader " + std::to_string(i);
        const fs::path bundle = root / "Applications" / (name + ".app");
        const fs::path program = bundle / "Contents/MacOS" / name;
        WriteFile(bundle / "Contents/Info.plist",
                  i == 50 ? InfoPlist("com.veldane.Lumaro", "17.8.30051", "2017")
                          : InfoPlist("com.example.reader" + std::to_string(i), "1.0." + std::to_string(i), "1"));
        WriteFile(program, "#!/bin/sh\nexit 0\n", fs::perms(0755));
        const std::string id = "reader" + std::to_string(i) + ".desktop";
        WriteFile(root / "xdg/data/applications" / id, "[Desktop Entry]\nType=Application\nName=" + name +
                                                            "\nExec=\"" + program.string() +
                                                            "\" %f\nMimeType=application/pdf;\n");
        cache += id + ";";
    }
    WriteFile(root / "xdg/data/applications/mimeinfo.cache", cache + "\n");
    fs::create_directories(root / "xdg/data/mime");
    for (const char* name : {"mime.cache", "globs2", "globs", "magic", "aliases", "subclasses", "types"}) {
        const fs::path from = fs::path("/usr/share/mime") / name;
        if (fs::exists(from)) fs::copy_file(from, root / "xdg/data/mime" / name);
    }
    fs::create_directories(root / "xdg/config");
    fs::create_directories(root / "home");
    fs::create_directories(root / "tmp");

    const std::vector<std::string> environment{
        "PATH=/usr/local/bin:/usr/bin:/bin",          "LANG=C",
        "HOME=" + (root / "home").string(),           "TMPDIR=" + (root / "tmp").string(),
        "XDG_DATA_HOME=" + (root / "home").string(),  "XDG_DATA_DIRS=" + (root / "xdg/data").string(),
        "XDG_CONFIG_HOME=" + (root / "xdg/config").string(), "XDG_CONFIG_DIRS=" + (root / "xdg/config").string()};
    const std::string link = (root / "Lumaro Pack").string();

    std::printf("Halvern command-line installation, whole process (%s)\n", halvern.c_str());
    Report({"sample viewer", {halvern, "1", link, sample, "0"}, environment, link, 10.0, 10 * 1024}, runs);
    Report({"50 handlers", {halvern, "1", link, (root / "Applications/Missing.app").string(), "0"}, environment, link,
            40.0, 0},
           runs);

    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
