#include "Foundation.h"

#include <gtest/gtest.h>

#include <climits>

TEST(StringWithUTF8String, AcceptsUTF8AndRejectsEverythingElse) {
    EXPECT_EQ(StringWithUTF8String(""), "");
    EXPECT_EQ(StringWithUTF8String("/Applications/Veldane Lumaro.app"), "/Applications/Veldane Lumaro.app");
    EXPECT_EQ(StringWithUTF8String("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80"),
              "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(StringWithUTF8String("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");  // U+10FFFF

    EXPECT_EQ(StringWithUTF8String(nullptr), std::nullopt);
    EXPECT_EQ(StringWithUTF8String("Latin-1 \xE9t\xE9"), std::nullopt);
    EXPECT_EQ(StringWithUTF8String("\xC0\xAF"), std::nullopt);          // overlong "/"
    EXPECT_EQ(StringWithUTF8String("\xE0\x80\xAF"), std::nullopt);      // overlong "/"
    EXPECT_EQ(StringWithUTF8String("\xF0\x80\x80\xAF"), std::nullopt);  // overlong "/"
    EXPECT_EQ(StringWithUTF8String("\xED\xA0\x80"), std::nullopt);      // surrogate
    EXPECT_EQ(StringWithUTF8String("\xF4\x90\x80\x80"), std::nullopt);  // beyond U+10FFFF
    EXPECT_EQ(StringWithUTF8String("ab\xE2\x82"), std::nullopt);        // truncated at the end
    EXPECT_EQ(StringWithUTF8String("\xE2\x82x"), std::nullopt);         // continuation missing
    EXPECT_EQ(StringWithUTF8String("\x80"), std::nullopt);              // lone continuation
}

TEST(LeadingInt32, ReadsAsAtoiDoes) {
    EXPECT_EQ(LeadingInt32("30051"), 30051);
    EXPECT_EQ(LeadingInt32("008"), 8);
    EXPECT_EQ(LeadingInt32(" \t\n\v\f\r17"), 17);
    EXPECT_EQ(LeadingInt32("+5"), 5);
    EXPECT_EQ(LeadingInt32("-5"), -5);
    EXPECT_EQ(LeadingInt32("12abc"), 12);
    EXPECT_EQ(LeadingInt32("x"), 0);
    EXPECT_EQ(LeadingInt32(""), 0);
    EXPECT_EQ(LeadingInt32("-"), 0);
    EXPECT_EQ(LeadingInt32("- 5"), 0);
    EXPECT_EQ(LeadingInt32("2147483647"), INT_MAX);
    EXPECT_EQ(LeadingInt32("-2147483648"), INT_MIN);
}

TEST(LeadingInt32, RejectsNumbersBeyond32Bits) {
    EXPECT_EQ(LeadingInt32("2147483648"), std::nullopt);
    EXPECT_EQ(LeadingInt32("-2147483649"), std::nullopt);
    EXPECT_EQ(LeadingInt32("4294967296"), std::nullopt);  // wraps to 0 in 32 bits
    EXPECT_EQ(LeadingInt32("99999999999999999999999999"), std::nullopt);
    EXPECT_EQ(LeadingInt32("0000000000000000000000000017"), 17);  // zeros do not overflow
}

TEST(ReplaceOccurrences, ReplacesEveryOccurrenceWithoutRescanning) {
    EXPECT_EQ(ReplaceOccurrences("@A@ and @A@", "@A@", "x"), "x and x");
    EXPECT_EQ(ReplaceOccurrences("no placeholder", "@A@", "x"), "no placeholder");
    EXPECT_EQ(ReplaceOccurrences("aaa", "a", "aa"), "aaaaaa");
    EXPECT_EQ(ReplaceOccurrences("@A@A@", "@A@", "-"), "-A@");
    EXPECT_EQ(ReplaceOccurrences("text", "", "x"), "text");
    EXPECT_EQ(ReplaceOccurrences("", "@A@", "x"), "");
}

TEST(ComponentsSeparatedByString, KeepsEmptyComponents) {
    using V = std::vector<std::string>;
    EXPECT_EQ(ComponentsSeparatedByString("17.8.30051", "."), (V{"17", "8", "30051"}));
    EXPECT_EQ(ComponentsSeparatedByString("17..1.", "."), (V{"17", "", "1", ""}));
    EXPECT_EQ(ComponentsSeparatedByString("", "."), (V{""}));
    EXPECT_EQ(ComponentsSeparatedByString("17", "."), (V{"17"}));
}

TEST(Format, FormatsIntoAString) {
    EXPECT_EQ(Format("%d.%d.%d", 17, 8, 30051), "17.8.30051");
    EXPECT_EQ(Format("(%s)", ""), "()");
    EXPECT_EQ(Format("%s", "%s %d"), "%s %d");
    const std::string long_text(10000, 'x');
    EXPECT_EQ(Format("<%s>", long_text.c_str()), "<" + long_text + ">");
}
