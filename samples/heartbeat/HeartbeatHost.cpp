// A process that hosts the viewer, for demonstrations and tests: it broadcasts
// the heartbeat of this process until it is told to quit (SIGTERM, SIGINT, or
// the end of its standard input when that is a pipe or a terminal).
//
//   <bundle>/Contents/MacOS/<program> [VIEWER-PATH]
//
// The heartbeats name VIEWER-PATH as the viewer; without it, the bundle the
// program runs from. Inside the sample viewer bundle this is the viewer itself;
// inside the sample plug-in host bundle (identifier
// com.apple.WebKit.PluginProcess) the heartbeats name the browser that started
// it as their host.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "TolmHeartbeat.h"
#include "platform/Platform.h"

namespace {

bool ShouldWatchStandardInput() {
    struct stat st;
    return ::fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || ::isatty(STDIN_FILENO));
}

// Blocks until SIGTERM or SIGINT arrives, or standard input ends.
void WaitUntilToldToQuit(int signals) {
    const bool watchInput = ShouldWatchStandardInput();
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, watchInput ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        if (watchInput && fds[1].revents != 0) {
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The quit signals are taken through a descriptor; the broadcaster threads,
    // started later, inherit the blocked mask.
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGTERM);
    sigaddset(&quit, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &quit, nullptr);
    const int signals = ::signalfd(-1, &quit, SFD_CLOEXEC);
    if (signals < 0) {
        std::printf("HeartbeatHost: cannot watch for quit signals: %s\n", std::strerror(errno));
        return 1;
    }

    platform::Platform& platform = platform::DefaultPlatform();
    std::optional<std::string> viewerPath;
    if (argc > 1) {
        viewerPath = argv[1];
    } else {
        viewerPath = platform.bundles.mainBundlePath();
    }
    if (!viewerPath) {
        std::printf("HeartbeatHost: not started from an application bundle and no viewer path given\n");
        return 1;
    }

    TolmHeartbeat& heartbeat = TolmHeartbeat::sharedHeartbeat();
    heartbeat.startBroadcasting(viewerPath);
    std::printf("Broadcasting heartbeats for %s as process %d.\n", viewerPath->c_str(),
                platform.processInfo.processIdentifier());
    std::fflush(stdout);

    WaitUntilToldToQuit(signals);
    heartbeat.stopBroadcasting();
    std::printf("Stopped broadcasting.\n");
    return 0;
}
