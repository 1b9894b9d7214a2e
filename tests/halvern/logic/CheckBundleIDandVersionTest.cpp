// The validation of a viewer bundle: identifier, track and version, its lines,
// msgDialogueText and the system log.

#include "LogicTestSupport.h"

namespace {

enum class Reason { None, Track, Version };

struct Row {
    std::optional<std::string> track;
    std::optional<std::string> version;
    bool valid;
    Reason reason;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << "track " << row.track.value_or("(absent)") << ", version " << row.version.value_or("(absent)");
}

class ValidationTable : public HalvernTest, public ::testing::WithParamInterface<Row> {};

TEST_P(ValidationTable, WithLogPrintsThreeLinesAndLeavesTheReason) {
    const Row& row = GetParam();
    UseTexts();
    fake.bundles.addLumaro(kLumaro, row.track, row.version);

    EXPECT_EQ(halvern.CheckBundleIDandVersion(kLumaro, true), row.valid);

    EXPECT_EQ(fake.console.lines(),
              ValidationLines(kLumaro, row.version.value_or("(null)"), row.track.value_or("(null)")));
    switch (row.reason) {
        case Reason::None:
            EXPECT_EQ(halvern.getMsgDialogueText(), std::nullopt);
            EXPECT_TRUE(fake.systemLog.messages.empty());
            break;
        case Reason::Track:
            EXPECT_EQ(halvern.getMsgDialogueText(), kTrackReason);
            EXPECT_EQ(fake.systemLog.messages, std::vector<std::string>{kTrackReason});
            break;
        case Reason::Version:
            EXPECT_EQ(halvern.getMsgDialogueText(), kVersionReason);
            EXPECT_EQ(fake.systemLog.messages, std::vector<std::string>{kVersionReason});
            break;
    }
}

TEST_P(ValidationTable, WithoutLogIsSilentAndKeepsState) {
    const Row& row = GetParam();
    UseTexts();
    fake.bundles.addLumaro(kLumaro, row.track, row.version);
    halvern.setMsgDialogueText("earlier reason");

    EXPECT_EQ(halvern.CheckBundleIDandVersion(kLumaro, false), row.valid);

    EXPECT_EQ(fake.console.output, "");
    EXPECT_TRUE(fake.systemLog.messages.empty());
    EXPECT_EQ(halvern.getMsgDialogueText(), "earlier reason");
    EXPECT_TRUE(fake.strings.lookups.empty());
}

INSTANTIATE_TEST_SUITE_P(
    WorkedResults, ValidationTable,
    ::testing::Values(Row{"2017", "17.8.30051", true, Reason::None},
                      Row{"2017", "17.8.30050", false, Reason::Version},
                      Row{"2017", "17.8.40000", true, Reason::None}, Row{"2017", "17.9.0", true, Reason::None},
                      Row{"2017", "17.7.99999", false, Reason::Version}, Row{"2017", "18.0.0", true, Reason::None},
                      Row{"2017", "16.99.99999", false, Reason::Version},
                      Row{"2017", "17.008.030051", true, Reason::None},
                      Row{"2017", "17.8.30051.7", true, Reason::None},
                      Row{"2017", "17.8.x", false, Reason::Version}, Row{"2016", "18.0.0", false, Reason::Track},
                      Row{"2017 ", "18.0.0", false, Reason::Track}, Row{std::nullopt, "17.8.30051", false, Reason::Track}));

// Versions the rule leaves open are too low; none of them may read past the
// string or overflow.
INSTANTIATE_TEST_SUITE_P(
    VersionsOutsideTheRule, ValidationTable,
    ::testing::Values(Row{"2017", std::nullopt, false, Reason::Version}, Row{"2017", "", false, Reason::Version},
                      Row{"2017", "18", false, Reason::Version}, Row{"2017", "18.0", false, Reason::Version},
                      Row{"2017", "18..", true, Reason::None},
                      Row{"2017", "4294967313.8.30051", false, Reason::Version},  // 17 after 32-bit wrap
                      Row{"2017", "17.8.4294967295", false, Reason::Version},
                      Row{"2017", "17.99999999999.0", false, Reason::Version},
                      Row{"2017", "2147483647.0.0", true, Reason::None},
                      Row{"2017", "-18.0.0", false, Reason::Version},
                      Row{"2017", " 17.+8.30051abc", true, Reason::None}));

TEST(CompareMinorVersion, IsLexicographicOnPairs) {
    EXPECT_TRUE(CompareMinorVersionReturnTrueIfGreaterOrEqual(9, 0, 8, 30051));
    EXPECT_FALSE(CompareMinorVersionReturnTrueIfGreaterOrEqual(7, 99999, 8, 30051));
    EXPECT_TRUE(CompareMinorVersionReturnTrueIfGreaterOrEqual(8, 30052, 8, 30051));
    EXPECT_TRUE(CompareMinorVersionReturnTrueIfGreaterOrEqual(8, 30051, 8, 30051));
    EXPECT_FALSE(CompareMinorVersionReturnTrueIfGreaterOrEqual(8, 30050, 8, 30051));
    EXPECT_FALSE(CompareMinorVersionReturnTrueIfGreaterOrEqual(-9, 0, 8, 0));  // signed
}

TEST_F(HalvernTest, OtherIdentifierOrNoBundleIsInvalidWithoutAnyOutput) {
    UseTexts();
    fake.bundles.addLumaro("/A/Upper.app", "2017", "18.0.0", "com.veldane.lumaro");
    fake.bundles.addLumaro("/A/Other.app", "2017", "18.0.0", "com.example.Reader");
    fake.bundles.add("/A/NoID.app", {{"TrackName", "2017"}, {"CFBundleVersion", "18.0.0"}});

    for (const char* path : {"/A/Upper.app", "/A/Other.app", "/A/NoID.app", "/A/Missing.app", ""}) {
        EXPECT_FALSE(halvern.CheckBundleIDandVersion(path, true)) << path;
    }
    EXPECT_EQ(fake.console.output, "");
    EXPECT_TRUE(fake.systemLog.messages.empty());
    EXPECT_EQ(halvern.getMsgDialogueText(), std::nullopt);
}

TEST_F(HalvernTest, ReasonIsTheTextOfTheLastFailure) {
    UseTexts();
    fake.bundles.addLumaro("/A/Old.app", "2017", "17.0.0");
    fake.bundles.addLumaro("/A/Beta.app", "2018", "18.0.0");
    fake.bundles.addLumaro("/A/Good.app", "2017", "18.0.0");
    fake.bundles.addLumaro("/A/Other.app", "2017", "18.0.0", "com.example.Reader");

    EXPECT_FALSE(halvern.CheckBundleIDandVersion("/A/Old.app", true));
    EXPECT_EQ(halvern.getMsgDialogueText(), kVersionReason);
    EXPECT_FALSE(halvern.CheckBundleIDandVersion("/A/Beta.app", true));
    EXPECT_EQ(halvern.getMsgDialogueText(), kTrackReason);
    // A valid bundle and one with another identifier leave the reason in place.
    EXPECT_TRUE(halvern.CheckBundleIDandVersion("/A/Good.app", true));
    EXPECT_FALSE(halvern.CheckBundleIDandVersion("/A/Other.app", true));
    EXPECT_EQ(halvern.getMsgDialogueText(), kTrackReason);
    EXPECT_EQ(fake.systemLog.messages, (std::vector<std::string>{kVersionReason, kTrackReason}));
}

TEST_F(HalvernTest, PlaceholdersAreFilledEverywhereInTheirOrder) {
    fake.bundles.addLumaro("/A/Old.app", "2017", "1.0.0");
    fake.bundles.addLumaro("/A/Beta.app", "2018", "18.0.0");

    // Repeated placeholders are all filled; "@CHANNEL_NAME@" goes first, so a
    // "@FULLVERSIONNUMBER@" that shares its "@" with it is no longer one.
    fake.strings.entries["LumaroVersionNumberLower"] =
        "@CHANNEL_NAME@ @CHANNEL_NAME@ @FULLVERSIONNUMBER@@FULLVERSIONNUMBER@ @CHANNEL_NAME@FULLVERSIONNUMBER@";
    EXPECT_FALSE(halvern.CheckBundleIDandVersion("/A/Old.app", true));
    EXPECT_EQ(halvern.getMsgDialogueText(), "2017 2017 17.8.3005117.8.30051 2017FULLVERSIONNUMBER@");

    // A text without placeholders is used as it stands, "%s" and all.
    fake.strings.entries["LumaroTrackNameMismatch"] = "Wrong track (%s %d %n).";
    EXPECT_FALSE(halvern.CheckBundleIDandVersion("/A/Beta.app", true));
    EXPECT_EQ(halvern.getMsgDialogueText(), "Wrong track (%s %d %n).");
    EXPECT_EQ(fake.systemLog.messages.back(), "Wrong track (%s %d %n).");
}

TEST_F(HalvernTest, WithoutATableTheReasonIsTheKey) {
    fake.bundles.addLumaro("/A/Old.app", "2017", "1.0.0");
    fake.bundles.addLumaro("/A/Beta.app", "2018", "18.0.0");

    EXPECT_FALSE(halvern.CheckBundleIDandVersion("/A/Old.app", true));
    EXPECT_EQ(halvern.getMsgDialogueText(), "LumaroVersionNumberLower");
    EXPECT_FALSE(halvern.CheckBundleIDandVersion("/A/Beta.app", true));
    EXPECT_EQ(halvern.getMsgDialogueText(), "LumaroTrackNameMismatch");
    EXPECT_EQ(fake.strings.lookups, (std::vector<std::string>{"LumaroVersionNumberLower", "LumaroTrackNameMismatch"}));
}

TEST_F(HalvernTest, PathIsPrintedAsGiven) {
    const std::string path = "/Apps/../Apps//Veldane Lumaro.app/";
    fake.bundles.addLumaro(path, "2017", "17.8.30051");
    EXPECT_TRUE(halvern.CheckBundleIDandVersion(path, true));
    EXPECT_EQ(fake.console.lines()[0],
              "Obtained the bundle for /Apps/../Apps//Veldane Lumaro.app/ ID as com.veldane.Lumaro. Now checking the "
              "bundle version.");
}

}  // namespace

TEST_F(HalvernTest, ABundleNotTrustedAsRootIsInvalidWithOneLineAndNoReasonKept) {
    UseTexts();
    fake.bundles.addLumaro(kLumaro, "2017", "17.8.30051");
    fake.fileSystem.untrusted[kLumaro] = "/Applications is owned by ann (uid 1000), not root";

    EXPECT_FALSE(halvern.CheckBundleIDandVersion(kLumaro, false));
    EXPECT_EQ(fake.console.output, "");
    EXPECT_FALSE(halvern.CheckBundleIDandVersion(kLumaro, true));
    EXPECT_EQ(fake.console.lines(), std::vector<std::string>{"Halvern:ERROR: The application (" + std::string(kLumaro) +
                                                             ") is not trusted when installing as root: /Applications "
                                                             "is owned by ann (uid 1000), not root."});
    EXPECT_EQ(halvern.getMsgDialogueText(), std::nullopt);
    EXPECT_TRUE(fake.systemLog.messages.empty());
}
