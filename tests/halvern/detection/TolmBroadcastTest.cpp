// The broadcaster on fakes: what it posts, for whom, how often, and how it stops.

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "FakePlatform.h"
#include "TolmHeartbeat.h"

namespace {

using namespace std::chrono_literals;
using Post = FakeNotificationCenter::Post;

constexpr const char* kViewer = "/Applications/Veldane Lumaro.app";

class TolmBroadcastTest : public ::testing::Test {
protected:
    // Waits until at least count posts were made (at most 5 s) and returns them.
    std::vector<Post> WaitForPosts(size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (fake.notificationCenter.postsCopy().size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        return fake.notificationCenter.postsCopy();
    }
    // Runs one operation to its end: started, given time for a few posts, cancelled.
    std::vector<Post> RunOperation(std::optional<std::string> path, size_t posts = 2) {
        TolmBroadcast operation(fake.view, std::move(path));
        std::thread runner([&] { operation.main(); });
        WaitForPosts(posts);
        operation.cancel();
        runner.join();
        return fake.notificationCenter.postsCopy();
    }

    FakePlatform fake;
};

TEST_F(TolmBroadcastTest, OwnBundleRecordWithPidObjectToAllSessions) {
    fake.bundles.add(kViewer, {{"CFBundleIdentifier", "com.veldane.Lumaro"}});
    fake.bundles.mainBundle = kViewer;
    fake.processInfo.pid = 31337;
    const std::vector<Post> posts = RunOperation(std::string("/opt/The Viewer.app"));
    ASSERT_GE(posts.size(), 2u);
    const HeartbeatRecord expected{{kUserInfoHostAppPath, kViewer},
                                   {kUserInfoHostDisplayName, "Veldane Lumaro"},
                                   {kUserInfoLumaroAppPath, "/opt/The Viewer.app"}};
    for (const Post& post : posts) {
        EXPECT_EQ(post.name, "com.veldane.Tolm.Heartbeat");
        EXPECT_EQ(post.object, "31337");
        EXPECT_EQ(post.options, 2u);
        ASSERT_TRUE(post.userInfo);
        EXPECT_EQ(*post.userInfo, expected);
        EXPECT_EQ(post.userInfo.get(), posts[0].userInfo.get());  // built once
    }
    EXPECT_EQ(fake.processInfo.launcherLookups, 0);
}

TEST_F(TolmBroadcastTest, NothingToSendFinishesAtOnce) {
    fake.bundles.mainBundle = kViewer;
    TolmBroadcast noPath(fake.view, std::nullopt);
    noPath.main();  // returns without being cancelled
    fake.bundles.mainBundle.reset();
    TolmBroadcast noBundle(fake.view, std::string(kViewer));
    noBundle.main();
    fake.bundles.mainBundle = kViewer;
    fake.workspace.displayNames[kViewer] = std::nullopt;  // no display name
    TolmBroadcast noName(fake.view, std::string(kViewer));
    noName.main();
    EXPECT_TRUE(fake.notificationCenter.postsCopy().empty());
}

TEST_F(TolmBroadcastTest, DisplayNameLosesItsExtension) {
    fake.bundles.mainBundle = "/Applications/Other.app";
    fake.workspace.displayNames["/Applications/Other.app"] = "Lumaro Host.v2.app";
    const std::vector<Post> posts = RunOperation(std::string(kViewer), 1);
    ASSERT_FALSE(posts.empty());
    EXPECT_EQ(posts[0].userInfo->at(kUserInfoHostDisplayName), "Lumaro Host.v2");
}

TEST_F(TolmBroadcastTest, PluginHostSpeaksForItsLauncher) {
    const std::string host = "/Applications/Safari.app/Contents/PlugIns/Host.app";
    fake.bundles.add(host, {{"CFBundleIdentifier", "com.apple.WebKit.PluginProcess"}});
    fake.bundles.mainBundle = host;
    fake.processInfo.launcherBundle = "/Applications/Safari.app";
    const std::vector<Post> posts = RunOperation(std::string(kViewer));
    ASSERT_FALSE(posts.empty());
    EXPECT_EQ(*posts[0].userInfo, (HeartbeatRecord{{kUserInfoHostAppPath, "/Applications/Safari.app"},
                                                   {kUserInfoHostDisplayName, "Safari"},
                                                   {kUserInfoLumaroAppPath, kViewer}}));
    EXPECT_EQ(fake.processInfo.launcherLookups, 1);
}

TEST_F(TolmBroadcastTest, PluginHostWithoutUsableLauncherFallsBackToItsOwnBundle) {
    const std::string host = "/Applications/Safari.app/Contents/PlugIns/Host.app";
    fake.bundles.add(host, {{"CFBundleIdentifier", "com.apple.WebKit.PluginProcess"}});
    fake.bundles.mainBundle = host;
    const HeartbeatRecord own{{kUserInfoHostAppPath, host}, {kUserInfoHostDisplayName, "Host"},
                              {kUserInfoLumaroAppPath, kViewer}};

    // Lookup fails.
    EXPECT_EQ(*RunOperation(std::string(kViewer), 1).at(0).userInfo, own);

    // Launcher found, but no display name for its bundle.
    fake.notificationCenter.posts.clear();
    fake.processInfo.launcherBundle = "/Applications/Safari.app";
    fake.workspace.displayNames["/Applications/Safari.app"] = std::nullopt;
    EXPECT_EQ(*RunOperation(std::string(kViewer), 1).at(0).userInfo, own);

    // A plug-in host with neither: nothing at all to send.
    fake.notificationCenter.posts.clear();
    fake.workspace.displayNames[host] = std::nullopt;
    TolmBroadcast operation(fake.view, std::string(kViewer));
    operation.main();
    EXPECT_TRUE(fake.notificationCenter.postsCopy().empty());
}

TEST_F(TolmBroadcastTest, SixtyFourBitPluginHostIsLikeAnyOtherProcess) {
    const std::string host = "/Applications/Host64.app";
    fake.bundles.add(host, {{"CFBundleIdentifier", "com.apple.WebKit.Plugin.64"}});
    fake.bundles.mainBundle = host;
    fake.processInfo.launcherBundle = "/Applications/Safari.app";
    const std::vector<Post> posts = RunOperation(std::string(kViewer), 1);
    EXPECT_EQ(posts.at(0).userInfo->at(kUserInfoHostAppPath), host);
    EXPECT_EQ(fake.processInfo.launcherLookups, 0);
}

TEST_F(TolmBroadcastTest, PostsAboutFourTimesASecond) {
    fake.bundles.mainBundle = kViewer;
    TolmBroadcast operation(fake.view, std::string(kViewer));
    std::thread runner([&] { operation.main(); });
    std::this_thread::sleep_for(1100ms);
    operation.cancel();
    runner.join();
    // First post at once, then one every 0.25 s: 5 in 1.1 s, give or take
    // scheduling.
    const size_t count = fake.notificationCenter.postsCopy().size();
    EXPECT_GE(count, 3u);
    EXPECT_LE(count, 6u);
}

TEST_F(TolmBroadcastTest, CancelledBeforeItStartsPostsNothing) {
    fake.bundles.mainBundle = kViewer;
    TolmBroadcastQueue queue;
    auto operation = std::make_shared<TolmBroadcast>(fake.view, std::string(kViewer));
    operation->cancel();
    queue.addOperation(operation);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (queue.operationCount() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(queue.operationCount(), 0u);
    EXPECT_TRUE(fake.notificationCenter.postsCopy().empty());
}

TEST_F(TolmBroadcastTest, StopBroadcastingEndsEveryBroadcasterPromptly) {
    fake.bundles.mainBundle = kViewer;
    TolmHeartbeat heartbeat(fake.view);
    heartbeat.startBroadcasting(std::string(kViewer));
    heartbeat.startBroadcasting(std::string("/opt/Second.app"));
    WaitForPosts(4);

    heartbeat.stopBroadcasting();
    const size_t atStop = fake.notificationCenter.postsCopy().size();
    // At most the pass in progress of each loop may still post.
    std::this_thread::sleep_for(600ms);
    EXPECT_LE(fake.notificationCenter.postsCopy().size(), atStop + 2);

    // Two streams with the same object, each with its own viewer path.
    std::set<std::string> paths;
    for (const Post& post : fake.notificationCenter.postsCopy()) {
        EXPECT_EQ(post.object, "4242");
        paths.insert(post.userInfo->at(kUserInfoLumaroAppPath));
    }
    EXPECT_EQ(paths, (std::set<std::string>{kViewer, "/opt/Second.app"}));
}

TEST_F(TolmBroadcastTest, CancelledOperationLeavesItsPauseAtOnce) {
    fake.bundles.mainBundle = kViewer;
    TolmBroadcastQueue queue;
    queue.addOperation(std::make_shared<TolmBroadcast>(fake.view, std::string(kViewer)));
    WaitForPosts(1);
    const auto cancelled = std::chrono::steady_clock::now();
    queue.cancelAllOperations();
    while (queue.operationCount() > 0 && std::chrono::steady_clock::now() - cancelled < 5s) {
        std::this_thread::sleep_for(1ms);
    }
    // Well within one pause of 0.25 s (the bound leaves room for a loaded machine).
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 1s);
    EXPECT_EQ(queue.operationCount(), 0u);
}

}  // namespace
