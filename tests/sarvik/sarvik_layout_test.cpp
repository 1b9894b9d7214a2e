// A host that declares the finder class itself, exactly as the plug-in's
// interface publishes it (the base class, then three raw owning pointers),
// links the library, and constructs finders in storage of its own. If the
// library's object were larger than the declaration, its constructor would
// write past the host's storage: guard bytes after it catch that.

#include "SarvikTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

// The host's own declaration, written from the published interface only.
class zqTextKelBreakFinder : public zqTextBreakFinder {
public:
    explicit zqTextKelBreakFinder(const char* localeName);
    ~zqTextKelBreakFinder() override;
    void SetBreakCandidates(unsigned long count, const uint32_t* codePoints, const uint32_t* unusedCodePoints,
                            bool* breakFlags, bool unusedFlag) override;
    const char* GetCurrentLocale() const override;

    char* localeName;
    icu::Locale* locale;
    icu::BreakIterator* breakIterator;
};

using namespace sarvik_test;

namespace {

constexpr unsigned char kGuard = 0xA5;

TEST(SarvikPublishedLayout, FinderBuiltInTheHostsOwnStorage)
{
    // The object, then guard bytes, as many as the object is long and more.
    alignas(zqTextKelBreakFinder) unsigned char storage[sizeof(zqTextKelBreakFinder) + 512];
    std::memset(storage, kGuard, sizeof storage);
    auto* finder = new (storage) zqTextKelBreakFinder("en_GB");

    EXPECT_EQ(finder->localeName, finder->GetCurrentLocale());
    EXPECT_STREQ(finder->localeName, "en_GB");
    EXPECT_NE(finder->locale, nullptr);
    EXPECT_STREQ(finder->locale->getName(), "en_GB");
    EXPECT_NE(finder->breakIterator, nullptr);

    // Runs for both engines: one the rule walker answers, a long one only ICU
    // answers (a Thai word at its end, supplementary characters on the way).
    IcuReference icu("en_GB");
    std::vector<uint32_t> longRun;
    while (longRun.size() < 100'000) {
        const std::vector<uint32_t> words = Utf32(U"Words, numbers (1,234.5) and 😀 emoji. ");
        longRun.insert(longRun.end(), words.begin(), words.end());
    }
    const std::vector<uint32_t> thai = Utf32(U"ภาษาไทย");
    longRun.insert(longRun.end(), thai.begin(), thai.end());
    for (const std::vector<uint32_t>& run : {Utf32(U"Hello world, (1,234.5)% 😀"), longRun}) {
        bool guardsIntact = false;
        EXPECT_EQ(RunFinder(*finder, run, &guardsIntact), icu.Breaks(run)) << Hex(run);
        EXPECT_TRUE(guardsIntact);
    }

    finder->~zqTextKelBreakFinder();
    size_t changed = 0;
    for (size_t i = sizeof(zqTextKelBreakFinder); i < sizeof storage; ++i) {
        changed += storage[i] != kGuard;
    }
    EXPECT_EQ(changed, 0u) << "bytes written past the published object";
}

TEST(SarvikPublishedLayout, FinderMadeWithTheHostsNew)
{
    zqTextBreakFinder* finder = new zqTextKelBreakFinder("ja");
    EXPECT_EQ(Positions(RunFinder(*finder, Utf32(U"日本語のテキスト。"))), "{0 1 2 3 4 5 6 7}");
    delete finder;
}

}  // namespace
