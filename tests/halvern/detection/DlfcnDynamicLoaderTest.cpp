// Loading the installer-manager library: only from files that no one but root
// can have put in place.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "DetectionSupport.h"
#include "TestSupport.h"
#include "platform/linux/DlfcnDynamicLoader.h"
#include "platform/linux/RootTrust.h"

namespace {

namespace fs = std::filesystem;
using platform::DlfcnDynamicLoader;
using platform::RootProtectedPath;

using StatusFunction = int (*)(int);
constexpr const char* kStatusFunction = "ostrel_getZEVDeploymentValidationStatus";

std::string LibmPath() {
    Dl_info info{};
    double (*function)(double) = &::cos;
    ::dladdr(reinterpret_cast<void*>(function), &info);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

TEST(DlfcnDynamicLoader, SystemLibraryLoadsAndAnswers) {
    DlfcnDynamicLoader loader;
    const std::string libm = LibmPath();
    ASSERT_TRUE(RootProtectedPath(libm)) << libm;
    const auto handle = loader.open(libm);
    ASSERT_TRUE(handle);
    EXPECT_NE(loader.symbol(*handle, "cos"), nullptr);
    EXPECT_EQ(loader.symbol(*handle, "no_such_function_here"), nullptr);
    loader.close(*handle);
}

TEST(DlfcnDynamicLoader, AFolderOthersMayWriteAboveIsNotTrusted) {
    // Writable by everyone and without the sticky bit: whatever lies below it
    // counts as absent, whoever owns it.
    testsupport::TempDir dir;
    detection::CopyFile(FAKE_OSTREL_RUNNING, dir / "open/VeldaneOstrel.dylib");
    ::chmod((dir / "open").c_str(), 0777);
    EXPECT_FALSE(RootProtectedPath(dir / "open/VeldaneOstrel.dylib"));
    DlfcnDynamicLoader loader;
    EXPECT_FALSE(loader.open(dir / "open/VeldaneOstrel.dylib"));
    EXPECT_FALSE(loader.open(dir / "missing.dylib"));
    EXPECT_FALSE(loader.open(""));
}

// Cases that need a folder chain only root can write, and files of another
// user: a root-owned folder made under /tmp, which passes as the sticky parent
// of root's own entry, so they run wherever the tests run as root.
class TrustedFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root: the files must be root's and another user's";
        std::string pattern = "/tmp/halvern-trust-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << pattern;
        folder = pattern;
        ::chmod(folder.c_str(), 0755);
        library = folder + "/core/VeldaneOstrel.dylib";
        detection::CopyFile(FAKE_OSTREL_RUNNING, library);
        ::chmod(library.c_str(), 0644);
        ::chmod((folder + "/core").c_str(), 0755);
        const platform::RootTrust trust = platform::CheckRootTrust(library);
        ASSERT_TRUE(trust.status.ok()) << trust.status.localizedDescription();
    }
    void TearDown() override {
        if (!folder.empty()) fs::remove_all(folder);
    }
    std::optional<int> Status(const std::string& path) {
        const auto handle = loader.open(path);
        if (!handle) return std::nullopt;
        std::optional<int> status;
        if (void* function = loader.symbol(*handle, kStatusFunction)) status = reinterpret_cast<StatusFunction>(function)(0);
        loader.close(*handle);
        return status;
    }
    // A folder of the unprivileged user nobody, as an attacker's.
    std::string NobodysFolder(const std::string& name) {
        const std::string path = folder + "/" + name;
        testsupport::MakeFolders(path);
        EXPECT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        return path;
    }
    std::string Reason(const std::string& path) { return platform::CheckRootTrust(path).status.localizedDescription(); }

    std::string folder;
    std::string library;
    DlfcnDynamicLoader loader;
};

TEST_F(TrustedFolderTest, RootOwnedChainLoads) {
    EXPECT_EQ(RootProtectedPath(library), library);
    EXPECT_EQ(Status(library), -3);
}

TEST_F(TrustedFolderTest, WritableByOthersAnywhereAlongThePathIsAbsent) {
    const std::string core = folder + "/core";
    ::chmod(core.c_str(), 0775);  // group-writable folder
    EXPECT_FALSE(Status(library));
    ::chmod(core.c_str(), 0757);  // writable by others
    EXPECT_FALSE(Status(library));
    ::chmod(core.c_str(), 0755);
    ::chmod(library.c_str(), 0664);  // group-writable file
    EXPECT_FALSE(Status(library));
    ::chmod(library.c_str(), 0646);
    EXPECT_FALSE(Status(library));
    ::chmod(library.c_str(), 0644);
    EXPECT_EQ(Status(library), -3);
}

