// The built Halvern.app run as the package scripts run it, inside a bubblewrap
// sandbox whose /Applications, /Library, /tmp and /dev/log are the test's own:
// exact lines on standard output, the exit status, the link, the system log
// entries, and that nothing else on disk changed.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "../linux/PlistHostileSupport.h"
#include "TestSupport.h"
#include "platform/linux/PlistBundles.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;
using Lines = std::vector<std::string>;

constexpr const char* kHalvern = "/opt/Veldane/Halvern.app/Contents/MacOS/Halvern";
constexpr const char* kLumaro = "/Applications/Veldane Lumaro.app";
constexpr const char* kOld = "/Applications/Veldane Lumaro Old.app";
constexpr const char* kBeta = "/Applications/Veldane Lumaro Beta.app";
constexpr const char* kPack = "/Library/Lumaro Pack";
constexpr const char* kFailure = "Could not obtain the installation path from command line install. Installation failure.";
constexpr const char* kTrying = "Trying to upgrade the first Veldane Lumaro Next found by the OS.";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
    return text;
}

class CommandLineInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::Bubblewrap()) GTEST_SKIP() << "bubblewrap (bwrap) is not installed";
        // The sample viewers, each with a program for GIO to find.
        for (const auto& entry : fs::directory_iterator(std::string(HALVERN_SOURCE_DIR) + "/samples/Applications")) {
            const std::string copy = dir / ("Applications/" + entry.path().filename().string());
            testsupport::CopyTree(entry.path().string(), copy);
            testsupport::WriteFile(copy + "/Contents/MacOS/Veldane Lumaro", "#!/bin/sh\nexit 0\n", 0755);
        }
        for (const char* folder : {"tmp", "Library", "home", "xdg/data/applications", "xdg/config", "ro"}) {
            testsupport::MakeFolders(dir / folder);
        }
        testsupport::MakeFolders(dir / "xdg/data/mime");
        for (const char* name : {"mime.cache", "globs2", "globs", "magic", "aliases", "subclasses", "types"}) {
            const std::string from = std::string("/usr/share/mime/") + name;
            if (fs::exists(from)) fs::copy_file(from, dir / ("xdg/data/mime/" + std::string(name)));
        }
        receiver.emplace(dir / "log");
    }

    // PDF handlers for GIO, in this order; the first is the default.
    void Handlers(const Lines& programs) {
        std::string cache = "[MIME Cache]\napplication/pdf=";
        for (size_t i = 0; i < programs.size(); ++i) {
            const std::string id = "handler" + std::to_string(i) + ".desktop";
            testsupport::WriteFile(dir / ("xdg/data/applications/" + id),
                                   "[Desktop Entry]\nType=Application\nName=Handler " + std::to_string(i) +
                                       "\nExec=\"" + programs[i] + "\" %f\nMimeType=application/pdf;\n");
            cache += id + ";";
        }
        testsupport::WriteFile(dir / "xdg/data/applications/mimeinfo.cache", cache + "\n");
    }
    static std::string ProgramOf(const std::string& bundle) { return bundle + "/Contents/MacOS/Veldane Lumaro"; }

    testsupport::ProcessResult Run(const Lines& arguments, const std::string& lang = "C",
                                   const Lines& extraEnvironment = {}) {
        testsupport::Sandbox sandbox;
        sandbox.readOnlyBind(HALVERN_APP, "/opt/Veldane/Halvern.app")
            .readOnlyBind(std::string(HALVERN_SOURCE_DIR) + "/samples/scripts", "/opt/Veldane/scripts")
            .bind(dir / "Applications", "/Applications")
            .bind(dir / "Library", "/Library")
            .bind(dir / "tmp", "/tmp")
            .bind(dir / "home", "/home/user")
            .readOnlyBind(dir / "xdg", "/xdg")
            .readOnlyBind(dir / "ro", "/ro")
            .bind(receiver->path(), "/dev/log");
        for (const auto& [from, to] : extraReadOnlyBinds) sandbox.readOnlyBind(from, to);
        Lines environment = testsupport::BaseEnvironment();
        testsupport::SetVariable(environment, "LANG", lang);
        environment.insert(environment.end(),
                           {"HOME=/home/user", "XDG_DATA_HOME=/home/user/.local/share",
                            "XDG_DATA_DIRS=/xdg/data", "XDG_CONFIG_HOME=/xdg/config", "XDG_CONFIG_DIRS=/xdg/config"});
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        return testsupport::RunProcess(sandbox.command(arguments), environment);
    }
    testsupport::ProcessResult Install(const std::string& packLink, const std::string& viewer,
                                       const std::string& lang = "C") {
        return Run({kHalvern, "1", packLink, viewer, "0"}, lang);
    }

    // The messages that reached the private /dev/log under the identity Halvern.
    Lines SystemLog() {
        Lines messages;
        for (const std::string& datagram : receiver->messages()) {
            messages.push_back(testsupport::SyslogMessage(datagram, "Halvern").value_or("(other) " + datagram));
        }
        return messages;
    }

    // The shipped table's text for key with "@CHANNEL_NAME@" filled, and
    // "@FULLVERSIONNUMBER@" too unless the key's user fills only the first.
    static std::string Text(const std::string& language, const std::string& key, bool fillVersion = true) {
        const auto table = platform::ReadStringDictionary(std::string(HALVERN_APP) + "/Contents/Resources/" +
                                                          language + ".lproj/Localizable.strings");
        std::string text = table ? table->string(key).value_or(key) : key;
        text = Replace(text, "@CHANNEL_NAME@", "2017");
        return fillVersion ? Replace(text, "@FULLVERSIONNUMBER@", "17.8.30051") : text;
    }

    static Lines Validation(const std::string& path, const std::string& version, const std::string& track) {
        return {"Obtained the bundle for " + path + " ID as com.veldane.Lumaro. Now checking the bundle version.",
                "Obtained the bundle version as " + version, "Obtained the bundle track as " + track};
    }
    static Lines Concat(std::initializer_list<Lines> parts) {
        Lines all;
        for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    }
    std::vector<std::string> Changes() { return testsupport::Differences(before, testsupport::Snapshot(dir.path())); }
    void TakeSnapshot() { before = testsupport::Snapshot(dir.path()); }

    TempDir dir;
    std::vector<std::pair<std::string, std::string>> extraReadOnlyBinds;  // (outside, inside the sandbox)
    std::optional<testsupport::SyslogReceiver> receiver;
    std::map<std::string, std::string> before;
};

