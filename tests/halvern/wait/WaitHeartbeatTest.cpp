// The wait for running viewers when instances are found through heartbeats:
// the timers and the loop, every outcome of the check in both modes, Retry and
// Cancel, and which record decides.

#include "HalvernAppDelegate.h"
#include "WaitTestSupport.h"

namespace waittest {
namespace {

// This program finds instances through heartbeats: no system version file.
class HeartbeatWay : public ::testing::Environment {
public:
    void SetUp() override {
        DefaultFakePlatform().propertyLists.files.erase(kSystemVersion);
        ASSERT_TRUE(TolmBroadcast::useHeartBeat());
    }
};
const auto* const gWay = ::testing::AddGlobalTestEnvironment(new HeartbeatWay);

// A process that hosts the viewer and posts a heartbeat every 0.25 s while it
// runs. Its heartbeats arrive through the run loop (a timer of the fake loop
// stands in for the bus), or at once through beatNow(), as they would while a
// modal alert runs its own loop.
class Sender {
public:
    Sender(FakePlatform& fake, std::string pid, std::optional<std::string> hostName, std::string viewer = kLumaro)
        : fake_(fake), state_(std::make_shared<State>()) {
        state_->pid = std::move(pid);
        auto record = std::make_shared<platform::NotificationUserInfo>();
        (*record)[kUserInfoHostAppPath] = "/Applications/Host.app";
        if (hostName) (*record)[kUserInfoHostDisplayName] = *hostName;
        (*record)[kUserInfoLumaroAppPath] = std::move(viewer);
        state_->record = std::move(record);
    }
    // Starts posting after delay.
    void start(std::chrono::duration<double> delay = 0s) {
        std::weak_ptr<State> weak = state_;
        FakePlatform& fake = fake_;
        state_->running = true;
        Schedule(fake, weak, delay);
    }
    void quit() { state_->running = false; }
    void beatNow() { Deliver(fake_, *state_); }

private:
    struct State {
        std::string pid;
        std::shared_ptr<const platform::NotificationUserInfo> record;
        bool running = false;
    };
    static void Deliver(FakePlatform& fake, const State& state) {
        fake.notificationCenter.deliver(platform::Notification{kTolmHeartbeat, state.pid, state.record, state.pid});
    }
    static void Schedule(FakePlatform& fake, std::weak_ptr<State> weak, std::chrono::duration<double> delay) {
        fake.runLoop.scheduleTimer(delay, [&fake, weak] {
            const auto state = weak.lock();
            if (!state || !state->running) return;
            Deliver(fake, *state);
            Schedule(fake, weak, 250ms);
        });
    }

