#include "platform/linux/PosixConsole.h"

#include <cstdio>

namespace platform {

void PosixConsole::write(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace platform
