// The running applications from /proc, with real processes started from bundles
// made for the test, and the launcher of a process.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "../linux/PlistHostileSupport.h"
#include "DetectionSupport.h"
#include "TestSupport.h"
#include "platform/linux/PlistBundles.h"
#include "platform/linux/ProcfsProcessInfo.h"
#include "platform/linux/ProcfsWorkspace.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using detection::Child;
using detection::MakeBundle;
using platform::RunningApplication;

constexpr const char* kSleep = "/usr/bin/sleep";

class ProcfsWorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::chmod(dir.path().c_str(), 0755);
        root = fs::canonical(dir.path()).string();
    }
    // Starts the bundle's program (a copy of sleep) and waits until it runs it.
    pid_t Start(const std::string& bundle, const std::string& executable = "program") {
        children.push_back(std::make_unique<Child>(
            std::vector<std::string>{bundle + "/Contents/MacOS/" + executable, "600"},
            Child::Options{detection::Environment({})}));
        const pid_t pid = children.back()->pid();
        EXPECT_TRUE(detection::WaitFor(
            [&] { return platform::ProcessExecutablePath(pid).value_or("").ends_with("/" + executable); }, 5s));
        return pid;
    }
    std::optional<RunningApplication> Find(pid_t pid) {
        const auto applications = workspace.runningApplications();
        EXPECT_TRUE(applications);
        for (const RunningApplication& application : applications.value_or(std::vector<RunningApplication>{})) {
            if (application.processIdentifier == pid) return application;
        }
        return std::nullopt;
    }

    testsupport::TempDir dir;
    std::string root;
    platform::PlistBundles bundles;
    platform::ProcfsWorkspace workspace{bundles};
    std::vector<std::unique_ptr<Child>> children;
};

TEST_F(ProcfsWorkspaceTest, ProcessInsideABundleIsARunningApplication) {
    const std::string bundle = MakeBundle(root, "Veldane Lumaro", kSleep,
                                          {{"CFBundleIdentifier", "com.veldane.Lumaro"},
                                           {"CFBundleDisplayName", "Veldane Lumaro"},
                                           {"CFBundleName", "Lumaro"}});
    const pid_t pid = Start(bundle);
    const auto application = Find(pid);
    ASSERT_TRUE(application);
    EXPECT_EQ(application->bundleIdentifier, "com.veldane.Lumaro");
    EXPECT_EQ(application->bundlePath, bundle);
    EXPECT_EQ(application->localizedName, "Veldane Lumaro");
}

TEST_F(ProcfsWorkspaceTest, NameFallsBackToBundleNameThenFolderName) {
    const pid_t named = Start(MakeBundle(root, "A", kSleep, {{"CFBundleName", "Bundle Name"}, {"CFBundleDisplayName", ""}}));
    const pid_t folder = Start(MakeBundle(root, "Folder Name", kSleep, {{"CFBundleIdentifier", "org.example.F"}}));
    const pid_t bare = Start(MakeBundle(root, "No Info", kSleep, {}));
    EXPECT_EQ(Find(named).value().localizedName, "Bundle Name");
    EXPECT_EQ(Find(folder).value().localizedName, "Folder Name");
    const auto noInfo = Find(bare);
    ASSERT_TRUE(noInfo);
    EXPECT_EQ(noInfo->localizedName, "No Info");
    EXPECT_FALSE(noInfo->bundleIdentifier);
}

TEST_F(ProcfsWorkspaceTest, NearestBundleAboveTheProgramCounts) {
    const std::string outer = MakeBundle(root, "Browser", kSleep, {{"CFBundleIdentifier", "org.example.Browser"}});
    const std::string inner = MakeBundle(outer + "/Contents/Helpers", "Host", kSleep,
                                         {{"CFBundleIdentifier", "com.apple.WebKit.PluginProcess"}});
    const auto application = Find(Start(inner));
    ASSERT_TRUE(application);
    EXPECT_EQ(application->bundlePath, inner);
    EXPECT_EQ(application->bundleIdentifier, "com.apple.WebKit.PluginProcess");
}

