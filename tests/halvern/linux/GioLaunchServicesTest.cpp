// The PDF handlers through GIO, over a private XDG tree: desktop entries, a
// mimeinfo.cache, mimeapps.list and a copy of the MIME database. GIO reads the
// XDG variables once per process, so each case runs the platform tool in an
// environment of its own.

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "platform/linux/GioLaunchServices.h"

namespace {

using testsupport::TempDir;

class GioLaunchServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The MIME database: the files GIO's content-type guess reads, copied
        // (never linked) from the system's.
        testsupport::MakeFolders(dir / "data/mime");
        for (const char* name : {"mime.cache", "globs2", "globs", "magic", "aliases", "subclasses", "types"}) {
            const std::string from = std::string("/usr/share/mime/") + name;
            if (std::filesystem::exists(from)) std::filesystem::copy_file(from, dir / ("data/mime/" + std::string(name)));
        }
        if (!std::filesystem::exists(dir / "data/mime/mime.cache")) GTEST_SKIP() << "no MIME database in /usr/share/mime";
        testsupport::MakeFolders(dir / "home/.local/share/applications");
        testsupport::MakeFolders(dir / "config");
        testsupport::MakeFolders(dir / "bin");
    }

    // An executable at path (GIO ignores an entry whose program is missing).
    void Program(const std::string& path) { testsupport::WriteFile(path, "#!/bin/sh\nexit 0\n", 0755); }

    // A desktop entry for PDF files in the system data folder.
    void Entry(const std::string& id, const std::string& exec) {
        testsupport::WriteFile(dir / ("data/applications/" + id),
                               "[Desktop Entry]\nType=Application\nName=" + id + "\nExec=" + exec +
                                   "\nMimeType=application/pdf;\n");
    }
    void Cache(const std::string& ids) {
        testsupport::WriteFile(dir / "data/applications/mimeinfo.cache", "[MIME Cache]\napplication/pdf=" + ids + "\n");
    }
    void Defaults(const std::string& content) { testsupport::WriteFile(dir / "config/mimeapps.list", content); }

    // The tool's answer for a probe file: one "[path]" line per application, or
    // "(no list)".
    std::vector<std::string> Handlers(const std::string& probe = "/nonexistent/TempFileForLangPack.pdf") {
        std::vector<std::string> environment = testsupport::BaseEnvironment();
        environment.insert(environment.end(),
                           {"HOME=" + (dir / "home"), "XDG_DATA_HOME=" + (dir / "home/.local/share"),
                            "XDG_DATA_DIRS=" + (dir / "data"), "XDG_CONFIG_HOME=" + (dir / "config"),
                            "XDG_CONFIG_DIRS=" + (dir / "config")});
        testsupport::SetVariable(environment, "PATH", (dir / "bin") + ":/usr/bin:/bin");
        const auto result = testsupport::RunProcess({HALVERN_PLATFORM_TOOL, "handlers", probe}, environment);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        return testsupport::Lines(result.out);
    }

    TempDir dir;
};

TEST_F(GioLaunchServicesTest, NoApplicationAtAllIsNoList) {
    EXPECT_EQ(Handlers(), std::vector<std::string>{"(no list)"});

    // Applications for other types only: still no list.
    Program(dir / "bin/viewer");
    testsupport::WriteFile(dir / "data/applications/text.desktop",
                           "[Desktop Entry]\nType=Application\nName=T\nExec=" + (dir / "bin/viewer") +
                               "\nMimeType=text/plain;\n");
    testsupport::WriteFile(dir / "data/applications/mimeinfo.cache", "[MIME Cache]\ntext/plain=text.desktop;\n");
    EXPECT_EQ(Handlers(), std::vector<std::string>{"(no list)"});
}

