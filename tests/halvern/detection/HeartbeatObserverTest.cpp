// The heartbeat observer and the running-instance query, on fakes: freshness on
// a fake clock, exact path comparison, shared entries, ignored notifications,
// and the bound on what a flood of made-up senders can make it keep.

#include <gtest/gtest.h>

#include "FakePlatform.h"
#include "Texts.h"
#include "TolmHeartbeat.h"

namespace {

using namespace std::chrono_literals;
using Record = std::shared_ptr<const HeartbeatRecord>;

constexpr const char* kViewer = "/Applications/Veldane Lumaro.app";

Record MakeRecord(const std::optional<std::string>& lumaroPath, const std::string& host = "Veldane Lumaro") {
    HeartbeatRecord record{{kUserInfoHostAppPath, "/Applications/" + host + ".app"}, {kUserInfoHostDisplayName, host}};
    if (lumaroPath) record[kUserInfoLumaroAppPath] = *lumaroPath;
    return std::make_shared<const HeartbeatRecord>(std::move(record));
}

platform::Notification Heartbeat(const std::string& pid, Record record) {
    return platform::Notification{kTolmHeartbeat, pid, std::move(record)};
}

std::vector<Record> Records(const RunningInstanceList& list) {
    std::vector<Record> records;
    for (const RunningInstance& element : list) records.push_back(std::get<Record>(element));
    return records;
}

class HeartbeatObserverTest : public ::testing::Test {
protected:
    FakePlatform fake;
    TolmHeartbeat heartbeat{fake.view};
};

TEST_F(HeartbeatObserverTest, NoHeartbeatYetGivesAnEmptyList) {
    EXPECT_TRUE(heartbeat.getBeatingProcesses(std::string(kViewer)).empty());
    EXPECT_TRUE(heartbeat.getBeatingProcesses(std::nullopt).empty());
}

TEST_F(HeartbeatObserverTest, FreshUnderOneSecondStaleFromOneSecond) {
    const Record record = MakeRecord(std::string(kViewer));
    heartbeat.observe(Heartbeat("100", record));

    fake.clock.advance(900ms);
    EXPECT_EQ(Records(heartbeat.getBeatingProcesses(std::string(kViewer))), std::vector<Record>{record});

    fake.clock.advance(100ms);
    EXPECT_TRUE(heartbeat.getBeatingProcesses(std::string(kViewer)).empty());
    EXPECT_TRUE(heartbeat.getBeatingProcesses(std::nullopt).empty());
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), 1u);  // the entry remains

    // A new heartbeat from the same sender counts again.
    heartbeat.observe(Heartbeat("100", record));
    EXPECT_EQ(heartbeat.getBeatingProcesses(std::string(kViewer)).size(), 1u);
}

TEST_F(HeartbeatObserverTest, ListedRecordIsTheStoredObjectItself) {
    const Record record = MakeRecord(std::string(kViewer));
    heartbeat.observe(Heartbeat("7", record));
    const auto listed = Records(heartbeat.getBeatingProcesses(std::nullopt));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].get(), record.get());
}

TEST_F(HeartbeatObserverTest, RecordWithoutViewerPathIsNeverListed) {
    heartbeat.observe(Heartbeat("100", MakeRecord(std::nullopt)));
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), 1u);
    EXPECT_TRUE(heartbeat.getBeatingProcesses(std::nullopt).empty());
    EXPECT_TRUE(heartbeat.getBeatingProcesses(std::string(kViewer)).empty());
}

TEST_F(HeartbeatObserverTest, ViewerPathIsComparedExactly) {
    heartbeat.observe(Heartbeat("1", MakeRecord(std::string(kViewer) + "/")));
    heartbeat.observe(Heartbeat("2", MakeRecord(std::string("/Applications/veldane lumaro.app"))));
    heartbeat.observe(Heartbeat("3", MakeRecord(std::string("/Applications/./Veldane Lumaro.app"))));
    EXPECT_TRUE(heartbeat.getBeatingProcesses(std::string(kViewer)).empty());
    EXPECT_EQ(heartbeat.getBeatingProcesses(std::string(kViewer) + "/").size(), 1u);
    // Without a path, every fresh record with a viewer path, whatever viewer it names.
    EXPECT_EQ(heartbeat.getBeatingProcesses(std::nullopt).size(), 3u);
}