TEST_F(ProcfsWorkspaceTest, ProcessesOutsideBundlesAreLeftOut) {
    detection::CopyFile(kSleep, root + "/bin/sleep");
    fs::create_directories(root + "/x.app.d");
    detection::CopyFile(kSleep, root + "/x.app.d/sleep");
    children.push_back(std::make_unique<Child>(std::vector<std::string>{root + "/bin/sleep", "600"},
                                               Child::Options{detection::Environment({})}));
    const pid_t plain = children.back()->pid();
    children.push_back(std::make_unique<Child>(std::vector<std::string>{root + "/x.app.d/sleep", "600"},
                                               Child::Options{detection::Environment({})}));
    const pid_t lookalike = children.back()->pid();
    ASSERT_TRUE(detection::WaitFor(
        [&] { return platform::ProcessExecutablePath(lookalike).value_or("").ends_with("/x.app.d/sleep"); }, 5s));
    EXPECT_FALSE(Find(plain));
    EXPECT_FALSE(Find(lookalike));
    EXPECT_FALSE(Find(::getpid()));
}

TEST_F(ProcfsWorkspaceTest, DeletedProgramStillNamesItsBundle) {
    const std::string bundle =
        MakeBundle(root, "Gone", kSleep, {{"CFBundleIdentifier", "org.example.Gone"}, {"CFBundleName", "Gone Name"}});
    const pid_t pid = Start(bundle);
    fs::remove(bundle + "/Contents/MacOS/program");
    ASSERT_EQ(platform::ProcessExecutablePath(pid), bundle + "/Contents/MacOS/program");
    auto application = Find(pid);
    ASSERT_TRUE(application);
    EXPECT_EQ(application->bundleIdentifier, "org.example.Gone");

    // The whole bundle gone: the application remains, without identifier.
    fs::remove_all(bundle);
    application = Find(pid);
    ASSERT_TRUE(application);
    EXPECT_EQ(application->bundlePath, bundle);
    EXPECT_FALSE(application->bundleIdentifier);
    EXPECT_EQ(application->localizedName, "Gone");
}

TEST_F(ProcfsWorkspaceTest, ProcessesEndingDuringTheScanDoNotDisturbIt) {
    const std::string bundle = MakeBundle(root, "Brief", "/usr/bin/true", {{"CFBundleIdentifier", "org.example.Brief"}});
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load()) {
            Child brief({bundle + "/Contents/MacOS/program"}, {detection::Environment({})});
            brief.wait(2s);
        }
    });
    int snapshots = 0;
    const auto end = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < end) {
        const auto applications = workspace.runningApplications();
        ASSERT_TRUE(applications);
        for (const RunningApplication& application : *applications) {
            EXPECT_TRUE(application.bundlePath);
            EXPECT_TRUE(application.localizedName);
        }
        ++snapshots;
    }
    stop = true;
    churn.join();
    EXPECT_GT(snapshots, 10);
}

TEST_F(ProcfsWorkspaceTest, AnotherUsersProcessesAreNotVisibleToAnOrdinaryUser) {
    const std::string bundle = MakeBundle(root, "Root App", kSleep, {{"CFBundleIdentifier", "org.example.Root"}});
    const pid_t rootApp = Start(bundle);
    const std::string tool = root + "/tool";
    detection::CopyFile(DETECTION_TOOL, tool);
    const std::string log = root + "/apps.log";
    Child asNobody({tool, "apps"}, {detection::Environment({}), 65534, log});
    ASSERT_EQ(asNobody.wait(30s), 0) << testsupport::ReadFile(log).value_or("");
    EXPECT_EQ(testsupport::ReadFile(log).value_or("").find("\t" + bundle + "\t"), std::string::npos);
    // Root sees it.
    EXPECT_TRUE(Find(rootApp));
}

