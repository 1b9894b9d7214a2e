// The command-line installation: position 3, the search, the not-found message
// and the symbolic link.

#include "LogicTestSupport.h"

namespace {

constexpr const char* kPack = "/Library/Lumaro/Pack";

class CLIInstallTest : public HalvernTest {
protected:
    void SetUp() override {
        UseTexts();
        fake.bundles.addLumaro(kLumaro, "2017", "17.8.30051");
        fake.fileSystem.addFolder(kLumaro);
        fake.bundles.addLumaro("/Other/Lumaro.app", "2017", "18.0.0");
        fake.fileSystem.addFolder("/Other/Lumaro.app");
        fake.bundles.addLumaro("/Old/Lumaro.app", "2017", "17.0.0");
        fake.fileSystem.addFolder("/Old/Lumaro.app");
        fake.bundles.addLumaro("/Beta/Lumaro.app", "2018", "18.0.0");
        fake.fileSystem.addFolder("/Beta/Lumaro.app");
        fake.launchServices.applications = std::vector<std::string>{};
    }

    std::optional<std::string> Install(std::optional<std::string> source, const std::string& position3) {
        Argv argv{"Halvern", "1", source.value_or(""), position3, "0"};
        return halvern.CLIInstallToDestination(std::nullopt, source, argv.span());
    }

