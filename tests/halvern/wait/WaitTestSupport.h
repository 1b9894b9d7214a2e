#pragma once
// Shared set-up of the tests of the wait for running viewers. The wait reaches
// the running-instance detection, which works on the default platform; so the
// Halvern under test works on the same (process-wide) fakes, which each test
// resets. Which way the detection goes (heartbeats or the scan) is decided once
// per process: each test program sets it up before its first test.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FakePlatform.h"
#include "Halvern.h"
#include "TolmBroadcast.h"
#include "TolmHeartbeat.h"

namespace waittest {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

inline constexpr const char* kLumaro = "/Applications/Veldane Lumaro.app";
inline constexpr const char* kSystemVersion = "/System/Library/CoreServices/SystemVersion.plist";

inline constexpr const char* kRunningCLI =
    "Halvern:ERROR: There is an instance of Veldane Lumaro running. Installation failure.";
inline constexpr const char* kInBrowserCLI =
    "Halvern:ERROR: There is an instance of Veldane Lumaro running inside a browser. Installation failure.";
inline constexpr const char* kRunningGUI = "Veldane Lumaro is running.";
inline constexpr const char* kInBrowserGUI = "Veldane Lumaro is running inside a browser.";
inline constexpr const char* kRetry = "User chose Retry.";
inline constexpr const char* kCancel = "User chose Cancel.";
inline constexpr int kRetryButton = 1000;
inline constexpr int kCancelButton = 1001;

// Texts of the "Localizable" table that show what was looked up and filled.
inline void UseTexts(FakePlatform& fake) {
    fake.strings.entries = {{"Veldane Lumaro", "Lumaro (title)"},
                            {"Lumaro (title)", "Lumaro (title, looked up again)"},
                            {"LumaroRunningStandAlone", "Quit Lumaro, then retry."},
                            {"LumaroRunningBrowser", "Lumaro runs in %s. Quit %s, then retry."},
                            {"Retry", "Nochmal"},
                            {"Cancel", "Abbrechen"}};
}

class WaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Whatever an earlier test of this process left behind.
        fake.console.output.clear();
        fake.console.writes.clear();
        fake.alert.answers.clear();
        fake.alert.onShow = nullptr;
        fake.alert.shown.clear();
        fake.process.exits.clear();
        fake.runLoop.pending.clear();
        fake.runLoop.scheduled.clear();
        fake.runLoop.runLimits.clear();
        fake.runLoop.stops = 0;
        fake.runLoop.onRun = nullptr;
        fake.notificationCenter.registrations.clear();
        fake.notificationCenter.calls.clear();
        fake.notificationCenter.addFailure.reset();
        fake.notificationCenter.lostConnection.reset();
        fake.workspace.applications.clear();
        fake.workspace.failingSnapshot.reset();
        fake.workspace.snapshots = 0;
        fake.strings.entries.clear();
        fake.fileSystem.entries.clear();
        fake.fileSystem.createdLinks.clear();
        fake.launchServices.applications.reset();
        // Heartbeats of earlier tests are long stale.
        fake.clock.advance(1h);
        fake.bundles.addLumaro(kLumaro, "2017", "17.8.30051");
        fake.fileSystem.addFolder(kLumaro);
        // Set, to show that the wait itself clears it before it runs the loop.
        g_stopTheRunLoop = true;
    }

    // Runs the wait for the viewer at kLumaro; the exit status it ended the
    // process with, or nullopt when it returned.
    std::optional<int> Wait(bool commandLine) {
        waitStart = fake.clock.current;
        try {
            halvern.checkLumaroRunningAndInstallIfNotRunning(commandLine, kLumaro);
        } catch (const ProcessExit& exit) {
            return exit.status;
        }
        return std::nullopt;
    }
    std::optional<int> WaitCLI() { return Wait(true); }
    std::optional<int> WaitGUI() { return Wait(false); }

    // Seconds since the wait started, on the fake clock.
    double Elapsed() const { return std::chrono::duration<double>(fake.clock.current - waitStart).count(); }

    // The wait's part of the output.
    Lines Output() const { return fake.console.lines(); }

    FakePlatform& fake = DefaultFakePlatform();
    Halvern halvern{fake.view};
    platform::Clock::TimePoint waitStart{};
};

}  // namespace waittest