TEST_F(HeartbeatObserverTest, OnlyMatchingFreshSendersAreListed) {
    const Record mine = MakeRecord(std::string(kViewer));
    const Record browser = MakeRecord(std::string(kViewer), "Safari");
    const Record other = MakeRecord(std::string("/opt/Veldane Lumaro.app"));
    heartbeat.observe(Heartbeat("10", mine));
    fake.clock.advance(600ms);
    heartbeat.observe(Heartbeat("20", browser));
    heartbeat.observe(Heartbeat("30", other));
    fake.clock.advance(500ms);  // "10" is 1.1 s old now
    EXPECT_EQ(Records(heartbeat.getBeatingProcesses(std::string(kViewer))), std::vector<Record>{browser});
}

TEST_F(HeartbeatObserverTest, TwoBroadcastersInOneProcessShareOneEntry) {
    const Record first = MakeRecord(std::string(kViewer));
    const Record second = MakeRecord(std::string("/opt/Veldane Lumaro.app"));
    heartbeat.observe(Heartbeat("555", first));
    heartbeat.observe(Heartbeat("555", second));
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), 1u);
    EXPECT_EQ(Records(heartbeat.getBeatingProcesses(std::nullopt)), std::vector<Record>{second});
    EXPECT_TRUE(heartbeat.getBeatingProcesses(std::string(kViewer)).empty());
    heartbeat.observe(Heartbeat("555", first));
    EXPECT_EQ(Records(heartbeat.getBeatingProcesses(std::nullopt)), std::vector<Record>{first});
}

TEST_F(HeartbeatObserverTest, NotificationsOfAnotherKindAreIgnored) {
    const Record record = MakeRecord(std::string(kViewer));
    heartbeat.observe(platform::Notification{"com.veldane.Tolm.Heartbeat2", std::string("1"), record});
    heartbeat.observe(platform::Notification{"com.veldane.tolm.heartbeat", std::string("2"), record});
    heartbeat.observe(platform::Notification{kTolmHeartbeat, std::string("3"), nullptr});
    heartbeat.observe(platform::Notification{kTolmHeartbeat, std::nullopt, record});
    EXPECT_EQ(fake.clock.reads, 0);  // ignored before the date is taken
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), 0u);
    EXPECT_TRUE(heartbeat.getBeatingProcesses(std::nullopt).empty());
}

TEST_F(HeartbeatObserverTest, FloodOfMadeUpSendersIsBounded) {
    const Record record = MakeRecord(std::string(kViewer));
    heartbeat.observe(Heartbeat("1", record));
    for (size_t i = 0; i < TolmHeartbeat::kMaxHeartbeatSenders + 500; ++i) {
        heartbeat.observe(Heartbeat("flood-" + std::to_string(i), record));
    }
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), TolmHeartbeat::kMaxHeartbeatSenders);
    // A sender that has an entry keeps being recorded while the observer is full.
    fake.clock.advance(800ms);
    heartbeat.observe(Heartbeat("1", record));
    fake.clock.advance(300ms);
    // Every made-up sender is stale now; a new sender makes room for itself.
    heartbeat.observe(Heartbeat("2", record));
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), 2u);
    EXPECT_EQ(heartbeat.getBeatingProcesses(std::string(kViewer)).size(), 2u);
}

TEST_F(HeartbeatObserverTest, OneSenderHoldsOnlyAFewKeys) {
    const Record record = MakeRecord(std::string(kViewer));
    const auto from = [&](const std::string& pid, const std::string& sender) {
        platform::Notification notification = Heartbeat(pid, record);
        notification.sender = sender;
        heartbeat.observe(notification);
    };
    for (int i = 0; i < 1000; ++i) from(std::to_string(5000 + i), ":1.7");
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), TolmHeartbeat::kMaxKeysPerSender);
    // Other senders are not held back by it, and its own keys keep being updated.
    from("100", ":1.8");
    from("5000", ":1.7");
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), TolmHeartbeat::kMaxKeysPerSender + 1);
    // A key taken over by another sender counts for that one.
    from("5001", ":1.9");
    from("6000", ":1.7");
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), TolmHeartbeat::kMaxKeysPerSender + 2);
    // Once its keys are stale and dropped to make room, the sender may post anew;
    // senders the platform cannot tell apart are bound by the total only.
    fake.clock.advance(2s);
    for (size_t i = 0; i < TolmHeartbeat::kMaxHeartbeatSenders; ++i) heartbeat.observe(Heartbeat("x" + std::to_string(i), record));
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), TolmHeartbeat::kMaxHeartbeatSenders);
    fake.clock.advance(2s);
    from("7000", ":1.7");
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), 1u);
}

