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

TEST(DlfcnDynamicLoader, WorldWritableFolderAboveIsNotTrusted) {
    // /tmp is writable by everyone: whatever lies below it counts as absent.
    testsupport::TempDir dir;
    detection::CopyFile(FAKE_OSTREL_RUNNING, dir / "VeldaneOstrel.dylib");
    EXPECT_FALSE(RootProtectedPath(dir / "VeldaneOstrel.dylib"));
    DlfcnDynamicLoader loader;
    EXPECT_FALSE(loader.open(dir / "VeldaneOstrel.dylib"));
    EXPECT_FALSE(loader.open(dir / "missing.dylib"));
    EXPECT_FALSE(loader.open(""));
}

// Cases that need a folder chain only root can write: a folder made in the build
// tree, when the checkout lies in one (otherwise the sandbox tests cover them).
class TrustedFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = std::string(TEST_BINARY_DIR) + "/loader-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) GTEST_SKIP() << "cannot make a folder in the build tree";
        folder = pattern;
        ::chmod(folder.c_str(), 0755);
        library = folder + "/core/VeldaneOstrel.dylib";
        detection::CopyFile(FAKE_OSTREL_RUNNING, library);
        ::chmod(library.c_str(), 0644);
        ::chmod((folder + "/core").c_str(), 0755);
        if (!RootProtectedPath(library)) {
            GTEST_SKIP() << "the build tree " << TEST_BINARY_DIR << " lies in a folder that others can write";
        }
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
    // A link in a protected folder leading into /tmp: not trusted.
    testsupport::TempDir elsewhere;
    detection::CopyFile(FAKE_OSTREL_RUNNING, elsewhere / "lib.dylib");
    fs::create_symlink(elsewhere / "lib.dylib", folder + "/untrusted.dylib");
    EXPECT_FALSE(Status(folder + "/untrusted.dylib"));
    // A link leading to a protected file: loaded from where it leads.
    fs::create_symlink(library, folder + "/trusted.dylib");
    EXPECT_EQ(RootProtectedPath(folder + "/trusted.dylib"), library);
    EXPECT_EQ(Status(folder + "/trusted.dylib"), -3);
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
