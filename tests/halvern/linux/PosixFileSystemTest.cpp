// Files and links through POSIX, on a real folder: the exclusive probe file
// creation, removal that never follows a link, and links made as given.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "TestSupport.h"
#include "platform/linux/PosixFileSystem.h"
#include "platform/linux/RootTrust.h"

namespace {

using testsupport::TempDir;
namespace fs = std::filesystem;

class PosixFileSystemTest : public ::testing::Test {
protected:
    TempDir dir;
    platform::PosixFileSystem files;
};

TEST_F(PosixFileSystemTest, CreatesAnEmptyFileWithDefaultPermissions) {
    const mode_t old = ::umask(022);
    const std::string probe = dir / "TempFileForLangPack.pdf";
    EXPECT_TRUE(files.createEmptyFile(probe).ok());
    ::umask(old);

    struct stat st;
    ASSERT_EQ(::lstat(probe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(PosixFileSystemTest, CreationFailsOnAnythingAlreadyThere) {
    const std::string file = dir / "file";
    testsupport::WriteFile(file, "keep me");
    const platform::Status taken = files.createEmptyFile(file);
    EXPECT_FALSE(taken.ok());
    EXPECT_EQ(taken.localizedDescription(), "Could not create " + file + ": File exists");
    EXPECT_EQ(testsupport::ReadFile(file), "keep me");  // not truncated

    testsupport::MakeFolders(dir / "folder");
    EXPECT_FALSE(files.createEmptyFile(dir / "folder").ok());
    EXPECT_FALSE(files.createEmptyFile(dir / "missing/file").ok());
}

TEST_F(PosixFileSystemTest, PlantedLinkNeverLeadsTheCreationElsewhere) {
    // A link to an existing file: neither followed nor truncated.
    const std::string victim = dir / "victim";
    testsupport::WriteFile(victim, "precious", 0600);
    fs::create_symlink(victim, dir / "probe-to-file");
    EXPECT_FALSE(files.createEmptyFile(dir / "probe-to-file").ok());
    EXPECT_EQ(testsupport::ReadFile(victim), "precious");

    // A dangling link: its target is not created.
    fs::create_symlink(dir / "created-elsewhere", dir / "probe-dangling");
    EXPECT_FALSE(files.createEmptyFile(dir / "probe-dangling").ok());
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "created-elsewhere")));
    EXPECT_EQ(testsupport::ReadLink(dir / "probe-dangling"), dir / "created-elsewhere");
}

TEST_F(PosixFileSystemTest, RemovalTakesTheLinkNotItsTarget) {
    const std::string victim = dir / "victim";
    testsupport::WriteFile(victim, "precious");
    fs::create_symlink(victim, dir / "probe");
    EXPECT_TRUE(files.removeItem(dir / "probe").ok());
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "probe")));
    EXPECT_EQ(testsupport::ReadFile(victim), "precious");

    // A link to a folder: the folder and its contents stay.
    testsupport::WriteFile(dir / "folder/inside", "x");
    fs::create_symlink(dir / "folder", dir / "probe2");
    EXPECT_TRUE(files.removeItem(dir / "probe2").ok());
    EXPECT_TRUE(fs::exists(dir / "folder/inside"));
}

TEST_F(PosixFileSystemTest, RemovesFilesAndEmptyFoldersOnly) {
    testsupport::WriteFile(dir / "file", "");
    EXPECT_TRUE(files.removeItem(dir / "file").ok());
    EXPECT_FALSE(fs::exists(dir / "file"));

    testsupport::MakeFolders(dir / "empty");
    EXPECT_TRUE(files.removeItem(dir / "empty").ok());
    EXPECT_FALSE(fs::exists(dir / "empty"));

    testsupport::WriteFile(dir / "full/inside", "x");
    const platform::Status full = files.removeItem(dir / "full");
    EXPECT_FALSE(full.ok());
    EXPECT_EQ(full.localizedDescription(), "Could not remove " + (dir / "full") + ": Directory not empty");
    EXPECT_TRUE(fs::exists(dir / "full/inside"));

    const platform::Status missing = files.removeItem(dir / "missing");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.localizedDescription(), "Could not remove " + (dir / "missing") + ": No such file or directory");
}

TEST_F(PosixFileSystemTest, LinkTargetIsKeptCharacterForCharacter) {
    for (const std::string target : {"/Applications/Veldane Lumaro.app", "/Apps/./../Apps//Veldane Lumaro.app/",
                                     "relative/Lumaro.app", "/nonexistent/\xC3\xA9.app"}) {
        const std::string link = dir / "link";
        ASSERT_TRUE(files.createSymbolicLink(link, target).ok()) << target;
        EXPECT_EQ(testsupport::ReadLink(link), target);
        ::unlink(link.c_str());
    }
}

