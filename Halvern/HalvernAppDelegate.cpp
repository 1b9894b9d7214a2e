#include "HalvernAppDelegate.h"

#include <cstring>
#include <optional>
#include <string>

#include "Foundation.h"
#include "Halvern.h"
#include "Texts.h"

void HalvernAppDelegate::applicationDidFinishLaunching() {
    int status = -1;
    const Halvern::Arguments argv = platform_.process.arguments();
    // Only a start through runApp's graphical branch is served; it has checked
    // the count, so a short vector is as foreign as another mode flag.
    if (argv.size() < 5 || std::strcmp(argv[1], "0") != 0) {
        platform_.process.exit(-1);
        return;
    }

    Halvern halvern(platform_);
    const std::optional<std::string> source = StringWithUTF8String(argv[2]);
    const std::optional<std::string> installPath = halvern.GUIInstallToDestination(std::nullopt, source, argv);
    if (!installPath) {
        platform_.console.write(texts::kGUIInstallFailure);
        platform_.process.exit(-1);
        return;
    }
    if (std::strcmp(argv[4], "1") == 0) {
        // Ends the process itself; should it return, the status stays -1.
        halvern.checkLumaroRunningAndInstallIfNotRunning(false, *installPath);
    } else {
        status = 0;
    }
    platform_.process.exit(status);
}
