// The running-application scan on fakes: each phase's match and stop rules, the
// primary entry, and a platform failure in the middle of the scan.

#include <gtest/gtest.h>

#include <algorithm>

#include "FakePlatform.h"
#include "TolmHeartbeat.h"

namespace {

using Names = std::vector<std::string>;

constexpr const char* kViewer = "/Applications/Veldane Lumaro.app";
constexpr const char* kLumaroID = "com.veldane.Lumaro";
constexpr const char* kInvalid = "__--__INVALID__--__";
constexpr const char* kManagerLibrary = "/Applications/Utilities/Veldane Application Manager/core/VeldaneOstrel.dylib";
constexpr const char* kPreferences = "/Library/Preferences/com.veldane.quorvo.pdfviewer.plist";

int32_t StatusRunning(int32_t) { return -3; }
int32_t StatusIdle(int32_t) { return 0; }
int32_t sStatusArgument = -1;
int32_t StatusRecordingArgument(int32_t argument) {
    sStatusArgument = argument;
    return -3;
}

class ScanTest : public ::testing::Test {
protected:
    // The primary entry, then the collected names sorted (their order carries no meaning).
    Names Scan(const std::optional<std::string>& installPath, const std::optional<std::string>& identifier,
               const std::optional<std::string>& track) {
        const RunningInstanceList list = heartbeat.getBeatingProcesses_Mavericks(installPath, identifier, track);
        Names names;
        for (const RunningInstance& element : list) names.push_back(std::get<std::string>(element));
        if (names.size() > 1) std::sort(names.begin() + 1, names.end());
        return names;
    }
    void AddBundle(const std::string& path, const std::string& identifier, const std::string& version,
                   std::optional<std::string> track = std::nullopt) {
        std::map<std::string, std::string, std::less<>> strings{{"CFBundleIdentifier", identifier},
                                                                 {"CFBundleVersion", version}};
        if (track) strings["TrackName"] = *track;
        fake.bundles.add(path, strings);
    }
    void ManagerLibrary(int32_t (*status)(int32_t)) {
        fake.fileSystem.addFile(kManagerLibrary);
        fake.dynamicLoader.libraries[kManagerLibrary] = {
            {"ostrel_getZEVDeploymentValidationStatus", reinterpret_cast<void*>(status)}};
    }

    FakePlatform fake;
    TolmHeartbeat heartbeat{fake.view};
};

TEST_F(ScanTest, NothingRunningGivesOnlyThePlaceholder) {
    fake.workspace.add("org.other.App", "/Applications/Other.app", "Other");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_EQ(Scan(std::nullopt, std::nullopt, std::nullopt), Names{kInvalid});
    // Each of the four phases took a snapshot of its own.
    EXPECT_EQ(fake.workspace.snapshots, 8);
}

TEST_F(ScanTest, ViewerAtTheInstallPathIsThePrimaryEntryAndListedAgain) {
    AddBundle(kViewer, kLumaroID, "17.8.30051", "2017");
    fake.workspace.add(kLumaroID, kViewer, "Veldane Lumaro");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), (Names{"Veldane Lumaro", "Veldane Lumaro"}));
    // The install path is standardized, the application's bundle path too.
    EXPECT_EQ(Scan("/Applications/./Veldane Lumaro.app/", kLumaroID, std::nullopt),
              (Names{"Veldane Lumaro", "Veldane Lumaro"}));
    fake.workspace.applications[0].bundlePath = "/Applications/x/../Veldane Lumaro.app/";
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), (Names{"Veldane Lumaro", "Veldane Lumaro"}));
}

TEST_F(ScanTest, ViewerRunningFromItsRealPathMatchesALinkedInstallPath) {
    fake.fileSystem.addFolder("/Volumes/Apps/Veldane Lumaro.app");
    fake.fileSystem.addLink("/Applications", "/Volumes/Apps");
    fake.workspace.add(kLumaroID, "/Volumes/Apps/Veldane Lumaro.app", "Veldane Lumaro");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), (Names{"Veldane Lumaro", "Veldane Lumaro"}));
}

TEST_F(ScanTest, ViewerElsewhereIsNotCountedForAnInstallPath) {
    fake.workspace.add(kLumaroID, "/opt/Veldane Lumaro.app", "Veldane Lumaro");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
    // Case matters.
    fake.workspace.applications[0].bundlePath = "/applications/Veldane Lumaro.app";
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
}

TEST_F(ScanTest, PhaseOneStopsAtTheFirstViewerAtTheInstallPath) {
    fake.workspace.add(kLumaroID, kViewer, "First");
    fake.workspace.add(kLumaroID, kViewer, "Second");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), (Names{"First", "First"}));
}

