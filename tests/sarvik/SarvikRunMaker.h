// Random runs of text for the differential tests: pieces of the kinds of text
// that exercise the line-break rules hardest, mixed a few kinds at a time, in
// runs of 1 to 65,536 values.

#ifndef SARVIK_RUN_MAKER_H
#define SARVIK_RUN_MAKER_H

#include <cstdint>
#include <random>
#include <vector>

namespace sarvik_test {

class RunMaker {
public:
    // The kinds of text. Those before kFirstIcuOnlyKind are text the rule
    // walker answers for itself (as far as the locale's rules have no
    // dictionary for them: CJK under lw=phrase has); the rest always go to ICU.
    enum Kind {
        kWords,             // ASCII words, spaces and punctuation
        kLatin,             // Latin, Greek and Cyrillic letters with combining marks
        kQuotes,            // quotation marks of every kind, with and without spaces
        kHyphens,           // hyphens, dashes, the minus sign, soft hyphens
        kNumbers,           // numbers with separators, prefixes, suffixes and brackets
        kEmoji,             // pictographs, modifiers, joiners, keycaps, tag sequences
        kRegionalIndicators,
        kCombiningMarks,    // marks after any base, or none
        kSpaceBeforeClosing,  // spaces before closing punctuation, after opening
        kHangul,            // syllables and conjoining jamo
        kCjk,               // ideographs (also supplementary), kana, CJK punctuation
        kOtherClasses,      // glue, joiners, ellipses, Hebrew, Indic, ambiguous, unassigned...
        kHardBreaks,        // CR, LF, NEL and the other mandatory breaks
        kFirstIcuOnlyKind,
        kSoutheastAsian = kFirstIcuOnlyKind,  // Thai, Lao, Khmer, Myanmar (dictionaries)
        kSurrogates,        // lone, and pairs given as two values
        kNotCodePoints,     // values above U+10FFFF
        kKindCount
    };

    explicit RunMaker(uint64_t seed) : random(seed) {}

    // A run of a few kinds; with `icuOnlyKinds`, sometimes with one of the
    // kinds that only ICU answers among them.
    std::vector<uint32_t> Make(bool icuOnlyKinds = true)
    {
        const size_t length = Length();
        std::vector<uint32_t> run;
        run.reserve(length + 16);
        unsigned kinds[4];
        const unsigned kindCount = 1 + Below(4);
        for (unsigned k = 0; k < kindCount; ++k) {
            kinds[k] = Below(kFirstIcuOnlyKind);
        }
        if (icuOnlyKinds && Below(5) == 0) {
            kinds[Below(kindCount)] = kFirstIcuOnlyKind + Below(kKindCount - kFirstIcuOnlyKind);
        }
        while (run.size() < length) {
            Append(static_cast<Kind>(kinds[Below(kindCount)]), run);
            // Now and then the last value many times over: long runs of one
            // category, across the walker's blocks of 64.
            if (!run.empty() && Below(16) == 0) {
                run.insert(run.end(), 1 + Below(100), run.back());
            }
        }
        run.resize(length);
        return run;
    }

    // One piece of text of the kind.
    void Append(Kind kind, std::vector<uint32_t>& run)
    {
        switch (kind) {
        case kWords: return Words(run);
        case kLatin: return Latin(run);
        case kQuotes: return Quotes(run);
        case kHyphens: return Hyphens(run);
        case kNumbers: return Numbers(run);
        case kEmoji: return Emoji(run);
        case kRegionalIndicators: return RegionalIndicators(run);
        case kCombiningMarks: return CombiningMarks(run);
        case kSpaceBeforeClosing: return SpaceBeforeClosing(run);
        case kHangul: return Hangul(run);
        case kCjk: return Cjk(run);
        case kOtherClasses: return OtherClasses(run);
        case kHardBreaks: return HardBreaks(run);
        case kSoutheastAsian: return SoutheastAsian(run);
        case kSurrogates: return Surrogates(run);
        case kNotCodePoints: return NotCodePoints(run);
        default: return;
        }
    }

private:
    unsigned Below(unsigned n) { return static_cast<unsigned>(random() % n); }
    uint32_t Range(uint32_t low, uint32_t high) { return low + static_cast<uint32_t>(random() % (high - low + 1)); }
    template <size_t N>
    uint32_t Pick(const uint32_t (&values)[N])
    {
        return values[Below(N)];
    }

