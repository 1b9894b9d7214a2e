// The running-application scan on the real platform where the fixed paths
// matter (/System/Library/CoreServices, /Applications, /Library/Preferences),
// inside a bubblewrap sandbox of the test's own, with real processes started
// from bundles inside it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "DetectionSupport.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using detection::MakeBundle;
using Lines = std::vector<std::string>;

constexpr const char* kSleep = "/usr/bin/sleep";
constexpr const char* kViewer = "/Applications/Veldane Lumaro.app";
constexpr const char* kInvalid = "entry\t__--__INVALID__--__";
constexpr const char* kManagerFolder = "Applications/Utilities/Veldane Application Manager/core";

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class DetectionSandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::Bubblewrap()) GTEST_SKIP() << "bubblewrap (bwrap) is not installed";
        for (const char* folder : {"System/Library/CoreServices", "Applications", "Library/Preferences", "opt", "testbin"}) {
            fs::create_directories(dir / folder);
        }
        detection::CopyFile(DETECTION_TOOL, dir / "testbin/detection_tool");
        SystemVersion(detection::PlistXML({{"ProductName", "Mac OS X"}, {"ProductVersion", "10.13.6"}}));
    }
    void SystemVersion(const std::string& content) {
        testsupport::WriteFile(dir / "System/Library/CoreServices/SystemVersion.plist", content);
    }
    // A bundle at sandbox path "/" + folder + "/" + name + ".app" whose program is a copy of sleep.
    std::string Bundle(const std::string& folder, const std::string& name,
                       const std::vector<std::pair<std::string, std::string>>& info) {
        MakeBundle(dir / folder, name, kSleep, info);
        return "/" + folder + "/" + name + ".app";
    }
    std::string Viewer(const std::string& folder = "Applications", const std::string& name = "Veldane Lumaro") {
        return Bundle(folder, name,
                      {{"CFBundleIdentifier", "com.veldane.Lumaro"}, {"CFBundleVersion", "17.8.30051"},
                       {"TrackName", "2017"}, {"CFBundleDisplayName", "Veldane Lumaro"}});
    }
    void ManagerLibrary(const char* library) {
        detection::CopyFile(library, dir / (std::string(kManagerFolder) + "/VeldaneOstrel.dylib"));
        ::chmod((dir / (std::string(kManagerFolder) + "/VeldaneOstrel.dylib")).c_str(), 0644);
    }
    // Starts the bundles' programs inside the sandbox, waits until each runs,
    // then prints what the scan for viewer answers: the shape line, then the
    // entries, the primary entry first and the rest sorted.
    Lines Scan(const std::vector<std::string>& bundles, const std::string& viewer = kViewer) {
        std::string script = "set -u\n";
        for (const std::string& bundle : bundles) {
            const std::string program = bundle + "/Contents/MacOS/program";
            script += Quote(program) + " 600 &\npid=$!\n"
                      "for i in $(seq 250); do [ \"$(readlink /proc/$pid/exe)\" = " + Quote(program) +
                      " ] && break; sleep 0.02; done\n";
        }
        script += "/testbin/detection_tool scan " + Quote(viewer) + "\n";
        testsupport::WriteFile(dir / "testbin/run.sh", script);

        testsupport::Sandbox sandbox;
        for (const char* folder : {"System", "Applications", "Library", "opt", "testbin"}) {
            sandbox.readOnlyBind(dir / folder, std::string("/") + folder);
        }
        const auto result = testsupport::RunProcess(sandbox.command({"/bin/sh", "/testbin/run.sh"}),
                                                    testsupport::BaseEnvironment(), 60);
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        Lines lines = testsupport::Lines(result.out);
        if (lines.size() > 2) std::sort(lines.begin() + 2, lines.end());
        return lines;
    }

    testsupport::TempDir dir;
};

TEST_F(DetectionSandboxTest, ViewerRunningAtTheInstallPath) {
    const std::string viewer = Viewer();
    EXPECT_EQ(Scan({viewer}), (Lines{"shape scan", "entry\tVeldane Lumaro", "entry\tVeldane Lumaro"}));
    // The install path is standardized before it is compared.
    EXPECT_EQ(Scan({viewer}, "/Applications/./Veldane Lumaro.app/"),
              (Lines{"shape scan", "entry\tVeldane Lumaro", "entry\tVeldane Lumaro"}));
}

TEST_F(DetectionSandboxTest, ViewerRunningElsewhereIsNotTheInstalledOne) {
    Viewer();
    const std::string other = Viewer("opt", "Veldane Lumaro");
    EXPECT_EQ(Scan({other}), (Lines{"shape scan", kInvalid}));
}