TEST_F(ScanTest, WithoutInstallPathEveryViewerIsCollectedOnce) {
    fake.workspace.add(kLumaroID, kViewer, "Veldane Lumaro");
    fake.workspace.add(kLumaroID, "/opt/Veldane Lumaro.app", "Veldane Lumaro");
    fake.workspace.add(kLumaroID, "/opt/Beta.app", "Lumaro Beta");
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), (Names{kInvalid, "Lumaro Beta", "Veldane Lumaro"}));
}

TEST_F(ScanTest, TrackIsCheckedFromMajorVersionFifteenOn) {
    const std::string v15 = "/A/V15.app", v11 = "/A/V11.app", vShort = "/A/VShort.app", v17 = "/A/V17.app",
                      v17Other = "/A/V17Other.app";
    AddBundle(v15, kLumaroID, "15.0.1");                      // no TrackName: not counted
    AddBundle(v11, kLumaroID, "11.0.10", "1999");             // below 15: counted whatever its track
    AddBundle(vShort, kLumaroID, "15.0", "1999");             // -1: no track test
    AddBundle(v17, kLumaroID, "17.8.30051", "2017");          // right track
    AddBundle(v17Other, kLumaroID, "17.8.30051", "2018");     // wrong track
    fake.workspace.add(kLumaroID, v15, "V15");
    fake.workspace.add(kLumaroID, v11, "V11");
    fake.workspace.add(kLumaroID, vShort, "VShort");
    fake.workspace.add(kLumaroID, v17, "V17");
    fake.workspace.add(kLumaroID, v17Other, "V17Other");
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::string("2017")), (Names{kInvalid, "V11", "V17", "VShort"}));
    // Without a track nothing is tested.
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt),
              (Names{kInvalid, "V11", "V15", "V17", "V17Other", "VShort"}));
    // With an install path, a viewer there with the wrong track is skipped.
    EXPECT_EQ(Scan(v17Other, kLumaroID, std::string("2017")), Names{kInvalid});
    EXPECT_EQ(Scan(v17, kLumaroID, std::string("2017")), (Names{"V17", "V17"}));
}

TEST_F(ScanTest, OtherIdentifierIsMatchedWithoutTrackTest) {
    AddBundle("/A/Other.app", "org.other.Viewer", "17.0.0", "1999");
    fake.workspace.add("org.other.Viewer", "/A/Other.app", "Other Viewer");
    EXPECT_EQ(Scan("/A/Other.app", "org.other.Viewer", std::string("2017")), (Names{"Other Viewer", "Other Viewer"}));
}

TEST_F(ScanTest, MissingIdentifierMatchesNothing) {
    fake.workspace.add(std::nullopt, kViewer, "No Identifier");
    EXPECT_EQ(Scan(kViewer, std::nullopt, std::nullopt), Names{kInvalid});
    EXPECT_EQ(Scan(std::nullopt, std::nullopt, std::nullopt), Names{kInvalid});
}

TEST_F(ScanTest, ApplicationManagerRunningIsCollectedWithoutAskingTheLibrary) {
    ManagerLibrary(StatusRunning);
    fake.workspace.add("com.veldane.Harbex", "/Applications/Harbex.app", "Harbex Manager");
    fake.workspace.add("com.veldane.Harbex", "/Applications/Harbex2.app", "Second Manager");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), (Names{kInvalid, "Harbex Manager"}));
    EXPECT_TRUE(fake.dynamicLoader.calls.empty());
}

TEST_F(ScanTest, ApplicationManagerLibraryAnswers) {
    ManagerLibrary(StatusRecordingArgument);
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), (Names{kInvalid, "Veldane Application Manager"}));
    EXPECT_EQ(sStatusArgument, 0);
    EXPECT_EQ(fake.dynamicLoader.calls, (std::vector<std::string>{std::string("open ") + kManagerLibrary,
                                                                  "symbol ostrel_getZEVDeploymentValidationStatus",
                                                                  "close"}));
    ManagerLibrary(StatusIdle);
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_EQ(fake.dynamicLoader.openCount, 0);
}

TEST_F(ScanTest, ApplicationManagerLibraryFailuresGiveNotRunning) {
    // Without the function: loaded and closed again.
    fake.fileSystem.addFile(kManagerLibrary);
    fake.dynamicLoader.libraries[kManagerLibrary] = {};
    EXPECT_FALSE(IsVeldaneApplicationManagerRunning(fake.view));
    EXPECT_EQ(fake.dynamicLoader.calls.back(), "close");
    EXPECT_EQ(fake.dynamicLoader.openCount, 0);

    // Present on disk but not loadable (not a library, or not trusted).
    fake.dynamicLoader.libraries.clear();
    EXPECT_FALSE(IsVeldaneApplicationManagerRunning(fake.view));

    // No file there: not even loaded.
    ManagerLibrary(StatusRunning);
    fake.fileSystem.entries.clear();
    fake.dynamicLoader.calls.clear();
    EXPECT_FALSE(IsVeldaneApplicationManagerRunning(fake.view));
    EXPECT_TRUE(fake.dynamicLoader.calls.empty());

    // The applications folder cannot be told.
    fake.fileSystem.addFile(kManagerLibrary);
    fake.standardFolders.folders.clear();
    EXPECT_FALSE(IsVeldaneApplicationManagerRunning(fake.view));
    EXPECT_TRUE(fake.dynamicLoader.calls.empty());
}

