// The real services of the installer on Linux.

#include "Texts.h"
#include "TolmHeartbeat.h"
#include "platform/Platform.h"
#include "platform/linux/DlfcnDynamicLoader.h"
#include "platform/linux/FixedStandardFolders.h"
#include "platform/linux/GDBusNotificationCenter.h"
#include "platform/linux/GLibRunLoop.h"
#include "platform/linux/GioLaunchServices.h"
#include "platform/linux/GtkModule.h"
#include "platform/linux/LinuxProcess.h"
#include "platform/linux/PlistBundles.h"
#include "platform/linux/PlistPropertyLists.h"
#include "platform/linux/PlistStringTable.h"
#include "platform/linux/PosixConsole.h"
#include "platform/linux/PosixFileSystem.h"
#include "platform/linux/ProcfsProcessInfo.h"
#include "platform/linux/ProcfsWorkspace.h"
#include "platform/linux/SteadyClock.h"
#include "platform/linux/SyslogSystemLog.h"

namespace platform {

Platform& DefaultPlatform() {
    // One object of each implementation, made on first use. A service that
    // needs no work until it is asked (the string table, GIO) does that work on
    // its first call, so a run pays only for what it uses.
    static struct LinuxPlatform {
        PosixConsole console;
        SyslogSystemLog systemLog;
        PlistBundles bundles;
        PlistStringTable strings{bundles};
        PosixFileSystem fileSystem;
        GioLaunchServices launchServices;
        SteadyClock clock;
        GLibRunLoop runLoop{clock};
        LinuxProcess process;
        // Opens HalvernGtk.so only when a graphical service is first used.
        GtkModule gtk{bundles};
        GtkModuleApplication application{gtk};
        GtkModuleAlert alert{gtk};
        GtkModuleOpenPanel openPanel{gtk};
        // The running-instance detection. The notification center connects to a
        // bus only when it is first used.
        ProcfsWorkspace workspace{bundles};
        GDBusNotificationCenter notificationCenter;
        DlfcnDynamicLoader dynamicLoader;
        ProcfsProcessInfo processInfo;
        // The keys read from the system version file and the plug-in preferences.
        PlistPropertyLists propertyLists{{texts::kProductVersionKey, kBROWSERPLUGIN_APPPATHKEY}};
        FixedStandardFolders standardFolders;

        Platform view{
            .console = console,
            .systemLog = systemLog,
            .strings = strings,
            .bundles = bundles,
            .fileSystem = fileSystem,
            .launchServices = launchServices,
            .clock = clock,
            .runLoop = runLoop,
            .process = process,
            .application = application,
            .alert = alert,
            .openPanel = openPanel,
            .workspace = workspace,
            .notificationCenter = notificationCenter,
            .dynamicLoader = dynamicLoader,
            .processInfo = processInfo,
            .propertyLists = propertyLists,
            .standardFolders = standardFolders,
        };
    } sPlatform;
    return sPlatform.view;
}

}  // namespace platform
