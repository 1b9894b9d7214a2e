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
    static std::unique_ptr<zqKelRuleWalker> Create(const uint8_t* rules, uint32_t length);

    ~zqKelRuleWalker();
    zqKelRuleWalker(const zqKelRuleWalker&) = delete;
    zqKelRuleWalker& operator=(const zqKelRuleWalker&) = delete;

    // For codePoints[0..count-1] (count > 0), sets breakFlags[j] for every
    // boundary j of ICU's first()/next() walk but the last, as the finder
    // flags them. breakFlags[0..count-1] are all false on entry. Returns
    // false, with breakFlags all false again, when the run is one the walker
    // does not answer (see above).
    bool MarkBoundaries(unsigned long count, const uint32_t* codePoints, bool* breakFlags);

private:
    zqKelRuleWalker() = default;

    template <bool kEightBitTrie>
    // Its loop is the library's hottest code: started on a cache line, its
    // speed does not depend on what the linker places before it.
    __attribute__((aligned(64))) bool Walk(unsigned long count, const uint32_t* codePoints, bool* breakFlags);

    // ICU's trie of character categories, opened over the rule data.
    UCPTrie* trie = nullptr;
    bool eightBitTrie = true;

    // ICU's forward state table recast for the walk (zqKelRuleWalker.cpp
    // describes it): rows of `stride` 16-bit entries.
    std::unique_ptr<uint16_t[]> table;
    unsigned categoryCount = 0;
    unsigned stride = 0;
    // The byte offset of the row from which a match's first character is read.
    unsigned restartRow = 0;

    // The column (byte offset in a row, clamped as the walk clamps
    // categories) of each value below U+0100: Latin text needs no trie.
    uint16_t latinColumn[0x100] = {};

    // For each look-ahead rule, the position recorded at its '/' in the
    // current run (a position after a character, so never 0); 0 when none.
    // Cleared before a run only when the last one recorded any.
    std::vector<unsigned long> lookAheadAt;
    bool lookAheadRecorded = false;
};

#endif  // ZQ_KEL_RULE_WALKER_H
