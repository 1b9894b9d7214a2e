// Bundles on disk: Info.plists in XML and binary form, in each place a bundle
// may keep one, and every way one can be broken.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "PlistHostileSupport.h"
#include "PlistTestSupport.h"
#include "TestSupport.h"
#include "platform/linux/PlistBundles.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

const std::map<std::string, std::string> kLumaro{
    {"CFBundleIdentifier", "com.veldane.Lumaro"}, {"CFBundleVersion", "17.8.30051"}, {"TrackName", "2017"}};

class PlistBundlesTest : public ::testing::Test {
protected:
    std::optional<std::string> Identifier(const std::string& bundle) {
        const auto info = bundles.infoDictionary(bundle);
        if (!info) return std::nullopt;
        return info->string("CFBundleIdentifier").value_or("(no identifier)");
    }

    TempDir dir;
    platform::PlistBundles bundles;
};

TEST_F(PlistBundlesTest, ReadsXmlAndBinaryInfoPlists) {
    WriteFile(dir / "Xml.app/Contents/Info.plist", XmlPlist(kLumaro));
    WriteFile(dir / "Binary.app/Contents/Info.plist", BinaryPlist(kLumaro));

    for (const char* name : {"Xml.app", "Binary.app"}) {
        const auto info = bundles.infoDictionary(dir / name);
        ASSERT_TRUE(info) << name;
        EXPECT_EQ(info->strings(), (std::map<std::string, std::string, std::less<>>(kLumaro.begin(), kLumaro.end())))
            << name;
    }
}

TEST_F(PlistBundlesTest, FindsTheInfoPlistWhereBundlesKeepIt) {
    WriteFile(dir / "Resources.app/Resources/Info.plist", XmlPlist({{"CFBundleIdentifier", "resources"}}));
    WriteFile(dir / "Flat.app/Info.plist", XmlPlist({{"CFBundleIdentifier", "flat"}}));
    WriteFile(dir / "Both.app/Contents/Info.plist", XmlPlist({{"CFBundleIdentifier", "contents"}}));
    WriteFile(dir / "Both.app/Info.plist", XmlPlist({{"CFBundleIdentifier", "flat"}}));
    WriteFile(dir / "NoSuffix/Contents/Info.plist", XmlPlist({{"CFBundleIdentifier", "any folder"}}));

    EXPECT_EQ(Identifier(dir / "Resources.app"), "resources");
    EXPECT_EQ(Identifier(dir / "Flat.app"), "flat");
    EXPECT_EQ(Identifier(dir / "Both.app"), "contents");
    EXPECT_EQ(Identifier(dir / "Both.app/"), "contents");
    EXPECT_EQ(Identifier(dir / "NoSuffix"), "any folder");
}

TEST_F(PlistBundlesTest, ReachesABundleThroughALink) {
    WriteFile(dir / "Real.app/Contents/Info.plist", BinaryPlist(kLumaro));
    std::filesystem::create_symlink(dir / "Real.app", dir / "Linked.app");
    EXPECT_EQ(Identifier(dir / "Linked.app"), "com.veldane.Lumaro");
}

TEST_F(PlistBundlesTest, BrokenOrMissingInfoPlistIsNoBundle) {
    const std::string xml = XmlPlist(kLumaro);
    const std::string binary = BinaryPlist(kLumaro);
    WriteFile(dir / "TruncatedXml.app/Contents/Info.plist", xml.substr(0, xml.size() / 2));
    WriteFile(dir / "TruncatedBinary.app/Contents/Info.plist", binary.substr(0, binary.size() - 10));
    WriteFile(dir / "Garbage.app/Contents/Info.plist", std::string("\x00\xFF\x13garbage\x7F", 12));
    WriteFile(dir / "BinaryMagicOnly.app/Contents/Info.plist", "bplist00");
    WriteFile(dir / "Empty.app/Contents/Info.plist", "");
    WriteFile(dir / "Text.app/Contents/Info.plist", "CFBundleIdentifier = com.veldane.Lumaro\n");
    WriteFile(dir / "ArrayRoot.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array>\n"
              "\t<string>com.veldane.Lumaro</string>\n</array>\n</plist>\n");
    WriteFile(dir / "StringRoot.app/Contents/Info.plist",
              "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><string>com.veldane.Lumaro</string></plist>\n");
    // Contents/Info.plist is broken: the flat one next to it does not count.
    WriteFile(dir / "BrokenFirst.app/Contents/Info.plist", "<plist><dict><key>x</key>");
    WriteFile(dir / "BrokenFirst.app/Info.plist", xml);
    testsupport::MakeFolders(dir / "NoPlist.app/Contents/MacOS");
    std::filesystem::create_directories(dir / "FolderPlist.app/Contents/Info.plist");
    WriteFile(dir / "File.app", xml);

    for (const char* name :
         {"TruncatedXml.app", "TruncatedBinary.app", "Garbage.app", "BinaryMagicOnly.app", "Empty.app", "Text.app",
          "ArrayRoot.app", "StringRoot.app", "BrokenFirst.app", "NoPlist.app", "FolderPlist.app", "File.app",
          "Missing.app"}) {
        EXPECT_EQ(bundles.infoDictionary(dir / name), std::nullopt) << name;
    }
    EXPECT_EQ(bundles.infoDictionary(""), std::nullopt);
}