    FakePlatform& fake_;
    std::shared_ptr<State> state_;
};

class WaitHeartbeatTest : public WaitTest {};

// --- The timers, the loop and the end --------------------------------------------------

TEST_F(WaitHeartbeatTest, NothingRunsTheCheckComesAfterTwoSecondsAndEndsWith0) {
    size_t registrationsAtFirstRun = 0;
    fake.runLoop.onRun = [&](int run) {
        if (run == 1) registrationsAtFirstRun = fake.notificationCenter.registrations.size();
    };
    EXPECT_EQ(WaitCLI(), 0);

    EXPECT_EQ(Output(), Lines{});
    EXPECT_EQ(Elapsed(), 2.0);
    EXPECT_EQ(fake.process.exits, std::vector<int>{0});
    // The observer was registered before the loop first ran, and removed at the end.
    EXPECT_EQ(registrationsAtFirstRun, 1u);
    EXPECT_EQ(fake.notificationCenter.calls, (Lines{"add com.veldane.Tolm.Heartbeat", "remove com.veldane.Tolm.Heartbeat"}));
    EXPECT_TRUE(fake.notificationCenter.registrations.empty());
    // One check timer of 2.0 s, then one keep-alive timer of 1.0 s per pass of
    // at most 2.0 s; the check fired in the second pass.
    EXPECT_EQ(fake.runLoop.scheduled, (std::vector<platform::RunLoop::Interval>{2.0s, 1.0s, 1.0s}));
    ASSERT_EQ(fake.runLoop.runLimits.size(), 2u);
    EXPECT_EQ(fake.runLoop.runLimits[0], waitStart + 2s);
    EXPECT_EQ(fake.runLoop.runLimits[1], waitStart + 3s);
    EXPECT_TRUE(g_stopTheRunLoop);
    EXPECT_EQ(fake.runLoop.stops, 1);
}

TEST_F(WaitHeartbeatTest, GraphicalModeWithNothingRunningAsksNothing) {
    EXPECT_EQ(WaitGUI(), 0);
    EXPECT_EQ(Output(), Lines{});
    EXPECT_TRUE(fake.alert.shown.empty());
    EXPECT_EQ(Elapsed(), 2.0);
}

TEST_F(WaitHeartbeatTest, AViewerThatQuitMoreThanASecondBeforeTheCheckIsNotRunning) {
    Sender viewer(fake, "101", "Veldane Lumaro");
    viewer.start();
    fake.runLoop.scheduleTimer(0.8s, [&] { viewer.quit(); });  // last heartbeat at 0.75 s
    EXPECT_EQ(WaitCLI(), 0);
    EXPECT_EQ(Output(), Lines{});
}

TEST_F(WaitHeartbeatTest, AViewerThatStartsDuringTheDelayIsFound) {
    Sender viewer(fake, "102", "Veldane Lumaro");
    viewer.start(1.6s);
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), Lines{kRunningCLI});
}

TEST_F(WaitHeartbeatTest, HeartbeatsForAnotherViewerDoNotCount) {
    fake.fileSystem.addFolder("/opt/Veldane Lumaro.app");
    Sender other(fake, "103", "Veldane Lumaro", "/opt/Veldane Lumaro.app");
    other.start();
    EXPECT_EQ(WaitCLI(), 0);
}

TEST_F(WaitHeartbeatTest, AViewerAnnouncingItsRealPathIsFoundThroughALinkedInstallPath) {
    // The install path was given through /Applications, a link to /Volumes/Apps.
    fake.fileSystem.entries.clear();
    fake.fileSystem.addFolder("/Volumes/Apps/Veldane Lumaro.app");
    fake.fileSystem.addLink("/Applications", "/Volumes/Apps");
    Sender viewer(fake, "104", "Veldane Lumaro", "/Volumes/Apps/Veldane Lumaro.app");
    viewer.start();
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), Lines{kRunningCLI});
}

// --- Both ways look ------------------------------------------------------------------------

constexpr const char* kCannotLook =
    "Halvern:ERROR: Could not find out whether Veldane Lumaro is running: the running applications could not be "
    "listed. Installation failure.";

TEST_F(WaitHeartbeatTest, NoneRunsOnlyWhenTheScanSaysSoToo) {
    // A viewer that posts no heartbeat (held up, or muted) still runs.
    fake.workspace.add(std::string("com.veldane.Lumaro"), std::string(kLumaro), std::string("Veldane Lumaro"));
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), Lines{kRunningCLI});

    SetUp();
    fake.workspace.failingSnapshot = 1;
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), Lines{kCannotLook});
}

