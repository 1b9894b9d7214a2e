// The graphical installation: the alert when no viewer is valid, the viewer
// choice panel and its filter, the link, the launch callback, and the alert
// operation itself.

#include "HalvernAppDelegate.h"
#include "LogicTestSupport.h"
#include "ShowAlert.h"

namespace {

constexpr const char* kPack = "/Library/Lumaro Pack";
constexpr const char* kOther = "/Other/Veldane Lumaro.app";
constexpr const char* kOld = "/Old/Veldane Lumaro.app";
constexpr const char* kOpening = "Opening a panel for user to choose the Lumaro.";
constexpr const char* kGUIFailure = "Could not obtain a valid Lumaro application to install into. Installation failure.";
using Lines = std::vector<std::string>;
using Links = std::vector<std::pair<std::string, std::string>>;

class GraphicalInstallTest : public HalvernTest {
protected:
    void SetUp() override {
        UseTexts();
        fake.strings.entries["Veldane Lumaro"] = "Lumaro title";
        fake.strings.entries["ChooseLumaro"] = "Choose one";
        fake.strings.entries["OK"] = "Okay";
        Viewer(kLumaro, "17.8.30051");
        Viewer(kOther, "18.0.0");
        Viewer(kOld, "17.8.30050");
    }
    void Viewer(const std::string& path, const std::string& version, const std::string& track = "2017") {
        fake.bundles.addLumaro(path, track, version);
        fake.fileSystem.addFolder(path);
    }
    void Handlers(std::vector<std::string> paths) { fake.launchServices.applications = std::move(paths); }

