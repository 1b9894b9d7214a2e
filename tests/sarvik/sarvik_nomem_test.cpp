// A finder whose ICU objects could not be made. ICU takes its storage from
// allocation functions that a process may replace before its first use of
// ICU; here they fail on demand, so the plug-in meets ICU running out of
// memory: no locale object at all, or a locale but no line iterator.

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

TEST(SarvikWithoutIterator, FlagsAreClearedAndNothingElseHappens)
{
    UErrorCode status = U_ZERO_ERROR;
    u_setMemoryFunctions(nullptr, Allocate, Reallocate, Free, &status);
    ASSERT_TRUE(U_SUCCESS(status)) << "ICU was used before the test: " << u_errorName(status);
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

}  // namespace