TEST_F(CommandLineInstallTest, ViewerProposedByPreinstallIsLinked) {
    TakeSnapshot();
    const auto result = Install(kPack, kLumaro);

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(testsupport::Lines(result.out),
              Concat({{"The initial path provided in the preinstall script is /Applications/Veldane Lumaro.app."},
                      Validation(kLumaro, "17.8.30051", "2017"),
                      {"Found a valid Veldane Lumaro Next at /Applications/Veldane Lumaro.app."}}));
    EXPECT_EQ(testsupport::ReadLink(dir / "Library/Lumaro Pack"), kLumaro);
    EXPECT_EQ(SystemLog(), Lines{});
    EXPECT_EQ(Changes(), Lines{"+" + (dir / "Library/Lumaro Pack")});
}

TEST_F(CommandLineInstallTest, SearchTakesTheFirstValidPdfHandler) {
    Handlers({ProgramOf(kOld), "/usr/bin/true", ProgramOf(kLumaro), ProgramOf(kBeta)});
    TakeSnapshot();
    const auto result = Install(kPack, "/Applications/Missing.app");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(testsupport::Lines(result.out),
              Concat({{"The initial path provided in the preinstall script is /Applications/Missing.app.",
                       "Halvern:ERROR: The application (/Applications/Missing.app) specified by preinstall is not "
                       "Veldane Lumaro Next.",
                       kTrying, "PDF Handler found: /Applications/Veldane Lumaro Old.app."},
                      Validation(kOld, "17.8.30050", "2017"),
                      {"PDF Handler found: /usr/bin/true.", "PDF Handler found: /Applications/Veldane Lumaro.app."},
                      Validation(kLumaro, "17.8.30051", "2017"),
                      {"PDF Handler found: /Applications/Veldane Lumaro Beta.app."},
                      Validation(kBeta, "18.0.0", "2018"),
                      {"Found a valid Veldane Lumaro Next at /Applications/Veldane Lumaro.app."}}));
    EXPECT_EQ(testsupport::ReadLink(dir / "Library/Lumaro Pack"), kLumaro);
    EXPECT_EQ(SystemLog(), (Lines{Text("en", "LumaroVersionNumberLower"),
                                  Text("en", "LumaroTrackNameMismatch", false)}));
    // The probe file came and went; the link is the only change.
    EXPECT_EQ(Changes(), Lines{"+" + (dir / "Library/Lumaro Pack")});
}