TEST_F(HeartbeatObserverTest, ARealViewerStartingDuringAFloodOfConnectionsIsListed) {
    const Record flood = MakeRecord(std::string("/opt/Flood.app"));
    const auto beat = [&](const std::string& pid, const std::string& sender, Record record) {
        platform::Notification notification = Heartbeat(pid, std::move(record));
        notification.sender = sender;
        heartbeat.observe(notification);
    };
    // 600 connections, each beating under 4 pid texts: more than the table holds.
    const auto floodRound = [&] {
        for (int connection = 0; connection < 600; ++connection) {
            for (int pid = 0; pid < 4; ++pid) {
                beat(std::to_string(100000 + connection * 4 + pid), ":1." + std::to_string(connection), flood);
            }
        }
    };
    floodRound();
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), TolmHeartbeat::kMaxHeartbeatSenders);
    const Record viewer = MakeRecord(std::string(kViewer));
    beat("42", ":1.9999", viewer);
    EXPECT_EQ(Records(heartbeat.getBeatingProcesses(std::string(kViewer))), std::vector<Record>{viewer});
    // The flood goes on: a sender with one entry is the last to go.
    fake.clock.advance(300ms);
    floodRound();
    fake.clock.advance(300ms);
    floodRound();
    EXPECT_EQ(Records(heartbeat.getBeatingProcesses(std::string(kViewer))), std::vector<Record>{viewer});
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), TolmHeartbeat::kMaxHeartbeatSenders);
}

TEST_F(HeartbeatObserverTest, APidTextThatIsNotThePostersOwnIsDropped) {
    const Record viewer = MakeRecord(std::string(kViewer));
    platform::Notification real = Heartbeat("4242", viewer);
    real.sender = ":1.5";
    real.senderProcessIdentifier = 4242;
    heartbeat.observe(real);
    // A stranger posting under the viewer's pid, naming another viewer.
    platform::Notification spoofed = Heartbeat("4242", MakeRecord(std::string("/opt/Elsewhere.app")));
    spoofed.sender = ":1.6";
    spoofed.senderProcessIdentifier = 666;
    heartbeat.observe(spoofed);
    EXPECT_EQ(Records(heartbeat.getBeatingProcesses(std::string(kViewer))), std::vector<Record>{viewer});
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), 1u);
}

TEST_F(HeartbeatObserverTest, AViewerPathNamingTheSameFolderThroughALinkIsListed) {
    fake.fileSystem.addFolder("/Volumes/Apps/Veldane Lumaro.app");
    fake.fileSystem.addLink("/Applications", "/Volumes/Apps");
    fake.fileSystem.addFolder("/opt/Veldane Lumaro.app");
    const Record real = MakeRecord(std::string("/Volumes/Apps/Veldane Lumaro.app"));
    const Record other = MakeRecord(std::string("/opt/Veldane Lumaro.app"));
    heartbeat.observe(Heartbeat("1", real));
    heartbeat.observe(Heartbeat("2", other));
    EXPECT_EQ(Records(heartbeat.getBeatingProcesses(std::string(kViewer))), std::vector<Record>{real});
}

TEST_F(HeartbeatObserverTest, OversizedRecordIsDropped) {
    HeartbeatRecord huge{{kUserInfoLumaroAppPath, std::string(TolmHeartbeat::kMaxHeartbeatBytes, 'x')}};
    heartbeat.observe(Heartbeat("1", std::make_shared<const HeartbeatRecord>(huge)));
    EXPECT_EQ(heartbeat.heartbeatEntryCount(), 0u);
}

// The free functions use the process's default platform (the fakes here), on
// which the system version cannot be read: heartbeats are in use.
class HeartbeatFunctionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake.notificationCenter.calls.clear();
        fake.notificationCenter.addFailure.reset();
        fake.console.output.clear();
    }
    void TearDown() override { StopTolmHeartbeatObserver(); }
    FakePlatform& fake = DefaultFakePlatform();
};