    static std::string Initial(const std::string& path) {
        return "The initial path provided in the preinstall script is " + path + ".";
    }
    static std::string NotLumaro(const std::string& path) {
        return "Halvern:ERROR: The application (" + path + ") specified by preinstall is not Veldane Lumaro Next.";
    }
    static constexpr const char* kTrying = "Trying to upgrade the first Veldane Lumaro Next found by the OS.";
    static std::string Found(const std::string& path) { return "Found a valid Veldane Lumaro Next at " + path + "."; }
};

TEST_F(CLIInstallTest, ValidPosition3IsLinkedWithoutAskingTheSystem) {
    EXPECT_EQ(Install(kPack, kLumaro), kLumaro);

    std::vector<std::string> expected{Initial(kLumaro)};
    Append(expected, ValidationLines(kLumaro, "17.8.30051", "2017"));
    expected.push_back(Found(kLumaro));
    EXPECT_EQ(fake.console.lines(), expected);
    EXPECT_TRUE(fake.launchServices.queried.empty());
    EXPECT_EQ(fake.fileSystem.createdLinks, (std::vector<std::pair<std::string, std::string>>{{kPack, kLumaro}}));
    EXPECT_TRUE(fake.systemLog.messages.empty());
}

TEST_F(CLIInstallTest, LinkTargetIsPosition3CharacterForCharacter) {
    const std::string unusual = "/Apps/./../Apps//Veldane Lumaro.app/";
    fake.bundles.addLumaro(unusual, "2017", "17.8.30051");
    fake.fileSystem.addFolder(unusual);

    EXPECT_EQ(Install(kPack, unusual), unusual);
    EXPECT_EQ(fake.fileSystem.createdLinks.at(0).second, unusual);
    EXPECT_EQ(fake.console.lines().back(), Found(unusual));
}

TEST_F(CLIInstallTest, RelativePosition3IsMadeAbsoluteOnceAgainstTheWorkingDirectory) {
    // The system would find the relative path from the working directory; the
    // link's target text, though, is read from the link's own folder. The
    // lines about what the script provided quote it as given.
    fake.fileSystem.currentDirectory = "/Applications";
    fake.bundles.addLumaro("Veldane Lumaro.app", "2017", "17.8.30051");
    fake.fileSystem.addFolder("Veldane Lumaro.app");

    EXPECT_EQ(Install(kPack, "Veldane Lumaro.app"), kLumaro);
    std::vector<std::string> expected{Initial("Veldane Lumaro.app")};
    Append(expected, ValidationLines(kLumaro, "17.8.30051", "2017"));
    expected.push_back(Found(kLumaro));
    EXPECT_EQ(fake.console.lines(), expected);
    EXPECT_EQ(fake.fileSystem.createdLinks, (std::vector<std::pair<std::string, std::string>>{{kPack, kLumaro}}));

    fake.console.output.clear();
    EXPECT_EQ(Install("/Library/Other Pack", "Missing.app"), std::nullopt);
    EXPECT_EQ(fake.console.lines(), (std::vector<std::string>{Initial("Missing.app"), NotLumaro("Missing.app"), kTrying}));

    // Without a working directory a relative path cannot be used.
    fake.console.output.clear();
    fake.fileSystem.currentDirectory.reset();
    EXPECT_EQ(Install("/Library/Other Pack", "Veldane Lumaro.app"), std::nullopt);
    EXPECT_EQ(fake.console.lines(), (std::vector<std::string>{Initial("Veldane Lumaro.app"),
                                                              NotLumaro("Veldane Lumaro.app"), kTrying}));
}

TEST_F(CLIInstallTest, InvalidPosition3FallsBackToTheSearch) {
    fake.launchServices.applications = std::vector<std::string>{"/Other/Lumaro.app"};

    EXPECT_EQ(Install(kPack, "/Old/Lumaro.app"), "/Other/Lumaro.app");

    std::vector<std::string> expected{Initial("/Old/Lumaro.app")};
    Append(expected, ValidationLines("/Old/Lumaro.app", "17.0.0", "2017"));
    expected.push_back(NotLumaro("/Old/Lumaro.app"));
    expected.push_back(kTrying);
    expected.push_back("PDF Handler found: /Other/Lumaro.app.");
    Append(expected, ValidationLines("/Other/Lumaro.app", "18.0.0", "2017"));
    expected.push_back(Found("/Other/Lumaro.app"));
    EXPECT_EQ(fake.console.lines(), expected);
    EXPECT_EQ(fake.fileSystem.createdLinks.at(0), std::make_pair(std::string(kPack), std::string("/Other/Lumaro.app")));
    // Only the validation logged: a viewer was found, so no not-found message.
    EXPECT_EQ(fake.systemLog.messages, std::vector<std::string>{kVersionReason});
}

TEST_F(CLIInstallTest, MissingPosition3IsNotValidated) {
    fake.bundles.addLumaro("/Gone/Lumaro.app", "2017", "18.0.0");  // Info.plist known, but nothing on disk

    EXPECT_EQ(Install(kPack, "/Gone/Lumaro.app"), std::nullopt);
    EXPECT_EQ(fake.console.lines(), (std::vector<std::string>{Initial("/Gone/Lumaro.app"),
                                                              NotLumaro("/Gone/Lumaro.app"), kTrying}));
    EXPECT_EQ(std::count(fake.bundles.opened.begin(), fake.bundles.opened.end(), "/Gone/Lumaro.app"), 0);
}

TEST_F(CLIInstallTest, EmptyPosition3PrintsEmptyValues) {
    EXPECT_EQ(Install(kPack, ""), std::nullopt);
    EXPECT_EQ(fake.console.lines(),
              (std::vector<std::string>{"The initial path provided in the preinstall script is .",
                                        "Halvern:ERROR: The application () specified by preinstall is not Veldane "
                                        "Lumaro Next.",
                                        kTrying}));
}

TEST_F(CLIInstallTest, Position3ThatIsNotUTF8IsPrintedAsItsBytesAndNeverOpened) {
    const std::string latin1 = "/Apps/Lumaro \xE9t\xE9.app";
    fake.fileSystem.addFolder(latin1);
    fake.bundles.addLumaro(latin1, "2017", "18.0.0");

    EXPECT_EQ(Install(kPack, latin1), std::nullopt);
    EXPECT_EQ(fake.console.lines(), (std::vector<std::string>{Initial(latin1), NotLumaro(latin1), kTrying}));
    EXPECT_EQ(std::count(fake.bundles.opened.begin(), fake.bundles.opened.end(), latin1), 0);
}

TEST_F(CLIInstallTest, NothingFoundLogsTheFilledNotFoundText) {
    EXPECT_EQ(Install(kPack, "/nowhere"), std::nullopt);
    EXPECT_EQ(fake.systemLog.messages, std::vector<std::string>{kNotFoundReason});
    EXPECT_TRUE(fake.fileSystem.createdLinks.empty());
    EXPECT_EQ(fake.console.lines().back(), kTrying);
}

TEST_F(CLIInstallTest, NotFoundTextWithoutPlaceholdersOrTableIsLoggedAsItIs) {
    fake.strings.entries["LumaroNotFound"] = "Only @CHANNEL_NAME@, 100% %s";
    EXPECT_EQ(Install(kPack, "/nowhere"), std::nullopt);
    EXPECT_EQ(fake.systemLog.messages.back(), "Only 2017, 100% %s");

    fake.strings.entries["LumaroNotFound"] = "No viewer.";
    EXPECT_EQ(Install(kPack, "/nowhere"), std::nullopt);
    EXPECT_EQ(fake.systemLog.messages.back(), "No viewer.");

    fake.strings.entries.clear();
    EXPECT_EQ(Install(kPack, "/nowhere"), std::nullopt);
    EXPECT_EQ(fake.systemLog.messages.back(), "LumaroNotFound");
}

TEST_F(CLIInstallTest, NotFoundPlaceholdersAreFilledChannelFirst) {
    // The two placeholders share an "@" here: filling the channel first leaves
    // no version placeholder behind, filling the version first would.
    fake.strings.entries["LumaroNotFound"] = "@CHANNEL_NAME@FULLVERSIONNUMBER@";
    EXPECT_EQ(Install(kPack, "/nowhere"), std::nullopt);
    EXPECT_EQ(fake.systemLog.messages, std::vector<std::string>{"2017FULLVERSIONNUMBER@"});
}

TEST_F(CLIInstallTest, EmptyReasonTextLogsTheNotFoundText) {
    // A validation failure whose text is empty leaves no reason to show.
    fake.strings.entries["LumaroVersionNumberLower"] = "";
    EXPECT_EQ(Install(kPack, "/Old/Lumaro.app"), std::nullopt);
    EXPECT_EQ(halvern.getMsgDialogueText(), "");
    EXPECT_EQ(fake.systemLog.messages, (std::vector<std::string>{"", kNotFoundReason}));
}

TEST_F(CLIInstallTest, NothingFoundLogsTheReasonOfTheLastFailingCandidate) {
    // Position 3 fails on its version, a handler later on its track: the track
    // reason is the one logged as the not-found message.
    fake.launchServices.applications = std::vector<std::string>{"/Beta/Lumaro.app"};

    EXPECT_EQ(Install(kPack, "/Old/Lumaro.app"), std::nullopt);
    EXPECT_EQ(fake.systemLog.messages, (std::vector<std::string>{kVersionReason, kTrackReason, kTrackReason}));
    EXPECT_EQ(halvern.getMsgDialogueText(), kTrackReason);
}

TEST_F(CLIInstallTest, EmptyOrAbsentSourceSucceedsWithoutLink) {
    EXPECT_EQ(Install(std::string(), kLumaro), kLumaro);
    EXPECT_EQ(Install(std::nullopt, kLumaro), kLumaro);
    EXPECT_TRUE(fake.fileSystem.createdLinks.empty());
    EXPECT_EQ(fake.console.lines().back(), Found(kLumaro));
}

TEST_F(CLIInstallTest, SomethingAtTheLinkPathFailsWithTwoErrorLines) {
    fake.fileSystem.addFile(kPack);

    EXPECT_EQ(Install(kPack, kLumaro), std::nullopt);
    const std::vector<std::string> lines = fake.console.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], Found(kLumaro));
    EXPECT_EQ(lines[lines.size() - 2],
              "Halvern:ERROR: Could not create symbolic link from /Library/Lumaro/Pack to "
              "/Applications/Veldane Lumaro.app. Installation failure.");
    EXPECT_EQ(lines.back(), "Halvern:ERROR: Could not create a symbolic link at /Library/Lumaro/Pack: File exists");
    EXPECT_TRUE(fake.fileSystem.createdLinks.empty());
}