    // 1 to 65,536 values, short runs the most often.
    size_t Length()
    {
        const unsigned bucket = Below(1000);
        return bucket < 350   ? Range(1, 16)
               : bucket < 700 ? Range(17, 128)
               : bucket < 920 ? Range(129, 1024)
               : bucket < 995 ? Range(1025, 8192)
                              : Range(8193, 65536);
    }

    void Letters(std::vector<uint32_t>& run, unsigned n)
    {
        for (; n > 0; --n) {
            run.push_back(Range('a', 'z') - (Below(8) == 0 ? 32 : 0));
        }
    }

    void Words(std::vector<uint32_t>& run)
    {
        static const uint32_t kAfter[] = {' ', ' ', ' ', ' ', ',', '.', ';', ':', '!', '?', '/', '(', ')',
                                          '[', ']', '{', '}', '&', '*', '@', '_', '=', '<', '>', '|', '~',
                                          '^', '`', '\\', '\t', 0xA0, 0x2026};
        Letters(run, 1 + Below(9));
        run.push_back(Pick(kAfter));
        if (Below(4) == 0) {
            run.push_back(' ');
        }
    }

    void Latin(std::vector<uint32_t>& run)
    {
        const unsigned script = Below(4);
        const uint32_t letter = script == 0   ? Range(0xC0, 0x24F)
                                : script == 1 ? Range(0x391, 0x3C9)
                                : script == 2 ? Range(0x410, 0x44F)
                                              : Range('a', 'z');
        run.push_back(letter);
        if (Below(3) == 0) {
            run.push_back(Range(0x300, 0x36F));
        }
        if (Below(5) == 0) {
            run.push_back(' ');
        }
    }

    void Quotes(std::vector<uint32_t>& run)
    {
        static const uint32_t kQuote[] = {'"', '\'', 0xAB, 0xBB, 0x2018, 0x2019, 0x201A, 0x201B, 0x201C,
                                          0x201D, 0x201E, 0x201F, 0x2039, 0x203A, 0x275B, 0x275C, 0x275D,
                                          0x275E, 0x2E00, 0x2E02, 0x2E03, 0x2E09, 0x2E0C, 0x2E1C, 0x2E20,
                                          0x300C, 0x300D, 0x300E, 0x300F, 0xFF02, 0x1F676, 0x1F677};
        static const uint32_t kAround[] = {' ', ' ', 'a', 'Z', '1', 0x4E00, 0x3042, '(', ')', '.', ',',
                                           0xA0, 0x3000, '-', 0x1F600, 0x5D0};
        if (Below(2) == 0) {
            run.push_back(Pick(kAround));
        }
        for (unsigned n = 1 + Below(3); n > 0; --n) {
            run.push_back(Pick(kQuote));
        }
        if (Below(2) == 0) {
            run.push_back(Pick(kAround));
        }
    }

    void Hyphens(std::vector<uint32_t>& run)
    {
        static const uint32_t kHyphen[] = {'-', '-', 0x2010, 0x2011, 0x2012, 0x2013, 0x2014, 0xAD, 0x2E3A,
                                           0x2E3B, 0x58A, 0x5BE, 0x1400, 0x2E17, 0x30A0, 0x2212, 0xFE63,
                                           0xFF0D, 0x2E5D};
        static const uint32_t kAround[] = {'a', 'Z', '1', '9', ' ', 0x5D0, 0x4E00, '(', ')', '"', '.',
                                           0x2014, '-', 0x1F600, 0x300};
        if (Below(3) != 0) {
            run.push_back(Pick(kAround));
        }
        for (unsigned n = 1 + Below(2); n > 0; --n) {
            run.push_back(Pick(kHyphen));
        }
        run.push_back(Pick(kAround));
    }

    void Digits(std::vector<uint32_t>& run, unsigned n)
    {
        const unsigned script = Below(8);
        const uint32_t zero = script == 0 ? 0x660 : script == 1 ? 0x966 : script == 2 ? 0xFF10 : '0';
        for (; n > 0; --n) {
            run.push_back(zero + Below(10));
        }
    }

