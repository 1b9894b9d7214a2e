// The built Halvern.app run as the package scripts run it, for the wait for
// running viewers and the graphical mode: inside a bubblewrap sandbox whose
// /Applications, /Library, /System and /tmp are the test's own, inside
// dbus-run-session, with the sample viewer (or the sample browser and its
// plug-in host) running beside it; the graphical runs on a private X server,
// driven with xdotool as a person would.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "GraphicalSupport.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr const char* kHalvern = "/opt/Veldane/Halvern.app/Contents/MacOS/Halvern";
constexpr const char* kLumaro = "/Applications/Veldane Lumaro.app";
constexpr const char* kOld = "/Applications/Veldane Lumaro Old.app";
constexpr const char* kSecond = "/opt/Second/Veldane Lumaro.app";
constexpr const char* kPack = "/Library/Lumaro Pack";
constexpr const char* kViewerProgram = "/Applications/Veldane Lumaro.app/Contents/MacOS/Veldane Lumaro";

constexpr const char* kRunningCLI =
    "Halvern:ERROR: There is an instance of Veldane Lumaro running. Installation failure.";
constexpr const char* kInBrowserCLI =
    "Halvern:ERROR: There is an instance of Veldane Lumaro running inside a browser. Installation failure.";
constexpr const char* kGUIFailure =
    "Could not obtain a valid Lumaro application to install into. Installation failure.";

std::string Found(const std::string& path) { return "Found a valid Veldane Lumaro Next at " + path + "."; }

// The processes of process group group (as seen from here) whose program's
// path ends with suffix.
std::vector<pid_t> GroupProcesses(pid_t group, const std::string& suffix) {
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream statFile(entry.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        pid_t parent = 0, pgrp = 0;
        fields >> state >> parent >> pgrp;
        if (pgrp != group) continue;
        std::error_code linkError;
        const std::string exe = fs::read_symlink(entry.path() / "exe", linkError).string();
        if (!linkError && exe.size() >= suffix.size() && exe.compare(exe.size() - suffix.size(), suffix.size(), suffix) == 0) {
            found.push_back(static_cast<pid_t>(std::stoi(name)));
        }
    }
    return found;
}

// Polls until predicate holds or timeout passes.
template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

class HalvernRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::Bubblewrap()) GTEST_SKIP() << "bubblewrap (bwrap) is not installed";
        if (!testsupport::FindProgram("dbus-run-session")) GTEST_SKIP() << "dbus-run-session is not installed";
        for (const char* folder : {"tmp", "Library/Preferences", "home", "xdg/data/applications", "xdg/config",
                                   "System/Library/CoreServices", "opt/Second", "ro"}) {
            testsupport::MakeFolders(dir / folder);
        }
        testsupport::MakeFolders(dir / "xdg/data/mime");
        testsupport::MakeFolders(dir / "xdg/data/icons");
        testsupport::MakeFolders(dir / "xdg/data/glib-2.0");
        for (const char* name : {"mime.cache", "globs2", "globs", "magic", "aliases", "subclasses", "types"}) {
            const std::string from = std::string("/usr/share/mime/") + name;
            if (fs::exists(from)) fs::copy_file(from, dir / ("xdg/data/mime/" + std::string(name)));
        }
        // The sample viewer and the sample browser, built, with their programs.
        testsupport::CopyTree(std::string(HEARTBEAT_SAMPLES) + "/Veldane Lumaro.app", dir / "Applications/Veldane Lumaro.app");
        testsupport::CopyTree(std::string(HEARTBEAT_SAMPLES) + "/Sample Browser.app", dir / "Applications/Sample Browser.app");
        // A viewer one build too old, and a second valid one elsewhere.
        const std::string samples = std::string(HALVERN_SOURCE_DIR) + "/samples/Applications/";
        testsupport::CopyTree(samples + "Veldane Lumaro Old.app", dir / "Applications/Veldane Lumaro Old.app");
        testsupport::WriteFile(dir / "Applications/Veldane Lumaro Old.app/Contents/MacOS/Veldane Lumaro",
                               "#!/bin/sh\nexit 0\n", 0755);
        testsupport::CopyTree(samples + "Veldane Lumaro.app", dir / "opt/Second/Veldane Lumaro.app");
        testsupport::WriteFile(dir / "opt/Second/Veldane Lumaro.app/Contents/MacOS/Veldane Lumaro",
                               "#!/bin/sh\nexit 0\n", 0755);
        // Starts what the test asks for beside the program, then the program.
        testsupport::WriteFile(dir / "ro/run.sh",
                               "#!/bin/sh\n"
                               "case \"$1\" in\n"
                               "viewer) \"" + std::string(kViewerProgram) + "\" </dev/null >/tmp/beside.log 2>&1 & ;;\n"
                               "browser) \"/Applications/Sample Browser.app/Contents/MacOS/Sample Browser\" \"" +
                                   kLumaro + "\" </dev/null >/tmp/beside.log 2>&1 & ;;\n"
                               "viewer-then-no-bus) \"" + std::string(kViewerProgram) + "\" </dev/null >/tmp/beside.log 2>&1 &\n"
                               "  (sleep 0.8; for p in /proc/[0-9]*; do\n"
                               "     [ \"$(cat $p/comm 2>/dev/null)\" = dbus-daemon ] && kill ${p#/proc/}; done) & ;;\n"
                               "esac\n"
                               "shift\n"
                               "exec \"$@\" 2>>/tmp/halvern.err\n",
                               0755);
    }

    // Whatever the run, the program writes nothing on standard error.
    void TearDown() override {
        if (!IsSkipped()) {
            EXPECT_EQ(testsupport::ReadFile(dir / "tmp/halvern.err").value_or(""), "");
        }
    }

    // Instances are found by the scan of running applications (10.9 and later)
    // instead of heartbeats.
    void UseScan() {
        testsupport::WriteFile(dir / "System/Library/CoreServices/SystemVersion.plist",
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                               "<key>ProductVersion</key><string>10.9.5</string></dict></plist>\n");
        testsupport::WriteFile(dir / "Library/Preferences/com.veldane.quorvo.pdfviewer.plist",
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                               "<key>WebBrowserUsePath</key><string>file:///Applications/Veldane%20Lumaro.app/"
                               "</string></dict></plist>\n");
    }

    // PDF handlers for GIO, in this order; the first is the default.
    void Handlers(const Lines& bundles) {
        std::string cache = "[MIME Cache]\napplication/pdf=";
        for (size_t i = 0; i < bundles.size(); ++i) {
            const std::string id = "handler" + std::to_string(i) + ".desktop";
            testsupport::WriteFile(dir / ("xdg/data/applications/" + id),
                                   "[Desktop Entry]\nType=Application\nName=Handler " + std::to_string(i) +
                                       "\nExec=\"" + bundles[i] + "/Contents/MacOS/Veldane Lumaro\" %f\n"
                                       "MimeType=application/pdf;\n");
            cache += id + ";";
        }
        testsupport::WriteFile(dir / "xdg/data/applications/mimeinfo.cache", cache + "\n");
    }

    // Starts Halvern with arguments in the sandbox, with "viewer", "browser" or
    // "none" running beside it.
    std::unique_ptr<testsupport::BackgroundProcess> Start(const std::string& beside, const Lines& arguments,
                                                         const Lines& extraEnvironment = {},
                                                         const std::string& app = HALVERN_APP) {
        const bool graphical = arguments.at(0) == "0";
        testsupport::Sandbox sandbox;
        sandbox.readOnlyBind(app, "/opt/Veldane/Halvern.app")
            .bind(dir / "Applications", "/Applications")
            .bind(dir / "Library", "/Library")
            .readOnlyBind(dir / "System", "/System")
            .readOnlyBind(dir / "opt/Second", "/opt/Second")
            .bind(dir / "tmp", "/tmp")
            .bind(dir / "home", "/home/user")
            .readOnlyBind(dir / "xdg", "/xdg")
            .readOnlyBind(dir / "ro", "/ro")
            .bind(log.path(), "/dev/log");
        // The private data folder has the test's own applications and MIME
        // database, and unless told otherwise the system's icons and settings
        // schemas.
        for (const char* shared : {"icons", "glib-2.0"}) {
            if (!systemIconsAndSchemas) break;
            const std::string from = std::string("/usr/share/") + shared;
            if (fs::exists(from)) sandbox.readOnlyBind(from, std::string("/xdg/data/") + shared);
        }
        if (fs::exists(testsupport::Xvfb::socketFolder())) {
            sandbox.readOnlyBind(testsupport::Xvfb::socketFolder(), testsupport::Xvfb::socketFolder());
        }
        Lines environment = testsupport::BaseEnvironment();
        if (graphical) {
            // In a sanitizer build, what GTK's libraries keep until exit() is no
            // leak of the program's; the command-line runs get no suppression.
            sandbox.readOnlyBind(LSAN_SUPPRESSIONS, "/opt/lsan-graphical.supp");
            std::string lsan = "suppressions=/opt/lsan-graphical.supp:print_suppressions=0";
            for (const std::string& entry : environment) {
                if (entry.starts_with("LSAN_OPTIONS=")) lsan += ":" + entry.substr(13);
            }
            testsupport::SetVariable(environment, "LSAN_OPTIONS", lsan);
        }
        environment.insert(environment.end(),
                           {"HOME=/home/user", "XDG_DATA_HOME=/home/user/.local/share", "XDG_DATA_DIRS=/xdg/data",
                            "XDG_CONFIG_HOME=/xdg/config", "XDG_CONFIG_DIRS=/xdg/config", "NO_AT_BRIDGE=1"});
        for (const std::string& entry : extraEnvironment) {
            const size_t equals = entry.find('=');
            testsupport::SetVariable(environment, entry.substr(0, equals), entry.substr(equals + 1));
        }
        Lines command{"/bin/sh", "/ro/run.sh", beside, kHalvern};
        if (withBus) command.insert(command.begin(), {"/usr/bin/dbus-run-session", "--"});
        command.insert(command.end(), arguments.begin(), arguments.end());
        return std::make_unique<testsupport::BackgroundProcess>(sandbox.command(command), environment);
    }

    // Waits for the run to end; its status, or -1 when it had to be killed.
    static int Finish(testsupport::BackgroundProcess& run, std::chrono::seconds timeout = 60s) {
        const std::optional<int> status = run.wait(timeout);
        if (!status) {
            run.signal(SIGKILL);
            run.wait(10s);
            return -1;
        }
        return *status;
    }

    // The lines of the run's output that the wait and the graphical mode print
    // after the installation's lines.
    static Lines After(const Lines& lines, const std::string& from) {
        auto it = std::find(lines.begin(), lines.end(), from);
        return it == lines.end() ? Lines{"(missing) " + from} : Lines(it + 1, lines.end());
    }

    std::optional<std::string> Link() { return testsupport::ReadLink(dir / "Library/Lumaro Pack"); }

    // The messages that reached the sandbox's /dev/log under the identity Halvern.
    Lines SystemLog() {
        Lines messages;
        for (const std::string& datagram : log.messages()) {
            if (auto message = testsupport::SyslogMessage(datagram, "Halvern")) messages.push_back(*message);
        }
        return messages;
    }

    testsupport::TempDir dir;
    testsupport::SyslogReceiver log{dir / "log"};
    bool systemIconsAndSchemas = true;
    // The run gets a session bus of its own (dbus-run-session); without it,
    // no bus at all can be reached inside the sandbox.
    bool withBus = true;
};