TEST_F(CommandLineInstallTest, NoViewerLogsTheLastReasonInTheUsersLanguage) {
    Handlers({});
    TakeSnapshot();
    const auto result = Install(kPack, kOld, "de_DE.UTF-8");

    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(testsupport::Lines(result.out),
              Concat({{"The initial path provided in the preinstall script is /Applications/Veldane Lumaro Old.app."},
                      Validation(kOld, "17.8.30050", "2017"),
                      {"Halvern:ERROR: The application (/Applications/Veldane Lumaro Old.app) specified by preinstall "
                       "is not Veldane Lumaro Next.",
                       kTrying, "No PDF handler found by the OS.", kFailure}}));
    const std::string reason = Text("de", "LumaroVersionNumberLower");
    EXPECT_NE(reason, Text("en", "LumaroVersionNumberLower"));
    EXPECT_EQ(SystemLog(), (Lines{reason, reason}));
    // The probe file and its private folder are gone, even without a list.
    EXPECT_EQ(Changes(), Lines{});
}

TEST_F(CommandLineInstallTest, NoViewerAndNoReasonLogsTheNotFoundText) {
    Handlers({"/usr/bin/true"});
    TakeSnapshot();
    const auto result = Install(kPack, "", "C.UTF-8");

    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(testsupport::Lines(result.out),
              (Lines{"The initial path provided in the preinstall script is .",
                     "Halvern:ERROR: The application () specified by preinstall is not Veldane Lumaro Next.", kTrying,
                     "PDF Handler found: /usr/bin/true.", kFailure}));
    EXPECT_EQ(SystemLog(), Lines{Text("en", "LumaroNotFound")});
    EXPECT_EQ(Changes(), Lines{});
}

TEST_F(CommandLineInstallTest, LinksPlantedAtTheSharedProbePathAreLeftAlone) {
    // Anyone may plant links at the fixed name in the shared /tmp: the probe
    // file lies in a private folder of the run, so they stop nothing, and
    // neither they nor what they point at are touched.
    Handlers({ProgramOf(kLumaro)});
    testsupport::WriteFile(dir / "Library/secret", "root's data\n", 0600);
    fs::create_symlink("/Library/created-by-halvern", dir / "tmp/TempFileForLangPack.pdf");
    fs::create_symlink("/Library/secret", dir / "tmp/Halvern-planted");
    TakeSnapshot();
    const auto result = Install(kPack, "/Applications/Missing.app");

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(testsupport::Lines(result.out),
              Concat({{"The initial path provided in the preinstall script is /Applications/Missing.app.",
                       "Halvern:ERROR: The application (/Applications/Missing.app) specified by preinstall is not "
                       "Veldane Lumaro Next.",
                       kTrying, "PDF Handler found: /Applications/Veldane Lumaro.app."},
                      Validation(kLumaro, "17.8.30051", "2017"),
                      {"Found a valid Veldane Lumaro Next at /Applications/Veldane Lumaro.app."}}));
    EXPECT_EQ(SystemLog(), Lines{});
    EXPECT_EQ(Changes(), Lines{"+" + (dir / "Library/Lumaro Pack")});
}

