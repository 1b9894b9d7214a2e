// zqKelRuleWalker: the finder's fast engine. It walks ICU's own compiled line
// break rules (the data that RuleBasedBreakIterator::getBinaryRules returns:
// the forward state table and the trie of character categories) directly over
// UTF-32 code points, the way the iterator's forward walk does over UTF-16,
// and so finds the same boundaries without building ICU text. Internal to the
// library.
//
// It answers only where it can be certain to give ICU's answer; for every
// other run MarkBoundaries says no and the caller asks ICU:
//   - rule data of another layout than ICU's binary rule format 6 (ICU 68 and
//     later; checked by Create), or using options the walk does not replay;
//   - runs holding a character of a dictionary category (ICU subdivides those
//     with dictionaries or models: Thai, Lao, Khmer, Myanmar, CJK under
//     lw=phrase, whatever the rules declare), a surrogate value, or a value
//     above U+10FFFF;
//   - a look-ahead rule completing without its position recorded in the run
//     (ICU would use a position left from an earlier text).

#ifndef ZQ_KEL_RULE_WALKER_H
#define ZQ_KEL_RULE_WALKER_H

#include <cstdint>
#include <memory>
#include <vector>

#include <unicode/ucptrie.h>

class zqKelRuleWalker {
public:
    // Reads the compiled rules rules[0..length-1]; the walker refers to them
    // (and to the trie inside them) for its whole life, so they must outlive
    // it. Null when the data is not ICU's format 6 line rules as this walker
    // knows them (signature, version, sizes, option flags, value ranges), or
    // when ICU cannot open the trie.
    static std::unique_ptr<zqKelRuleWalker> Create(const uint8_t* rules, uint32_t length)
    {
        return Create(rules, length, LookAheadRules::Folded);
    }

    ~zqKelRuleWalker();
    zqKelRuleWalker(const zqKelRuleWalker&) = delete;
    zqKelRuleWalker& operator=(const zqKelRuleWalker&) = delete;

    // For codePoints[0..count-1] (count > 0), writes breakFlags[j], every
    // one of them, true for every boundary j of ICU's first()/next() walk but
    // the last, as the finder flags them, whatever they held on entry.
    // Returns false, with breakFlags holding anything, when the run is one
    // the walker does not answer (see above).
    bool MarkBoundaries(unsigned long count, const uint32_t* codePoints, bool* breakFlags);

    // Whether MarkBoundaries finds out itself, before walking, that a run
    // of `count` values holds a value it gives up on (a dictionary scan
    // would only repeat that work).
    bool ScansItself(unsigned long count) const;

    // The most the walker can come to keep, in bytes, whatever text it is
    // given: its table, its run tables, the categories it may learn and its
    // pair table at their largest (each is bounded).
    size_t MostBytes() const;

private:
    zqKelRuleWalker() = default;

    // Whether the look-ahead rules that allow it are folded into the table
    // (zqKelRuleWalker.cpp), as the finder always has them, or walked as
    // ICU walks them (for tests of that walk).
    enum class LookAheadRules { Folded, Walked };
    static std::unique_ptr<zqKelRuleWalker> Create(const uint8_t* rules, uint32_t length, LookAheadRules lookAhead);

    // How a walk one character at a time ended: the run is answered, the
    // walker gives up on it, or (asked to) it hands the run back to the walk
    // by runs at `i` in `row`.
    enum class Ending { Answered, GivenUp, HandedBack };

    // The walk one character at a time, from position `i` (where a match
    // begins) in the restart row to the end of the run. With kMayHandBack, it
    // hands back once a match begins at a position from `handBackFrom` on in a
    // row without anything to record.
    template <bool kEightBitTrie, bool kMayHandBack>
    // Its loop is the library's hottest code: started on a cache line, its
    // speed does not depend on what the linker places before it.
    __attribute__((aligned(64), noinline)) Ending Walk(unsigned long count, const uint32_t* codePoints, bool* breakFlags,
                                             unsigned long& i, size_t& row, unsigned long handBackFrom);