TEST_F(ScanTest, PdfToolCountsWhenItsFullProductIsAtTheInstallPath) {
    AddBundle("/Applications/Tool.app", "com.veldane.vatrel", "15.2.0");
    AddBundle("/Applications/Veldane Quorvo.app", "com.veldane.Quorvo", "17.0.0", "2017");
    fake.workspace.add("com.veldane.vatrel", "/Applications/Tool.app", "PDF Tool");
    EXPECT_EQ(Scan("/Applications/Veldane Quorvo.app", kLumaroID, std::nullopt), (Names{kInvalid, "PDF Tool"}));
    EXPECT_EQ(Scan("/Applications/Veldane Quorvo.app/", kLumaroID, std::string("2017")),
              (Names{kInvalid, "PDF Tool"}));
    // Another product track, another folder, or no install path.
    EXPECT_EQ(Scan("/Applications/Veldane Quorvo.app", kLumaroID, std::string("2018")), Names{kInvalid});
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), (Names{kInvalid, "PDF Tool"}));
}

TEST_F(ScanTest, PdfToolBelowVersionFifteenIsIgnored) {
    AddBundle("/Applications/Old.app", "com.veldane.vatrel", "14.9.9");
    AddBundle("/Applications/Short.app", "com.veldane.vatrel", "15.2");
    fake.workspace.add("com.veldane.vatrel", "/Applications/Old.app", "Old Tool");
    fake.workspace.add("com.veldane.vatrel", "/Applications/Short.app", "Short Tool");
    fake.workspace.add("com.veldane.vatrel", "/Applications/Missing.app", "Missing Tool");
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), Names{kInvalid});
}

TEST_F(ScanTest, PdfToolPhaseStopsAtTheFirstMatch) {
    AddBundle("/P/A.app", "com.veldane.vatrel", "15.0.0");
    AddBundle("/P/B.app", "com.veldane.vatrel", "16.0.0");
    fake.workspace.add("com.veldane.vatrel", "/P/A.app", "Tool A");
    fake.workspace.add("com.veldane.vatrel", "/P/B.app", "Tool B");
    EXPECT_EQ(Scan("/P/Veldane Quorvo.app", kLumaroID, std::nullopt), (Names{kInvalid, "Tool A"}));
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), (Names{kInvalid, "Tool A", "Tool B"}));
}

class PluginHostScanTest : public ScanTest {
protected:
    void SetUp() override {
        fake.fileSystem.addFile(kPreferences);
        Preferences("file:///Applications/Veldane%20Lumaro.app/");
    }
    void Preferences(const std::string& usePath) { fake.propertyLists.add(kPreferences, {{"WebBrowserUsePath", usePath}}); }
};

TEST_F(PluginHostScanTest, HostUsingTheViewerAtTheInstallPathCounts) {
    fake.workspace.add("com.apple.WebKit.PluginProcess", "/B/Host.app", "VeldanePDFViewer (Safari)");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), (Names{kInvalid, "VeldanePDFViewer (Safari)"}));
    EXPECT_EQ(fake.propertyLists.reads, std::vector<std::string>{kPreferences});
}

TEST_F(PluginHostScanTest, SixtyFourBitHostCountsToo) {
    fake.workspace.add("com.apple.WebKit.Plugin.64", "/B/Host.app", "VeldanePDFViewer 64");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), (Names{kInvalid, "VeldanePDFViewer 64"}));
}

TEST_F(PluginHostScanTest, HostWithoutThePrefixDoesNotCount) {
    fake.workspace.add("com.apple.WebKit.PluginProcess", "/B/Host.app", "Flash (Safari)");
    fake.workspace.add("com.apple.WebKit.PluginProcess", "/B/Host.app", "veldanePDFViewer");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_TRUE(fake.propertyLists.reads.empty());
}

TEST_F(PluginHostScanTest, MissingOrUnreadablePreferencesDoNotCount) {
    fake.workspace.add("com.apple.WebKit.PluginProcess", "/B/Host.app", "VeldanePDFViewer");
    fake.fileSystem.entries[kPreferences].readable = false;
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), Names{kInvalid});
    fake.fileSystem.entries.clear();
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_TRUE(fake.propertyLists.reads.empty());
    // A readable file that is no property list: nothing to compare.
    fake.fileSystem.addFile(kPreferences);
    fake.propertyLists.files.clear();
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), (Names{kInvalid, "VeldanePDFViewer"}));
}