// --- Command-line mode with the check-running flag "1" ------------------------------

class WaitCommandLineTest : public HalvernRunTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        HalvernRunTest::SetUp();
        if (IsSkipped()) return;
        if (GetParam()) UseScan();
    }
    Lines Install() {
        return {"The initial path provided in the preinstall script is /Applications/Veldane Lumaro.app.",
                "Obtained the bundle for /Applications/Veldane Lumaro.app ID as com.veldane.Lumaro. Now checking the "
                "bundle version.",
                "Obtained the bundle version as 17.8.30051", "Obtained the bundle track as 2017", Found(kLumaro)};
    }
};

TEST_P(WaitCommandLineTest, NothingRunningEndsWith0AfterTwoSecondsAndNeverLoadsGtk) {
    const auto started = std::chrono::steady_clock::now();
    auto run = Start("none", {"1", kPack, kLumaro, "1"});

    // While it waits, the process has GLib mapped but nothing of GTK.
    std::vector<std::string> mapped;
    Eventually(
        [&] {
            const auto halvern = GroupProcesses(run->pid(), "/Halvern");
            if (!halvern.empty()) mapped = testsupport::MappedFiles(halvern.front());
            return std::any_of(mapped.begin(), mapped.end(),
                               [](const std::string& f) { return f.find("libglib-2.0") != std::string::npos; });
        },
        5s);
    const int status = Finish(*run);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(status, 0) << run->err();
    EXPECT_EQ(testsupport::Lines(run->out()), Install());
    EXPECT_GE(elapsed, 2.0);
    ASSERT_FALSE(mapped.empty()) << "the waiting program was not found";
    for (const std::string& file : mapped) {
        EXPECT_EQ(file.find("libgtk"), std::string::npos) << file;
        EXPECT_EQ(file.find("libgdk"), std::string::npos) << file;
        EXPECT_EQ(file.find("HalvernGtk"), std::string::npos) << file;
    }
    EXPECT_EQ(Link(), kLumaro);
}