    std::optional<std::string> Install(std::optional<std::string> source = std::string(kPack)) {
        Argv argv{"Halvern", "0", source.value_or(""), "/ignored/position3.app", "0"};
        return halvern.GUIInstallToDestination(std::nullopt, source, argv.span());
    }
    // The lines from the first that starts with from.
    Lines LinesFrom(const std::string& from) const {
        const Lines all = fake.console.lines();
        auto it = std::find_if(all.begin(), all.end(), [&](const std::string& line) { return line.starts_with(from); });
        return Lines(it, all.end());
    }
    // The panel answers OK with path.
    void PanelChooses(const std::string& path) {
        fake.openPanel.response = platform::OpenPanel::kOKButton;
        fake.openPanel.urls = {path};
    }
};

// --- No valid viewer ---------------------------------------------------------------

TEST_F(GraphicalInstallTest, NoValidViewerShowsTheNotFoundTextInANoticeAlert) {
    Handlers({"/usr/bin/evince"});
    EXPECT_EQ(Install(), std::nullopt);

    ASSERT_EQ(fake.alert.shown.size(), 1u);
    EXPECT_EQ(fake.alert.shown[0].messageText, "Lumaro title");
    EXPECT_EQ(fake.alert.shown[0].informativeText, kNotFoundReason);
    EXPECT_EQ(fake.alert.shown[0].buttons, Lines{"Okay"});
    // The built text is shown, not kept; nothing is printed after the search.
    EXPECT_EQ(halvern.getMsgDialogueText(), std::nullopt);
    EXPECT_EQ(fake.console.lines().back(), "PDF Handler found: /usr/bin/evince.");
    EXPECT_TRUE(fake.fileSystem.createdLinks.empty());
    EXPECT_TRUE(fake.openPanel.runs.empty());
}

TEST_F(GraphicalInstallTest, AViewerOneBuildTooOldShowsTheVersionLowerText) {
    Handlers({kOld});
    EXPECT_EQ(Install(), std::nullopt);
    ASSERT_EQ(fake.alert.shown.size(), 1u);
    EXPECT_EQ(fake.alert.shown[0].informativeText, kVersionReason);
}

TEST_F(GraphicalInstallTest, AnEmptyReasonIsShownAsItIsOnlyAMissingOneBecomesTheNotFoundText) {
    fake.strings.entries["LumaroVersionNumberLower"] = "";
    Handlers({kOld});
    EXPECT_EQ(Install(), std::nullopt);
    EXPECT_EQ(halvern.getMsgDialogueText(), "");
    ASSERT_EQ(fake.alert.shown.size(), 1u);
    EXPECT_EQ(fake.alert.shown[0].informativeText, "");
}

TEST_F(GraphicalInstallTest, WithoutAnyHandlerTheNotFoundTextIsShown) {
    Handlers({});
    fake.launchServices.applications.reset();
    EXPECT_EQ(Install(), std::nullopt);
    ASSERT_EQ(fake.alert.shown.size(), 1u);
    EXPECT_EQ(fake.alert.shown[0].informativeText, kNotFoundReason);
    EXPECT_EQ(fake.console.lines().back(), "No PDF handler found by the OS.");
}

// --- One viewer, or no pack link path --------------------------------------------------

TEST_F(GraphicalInstallTest, TheOnlyValidViewerIsLinkedWithoutAPanel) {
    Handlers({kOld, kLumaro});
    EXPECT_EQ(Install(), kLumaro);

    EXPECT_EQ(fake.console.lines().back(), "Found the only Veldane Lumaro Next at location " + std::string(kLumaro));
    EXPECT_EQ(fake.fileSystem.createdLinks, (Links{{kPack, kLumaro}}));
    EXPECT_TRUE(fake.openPanel.runs.empty());
    EXPECT_TRUE(fake.alert.shown.empty());
}

TEST_F(GraphicalInstallTest, WithoutAPackLinkPathTheFirstViewerIsReturnedUnlinkedEvenWhenThereAreSeveral) {
    Handlers({kOther, kLumaro});
    for (const std::optional<std::string>& source : {std::optional<std::string>(""), std::optional<std::string>()}) {
        fake.console.output.clear();
        EXPECT_EQ(Install(source), kOther);
        EXPECT_EQ(fake.console.lines().back(), "Found Veldane Lumaro Next at location " + std::string(kOther));
    }
    EXPECT_TRUE(fake.fileSystem.createdLinks.empty());
    EXPECT_TRUE(fake.openPanel.runs.empty());
}

TEST_F(GraphicalInstallTest, ALinkThatCannotBeMadePrintsBothErrorLines) {
    Handlers({kLumaro});
    fake.fileSystem.linkFailure = "File exists";
    EXPECT_EQ(Install(), std::nullopt);
    EXPECT_EQ(LinesFrom("Found the only"),
              (Lines{"Found the only Veldane Lumaro Next at location " + std::string(kLumaro),
                     "Halvern:ERROR: Could not create symbolic link from " + std::string(kPack) + " to " + kLumaro +
                         ". Installation failure.",
                     "Halvern:ERROR: File exists"}));
}

// --- Several viewers: the panel ------------------------------------------------------------

TEST_F(GraphicalInstallTest, APanelOpensAtAValidDefaultLocationEvenWhenTheSystemListedAnotherViewerFirst) {
    Handlers({kOther, kLumaro});
    PanelChooses(kLumaro);
    EXPECT_EQ(Install(), kLumaro);

    ASSERT_EQ(fake.openPanel.runs.size(), 1u);
    const platform::OpenPanelOptions& panel = fake.openPanel.runs[0];
    EXPECT_EQ(panel.directory, "/Applications");
    EXPECT_EQ(panel.nameFieldStringValue, "Veldane Lumaro.app");
    EXPECT_EQ(panel.title, "Lumaro title");
    EXPECT_EQ(panel.message, "Choose one");
    EXPECT_EQ(panel.allowedFileTypes, Lines{"app"});
    EXPECT_EQ(panel.delegate, &halvern);

    Lines expected{kOpening};
    Append(expected, ValidationLines(kLumaro, "17.8.30051", "2017"));
    Append(expected, {"Found Veldane Lumaro Next at default location /Applications/Veldane Lumaro.app",
                      "The file chosen in panel is /Applications/Veldane Lumaro.app."});
    EXPECT_EQ(LinesFrom(kOpening), expected);
    EXPECT_EQ(fake.fileSystem.createdLinks, (Links{{kPack, kLumaro}}));
}

TEST_F(GraphicalInstallTest, WithNothingAtTheDefaultLocationThePanelOpensAtTheFirstViewer) {
    fake.bundles.bundles.erase(kLumaro);
    fake.fileSystem.entries.erase(kLumaro);
    Viewer("/Apps/Beta/Lumaro Beta.app", "17.9.0");
    Handlers({kOther, "/Apps/Beta/Lumaro Beta.app"});
    PanelChooses("/Apps/Beta/Lumaro Beta.app");
    EXPECT_EQ(Install(), "/Apps/Beta/Lumaro Beta.app");

    ASSERT_EQ(fake.openPanel.runs.size(), 1u);
    EXPECT_EQ(fake.openPanel.runs[0].directory, "/Other");
    EXPECT_EQ(fake.openPanel.runs[0].nameFieldStringValue, "Veldane Lumaro.app");
    EXPECT_EQ(LinesFrom(kOpening),
              (Lines{kOpening,
                     "No Veldane Lumaro Next found at /Applications/Veldane Lumaro.app. Opening the panel with the "
                     "first Veldane Lumaro Next found",
                     "The file chosen in panel is /Apps/Beta/Lumaro Beta.app."}));
    EXPECT_EQ(fake.fileSystem.createdLinks, (Links{{kPack, "/Apps/Beta/Lumaro Beta.app"}}));
}

TEST_F(GraphicalInstallTest, AnInvalidViewerAtTheDefaultLocationIsPassedOver) {
    fake.bundles.addLumaro(kLumaro, "2018", "18.0.0");  // another track
    Viewer("/Apps/Second.app", "17.8.30051");
    Handlers({kOther, "/Apps/Second.app"});
    fake.openPanel.response = platform::OpenPanel::kCancelButton;
    EXPECT_EQ(Install(), std::nullopt);

    EXPECT_EQ(fake.openPanel.runs.at(0).directory, "/Other");
    Lines expected{kOpening};
    Append(expected, ValidationLines(kLumaro, "18.0.0", "2018"));
    expected.push_back("The default application /Applications/Veldane Lumaro.app is not a valid Veldane Lumaro Next.");
    EXPECT_EQ(LinesFrom(kOpening), expected);
    // The rejection leaves its reason, which nothing reads.
    EXPECT_EQ(halvern.getMsgDialogueText(), kTrackReason);
}

TEST_F(GraphicalInstallTest, ACancelledPanelMakesNoLinkAndPrintsNothingMore) {
    Handlers({kOther, kLumaro});
    fake.openPanel.response = platform::OpenPanel::kCancelButton;
    fake.openPanel.urls = {kLumaro};  // not read after a cancel
    EXPECT_EQ(Install(), std::nullopt);

    EXPECT_EQ(fake.console.lines().back(), "Found Veldane Lumaro Next at default location /Applications/Veldane Lumaro.app");
    EXPECT_TRUE(fake.fileSystem.createdLinks.empty());
    EXPECT_TRUE(fake.alert.shown.empty());
}

TEST_F(GraphicalInstallTest, APanelConfirmedWithoutAChoiceCountsAsCancelled) {
    Handlers({kOther, kLumaro});
    fake.openPanel.response = platform::OpenPanel::kOKButton;
    fake.openPanel.urls = {};
    EXPECT_EQ(Install(), std::nullopt);
    EXPECT_TRUE(fake.fileSystem.createdLinks.empty());
}

TEST_F(GraphicalInstallTest, ObtainInstallPathLeavesTheVariableAloneUnlessTheUserChose) {
    std::optional<std::string> chosen;
    fake.openPanel.response = platform::OpenPanel::kCancelButton;
    EXPECT_EQ(halvern.obtainInstallPathFromUser(&chosen, kOther), -1);
    EXPECT_EQ(chosen, std::nullopt);

    PanelChooses(kOther);
    EXPECT_EQ(halvern.obtainInstallPathFromUser(&chosen, kOther), 0);
    EXPECT_EQ(chosen, kOther);
}

// --- The panel's filter ---------------------------------------------------------------------

TEST_F(GraphicalInstallTest, ThePanelShowsOnlyValidViewersAmongBundlesAndEverythingElse) {
    Viewer("/Apps/Lumaro Beta.app", "18.0.0", "2018");
    fake.bundles.add("/Apps/Preview.app", {{"CFBundleIdentifier", "com.example.Preview"}});
    fake.openPanel.entries = {kLumaro, kOld, "/Apps/Lumaro Beta.app", "/Apps/Preview.app", "/Apps/Utilities",
                              "/Apps/Read me.pdf", "/Apps/Missing.app", "/Apps/app"};
    Handlers({kOther, kLumaro});
    Install();

    EXPECT_EQ(fake.openPanel.shownEntries, (Lines{kLumaro, "/Apps/Utilities", "/Apps/Read me.pdf", "/Apps/app"}));
}

TEST_F(GraphicalInstallTest, TheFilterIsSilentAndLeavesTheReasonAlone) {
    halvern.setMsgDialogueText("earlier reason");
    platform::OpenPanel& panel = fake.openPanel;
    EXPECT_FALSE(halvern.panelShouldShowFilename(panel, kOld));
    EXPECT_TRUE(halvern.panelShouldShowFilename(panel, kLumaro));
    EXPECT_EQ(fake.console.output, "");
    EXPECT_TRUE(fake.systemLog.messages.empty());
    EXPECT_EQ(halvern.getMsgDialogueText(), "earlier reason");
}

// --- The alert --------------------------------------------------------------------------------

TEST(ShowAlertTest, ButtonsTitleAndTextAllPassTheLookup) {
    FakePlatform fake;
    fake.strings.entries = {{"Retry", "Wiederholen"}, {"Cancel", "Abbrechen"}, {"OK", "Gut"},
                            {"Veldane Lumaro", "Titel"}, {"Already a text", "looked up again"}};
    fake.alert.answers = {1001, 1000};

    EXPECT_EQ(ShowAlert(fake.view, "Veldane Lumaro", "Already a text", true), 1001);
    EXPECT_EQ(ShowAlert(fake.view, "Not a key", "Plain text", false), 1000);

    ASSERT_EQ(fake.alert.shown.size(), 2u);
    EXPECT_EQ(fake.alert.shown[0].buttons, (Lines{"Wiederholen", "Abbrechen"}));
    EXPECT_EQ(fake.alert.shown[0].messageText, "Titel");
    EXPECT_EQ(fake.alert.shown[0].informativeText, "looked up again");
    EXPECT_EQ(fake.alert.shown[1].buttons, Lines{"Gut"});
    EXPECT_EQ(fake.alert.shown[1].messageText, "Not a key");
    EXPECT_EQ(fake.alert.shown[1].informativeText, "Plain text");
}

TEST(ShowAlertTest, WithoutATableTheButtonsReadTheirKeys) {
    FakePlatform fake;
    ShowAlert(fake.view, "T", "X", true);
    ShowAlert(fake.view, "T", "X", false);
    EXPECT_EQ(fake.alert.shown.at(0).buttons, (Lines{"Retry", "Cancel"}));
    EXPECT_EQ(fake.alert.shown.at(1).buttons, Lines{"OK"});
}

// --- The launch callback and the graphical entry ---------------------------------------------

class LaunchTest : public GraphicalInstallTest {
protected:
    // Runs the launch callback with the process's argument vector; returns the
    // status it ended the process with.
    std::optional<int> Launch(std::vector<std::string> arguments) {
        fake.process.setArguments(std::move(arguments));
        HalvernAppDelegate delegate(fake.view);
        try {
            delegate.applicationDidFinishLaunching();
        } catch (const ProcessExit& exit) {
            return exit.status;
        }
        return std::nullopt;
    }
};

TEST_F(LaunchTest, AnotherModeFlagEndsAtOnceWithoutAWord) {
    EXPECT_EQ(Launch({"Halvern", "1", kPack, kLumaro, "0"}), -1);
    EXPECT_EQ(Launch({"Halvern", "0", kPack}), -1);
    EXPECT_EQ(fake.console.output, "");
    EXPECT_TRUE(fake.launchServices.queried.empty());
}

TEST_F(LaunchTest, InstalledWithoutTheCheckEndsWith0) {
    Handlers({kLumaro});
    EXPECT_EQ(Launch({"Halvern", "0", kPack, "/position3/is/not/read.app", "0"}), 0);
    EXPECT_EQ(fake.fileSystem.createdLinks, (Links{{kPack, kLumaro}}));
    EXPECT_EQ(fake.process.exits, std::vector<int>{0});
}

TEST_F(LaunchTest, AFailedInstallationPrintsTheFailureLineAndEndsWithMinus1) {
    Handlers({kOld});
    EXPECT_EQ(Launch({"Halvern", "0", kPack, kLumaro, "1"}), -1);
    EXPECT_EQ(fake.console.lines().back(), kGUIFailure);
    EXPECT_EQ(fake.alert.shown.size(), 1u);

    fake.console.output.clear();
    Handlers({kOther, kLumaro});
    fake.openPanel.response = platform::OpenPanel::kCancelButton;
    EXPECT_EQ(Launch({"Halvern", "0", kPack, kLumaro, "1"}), -1);
    EXPECT_EQ(fake.console.lines().back(), kGUIFailure);
}

TEST_F(LaunchTest, APackLinkPathThatIsNotUTF8InstallsWithoutALink) {
    Handlers({kLumaro});
    EXPECT_EQ(Launch({"Halvern", "0", "/Pack\xE9", kLumaro, "0"}), 0);
    EXPECT_TRUE(fake.fileSystem.createdLinks.empty());
    EXPECT_EQ(fake.console.lines().back(), "Found Veldane Lumaro Next at location " + std::string(kLumaro));
}

TEST_F(LaunchTest, GraphicalModeStartsTheFrameworkWithTheUnchangedArguments) {
    Handlers({kLumaro});
    Argv argv{"Halvern", "0", kPack, "", "0"};
    fake.process.setArguments({"Halvern", "0", kPack, "", "0"});
    try {
        halvern.runApp(argv.argc(), argv.argv());
        ADD_FAILURE() << "the launch callback did not end the process";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status, 0);
    }
    EXPECT_EQ(fake.application.starts, (std::vector<Lines>{{"Halvern", "0", kPack, "", "0"}}));
    EXPECT_EQ(fake.fileSystem.createdLinks, (Links{{kPack, kLumaro}}));
}

TEST_F(LaunchTest, AFrameworkThatCannotStartGivesOneErrorLineAndMinus1) {
    fake.application.startFailure = "Cannot start the graphical mode: no display is set.";
    Argv argv{"Halvern", "0", kPack, kLumaro, "1"};
    EXPECT_EQ(halvern.runApp(argv.argc(), argv.argv()), -1);
    EXPECT_EQ(fake.console.output, "Halvern:ERROR: Cannot start the graphical mode: no display is set.\n");
    EXPECT_TRUE(fake.launchServices.queried.empty());
}

}  // namespace