TEST_F(PluginHostScanTest, UsePathThatIsNoURLCountsOnlyWithoutInstallPath) {
    fake.workspace.add("com.apple.WebKit.PluginProcess", "/B/Host.app", "VeldanePDFViewer");
    Preferences("/Applications/Veldane Lumaro.app");  // a plain path with a space is no URL
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), (Names{kInvalid, "VeldanePDFViewer"}));
    Preferences("file:///opt/Veldane%20Lumaro.app");  // another viewer
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
}

TEST_F(PluginHostScanTest, AtMostOneHostAndPreferencesReadPerCandidate) {
    Preferences("file:///opt/Other.app");
    fake.workspace.add("com.apple.WebKit.PluginProcess", "/B/Host1.app", "VeldanePDFViewer 1");
    fake.workspace.add("com.apple.WebKit.PluginProcess", "/B/Host2.app", "VeldanePDFViewer 2");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{kInvalid});
    EXPECT_EQ(fake.propertyLists.reads.size(), 2u);
    fake.propertyLists.reads.clear();
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), (Names{kInvalid, "VeldanePDFViewer 1"}));
    EXPECT_EQ(fake.propertyLists.reads.size(), 1u);
}

TEST_F(ScanTest, AllFourPhasesTogether) {
    AddBundle(kViewer, kLumaroID, "17.8.30051", "2017");
    AddBundle("/Applications/Tool.app", "com.veldane.vatrel", "15.2.0");
    fake.fileSystem.addFile(kPreferences);
    fake.propertyLists.add(kPreferences, {{"WebBrowserUsePath", "file:///Applications/Veldane%20Lumaro.app"}});
    ManagerLibrary(StatusRunning);
    fake.workspace.add(kLumaroID, kViewer, "Veldane Lumaro");
    fake.workspace.add("com.veldane.vatrel", "/Applications/Tool.app", "PDF Tool");
    fake.workspace.add("com.apple.WebKit.PluginProcess", "/B/Host.app", "VeldanePDFViewer (Safari)");
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt),
              (Names{"Veldane Lumaro", "Veldane Application Manager", "Veldane Lumaro", "VeldanePDFViewer (Safari)"}));
}

TEST_F(ScanTest, PlatformFailureEndsTheScanWithWhatItFound) {
    fake.workspace.add(kLumaroID, kViewer, "Veldane Lumaro");
    fake.workspace.add("com.veldane.Harbex", "/Applications/Harbex.app", "Harbex Manager");

    fake.workspace.failingSnapshot = 1;  // before the primary entry
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{});

    fake.workspace.snapshots = 0;
    fake.workspace.failingSnapshot = 3;  // phase 3: what phases 1 and 2 found still runs
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), (Names{"Veldane Lumaro", "Harbex Manager", "Veldane Lumaro"}));
    EXPECT_EQ(fake.workspace.snapshots, 3);

    fake.workspace.snapshots = 0;
    fake.workspace.failingSnapshot = 4;
    EXPECT_EQ(Scan(std::nullopt, kLumaroID, std::nullopt), (Names{kInvalid, "Harbex Manager", "Veldane Lumaro"}));

    // Nothing found before the failure proves nothing: no list at all.
    fake.workspace.applications.clear();
    fake.workspace.snapshots = 0;
    fake.workspace.failingSnapshot = 2;
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{});
}

TEST_F(ScanTest, ApplicationWithoutANameToCollectEndsTheScan) {
    fake.workspace.add(kLumaroID, kViewer, std::nullopt);
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{});
    fake.workspace.applications.clear();
    fake.workspace.add("com.veldane.Harbex", "/Applications/Harbex.app", std::nullopt);
    EXPECT_EQ(Scan(kViewer, kLumaroID, std::nullopt), Names{});
}

TEST(GetBundleMajorVersion, FirstOfAtLeastThreeComponents) {
    FakePlatform fake;
    const auto major = [&](std::optional<std::string> version) {
        fake.bundles.bundles.clear();
        if (version) fake.bundles.add("/X.app", {{"CFBundleVersion", *version}});
        return GetBundleMajorVersion(std::string("/X.app"), fake.view);
    };
    EXPECT_EQ(major("15.1.2"), 15);
    EXPECT_EQ(major("11.0.10"), 11);
    EXPECT_EQ(major("15.0"), -1);
    EXPECT_EQ(major("x.1.2"), 0);
    EXPECT_EQ(major(" 16abc.1.2.3"), 16);
    EXPECT_EQ(major(""), -1);
    EXPECT_EQ(major(std::nullopt), -1);
    EXPECT_EQ(GetBundleMajorVersion(std::nullopt, fake.view), -1);
}

}  // namespace