    void Numbers(std::vector<uint32_t>& run)
    {
        static const uint32_t kPrefix[] = {'$', '+', '-', '#', '\\', 0xA3, 0xA5, 0x20AC, 0x2212, 0xB1, 0x2116,
                                           '(', '[', '{', 0xFF04, 0x20B9};
        static const uint32_t kSeparator[] = {',', '.', ':', ';', '/', 0x2044, 0x37E, 0x589, 0x60C, 0x2024,
                                              0xFE50, 0xFE52};
        static const uint32_t kSuffix[] = {'%', 0x2030, 0xB0, 0xA2, 0x2103, 0x2032, 0x2033, ')', ']', '}',
                                           '.', ',', '!', '?', 'e', 'x', 0xFF05, 0x3002};
        if (Below(2) == 0) {
            run.push_back(Pick(kPrefix));
        }
        if (Below(8) == 0) {
            run.push_back(Pick(kPrefix));
        }
        Digits(run, 1 + Below(4));
        for (unsigned groups = Below(3); groups > 0; --groups) {
            run.push_back(Pick(kSeparator));
            if (Below(6) != 0) {
                Digits(run, 1 + Below(3));
            }
        }
        if (Below(2) == 0) {
            run.push_back(Pick(kSuffix));
        }
        if (Below(3) == 0) {
            run.push_back(' ');
        }
    }

    void Emoji(std::vector<uint32_t>& run)
    {
        static const uint32_t kBase[] = {0x1F466, 0x1F467, 0x1F468, 0x1F469, 0x1F3C3, 0x1F46E, 0x261D, 0x26F9,
                                         0x270A, 0x270D, 0x1F44D, 0x1F9D1, 0x1F91D};
        static const uint32_t kJoined[] = {0x2764, 0x1F525, 0x1F4BB, 0x2640, 0x2642, 0x1F466, 0x1F467, 0x1F692,
                                           0x1F9B0, 0x1F308, 0x2695};
        switch (Below(8)) {
        case 0:  // a pictograph, sometimes with a presentation selector
            run.push_back(Below(2) ? Range(0x1F300, 0x1F6FF) : Range(0x1F900, 0x1FAFF));
            if (Below(3) == 0) {
                run.push_back(0xFE0F);
            }
            break;
        case 1:  // an emoji base and a skin tone modifier
            run.push_back(Pick(kBase));
            run.push_back(Range(0x1F3FB, 0x1F3FF));
            break;
        case 2:  // a joiner sequence
            run.push_back(Pick(kBase));
            if (Below(2) == 0) {
                run.push_back(Range(0x1F3FB, 0x1F3FF));
            }
            for (unsigned n = 1 + Below(3); n > 0; --n) {
                run.push_back(0x200D);
                run.push_back(Pick(kJoined));
                if (Below(3) == 0) {
                    run.push_back(0xFE0F);
                }
            }
            break;
        case 3:  // a keycap
            run.push_back(Below(2) ? '#' : Range('0', '9'));
            run.push_back(0xFE0F);
            run.push_back(0x20E3);
            break;
        case 4:  // a tag sequence (a subdivision flag)
            run.insert(run.end(), {0x1F3F4, 0xE0067, 0xE0062, Range(0xE0061, 0xE007A), 0xE0063, 0xE007F});
            break;
        case 5:  // older symbols, text or emoji presentation
            run.push_back(Range(0x2600, 0x27BF));
            run.push_back(Below(2) ? 0xFE0F : 0xFE0E);
            break;
        case 6:  // unassigned pictographic code points, a lone modifier or joiner
            run.push_back(Below(3) == 0 ? Range(0x1FC00, 0x1FFFD) : Below(2) ? Range(0x1F3FB, 0x1F3FF) : 0x200D);
            break;
        default:
            run.push_back(' ');
            break;
        }
    }

    void RegionalIndicators(std::vector<uint32_t>& run)
    {
        for (unsigned n = 1 + Below(5); n > 0; --n) {
            run.push_back(Range(0x1F1E6, 0x1F1FF));
            if (Below(10) == 0) {
                run.push_back(Below(2) ? 0x300 : 0x200D);
            }
        }
        if (Below(2) == 0) {
            run.push_back(Below(2) ? ' ' : 'a');
        }
    }

