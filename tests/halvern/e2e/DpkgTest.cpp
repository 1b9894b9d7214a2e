// The Debian packages that scripts/package.sh builds into build/packages, and
// an author's packs made by scripts/make-pack.sh, installed, upgraded, refused
// and removed by dpkg itself, inside a bubblewrap sandbox whose dpkg database
// is a copy of the machine's and whose /opt, /Library, /usr/share/doc,
// /usr/share/man, /var, /tmp and /Applications (the sample viewer, with a
// program and an empty Contents/PlugIns of its own) are the test's own. dpkg
// installs as root only; CI runs as root.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;
using Lines = std::vector<std::string>;

constexpr const char* kPack = "lumaro-language-pack";
constexpr const char* kPackLink = "/Library/Application Support/Veldane/Lumaro Language Pack";
constexpr const char* kViewer = "/Applications/Veldane Lumaro.app";
constexpr const char* kViewerProgram = "/Applications/Veldane Lumaro.app/Contents/MacOS/Veldane Lumaro";
constexpr const char* kPlugIn = "/Contents/PlugIns/libSarvik.so";
constexpr const char* kAuthorPack = "acme-thai-pack";
constexpr const char* kAuthorLink = "/Library/Application Support/Acme/Thai Pack";
const std::string kMakePack = std::string(HALVERN_SOURCE_DIR) + "/scripts/make-pack.sh";

// make-pack.sh with the given options; standard output and error together.
testsupport::ProcessResult MakePack(const Lines& options) {
    Lines command{"/bin/bash", kMakePack};
    command.insert(command.end(), options.begin(), options.end());
    testsupport::ProcessResult result = testsupport::RunProcess(command, testsupport::BaseEnvironment(), 60);
    result.out += result.err;
    return result;
}

// The package file build/packages/<name>_*.deb; empty when there is none.
std::string PackageFile(const std::string& name) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(PACKAGES_DIR, error)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with(name + "_") && file.ends_with(".deb")) return "/debs/" + file;
    }
    return {};
}

class DpkgTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "dpkg installs packages as root only";
        if (!testsupport::Bubblewrap()) GTEST_SKIP() << "bubblewrap (bwrap) is not installed";
        halvernDeb = PackageFile("halvern");
        packDeb = PackageFile(kPack);
        ASSERT_FALSE(halvernDeb.empty() || packDeb.empty())
            << "no halvern_*.deb or " << kPack << "_*.deb in " << PACKAGES_DIR << ": run bash scripts/package.sh";
        // The sample viewer, with a program that runs until it is stopped:
        // the scan of running applications finds it by its bundle.
        testsupport::CopyTree(std::string(HALVERN_SOURCE_DIR) + "/samples/Applications/Veldane Lumaro.app",
                              dir / ("Applications/Veldane Lumaro.app"));
        testsupport::MakeFolders(dir / "Applications/Veldane Lumaro.app/Contents/MacOS");
        testsupport::MakeFolders(dir / "Applications/Veldane Lumaro.app/Contents/PlugIns");
        fs::copy_file("/usr/bin/sleep", dir / "Applications/Veldane Lumaro.app/Contents/MacOS/Veldane Lumaro");
        for (const char* folder : {"opt", "Library", "doc", "man", "tmp", "var/log", "var/cache", "xdg", "ro", "own"}) {
            testsupport::MakeFolders(dir / folder);
        }
        testsupport::CopyTree("/var/lib/dpkg", dir / "var/lib/dpkg");
        testsupport::WriteFile(dir / "ro/run.sh",
                               "#!/bin/sh\n"
                               "# $1: \"viewer\" to start the viewer first; the rest: the command.\n"
                               "if [ \"$1\" = viewer ]; then\n"
                               "  \"" + std::string(kViewerProgram) + "\" 600 </dev/null >/dev/null 2>&1 &\n"
                               "fi\n"
                               "shift\n"
                               "exec \"$@\"\n",
                               0755);
        viewerBefore = testsupport::Snapshot(dir / "Applications");
    }

    // dpkg with arguments in the sandbox; its standard output and error together.
    testsupport::ProcessResult Dpkg(const Lines& arguments, const std::string& beside = "none") {
        testsupport::Sandbox sandbox;
        sandbox.readOnlyBind(PACKAGES_DIR, "/debs")
            .bind(dir / "Applications", "/Applications")
            .bind(dir / "opt", "/opt")
            .bind(dir / "Library", "/Library")
            .bind(dir / "doc", "/usr/share/doc")
            .bind(dir / "man", "/usr/share/man")
            .bind(dir / "var", "/var")
            .bind(dir / "tmp", "/tmp")
            .readOnlyBind(dir / "xdg", "/xdg")
            .readOnlyBind(dir / "ro", "/ro")
            .readOnlyBind(dir / "own", "/own");
        // No PDF applications but the test's (none): the search finds nothing.
        const Lines environment{"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C",
                                "DEBIAN_FRONTEND=noninteractive", "HOME=/tmp", "XDG_DATA_DIRS=/xdg",
                                "XDG_DATA_HOME=/xdg", "XDG_CONFIG_HOME=/xdg", "XDG_CONFIG_DIRS=/xdg"};
        Lines command{"/bin/sh", "/ro/run.sh", beside, "/usr/bin/dpkg"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        testsupport::ProcessResult result = testsupport::RunProcess(sandbox.command(command), environment, 120);
        result.out += result.err;
        return result;
    }

    void InstallHalvern() {
        const auto run = Dpkg({"-i", halvernDeb});
        ASSERT_EQ(run.status, 0) << run.out;
    }

    // The author's pack of that version, with these payload files (path in
    // the bundle, content), made into /own; its package file there.
    std::string MakeAuthorPack(const std::string& version, const std::vector<std::string>& files) {
        const std::string payload = dir / ("payload-" + version);
        for (const std::string& file : files) testsupport::WriteFile(payload + "/" + file, file + " " + version + "\n");
        const auto made = MakePack({"--name", kAuthorPack, "--version", version, "--link", kAuthorLink, "--payload",
                                    payload, "--description", "Thai resources for the Veldane Lumaro viewer",
                                    "--maintainer", "Ann Author <ann@acme.example>", "--out", dir / "own"});
        EXPECT_EQ(made.status, 0) << made.out;
        return "/own/" + std::string(kAuthorPack) + "_" + version + "_all.deb";
    }
    bool InViewer(const std::string& file) { return fs::exists(dir / ("Applications/Veldane Lumaro.app/" + file)); }

    bool PlugInInViewer() { return fs::exists(dir / ("Applications/Veldane Lumaro.app" + std::string(kPlugIn))); }
    std::optional<std::string> PackLink() { return testsupport::ReadLink(dir.path() + kPackLink); }
    std::vector<std::string> ViewerChanges() {
        return testsupport::Differences(viewerBefore, testsupport::Snapshot(dir / "Applications"));
    }
    // dpkg's word on the pack: "install ok installed", or empty when it knows none.
    std::string PackStatus(const std::string& pack = kPack) {
        const auto run = Dpkg({"-s", pack});
        for (const std::string& line : testsupport::Lines(run.out)) {
            if (line.starts_with("Status: ")) return line.substr(8);
        }
        return {};
    }

    TempDir dir;
    std::string halvernDeb;
    std::string packDeb;
    std::map<std::string, std::string> viewerBefore;
};

TEST_F(DpkgTest, InstallsThroughTheLinkIntoTheViewerAndRemovesCleanly) {
    InstallHalvern();
    EXPECT_TRUE(fs::exists(dir / "opt/veldane/Halvern.app/Contents/MacOS/Halvern"));
    // halvern's files lie in its three places only.
    for (const std::string& file : testsupport::Lines(Dpkg({"-L", "halvern"}).out)) {
        if (file == "/." || file == "/opt" || file == "/usr" || file == "/usr/share") continue;
        EXPECT_TRUE(file.starts_with("/opt/veldane") || file.starts_with("/usr/share/doc") ||
                    file.starts_with("/usr/share/man"))
            << file;
    }
    EXPECT_TRUE(fs::exists(dir / "man/man1/halvern.1.gz"));

    const auto install = Dpkg({"-i", packDeb});
    ASSERT_EQ(install.status, 0) << install.out;
    EXPECT_NE(install.out.find("Found a valid Veldane Lumaro Next at /Applications/Veldane Lumaro.app."),
              std::string::npos)
        << install.out;
    EXPECT_TRUE(PlugInInViewer());
    EXPECT_EQ(PackLink(), std::optional<std::string>(kViewer));
    EXPECT_EQ(PackStatus(), "install ok installed");
    struct stat folder {};
    ASSERT_EQ(::lstat((dir / "Library/Application Support/Veldane").c_str(), &folder), 0);
    EXPECT_TRUE(S_ISDIR(folder.st_mode));
    EXPECT_EQ(folder.st_mode & 07777, 0755u);
    const Lines listed = testsupport::Lines(Dpkg({"-L", kPack}).out);
    EXPECT_NE(std::find(listed.begin(), listed.end(), std::string(kPackLink) + kPlugIn), listed.end())
        << Dpkg({"-L", kPack}).out;

    const auto remove = Dpkg({"-r", kPack});
    ASSERT_EQ(remove.status, 0) << remove.out;
    EXPECT_FALSE(PlugInInViewer());
    EXPECT_FALSE(PackLink().has_value());
    EXPECT_FALSE(fs::exists(dir.path() + kPackLink));
    EXPECT_EQ(ViewerChanges(), std::vector<std::string>{});
}

