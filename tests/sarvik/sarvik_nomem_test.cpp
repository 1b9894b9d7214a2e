// A finder whose ICU objects could not be made. ICU takes its storage from
// allocation functions that a process may replace before its first use of
// ICU; here they fail on demand, so the plug-in meets ICU running out of
// memory: no locale object at all, or a locale but no line iterator, or an
// iterator but no trie for the rule walker (built on a finder's first run).

#include "SarvikTestSupport.h"

#include <gtest/gtest.h>

#include <unicode/uclean.h>

using namespace sarvik_test;

namespace {

// How many more ICU allocations may succeed; negative means no limit.
long gIcuAllocationsLeft = -1;

bool Allowed()
{
    if (gIcuAllocationsLeft == 0) {
        return false;
    }
    if (gIcuAllocationsLeft > 0) {
        --gIcuAllocationsLeft;
    }
    return true;
}

void* Allocate(const void*, size_t size) { return Allowed() ? std::malloc(size) : nullptr; }
void* Reallocate(const void*, void* block, size_t size) { return Allowed() ? std::realloc(block, size) : nullptr; }
void Free(const void*, void* block) { std::free(block); }

// Once per process, before anything uses ICU.
bool InstallAllocator()
{
    static const bool installed = [] {
        UErrorCode status = U_ZERO_ERROR;
        u_setMemoryFunctions(nullptr, Allocate, Reallocate, Free, &status);
        return U_SUCCESS(status);
    }();
    return installed;
}

TEST(SarvikWithoutIterator, FlagsAreClearedAndNothingElseHappens)
{
    ASSERT_TRUE(InstallAllocator()) << "ICU was used before the test";
    Plugin plugin;
    ASSERT_NE(plugin.entry, nullptr) << plugin.error;
    // ICU keeps a failed one-time initialisation for the life of the process,
    // so let it load its data before memory runs out.
    const std::vector<uint32_t> hello = Utf32(U"Hello world");
    EXPECT_EQ(Positions(RunFinder(*plugin.Make("en_GB"), hello)), "{0 6}");

    // 0: even the locale object fails; 1: the locale is made, the iterator not.
    for (long allowed : {0L, 1L}) {
        gIcuAllocationsLeft = allowed;
        auto finder = plugin.Make("en_GB");
        gIcuAllocationsLeft = -1;
        ASSERT_NE(finder, nullptr);
        EXPECT_STREQ(finder->GetCurrentLocale(), "en_GB");
        const std::vector<uint32_t> run = Utf32(U"Hello world 😀");
        Flags flags(run.size(), 1);
        finder->SetBreakCandidates(run.size(), run.data(), nullptr, reinterpret_cast<bool*>(flags.data()), false);
        EXPECT_EQ(flags, Flags(run.size(), 0)) << "with " << allowed << " ICU allocations";
        finder->SetBreakCandidates(0, nullptr, nullptr, nullptr, false);
    }
    // Once memory is back, a new finder answers again.
    EXPECT_EQ(Positions(RunFinder(*plugin.Make("en_GB"), hello)), "{0 6}");
}

TEST(SarvikWithoutIterator, MemoryRunningOutOnTheFirstRun)
{
    ASSERT_TRUE(InstallAllocator()) << "ICU was used before the test";
    Plugin plugin;
    ASSERT_NE(plugin.entry, nullptr) << plugin.error;
    const std::vector<uint32_t> run = Utf32(U"Memory runs out: (12.5%) «text» 😀 日本語。");
    IcuReference icu("en_GB");
    const Flags expected = icu.Breaks(run);
    const Flags none(run.size(), 0);
    // The first run builds the rule walker, which needs ICU to open its trie;
    // with nothing left, that fails, and so does the ICU engine's text.
    for (long allowed : {0L, 1L, 2L, 3L}) {
        auto finder = plugin.Make("en_GB");
        gIcuAllocationsLeft = allowed;
        const Flags during = RunFinder(*finder, run);
        gIcuAllocationsLeft = -1;
        EXPECT_TRUE(during == expected || during == none)
            << "with " << allowed << " ICU allocations: " << Positions(during);
        // Afterwards the finder answers, from whichever engine it kept.
        EXPECT_EQ(RunFinder(*finder, run), expected) << "after " << allowed << " ICU allocations";
    }
}

}  // namespace