TEST_F(CLIInstallTest, LinkFailureShowsTheSystemsReason) {
    fake.fileSystem.linkFailure = "Could not create a symbolic link at /ro/Pack: Read-only file system";
    EXPECT_EQ(Install("/ro/Pack", kLumaro), std::nullopt);
    EXPECT_EQ(fake.console.lines().back(),
              "Halvern:ERROR: Could not create a symbolic link at /ro/Pack: Read-only file system");
}

TEST_F(CLIInstallTest, TheLinkIsTheOnlyChangeAndTheLastStep) {
    fake.launchServices.applications = std::vector<std::string>{"/Other/Lumaro.app"};
    EXPECT_EQ(Install(kPack, "/nowhere"), "/Other/Lumaro.app");

    const std::vector<std::string>& calls = fake.fileSystem.calls;
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::string("link ") + kPack + " -> /Other/Lumaro.app");
    // Besides the link, only the probe file and its folder came and went.
    EXPECT_EQ(fake.fileSystem.createdFolders, std::vector<std::string>{"/tmp/Halvern-000001"});
    EXPECT_EQ(fake.fileSystem.createdFiles, std::vector<std::string>{"/tmp/Halvern-000001/TempFileForLangPack.pdf"});
    EXPECT_EQ(fake.fileSystem.removedItems,
              (std::vector<std::string>{"/tmp/Halvern-000001/TempFileForLangPack.pdf", "/tmp/Halvern-000001"}));
}

}  // namespace