TEST_F(TrustedFolderTest, OwnedBySomeoneElseIsAbsent) {
    ASSERT_EQ(::chown(library.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(Status(library));
    ASSERT_EQ(::chown(library.c_str(), 0, 0), 0);
    ASSERT_EQ(::chown((folder + "/core").c_str(), 65534, 0), 0);
    EXPECT_FALSE(Status(library));
}

TEST_F(TrustedFolderTest, LinksAreJudgedByWhatTheyLeadTo) {
    // A link in a protected folder leading into nobody's folder: not trusted.
    const std::string elsewhere = NobodysFolder("elsewhere");
    detection::CopyFile(FAKE_OSTREL_RUNNING, elsewhere + "/lib.dylib");
    fs::create_symlink(elsewhere + "/lib.dylib", folder + "/untrusted.dylib");
    EXPECT_FALSE(Status(folder + "/untrusted.dylib"));
    EXPECT_EQ(Reason(folder + "/untrusted.dylib"), elsewhere + " is owned by nobody (uid 65534), not root");
    // A link leading to a protected file: loaded from where it leads.
    fs::create_symlink(library, folder + "/trusted.dylib");
    EXPECT_EQ(RootProtectedPath(folder + "/trusted.dylib"), library);
    EXPECT_EQ(Status(folder + "/trusted.dylib"), -3);
    // The same link, relative, in a folder that nobody may change: not followed.
    fs::create_symlink("../core/VeldaneOstrel.dylib", elsewhere + "/relative.dylib");
    EXPECT_EQ(Reason(elsewhere + "/relative.dylib"), elsewhere + " is owned by nobody (uid 65534), not root");
}

TEST_F(TrustedFolderTest, AFolderOthersMayWritePassesOnlyAsTheStickyParentOfRootsEntry) {
    const std::string shared = folder + "/shared";
    testsupport::MakeFolders(shared + "/root");
    detection::CopyFile(FAKE_OSTREL_RUNNING, shared + "/root/lib.dylib");
    ::chmod((shared + "/root").c_str(), 0700);
    ::chmod((shared + "/root/lib.dylib").c_str(), 0644);

    ::chmod(shared.c_str(), 01777);  // as /tmp
    EXPECT_EQ(Status(shared + "/root/lib.dylib"), -3);
    EXPECT_EQ(Reason(shared), shared + " is writable by others than its owner (mode 1777)");
    ASSERT_EQ(::chown((shared + "/root").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Reason(shared + "/root/lib.dylib"), shared + "/root is owned by nobody (uid 65534), not root");
    ASSERT_EQ(::chown((shared + "/root").c_str(), 0, 0), 0);

    ::chmod(shared.c_str(), 0777);  // without the sticky bit
    EXPECT_FALSE(Status(shared + "/root/lib.dylib"));
    EXPECT_EQ(Reason(shared + "/root/lib.dylib"), shared + " is writable by others than its owner (mode 0777)");
    ::chmod(shared.c_str(), 01775);  // group-writable, sticky
    EXPECT_EQ(Status(shared + "/root/lib.dylib"), -3);
}

TEST_F(TrustedFolderTest, AnotherUserLoadsWhatTheyCouldLoadAnyway) {
    const std::string open = folder + "/open/lib.dylib";
    detection::CopyFile(FAKE_OSTREL_RUNNING, open);
    ::chmod(open.c_str(), 0644);
    ::chmod((folder + "/open").c_str(), 0777);
    EXPECT_FALSE(Status(open));
    ASSERT_EQ(::seteuid(65534), 0);
    const std::optional<int> asNobody = Status(open);
    ASSERT_EQ(::seteuid(0), 0);
    EXPECT_EQ(asNobody, -3);
}

TEST_F(TrustedFolderTest, NoLibraryOrNoFunction) {
    EXPECT_FALSE(Status(folder + "/core"));  // a folder
    testsupport::WriteFile(folder + "/text.dylib", "not a library\n", 0644);
    EXPECT_TRUE(RootProtectedPath(folder + "/text.dylib"));
    EXPECT_FALSE(loader.open(folder + "/text.dylib"));
    detection::CopyFile(FAKE_OSTREL_WITHOUT_FUNCTION, folder + "/nofunction.dylib");
    ::chmod((folder + "/nofunction.dylib").c_str(), 0644);
    const auto handle = loader.open(folder + "/nofunction.dylib");
    ASSERT_TRUE(handle);
    EXPECT_EQ(loader.symbol(*handle, kStatusFunction), nullptr);
    loader.close(*handle);
}

}  // namespace