TEST_F(CommandLineInstallTest, ArgumentErrors) {
    TakeSnapshot();
    const Lines insufficient{"Halvern:ERROR: Insufficient number of command line arguments."};
    const Lines invalid{"Halvern:ERROR: Invalid command line argument."};
    struct Case {
        Lines arguments;
        Lines expected;
    };
    for (const Case& c : {Case{{kHalvern}, insufficient}, Case{{kHalvern, "1", kPack, kLumaro}, insufficient},
                          Case{{kHalvern, "2", kPack, kLumaro}, insufficient},
                          Case{{kHalvern, "2", kPack, kLumaro, "0"}, invalid},
                          Case{{kHalvern, "1 ", kPack, kLumaro, "0"}, invalid},
                          Case{{kHalvern, "", kPack, kLumaro, "0"}, invalid}}) {
        const auto result = Run(c.arguments);
        EXPECT_EQ(result.status, 255) << c.arguments.size();
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(testsupport::Lines(result.out), c.expected);
    }
    EXPECT_EQ(SystemLog(), Lines{});
    EXPECT_EQ(Changes(), Lines{});
}

TEST_F(CommandLineInstallTest, EmptyPackLinkPathSucceedsWithoutLink) {
    TakeSnapshot();
    const auto result = Run({kHalvern, "1", "", kLumaro, "0", "ignored"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(testsupport::Lines(result.out).back(),
              "Found a valid Veldane Lumaro Next at /Applications/Veldane Lumaro.app.");
    EXPECT_EQ(Changes(), Lines{});
}

TEST_F(CommandLineInstallTest, WithoutABusAnEmptyProcIsNoAnswerToWhetherTheViewerRuns) {
    // A chroot that does not mount /proc: nothing can be seen running there.
    testsupport::MakeFolders(dir / "empty");
    extraReadOnlyBinds.emplace_back(dir / "empty", "/proc");
    const auto result = Run({kHalvern, "1", "", kLumaro, "1"});
    EXPECT_EQ(result.status, 255);
    const Lines out = testsupport::Lines(result.out);
    ASSERT_GE(out.size(), 2u);
    EXPECT_TRUE(out[out.size() - 2].starts_with("Heartbeats could not be observed")) << out[out.size() - 2];
    EXPECT_EQ(out.back(), "Halvern:ERROR: Could not find out whether Veldane Lumaro is running: the running "
                          "applications could not be listed. Installation failure.");
}

TEST_F(CommandLineInstallTest, LinkThatCannotBeMadeFailsWithTheReason) {
    testsupport::WriteFile(dir / "Library/Lumaro Pack", "already here");
    TakeSnapshot();
    struct Case {
        std::string packLink;
        std::string reason;
    };
    for (const Case& c : {Case{kPack, "File exists"}, Case{"/Library/Missing/Pack", "No such file or directory"},
                          Case{"/ro/Pack", "Read-only file system"}}) {
        const auto result = Install(c.packLink, kLumaro);
        EXPECT_EQ(result.status, 255);
        const Lines lines = testsupport::Lines(result.out);
        ASSERT_EQ(lines.size(), 8u) << result.out;
        EXPECT_EQ(lines[5], "Halvern:ERROR: Could not create symbolic link from " + c.packLink +
                                " to /Applications/Veldane Lumaro.app. Installation failure.");
        EXPECT_EQ(lines[6], "Halvern:ERROR: Could not create a symbolic link at " + c.packLink + ": " + c.reason);
        EXPECT_EQ(lines[7], kFailure);
    }
    EXPECT_EQ(Changes(), Lines{});
}

TEST_F(CommandLineInstallTest, PackageScriptsLinkAndUnlink) {
    TakeSnapshot();
    const Lines environment{std::string("HALVERN=") + kHalvern, std::string("HALVERN_PACK_LINK=") + kPack,
                            std::string("HALVERN_VIEWER=") + kLumaro, "HALVERN_CHECK=0"};
    const auto pre = Run({"/opt/Veldane/scripts/preinstall", "/pkg", "/", "/"}, "C", environment);
    EXPECT_EQ(pre.status, 0) << pre.out << pre.err;
    EXPECT_EQ(testsupport::Lines(pre.out).back(),
              "preinstall: the language pack goes into /Applications/Veldane Lumaro.app.");
    EXPECT_EQ(testsupport::ReadLink(dir / "Library/Lumaro Pack"), kLumaro);

    const auto post = Run({"/opt/Veldane/scripts/postinstall", "/pkg", "/", "/"}, "C", environment);
    EXPECT_EQ(post.status, 0) << post.out << post.err;
    EXPECT_EQ(Changes(), Lines{});

    // A viewer that fails: preinstall reads the status and fails.
    const Lines failing{std::string("HALVERN=") + kHalvern, std::string("HALVERN_PACK_LINK=") + kPack,
                        std::string("HALVERN_VIEWER=") + kBeta, "HALVERN_CHECK=0"};
    Handlers({});
    const auto bad = Run({"/opt/Veldane/scripts/preinstall", "/pkg", "/", "/"}, "C", failing);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "preinstall: Halvern ended with status 255; the language pack is not installed.\n");
}

TEST_F(CommandLineInstallTest, SamplePreinstallMakesThePackLinkFolderOnAFreshSystem) {
    // As a package installs it: the script with Halvern.app beside it, run with
    // the installer's arguments, nothing overridden; /Library is empty.
    extraReadOnlyBinds = {{std::string(HALVERN_SOURCE_DIR) + "/samples/scripts/preinstall", "/pkg/Scripts/preinstall"},
                          {HALVERN_APP, "/pkg/Scripts/Halvern.app"}};
    const Lines installer{"/pkg/Scripts/preinstall", "/pkg/Lumaro Language Pack.pkg", "/", "/"};
    const auto result = Run(installer);

    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(testsupport::Lines(result.out).back(),
              "preinstall: the language pack goes into /Applications/Veldane Lumaro.app.");
    const std::string link = dir / "Library/Application Support/Veldane/Lumaro Language Pack";
    EXPECT_EQ(testsupport::ReadLink(link), kLumaro);
    for (const std::string folder : {"Library/Application Support", "Library/Application Support/Veldane"}) {
        EXPECT_EQ(fs::status(dir / folder).permissions(), static_cast<fs::perms>(0755)) << folder;
    }

    // A folder on the way that is a link, or that others may write: refused
    // before Halvern runs, and nothing is made.
    fs::remove_all(dir / "Library/Application Support");
    fs::create_symlink("/tmp", dir / "Library/Application Support");
    TakeSnapshot();
    const auto throughLink = Run(installer);
    EXPECT_EQ(throughLink.status, 1);
    EXPECT_EQ(throughLink.out, "");
    EXPECT_EQ(throughLink.err, "preinstall: cannot use the pack link path /Library/Application Support/Veldane/Lumaro "
                               "Language Pack: /Library/Application Support is a symbolic link; the language pack is "
                               "not installed.\n");
    fs::remove(dir / "Library/Application Support");
    fs::permissions(dir / "Library", static_cast<fs::perms>(0777));
    const auto writable = Run(installer);
    EXPECT_EQ(writable.status, 1);
    EXPECT_EQ(writable.err, "preinstall: cannot use the pack link path /Library/Application Support/Veldane/Lumaro "
                            "Language Pack: /Library is writable by others (mode 777); the language pack is not "
                            "installed.\n");
    EXPECT_EQ(Changes(), (Lines{"~" + (dir / "Library"), "-" + (dir / "Library/Application Support")}));
}

// --- Running as root: what another user controls steers nothing ---------------------
// The attacker is the unprivileged user nobody, who owns the folders it may use.

void GiveToNobody(const std::string& path) { ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0) << path; }

