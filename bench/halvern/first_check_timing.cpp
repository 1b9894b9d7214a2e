// When the first running-instance check runs after the wait for running viewers
// starts, on the real platform (GLib main context, D-Bus heartbeats).
//
//   first_check_timing VIEWER-PATH
//
// Starts the wait for the viewer at VIEWER-PATH as the command-line mode does
// and prints, on standard error, "first-check-ms N": the milliseconds from the
// start of the wait to the moment the check ends the process (the check's query
// and its line take well under a millisecond of that). The exit status is the
// wait's own (0 or 255). scripts/measure-first-check.sh runs it repeatedly.

#include <chrono>
#include <cstdio>

#include "Halvern.h"
#include "platform/Platform.h"

namespace {

// The real process, with the moment of exit taken first.
class TimingProcess : public platform::Process {
public:
    explicit TimingProcess(platform::Process& real) : real_(real) {}
    std::span<char* const> arguments() const override { return real_.arguments(); }
    void exit(int status) override {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        std::fprintf(stderr, "first-check-ms %.2f\n", std::chrono::duration<double, std::milli>(elapsed).count());
        real_.exit(status);
    }
    std::chrono::steady_clock::time_point start;

private:
    platform::Process& real_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: first_check_timing VIEWER-PATH\n");
        return 2;
    }
    platform::Platform& real = platform::DefaultPlatform();
    TimingProcess timing(real.process);
    platform::Platform view{
        .console = real.console,
        .systemLog = real.systemLog,
        .strings = real.strings,
        .bundles = real.bundles,
        .fileSystem = real.fileSystem,
        .launchServices = real.launchServices,
        .clock = real.clock,
        .runLoop = real.runLoop,
        .process = timing,
        .application = real.application,
        .alert = real.alert,
        .openPanel = real.openPanel,
        .workspace = real.workspace,
        .notificationCenter = real.notificationCenter,
        .dynamicLoader = real.dynamicLoader,
        .processInfo = real.processInfo,
        .propertyLists = real.propertyLists,
        .standardFolders = real.standardFolders,
    };
    Halvern halvern(view);
    timing.start = std::chrono::steady_clock::now();
    halvern.checkLumaroRunningAndInstallIfNotRunning(true, argv[1]);
    std::fprintf(stderr, "the wait came back without a check\n");
    return 1;
}
