// The Unicode line-break test file, line by line: the plug-in must give raw
// ICU's answer everywhere; against the file's own expectations ICU differs
// only on the lines listed below, by its own tailorings.

#include "SarvikTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace sarvik_test;

namespace {

// Where ICU's rules (for "en", the common rules) deliberately part from the
// file's. Keyed by the line's content before its comment, so that lines can
// move in a new file without scrambling the list.
const char* const kHyphenBeforeLetter =
    "ICU tailoring: a hyphen at the start of text followed by a letter is taken "
    "as a minus sign or prefix (no break after it), where the file breaks";
const char* const kSeparatorBeforeDigit =
    "ICU tailoring: a numeric separator (IS) before a digit continues a number "
    "even without a digit before it (\".5\"), where the file breaks";
const std::map<std::string, const char*> kKnownDifferences = {
    {"× 002D ÷ 0023 ÷", kHyphenBeforeLetter},
    {"× 002D × 0308 ÷ 0023 ÷", kHyphenBeforeLetter},
    {"× 002D ÷ 00A7 ÷", kHyphenBeforeLetter},
    {"× 002D × 0308 ÷ 00A7 ÷", kHyphenBeforeLetter},
    {"× 002D ÷ 50005 ÷", kHyphenBeforeLetter},
    {"× 002D × 0308 ÷ 50005 ÷", kHyphenBeforeLetter},
    {"× 002D ÷ 0E01 ÷", kHyphenBeforeLetter},
    {"× 002D × 0308 ÷ 0E01 ÷", kHyphenBeforeLetter},
    {"× 002C ÷ 0030 ÷", kSeparatorBeforeDigit},
    {"× 002C × 0308 ÷ 0030 ÷", kSeparatorBeforeDigit},
    {"× 0065 × 0071 × 0075 × 0061 × 006C × 0073 × 0020 × 002E ÷ 0033 × 0035 × 0020 ÷ 0063 × 0065 × 006E × 0074 × 0073 ÷", kSeparatorBeforeDigit},
    {"× 0061 × 002E ÷ 0032 × 0020 ÷", kSeparatorBeforeDigit},
    {"× 0061 × 002E ÷ 0032 × 0020 ÷ 0915 ÷", kSeparatorBeforeDigit},
    {"× 0061 × 002E ÷ 0032 × 0020 ÷ 672C ÷", kSeparatorBeforeDigit},
    {"× 0061 × 002E ÷ 0032 × 3000 ÷ 672C ÷", kSeparatorBeforeDigit},
    {"× 0061 × 002E ÷ 0032 × 3000 ÷ 307E ÷", kSeparatorBeforeDigit},
    {"× 0061 × 002E ÷ 0032 × 3000 ÷ 0033 ÷", kSeparatorBeforeDigit},
    {"× 0041 × 002E ÷ 0031 × 0020 ÷ BABB ÷", kSeparatorBeforeDigit},
    {"× BD24 ÷ C5B4 × 002E × 0020 ÷ 0041 × 002E ÷ 0032 × 0020 ÷ BCFC ÷", kSeparatorBeforeDigit},
    {"× BD10 ÷ C694 × 002E × 0020 ÷ 0041 × 002E ÷ 0033 × 0020 ÷ BABB ÷", kSeparatorBeforeDigit},
    {"× C694 × 002E × 0020 ÷ 0041 × 002E ÷ 0034 × 0020 ÷ BABB ÷", kSeparatorBeforeDigit},
    {"× 0061 × 002E ÷ 0032 × 3000 ÷ 300C ÷", kSeparatorBeforeDigit},
};

TEST(SarvikConformance, LineBreakTestFile)
{
    const std::string path = LineBreakTestFilePath();
    std::vector<LineBreakTest> tests;
    std::string error;
    ASSERT_TRUE(ReadLineBreakTests(path, &tests, &error)) << error;
    Plugin plugin;
    ASSERT_NE(plugin.entry, nullptr) << plugin.error;
    auto finder = plugin.Make("en");
    IcuReference icu("en");

    int lines = 0, agreeWithIcu = 0, agreeWithFile = 0, knownDifferences = 0;
    std::set<std::string> differing;
    for (const LineBreakTest& test : tests) {
        ++lines;
        const Flags got = RunFinder(*finder, test.run);
        const Flags raw = icu.Breaks(test.run);
        if (got == raw) {
            ++agreeWithIcu;
        } else {
            ADD_FAILURE() << path << ":" << test.lineNumber << ": plug-in " << Positions(got)
                          << " but raw ICU " << Positions(raw) << " for " << test.content;
        }
        // The file never breaks at the start of text; the finder flags it
        // (ICU's first boundary), so only later positions are compared.
        bool sameAsFile = got[0] == 1;
        for (size_t j = 1; j < test.run.size(); ++j) {
            sameAsFile = sameAsFile && (got[j] != 0) == test.breakBefore[j];
        }
        if (sameAsFile) {
            ++agreeWithFile;
            continue;
        }
        differing.insert(test.content);
        if (kKnownDifferences.count(test.content)) {
            ++knownDifferences;
        } else {
            ADD_FAILURE() << path << ":" << test.lineNumber << ": unexpected difference from the file: got "
                          << Positions(got) << " for " << test.content;
        }
    }
    for (const auto& [content, reason] : kKnownDifferences) {
        EXPECT_TRUE(differing.count(content))
            << "listed as a known difference (" << reason << ") but ICU now agrees with the file: "
            << content;
    }
    std::printf("%s: %d lines; plug-in equals raw ICU on %d; file's expectations met on %d; "
                "%d known ICU tailorings\n",
                path.c_str(), lines, agreeWithIcu, agreeWithFile, knownDifferences);
    RecordProperty("lines", lines);
    RecordProperty("agree_with_icu", agreeWithIcu);
    RecordProperty("agree_with_file", agreeWithFile);
}

}  // namespace