TEST_F(CommandLineInstallTest, AsRootAViewerThatAnotherUserCanChangeIsNotValid) {
    // dpkg writes the payload into the bundle's folders: each must be root's alone,
    // and no folder above may be one that anyone may re-create after a cleanup.
    struct Case {
        std::string folder;  // holds the viewer, under /Applications
        std::function<void(const std::string& bundle)> spoil;
        std::string reason;
    };
    const std::string sticky = "/Applications/Sticky";
    for (const Case& c : {
             Case{"Shared", [](const std::string&) {}, "/Applications/Shared is owned by nobody (uid 65534), not root"},
             Case{"Open", [](const std::string& b) { GiveToNobody(b + "/Contents"); ::chmod((b + "/Contents").c_str(), 0777); },
                  "/Applications/Open/Veldane Lumaro.app/Contents is owned by nobody (uid 65534), not root"},
             Case{"Deep", [](const std::string& b) { testsupport::MakeFolders(b + "/Contents/PlugIns"); GiveToNobody(b + "/Contents/PlugIns"); },
                  "/Applications/Deep/Veldane Lumaro.app/Contents/PlugIns is owned by nobody (uid 65534), not root"},
             Case{"Sticky", [](const std::string&) {},
                  "/Applications/Sticky is writable by others than its owner (mode 1777)"},
         }) {
        const std::string viewer = "/Applications/" + c.folder + "/Veldane Lumaro.app";
        testsupport::CopyTree(dir / "Applications/Veldane Lumaro.app", dir / viewer.substr(1));
        if (c.folder == "Shared") GiveToNobody(dir / "Applications/Shared");
        if (c.folder == "Sticky") ::chmod((dir / "Applications/Sticky").c_str(), 01777);
        c.spoil(dir / viewer.substr(1));
        Handlers({ProgramOf(kLumaro)});
        const auto result = Install(kPack, viewer);

        // Refused with the reason, then the search goes on as for any invalid bundle.
        EXPECT_EQ(result.status, 0) << c.folder;
        EXPECT_EQ(testsupport::Lines(result.out),
                  Concat({{"The initial path provided in the preinstall script is " + viewer + ".",
                           "Halvern:ERROR: The application (" + viewer + ") is not trusted when installing as root: " +
                               c.reason + ".",
                           "Halvern:ERROR: The application (" + viewer + ") specified by preinstall is not Veldane "
                           "Lumaro Next.",
                           kTrying, "PDF Handler found: /Applications/Veldane Lumaro.app."},
                          Validation(kLumaro, "17.8.30051", "2017"),
                          {"Found a valid Veldane Lumaro Next at /Applications/Veldane Lumaro.app."}}))
            << c.folder;
        EXPECT_EQ(testsupport::ReadLink(dir / "Library/Lumaro Pack"), kLumaro) << c.folder;
        fs::remove(dir / "Library/Lumaro Pack");
    }
}