    void CombiningMarks(std::vector<uint32_t>& run)
    {
        static const uint32_t kBase[] = {'a', ' ', '1', '(', ')', '-', 0x4E00, 0x200B, 0x2060, 0xA0, 0x1F600,
                                         '\n', 0x5D0, 0x915, 0x3002, '"', 0x1F1E6};
        static const uint32_t kMark[] = {0x300, 0x301, 0x308, 0x36F, 0x483, 0x591, 0x5BD, 0x64B, 0x65F,
                                         0x93C, 0x94D, 0x20D0, 0x20DD, 0x20E3, 0x1AB0, 0xFE20, 0x200D, 0x200C,
                                         0x1F3FB, 0xFE0F, 0x302A, 0x3099};
        if (Below(4) != 0) {
            run.push_back(Pick(kBase));
        }
        for (unsigned n = 1 + Below(3); n > 0; --n) {
            run.push_back(Pick(kMark));
        }
    }

    void SpaceBeforeClosing(std::vector<uint32_t>& run)
    {
        static const uint32_t kClosing[] = {')', ']', '}', ',', '.', '!', '?', ';', ':', '/', 0x3001, 0x3002,
                                            0x300D, 0x300F, 0x3011, 0x3009, 0x300B, 0xFF09, 0xFF3D, 0xFF0C,
                                            0xFF0E, 0xFF01, 0x2046, 0x207E, 0xFE5A, 0x2E29, 0x201D, 0xBB};
        static const uint32_t kOpening[] = {'(', '[', '{', 0x300C, 0x300E, 0x3010, 0x3008, 0xFF08, 0x2045,
                                            0x201C, 0xAB, 0x2E28, 0xA1, 0xBF};
        static const uint32_t kSpace[] = {' ', ' ', ' ', 0xA0, 0x3000, 0x2002, 0x202F, '\t'};
        if (Below(2) == 0) {
            Letters(run, 1 + Below(4));
        }
        if (Below(3) == 0) {
            run.push_back(Pick(kOpening));
            for (unsigned n = Below(3); n > 0; --n) {
                run.push_back(Pick(kSpace));
            }
        }
        for (unsigned n = Below(4); n > 0; --n) {
            run.push_back(Pick(kSpace));
        }
        run.push_back(Pick(kClosing));
        if (Below(2) == 0) {
            run.push_back(Below(2) ? ' ' : Range('a', 'z'));
        }
    }

    void Hangul(std::vector<uint32_t>& run)
    {
        switch (Below(4)) {
        case 0:  // conjoining jamo: leading, vowels, trailing
            for (unsigned n = 1 + Below(2); n > 0; --n) {
                run.push_back(Below(4) ? Range(0x1100, 0x115F) : Range(0xA960, 0xA97C));
            }
            for (unsigned n = Below(3); n > 0; --n) {
                run.push_back(Below(4) ? Range(0x1160, 0x11A7) : Range(0xD7B0, 0xD7C6));
            }
            for (unsigned n = Below(3); n > 0; --n) {
                run.push_back(Below(4) ? Range(0x11A8, 0x11FF) : Range(0xD7CB, 0xD7FB));
            }
            break;
        case 1:  // a syllable and trailing jamo
            run.push_back(Range(0xAC00, 0xD7A3));
            run.push_back(Range(0x11A8, 0x11FF));
            break;
        default:  // words of syllables
            for (unsigned n = 1 + Below(5); n > 0; --n) {
                run.push_back(Range(0xAC00, 0xD7A3));
            }
            run.push_back(Below(3) ? ' ' : Below(2) ? '.' : 0x3002);
            break;
        }
    }

    void Cjk(std::vector<uint32_t>& run)
    {
        static const uint32_t kPunct[] = {0x3001, 0x3002, 0x300C, 0x300D, 0xFF08, 0xFF09, 0x30FC, 0x3005,
                                          0x30FB, 0xFF01, 0xFF1F, 0x3000, 0x301C, 0x30A0, 0x309B, 0x309D,
                                          0xFF61, 0xFF64, 0xFF70, 0x2015, 0x303B, 0x3006, 0x3007};
        static const uint32_t kSmallKana[] = {0x3041, 0x3043, 0x3063, 0x3083, 0x308E, 0x3095, 0x30A1, 0x30C3,
                                              0x30E3, 0x30F5, 0x31F0, 0x31FF, 0xFF67, 0xFF6F};
        for (unsigned n = 1 + Below(4); n > 0; --n) {
            switch (Below(7)) {
            case 0: run.push_back(Pick(kPunct)); break;
            case 1: run.push_back(Pick(kSmallKana)); break;
            case 2: run.push_back(Range(0x3041, 0x3096)); break;
            case 3: run.push_back(Range(0x30A1, 0x30FA)); break;
            case 4: run.push_back(Below(4) ? Range(0x3400, 0x4DBF) : Range(0x20000, 0x2A6DF)); break;
            case 5: run.push_back(Range(0xFF66, 0xFF9D)); break;
            default: run.push_back(Range(0x4E00, 0x9FFF)); break;
            }
        }
    }