TEST_P(WaitCommandLineTest, AStandAloneViewerFailsTheInstallationButLeavesTheLink) {
    auto run = Start("viewer", {"1", kPack, kLumaro, "1"});
    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()), Found(kLumaro)), Lines{kRunningCLI});
    EXPECT_EQ(Link(), kLumaro);
}

TEST_P(WaitCommandLineTest, AViewerInsideTheBrowsersPluginHostFailsTheInstallation) {
    auto run = Start("browser", {"1", kPack, kLumaro, "1"});
    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()), Found(kLumaro)), Lines{kInBrowserCLI});
}

TEST_P(WaitCommandLineTest, ABusKilledDuringTheWaitLeavesTheCheckToTheScan) {
    // The sandbox's own session bus ends 0.8 s into the run, while the viewer
    // runs and beats: its heartbeats stop arriving, the scan still sees it.
    auto run = Start("viewer-then-no-bus", {"1", kPack, kLumaro, "1"});
    const int status = Finish(*run);
    const Lines after = After(testsupport::Lines(run->out()), Found(kLumaro));
    // dbus-run-session saw its bus end.
    EXPECT_NE(run->err().find("dbus-daemon exited"), std::string::npos) << run->err();
    EXPECT_EQ(status, 255) << run->err();
    if (GetParam()) {
        EXPECT_EQ(after, Lines{kRunningCLI});  // the scan needs no bus
    } else {
        ASSERT_EQ(after.size(), 2u) << run->out();
        EXPECT_TRUE(after[0].starts_with("Heartbeats can no longer be observed, so the running applications are "
                                         "scanned instead: the session bus (unix:"))
            << after[0];
        EXPECT_TRUE(after[0].ends_with(") closed the connection")) << after[0];
        EXPECT_EQ(after[1], kRunningCLI);
    }
}

TEST_P(WaitCommandLineTest, AViewerRunningFromItsRealPathIsFoundThroughALinkedInstallPath) {
    // /Library/Linked is a link to /Applications; the viewer runs from (and its
    // heartbeats name) /Applications/Veldane Lumaro.app.
    fs::create_symlink("/Applications", dir / "Library/Linked");
    const std::string linked = "/Library/Linked/Veldane Lumaro.app";
    auto run = Start("viewer", {"1", kPack, linked, "1"});
    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()), Found(linked)), Lines{kRunningCLI});

    // Once it has quit.
    fs::remove(dir / "Library/Lumaro Pack");
    auto after = Start("none", {"1", kPack, linked, "1"});
    EXPECT_EQ(Finish(*after), 0) << after->err();
    EXPECT_EQ(After(testsupport::Lines(after->out()), Found(linked)), Lines{});
    EXPECT_EQ(Link(), linked);
}

