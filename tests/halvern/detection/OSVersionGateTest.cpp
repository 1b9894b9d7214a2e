// The decision between heartbeats and the scan of running applications.

#include <gtest/gtest.h>

#include "FakePlatform.h"
#include "TolmBroadcast.h"

namespace {

using Components = std::vector<std::string>;
constexpr const char* kSystemVersion = "/System/Library/CoreServices/SystemVersion.plist";

struct GateCase {
    const char* productVersion;  // nullptr: the file is missing
    std::optional<Components> array;
    bool mavericks;
};

class OSVersionGateTable : public ::testing::TestWithParam<GateCase> {};

TEST_P(OSVersionGateTable, VersionArrayDecidesTheWay) {
    const GateCase& c = GetParam();
    FakePlatform fake;
    if (c.productVersion) fake.propertyLists.add(kSystemVersion, {{"ProductVersion", c.productVersion}});
    TolmBroadcast::OSVersionCache cache;

    const auto array = TolmBroadcast::OSVersionArray(fake.view, cache);
    EXPECT_EQ(array, c.array);
    EXPECT_EQ(TolmBroadcast::isMavericksOrHigher(array), c.mavericks);
    EXPECT_EQ(TolmBroadcast::useHeartBeat(fake.view, cache), !c.mavericks);
}

INSTANTIATE_TEST_SUITE_P(
    ProductVersions, OSVersionGateTable,
    ::testing::Values(GateCase{"10.8.5", Components{"10", "8", "5"}, false},
                      GateCase{"10.9", Components{"10", "9"}, true},
                      GateCase{"10.10.1", Components{"10", "10", "1"}, true},
                      GateCase{"11.0", Components{"11", "0"}, true},
                      GateCase{"10", Components{"10"}, false},
                      GateCase{"9.9", Components{"9", "9"}, false},
                      GateCase{"", Components{""}, false},
                      GateCase{"10.", Components{"10", ""}, false},
                      GateCase{" 10.12x", Components{" 10", "12x"}, true},
                      GateCase{"x11.0", Components{"x11", "0"}, false},
                      GateCase{"99999999999.0", Components{"99999999999", "0"}, true},
                      GateCase{nullptr, std::nullopt, false}));

TEST(OSVersionGate, MissingProductVersionKeyGivesNoArrayAndHeartbeats) {
    FakePlatform fake;
    fake.propertyLists.add(kSystemVersion, {{"ProductName", "Mac OS X"}});
    TolmBroadcast::OSVersionCache cache;
    EXPECT_EQ(TolmBroadcast::OSVersionArray(fake.view, cache), std::nullopt);
    EXPECT_TRUE(TolmBroadcast::useHeartBeat(fake.view, cache));
}

TEST(OSVersionGate, EmptyOrMissingArrayIsNotMavericks) {
    EXPECT_FALSE(TolmBroadcast::isMavericksOrHigher(std::nullopt));
    EXPECT_FALSE(TolmBroadcast::isMavericksOrHigher(Components{}));
    // Only the first two components count.
    EXPECT_FALSE(TolmBroadcast::isMavericksOrHigher(Components{"10", "8", "99"}));
    EXPECT_TRUE(TolmBroadcast::isMavericksOrHigher(Components{"10", "9", "0"}));
}

TEST(OSVersionGate, FailedReadIsRetriedSuccessfulReadIsKept) {
    FakePlatform fake;
    TolmBroadcast::OSVersionCache cache;
    EXPECT_EQ(TolmBroadcast::OSVersionArray(fake.view, cache), std::nullopt);
    EXPECT_EQ(TolmBroadcast::OSVersionArray(fake.view, cache), std::nullopt);
    EXPECT_EQ(fake.propertyLists.reads.size(), 2u);

    fake.propertyLists.add(kSystemVersion, {{"ProductVersion", "10.8.5"}});
    EXPECT_EQ(TolmBroadcast::OSVersionArray(fake.view, cache), (Components{"10", "8", "5"}));
    EXPECT_EQ(fake.propertyLists.reads.size(), 3u);

    // Never replaced, never read again.
    fake.propertyLists.add(kSystemVersion, {{"ProductVersion", "10.13"}});
    EXPECT_EQ(TolmBroadcast::OSVersionArray(fake.view, cache), (Components{"10", "8", "5"}));
    EXPECT_EQ(fake.propertyLists.reads.size(), 3u);
}

TEST(OSVersionGate, DecisionIsNeverRevised) {
    FakePlatform fake;
    TolmBroadcast::OSVersionCache cache;
    // First call cannot read the version: heartbeats, for good.
    EXPECT_TRUE(TolmBroadcast::useHeartBeat(fake.view, cache));
    fake.propertyLists.add(kSystemVersion, {{"ProductVersion", "10.13"}});
    EXPECT_TRUE(TolmBroadcast::useHeartBeat(fake.view, cache));
    EXPECT_EQ(fake.propertyLists.reads.size(), 1u);

    FakePlatform mavericks;
    mavericks.propertyLists.add(kSystemVersion, {{"ProductVersion", "10.9"}});
    TolmBroadcast::OSVersionCache other;
    EXPECT_FALSE(TolmBroadcast::useHeartBeat(mavericks.view, other));
    mavericks.propertyLists.files.clear();
    EXPECT_FALSE(TolmBroadcast::useHeartBeat(mavericks.view, other));
    EXPECT_EQ(mavericks.propertyLists.reads.size(), 1u);
}

}  // namespace