    void OtherClasses(std::vector<uint32_t>& run)
    {
        static const uint32_t kValues[] = {
            0xA0, 0x202F, 0x2007, 0xF0C, 0x2060, 0xFEFF, 0x200B, 0x2024, 0x2025, 0x2026, 0x22EF, 0xFE19,
            0xFFFC, 0x378, 0xE000, 0xF8FF, 0xFFFF, 0xFFFE, 0x10FFFF, 0x10FFFD, 0xF0000, 0xB4, 0x2C8, 0xF01,
            0x1680, 0x2000, 0x2009, 0x205F, 0x3000, 0x5BE, 0x17D6, 0x2CF9, 0x2E3C, 0xA7, 0xB6, 0x2460,
            0x24EA, 0x2500, 0x25A0, 0x2605, 0x1F100, 0x1F10C, 0x2C, 0x3B, '/', '\\', '%', '$', '!', '?',
            0x61C, 0x2066, 0x2069, 0x200E, 0x34F, 0x180E, 0x1F1E6, 0x1BC0, 0x11000, 0x1D400, 0x16A0,
            0x1200, 0x13A0, 0xFB1D, 0xFB1F};
        switch (Below(4)) {
        case 0:  // Hebrew words, with the maqaf or a hyphen
            for (unsigned n = 1 + Below(5); n > 0; --n) {
                run.push_back(Range(0x5D0, 0x5EA));
            }
            run.push_back(Below(2) ? 0x5BE : Below(2) ? '-' : ' ');
            break;
        case 1:  // an Indic cluster
            run.push_back(Range(0x915, 0x939));
            run.push_back(Below(2) ? 0x94D : Range(0x93E, 0x94C));
            if (Below(2)) {
                run.push_back(Range(0x915, 0x939));
            }
            break;
        default:
            for (unsigned n = 1 + Below(3); n > 0; --n) {
                run.push_back(Pick(kValues));
            }
            break;
        }
    }

    void HardBreaks(std::vector<uint32_t>& run)
    {
        static const uint32_t kBreak[] = {'\n', '\r', 0x85, 0xB, 0xC, 0x2028, 0x2029, 0x200B};
        if (Below(2) == 0) {
            Letters(run, 1 + Below(3));
        }
        if (Below(3) == 0) {
            run.push_back(' ');
        }
        if (Below(3) == 0) {
            run.insert(run.end(), {'\r', '\n'});
        } else {
            run.push_back(Pick(kBreak));
        }
    }

    void SoutheastAsian(std::vector<uint32_t>& run)
    {
        const unsigned script = Below(5);
        for (unsigned n = 2 + Below(8); n > 0; --n) {
            run.push_back(script < 2    ? Range(0xE01, 0xE3A)
                          : script == 2 ? Range(0xE81, 0xEB9)
                          : script == 3 ? Range(0x1780, 0x17D3)
                                        : Range(0x1000, 0x103F));
        }
        if (Below(3) == 0) {
            run.push_back(' ');
        }
    }

    void Surrogates(std::vector<uint32_t>& run)
    {
        if (Below(2) == 0) {
            run.push_back(Range(0xD800, 0xDFFF));
        } else {
            run.insert(run.end(), {Range(0xD800, 0xDBFF), Range(0xDC00, 0xDFFF)});
        }
    }

    void NotCodePoints(std::vector<uint32_t>& run)
    {
        static const uint32_t kValues[] = {0x110000, 0x10FFFF + 2, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
        run.push_back(Below(2) ? Pick(kValues) : Range(0x110000, 0xFFFFFFFF));
    }

    std::mt19937_64 random;
};

}  // namespace sarvik_test

#endif  // SARVIK_RUN_MAKER_H