INSTANTIATE_TEST_SUITE_P(HeartbeatsAndScan, WaitCommandLineTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Scan" : "Heartbeats"; });

TEST_F(HalvernRunTest, WithoutAnyBusTheScanDecides) {
    const std::string noBus =
        "Heartbeats could not be observed, so the running applications are scanned instead: no message bus could be "
        "reached (system bus (unix:path=/var/run/dbus/system_bus_socket): Could not connect: No such file or "
        "directory; session bus: DBUS_SESSION_BUS_ADDRESS is not set and there is no $XDG_RUNTIME_DIR/bus)";
    withBus = false;
    auto run = Start("viewer", {"1", kPack, kLumaro, "1"});
    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()), Found(kLumaro)), (Lines{noBus, kRunningCLI}));

    fs::remove(dir / "Library/Lumaro Pack");
    auto none = Start("none", {"1", kPack, kLumaro, "1"});
    EXPECT_EQ(Finish(*none), 0) << none->err();
    EXPECT_EQ(After(testsupport::Lines(none->out()), Found(kLumaro)), Lines{noBus});
}

// --- Graphical mode ---------------------------------------------------------------------

class GraphicalModeTest : public HalvernRunTest {
protected:
    void SetUp() override {
        HalvernRunTest::SetUp();
        if (IsSkipped()) return;
        if (!testsupport::FindProgram("xdotool")) GTEST_SKIP() << "xdotool is not installed";
        xvfb = std::make_unique<testsupport::Xvfb>();
        if (!xvfb->ok()) GTEST_SKIP() << xvfb->failure();
    }
    std::unique_ptr<testsupport::BackgroundProcess> StartGraphical(const std::string& beside, const std::string& check,
                                                                  const std::string& lang = "C") {
        return Start(beside, {"0", kPack, "/ignored/in/graphical/mode.app", check},
                     {"DISPLAY=" + xvfb->display(), "LANG=" + lang});
    }
    // The window titled title that shows up within timeout (an alert or the
    // panel), other than except; none when the run ends first.
    std::string WindowTitled(testsupport::BackgroundProcess& run, const std::string& title,
                             const std::string& except = "", std::chrono::milliseconds timeout = 20s) {
        std::string found;
        Eventually(
            [&] {
                if (!run.running()) return true;
                for (const std::string& window : testsupport::WaitForWindows(xvfb->display(), title, 200ms)) {
                    if (window != except) found = window;
                }
                return !found.empty();
            },
            timeout);
        return found;
    }
    bool Keys(const std::string& window, const Lines& keys) { return testsupport::SendKeys(xvfb->display(), window, keys); }
    void KillViewer(testsupport::BackgroundProcess& run) {
        for (pid_t pid : GroupProcesses(run.pid(), "/Veldane Lumaro")) ::kill(pid, SIGTERM);
    }

    std::unique_ptr<testsupport::Xvfb> xvfb;
};

TEST_F(GraphicalModeTest, RetryWhileTheViewerRunsAsksAgainAndSucceedsOnceItHasQuit) {
    Handlers({kLumaro});
    auto run = StartGraphical("viewer", "1");

    const std::string first = WindowTitled(*run, "Veldane Lumaro");
    ASSERT_FALSE(first.empty()) << run->out() << run->err();
    ASSERT_TRUE(Keys(first, {"Return"}));
    // The same question comes back at once, in a new alert.
    const std::string second = WindowTitled(*run, "Veldane Lumaro", first);
    ASSERT_FALSE(second.empty()) << run->out();
    KillViewer(*run);
    std::this_thread::sleep_for(1500ms);  // its last heartbeat goes stale
    ASSERT_TRUE(Keys(second, {"Return"}));

    EXPECT_EQ(Finish(*run), 0) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()), "Found the only Veldane Lumaro Next at location " + std::string(kLumaro)),
              (Lines{"Veldane Lumaro is running.", "User chose Retry.", "Veldane Lumaro is running.",
                     "User chose Retry."}));
    EXPECT_EQ(Link(), kLumaro);
}

TEST_F(GraphicalModeTest, CancelEndsWith255AndLeavesTheLink) {
    Handlers({kLumaro});
    auto run = StartGraphical("viewer", "1");
    const std::string alert = WindowTitled(*run, "Veldane Lumaro");
    ASSERT_FALSE(alert.empty()) << run->out() << run->err();
    ASSERT_TRUE(Keys(alert, {"Escape"}));

    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()), "Found the only Veldane Lumaro Next at location " + std::string(kLumaro)),
              (Lines{"Veldane Lumaro is running.", "User chose Cancel."}));
    EXPECT_EQ(Link(), kLumaro);
}