// Another user installing into a viewer of their own: links inside the bundle
// are the user's own business.
TEST_F(CommandLineInstallTest, AsAnotherUserLinksInsideTheBundleAreFollowed) {
    fs::create_directories(dir / "Applications/Linked Contents.app");
    fs::create_symlink(std::string(kLumaro) + "/Contents", dir / "Applications/Linked Contents.app/Contents");
    fs::create_directories(dir / "Applications/Linked Plist.app/Contents");
    fs::create_symlink(std::string(kLumaro) + "/Contents/Info.plist",
                       dir / "Applications/Linked Plist.app/Contents/Info.plist");
    testsupport::MakeFolders(dir / "Library/Nobody");
    GiveToNobody(dir / "Library/Nobody");
    ::chmod((dir / "tmp").c_str(), 01777);
    for (const std::string viewer : {"/Applications/Linked Contents.app", "/Applications/Linked Plist.app"}) {
        const auto result = Run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", kHalvern, "1",
                                 "/Library/Nobody/Lumaro Pack", viewer, "0"});
        EXPECT_EQ(result.status, 0) << viewer << result.err;
        EXPECT_EQ(testsupport::Lines(result.out),
                  Concat({{"The initial path provided in the preinstall script is " + viewer + "."},
                          Validation(viewer, "17.8.30051", "2017"),
                          {"Found a valid Veldane Lumaro Next at " + viewer + "."}}));
        EXPECT_EQ(testsupport::ReadLink(dir / "Library/Nobody/Lumaro Pack"), viewer);
        fs::remove(dir / "Library/Nobody/Lumaro Pack");
    }
}

