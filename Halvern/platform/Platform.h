#pragma once
// The platform services that the installer's logic uses, bundled so that one
// object can be handed around. The logic sees only these interfaces; which
// implementation stands behind them is chosen at link time (DefaultPlatform)
// or by a test that builds its own set of fakes.

#include "platform/Bundles.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "platform/LaunchServices.h"
#include "platform/StringTable.h"
#include "platform/SystemLog.h"

namespace platform {

struct Platform {
    Console& console;
    SystemLog& systemLog;
    StringTable& strings;
    Bundles& bundles;
    FileSystem& fileSystem;
    LaunchServices& launchServices;
    Clock& clock;
};

// The real services of the platform this program was linked for. Created on
// first use, lives until the process ends.
Platform& DefaultPlatform();

}  // namespace platform