TEST_F(GioLaunchServicesTest, HandlersComeInTheSystemsOrderEachOnce) {
    const std::string lumaro = dir / "Applications/Veldane Lumaro.app";
    const std::string reader = dir / "Applications/Reader.app";
    Program(lumaro + "/Contents/MacOS/Veldane Lumaro");
    Program(reader + "/Contents/MacOS/reader");
    Program(dir / "bin/plain-viewer");
    // The Exec program path has spaces, quoted as desktop entries quote them.
    Entry("lumaro.desktop", "\"" + lumaro + "/Contents/MacOS/Veldane Lumaro\" %f");
    Entry("reader.desktop", reader + "/Contents/MacOS/reader --new-window %U");
    Entry("plain.desktop", (dir / "bin/plain-viewer") + " %f");
    Cache("plain.desktop;lumaro.desktop;reader.desktop;");

    // Without a chosen default, GIO's first is the first of the cache.
    EXPECT_EQ(Handlers(), (std::vector<std::string>{"[" + (dir / "bin/plain-viewer") + "]", "[" + lumaro + "]",
                                                    "[" + reader + "]"}));

    // The default application comes first, and is not listed twice.
    Defaults("[Default Applications]\napplication/pdf=reader.desktop\n");
    EXPECT_EQ(Handlers(), (std::vector<std::string>{"[" + reader + "]", "[" + (dir / "bin/plain-viewer") + "]",
                                                    "[" + lumaro + "]"}));
}

TEST_F(GioLaunchServicesTest, EntriesOfOneBundleAreOneApplicationInItsFirstPlace) {
    // The viewer's main program and a helper inside its bundle, each with a
    // desktop entry of its own: one viewer, listed where it first appears.
    const std::string lumaro = dir / "Applications/Veldane Lumaro.app";
    Program(lumaro + "/Contents/MacOS/Veldane Lumaro");
    Program(lumaro + "/Contents/Helpers/open-pdf");
    Program(dir / "bin/plain-viewer");
    Entry("lumaro.desktop", "\"" + lumaro + "/Contents/MacOS/Veldane Lumaro\" %f");
    Entry("plain.desktop", (dir / "bin/plain-viewer") + " %f");
    Entry("opener.desktop", "\"" + lumaro + "/Contents/Helpers/open-pdf\" %f");
    Cache("lumaro.desktop;plain.desktop;opener.desktop;");

    EXPECT_EQ(Handlers(), (std::vector<std::string>{"[" + lumaro + "]", "[" + (dir / "bin/plain-viewer") + "]"}));
}

TEST_F(GioLaunchServicesTest, ProgramsStartedThroughEnvOrALinkCountAsTheirBundle) {
    const std::string lumaro = dir / "Applications/Veldane Lumaro.app";
    const std::string beta = dir / "Applications/Veldane Lumaro Beta.app";
    Program(lumaro + "/Contents/MacOS/Veldane Lumaro");
    Program(beta + "/Contents/MacOS/Veldane Lumaro");
    // /usr/local/bin/lumaro -> inside the bundle, as a package might install it.
    std::filesystem::create_symlink(lumaro + "/Contents/MacOS/Veldane Lumaro", dir / "bin/lumaro");
    Entry("linked.desktop", "lumaro %f");
    Entry("env.desktop", "env -u GTK_MODULES LUMARO_SAFE=1 \"" + beta + "/Contents/MacOS/Veldane Lumaro\" %f");
    Cache("linked.desktop;env.desktop;");

    EXPECT_EQ(Handlers(), (std::vector<std::string>{"[" + lumaro + "]", "[" + beta + "]"}));
}

TEST_F(GioLaunchServicesTest, AddedAssociationsAndUserEntriesCount) {
    const std::string lumaro = dir / "Apps/Veldane Lumaro.app";
    Program(lumaro + "/Contents/MacOS/Lumaro");
    // An entry in the user's own data folder without a MimeType, associated only
    // through mimeapps.list.
    testsupport::WriteFile(dir / "home/.local/share/applications/mine.desktop",
                           "[Desktop Entry]\nType=Application\nName=Mine\nExec=\"" + lumaro + "/Contents/MacOS/Lumaro\"\n");
    Defaults("[Added Associations]\napplication/pdf=mine.desktop;\n");
    EXPECT_EQ(Handlers(), std::vector<std::string>{"[" + lumaro + "]"});
}