    // Walks the match under way at `position` again from where it began
    // (zqKelRuleWalker.cpp).
    template <bool kEightBitTrie>
    Ending WalkAgain(unsigned long count, const uint32_t* codePoints, bool* breakFlags, unsigned long& position,
                     size_t& rowAt, unsigned long handBackFrom);

    // The walk by runs of one category (zqKelRuleWalker.cpp describes it),
    // which falls back to Walk where a run meets anything but plain steps:
    // with AVX-512 where the processor has it, and in plain C++.
    template <bool kEightBitTrie>
    bool WalkRunsWide(unsigned long count, const uint32_t* codePoints, bool* breakFlags);
    template <bool kEightBitTrie>
    bool WalkRunsPlain(unsigned long count, const uint32_t* codePoints, bool* breakFlags);

    // The category of a value, clamped as the walk clamps categories: values
    // the walker does not answer for have `categoryCount`.
    template <bool kEightBitTrie>
    unsigned CategoryOf(uint32_t c, const UCPTrie& trieCopy) const;

    // The category of a value, as CategoryOf gives it, from what was learnt
    // (below); and of values[0..n-1].
    template <bool kEightBitTrie>
    unsigned LearntCategoryOf(uint32_t c, const UCPTrie& trieCopy);
    template <bool kEightBitTrie>
    void CategoriesOf(const uint32_t* values, unsigned n, uint8_t* categories, const UCPTrie& trieCopy);
    // Looks up the 64 values of the block holding c (of the BMP or the
    // pictographs) in the trie, keeps them, and returns c's.
    template <bool kEightBitTrie>
    unsigned LearnBlock(uint32_t c, const UCPTrie& trieCopy);

    // The walk of a short run (fewer than kRunsFrom values) two values at a
    // time, through the pair table (by Walk when the table has no room for
    // a pair it meets), as MarkBoundaries answers.
    template <bool kEightBitTrie>
    __attribute__((always_inline)) bool WalkPairs(unsigned long count, const uint32_t* codePoints, bool* breakFlags);
    // Fills the pair table's part for a pair of categories; returns where
    // it starts, or kPairTableFull.
    __attribute__((noinline)) uint32_t BuildPairColumn(unsigned first, unsigned second);

    // The end of the text after the walk by runs, in `row` (an index).
    template <bool kEightBitTrie>
    bool EndOfText(unsigned long count, const uint32_t* codePoints, bool* breakFlags, size_t row);

    // Makes the run tables; false when the rules are too large for them.
    bool BuildRunTable();
    // Fills the run table's part for a category; returns where it starts.
    __attribute__((noinline)) unsigned BuildRunColumn(unsigned category);

    // ICU's trie of character categories, opened over the rule data.
    UCPTrie* trie = nullptr;
    bool eightBitTrie = true;

    // ICU's forward state table recast for the walk (zqKelRuleWalker.cpp
    // describes it): rows of `stride` 16-bit entries.
    std::unique_ptr<uint16_t[]> table;
    unsigned categoryCount = 0;
    unsigned dictionaryStart = 0;  // the first category the walker gives up on
    unsigned stride = 0;
    unsigned rowCount = 0;
    // The byte offset of the row from which a match's first character is
    // read, and its index (the walks by runs and by pairs).
    unsigned restartRow = 0;
    size_t restartIndex = 0;

    // The column (byte offset in a row, clamped as the walk clamps
    // categories) of each value below U+0100: Latin text needs no trie.
    uint16_t latinColumn[0x100] = {};

    // The table of the walk by runs: for each category, each class of run
    // length (1, 2, odd from 3, even from 4) and each row, the row after the
    // run, and runBitsAt bytes further, what the run writes
    // (zqKelRuleWalker.cpp); empty when the walk by runs is not used. For
    // the wide walk, runBitsAt is the constant kRunBitsAt, which its loads
    // carry in their addressing. Where each category's part begins, and
    // where in it each length's class does.
    static constexpr size_t kRunBitsAt = 0x8000 + 0x440;
    std::unique_ptr<uint8_t[]> runTable;
    size_t runBitsAt = 0;
    size_t runTableBytes = 0;
    size_t identityPart = 0;  // where the part that changes nothing begins
    // A category's part is built the first time a run of it is walked
    // (BuildRunColumn): a finder pays only for the categories its text has.
    static constexpr uint32_t kRunColumnNotBuilt = ~uint32_t{0};
    uint32_t runCategoryStart[0x100] = {};
    // 1 for each of the first 64 categories whose part is built (the wide
    // walk's check).
    alignas(64) uint8_t runColumnBuilt[64] = {};
    std::unique_ptr<uint8_t[]> runRowAt;  // a row's index by its offset / 2

