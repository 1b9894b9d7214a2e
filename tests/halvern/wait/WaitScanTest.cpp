// The wait for running viewers when instances are found by scanning the running
// applications (OS X 10.9 and later): the list's entry 0 is the scan's primary
// entry, and the instances start at entry 1.

#include "WaitTestSupport.h"

namespace waittest {
namespace {

constexpr const char* kPreferences = "/Library/Preferences/com.veldane.quorvo.pdfviewer.plist";
constexpr const char* kPluginHostName = "VeldanePDFViewer (Safari)";

// This program finds instances by the scan: a system version of 10.9.
class ScanWay : public ::testing::Environment {
public:
    void SetUp() override {
        DefaultFakePlatform().propertyLists.add(kSystemVersion, {{"ProductVersion", "10.9"}});
        ASSERT_FALSE(TolmBroadcast::useHeartBeat());
    }
};
const auto* const gWay = ::testing::AddGlobalTestEnvironment(new ScanWay);

class WaitScanTest : public WaitTest {
protected:
    void ViewerRuns(const std::string& name = "Veldane Lumaro") {
        fake.workspace.add(std::string("com.veldane.Lumaro"), std::string(kLumaro), name);
    }
    // The browser's plug-in host, hosting the viewer at kLumaro.
    void PluginHostRuns() {
        fake.workspace.add(std::string(kWEBKIT_BUNDLEID), std::string("/Applications/Safari.app/Host.app"),
                           std::string(kPluginHostName));
        fake.fileSystem.addFile(kPreferences);
        fake.propertyLists.add(kPreferences, {{"WebBrowserUsePath", "file:///Applications/Veldane%20Lumaro.app"}});
    }
};

TEST_F(WaitScanTest, NothingRunningIsOnlyThePrimaryEntryAndEndsWith0) {
    EXPECT_EQ(WaitCLI(), 0);
    EXPECT_EQ(Output(), Lines{});
    EXPECT_EQ(Elapsed(), 2.0);
    // The scan needs no observer.
    EXPECT_TRUE(fake.notificationCenter.calls.empty());

    EXPECT_EQ(WaitGUI(), 0);
    EXPECT_TRUE(fake.alert.shown.empty());
}

TEST_F(WaitScanTest, AScanCutShortAfterItFoundTheViewerStillReportsIt) {
    // The second snapshot fails: phase 1 had found the viewer.
    ViewerRuns();
    fake.workspace.failingSnapshot = 2;
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), Lines{kRunningCLI});
}

TEST_F(WaitScanTest, AScanThatCouldNotLookEverywhereFailsInsteadOfFindingNothing) {
    for (const int failing : {1, 2, 4}) {
        SetUp();
        fake.workspace.failingSnapshot = failing;
        EXPECT_EQ(WaitGUI(), -1) << failing;
        EXPECT_EQ(Output(), Lines{"Halvern:ERROR: Could not find out whether Veldane Lumaro is running: the running "
                                  "applications could not be listed. Installation failure."})
            << failing;
        EXPECT_TRUE(fake.alert.shown.empty());
    }
}

TEST_F(WaitScanTest, CommandLineFailsOnAStandAloneViewer) {
    ViewerRuns();
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), Lines{kRunningCLI});
}

TEST_F(WaitScanTest, CommandLineFailsOnAViewerInsideABrowser) {
    PluginHostRuns();
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), Lines{kInBrowserCLI});
}

TEST_F(WaitScanTest, AViewerWhoseNameDiffersOnlyInCaseCountsAsABrowser) {
    ViewerRuns("VELDANE LUMARO");
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), Lines{kInBrowserCLI});
}

TEST_F(WaitScanTest, GraphicalModeNamesThePluginHostAndCancelEndsWith255) {
    UseTexts(fake);
    PluginHostRuns();
    fake.alert.answers = {kCancelButton};
    EXPECT_EQ(WaitGUI(), -1);
    EXPECT_EQ(Output(), (Lines{kInBrowserGUI, kCancel}));
    EXPECT_EQ(fake.alert.shown.at(0).informativeText,
              "Lumaro runs in VeldanePDFViewer (Safari). Quit VeldanePDFViewer (Safari), then retry.");
}

TEST_F(WaitScanTest, RetryAfterTheViewerQuitEndsWith0) {
    ViewerRuns();
    fake.alert.onShow = [&](const FakeAlert::Shown&) {
        if (fake.alert.shown.size() == 2) fake.workspace.applications.clear();
        return kRetryButton;
    };
    EXPECT_EQ(WaitGUI(), 0);
    EXPECT_EQ(Output(), (Lines{kRunningGUI, kRetry, kRunningGUI, kRetry}));
}

}  // namespace
}  // namespace waittest
