// The entry: argument checks in their order, the modes and the exit statuses.

#include "LogicTestSupport.h"

namespace {

constexpr const char* kInsufficient = "Halvern:ERROR: Insufficient number of command line arguments.\n";
constexpr const char* kInvalid = "Halvern:ERROR: Invalid command line argument.\n";
constexpr const char* kCLIFailure =
    "Could not obtain the installation path from command line install. Installation failure.\n";

class RunAppTest : public HalvernTest {
protected:
    void SetUp() override {
        fake.bundles.addLumaro(kLumaro, "2017", "17.8.30051");
        fake.fileSystem.addFolder(kLumaro);
    }
    int Run(std::initializer_list<std::string> arguments) {
        Argv argv(arguments);
        return halvern.runApp(argv.argc(), argv.argv());
    }
};

TEST_F(RunAppTest, FewerThanFourArgumentsWhateverTheySay) {
    EXPECT_EQ(Run({"Halvern"}), -1);
    EXPECT_EQ(Run({"Halvern", "1"}), -1);
    EXPECT_EQ(Run({"Halvern", "1", "/p"}), -1);
    EXPECT_EQ(Run({"Halvern", "7", "/p", kLumaro}), -1);  // count first, then the mode
    EXPECT_EQ(fake.console.output, std::string(kInsufficient) + kInsufficient + kInsufficient + kInsufficient);
    EXPECT_TRUE(fake.fileSystem.calls.empty());
}

TEST_F(RunAppTest, NoArgumentVectorAtAll) {
    char* const argv[] = {nullptr};
    EXPECT_EQ(halvern.runApp(0, argv), -1);
    EXPECT_EQ(fake.console.output, kInsufficient);
}

TEST_F(RunAppTest, ModeFlagMustBeExactly1Or0) {
    for (const char* mode : {"2", "", "1 ", " 1", "01", "true", "\xE9"}) {
        fake.console.output.clear();
        EXPECT_EQ(Run({"Halvern", mode, "/p", kLumaro, "0"}), -1) << mode;
        EXPECT_EQ(fake.console.output, kInvalid) << mode;
    }
    EXPECT_TRUE(fake.fileSystem.calls.empty());
}

TEST_F(RunAppTest, CommandLineSuccessIs0WhenTheCheckFlagIsNot1) {
    for (const char* flag : {"0", "", "yes", "1 "}) {
        FakePlatform fresh;
        fresh.bundles.addLumaro(kLumaro, "2017", "17.8.30051");
        fresh.fileSystem.addFolder(kLumaro);
        Halvern installer(fresh.view);
        Argv argv{"Halvern", "1", "/Pack", kLumaro, flag, "extra", "ignored"};
        EXPECT_EQ(installer.runApp(argv.argc(), argv.argv()), 0) << flag;
        EXPECT_EQ(fresh.fileSystem.createdLinks.size(), 1u);
        EXPECT_EQ(fresh.console.lines().back(), "Found a valid Veldane Lumaro Next at " + std::string(kLumaro) + ".");
    }
}

TEST_F(RunAppTest, CommandLineFailureEndsWithTheFailureLine) {
    EXPECT_EQ(Run({"Halvern", "1", "/Pack", "/nowhere", "0"}), -1);
    EXPECT_TRUE(fake.console.output.ends_with(std::string("No PDF handler found by the OS.\n") + kCLIFailure));

    fake.console.output.clear();
    fake.fileSystem.addFile("/Taken");
    EXPECT_EQ(Run({"Halvern", "1", "/Taken", kLumaro, "0"}), -1);
    EXPECT_TRUE(fake.console.output.ends_with(kCLIFailure));
}

TEST_F(RunAppTest, FailedCommandLineInstallationEndsAtOnceEvenWithTheCheckFlag) {
    int status = 0;
    try {
        status = Run({"Halvern", "1", "/Pack", "/nowhere", "1"});
    } catch (const ProcessExit& exit) {
        ADD_FAILURE() << "the wait ran and ended the process with " << exit.status;
    }
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(fake.console.output.ends_with(kCLIFailure)) << fake.console.output;
    EXPECT_TRUE(fake.runLoop.scheduled.empty());
    EXPECT_TRUE(fake.process.exits.empty());
}

TEST_F(RunAppTest, PackLinkPathThatIsNotUTF8MakesNoLink) {
    EXPECT_EQ(Run({"Halvern", "1", "/Pack\xE9", kLumaro, "0"}), 0);
    EXPECT_TRUE(fake.fileSystem.createdLinks.empty());
}

TEST(DefaultPlatformInTests, IsTheProcessWideFakePlatform) {
    FakePlatform& fakes = DefaultFakePlatform();
    EXPECT_EQ(&platform::DefaultPlatform().console, &fakes.console);

    Halvern halvern(platform::DefaultPlatform());
    Argv argv{"Halvern"};
    EXPECT_EQ(halvern.runApp(argv.argc(), argv.argv()), -1);
    EXPECT_EQ(fakes.console.output, kInsufficient);
}

}  // namespace