TEST_F(DetectionSandboxTest, PdfToolBesideAFullProduct) {
    Bundle("Applications", "Veldane Quorvo",
           {{"CFBundleIdentifier", "com.veldane.Quorvo"}, {"CFBundleVersion", "17.0.1"}, {"TrackName", "2017"}});
    const std::string tool = Bundle("Applications", "Veldane PDF Tool",
                                    {{"CFBundleIdentifier", "com.veldane.vatrel"}, {"CFBundleVersion", "15.1.0"}});
    EXPECT_EQ(Scan({tool}, "/Applications/Veldane Quorvo.app"), (Lines{"shape scan", kInvalid, "entry\tVeldane PDF Tool"}));
    EXPECT_EQ(Scan({tool}, kViewer), (Lines{"shape scan", kInvalid}));
}

TEST_F(DetectionSandboxTest, BrowserPluginHostWithThePreferencesFile) {
    Viewer();
    const std::string host = Bundle("Applications/Browser.app/Contents/Helpers", "Host",
                                    {{"CFBundleIdentifier", "com.apple.WebKit.PluginProcess"},
                                     {"CFBundleDisplayName", "VeldanePDFViewer (Browser)"}});
    const std::string preferences = dir / "Library/Preferences/com.veldane.quorvo.pdfviewer.plist";
    testsupport::WriteFile(preferences,
                           detection::PlistXML({{"WebBrowserUsePath", "file:///Applications/Veldane%20Lumaro.app/"}}));
    EXPECT_EQ(Scan({host}), (Lines{"shape scan", kInvalid, "entry\tVeldanePDFViewer (Browser)"}));

    testsupport::WriteFile(preferences, detection::PlistXML({{"WebBrowserUsePath", "file:///opt/Other.app/"}}));
    EXPECT_EQ(Scan({host}), (Lines{"shape scan", kInvalid}));
    testsupport::WriteFile(preferences, "<plist><dict><key>WebBrowserUsePath</key>");  // malformed
    EXPECT_EQ(Scan({host}), (Lines{"shape scan", kInvalid}));
    fs::remove(preferences);
    EXPECT_EQ(Scan({host}), (Lines{"shape scan", kInvalid}));
}

TEST_F(DetectionSandboxTest, ApplicationManagerLibrarySaysItRuns) {
    Viewer();
    ManagerLibrary(FAKE_OSTREL_RUNNING);
    EXPECT_EQ(Scan({}), (Lines{"shape scan", kInvalid, "entry\tVeldane Application Manager"}));
    ManagerLibrary(FAKE_OSTREL_IDLE);
    EXPECT_EQ(Scan({}), (Lines{"shape scan", kInvalid}));
    ManagerLibrary(FAKE_OSTREL_WITHOUT_FUNCTION);
    EXPECT_EQ(Scan({}), (Lines{"shape scan", kInvalid}));
    testsupport::WriteFile(dir / (std::string(kManagerFolder) + "/VeldaneOstrel.dylib"), "not a library\n", 0644);
    EXPECT_EQ(Scan({}), (Lines{"shape scan", kInvalid}));
}

TEST_F(DetectionSandboxTest, ApplicationManagerRunningIsNamedWithoutTheLibrary) {
    const std::string manager = Bundle("Applications", "Harbex",
                                       {{"CFBundleIdentifier", "com.veldane.Harbex"}, {"CFBundleName", "Veldane Harbex"}});
    EXPECT_EQ(Scan({manager}), (Lines{"shape scan", kInvalid, "entry\tVeldane Harbex"}));
}

// The mended fault: a library that another user could have replaced is not run.
TEST_F(DetectionSandboxTest, LibraryInAFolderOthersCanWriteIsNotLoaded) {
    Viewer();
    ManagerLibrary(FAKE_OSTREL_RUNNING);
    ::chmod((dir / kManagerFolder).c_str(), 0777);
    EXPECT_EQ(Scan({}), (Lines{"shape scan", kInvalid}));
    ::chmod((dir / kManagerFolder).c_str(), 0755);
    ASSERT_EQ(::chown((dir / (std::string(kManagerFolder) + "/VeldaneOstrel.dylib")).c_str(), 65534, 65534), 0);
    EXPECT_EQ(Scan({}), (Lines{"shape scan", kInvalid}));
    ASSERT_EQ(::chown((dir / (std::string(kManagerFolder) + "/VeldaneOstrel.dylib")).c_str(), 0, 0), 0);
    EXPECT_EQ(Scan({}), (Lines{"shape scan", kInvalid, "entry\tVeldane Application Manager"}));
}

TEST_F(DetectionSandboxTest, UnreadableSystemVersionMeansHeartbeats) {
    const std::string viewer = Viewer();
    // No heartbeat names the running viewer: the scan, which looks too, does.
    const Lines heartbeatWay{"shape heartbeat", "entry\tVeldane Lumaro", "entry\tVeldane Lumaro"};
    SystemVersion("<plist><dict><key>ProductVersion</key>");  // malformed
    EXPECT_EQ(Scan({viewer}), heartbeatWay);
    fs::remove(dir / "System/Library/CoreServices/SystemVersion.plist");
    EXPECT_EQ(Scan({viewer}), heartbeatWay);
    SystemVersion(detection::PlistXML({{"ProductVersion", "10.8.5"}}));
    EXPECT_EQ(Scan({viewer}), heartbeatWay);
}

}  // namespace