TEST_F(WaitHeartbeatTest, AnObserverThatStopsAnsweringIsSaidOnceAndCountsAgainOnceItAnswers) {
    fake.workspace.add(std::string("com.veldane.Lumaro"), std::string(kLumaro), std::string("Veldane Lumaro"));
    Sender viewer(fake, "106", "Veldane Lumaro");
    viewer.start();
    fake.notificationCenter.lostConnection = "the system bus (unix:path=/s) did not answer within 250 ms";
    fake.alert.onShow = [&](const FakeAlert::Shown&) {
        if (fake.alert.shown.size() == 2) {
            // The observer answers again; only its heartbeats still show the viewer.
            fake.notificationCenter.lostConnection.reset();
            fake.workspace.applications.clear();
        } else if (fake.alert.shown.size() == 3) {
            viewer.quit();
            fake.clock.advance(1500ms);
        }
        return kRetryButton;
    };
    EXPECT_EQ(WaitGUI(), 0);
    EXPECT_EQ(Output(), (Lines{"Heartbeats can no longer be observed, so the running applications are scanned "
                               "instead: the system bus (unix:path=/s) did not answer within 250 ms",
                               kRunningGUI, kRetry, kRunningGUI, kRetry, kRunningGUI, kRetry}));
}

// --- When heartbeats cannot be observed, the scan decides ------------------------------------

constexpr const char* kNoBusLine =
    "Heartbeats could not be observed, so the running applications are scanned instead: no message bus can be reached";

TEST_F(WaitHeartbeatTest, WithoutAnyBusTheScanDecides) {
    fake.notificationCenter.addFailure = "no message bus can be reached";
    EXPECT_EQ(WaitCLI(), 0);
    EXPECT_EQ(Elapsed(), 2.0);
    EXPECT_EQ(Output(), Lines{kNoBusLine});
    EXPECT_EQ(fake.workspace.snapshots, 4);  // the scan looked, in its four phases

    SetUp();
    fake.notificationCenter.addFailure = "no message bus can be reached";
    fake.workspace.add(std::string("com.veldane.Lumaro"), std::string(kLumaro), std::string("Veldane Lumaro"));
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), (Lines{kNoBusLine, kRunningCLI}));
}

TEST_F(WaitHeartbeatTest, ABusLostBeforeTheCheckHandsTheDecisionToTheScan) {
    fake.workspace.add(std::string("com.veldane.Lumaro"), std::string(kLumaro), std::string("Veldane Lumaro"));
    // The viewer's heartbeats stop arriving when the bus goes, 0.8 s in.
    Sender viewer(fake, "105", "Veldane Lumaro");
    viewer.start();
    fake.runLoop.scheduleTimer(0.8s, [&] {
        viewer.quit();
        fake.notificationCenter.lostConnection = "the session bus (unix:path=/bus) closed the connection";
    });
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), (Lines{"Heartbeats can no longer be observed, so the running applications are scanned "
                               "instead: the session bus (unix:path=/bus) closed the connection",
                               kRunningCLI}));
}

TEST_F(WaitHeartbeatTest, WhenNeitherWayCanLookTheWaitFails) {
    fake.notificationCenter.addFailure = "no message bus can be reached";
    fake.workspace.failingSnapshot = 1;
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), (Lines{kNoBusLine, "Halvern:ERROR: Could not find out whether Veldane Lumaro is running: the "
                                           "running applications could not be listed. Installation failure."}));
    EXPECT_TRUE(fake.alert.shown.empty());
}

// --- Command-line outcomes ------------------------------------------------------------------

TEST_F(WaitHeartbeatTest, CommandLineFailsOnAStandAloneViewer) {
    Sender viewer(fake, "201", "Veldane Lumaro");
    viewer.start();
    EXPECT_EQ(WaitCLI(), -1);
    EXPECT_EQ(Output(), Lines{kRunningCLI});
    EXPECT_TRUE(fake.alert.shown.empty());
    EXPECT_EQ(fake.notificationCenter.calls.back(), "remove com.veldane.Tolm.Heartbeat");
}

TEST_F(WaitHeartbeatTest, CommandLineFailsOnAViewerInsideABrowser) {
    for (const std::optional<std::string>& host :
         {std::optional<std::string>("Safari"), std::optional<std::string>("veldane lumaro"),
          std::optional<std::string>("Veldane Lumaro "), std::optional<std::string>()}) {
        SetUp();
        Sender browser(fake, "202", host);
        browser.start();
        EXPECT_EQ(WaitCLI(), -1) << host.value_or("(no name)");
        EXPECT_EQ(Output(), Lines{kInBrowserCLI}) << host.value_or("(no name)");
    }
}

