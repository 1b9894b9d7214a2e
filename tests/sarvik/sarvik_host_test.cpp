// The plug-in as a host sees it: loaded with dlopen, used only through
// zqTextBreakFinder.h, answers checked against raw ICU.

#include "SarvikTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>

#include <unicode/uchar.h>

using namespace sarvik_test;

namespace {

class SarvikHost : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(plugin.entry, nullptr) << plugin.error; }

    // The finder's flags for `run`, which must equal raw ICU's, with nothing
    // written outside the run's entries.
    Flags CheckedBreaks(const char* localeName, const std::vector<uint32_t>& run)
    {
        auto finder = plugin.Make(localeName);
        bool guardsIntact = false;
        Flags got = RunFinder(*finder, run, &guardsIntact);
        EXPECT_TRUE(guardsIntact) << "wrote outside the flags for " << Hex(run);
        IcuReference icu(localeName);
        EXPECT_EQ(got, icu.Breaks(run)) << "locale \"" << (localeName ? localeName : "(null)")
                                        << "\" run " << Hex(run);
        return got;
    }

    Plugin plugin;
};

TEST_F(SarvikHost, HelloWorldBreaksBeforeEachWord)
{
    auto finder = plugin.Make("en");
    Flags got = RunFinder(*finder, Utf32(U"Hello world"));
    EXPECT_EQ(Positions(got), "{0 6}");
    EXPECT_STREQ(finder->GetCurrentLocale(), "en");
}

TEST_F(SarvikHost, NullAndEmptyNamesGiveTheDefaultLocale)
{
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        auto finder = plugin.Make(name);
        ASSERT_NE(finder->GetCurrentLocale(), nullptr);
        EXPECT_STREQ(finder->GetCurrentLocale(), "");
    }
    // "あァいー": Japanese rules allow a break before the small katakana and the
    // prolonged sound mark, the common rules do not, so the answer shows which
    // locale an unnamed finder follows.
    const std::vector<uint32_t> kana = {0x3042, 0x30A1, 0x3044, 0x30FC};
    const icu::Locale saved = icu::Locale::getDefault();
    for (const char* defaultName : {"ja", "en"}) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(defaultName), status);
        ASSERT_TRUE(U_SUCCESS(status));
        const Flags fromNull = CheckedBreaks(nullptr, kana);
        const Flags fromEmpty = CheckedBreaks("", kana);
        EXPECT_EQ(fromNull, fromEmpty);
        EXPECT_EQ(Positions(fromNull), std::string(defaultName) == "ja" ? "{0 1 2 3}" : "{0 2}")
            << "default locale " << defaultName;
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(saved, status);
}

TEST_F(SarvikHost, LocaleNameIsTheFindersOwnCopy)
{
    char* name = new char[16];
    std::strcpy(name, "de_CH");
    auto finder = plugin.Make(name);
    const char* held = finder->GetCurrentLocale();
    EXPECT_NE(held, name);
    EXPECT_STREQ(held, "de_CH");
    std::strcpy(name, "xx");
    delete[] name;
    EXPECT_STREQ(finder->GetCurrentLocale(), "de_CH");
    EXPECT_EQ(finder->GetCurrentLocale(), held) << "the pointer must stay the same";
}

TEST_F(SarvikHost, MalformedLocaleNamesStillGiveIcusAnswer)
{
    const std::string longName(4000, 'q');
    const std::vector<std::string> names = {"@", "@@@=;;", "_", "-", "xx_YY@lb=bogus",
                                            "en_US.UTF-8", "../../etc/passwd", "\xff\xfe\x80",
                                            "ja@lw=phrase;lb=strict", longName};
    const std::vector<uint32_t> run = Utf32(U"Mixed テキスト, 12.5% — «ok»! ภาษาไทย 😀👍🏽");
    for (const std::string& name : names) {
        CheckedBreaks(name.c_str(), run);
        EXPECT_EQ(plugin.Make(name.c_str())->GetCurrentLocale(), name);
    }
}

TEST_F(SarvikHost, CountZeroReadsAndWritesNothing)
{
    auto finder = plugin.Make("en");
    finder->SetBreakCandidates(0, nullptr, nullptr, nullptr, false);
    unsigned char flag = 0x5A;
    const uint32_t value = 'A';
    finder->SetBreakCandidates(0, &value, nullptr, reinterpret_cast<bool*>(&flag), true);
    EXPECT_EQ(flag, 0x5A);
}

