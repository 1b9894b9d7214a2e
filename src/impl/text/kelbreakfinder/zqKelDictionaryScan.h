// zqKelDictionaryScan: decides, before the rule walker starts, whether a run
// holds a value that the walker leaves to ICU (a character of a dictionary
// category of the finder's rules, a surrogate value, or a value above
// U+10FFFF), so that such a run goes to ICU at once instead of after a walk
// given up late. Internal to the library.
//
// The scan reads the same compiled rules as the walker: the trie of character
// categories and the forward table's first dictionary category. It learns,
// page by page (256 code points) as text shows them, which pages hold no
// dictionary character; values on such pages are cleared 64 or 32 at a time
// by a table lookup (AVX-512 or AVX2 where the processor has it), the others
// one by one through the trie.

#ifndef ZQ_KEL_DICTIONARY_SCAN_H
#define ZQ_KEL_DICTIONARY_SCAN_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include <unicode/ucptrie.h>

class zqKelDictionaryScan {
public:
    // Reads rules[0..length-1], which zqKelRuleWalker::Create has accepted,
    // and which must outlive the scan. Null when ICU cannot open the trie.
    static std::unique_ptr<zqKelDictionaryScan> Create(const uint8_t* rules, uint32_t length);

    ~zqKelDictionaryScan();
    zqKelDictionaryScan(const zqKelDictionaryScan&) = delete;
    zqKelDictionaryScan& operator=(const zqKelDictionaryScan&) = delete;

    // Whether codePoints[0..count-1] hold a value that the walker leaves to
    // ICU (see above).
    bool NeedsIcu(unsigned long count, const uint32_t* codePoints);

    // What the scan keeps, in bytes (ICU's trie object included).
    size_t RetainedBytes() const;

private:
    // Lets tests take the plain C++ path on any processor.
    friend struct zqTextKelBreakFinderTestAccess;

    zqKelDictionaryScan() = default;

    // Whether `value` itself is left to ICU, learning its page first if need be.
    bool ValueNeedsIcu(uint32_t value);

    // Finds out whether `page` holds a character of a dictionary category
    // (a supplementary page together with its 15 neighbours).
    void LearnPage(uint32_t page);
    void LearnSupplementaryPages(uint32_t firstPage);

    // The category of a code point, from the trie.
    uint32_t CategoryOf(uint32_t codePoint) const;

    // Of values[0..63], a bit for each that the page tables do not clear.
    uint64_t UnclearedLanes(const uint32_t* values) const;

    // NeedsIcu with AVX2, and with AVX-512; kSpan: whether there is a clean
    // span.
    template <bool kSpan>
    bool NeedsIcuAvx2(unsigned long count, const uint32_t* values);
    template <bool kSpan>
    bool NeedsIcuWide(unsigned long count, const uint32_t* values);

    UCPTrie* trie = nullptr;
    uint32_t dictionaryStart = 0;
    bool haveAvx2 = false;
    bool haveWide = false;

    // What is known of each page of 256 code points.
    enum PageState : uint8_t { kUnknown, kClean, kDictionary };
    static constexpr uint32_t kPageCount = 0x1100;
    PageState pageState[kPageCount] = {};

    // For the lookup 32 values at a time: a byte key for each value (its BMP
    // page, 0xFF for page 0xFF and for everything above U+FFFF), split into
    // nibbles; bit (high & 7) of checkLow[high >> 3][low] is set when the
    // value must be looked at one by one. Only BMP pages learnt clean clear
    // their bit; 0xFF never does.
    alignas(16) uint8_t checkLow[2][16];
    // The same for the lookup 64 values at a time, a byte for each key:
    // 1 when the value must be looked at one by one.
    alignas(64) uint8_t checkKey[256];
    // Supplementary values from cleanSpanFirst on, cleanSpanLength of them,
    // are on pages known clean, and get key 0 instead (none at first).
    uint32_t cleanSpanFirst = 0;
    uint32_t cleanSpanLength = 0;
};

#endif  // ZQ_KEL_DICTIONARY_SCAN_H
