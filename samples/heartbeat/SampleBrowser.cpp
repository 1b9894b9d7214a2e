// A sample "browser" for demonstrations and tests: it starts its plug-in host
// (the bundle Contents/Helpers/*.app inside its own bundle), which broadcasts
// heartbeats in the name of this browser, and stops it when told to quit
// (SIGTERM, SIGINT, or the end of its standard input when that is a pipe or a
// terminal).
//
//   Sample Browser.app/Contents/MacOS/Sample Browser [VIEWER-PATH]
//
// VIEWER-PATH (default "/Applications/Veldane Lumaro.app") is the viewer that
// the plug-in host says it runs.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Foundation.h"
#include "platform/Platform.h"

extern char** environ;

namespace {

constexpr const char* kDefaultViewer = "/Applications/Veldane Lumaro.app";
constexpr const char* kPluginHostBundle = "Contents/Helpers/VeldanePDFViewer Host.app";
constexpr const char* kPluginHostProgram = "Contents/MacOS/VeldanePDFViewer Host";

bool ShouldWatchStandardInput() {
    struct stat st;
    return ::fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || ::isatty(STDIN_FILENO));
}

}  // namespace

int main(int argc, char** argv) {
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGTERM);
    sigaddset(&quit, SIGINT);
    sigaddset(&quit, SIGCHLD);
    ::pthread_sigmask(SIG_BLOCK, &quit, nullptr);
    const int signals = ::signalfd(-1, &quit, SFD_CLOEXEC);

    const std::optional<std::string> bundle = platform::DefaultPlatform().bundles.mainBundlePath();
    if (!bundle || signals < 0) {
        std::printf("SampleBrowser: not started from its bundle\n");
        return 1;
    }
    const std::string host = StringByAppendingPathComponent(
        StringByAppendingPathComponent(*bundle, kPluginHostBundle), kPluginHostProgram);
    const std::string viewer = argc > 1 ? argv[1] : kDefaultViewer;

    // The host gets the default signal mask back.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    char* const hostArguments[] = {const_cast<char*>(host.c_str()), const_cast<char*>(viewer.c_str()), nullptr};
    pid_t child = 0;
    const int rc = ::posix_spawn(&child, host.c_str(), nullptr, &attributes, hostArguments, environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        std::printf("SampleBrowser: cannot start the plug-in host %s: %s\n", host.c_str(), std::strerror(rc));
        return 1;
    }
    std::printf("Started the plug-in host %s as process %d.\n", host.c_str(), static_cast<int>(child));
    std::fflush(stdout);

    const bool watchInput = ShouldWatchStandardInput();
    bool childRunning = true;
    for (bool done = false; !done;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, watchInput ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) {
            signalfd_siginfo info;
            if (::read(signals, &info, sizeof info) == sizeof info && info.ssi_signo == SIGCHLD) {
                if (::waitpid(child, nullptr, WNOHANG) == child) childRunning = false;
                done = !childRunning;
            } else {
                done = true;
            }
        }
        if (watchInput && fds[1].revents != 0) {
            char buffer[256];
            if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) done = true;
        }
    }
    if (childRunning) {
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
    }
    std::printf("Stopped the plug-in host.\n");
    return 0;
}
