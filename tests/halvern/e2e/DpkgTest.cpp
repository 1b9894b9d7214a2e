// The Debian packages that scripts/package.sh builds into build/packages,
// installed, upgraded, refused and removed by dpkg itself, inside a bubblewrap
// sandbox whose dpkg database is a copy of the machine's and whose /opt,
// /Library, /usr/share/doc, /usr/share/man, /var, /tmp and /Applications (the
// sample viewer, with a program in its bundle) are the test's own. dpkg
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
        fs::copy_file("/usr/bin/sleep", dir / "Applications/Veldane Lumaro.app/Contents/MacOS/Veldane Lumaro");
        for (const char* folder : {"opt", "Library", "doc", "man", "tmp", "var/log", "var/cache", "xdg", "ro"}) {
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
            .readOnlyBind(dir / "ro", "/ro");
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

    bool PlugInInViewer() { return fs::exists(dir / ("Applications/Veldane Lumaro.app" + std::string(kPlugIn))); }
    std::optional<std::string> PackLink() { return testsupport::ReadLink(dir.path() + kPackLink); }
    std::vector<std::string> ViewerChanges() {
        return testsupport::Differences(viewerBefore, testsupport::Snapshot(dir / "Applications"));
    }
    // dpkg's word on the pack: "install ok installed", or empty when it knows none.
    std::string PackStatus() {
        const auto run = Dpkg({"-s", kPack});
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

}  // namespace
