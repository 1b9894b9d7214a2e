// The search among the system's PDF handlers: the probe file, the failure
// table, the lines in order, and the out-variable.

#include "LogicTestSupport.h"

namespace {

// The probe file lies in the run's private folder, which the fake names so.
constexpr const char* kFolder = "/tmp/Halvern-000001";
constexpr const char* kProbe = "/tmp/Halvern-000001/TempFileForLangPack.pdf";

class FindLumaroTest : public HalvernTest {
protected:
    void SetUp() override {
        UseTexts();
        fake.bundles.addLumaro("/A/Good.app", "2017", "17.8.30051");
        fake.bundles.addLumaro("/A/Good2.app", "2017", "18.0.0");
        fake.bundles.addLumaro("/A/Good3.app", "2017", "17.9.0");
        fake.bundles.addLumaro("/A/Old.app", "2017", "17.8.30050");
        fake.bundles.addLumaro("/A/Beta.app", "2018", "18.0.0");
        fake.bundles.add("/A/Reader.app", {{"CFBundleIdentifier", "com.example.Reader"}});
    }
    static std::string Found(const std::string& path) { return "PDF Handler found: " + path + "."; }

    std::optional<std::string> destination;
};

// --- The failure table --------------------------------------------------------

TEST_F(FindLumaroTest, NoTemporaryDirectory) {
    fake.fileSystem.temporary.reset();
    fake.launchServices.applications = std::vector<std::string>{"/A/Good.app"};

    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(fake.console.output, "error: FindLumaro:: Unable to determine user's temporary directory.\n");
    EXPECT_EQ(destination, std::nullopt);
    EXPECT_TRUE(fake.launchServices.queried.empty());
}

TEST_F(FindLumaroTest, ProbeFileCannotBeCreated) {
    fake.fileSystem.failCreate = true;
    fake.launchServices.applications = std::vector<std::string>{"/A/Good.app"};

    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(fake.console.output, std::string("error: FindLumaro:: Unable to create the probe file: Could not create ") +
                                       kProbe + ": Permission denied\n");
    EXPECT_EQ(destination, std::nullopt);
    EXPECT_TRUE(fake.launchServices.queried.empty());
    EXPECT_EQ(fake.fileSystem.removedItems, std::vector<std::string>{kFolder});

    // Nor can its private folder: the same line, with the folder's reason.
    fake.console.output.clear();
    fake.fileSystem.folderFailure = "Could not create a private folder in /tmp: Read-only file system";
    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(fake.console.output, "error: FindLumaro:: Unable to create the probe file: Could not create a private "
                                   "folder in /tmp: Read-only file system\n");
    EXPECT_TRUE(fake.launchServices.queried.empty());
}

TEST_F(FindLumaroTest, LinkPlantedAtTheSharedProbePathIsPassedBy) {
    // Anyone may plant a link at the fixed name in the shared folder; the
    // probe file lies in the run's own folder, so the search goes on and the
    // planted link stays as it is.
    fake.fileSystem.addLink("/tmp/TempFileForLangPack.pdf", "/etc/cron.d/planted");
    fake.launchServices.applications = std::vector<std::string>{"/A/Good.app"};

    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(destination, "/A/Good.app");
    EXPECT_EQ(fake.launchServices.queried, std::vector<std::string>{kProbe});
    EXPECT_TRUE(fake.fileSystem.has("/tmp/TempFileForLangPack.pdf"));
    EXPECT_FALSE(fake.fileSystem.has("/etc/cron.d/planted"));
    EXPECT_EQ(fake.fileSystem.createdFiles, std::vector<std::string>{kProbe});
    EXPECT_EQ(fake.fileSystem.removedItems, (std::vector<std::string>{kProbe, kFolder}));
}

TEST_F(FindLumaroTest, NoListStillRemovesTheProbeFileAndItsFolder) {
    fake.launchServices.applications.reset();

    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(fake.console.output, "No PDF handler found by the OS.\n");
    EXPECT_EQ(destination, std::nullopt);
    EXPECT_EQ(fake.fileSystem.removedItems, (std::vector<std::string>{kProbe, kFolder}));
}

TEST_F(FindLumaroTest, RemovalErrorHasNoLineEndAndTheSearchGoesOn) {
    fake.fileSystem.removeFailure = "Permission denied";
    fake.launchServices.applications = std::vector<std::string>{"/A/Reader.app", "/A/Good.app"};

    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(fake.console.output,
              "FindLumaro:: Error while trying to remove file(/tmp/Halvern-000001/TempFileForLangPack.pdf), error: "
              "Permission denied"
              "FindLumaro:: Error while trying to remove file(/tmp/Halvern-000001), error: Permission denied"
              "PDF Handler found: /A/Reader.app.\n"
              "PDF Handler found: /A/Good.app.\n"
              "Obtained the bundle for /A/Good.app ID as com.veldane.Lumaro. Now checking the bundle version.\n"
              "Obtained the bundle version as 17.8.30051\n"
              "Obtained the bundle track as 2017\n");
    EXPECT_EQ(destination, "/A/Good.app");
}

TEST_F(FindLumaroTest, NoValidHandlerPrintsEachAndLeavesTheVariableEmpty) {
    fake.launchServices.applications = std::vector<std::string>{"/usr/bin/evince", "/A/Old.app", "/A/Reader.app"};

    EXPECT_FALSE(halvern.FindLumaro(&destination));
    std::vector<std::string> expected{Found("/usr/bin/evince"), Found("/A/Old.app")};
    Append(expected, ValidationLines("/A/Old.app", "17.8.30050", "2017"));
    expected.push_back(Found("/A/Reader.app"));
    EXPECT_EQ(fake.console.lines(), expected);
    EXPECT_EQ(destination, std::nullopt);
    EXPECT_EQ(halvern.getMsgDialogueText(), kVersionReason);
    EXPECT_FALSE(fake.fileSystem.has(kProbe));
}

// --- The probe file -------------------------------------------------------------

TEST_F(FindLumaroTest, ProbeFileExistsDuringTheQueryAndIsGoneAfterwards) {
    fake.launchServices.applications = std::vector<std::string>{};
    bool existedDuringQuery = false;
    fake.launchServices.onQuery = [&](const std::string& path) { existedDuringQuery = fake.fileSystem.has(path); };

    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(fake.launchServices.queried, std::vector<std::string>{kProbe});
    EXPECT_TRUE(existedDuringQuery);
    EXPECT_EQ(fake.fileSystem.createdFolders, std::vector<std::string>{kFolder});
    EXPECT_EQ(fake.fileSystem.createdFiles, std::vector<std::string>{kProbe});
    EXPECT_EQ(fake.fileSystem.removedItems, (std::vector<std::string>{kProbe, kFolder}));
    // An empty list: no handler line, nothing found.
    EXPECT_EQ(fake.console.output, "");
    EXPECT_EQ(destination, std::nullopt);
}

TEST_F(FindLumaroTest, ExistingProbeFileIsUsedAsItIsThenRemoved) {
    fake.fileSystem.temporary = "/var/tmp/user/";  // a trailing slash gives no double slash
    const std::string probe = "/var/tmp/user/Halvern-000001/TempFileForLangPack.pdf";
    fake.fileSystem.addFile(probe);
    fake.launchServices.applications = std::vector<std::string>{"/A/Good.app"};

    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(fake.launchServices.queried, std::vector<std::string>{probe});
    EXPECT_TRUE(fake.fileSystem.createdFiles.empty());
    EXPECT_EQ(fake.fileSystem.removedItems, (std::vector<std::string>{probe, "/var/tmp/user/Halvern-000001"}));
    EXPECT_EQ(destination, "/A/Good.app");
}

// --- The result and the out-variable ----------------------------------------------

TEST_F(FindLumaroTest, OneValidViewerAmongSeveralHandlers) {
    fake.launchServices.applications = std::vector<std::string>{"/A/Reader.app", "/A/Good.app", "/A/Old.app"};
    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(destination, "/A/Good.app");
}

TEST_F(FindLumaroTest, TwoOrMoreValidViewersKeepTheFirstAndAnswerTrue) {
    fake.launchServices.applications = std::vector<std::string>{"/A/Good2.app", "/A/Good.app"};
    EXPECT_TRUE(halvern.FindLumaro(&destination));
    EXPECT_EQ(destination, "/A/Good2.app");

    std::optional<std::string> three;
    fake.launchServices.applications = std::vector<std::string>{"/A/Good3.app", "/A/Good.app", "/A/Good2.app"};
    EXPECT_TRUE(halvern.FindLumaro(&three));
    EXPECT_EQ(three, "/A/Good3.app");
}

TEST_F(FindLumaroTest, PathHeldOnEntryIsNeverOverwritten) {
    destination = "/Earlier/Choice.app";
    fake.launchServices.applications = std::vector<std::string>{"/A/Good.app"};
    EXPECT_TRUE(halvern.FindLumaro(&destination));
    EXPECT_EQ(destination, "/Earlier/Choice.app");
}

TEST_F(FindLumaroTest, EmptyEntriesAreSkippedSilently) {
    fake.launchServices.applications = std::vector<std::string>{"", "/A/Good.app", ""};
    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(fake.console.lines()[0], Found("/A/Good.app"));
    EXPECT_EQ(fake.console.lines().size(), 4u);
    EXPECT_EQ(destination, "/A/Good.app");
}

TEST_F(FindLumaroTest, FailureAfterTheValidViewerStillSetsTheReason) {
    fake.launchServices.applications =
        std::vector<std::string>{"/A/Old.app", "/A/Good.app", "/A/Reader.app", "/A/Beta.app"};

    EXPECT_FALSE(halvern.FindLumaro(&destination));
    EXPECT_EQ(destination, "/A/Good.app");
    EXPECT_EQ(halvern.getMsgDialogueText(), kTrackReason);
    EXPECT_EQ(fake.systemLog.messages, (std::vector<std::string>{kVersionReason, kTrackReason}));

    // The whole output, in the list's order.
    std::vector<std::string> expected{Found("/A/Old.app")};
    Append(expected, ValidationLines("/A/Old.app", "17.8.30050", "2017"));
    expected.push_back(Found("/A/Good.app"));
    Append(expected, ValidationLines("/A/Good.app", "17.8.30051", "2017"));
    expected.push_back(Found("/A/Reader.app"));
    expected.push_back(Found("/A/Beta.app"));
    Append(expected, ValidationLines("/A/Beta.app", "18.0.0", "2018"));
    EXPECT_EQ(fake.console.lines(), expected);
    EXPECT_EQ(fake.console.output.back(), '\n');
}

}  // namespace
