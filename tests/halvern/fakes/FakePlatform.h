#pragma once
// One fake of every platform service, and the Platform view over them that the
// logic takes. A new service: add its fake as a member and to `view`.

#include "FakeAlert.h"
#include "FakeApplication.h"
#include "FakeBundles.h"
#include "FakeClock.h"
#include "FakeConsole.h"
#include "FakeDynamicLoader.h"
#include "FakeFileSystem.h"
#include "FakeLaunchServices.h"
#include "FakeNotificationCenter.h"
#include "FakeOpenPanel.h"
#include "FakeProcess.h"
#include "FakeProcessInfo.h"
#include "FakePropertyLists.h"
#include "FakeRunLoop.h"
#include "FakeStandardFolders.h"
#include "FakeStringTable.h"
#include "FakeSystemLog.h"
#include "FakeWorkspace.h"
#include "platform/Platform.h"

class FakePlatform {
public:
    FakePlatform() = default;
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    FakeConsole console;
    FakeSystemLog systemLog;
    FakeStringTable strings;
    FakeBundles bundles;
    FakeFileSystem fileSystem;
    FakeLaunchServices launchServices;
    FakeClock clock;
    FakeRunLoop runLoop{clock};
    FakeProcess process;
    FakeApplication application;
    FakeAlert alert;
    FakeOpenPanel openPanel;
    FakeWorkspace workspace;
    FakeNotificationCenter notificationCenter;
    FakeDynamicLoader dynamicLoader;
    FakeProcessInfo processInfo;
    FakePropertyLists propertyLists;
    FakeStandardFolders standardFolders;

    platform::Platform view{
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
};

// The process-wide FakePlatform behind platform::DefaultPlatform() in programs
// linked with halvern_fake_platform.
FakePlatform& DefaultFakePlatform();