TEST_F(WaitHeartbeatTest, TheFirstRecordAloneDecides) {
    Sender viewer(fake, "301", "Veldane Lumaro");
    Sender browser(fake, "302", "Safari");
    viewer.start();
    browser.start(0.1s);
    EXPECT_EQ(WaitCLI(), -1);

    // The same query at the same moment lists the records in the same order.
    const RunningInstanceList instances = GetBeatingProcesses(std::string(kLumaro));
    ASSERT_EQ(instances.size(), 2u);
    const auto& first = std::get<std::shared_ptr<const HeartbeatRecord>>(instances[0]);
    const bool standAlone = first->at(kUserInfoHostDisplayName) == "Veldane Lumaro";
    EXPECT_EQ(Output(), Lines{standAlone ? kRunningCLI : kInBrowserCLI});
}

// --- Graphical outcomes -------------------------------------------------------------------

TEST_F(WaitHeartbeatTest, CancelEndsWith255AndTheAlertAsksWithLookedUpTexts) {
    UseTexts(fake);
    Sender viewer(fake, "401", "Veldane Lumaro");
    viewer.start();
    fake.alert.answers = {kCancelButton};
    EXPECT_EQ(WaitGUI(), -1);

    EXPECT_EQ(Output(), (Lines{kRunningGUI, kCancel}));
    ASSERT_EQ(fake.alert.shown.size(), 1u);
    // The title was looked up when the wait started, and once more by the alert.
    EXPECT_EQ(fake.alert.shown[0].messageText, "Lumaro (title, looked up again)");
    EXPECT_EQ(fake.alert.shown[0].informativeText, "Quit Lumaro, then retry.");
    EXPECT_EQ(fake.alert.shown[0].buttons, (Lines{"Nochmal", "Abbrechen"}));
    EXPECT_EQ(fake.notificationCenter.calls.back(), "remove com.veldane.Tolm.Heartbeat");
}

TEST_F(WaitHeartbeatTest, AViewerInABrowserIsNamedInEveryPlaceOfTheText) {
    UseTexts(fake);
    Sender browser(fake, "402", "Safari (Plug-in)");
    browser.start();
    fake.alert.answers = {kCancelButton};
    EXPECT_EQ(WaitGUI(), -1);

    EXPECT_EQ(Output(), (Lines{kInBrowserGUI, kCancel}));
    ASSERT_EQ(fake.alert.shown.size(), 1u);
    EXPECT_EQ(fake.alert.shown[0].informativeText, "Lumaro runs in Safari (Plug-in). Quit Safari (Plug-in), then retry.");
}

TEST_F(WaitHeartbeatTest, ANameThatDiffersOnlyInCaseIsABrowser) {
    Sender host(fake, "403", "VELDANE LUMARO");
    host.start();
    fake.alert.answers = {kCancelButton};
    EXPECT_EQ(WaitGUI(), -1);
    EXPECT_EQ(Output(), (Lines{kInBrowserGUI, kCancel}));
}

TEST_F(WaitHeartbeatTest, ARecordWithoutAHostNameIsABrowserWithAnEmptyName) {
    UseTexts(fake);
    Sender host(fake, "404", std::nullopt);
    host.start();
    fake.alert.answers = {kCancelButton};
    EXPECT_EQ(WaitGUI(), -1);
    EXPECT_EQ(fake.alert.shown.at(0).informativeText, "Lumaro runs in . Quit , then retry.");
}