TEST_F(HeartbeatFunctionsTest, StartObservesDeliveredHeartbeatsStopEndsIt) {
    ASSERT_TRUE(TolmBroadcast::useHeartBeat());
    StartTolmHeartbeatObserver();
    EXPECT_EQ(fake.notificationCenter.calls, std::vector<std::string>{"add com.veldane.Tolm.Heartbeat"});
    EXPECT_EQ(fake.console.output, "");

    fake.notificationCenter.deliver(Heartbeat("4711", MakeRecord(std::string(kViewer))));
    ASSERT_EQ(GetBeatingProcesses(std::string(kViewer)).size(), 1u);

    StopTolmHeartbeatObserver();
    EXPECT_TRUE(fake.notificationCenter.registrations.empty());
    fake.notificationCenter.deliver(Heartbeat("4712", MakeRecord(std::string(kViewer))));
    // The collected entry stays; nothing new was recorded.
    EXPECT_EQ(GetBeatingProcesses(std::string(kViewer)).size(), 1u);
    fake.clock.advance(1s);
    // No fresh heartbeat: the scan's answer, which finds nothing either.
    EXPECT_EQ(GetBeatingProcesses(std::string(kViewer)), RunningInstanceList{std::string(kINVALIDAPPNAME)});
    EXPECT_FALSE(IsHeartbeatShape());
}

TEST_F(HeartbeatFunctionsTest, NoBusPrintsOneLineAndTheScanAnswers) {
    fake.notificationCenter.addFailure = "no message bus could be reached (system bus: gone)";
    StartTolmHeartbeatObserver();
    EXPECT_EQ(fake.console.output,
              "Heartbeats could not be observed, so the running applications are scanned instead: no message bus "
              "could be reached (system bus: gone)\n");
    EXPECT_FALSE(IsHeartbeatShape());
    EXPECT_EQ(GetBeatingProcesses(std::string(kViewer)), RunningInstanceList{std::string(kINVALIDAPPNAME)});

    // Observing again with a bus: heartbeats decide again.
    fake.notificationCenter.addFailure.reset();
    StartTolmHeartbeatObserver();
    EXPECT_TRUE(IsHeartbeatShape());
}

TEST_F(HeartbeatFunctionsTest, ALostConnectionIsSaidOnceAndTheScanAnswersFromThen) {
    StartTolmHeartbeatObserver();
    fake.notificationCenter.deliver(Heartbeat("4713", MakeRecord(std::string(kViewer))));
    fake.notificationCenter.lostConnection = "the system bus (unix:path=/s) closed the connection";
    EXPECT_EQ(GetBeatingProcesses(std::string(kViewer)), RunningInstanceList{std::string(kINVALIDAPPNAME)});
    EXPECT_FALSE(IsHeartbeatShape());
    GetBeatingProcesses(std::string(kViewer));
    EXPECT_EQ(fake.console.output,
              "Heartbeats can no longer be observed, so the running applications are scanned instead: the system bus "
              "(unix:path=/s) closed the connection\n");
    fake.notificationCenter.lostConnection.reset();
}

// On 10.9 and later the observer registers nothing and the query scans, with the
// identifier of the bundle at the standardized install path. The decision is
// made once per process, so this runs in a process of its own.
TEST(HeartbeatFunctionsOnMavericks, ScanShapeWithIdentifierFromStandardizedPath) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FakePlatform& fake = DefaultFakePlatform();
            fake.propertyLists.add("/System/Library/CoreServices/SystemVersion.plist", {{"ProductVersion", "10.13.6"}});
            fake.bundles.add(kViewer, {{"CFBundleIdentifier", "org.example.NotTheViewer"}});
            fake.workspace.add("org.example.NotTheViewer", kViewer, "Example");
            StartTolmHeartbeatObserver();
            const RunningInstanceList list = GetBeatingProcesses(std::string(kViewer) + "/.");
            StopTolmHeartbeatObserver();
            const bool ok = !TolmBroadcast::useHeartBeat() && fake.notificationCenter.calls.empty() &&
                            list.size() == 2 && std::get<std::string>(list[0]) == "Example" &&
                            std::get<std::string>(list[1]) == "Example";
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