// Bundles that any user can make and run a program from: the scan, run as root,
// lists the program without an identifier and neither blocks nor crashes nor
// takes long.
TEST_F(ProcfsWorkspaceTest, HostileInfoPlistsAreScannedInBoundedTime) {
    const std::vector<std::pair<std::string, std::string>> plists{
        {"Deep", hostile::NestedXml(200'000)},
        {"Deep Binary", hostile::NestedBinary(200'000)},
        {"Keys", hostile::ManyKeysXml(400'000)},
        {"Keys Binary", hostile::ManyKeysBinary(400'000)},
        {"Nul", hostile::OneEntryBinary("CFBundleIdentifier", std::string("com.veldane.Lumaro\0x", 20))},
    };
    std::vector<std::pair<std::string, pid_t>> started;
    for (const auto& [name, plist] : plists) {
        const std::string bundle = MakeBundle(root, name, kSleep, {});
        testsupport::WriteFile(bundle + "/Contents/Info.plist", plist);
        started.emplace_back(name, Start(bundle));
    }
    const std::string fifo = MakeBundle(root, "Fifo", kSleep, {});
    ASSERT_EQ(::mkfifo((fifo + "/Contents/Info.plist").c_str(), 0644), 0);
    started.emplace_back("Fifo", Start(fifo));

    const auto start = std::chrono::steady_clock::now();
    const auto applications = workspace.runningApplications();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(applications);
    for (const auto& [name, pid] : started) {
        const auto found = std::find_if(applications->begin(), applications->end(),
                                        [pid = pid](const RunningApplication& a) { return a.processIdentifier == pid; });
        ASSERT_NE(found, applications->end()) << name;
        EXPECT_EQ(found->bundleIdentifier, std::nullopt) << name;
        EXPECT_EQ(found->localizedName, name);
    }
    EXPECT_LT(elapsed, 5s);  // a hang guard; the speed is measured in bench/
}

TEST_F(ProcfsWorkspaceTest, UnreadableProcessListGivesNoSnapshot) {
    workspace.procRoot = root + "/no-proc";
    EXPECT_FALSE(workspace.runningApplications());

    // An empty folder where nothing is mounted, or the processes of another
    // pid namespace: this process is not among them, so nothing can be seen.
    workspace.procRoot = root + "/proc";
    fs::create_directories(root + "/proc/1");
    EXPECT_FALSE(workspace.runningApplications());
    fs::create_directories(root + "/proc/" + std::to_string(::getpid()));
    const auto applications = workspace.runningApplications();
    ASSERT_TRUE(applications);
    EXPECT_TRUE(applications->empty());
}

TEST(ProcfsWorkspace, DisplayNameIsTheFileName) {
    platform::PlistBundles bundles;
    platform::ProcfsWorkspace workspace{bundles};
    EXPECT_EQ(workspace.displayNameAtPath("/Applications/Veldane Lumaro.app"), "Veldane Lumaro.app");
    EXPECT_EQ(workspace.displayNameAtPath("/Applications/Veldane Lumaro.app/"), "Veldane Lumaro.app");
    EXPECT_EQ(workspace.displayNameAtPath(""), std::nullopt);
}

TEST_F(ProcfsWorkspaceTest, LauncherIsTheBundleOfTheParentProcess) {
    platform::ProcfsProcessInfo info;
    EXPECT_EQ(info.processIdentifier(), ::getpid());
    EXPECT_FALSE(info.launcherBundlePath());  // the test program lies in no bundle

    const std::string parent = MakeBundle(root, "Parent", "/usr/bin/dash", {{"CFBundleIdentifier", "org.example.P"}});
    const std::string tool = root + "/tool";
    detection::CopyFile(DETECTION_TOOL, tool);
    // "; true" keeps the shell from replacing itself with the tool.
    const auto result = testsupport::RunProcess({parent + "/Contents/MacOS/program", "-c", "'" + tool + "' launcher; true"},
                                                detection::Environment({}), 30);
    EXPECT_EQ(result.out, "launcher\t" + parent + "\n") << result.err;
}

}  // namespace