TEST_F(WaitHeartbeatTest, RetryAsksAgainAtOnceUntilTheViewerHasQuitThenEndsWith0) {
    Sender viewer(fake, "501", "Veldane Lumaro");
    viewer.start();
    std::vector<size_t> runsAtAlert;
    fake.alert.onShow = [&](const FakeAlert::Shown&) {
        runsAtAlert.push_back(fake.runLoop.runLimits.size());
        if (fake.alert.shown.size() < 3) {
            // The user takes a moment; the viewer goes on beating meanwhile.
            fake.clock.advance(400ms);
            viewer.beatNow();
        } else {
            // The viewer quits; its last heartbeat goes stale before Retry.
            viewer.quit();
            fake.clock.advance(1500ms);
        }
        return kRetryButton;
    };
    EXPECT_EQ(WaitGUI(), 0);

    EXPECT_EQ(Output(), (Lines{kRunningGUI, kRetry, kRunningGUI, kRetry, kRunningGUI, kRetry}));
    EXPECT_EQ(fake.alert.shown.size(), 3u);
    // No pass of the loop between two queries: Retry queries again at once.
    EXPECT_EQ(runsAtAlert, std::vector<size_t>(3, runsAtAlert.front()));
    EXPECT_EQ(fake.process.exits, std::vector<int>{0});
}

TEST_F(WaitHeartbeatTest, RetryShowsWhatRunsNowWhenTheInstanceChanged) {
    UseTexts(fake);
    Sender viewer(fake, "601", "Veldane Lumaro");
    Sender browser(fake, "602", "Firefox");
    viewer.start();
    fake.alert.onShow = [&](const FakeAlert::Shown&) {
        if (fake.alert.shown.size() == 1) {
            viewer.quit();
            fake.clock.advance(1200ms);
            browser.beatNow();
            return kRetryButton;
        }
        return kCancelButton;
    };
    EXPECT_EQ(WaitGUI(), -1);
    EXPECT_EQ(Output(), (Lines{kRunningGUI, kRetry, kInBrowserGUI, kCancel}));
    EXPECT_EQ(fake.alert.shown.at(1).informativeText, "Lumaro runs in Firefox. Quit Firefox, then retry.");
}

TEST_F(WaitHeartbeatTest, SeveralRecordsGiveOneAlertPerQuery) {
    Sender viewer(fake, "701", "Veldane Lumaro");
    Sender browser(fake, "702", "Safari");
    viewer.start();
    browser.start();
    fake.alert.answers = {kCancelButton};
    EXPECT_EQ(WaitGUI(), -1);
    EXPECT_EQ(fake.alert.shown.size(), 1u);
    EXPECT_EQ(Output().back(), kCancel);
}

// --- Reached from the entry and from the launch callback ------------------------------------

TEST_F(WaitHeartbeatTest, TheCommandLineEntryHandsTheInstallPathToTheWait) {
    Sender viewer(fake, "801", "Veldane Lumaro");
    viewer.start();
    const char* argv[] = {"Halvern", "1", "", kLumaro, "1", nullptr};
    try {
        halvern.runApp(5, const_cast<char* const*>(argv));
        ADD_FAILURE() << "runApp came back";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status, -1);
    }
    EXPECT_EQ(Output().back(), kRunningCLI);
}

TEST_F(WaitHeartbeatTest, TheLaunchCallbackWaitsInGraphicalModeAndKeepsTheLinkOnCancel) {
    fake.launchServices.applications = std::vector<std::string>{kLumaro};
    fake.process.setArguments({"Halvern", "0", "/Library/Pack", "", "1"});
    Sender viewer(fake, "901", "Veldane Lumaro");
    viewer.start();
    fake.alert.answers = {kCancelButton};
    HalvernAppDelegate delegate(fake.view);
    try {
        delegate.applicationDidFinishLaunching();
        ADD_FAILURE() << "the launch callback came back";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status, -1);
    }
    EXPECT_EQ(fake.alert.shown.size(), 1u);
    EXPECT_EQ(fake.fileSystem.createdLinks,
              (std::vector<std::pair<std::string, std::string>>{{"/Library/Pack", kLumaro}}));
    EXPECT_EQ(Output().back(), kCancel);
}

}  // namespace
}  // namespace waittest