TEST_F(PosixFileSystemTest, LinkFailuresNameThePathAndTheReason) {
    testsupport::WriteFile(dir / "taken", "keep");
    const platform::Status taken = files.createSymbolicLink(dir / "taken", "/Applications/Veldane Lumaro.app");
    EXPECT_FALSE(taken.ok());
    EXPECT_EQ(taken.localizedDescription(), "Could not create a symbolic link at " + (dir / "taken") + ": File exists");
    EXPECT_EQ(testsupport::ReadFile(dir / "taken"), "keep");

    // A dangling link is something, too.
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_FALSE(files.createSymbolicLink(dir / "dangling", "/x").ok());
    EXPECT_EQ(testsupport::ReadLink(dir / "dangling"), dir / "nowhere");

    const platform::Status noParent = files.createSymbolicLink(dir / "missing/link", "/x");
    EXPECT_EQ(noParent.localizedDescription(),
              "Could not create a symbolic link at " + (dir / "missing/link") + ": No such file or directory");
}

TEST_F(PosixFileSystemTest, ExistenceFollowsLinks) {
    testsupport::WriteFile(dir / "file", "");
    fs::create_symlink(dir / "file", dir / "good");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_TRUE(files.fileExists(dir / "file"));
    EXPECT_TRUE(files.fileExists(dir / "good"));
    EXPECT_TRUE(files.fileExists(dir.path()));
    EXPECT_FALSE(files.fileExists(dir / "dangling"));
    EXPECT_FALSE(files.fileExists(dir / "missing"));
    EXPECT_FALSE(files.fileExists(""));

    EXPECT_TRUE(files.isReadableFile(dir / "good"));
    EXPECT_FALSE(files.isReadableFile(dir.path()));
    EXPECT_FALSE(files.isReadableFile(dir / "dangling"));
}

TEST_F(PosixFileSystemTest, PrivateFoldersAreFreshAndOnlyTheOwnersOwn) {
    std::string first, second;
    ASSERT_TRUE(files.createPrivateFolder(dir.path() + "/", &first).ok());
    ASSERT_TRUE(files.createPrivateFolder(dir.path(), &second).ok());
    EXPECT_NE(first, second);
    for (const std::string& folder : {first, second}) {
        EXPECT_EQ(fs::path(folder).parent_path(), dir.path());
        EXPECT_TRUE(fs::path(folder).filename().string().starts_with("Halvern-")) << folder;
        struct stat st;
        ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(st.st_uid, ::geteuid());
    }

    std::string untouched = "unchanged";
    const platform::Status missing = files.createPrivateFolder(dir / "missing", &untouched);
    EXPECT_EQ(missing.localizedDescription(),
              "Could not create a private folder in " + (dir / "missing") + ": No such file or directory");
    EXPECT_EQ(untouched, "unchanged");
}

// Inside a folder that root writes into later, every folder at any depth is
// judged, links are not followed, and the depth is bounded.
TEST_F(PosixFileSystemTest, EveryFolderInsideMustBeRootsAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: the folders must be root's and another user's";
    const std::string bundle = dir / "Viewer.app";
    testsupport::MakeFolders(bundle + "/Contents/Resources/en.lproj");
    testsupport::MakeFolders(dir / "Elsewhere");
    ASSERT_EQ(::chown((dir / "Elsewhere").c_str(), 65534, 65534), 0);
    fs::create_symlink(dir / "Elsewhere", bundle + "/Contents/Link");
    const auto inside = [&] {
        const platform::Descriptor folder(::open(bundle.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        const platform::Status status = platform::CheckFoldersInside(folder.get(), "/B");
        return status.ok() ? std::string("ok") : status.localizedDescription();
    };
    EXPECT_EQ(inside(), "ok");
    ::chmod((bundle + "/Contents/Resources/en.lproj").c_str(), 0775);
    EXPECT_EQ(inside(), "/B/Contents/Resources/en.lproj is writable by others than its owner (mode 0775)");
    ::chmod((bundle + "/Contents/Resources/en.lproj").c_str(), 0755);

    std::string deep = "/Contents";
    for (int level = 2; level <= platform::kMaximumFolderDepth; ++level) deep += "/d";
    testsupport::MakeFolders(bundle + deep);
    EXPECT_EQ(inside(), "ok");
    testsupport::MakeFolders(bundle + deep + "/d");
    EXPECT_EQ(inside(), "/B" + deep + "/d lies more than 256 folders deep inside /B, too deep to be judged");
}

TEST_F(PosixFileSystemTest, TemporaryDirectoryIsTMPDIRElseTmp) {
    const char* saved = std::getenv("TMPDIR");
    const std::string restore = saved != nullptr ? saved : "";

    ::setenv("TMPDIR", "/var/tmp/private/", 1);
    EXPECT_EQ(files.temporaryDirectory(), "/var/tmp/private/");
    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(files.temporaryDirectory(), "/tmp");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(files.temporaryDirectory(), "/tmp");

    if (saved != nullptr) ::setenv("TMPDIR", restore.c_str(), 1);
}

}  // namespace
