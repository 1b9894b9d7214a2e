// The system log through syslog(3), captured from a private /dev/log inside a
// bubblewrap sandbox.

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using testsupport::TempDir;

class SyslogSystemLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::Bubblewrap()) GTEST_SKIP() << "bubblewrap (bwrap) is not installed";
    }

    testsupport::ProcessResult Log(const std::string& message, bool withLog) {
        testsupport::Sandbox sandbox;
        sandbox.readOnlyBind(HALVERN_PLATFORM_TOOL, "/opt/tool");
        if (withLog) sandbox.bind(receiver.path(), "/dev/log");
        return testsupport::RunProcess(sandbox.command({"/opt/tool", "syslog", message}),
                                       testsupport::BaseEnvironment());
    }

    TempDir dir;
    testsupport::SyslogReceiver receiver{dir / "log"};
};

TEST_F(SyslogSystemLogTest, MessageArrivesVerbatimUnderTheIdentityHalvern) {
    const std::string message = "Version 17.8.30051 needed: 100% %s %n %d \xE2\x80\x9Cquoted\xE2\x80\x9D";
    const auto result = Log(message, true);
    ASSERT_EQ(result.status, 0) << result.err;

    const std::vector<std::string> datagrams = receiver.messages();
    ASSERT_EQ(datagrams.size(), 1u);
    // <13>: facility user, severity notice.
    EXPECT_TRUE(datagrams[0].starts_with("<13>")) << datagrams[0];
    EXPECT_EQ(testsupport::SyslogMessage(datagrams[0], "Halvern"), message) << datagrams[0];
}

TEST_F(SyslogSystemLogTest, NoSystemLogIsNoFailure) {
    const auto result = Log("nobody listens", false);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(receiver.messages().empty());
}

}  // namespace
