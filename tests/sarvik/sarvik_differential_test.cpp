// Random runs across locales, each compared with raw ICU's answer for the same
// values. SARVIK_DIFF_RUNS sets the number of runs (default 20000; millions
// for a release check), SARVIK_DIFF_SEED the seed (printed, to replay a failure).

#include "SarvikTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>

using namespace sarvik_test;

namespace {

const char* const kLocales[] = {"en", "ja", "th", "zh", "", "de@lb=strict", "ja@lw=phrase"};

unsigned long EnvNumber(const char* name, unsigned long fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 0) : fallback;
}

// Makes runs from a mix of the kinds of text a host meets and the values it
// should never send but might.
class RunMaker {
public:
    explicit RunMaker(unsigned long seed) : random(seed) {}

    std::vector<uint32_t> Make()
    {
        std::vector<uint32_t> run;
        const size_t length = Length();
        const unsigned kinds = 1 + Below(3);
        unsigned chosen[3];
        for (unsigned k = 0; k < kinds; ++k) {
            chosen[k] = Below(kKinds);
        }
        if (Below(8) == 0) {  // leading values that add no text
            for (unsigned n = 1 + Below(3); n > 0; --n) {
                run.push_back(AboveMax());
            }
        }
        while (run.size() < length) {
            Append(chosen[Below(kinds)], &run);
        }
        run.resize(length);
        return run;
    }

private:
    static constexpr unsigned kKinds = 9;

    unsigned Below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); }
    uint32_t Range(uint32_t low, uint32_t high)
    {
        return std::uniform_int_distribution<uint32_t>(low, high)(random);
    }
    template <size_t N>
    uint32_t Pick(const uint32_t (&values)[N]) { return values[Below(N)]; }

    size_t Length()
    {
        const unsigned bucket = Below(100);
        return bucket < 30 ? 1 + Below(8) : bucket < 70 ? 9 + Below(56) : bucket < 96 ? 65 + Below(448)
                                                                                      : 513 + Below(3584);
    }

    uint32_t AboveMax()
    {
        const uint32_t values[] = {0x110000, 0x10FFFF + 1 + Range(0, 0xFFFF), 0x7FFFFFFF, 0x80000000,
                                   0xFFFFFFFF, Range(0x110000, 0xFFFFFFFF)};
        return Pick(values);
    }

    void Append(unsigned kind, std::vector<uint32_t>* run)
    {
        static const uint32_t kPunct[] = {' ', ' ', ' ', '\n', '\t', '.', ',', '-', '(', ')', '"', '\'',
                                          '!', '?', '/', '%', '$', ':', ';', 0xA0, 0x2014, 0x2013,
                                          0x201C, 0x201D, 0xAB, 0xBB, 0x2026, 0x200B, 0xAD, 0x2060};
        static const uint32_t kCjkPunct[] = {0x3001, 0x3002, 0x300C, 0x300D, 0xFF08, 0xFF09, 0x30FC,
                                             0x3005, 0x30FB, 0xFF01, 0xFF1F, 0x3000, 0x301C};
        static const uint32_t kEmojiParts[] = {0x200D, 0xFE0F, 0x20E3, 0x1F3FB, 0x1F3FF, 0x2640,
                                               0x2642, 0x2764, 0x1F468, 0x1F469, 0x1F467, '#', '1'};
        switch (kind) {
        case 0:  // ASCII words, numbers and punctuation
            for (unsigned n = 1 + Below(8); n > 0; --n) {
                run->push_back(Below(5) == 0 ? Range('0', '9') : Range('a', 'z') - (Below(6) == 0) * 32);
            }
            run->push_back(Below(3) == 0 ? Pick(kPunct) : ' ');
            break;
        case 1:  // Latin with diacritics and combining marks
            run->push_back(Range(0xC0, 0x24F));
            if (Below(4) == 0) {
                run->push_back(Range(0x300, 0x36F));
            }
            break;
        case 2:  // CJK ideographs, kana (small kana too) and CJK punctuation
            run->push_back(Below(4) == 0 ? Pick(kCjkPunct) : Below(2) ? Range(0x4E00, 0x9FFF)
                                                                      : Range(0x3041, 0x30FA));
            break;
        case 3:  // Thai words (dictionary breaking)
            for (unsigned n = 2 + Below(10); n > 0; --n) {
                run->push_back(Range(0x0E01, 0x0E3A));
            }
            if (Below(4) == 0) {
                run->push_back(' ');
            }
            break;
        case 4:  // emoji: pictographs, modifiers, joiners, flags, keycaps
            if (Below(3) == 0) {
                run->insert(run->end(), {Range(0x1F1E6, 0x1F1FF), Range(0x1F1E6, 0x1F1FF)});
            } else {
                run->push_back(Below(2) ? Range(0x1F300, 0x1FAFF) : Pick(kEmojiParts));
            }
            break;
        case 5:  // lone surrogates
            run->push_back(Range(0xD800, 0xDFFF));
            break;
        case 6:  // a supplementary character given as two surrogate values
            run->insert(run->end(), {Range(0xD800, 0xDBFF), Range(0xDC00, 0xDFFF)});
            break;
        case 7:  // values that are not code points
            run->push_back(AboveMax());
            break;
        default:  // anything in the code space
            run->push_back(Below(2) ? Range(0, 0xFFFF) : Range(0x10000, 0x10FFFF));
            break;
        }
    }

    std::mt19937_64 random;
};

TEST(SarvikDifferential, RandomRunsAgreeWithIcu)
{
    Plugin plugin;
    ASSERT_NE(plugin.entry, nullptr) << plugin.error;
    const unsigned long runs = EnvNumber("SARVIK_DIFF_RUNS", 20000);
    const unsigned long seed = EnvNumber(
        "SARVIK_DIFF_SEED", static_cast<unsigned long>(std::chrono::system_clock::now().time_since_epoch().count()));
    std::printf("SARVIK_DIFF_RUNS=%lu SARVIK_DIFF_SEED=%lu\n", runs, seed);

    struct Pair {
        std::unique_ptr<zqTextBreakFinder> finder;
        std::unique_ptr<IcuReference> icu;
    };
    std::vector<Pair> pairs;
    for (const char* name : kLocales) {
        pairs.push_back({plugin.Make(name), std::make_unique<IcuReference>(name)});
    }
    RunMaker maker(seed);
    unsigned long failures = 0, codePoints = 0;
    for (unsigned long i = 0; i < runs && failures < 10; ++i) {
        const std::vector<uint32_t> run = maker.Make();
        codePoints += run.size();
        Pair& pair = pairs[i % pairs.size()];
        bool guardsIntact = false;
        const Flags got = RunFinder(*pair.finder, run, &guardsIntact);
        const Flags raw = pair.icu->Breaks(run);
        if (got != raw || !guardsIntact) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << " run " << i << " locale \"" << kLocales[i % pairs.size()]
                          << "\"\n  values " << Hex(run, 400) << "\n  plug-in " << Positions(got)
                          << (guardsIntact ? "" : " (wrote outside the flags)") << "\n  raw ICU "
                          << Positions(raw);
        }
    }
    std::printf("%lu runs, %lu code points, %lu mismatches\n", runs, codePoints, failures);
}

}  // namespace