TEST_F(GraphicalModeTest, ThePanelOpensAtTheDefaultLocationWithItsNamePreselected) {
    // The system lists the other viewer first; Return takes what is preselected.
    Handlers({kSecond, kOld, kLumaro});
    auto run = StartGraphical("none", "0");
    const std::string panel = WindowTitled(*run, "Veldane Lumaro");
    ASSERT_FALSE(panel.empty()) << run->out() << run->err();
    std::this_thread::sleep_for(500ms);  // the folder is listed
    ASSERT_TRUE(Keys(panel, {"Return"}));

    EXPECT_EQ(Finish(*run), 0) << run->err();
    const Lines lines = testsupport::Lines(run->out());
    EXPECT_EQ(After(lines, "Found Veldane Lumaro Next at default location /Applications/Veldane Lumaro.app"),
              Lines{"The file chosen in panel is /Applications/Veldane Lumaro.app."});
    EXPECT_EQ(Link(), kLumaro);
}

TEST_F(GraphicalModeTest, AnInvalidBundleCannotBeChosenAndCancellingMakesNoLink) {
    Handlers({kSecond, kLumaro, kOld});
    auto run = StartGraphical("none", "0");
    const std::string panel = WindowTitled(*run, "Veldane Lumaro");
    ASSERT_FALSE(panel.empty()) << run->out() << run->err();
    std::this_thread::sleep_for(500ms);

    // Typed into the location field: the panel shows that bundle's folder;
    // confirmed with Open (Alt+O): refused, the panel stays.
    ASSERT_TRUE(Keys(panel, {"ctrl+l"}));
    ASSERT_TRUE(testsupport::TypeText(xvfb->display(), std::string(kOld) + "\n"));
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(Keys(panel, {"alt+o"}));
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(run->running());
    EXPECT_FALSE(testsupport::WaitForWindows(xvfb->display(), "Veldane Lumaro", 100ms).empty());

    // Escape leaves the location field first, then cancels the panel.
    for (int i = 0; i < 3 && run->running(); ++i) {
        Keys(panel, {"Escape"});
        run->wait(700ms);
    }
    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()),
                    "Found Veldane Lumaro Next at default location /Applications/Veldane Lumaro.app"),
              Lines{kGUIFailure});
    EXPECT_EQ(Link(), std::nullopt);
}

TEST_F(GraphicalModeTest, NoValidViewerShowsANoticeAndEndsWith255) {
    Handlers({kOld});
    auto run = StartGraphical("none", "1");
    const std::string alert = WindowTitled(*run, "Veldane Lumaro");
    ASSERT_FALSE(alert.empty()) << run->out() << run->err();
    ASSERT_TRUE(Keys(alert, {"Return"}));

    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()), "Obtained the bundle track as 2017"), Lines{kGUIFailure});
    EXPECT_EQ(Link(), std::nullopt);
}

TEST_F(GraphicalModeTest, LosingTheDisplayWhileAnAlertIsOpenEndsWith255AndOneLine) {
    Handlers({kLumaro});
    auto run = StartGraphical("viewer", "1");
    ASSERT_FALSE(WindowTitled(*run, "Veldane Lumaro").empty()) << run->out() << run->err();
    const std::string display = xvfb->display();
    xvfb.reset();  // the X server goes away

    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()), "Veldane Lumaro is running."),
              Lines{"Halvern:ERROR: Lost the connection to the display (DISPLAY=" + display + ")."});
}

