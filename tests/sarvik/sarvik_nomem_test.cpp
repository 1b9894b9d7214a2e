// Storage running out while a finder is made and while it answers its first
// run. Every allocation the plug-in makes, its own (operator new, replaced
// here) and ICU's (through ICU's allocation functions, set here before ICU is
// used), is counted; the Nth is made to fail, for every N that the step
// reaches. Each time the step must throw std::bad_alloc or give the right
// answer, the finder must answer right afterwards, and deleting it must give
// back everything it took.

#include "SarvikTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include <unicode/uclean.h>

#ifdef __SANITIZE_ADDRESS__
// ICU's own iterator leaks a block or two when its creation fails at some
// points (the test counts them against the finder's); LeakSanitizer is told,
// with stacks unwound in full through ICU's frames.
extern "C" const char* __lsan_default_suppressions() { return "leak:BreakIterator::buildInstance\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
#endif

using namespace sarvik_test;

namespace {

long gAllocations = 0;  // made so far
long gFailAt = 0;       // the one that fails (0: none)
long gLive = 0;         // made and not given back

__attribute__((noinline)) void* Allocate(size_t size)
{
    if (++gAllocations == gFailAt) {
        return nullptr;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    gLive += block != nullptr;
    return block;
}

__attribute__((noinline)) void Free(void* block)
{
    gLive -= block != nullptr;
    std::free(block);
}

void* IcuAllocate(const void*, size_t size) { return Allocate(size); }
void IcuFree(const void*, void* block) { Free(block); }
void* IcuReallocate(const void*, void* block, size_t size)
{
    if (block == nullptr) {
        return Allocate(size);
    }
    if (++gAllocations == gFailAt) {
        return nullptr;
    }
    return std::realloc(block, size);
}

// Once per process, before anything uses ICU.
bool InstallIcuAllocator()
{
    static const bool installed = [] {
        UErrorCode status = U_ZERO_ERROR;
        u_setMemoryFunctions(nullptr, IcuAllocate, IcuReallocate, IcuFree, &status);
        return U_SUCCESS(status);
    }();
    return installed;
}

struct Case {
    const char* locale;
    std::vector<uint32_t> run;
};

// Rules that differ from the root rules on the first run, a run that the
// walker answers, one that goes to ICU (a lone surrogate), and one with
// dictionary text.
const std::vector<Case>& Cases()
{
    static const std::vector<Case> cases = {
        {"ja@lb=loose", {0x65E5, 0x3041, 0x3063, 0x30FC, 0x3005}},
        {"en", Utf32(U"Storage (12.5%) runs out «here», 日本語の文。 😀👍🏽 and there, all along the line.")},
        {"ja@lb=strict", Utf32(U"ICUへ行く\xDC00テキスト、ぁぃぅ。")},
        {"th", Utf32(U"ภาษาไทยไม่มีช่องว่างระหว่างคำ and words")},
    };
    return cases;
}

// Sweeps N over `step`, which makes the Nth allocation fail; returns how many
// N threw (and sets `reached`, the first N the step never got to).
template <typename Step>
long Sweep(Step step, long& reached)
{
    long threw = 0;
    for (long n = 1;; ++n) {
        gAllocations = 0;
        gFailAt = n;
        const bool thrown = step();
        const bool failed = gAllocations >= n;
        gFailAt = 0;
        threw += thrown;
        if (!failed) {
            reached = n;
            return threw;
        }
    }
}

TEST(SarvikNoMemory, EveryFailedAllocationThrowsOrLeavesTheRightAnswer)
{
    ASSERT_TRUE(InstallIcuAllocator()) << "ICU was used before the test";
    Plugin plugin;
    ASSERT_NE(plugin.entry, nullptr) << plugin.error;
    for (const Case& c : Cases()) {
        IcuReference icu(c.locale);
        const Flags expected = icu.Breaks(c.run);
        // ICU keeps its one-time loads (data, dictionaries) for the life of
        // the process: they are made before the sweep. Its caches may also
        // keep what a step made after an earlier one failed, so the sweeps
        // run twice, and the second is the one counted.
        ASSERT_EQ(RunFinder(*plugin.Make(c.locale), c.run), expected) << c.locale;
        Flags flags(c.run.size());
        auto* const out = reinterpret_cast<bool*>(flags.data());
        long creations = 0, creationThrew = 0, calls = 0, callThrew = 0;
        for (int pass = 0; pass < 2; ++pass) {
            long rawLeft = gLive;
            long rawSteps = 0;
            Sweep(
                [&] {
                    icu::Locale* locale = new icu::Locale(c.locale);
                    UErrorCode status = U_ZERO_ERROR;
                    icu::BreakIterator* iterator =
                        locale != nullptr ? icu::BreakIterator::createLineInstance(*locale, status) : nullptr;
                    delete iterator;
                    delete locale;
                    return false;
                },
                rawSteps);
            rawLeft = gLive - rawLeft;
            const long live = gLive;
            creationThrew = Sweep(
                [&] {
                    std::unique_ptr<zqTextBreakFinder> finder;
                    try {
                        finder = plugin.Make(c.locale);
                    } catch (const std::bad_alloc&) {
                        return true;
                    }
                    const long made = gAllocations;
                    gFailAt = 0;
                    EXPECT_STREQ(finder->GetCurrentLocale(), c.locale);
                    finder->SetBreakCandidates(c.run.size(), c.run.data(), nullptr, out, false);
                    EXPECT_EQ(flags, expected) << c.locale << ", allocation " << made;
                    gAllocations = made;
                    return false;
                },
                creations);
            const long createdLive = gLive;
            callThrew = Sweep(
                [&] {
                    const long n = gFailAt;
                    gFailAt = 0;
                    auto finder = plugin.Make(c.locale);
                    const long created = gAllocations;
                    gFailAt = created + n;
                    bool thrown = false;
                    try {
                        finder->SetBreakCandidates(c.run.size(), c.run.data(), nullptr, out, false);
                        gFailAt = 0;
                        EXPECT_EQ(flags, expected) << c.locale << ", allocation " << n << " of the first run";
                    } catch (const std::bad_alloc&) {
                        thrown = true;
                    }
                    const long made = gAllocations - created;
                    gFailAt = 0;
                    finder->SetBreakCandidates(c.run.size(), c.run.data(), nullptr, out, false);
                    EXPECT_EQ(flags, expected) << c.locale << ", after allocation " << n << " of the first run";
                    gAllocations = made;
                    return thrown;
                },
                calls);
            if (pass == 1) {
                // ICU's own iterator leaves a block or two behind when some of
                // its allocations fail; the finder may leave those, no more.
                EXPECT_EQ(createdLive - live, rawLeft) << c.locale << ": blocks left by creations";
                EXPECT_EQ(gLive, createdLive) << c.locale << ": blocks left by first runs";
            }
        }
        EXPECT_GT(creationThrew, 0) << c.locale;
        EXPECT_GT(callThrew, 0) << c.locale;
        std::printf("%s: %ld allocations to make a finder (%ld failures thrown, %ld answered right), %ld in its "
                    "first run (%ld thrown, %ld answered right)\n",
                    c.locale, creations - 1, creationThrew, creations - 1 - creationThrew, calls - 1, callThrew,
                    calls - 1 - callThrew);
    }
}

}  // namespace

// The plug-in's own allocations, counted and made to fail with the others.
void* operator new(size_t size)
{
    void* block = Allocate(size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, std::align_val_t align)
{
    if (++gAllocations == gFailAt) {
        throw std::bad_alloc();
    }
    void* block = std::aligned_alloc(static_cast<size_t>(align), (size + static_cast<size_t>(align) - 1) /
                                                                     static_cast<size_t>(align) *
                                                                     static_cast<size_t>(align));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    ++gLive;
    return block;
}
void* operator new[](size_t size, std::align_val_t align) { return operator new(size, align); }
void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, size_t) noexcept { Free(block); }
void operator delete[](void* block, size_t) noexcept { Free(block); }
void operator delete(void* block, std::align_val_t) noexcept { Free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { Free(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { Free(block); }
void operator delete[](void* block, size_t, std::align_val_t) noexcept { Free(block); }