TEST_F(DpkgTest, InstallingTheSamePackAgainKeepsThePayloadInTheViewer) {
    InstallHalvern();
    ASSERT_EQ(Dpkg({"-i", packDeb}).status, 0);
    const auto again = Dpkg({"-i", packDeb});
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_TRUE(PlugInInViewer());
    EXPECT_EQ(PackLink(), std::optional<std::string>(kViewer));
    EXPECT_EQ(PackStatus(), "install ok installed");
}

// A refused upgrade leaves the installed version as it was: its files are
// still reached through the link, so removing it later cleans the viewer.
TEST_F(DpkgTest, ARefusedUpgradeKeepsTheInstalledPackReachable) {
    InstallHalvern();
    ASSERT_EQ(Dpkg({"-i", packDeb}).status, 0);
    fs::copy_file(std::string(HALVERN_SOURCE_DIR) + "/samples/Applications/Veldane Lumaro Old.app/Contents/Info.plist",
                  dir / "Applications/Veldane Lumaro.app/Contents/Info.plist", fs::copy_options::overwrite_existing);
    const auto upgrade = Dpkg({"-i", packDeb});
    EXPECT_NE(upgrade.status, 0) << upgrade.out;
    EXPECT_EQ(PackLink(), std::optional<std::string>(kViewer));
    ASSERT_EQ(Dpkg({"-r", kPack}).status, 0);
    EXPECT_FALSE(PlugInInViewer());
}

TEST_F(DpkgTest, RefusesThePackWhileTheViewerRuns) {
    InstallHalvern();
    const auto install = Dpkg({"-i", packDeb}, "viewer");
    EXPECT_NE(install.status, 0) << install.out;
    EXPECT_NE(install.out.find("Halvern:ERROR: There is an instance of Veldane Lumaro running. Installation failure."),
              std::string::npos)
        << install.out;
    EXPECT_EQ(ViewerChanges(), std::vector<std::string>{});
    EXPECT_FALSE(PackLink().has_value());
    EXPECT_NE(PackStatus(), "install ok installed");
}

// The link is made in a folder that only root may change, reached through
// no link; otherwise the pack is refused before Halvern runs.
TEST_F(DpkgTest, RefusesThePackWhenAFolderOnTheWayCouldBeChangedByOthers) {
    InstallHalvern();
    const std::string folder = dir / "Library/Application Support";
    testsupport::MakeFolders(folder);
    ::chmod(folder.c_str(), 0777);
    const auto writable = Dpkg({"-i", packDeb});
    EXPECT_NE(writable.status, 0) << writable.out;
    EXPECT_NE(writable.out.find("lumaro-language-pack: /Library/Application Support is writable by users other than "
                                "root (mode 777)."),
              std::string::npos)
        << writable.out;
    EXPECT_EQ(writable.out.find("The initial path provided"), std::string::npos) << writable.out;

    fs::remove(folder);
    fs::create_symlink("/tmp", folder);
    const auto linked = Dpkg({"-i", packDeb});
    EXPECT_NE(linked.status, 0) << linked.out;
    EXPECT_NE(linked.out.find("lumaro-language-pack: /Library/Application Support is a symbolic link; refusing to "
                              "install through it."),
              std::string::npos)
        << linked.out;
    EXPECT_FALSE(fs::exists(dir / "tmp/Veldane"));
    EXPECT_EQ(ViewerChanges(), std::vector<std::string>{});
    EXPECT_NE(PackStatus(), "install ok installed");
}