TEST_F(GraphicalModeTest, WithoutMimeDataTheAlertStillShows) {
    // No icons and no MIME database: GTK's image loaders cannot tell a PNG,
    // so no icon can be drawn, GTK's own fallback icon included. The locale
    // is one the C library lacks.
    testsupport::MakeFolders(dir / "xdg/bare/applications");
    auto run = Start("none", {"0", kPack, "/ignored/in/graphical/mode.app", "1"},
                     {"DISPLAY=" + xvfb->display(), "XDG_DATA_DIRS=/xdg/bare", "XDG_DATA_HOME=/xdg/bare",
                      "LANG=xx_YY.UTF-8"});
    const std::string alert = WindowTitled(*run, "Veldane Lumaro");
    ASSERT_FALSE(alert.empty()) << run->out() << run->err();
    ASSERT_TRUE(Keys(alert, {"Return"}));

    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(testsupport::Lines(run->out()), (Lines{"No PDF handler found by the OS.", kGUIFailure}));
}

TEST_F(GraphicalModeTest, ThePanelNeedsNoSchemasIconsOrLocaleOfTheSystemsAndStoresNoSettings) {
    // A settings backend that would write a file, and GTK's complaints about
    // the locale and the missing icons.
    systemIconsAndSchemas = false;
    Handlers({kSecond, kLumaro});
    auto run = Start("none", {"0", kPack, "/ignored/in/graphical/mode.app", "0"},
                     {"DISPLAY=" + xvfb->display(), "LANG=xx_YY.UTF-8", "GSETTINGS_BACKEND=keyfile",
                      "XDG_CONFIG_HOME=/home/user/.config"});
    const std::string panel = WindowTitled(*run, "Veldane Lumaro");
    ASSERT_FALSE(panel.empty()) << run->out() << run->err();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(Keys(panel, {"Return"}));

    EXPECT_EQ(Finish(*run), 0) << run->out();
    EXPECT_EQ(Link(), kLumaro);
    EXPECT_FALSE(fs::exists(dir / "home/.config/glib-2.0"));
    const Lines logged = SystemLog();
    EXPECT_NE(std::find(logged.begin(), logged.end(),
                        "Gtk-WARNING: Locale not supported by C library. Using the fallback 'C' locale."),
              logged.end());
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(),
                            [](const std::string& m) { return m.starts_with("Gtk-WARNING: Could not find the icon "); }));
}

TEST_F(GraphicalModeTest, WithNoSchemaAtAllThePanelEndsWithOneLineNotASignal) {
    testsupport::CopyTree(HALVERN_APP, dir / "NoSchema.app");
    fs::remove_all(dir / "NoSchema.app/Contents/Resources/schemas");
    systemIconsAndSchemas = false;
    Handlers({kSecond, kLumaro});
    auto run = Start("none", {"0", kPack, "/ignored/in/graphical/mode.app", "0"}, {"DISPLAY=" + xvfb->display()},
                     dir / "NoSchema.app");
    EXPECT_EQ(Finish(*run), 255);
    EXPECT_EQ(After(testsupport::Lines(run->out()), "Found Veldane Lumaro Next at default location " + std::string(kLumaro)),
              Lines{"Halvern:ERROR: The graphical mode cannot go on: GLib-GIO-ERROR: No GSettings schemas are installed "
                    "on the system"});
    EXPECT_EQ(Link(), std::nullopt);
}

TEST_F(GraphicalModeTest, AsRootTheCallersSchemaFolderIsNotRead) {
    // The caller's panel schema has none of the keys that the panel reads.
    testsupport::WriteFile(dir / "home/schemas/panel.gschema.xml",
                           "<schemalist><schema id='org.gtk.Settings.FileChooser' path='/org/gtk/settings/file-chooser/'>"
                           "<key name='unused' type='b'><default>false</default></key></schema></schemalist>\n");
    const std::optional<std::string> compiler = testsupport::FindProgram("glib-compile-schemas");
    ASSERT_TRUE(compiler);
    ASSERT_EQ(testsupport::RunProcess({*compiler, dir / "home/schemas"}, testsupport::BaseEnvironment()).status, 0);
    Handlers({kSecond, kLumaro});
    auto run = Start("none", {"0", kPack, "/ignored/in/graphical/mode.app", "0"},
                     {"DISPLAY=" + xvfb->display(), "GSETTINGS_SCHEMA_DIR=/home/user/schemas"});
    if (::geteuid() != 0) {
        EXPECT_EQ(Finish(*run), 255);
        EXPECT_TRUE(run->out().find("Halvern:ERROR: The graphical mode cannot go on: ") != std::string::npos) << run->out();
        return;
    }
    const std::string panel = WindowTitled(*run, "Veldane Lumaro");
    ASSERT_FALSE(panel.empty()) << run->out();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(Keys(panel, {"Return"}));
    EXPECT_EQ(Finish(*run), 0) << run->out();
    EXPECT_EQ(Link(), kLumaro);
}

