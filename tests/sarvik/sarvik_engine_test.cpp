// The finder's two engines: which runs the rule walker answers and which it
// leaves to ICU, what happens when the compiled rules are not of the layout
// it knows, and the walk itself on small rule sets of our own, where
// look-ahead rules and the step of one character can be hit at will. The
// finder's sources are linked in (sarvik_internal).

#include "SarvikInternalAccess.h"
#include "SarvikTestSupport.h"
#include "zqKelRuleWalker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <random>

#include <sys/mman.h>
#include <unistd.h>

#include <unicode/parseerr.h>

// Allocations through operator new of at least this many bytes throw, once;
// 0 means none does.
size_t gThrowOnceAtSize = 0;

void* operator new(size_t size)
{
    if (gThrowOnceAtSize != 0 && size >= gThrowOnceAtSize) {
        gThrowOnceAtSize = 0;
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new[](size_t size)
{
    return operator new(size);
}

#ifdef __SANITIZE_ADDRESS__
// Blocks from this operator new are freed by the sanitizer's operator delete.
extern "C" const char* __asan_default_options() { return "alloc_dealloc_mismatch=0"; }
#endif

using namespace sarvik_test;
using Access = zqTextKelBreakFinderTestAccess;
using Engine = zqTextKelBreakFinderTestAccess::Engine;

namespace {

// The run's answer from `finder`, which must be raw ICU's, and the engine
// that gave it.
Engine CheckedEngine(zqTextKelBreakFinder& finder, const char* localeName, const std::vector<uint32_t>& run)
{
    bool guardsIntact = false;
    const Flags got = RunFinder(finder, run, &guardsIntact);
    EXPECT_TRUE(guardsIntact) << Hex(run);
    IcuReference icu(localeName);
    EXPECT_EQ(Positions(got), Positions(icu.Breaks(run))) << "locale \"" << localeName << "\" run " << Hex(run);
    return Access::LastEngine(finder);
}

TEST(SarvikEngines, TheWalkerTakesTheRulesOfEveryLocale)
{
    for (const char* name : {"en", "ja", "zh", "th", "ko", "de", "", "en@lb=strict", "en@lb=loose", "ja@lb=strict",
                             "ja@lw=phrase", "fi", "zh@lb=loose", "ja@lb=normal", "ko@lw=phrase", "xx_YY"}) {
        zqTextKelBreakFinder finder(name);
        EXPECT_TRUE(Access::HasRuleWalker(finder)) << "locale \"" << name << "\"";
    }
}

TEST(SarvikEngines, RunsTheWalkerCannotBeCertainOfGoToIcu)
{
    struct Case {
        const char* locale;
        std::vector<uint32_t> run;
        Engine expected;
    };
    const std::vector<Case> cases = {
        {"en", Utf32(U"Hello world, (1,234.50)% — «quoted» 😀👍🏽 🇯🇵🇩🇪"), Engine::Rules},
        {"ja", Utf32(U"日本語のテキスト。「カギ」ァー。"), Engine::Rules},
        {"ko", Utf32(U"한국어 문장입니다. 그리고"), Engine::Rules},
        {"ja@lw=phrase", Utf32(U"Phrases apart, plain English is walked."), Engine::Rules},
        {"en", Utf32(U"x"), Engine::SingleValue},
        {"th", Utf32(U"ก"), Engine::SingleValue},
        // Dictionary characters: Thai, Lao, Khmer, Myanmar; CJK under lw=phrase.
        {"th", Utf32(U"ภาษาไทยง่ายนิดเดียว"), Engine::Icu},
        {"en", Utf32(U"English first, then ไทย"), Engine::Icu},
        {"en", Utf32(U"ພາສາລາວ"), Engine::Icu},
        {"en", Utf32(U"ភាសាខ្មែរ"), Engine::Icu},
        {"en", Utf32(U"မြန်မာဘာသာ"), Engine::Icu},
        {"ja@lw=phrase", Utf32(U"日本語の文です。"), Engine::Icu},
        {"ja@lw=phrase", Utf32(U"Phrases of 日本語"), Engine::Icu},
        // Surrogate values, alone or as a pair of two values; values above U+10FFFF.
        {"en", {'a', ' ', 0xD800, 'b'}, Engine::Icu},
        {"en", {'a', ' ', 0xDC00}, Engine::Icu},
        {"en", {'x', ' ', 0xD83D, 0xDE00, ' ', 'y'}, Engine::Icu},
        {"en", {'a', ' ', 'b', 0x110000}, Engine::Icu},
        {"en", {0xFFFFFFFF, 'a', ' ', 'b'}, Engine::Icu},
    };
    for (const Case& test : cases) {
        zqTextKelBreakFinder finder(test.locale);
        const Engine engine = CheckedEngine(finder, test.locale, test.run);
        EXPECT_EQ(EngineName(engine), EngineName(test.expected)) << "locale \"" << test.locale << "\" run "
                                                                  << Hex(test.run);
    }
}

TEST(SarvikEngines, AWalkGivenUpLateLeavesNoFlagBehind)
{
    // The walker has flagged most of the run when it meets the Thai word at
    // the end; ICU's answer must not inherit any of its flags.
    std::vector<uint32_t> run;
    for (int i = 0; i < 500; ++i) {
        run.insert(run.end(), {'w', 'o', 'r', 'd', ' '});
    }
    run.insert(run.end(), {0x0E20, 0x0E32, 0x0E29, 0x0E32});
    zqTextKelBreakFinder finder("en");
    EXPECT_EQ(EngineName(CheckedEngine(finder, "en", run)), EngineName(Engine::Icu));
    // The same finder then walks the next run itself.
    run.resize(500);
    EXPECT_EQ(EngineName(CheckedEngine(finder, "en", run)), EngineName(Engine::Rules));
}

TEST(SarvikEngines, ALongRunIsWalkedInTwoHalvesThatMustMeet)
{
    // Long runs are walked from both ends of a split at once, the second
    // half from a guessed state. Where the guess is wrong, the first half's
    // walk must meet it before the second's flags count: after a word that
    // spans the split, or never (regional indicators pair up by their
    // parity from the start).
    const auto repeated = [](std::vector<uint32_t> run, uint32_t value, size_t times, std::vector<uint32_t> tail) {
        run.insert(run.end(), times, value);
        run.insert(run.end(), tail.begin(), tail.end());
        return run;
    };
    // A run handed over in the first half's last block, walked again one
    // character at a time past `half` (797 values: half is 384), through
    // regional indicators whose pairs the second half started out of step.
    std::vector<uint32_t> pastHalf;
    while (pastHalf.size() < 320) {
        pastHalf.push_back(U"ab "[pastHalf.size() % 3]);
    }
    pastHalf = repeated(std::move(pastHalf), 0x200D, 1,
                        {0x1F1EE, 0x1F1F6, 0x1F1F1, 0x1F1EE, 0x20, 0x1F1EB, 0x300, 0x1F1F2, 0x1F1F1, 0x1F1FB,
                         0x1F1FC, 0x61, 0x1F1FF, 0x1F1EA, 0x1F1F0, 0x1F1EA});
    pastHalf = repeated(std::move(pastHalf), 0x1F1EE, 33, {0xD, 0xD, 0xA, 0x6D, 0x7A, 0x61, 0x2028, 0x20, 0xD, 0x1F1ED, 0x1F1FF, 0x1F1EF});
    pastHalf = repeated(std::move(pastHalf), 0x1F1E8, 90, {0x1F1F6, 0x1F1F9, 0x1F1FA, 0x61});
    pastHalf = repeated(std::move(pastHalf), ' ', 797 - pastHalf.size(), {});
    const std::vector<std::vector<uint32_t>> runs = {
        pastHalf,
        repeated({'a', ' '}, 0x1F1EF, 2001, {' ', 'b'}),
        repeated({'a', ' ', 0x1F1EF}, 0x1F1EF, 2000, {}),
        repeated({'(', ' '}, 'w', 1500, {' ', 'x', ' ', 'y'}),
        repeated({0x65E5, 0x3041}, 0x3063, 1200, {0x30FC, 0x3005, 0x65E5}),
        repeated({'x'}, 0x0301, 1500, {' ', 'z'}),
        // Spaces after an opening parenthesis across the split and two
        // more blocks: the second half's guess, that a break may follow
        // them, holds only once a letter has come.
        repeated({'a', ' ', '('}, ' ', 1500, {'x', ' ', 'y'}),
        // Two halves of a shorter run, whose categories are found first.
        repeated({'a', ' ', '('}, ' ', 300, {'x', ' ', 'y'}),
        repeated({'(', ' '}, 'w', 300, {' ', 'x'}),
    };
    for (const char* locale : {"en", "ko"}) {
        for (const std::vector<uint32_t>& run : runs) {
            zqTextKelBreakFinder finder(locale);
            EXPECT_EQ(EngineName(CheckedEngine(finder, locale, run)), EngineName(Engine::Rules))
                << "locale \"" << locale << "\" run of " << run.size();
        }
    }
}

TEST(SarvikEngines, NoEngineReadsPastTheRun)
{
    // Blocks are read with masked loads and compared whole: a run that
    // ends where the next page may not be read must still be answered, at
    // every length the walks by pairs, by runs and by two streams, the
    // scan and ICU's conversion take.
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* mapped = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char*>(mapped) + page, page, PROT_NONE), 0);
    auto* const end = reinterpret_cast<uint32_t*>(static_cast<char*>(mapped) + page);
    const std::vector<uint32_t> text = Utf32(U"The meeting in 東京, 会議の資料は「共有」。 Great 👍🏽 job 🇯🇵🇩🇪 (1,234.50)% ");
    for (const char* locale : {"en", "ja"}) {
        zqTextKelBreakFinder finder(locale);
        IcuReference icu(locale);
        for (size_t length = 1; length <= page / sizeof(uint32_t); length += length < 600 ? 1 : 97) {
            std::vector<uint32_t> run(length);
            for (size_t i = 0; i < length; ++i) {
                run[i] = text[(i + length) % text.size()];
            }
            if (length % 5 == 0) {
                run.back() = 0x0E01;  // a Thai letter: the run goes to ICU
            }
            std::copy(run.begin(), run.end(), end - length);
            Flags flags(length);
            finder.SetBreakCandidates(length, end - length, nullptr, reinterpret_cast<bool*>(flags.data()), false);
            ASSERT_EQ(Positions(flags), Positions(icu.Breaks(run))) << locale << " run of " << length;
        }
    }
    munmap(mapped, 2 * page);
}

TEST(SarvikEngines, FewValuesAboveFfffAmongPlainTextMapToTheirPositions)
{
    // Pairs and values that add no units, alone, together and in a row, at
    // every place of a run of prose that goes to ICU (a Thai letter near or
    // at its end), where each boundary is placed without a position map.
    const std::vector<std::vector<uint32_t>> odds = {
        {0x110000},          {0x1F600},          {0x110000, 0xFFFFFFFF}, {0x1F600, 0x110000},
        {0x110000, 0x1F600}, {0x1F1E6, 0x1F1E8}, {0x1F600, 0x301},       {0x110000, 0x301},
    };
    zqTextKelBreakFinder finder("en");
    for (const std::vector<uint32_t>& odd : odds) {
        for (size_t place = 0; place <= 101; ++place) {
            std::vector<uint32_t> run;
            while (run.size() < 100) {
                run.insert(run.end(), {'w', 'o', 'r', 'd', ' ', '(', '1', ')', ' '});
            }
            run.resize(100);
            run.push_back(0x0E01);
            run.insert(run.begin() + static_cast<std::ptrdiff_t>(place), odd.begin(), odd.end());
            EXPECT_EQ(EngineName(CheckedEngine(finder, "en", run)), EngineName(Engine::Icu));
        }
    }
}

TEST(SarvikEngines, TheScanSendsToIcuExactlyTheRunsTheWalkerGivesUp)
{
    for (const char* name : {"en", "th", "ja@lw=phrase", "ko@lw=phrase", "plain C++:en", "AVX2:th"}) {
        const char* colon = std::strchr(name, ':');
        zqTextKelBreakFinder finder(colon != nullptr ? colon + 1 : name);
        ASSERT_TRUE(Access::HasRuleWalker(finder)) << name;
        if (colon != nullptr) {
            Access::UseNarrowScan(finder, name[0] == 'A');
        }
        // Every value, 64 consecutive ones to a run, and beyond U+10FFFF.
        std::vector<uint32_t> run(64);
        for (uint32_t first = 0; first < 0x110040; first += 64) {
            for (uint32_t k = 0; k < 64; ++k) {
                run[k] = first + k;
            }
            ASSERT_EQ(Access::ScanSendsToIcu(finder, run), Access::WalkerGivesUp(finder, run))
                << name << " " << Hex(run, 2);
        }
        // One odd value at each place of a run (and of a short one), among
        // plain text.
        for (const uint32_t odd : {0x0E01u, 0x1780u, 0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu, 0x11700u, 0x1F600u,
                                   0x65E5u, 0xAC00u, 0xFF01u}) {
            for (size_t place = 0; place < 80; ++place) {
                std::vector<uint32_t> mixed(80, 'a');
                mixed[7] = 0x65E5;  // not on page 0
                mixed[place] = odd;
                ASSERT_EQ(Access::ScanSendsToIcu(finder, mixed), Access::WalkerGivesUp(finder, mixed))
                    << name << " " << Hex(mixed, 80);
                mixed.resize(std::min<size_t>(place + 1, 20));
                ASSERT_EQ(Access::ScanSendsToIcu(finder, mixed), Access::WalkerGivesUp(finder, mixed))
                    << name << " " << Hex(mixed, 80);
            }
        }
    }
}

TEST(SarvikEngines, AnIcuOtherThanTheOneCheckedGetsNoWalker)
{
    const std::vector<uint32_t> run = Utf32(U"Hello world, (1,234.50)% — «quoted» 😀");
    for (const int major : {71, 73, 72}) {
        zqTextKelBreakFinder finder("en");
        Access::SeeIcuMajor(finder, major);
        EXPECT_EQ(Access::HasRuleWalker(finder), major == 72) << "ICU " << major;
        EXPECT_EQ(EngineName(CheckedEngine(finder, "en", run)), EngineName(major == 72 ? Engine::Rules : Engine::Icu))
            << "ICU " << major;
    }
}

TEST(SarvikEngines, AnAllocationThrowingInsideACallLeavesNoWrongAnswerBehind)
{
    // A run for ICU with supplementary characters needs a position map: its
    // allocation throws, with the text's buffer open and grown past what a
    // finder may keep.
    std::vector<uint32_t> run;
    while (run.size() < 40000) {
        const std::vector<uint32_t> words = Utf32(U"ไทย 😀 words ");
        run.insert(run.end(), words.begin(), words.end());
    }
    zqTextKelBreakFinder finder("en");
    EXPECT_EQ(EngineName(CheckedEngine(finder, "en", Utf32(U"Hello world"))), EngineName(Engine::Rules));
    gThrowOnceAtSize = run.size() * sizeof(uint32_t);
    Flags flags(run.size(), 0);
    EXPECT_THROW(finder.SetBreakCandidates(run.size(), run.data(), nullptr, reinterpret_cast<bool*>(flags.data()),
                                           false),
                 std::bad_alloc);
    EXPECT_EQ(gThrowOnceAtSize, 0u) << "nothing threw";
    gThrowOnceAtSize = 0;
    EXPECT_LE(Access::State(finder).WorkBufferBytes(), Access::State(finder).WorkBufferLimit());
    // Whichever engine answers next, it answers as ICU does.
    EXPECT_EQ(EngineName(CheckedEngine(finder, "en", run)), EngineName(Engine::Icu));
    EXPECT_EQ(EngineName(CheckedEngine(finder, "en", Utf32(U"ไทย again"))), EngineName(Engine::Icu));
}

// A run whose UTF-16 form is longer than ICU text can be gets no flags from
// either engine, as ICU's own string turns bogus for it; the limit is made
// small here, where it is otherwise 2^31 - 1 units.
TEST(SarvikEngines, ARunLongerThanIcuTextCanBeGetsNoFlags)
{
    zqTextKelBreakFinder finder("en");
    Access::SetMaxTextUnits(finder, 100);
    std::vector<uint32_t> emoji(50, 0x1F600);  // 100 units: answered
    std::vector<uint32_t> plain(100, U'a');
    plain[50] = U' ';
    std::vector<uint32_t> beyond = plain;  // a value above U+10FFFF adds no unit
    beyond.push_back(0x110000);
    std::vector<uint32_t> icuPlain = plain;  // with a lone surrogate, for ICU
    icuPlain[10] = 0xDC00;
    for (const std::vector<uint32_t>* run : {&emoji, &plain, &beyond, &icuPlain}) {
        CheckedEngine(finder, "en", *run);
    }
    for (std::vector<uint32_t> run : {emoji, plain, icuPlain}) {
        run.push_back(run[0] <= 0xFFFF ? U'b' : 0x1F600);  // one unit or two more
        EXPECT_EQ(RunFinder(finder, run), Flags(run.size(), 0)) << Hex(run);
        EXPECT_EQ(EngineName(Access::LastEngine(finder)), EngineName(Engine::None));
    }
}

uint32_t Read32(const std::vector<uint8_t>& data, size_t at)
{
    uint32_t value;
    std::memcpy(&value, data.data() + at, sizeof value);
    return value;
}

void Write32(std::vector<uint8_t>& data, size_t at, uint32_t value)
{
    std::memcpy(data.data() + at, &value, sizeof value);
}

TEST(SarvikEngines, RuleDataOfAnotherLayoutGoesToIcu)
{
    // Offsets in ICU's binary rules (format 6): the header's length, forward
    // table and trie; the forward table's state count, row length,
    // dictionary start, look-ahead count, flags and rows.
    constexpr size_t kLength = 8, kTable = 16, kTrie = 32;
    constexpr size_t kStates = 0, kRowLength = 4, kDictionaryStart = 8, kLookAheads = 12, kFlags = 16, kRows = 20;
    const std::vector<uint32_t> run = Utf32(U"Rules of another kind: 12.5% — «ok» (fine) 😀 日本語。");

    zqTextKelBreakFinder probe("en");
    const std::vector<uint8_t> rules = Access::CopyOfRules(probe);
    ASSERT_GT(rules.size(), 100u);
    const size_t table = Read32(rules, kTable);
    const uint32_t states = Read32(rules, table + kStates);
    const uint32_t rowLength = Read32(rules, table + kRowLength);
    ASSERT_NE(Read32(rules, table + kFlags) & 4, 0u) << "these cases expect rows of 8-bit fields";
    const auto row = [&](uint32_t state) { return table + kRows + state * rowLength; };

    struct Change {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> apply;
    };
    const std::vector<Change> changes = {
        {"signature", [](auto& d) { d[0] ^= 1; }},
        {"format version 5", [](auto& d) { d[4] = 5; }},
        {"format version 7", [](auto& d) { d[4] = 7; }},
        {"format version 6.1", [](auto& d) { d[5] = 1; }},
        {"length beyond the data", [](auto& d) { Write32(d, kLength, static_cast<uint32_t>(d.size() + 4)); }},
        {"data cut short", [](auto& d) { d.resize(d.size() / 2); }},
        {"beginning-of-text option",
         [&](auto& d) { Write32(d, table + kFlags, Read32(d, table + kFlags) | 2); }},
        {"unknown option", [&](auto& d) { Write32(d, table + kFlags, Read32(d, table + kFlags) | 0x40); }},
        {"16-bit rows claimed", [&](auto& d) { Write32(d, table + kFlags, Read32(d, table + kFlags) & ~4u); }},
        {"row length", [&](auto& d) { Write32(d, table + kRowLength, rowLength + 1); }},
        {"states beyond the table", [&](auto& d) { Write32(d, table + kStates, states + 1000); }},
        {"next state out of range", [&](auto& d) { d[row(1) + 3 + 11] = static_cast<uint8_t>(states); }},
        {"look-ahead number out of range",
         [&](auto& d) { d[row(5)] = static_cast<uint8_t>(Read32(d, table + kLookAheads)); }},
        {"accepting stop state", [&](auto& d) { d[row(0)] = 1; }},
        {"dictionary start below the pseudo categories", [&](auto& d) { Write32(d, table + kDictionaryStart, 1); }},
        {"trie outside the data", [](auto& d) { Write32(d, kTrie, static_cast<uint32_t>(d.size())); }},
        {"trie damaged", [](auto& d) { std::memset(d.data() + Read32(d, kTrie), 0, 16); }},
    };
    for (const Change& change : changes) {
        std::vector<uint8_t> changed = rules;
        change.apply(changed);
        zqTextKelBreakFinder finder("en");
        Access::UseRules(finder, changed);
        EXPECT_FALSE(Access::HasRuleWalker(finder)) << change.what;
        EXPECT_EQ(EngineName(CheckedEngine(finder, "en", run)), EngineName(Engine::Icu)) << change.what;
    }
    // The unchanged copy is walked.
    zqTextKelBreakFinder finder("en");
    Access::UseRules(finder, rules);
    EXPECT_TRUE(Access::HasRuleWalker(finder));
    EXPECT_EQ(EngineName(CheckedEngine(finder, "en", run)), EngineName(Engine::Rules));
}

// Rule sets of our own, over the letters a to d, with look-ahead rules ('/'),
// chained rules, characters no rule covers (each then stands alone: the step
// of one character) and, in the last, dictionary characters.
const char* const kRuleSets[] = {
    "$A = [a]; $B = [b]; $C = [c]; $D = [d]; $S = [\\ ];\n"
    "$A $B / $C;\n$A+;\n$B $S*;\n$C $D;\n",

    "!!chain;\n$A = [a]; $B = [b]; $C = [c]; $D = [d];\n"
    "$A $B / $C $D;\n$A $B+;\n$C+;\n$D / $A;\n$B $C / $C $C;\n",

    "!!chain;\n!!lookAheadHardBreak;\n$A = [a]; $B = [b]; $C = [c]; $S = [\\ ];\n"
    "$A / $B $C;\n$B $C / $A;\n$A $A;\n$C $B;\n$S+ / $A $B;\n",

    "$A = [a]; $B = [b];\n$A $B;\n",

    "!!chain;\n$A = [a]; $B = [b]; $C = [c]; $S = [\\ ];\n"
    "^$A $B / $B;\n$B $A / $S* $C;\n$C $S* / $A;\n[^$A $B $C] $S*;\n",

    "$A = [a]; $B = [b]; $dictionary = [d];\n$A $B / $A;\n$B+;\n$dictionary+;\n",
};

TEST(SarvikEngines, TheWalkReplaysLookAheadRulesOfItsOwn)
{
    std::mt19937 random(2024);
    const uint32_t alphabet[] = {'a', 'b', 'c', 'd', ' ', 'x'};
    const icu::UnicodeString empty;  // outlives the iterators, which end on it
    for (const char* source : kRuleSets) {
        UParseError parseError;
        UErrorCode status = U_ZERO_ERROR;
        icu::RuleBasedBreakIterator iterator(icu::UnicodeString::fromUTF8(source), parseError, status);
        ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status) << " at line " << parseError.line << " of\n"
                                       << source;
        uint32_t length = 0;
        const uint8_t* rules = iterator.getBinaryRules(length);
        std::unique_ptr<zqKelRuleWalker> walker = zqKelRuleWalker::Create(rules, length);
        ASSERT_NE(walker, nullptr) << source;

        const bool hasDictionary = std::strstr(source, "$dictionary") != nullptr;
        int walked = 0, givenUp = 0;
        for (int i = 0; i < 20000; ++i) {
            std::vector<uint32_t> run(1 + random() % 24);
            for (uint32_t& value : run) {
                value = alphabet[random() % (sizeof alphabet / sizeof alphabet[0])];
            }
            Flags got(run.size(), 0);
            if (!walker->MarkBoundaries(run.size(), run.data(), reinterpret_cast<bool*>(got.data()))) {
                EXPECT_EQ(got, Flags(run.size(), 0)) << "flags left after giving up on " << Hex(run);
                ++givenUp;
                continue;
            }
            ++walked;
            icu::UnicodeString text;  // the iterator lets go of it at the next setText
            for (uint32_t value : run) {
                text.append(static_cast<UChar32>(value));
            }
            iterator.setText(text);
            Flags expected(run.size(), 0);
            int32_t previous = iterator.first();
            for (int32_t current = iterator.next(); current != icu::BreakIterator::DONE; current = iterator.next()) {
                expected[previous] = 1;
                previous = current;
            }
            ASSERT_EQ(Positions(got), Positions(expected)) << "text \"" << std::string(run.begin(), run.end())
                                                           << "\" with the rules\n" << source;
        }
        // Only the dictionary characters make the walker give up here.
        if (hasDictionary) {
            EXPECT_GT(givenUp, 0) << source;
            EXPECT_GT(walked, 0) << source;
        } else {
            EXPECT_EQ(givenUp, 0) << source;
        }
        iterator.setText(empty);
    }
}

}  // namespace

