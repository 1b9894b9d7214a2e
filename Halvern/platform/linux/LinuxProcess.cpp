#include "platform/linux/LinuxProcess.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

int sArgc = 0;
char** sArgv = nullptr;

// glibc calls the initialisers of the main program with (argc, argv, envp),
// the very vector that main then receives; keeping the pointer makes it
// readable from anywhere later, without main having to pass it along.
__attribute__((constructor)) void CaptureArguments(int argc, char** argv, char**) {
    sArgc = argc;
    sArgv = argv;
}

}  // namespace

std::span<char* const> LinuxProcess::arguments() const {
    if (sArgv == nullptr || sArgc <= 0) return {};
    return {sArgv, static_cast<size_t>(sArgc)};
}

void LinuxProcess::exit(int status) {
    std::fflush(stdout);
    std::exit(status);
}

}  // namespace platform
