// Bundles on disk: Info.plists in XML and binary form, in each place a bundle
// may keep one, and every way one can be broken.

#include <gtest/gtest.h>

#include <filesystem>

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
              "\t<key>Empty</key><string></string>\n"
              "</dict>\n</plist>\n");
    const auto info = bundles.infoDictionary(dir / "Mixed.app");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->string("CFBundleIdentifier"), "com.veldane.Lumaro");
    EXPECT_EQ(info->string("CFBundleVersion"), std::nullopt);
    EXPECT_EQ(info->string("TrackName"), std::nullopt);
    EXPECT_EQ(info->string("CFBundleName"), "Veldane Lumaro \xE2\x80\x93 \xC3\xA9");
    EXPECT_EQ(info->string("Empty"), "");
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