TEST_F(DpkgTest, RefusesThePackWithoutAValidViewer) {
    InstallHalvern();
    // One build older than the oldest valid viewer.
    fs::copy_file(std::string(HALVERN_SOURCE_DIR) + "/samples/Applications/Veldane Lumaro Old.app/Contents/Info.plist",
                  dir / "Applications/Veldane Lumaro.app/Contents/Info.plist", fs::copy_options::overwrite_existing);
    viewerBefore = testsupport::Snapshot(dir / "Applications");
    const auto install = Dpkg({"-i", packDeb});
    EXPECT_NE(install.status, 0) << install.out;
    EXPECT_NE(install.out.find("Could not obtain the installation path from command line install. Installation failure."),
              std::string::npos)
        << install.out;
    EXPECT_EQ(ViewerChanges(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir.path() + kPackLink));
    EXPECT_NE(PackStatus(), "install ok installed");
}

constexpr const char* kAuthorPlugIn = "Contents/PlugIns/libAcmeThai.so";
constexpr const char* kAuthorStrings = "Contents/Resources/th.lproj/AcmeThai.strings";

TEST_F(DpkgTest, AnAuthorsPackLiesBesideTheStockPackAndIsPurgedAlone) {
    InstallHalvern();
    ASSERT_EQ(Dpkg({"-i", packDeb}).status, 0);
    const auto install = Dpkg({"-i", MakeAuthorPack("2.0.0", {kAuthorPlugIn, kAuthorStrings})});
    ASSERT_EQ(install.status, 0) << install.out;
    EXPECT_TRUE(InViewer(kAuthorPlugIn) && InViewer(kAuthorStrings) && PlugInInViewer());
    EXPECT_EQ(testsupport::ReadLink(dir.path() + kAuthorLink), std::optional<std::string>(kViewer));

    // A pack whose link path is the stock pack's is refused, naming it.
    const std::string other = dir / "other";
    testsupport::WriteFile(other + "/Contents/Resources/other.strings", "other\n");
    ASSERT_EQ(MakePack({"--name", "other-pack", "--version", "1.0", "--link", kPackLink, "--payload", other,
                        "--description", "d", "--maintainer", "A <a@b.example>", "--out", dir / "own"})
                  .status,
              0);
    const auto clash = Dpkg({"-i", "/own/other-pack_1.0_all.deb"});
    EXPECT_NE(clash.out.find("other-pack: the pack link path " + std::string(kPackLink) +
                             " belongs to the installed package lumaro-language-pack; nothing was installed."),
              std::string::npos)
        << clash.out;
    EXPECT_EQ(PackLink(), std::optional<std::string>(kViewer));

    const auto purge = Dpkg({"--purge", kAuthorPack});
    ASSERT_EQ(purge.status, 0) << purge.out;
    EXPECT_FALSE(InViewer(kAuthorPlugIn) || InViewer(kAuthorStrings));
    EXPECT_TRUE(PlugInInViewer());
    EXPECT_TRUE(InViewer("Contents/Resources/th.lproj/LumaroLanguagePack.strings"));
    ASSERT_EQ(Dpkg({"--purge", kPack}).status, 0);
    EXPECT_EQ(ViewerChanges(), std::vector<std::string>{});
}

TEST_F(DpkgTest, RefusesAnAuthorsPackOverAFileOfTheViewer) {
    InstallHalvern();
    testsupport::WriteFile(dir / ("Applications/Veldane Lumaro.app/" + std::string(kAuthorStrings)), "the viewer's\n");
    viewerBefore = testsupport::Snapshot(dir / "Applications");
    const auto install = Dpkg({"-i", MakeAuthorPack("2.0.0", {kAuthorPlugIn, kAuthorStrings})});
    EXPECT_NE(install.status, 0) << install.out;
    EXPECT_NE(install.out.find("acme-thai-pack: /Applications/Veldane Lumaro.app/" + std::string(kAuthorStrings) +
                               " is already in the viewer and is not a file of acme-thai-pack; nothing was installed."),
              std::string::npos)
        << install.out;
    EXPECT_EQ(ViewerChanges(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir / "Library/Application Support/Acme"));
    EXPECT_NE(PackStatus(kAuthorPack), "install ok installed");
}