TEST_F(GioLaunchServicesTest, ProgramOutsideAnyBundleIsItsPathFoundInPATH) {
    Program(dir / "bin/pdf-tool");
    Entry("tool.desktop", "pdf-tool %f");
    Cache("tool.desktop;");
    EXPECT_EQ(Handlers(), std::vector<std::string>{"[" + (dir / "bin/pdf-tool") + "]"});
}

TEST_F(GioLaunchServicesTest, OnlyTheNameOfTheProbeFileMatters) {
    Program(dir / "bin/viewer");
    Entry("viewer.desktop", (dir / "bin/viewer") + " %f");
    Cache("viewer.desktop;");
    // The probe file does not exist and is never opened; its name says PDF.
    EXPECT_EQ(Handlers(dir / "missing/TempFileForLangPack.pdf"),
              std::vector<std::string>{"[" + (dir / "bin/viewer") + "]"});
    // The same folder with another name: not a PDF file.
    EXPECT_EQ(Handlers(dir / "missing/TempFileForLangPack.unknownext"), std::vector<std::string>{"(no list)"});
}

TEST(ApplicationPathForCommandLine, MapsTheExecProgramToItsBundle) {
    using platform::ApplicationPathForCommandLine;
    EXPECT_EQ(ApplicationPathForCommandLine("\"/Applications/Veldane Lumaro.app/Contents/MacOS/Veldane Lumaro\" %f"),
              "/Applications/Veldane Lumaro.app");
    EXPECT_EQ(ApplicationPathForCommandLine("/Applications/Veldane\\ Lumaro.app/Contents/MacOS/x --flag"),
              "/Applications/Veldane Lumaro.app");
    // The nearest bundle, as written (nothing is resolved).
    EXPECT_EQ(ApplicationPathForCommandLine("/A/Outer.app/Contents/Helpers/Inner.app/Contents/MacOS/inner"),
              "/A/Outer.app/Contents/Helpers/Inner.app");
    EXPECT_EQ(ApplicationPathForCommandLine("/opt/../opt/X.app/run"), "/opt/../opt/X.app");
    EXPECT_EQ(ApplicationPathForCommandLine("/usr/bin/evince %U"), "/usr/bin/evince");
    EXPECT_EQ(ApplicationPathForCommandLine("/opt/.app/run"), "/opt/.app/run");  // ".app" alone names no bundle
    EXPECT_EQ(ApplicationPathForCommandLine("no-such-program-anywhere %f"), "no-such-program-anywhere");
    // env, its options and assignments are passed over, as often as it is named.
    EXPECT_EQ(ApplicationPathForCommandLine("/usr/bin/env -i A=1 -C /tmp --unset=B -- env X=\"a b\" "
                                            "\"/Applications/Veldane Lumaro.app/Contents/MacOS/x\" %f"),
              "/Applications/Veldane Lumaro.app");
    EXPECT_EQ(ApplicationPathForCommandLine("env -S \"/A/X.app/run --flag\" %f"), "/A/X.app");
    EXPECT_EQ(ApplicationPathForCommandLine("env A=1"), "");
    EXPECT_EQ(ApplicationPathForCommandLine("/A/X.app/Contents/MacOS/env -i /B/Y.app/y"), "/A/X.app");
    EXPECT_EQ(ApplicationPathForCommandLine(""), "");
    EXPECT_EQ(ApplicationPathForCommandLine("\"unterminated"), "");
    EXPECT_EQ(ApplicationPathForCommandLine(nullptr), "");
}

}  // namespace