TEST_F(PlistBundlesTest, OnlyStringValuesAreKept) {
    WriteFile(dir / "Mixed.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
              "\t<key>CFBundleIdentifier</key><string>com.veldane.Lumaro</string>\n"
              "\t<key>CFBundleVersion</key><integer>17</integer>\n"
              "\t<key>TrackName</key><array><string>2017</string></array>\n"
              "\t<key>CFBundleName</key><string>Veldane Lumaro \xE2\x80\x93 \xC3\xA9</string>\n"
              "\t<key>CFBundleDisplayName</key><string></string>\n"
              "\t<key>Other</key><string>not one the system reads</string>\n"
              "</dict>\n</plist>\n");
    const auto info = bundles.infoDictionary(dir / "Mixed.app");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->string("CFBundleIdentifier"), "com.veldane.Lumaro");
    EXPECT_EQ(info->string("CFBundleVersion"), std::nullopt);
    EXPECT_EQ(info->string("TrackName"), std::nullopt);
    EXPECT_EQ(info->string("CFBundleName"), "Veldane Lumaro \xE2\x80\x93 \xC3\xA9");
    EXPECT_EQ(info->string("CFBundleDisplayName"), "");
    EXPECT_EQ(info->string("Other"), std::nullopt);
}

// What another user may plant as an Info.plist (a running application's bundle,
// a proposed path): never a bundle, never a block, a crash or a long read.
TEST_F(PlistBundlesTest, HostileInfoPlistsAreReadInBoundedTime) {
    const auto plant = [&](const std::string& name, const std::string& data) {
        WriteFile(dir / (name + "/Contents/Info.plist"), data);
        return name;
    };
    WriteFile(dir / "Real.app/Contents/Info.plist", XmlPlist(kLumaro));
    testsupport::MakeFolders(dir / "Fifo.app/Contents");
    ASSERT_EQ(::mkfifo((dir / "Fifo.app/Contents/Info.plist").c_str(), 0644), 0);
    testsupport::MakeFolders(dir / "LinkedPlist.app/Contents");
    std::filesystem::create_symlink(dir / "Real.app/Contents/Info.plist", dir / "LinkedPlist.app/Contents/Info.plist");
    testsupport::MakeFolders(dir / "LinkedContents.app");
    std::filesystem::create_symlink(dir / "Real.app/Contents", dir / "LinkedContents.app/Contents");
    const std::string cyclic = hostile::BinaryFile({hostile::Dictionary({{1, 2}}), hostile::Ascii("Loop"),
                                                    hostile::Array({3}), hostile::Array({2})});
    const std::string nulInXml = XmlPlist({{"CFBundleIdentifier", std::string("com.veldane.Lumaro\0x", 20)}});

    struct Case {
        std::string bundle;
        std::optional<std::string> identifier;  // nullopt: no bundle
    };
    const std::optional<std::string> none;
    const std::string absent = "(no identifier)";
    const std::string lumaro = "com.veldane.Lumaro";
    for (const Case& c : {
             Case{"Fifo.app", none},
             // Links inside the bundle: refused only to root.
             Case{"LinkedPlist.app", ::geteuid() == 0 ? none : lumaro},
             Case{"LinkedContents.app", ::geteuid() == 0 ? none : lumaro},
             Case{plant("Deep200000.app", hostile::NestedXml(200'000)), none},
             Case{plant("DeepBinary200000.app", hostile::NestedBinary(200'000)), none},
             Case{plant("DeepUnderCap.app", hostile::NestedXml(60'000)), none},
             Case{plant("DeepBinaryUnderCap.app", hostile::NestedBinary(100'000)), none},
             Case{plant("Deep31.app", hostile::NestedXml(31)), none},       // 33 levels with <plist>, <dict>
             Case{plant("Deep30.app", hostile::NestedXml(30)), lumaro},     // 32 levels
             Case{plant("DeepBinary32.app", hostile::NestedBinary(32)), none},
             Case{plant("DeepBinary31.app", hostile::NestedBinary(31)), lumaro},
             Case{plant("Cyclic.app", cyclic), none},
             Case{plant("Keys400000.app", hostile::ManyKeysXml(400'000)), none},
             Case{plant("KeysBinary400000.app", hostile::ManyKeysBinary(400'000)), none},
             Case{plant("Keys30000.app", hostile::ManyKeysXml(30'000)), none},  // 1 MiB, too many elements
             Case{plant("Keys4100.app", hostile::ManyKeysXml(4'100)), none},    // 8,204 elements
             Case{plant("Keys4000.app", hostile::ManyKeysXml(4'000)), lumaro},  // 8,004
             Case{plant("KeysBinary4100.app", hostile::ManyKeysBinary(4'100)), none},    // 8,202 references
             Case{plant("KeysBinary4000.app", hostile::ManyKeysBinary(4'000)), lumaro},  // 8,002
             Case{plant("LongIdentifier.app", XmlPlist({{"CFBundleIdentifier", std::string(16 * 1024 + 1, 'x')}})),
                  absent},
             Case{plant("SharedArrays.app", hostile::NestedBinary(30, 2)), lumaro},
             Case{plant("NulInXml.app", nulInXml), absent},
             Case{plant("NulInXmlReference.app", XmlPlist({{"CFBundleIdentifier", "com.veldane.Lumaro&#0;x"}})), absent},
             Case{plant("NulInBinary.app", hostile::OneEntryBinary("CFBundleIdentifier", lumaro + '\0' + "x")), absent},
             Case{plant("NulInKey.app", hostile::OneEntryBinary(std::string("CFBundleIdentifier\0x", 20), lumaro)),
                  absent},
         }) {
        const auto start = std::chrono::steady_clock::now();
        const auto info = bundles.infoDictionary(dir / c.bundle);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(info ? std::optional<std::string>(info->string("CFBundleIdentifier").value_or(absent)) : none,
                  c.identifier)
            << c.bundle;
        // Only the keys the system reads are kept, however many the file holds.
        if (info) {
            EXPECT_LE(info->strings().size(), 1u) << c.bundle;
        }
        EXPECT_LT(elapsed, std::chrono::seconds(2)) << c.bundle;  // a hang guard; speed is in bench/
    }
}

TEST(EnclosingAppFolder, IsTheNearestAppFolderAbove) {
    using platform::EnclosingAppFolder;
    EXPECT_EQ(EnclosingAppFolder("/Applications/Halvern.app/Contents/MacOS/Halvern"), "/Applications/Halvern.app");
    EXPECT_EQ(EnclosingAppFolder("/A/Outer.app/Contents/Inner.app/Contents/MacOS/x"), "/A/Outer.app/Contents/Inner.app");
    EXPECT_EQ(EnclosingAppFolder("/A/My Viewer.app//Contents/MacOS/x"), "/A/My Viewer.app");
    EXPECT_EQ(EnclosingAppFolder("Rel.app/Contents/MacOS/x"), "Rel.app");
    EXPECT_EQ(EnclosingAppFolder("/X.app"), std::nullopt);  // the path itself is not above itself
    EXPECT_EQ(EnclosingAppFolder("/usr/bin/evince"), std::nullopt);
    EXPECT_EQ(EnclosingAppFolder("/opt/.app/x"), std::nullopt);
    EXPECT_EQ(EnclosingAppFolder("/opt/x.apps/x"), std::nullopt);
    EXPECT_EQ(EnclosingAppFolder(""), std::nullopt);
    EXPECT_EQ(EnclosingAppFolder("/"), std::nullopt);
}

TEST(MainBundlePath, IsTheAppFolderAroundTheRunningProgram) {
    TempDir dir;
    const std::string bundle = dir / "Tool Copy.app";
    testsupport::MakeFolders(bundle + "/Contents/MacOS");
    std::filesystem::copy_file(HALVERN_PLATFORM_TOOL, bundle + "/Contents/MacOS/tool");
    std::filesystem::copy_file(HALVERN_PLATFORM_TOOL, dir / "tool");

    auto inBundle = testsupport::RunProcess({bundle + "/Contents/MacOS/tool", "mainbundle"}, testsupport::BaseEnvironment());
    EXPECT_EQ(inBundle.out, bundle + "\n") << inBundle.err;
    auto outside = testsupport::RunProcess({dir / "tool", "mainbundle"}, testsupport::BaseEnvironment());
    EXPECT_EQ(outside.out, "(none)\n") << outside.err;
}

}  // namespace