    // The pair table: for a pair of categories (as the text shows them) and
    // a row, the row after the two values and their flags (kRunFirst,
    // kRunSecond, kRunHandOver); where each pair's part starts in it
    // (pairStart, categories first * kPairStride + second, made on the
    // first short run), and at most kPairTableBytes of it.
    static constexpr uint16_t kPairNotBuilt = 0xFFFF;
    static constexpr uint16_t kPairTableFull = 0xFFFE;
    static constexpr uint16_t kPairGivesUp = 0xFFFD;  // a pair with a value the walker gives up on
    static constexpr size_t kPairTableBytes = 64 * 1024;
    static_assert(kPairTableBytes / 2 < kPairGivesUp, "a pair's start fits its 16 bits");
    static constexpr unsigned kPairStride = 64;
    bool pairs = false;  // false: too many categories for the pair table
    std::vector<uint16_t> pairStart;
    std::vector<uint8_t> pairRows;
    std::vector<uint8_t> pairBits;
    uint16_t runLengthStart[65] = {};
    // For each row (an index) after a text's last value: 1 when the end of
    // the text is answered there (EndOfText), with no walk again.
    uint8_t endAnswered[0x100] = {};
    // The category of each value below U+0100, for the walk by runs.
    alignas(64) uint8_t latinCategory[0x100] = {};
    // The category of each value of the BMP, then of each value of the
    // pictographs' blocks (kPictographsFirst on), learnt a block of 64 at a
    // time as text shows them (kNotLearnt until then): one load where the
    // trie takes two, and no branch between scripts. Made for the first
    // value that needs it, so that Latin text never pays for it.
    static constexpr uint32_t kPictographsFirst = 0x1F000;
    static constexpr uint32_t kPictographsCount = 0xB00;
    static constexpr size_t kLearntBytes = 0x10000 + kPictographsCount;
    static constexpr uint8_t kNotLearnt = 0xFF;
    std::unique_ptr<uint8_t[]> learntCategory;
    void MakeLearntCategories();
    // For each page of 256 values of the BMP, for the wide walk: the
    // category all its values have, kMixedPage, or kNotLearnt.
    static constexpr uint8_t kMixedPage = 0xFE;
    alignas(64) uint8_t pageCategory[0x100] = {};
    // The page of the BMP that a block's values of mixed pages were last
    // all on (0: none yet; page 0's values are Latin-1).
    uint8_t lastMixedPage = 0;
    // Learns the BMP's page (its four blocks, and what pageCategory says).
    template <bool kEightBitTrie>
    void LearnPage(unsigned page, const UCPTrie& trieCopy);
    // The categories of a block of n values (1 to 64) as CategoriesOf gives
    // them, with AVX-512: Latin-1 values and values of pages of one category
    // by table lookups, the rest too when they are all on one page, else
    // one at a time (zqKelRuleWalker.cpp).
    template <bool kEightBitTrie>
    void CategoriesWide(const uint32_t* values, unsigned n, uint8_t* categories, const UCPTrie& trieCopy);
    // How the walk goes: by runs with AVX-512, by runs in plain C++, or one
    // character at a time (rules too large for the run table).
    enum class Mode { WideRuns, PlainRuns, Characters };
    Mode mode = Mode::Characters;

    friend struct zqTextKelBreakFinderTestAccess;

    // For each look-ahead rule, the position recorded at its '/' in the
    // current run (a position after a character, so never 0); 0 when none.
    // Cleared before a run only when the last one recorded any.
    std::vector<unsigned long> lookAheadAt;
    bool lookAheadRecorded = false;
    __attribute__((noinline)) void ForgetLookAhead();
};

#endif  // ZQ_KEL_RULE_WALKER_H
