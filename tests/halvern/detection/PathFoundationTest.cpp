// The path and URL helpers that the running-instance detection relies on.

#include <gtest/gtest.h>

#include <cstdlib>

#include "Foundation.h"

namespace {

TEST(StringByStandardizingPath, DropsDotsEmptyComponentsAndTrailingSlash) {
    EXPECT_EQ(StringByStandardizingPath("/Applications/Veldane Lumaro.app/"), "/Applications/Veldane Lumaro.app");
    EXPECT_EQ(StringByStandardizingPath("/Applications//./Veldane Lumaro.app"), "/Applications/Veldane Lumaro.app");
    EXPECT_EQ(StringByStandardizingPath("/Applications/x/../Veldane Lumaro.app"), "/Applications/Veldane Lumaro.app");
    EXPECT_EQ(StringByStandardizingPath("/../a"), "/a");
    EXPECT_EQ(StringByStandardizingPath("/"), "/");
    EXPECT_EQ(StringByStandardizingPath(""), "");
    // A relative path keeps its "..": there is nothing to resolve it against.
    EXPECT_EQ(StringByStandardizingPath("a/./../b/"), "a/../b");
}

TEST(StringByStandardizingPath, ExpandsTheHomeFolder) {
    const char* home = std::getenv("HOME");
    const std::string saved = home ? home : "";
    ::setenv("HOME", "/home/tester", 1);
    EXPECT_EQ(StringByStandardizingPath("~/Applications/X.app"), "/home/tester/Applications/X.app");
    EXPECT_EQ(StringByStandardizingPath("~"), "/home/tester");
    EXPECT_EQ(StringByStandardizingPath("~root/x"), "/root/x");
    // An unknown user leaves the text as it is (then standardized).
    EXPECT_EQ(StringByStandardizingPath("~no-such-user-here/x/"), "~no-such-user-here/x");
    if (home) ::setenv("HOME", saved.c_str(), 1); else ::unsetenv("HOME");
}

TEST(StandardizedFileURLPath, RemovesDotSegmentsAndTrailingSlash) {
    EXPECT_EQ(StandardizedFileURLPath("/a/b/../c/./d.app/"), "/a/c/d.app");
    EXPECT_EQ(StandardizedFileURLPath("/"), "/");
    EXPECT_EQ(StandardizedFileURLPath("/~/x"), "/~/x");  // no tilde expansion
}

TEST(PathOfStandardizedURLWithString, FileURLsGiveDecodedPaths) {
    EXPECT_EQ(PathOfStandardizedURLWithString("file:///Applications/Veldane%20Lumaro.app/"),
              "/Applications/Veldane Lumaro.app");
    EXPECT_EQ(PathOfStandardizedURLWithString("file://localhost/Applications/./x/../V.app"), "/Applications/V.app");
    EXPECT_EQ(PathOfStandardizedURLWithString("file:/Applications/V.app?x#y"), "/Applications/V.app");
    EXPECT_EQ(PathOfStandardizedURLWithString("http://host/a/b/"), "/a/b");
    // A string without a scheme is a relative URL: its path is the text.
    EXPECT_EQ(PathOfStandardizedURLWithString("/Applications/V.app"), "/Applications/V.app");
    EXPECT_EQ(PathOfStandardizedURLWithString("file:///Applications/%C3%A9.app"), "/Applications/\xC3\xA9.app");
}

TEST(PathOfStandardizedURLWithString, TextThatIsNoURLGivesNothing) {
    EXPECT_EQ(PathOfStandardizedURLWithString("/Applications/Veldane Lumaro.app"), std::nullopt);  // space
    EXPECT_EQ(PathOfStandardizedURLWithString("file:///a%2"), std::nullopt);
    EXPECT_EQ(PathOfStandardizedURLWithString("file:///a%zz"), std::nullopt);
    EXPECT_EQ(PathOfStandardizedURLWithString("file:///a#b#c"), std::nullopt);
    EXPECT_EQ(PathOfStandardizedURLWithString("file:///\xC3\xA9"), std::nullopt);  // not escaped
    EXPECT_EQ(PathOfStandardizedURLWithString("mailto:someone"), std::nullopt);
    EXPECT_EQ(PathOfStandardizedURLWithString("file:///a%00b"), std::nullopt);
    EXPECT_EQ(PathOfStandardizedURLWithString("file:///a%FF"), std::nullopt);  // not UTF-8
}

TEST(PathComponents, ExtensionAndAppending) {
    EXPECT_EQ(StringByDeletingPathExtension("/Applications/Veldane Lumaro.app"), "/Applications/Veldane Lumaro");
    EXPECT_EQ(StringByDeletingPathExtension("Veldane Lumaro.app/"), "Veldane Lumaro");
    EXPECT_EQ(StringByDeletingPathExtension("scratch..tiff"), "scratch.");
    EXPECT_EQ(StringByDeletingPathExtension(".app"), ".app");
    EXPECT_EQ(StringByDeletingPathExtension("/a.b/c"), "/a.b/c");
    EXPECT_EQ(StringByDeletingPathExtension("Veldane Lumaro"), "Veldane Lumaro");
    EXPECT_EQ(StringByAppendingPathComponent("/Applications", "Utilities"), "/Applications/Utilities");
    EXPECT_EQ(StringByAppendingPathComponent("/Applications/", "Utilities"), "/Applications/Utilities");
    EXPECT_EQ(StringByAppendingPathComponent("/", "Library"), "/Library");
}

TEST(IntValue, ReadsLikeTheIntValueOfAString) {
    EXPECT_EQ(IntValue("15"), 15);
    EXPECT_EQ(IntValue("  -7x"), -7);
    EXPECT_EQ(IntValue("x15"), 0);
    EXPECT_EQ(IntValue(""), 0);
    EXPECT_EQ(IntValue("99999999999"), INT32_MAX);
    EXPECT_EQ(IntValue(" -99999999999"), INT32_MIN);
}

}  // namespace