TEST_F(CommandLineInstallTest, AsRootTheLinksFolderMustBeRootsAlone) {
    testsupport::MakeFolders(dir / "Library/Nobody");
    GiveToNobody(dir / "Library/Nobody");
    fs::create_symlink("/Library/Nobody", dir / "Library/Packs");
    testsupport::MakeFolders(dir / "Library/Open");
    ::chmod((dir / "Library/Open").c_str(), 0777);
    struct Case {
        std::string packLink;
        std::string reason;
    };
    for (const Case& c : {Case{"/Library/Packs/Lumaro Pack", "/Library/Nobody is owned by nobody (uid 65534), not root"},
                          Case{"/Library/Open/Lumaro Pack", "/Library/Open is writable by others than its owner (mode 0777)"}}) {
        const auto result = Install(c.packLink, kLumaro);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(testsupport::Lines(result.out),
                  Concat({{"The initial path provided in the preinstall script is /Applications/Veldane Lumaro.app."},
                          Validation(kLumaro, "17.8.30051", "2017"),
                          {"Found a valid Veldane Lumaro Next at /Applications/Veldane Lumaro.app.",
                           "Halvern:ERROR: Could not create symbolic link from " + c.packLink +
                               " to /Applications/Veldane Lumaro.app. Installation failure.",
                           "Halvern:ERROR: Could not create a symbolic link at " + c.packLink +
                               ": its folder is not trusted: " + c.reason,
                           kFailure}}));
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "Library/Nobody/Lumaro Pack")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "Library/Open/Lumaro Pack")));

    // The link is made now, not later: root's own folder in a sticky one will do.
    testsupport::MakeFolders(dir / "Library/Sticky/Root");
    ::chmod((dir / "Library/Sticky").c_str(), 01777);
    EXPECT_EQ(Install("/Library/Sticky/Root/Lumaro Pack", kLumaro).status, 0);
    EXPECT_EQ(testsupport::ReadLink(dir / "Library/Sticky/Root/Lumaro Pack"), kLumaro);
}

TEST_F(CommandLineInstallTest, AsRootModulesNamedInTheEnvironmentAreNotLoaded) {
    // GIO, which the search uses, would load every module in these folders.
    testsupport::MakeFolders(dir / "home/modules");
    fs::copy_file(MARKER_MODULE, dir / "home/modules/libmarker.so");
    GiveToNobody(dir / "home/modules");
    GiveToNobody(dir / "home/modules/libmarker.so");
    Handlers({ProgramOf(kLumaro)});
    const auto result = Run({kHalvern, "1", kPack, "/Applications/Missing.app", "0"}, "C",
                            {"GIO_EXTRA_MODULES=/home/user/modules", "GIO_MODULE_DIR=/home/user/modules"});

    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(testsupport::Lines(result.out).back(),
              "Found a valid Veldane Lumaro Next at /Applications/Veldane Lumaro.app.");
    EXPECT_FALSE(fs::exists(dir / "tmp/loaded-as-module"));
}

// Info.plists that another user may plant in a proposed bundle: the bundle is
// simply not a valid viewer, in bounded time.
TEST_F(CommandLineInstallTest, HostileInfoPlistAtThePreinstallPathIsNoViewer) {
    Handlers({});
    const std::vector<std::pair<std::string, std::string>> plists{
        {"Deep", hostile::NestedXml(200'000)},
        {"Deep Binary", hostile::NestedBinary(200'000)},
        {"Keys", hostile::ManyKeysXml(400'000)},
        {"Nul", hostile::OneEntryBinary("CFBundleIdentifier", std::string("com.veldane.Lumaro\0x", 20))},
        {"Fifo", ""},
    };
    for (const auto& [name, plist] : plists) {
        const std::string viewer = "/Applications/" + name + ".app";
        const std::string info = dir / ("Applications/" + name + ".app/Contents/Info.plist");
        if (plist.empty()) {
            testsupport::MakeFolders(dir / ("Applications/" + name + ".app/Contents"));
            ASSERT_EQ(::mkfifo(info.c_str(), 0644), 0);
        } else {
            testsupport::WriteFile(info, plist);
        }
        const auto start = std::chrono::steady_clock::now();
        const auto result = Install(kPack, viewer);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << name;
        EXPECT_EQ(result.status, 255) << name;
        EXPECT_EQ(testsupport::Lines(result.out),
                  (Lines{"The initial path provided in the preinstall script is " + viewer + ".",
                         "Halvern:ERROR: The application (" + viewer + ") specified by preinstall is not Veldane "
                         "Lumaro Next.",
                         kTrying, "No PDF handler found by the OS.", kFailure}))
            << name << result.err;
    }
}

}  // namespace
