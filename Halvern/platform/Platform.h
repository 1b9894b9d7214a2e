#pragma once
// The platform services that the installer's logic uses, bundled so that one
// object can be handed around. The logic sees only these interfaces; which
// implementation stands behind them is chosen at link time (DefaultPlatform)
// or by a test that builds its own set of fakes.

#include "platform/Alert.h"
#include "platform/Application.h"
#include "platform/Bundles.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/DynamicLoader.h"
#include "platform/FileSystem.h"
#include "platform/LaunchServices.h"
#include "platform/NotificationCenter.h"
#include "platform/OpenPanel.h"
#include "platform/Process.h"
#include "platform/ProcessInfo.h"
#include "platform/PropertyLists.h"
#include "platform/RunLoop.h"
#include "platform/StandardFolders.h"
#include "platform/StringTable.h"
#include "platform/SystemLog.h"
#include "platform/Workspace.h"

namespace platform {

struct Platform {
    Console& console;
    SystemLog& systemLog;
    StringTable& strings;
    Bundles& bundles;
    FileSystem& fileSystem;
    LaunchServices& launchServices;
    Clock& clock;
    RunLoop& runLoop;
    Process& process;
    // The graphical services: used only in graphical mode, after application.main
    // has started the framework.
    Application& application;
    Alert& alert;
    OpenPanel& openPanel;
    // The running-instance detection.
    Workspace& workspace;
    NotificationCenter& notificationCenter;
    DynamicLoader& dynamicLoader;
    ProcessInfo& processInfo;
    PropertyLists& propertyLists;
    StandardFolders& standardFolders;
};

// The real services of the platform this program was linked for. Created on
// first use, lives until the process ends.
Platform& DefaultPlatform();

}  // namespace platform
