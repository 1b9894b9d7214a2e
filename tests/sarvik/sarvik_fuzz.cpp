// libFuzzer target: the finder against raw ICU on fuzzer-chosen values. The
// plug-in's sources are compiled in (for coverage); the answer must equal
// raw ICU's for the same locale and values, with no write outside the flags.
//
// Input: byte 0 picks the locale; then each value is a tag byte choosing a
// kind followed by the bytes that kind needs. Most kinds are text that the
// rule walker answers itself (ASCII, punctuation, Latin, combining marks,
// CJK, Hangul, emoji and other supplementary characters, any BMP value);
// three of the sixteen tags give what only ICU answers (surrogates, values
// above U+10FFFF, Thai).

#include "SarvikTestSupport.h"

#include <cstddef>
#include <cstdint>

namespace {

const char* const kLocales[] = {"en", "ja", "zh", "th", "ko", "de", "", "en@lb=strict", "en@lb=loose",
                                "ja@lb=strict", "ja@lw=phrase", "fi", "de@lb=strict", "zh@lb=loose"};
constexpr size_t kLocaleCount = sizeof kLocales / sizeof kLocales[0];

struct Reader {
    const uint8_t* data;
    size_t size;
    bool Empty() const { return size == 0; }
    uint32_t Next(unsigned bytes)
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < bytes; ++i) {
            value = value << 8 | (size > 0 ? (--size, *data++) : 0);
        }
        return value;
    }
};

std::vector<uint32_t> Decode(Reader in)
{
    static const uint32_t kPunctuation[] = {' ', ' ', '.', ',', '-', '(', ')', '"', '\'', '!', '?', '/', '%',
                                            '$', ':', 0xA0, 0x2014, 0x2010, 0x201C, 0x201D, 0xAB, 0xBB, 0x2026,
                                            0x200B, 0x2060, 0xAD, 0x3001, 0x3002, 0x300C, 0x300D, 0x200D, 0xFE0F};
    std::vector<uint32_t> run;
    while (!in.Empty()) {
        switch (in.Next(1) % 16) {
        case 0: case 1: run.push_back(in.Next(1) & 0x7F); break;
        case 2: run.push_back(kPunctuation[in.Next(1) % (sizeof kPunctuation / sizeof kPunctuation[0])]); break;
        case 3: run.push_back(0xC0 + in.Next(1) % 0x190); break;              // Latin
        case 4: run.push_back(0x300 + in.Next(1) % 0x70); break;              // combining marks
        case 5: run.push_back(0x3000 + in.Next(2) % 0x7000); break;           // CJK
        case 6: run.push_back(0xAC00 + in.Next(2) % 0x2BA4); break;           // Hangul syllables
        case 7: run.push_back(0x1100 + in.Next(1)); break;                    // conjoining jamo
        case 8: run.push_back(0x1F000 + in.Next(2) % 0xB00); break;           // emoji
        case 9: run.push_back(0x1F3FB + in.Next(1) % 5); break;               // skin tones
        case 10: run.push_back(0x10000 + in.Next(3) % 0x100000); break;       // any supplementary
        case 11: run.push_back(in.Next(2)); break;                            // any BMP value
        case 12: run.push_back(0x2000 + in.Next(1)); break;                   // general punctuation
        case 13: run.push_back(0xD800 + in.Next(2) % 0x800); break;           // surrogates
        case 14: run.push_back(0x110000 + in.Next(4) % (0xFFFFFFFFu - 0x110000 + 1)); break;
        default: run.push_back(0x0E00 + in.Next(1) % 0x80); break;            // Thai
        }
    }
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace sarvik_test;
    static std::unique_ptr<zqTextBreakFinder> finders[kLocaleCount];
    static std::unique_ptr<IcuReference> references[kLocaleCount];
    if (size == 0) {
        return 0;
    }
    const size_t which = data[0] % kLocaleCount;
    if (!finders[which]) {
        finders[which].reset(zqTextBreakFinderEntry(kLocales[which]));
        references[which] = std::make_unique<IcuReference>(kLocales[which]);
    }
    const std::vector<uint32_t> run = Decode(Reader{data + 1, size - 1});
    bool guardsIntact = false;
    const Flags got = RunFinder(*finders[which], run, &guardsIntact);
    if (!guardsIntact || got != references[which]->Breaks(run)) {
        std::fprintf(stderr, "mismatch, locale \"%s\", values %s\n", kLocales[which], Hex(run, 1000).c_str());
        __builtin_trap();
    }
    return 0;
}