TEST_F(HalvernRunTest, LosingAWaylandDisplayWhileAnAlertIsOpenEndsWith255AndOneLine) {
    testsupport::Weston weston(dir / "tmp/wayland");
    ASSERT_TRUE(weston.ok()) << weston.failure();
    Handlers({kOld});
    auto run = Start("none", {"0", kPack, "/ignored/in/graphical/mode.app", "1"},
                     {"XDG_RUNTIME_DIR=/tmp/wayland", std::string("WAYLAND_DISPLAY=") + testsupport::Weston::kSocket,
                      "GDK_BACKEND=wayland"});
    // The alert opens once the search has ended.
    ASSERT_TRUE(Eventually([&] { return run->out().find("Obtained the bundle track as 2017") != std::string::npos; }, 20s))
        << run->out() << run->err();
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(run->running()) << run->out() << run->err();
    weston.stop();

    EXPECT_EQ(Finish(*run), 255) << run->err();
    EXPECT_EQ(After(testsupport::Lines(run->out()), "Obtained the bundle track as 2017"),
              Lines{std::string("Halvern:ERROR: Lost the connection to the display (WAYLAND_DISPLAY=") +
                    testsupport::Weston::kSocket + ")."});
}

// --- Graphical mode that cannot start -------------------------------------------------

TEST_F(HalvernRunTest, ADisplayThatNeverAnswersEndsWithOneLineAfterThreeSeconds) {
    testsupport::MuteDisplay mute;
    ASSERT_TRUE(mute.ok()) << mute.failure();
    const auto started = std::chrono::steady_clock::now();
    auto run = Start("none", {"0", kPack, kLumaro, "1"}, {"DISPLAY=" + mute.display()});
    const int status = Finish(*run, 20s);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(status, 255) << run->err();
    // The program gives up after 3 seconds; the rest is the sandbox's start,
    // which a loaded machine or a sanitizer build can stretch.
    EXPECT_LT(elapsed, 8.0);
    EXPECT_EQ(run->out(), "Halvern:ERROR: Cannot start the graphical mode: the display did not answer within 3 seconds "
                          "(DISPLAY=" + mute.display() + ").\n");
}

TEST_F(HalvernRunTest, WithoutADisplayTheGraphicalModeEndsWithOneLine) {
    auto run = Start("none", {"0", kPack, kLumaro, "1"}, {"DISPLAY="});
    EXPECT_EQ(Finish(*run), 255);
    EXPECT_EQ(run->out(),
              "Halvern:ERROR: Cannot start the graphical mode: no display is set (DISPLAY and WAYLAND_DISPLAY are "
              "empty).\n");

    auto unreachable = Start("none", {"0", kPack, kLumaro, "1"}, {"DISPLAY=:4093"});
    EXPECT_EQ(Finish(*unreachable), 255);
    EXPECT_EQ(unreachable->out(),
              "Halvern:ERROR: Cannot start the graphical mode: cannot open the display (DISPLAY=:4093).\n");
    EXPECT_EQ(Link(), std::nullopt);
}

TEST_F(HalvernRunTest, AMissingGraphicalModuleIsNamedInOneLine) {
    testsupport::CopyTree(HALVERN_APP, dir / "Broken.app");
    fs::remove_all(dir / "Broken.app/Contents/PlugIns");
    auto run = Start("none", {"0", kPack, kLumaro, "1"}, {"DISPLAY=:4093"}, dir / "Broken.app");
    EXPECT_EQ(Finish(*run), 255);
    const std::string out = run->out();
    EXPECT_TRUE(out.starts_with("Halvern:ERROR: Cannot load the graphical module "
                                "/opt/Veldane/Halvern.app/Contents/PlugIns/HalvernGtk.so: "))
        << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

}  // namespace