TEST_F(DpkgTest, PurgingAnAuthorsPackWhoseLinkWasDeletedTakesThePayloadOut) {
    InstallHalvern();
    ASSERT_EQ(Dpkg({"-i", MakeAuthorPack("2.0.0", {kAuthorPlugIn, kAuthorStrings})}).status, 0);
    fs::remove(dir.path() + kAuthorLink);
    const auto purge = Dpkg({"--purge", kAuthorPack});
    ASSERT_EQ(purge.status, 0) << purge.out;
    EXPECT_NE(purge.out.find("acme-thai-pack: the pack link " + std::string(kAuthorLink) + " points at " + kViewer +
                             " again, so the pack's files are removed from it."),
              std::string::npos)
        << purge.out;
    EXPECT_EQ(ViewerChanges(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir.path() + kAuthorLink));
}

TEST_F(DpkgTest, UpgradingAnAuthorsPackTakesOutTheFileItDropped) {
    InstallHalvern();
    const std::string dropped = "Contents/Frameworks/AcmeOld/old.dat";
    ASSERT_EQ(Dpkg({"-i", MakeAuthorPack("1.0", {kAuthorPlugIn, kAuthorStrings, dropped})}).status, 0);
    ASSERT_TRUE(InViewer(dropped));
    const auto upgrade = Dpkg({"-i", MakeAuthorPack("1.1", {kAuthorPlugIn, kAuthorStrings})});
    ASSERT_EQ(upgrade.status, 0) << upgrade.out;
    EXPECT_EQ(testsupport::ReadFile(dir / ("Applications/Veldane Lumaro.app/" + std::string(kAuthorPlugIn))),
              std::string(kAuthorPlugIn) + " 1.1\n");
    EXPECT_FALSE(fs::exists(dir / "Applications/Veldane Lumaro.app/Contents/Frameworks"));
    ASSERT_EQ(Dpkg({"--purge", kAuthorPack}).status, 0);
    EXPECT_EQ(ViewerChanges(), std::vector<std::string>{});
}

// Each bad input: one line that names it, status 1, and no package.
TEST(MakePackTest, EachBadInputGivesItsLineAndNoPackage) {
    TempDir dir;
    testsupport::WriteFile(dir / "payload/Contents/Resources/a.strings", "a\n");
    testsupport::MakeFolders(dir / "empty/Contents/Resources");
    testsupport::MakeFolders(dir / "escaping/Contents");
    fs::create_symlink("../../../etc/passwd", dir / "escaping/Contents/passwd");
    const Lines good{"--name", "acme-pack", "--version", "1.0", "--link", "/Library/Acme Pack", "--payload",
                     dir / "payload", "--description", "d", "--maintainer", "A <a@b.example>", "--out", dir / "out"};
    struct Case {
        std::string option, value, line;
    };
    const std::vector<Case> cases{
        {"--name", "Acme_Pack",
         "--name 'Acme_Pack' is not a Debian package name (two or more of a-z 0-9 + - ., starting with a letter or "
         "digit)"},
        {"--version", "2.0 beta", "--version '2.0 beta' is not a Debian version: version string has embedded spaces"},
        {"--link", "Library/Acme", "--link 'Library/Acme' is not an absolute path"},
        {"--link", "/usr/share/acme", "--link '/usr/share/acme' lies under /usr, which belongs to the system"},
        {"--payload", dir / "empty", "--payload '" + dir / "empty" + "' holds no file"},
        {"--payload", dir / "escaping",
         "payload link " + dir / "escaping/Contents/passwd" + " leads out of the payload (to ../../../etc/passwd)"},
        {"--maintainer", "Ann", "--maintainer 'Ann' is not of the form \"Name <mail>\""},
        {"--colour", "", "unknown option '--colour' (see make-pack.sh --help)"},
        {"--name", "", "--name is missing (see make-pack.sh --help)"},
    };
    for (const Case& c : cases) {
        Lines options;
        for (size_t i = 0; i < good.size(); i += 2) {
            if (good[i] != c.option) {
                options.insert(options.end(), {good[i], good[i + 1]});
            } else if (!c.value.empty()) {
                options.insert(options.end(), {c.option, c.value});
            }
        }
        if (c.option == "--colour") options.insert(options.begin(), c.option);
        const auto made = MakePack(options);
        EXPECT_EQ(made.status, 1) << c.line;
        EXPECT_EQ(made.out, "make-pack.sh: " + c.line + "\n");
        EXPECT_FALSE(fs::exists(dir / "out") && !fs::is_empty(dir / "out")) << c.line;
    }
    const auto made = MakePack(good);
    EXPECT_EQ(made.status, 0) << made.out;
    EXPECT_TRUE(fs::exists(dir / "out/acme-pack_1.0_all.deb")) << made.out;
}

}  // namespace