TEST_F(SarvikHost, SingleValues)
{
    // Any code point alone, a lone surrogate included, begins a line; a value
    // that is not one adds no text and gets no flag.
    for (uint32_t value : {0x41u, 0x20u, 0xAu, 0xD800u, 0xDFFFu, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
        EXPECT_EQ(Positions(CheckedBreaks("en", {value})), "{0}") << std::hex << value;
    }
    for (uint32_t value : {0x110000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Positions(CheckedBreaks("en", {value})), "{}") << std::hex << value;
    }
}

TEST_F(SarvikHost, ValuesAboveTheLastCodePointAddNothing)
{
    EXPECT_EQ(Positions(CheckedBreaks("en", {0x110000, 0xFFFFFFFF, 0x80000000})), "{}");
    // The first value that adds text takes the flag of offset 0.
    EXPECT_EQ(Positions(CheckedBreaks("en", {0x110000, 0xFFFFFFFF, 'a', ' ', 'b'})), "{2 4}");
    // In the middle they are skipped over, never flagged themselves.
    EXPECT_EQ(Positions(CheckedBreaks("en", {'a', ' ', 0x110000, 'b', ' ', 0xFFFFFFFF, 0x200000, 'c'})),
              "{0 3 7}");
}

TEST_F(SarvikHost, SupplementaryCharactersKeepFlagsAtInputPositions)
{
    // Each emoji is two UTF-16 units; the flags must stay at input positions.
    const std::vector<uint32_t> run = {0x1F600, ' ', 'a', 0x1F600, 0x1F600, ' ', 'b', ' ', 0x1F44D};
    EXPECT_EQ(Positions(CheckedBreaks("en", run)), "{0 2 3 4 6 8}");
    // A high and a low surrogate given as two values form one character.
    EXPECT_EQ(Positions(CheckedBreaks("en", {'x', ' ', 0xD83D, 0xDE00, ' ', 'y'})), "{0 2 5}");
    // Lone surrogates, reversed pairs and a pair split by an invalid value.
    CheckedBreaks("en", {0xDE00, 0xD83D, ' ', 0xD83D, 0x110000, 0xDE00, 'z', 0xDBFF});
    CheckedBreaks("ja", {0x1F1EF, 0x1F1F5, 0x1F468, 0x200D, 0x1F469, 0x200D, 0x1F467, 0x3002, 0x20000});
}

TEST_F(SarvikHost, EachRunIsJudgedAlone)
{
    auto finder = plugin.Make("en");
    RunFinder(*finder, Utf32(U"The first run ends without a space"));
    // "ld" would continue a word after the previous run; alone it begins a line.
    EXPECT_EQ(Positions(RunFinder(*finder, Utf32(U"ld end"))), "{0 3}");
    // A long run with supplementary text, then a short one: nothing carries over.
    std::vector<uint32_t> longRun;
    for (int i = 0; i < 3000; ++i) {
        longRun.insert(longRun.end(), {0x1F600, 'w', ' '});
    }
    RunFinder(*finder, longRun);
    auto fresh = plugin.Make("en");
    const std::vector<uint32_t> shortRun = Utf32(U"(a) b");
    EXPECT_EQ(RunFinder(*finder, shortRun), RunFinder(*fresh, shortRun));
}

TEST_F(SarvikHost, UnusedArgumentsAreNeverRead)
{
    auto finder = plugin.Make("en");
    const std::vector<uint32_t> run = Utf32(U"so it goes");
    Flags expected = RunFinder(*finder, run);
    // A pointer that would fault if it were read.
    const auto* poison = reinterpret_cast<const uint32_t*>(uintptr_t{16});
    Flags got(run.size(), 0x5A);
    finder->SetBreakCandidates(run.size(), run.data(), poison, reinterpret_cast<bool*>(got.data()), true);
    EXPECT_EQ(got, expected);
}

TEST_F(SarvikHost, ManyFindersCreatedUsedAndDeleted)
{
    // Run under valgrind or LeakSanitizer, this is the leak check.
    const char* names[] = {"en", "ja", "th", "zh", "", "de@lb=strict", "ja@lw=phrase", nullptr};
    const std::vector<uint32_t> run = Utf32(U"日本語とEnglish、ภาษาไทย 😀 mixed.");
    for (int round = 0; round < 25; ++round) {
        for (const char* name : names) {
            std::unique_ptr<zqTextBreakFinder> finder(plugin.entry(name));
            ASSERT_NE(finder, nullptr);
            Flags flags = RunFinder(*finder, run);
            EXPECT_EQ(flags[0], 1);
            EXPECT_STREQ(finder->GetCurrentLocale(), name ? name : "");
            zqTextBreakFinder* base = finder.release();
            delete base;
        }
    }
}

TEST_F(SarvikHost, TenMillionCodePoints)
{
    std::mt19937 random(7);
    const std::vector<std::vector<uint32_t>> words = {
        Utf32(U"lorem "), Utf32(U"ipsum, "), Utf32(U"漢字"), Utf32(U"😀 "), Utf32(U"ไทย"),
        {0xD800}, {0x110000}, Utf32(U"3.14 "), Utf32(U"—«x»\n")};
    std::vector<uint32_t> run;
    run.reserve(10'000'000);
    while (run.size() < 10'000'000) {
        const auto& word = words[random() % words.size()];
        run.insert(run.end(), word.begin(), word.end());
    }
    run.resize(10'000'000);
    CheckedBreaks("en", run);
    // Then a small run on the same finder after the big buffer is let go.
    auto finder = plugin.Make("en");
    RunFinder(*finder, run);
    EXPECT_EQ(Positions(RunFinder(*finder, Utf32(U"a b"))), "{0 2}");
}

// What a finder keeps between calls, counted as what deleting it frees less
// what deleting a raw ICU iterator given the same texts frees.
size_t KeptBytes(const Plugin& plugin, const char* localeName, const std::vector<std::vector<uint32_t>>& runs)
{
    IcuReference icu(localeName);
    for (const auto& run : runs) {
        icu.Breaks(run);
    }
    size_t before = AllocatedBytes();
    icu.iterator.reset();
    const size_t iteratorBytes = before - AllocatedBytes();
    auto finder = plugin.Make(localeName);
    for (const auto& run : runs) {
        RunFinder(*finder, run);
    }
    before = AllocatedBytes();
    finder.reset();
    return before - AllocatedBytes() - iteratorBytes;
}

// Short runs of every pair of kinds of character (line-break class, width,
// general category, pictograph or not, one code point of each), long runs of
// each kind and of every block of 64 code points of the BMP and the
// pictographs, then two runs only ICU answers (Latin with a lone
// surrogate) of 40,000 and 50,000 values.
std::vector<std::vector<uint32_t>> TheWholeSequence()
{
    std::vector<uint32_t> kinds;
    std::vector<bool> seen(1 << 16, false);
    for (uint32_t c = 0; c < 0x20000; ++c) {
        const auto point = static_cast<UChar32>(c);
        const unsigned key = u_getIntPropertyValue(point, UCHAR_LINE_BREAK) << 10 |
                             u_getIntPropertyValue(point, UCHAR_EAST_ASIAN_WIDTH) << 7 |
                             u_charType(point) << 1 | u_hasBinaryProperty(point, UCHAR_EXTENDED_PICTOGRAPHIC);
        if (key < seen.size() && !seen[key] && !U_IS_SURROGATE(c)) {
            seen[key] = true;
            kinds.push_back(c);
        }
    }
    std::vector<std::vector<uint32_t>> runs;
    for (uint32_t first : kinds) {
        for (uint32_t second : kinds) {
            runs.push_back({first, second});
        }
        runs.push_back(std::vector<uint32_t>(40, first));
    }
    for (uint32_t block = 0x100; block < 0x20000; block += 64) {
        if (block < 0xD800 || (block >= 0xE000 && block < 0x10000) || block >= 0x1F000) {
            std::vector<uint32_t> run(64);
            for (uint32_t k = 0; k < 64; ++k) {
                run[k] = block + k;
            }
            runs.push_back(run);
        }
    }
    for (size_t length : {40'000, 50'000}) {
        std::vector<uint32_t> latin;
        while (latin.size() < length) {
            const std::vector<uint32_t> words = Utf32(U"Latin words, (1,234.5)% ");
            latin.insert(latin.end(), words.begin(), words.end());
        }
        latin.resize(length);
        latin[length / 2] = 0xDC00;
        runs.push_back(latin);
    }
    return runs;
}

TEST_F(SarvikHost, AFinderKeepsAtMost256KiBBetweenCalls)
{
    const std::vector<std::vector<uint32_t>> sequence = TheWholeSequence();
    const std::vector<std::vector<uint32_t>> firstRun = {
        std::vector<uint32_t>(sequence.back().begin(), sequence.back().begin() + 256)};
    for (const char* localeName : {"en", "ja@lb=loose"}) {
        KeptBytes(plugin, localeName, sequence);  // ICU's shared data, loaded once for the process
        const size_t created = KeptBytes(plugin, localeName, {});
        const size_t afterFirst = KeptBytes(plugin, localeName, firstRun);
        const size_t afterAll = KeptBytes(plugin, localeName, sequence);
        EXPECT_LE(afterAll, 256u * 1024) << localeName << " after " << sequence.size() << " runs";
        std::printf("%s: a finder keeps %zu bytes created, %zu after a first run of 256, %zu after %zu runs\n",
                    localeName, created, afterFirst, afterAll, sequence.size());
    }
}

TEST_F(SarvikHost, SeparateFindersOnSeparateThreads)
{
    const std::vector<uint32_t> run = Utf32(U"Threads share nothing: 共有しない。 ภาษาไทยก็เช่นกัน 👍🏽");
    IcuReference icu("ja");
    const Flags expected = icu.Breaks(run);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            auto finder = plugin.Make("ja");
            for (int i = 0; i < 200; ++i) {
                mismatches[t] += RunFinder(*finder, run) != expected;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
