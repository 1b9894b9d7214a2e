// The finder against raw ICU: random runs across locales, and every line of
// the Unicode line-break test file in every one of those locales. The finder
// is linked from its sources here (not loaded as the plug-in), so that each
// run's answer can be told apart by the engine that gave it: the rule walker
// must carry most of them, ICU the rest, and no answer may differ.
//
// SARVIK_DIFF_RUNS sets the number of random runs (by default ten million,
// fewer in the sanitizer build: SARVIK_DIFF_DEFAULT_RUNS), shared among one
// thread per processor core, each with its own finders and its own share of
// the seeds; SARVIK_DIFF_SEED sets the seed (printed, to replay a failure:
// the same seed and number of runs give the same runs on any machine).
//
// Built with SARVIK_BROKEN_WALKER (against a finder whose walker is
// deliberately wrong: look-ahead rules walked or folded, its Latin-1 category
// table, or its walk by runs), the same tests must find differences (and are
// named SarvikBrokenWalker.CaughtBy*): that shows they would catch such a
// fault.

#include "SarvikInternalAccess.h"
#include "SarvikRunMaker.h"
#include "SarvikTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace sarvik_test;
using Access = zqTextKelBreakFinderTestAccess;

namespace {

const char* const kLocales[] = {"en", "ja", "zh", "th", "ko", "de", "", "en@lb=strict", "en@lb=loose",
                                "ja@lb=strict", "ja@lw=phrase", "fi", "ja@lb=loose", "ja@lb=normal",
                                "ja@lb=loose;lw=phrase", "ja@lb=normal;lw=phrase"};
constexpr size_t kLocaleCount = sizeof kLocales / sizeof kLocales[0];

// Where two answers first part, with the values and flags around it.
std::string FirstDifference(const std::vector<uint32_t>& run, const Flags& got, const Flags& raw)
{
    size_t at = 0;
    while (at < run.size() && got[at] == raw[at]) {
        ++at;
    }
    const size_t from = at > 8 ? at - 8 : 0;
    const size_t to = std::min(run.size(), at + 8);
    std::string values, finder, icu;
    char buffer[16];
    for (size_t j = from; j < to; ++j) {
        std::snprintf(buffer, sizeof buffer, " %04X", run[j]);
        values += buffer;
        if (got[j] != 0) {
            finder += " " + std::to_string(j);
        }
        if (raw[j] != 0) {
            icu += " " + std::to_string(j);
        }
    }
    return "first difference at " + std::to_string(at) + " of " + std::to_string(run.size()) + "; values " +
           std::to_string(from) + ".." + std::to_string(to - 1) + ":" + values + "\n  finder  {" + finder +
           " }\n  raw ICU {" + icu + " }";
}

unsigned long EnvNumber(const char* name, unsigned long fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 0) : fallback;
}

// A finder and raw ICU for each locale, and what they did.
class Comparison {
public:
    // `walk` as Access::UseWalk takes it.
    explicit Comparison(int walk = 0)
    {
        for (const char* name : kLocales) {
            finders.push_back(std::make_unique<zqTextKelBreakFinder>(name));
            references.push_back(std::make_unique<IcuReference>(name));
            if (walk != 0 && Access::HasRuleWalker(*finders.back())) {
                Access::UseWalk(*finders.back(), walk);
            }
        }
    }

    // Compares the answers for `run` in locale `which`; describes the first
    // few differences in `failures`.
    void Check(size_t which, const std::vector<uint32_t>& run, const std::string& label)
    {
        bool guardsIntact = false;
        const Flags got = RunFinder(*finders[which], run, &guardsIntact);
        const auto engine = Access::LastEngine(*finders[which]);
        ++byEngine[static_cast<int>(engine)];
        ++runs;
        codePoints += run.size();
        const Flags raw = references[which]->Breaks(run);
        if (got == raw && guardsIntact) {
            return;
        }
        ++mismatches;
        if (mismatches <= 10) {
            failures += label + " locale \"" + kLocales[which] + "\" (" + EngineName(engine) + ")" +
                        (guardsIntact ? "" : " wrote outside the flags") + "\n  " +
                        (got == raw ? "values " + Hex(run) : FirstDifference(run, got, raw)) + "\n";
        }
    }

    std::string Summary() const
    {
        return std::to_string(runs) + " runs, " + std::to_string(codePoints) + " code points: " +
               std::to_string(byEngine[static_cast<int>(Access::Engine::Rules)]) + " answered by the rule walker, " +
               std::to_string(byEngine[static_cast<int>(Access::Engine::Icu)]) + " by ICU, " +
               std::to_string(byEngine[static_cast<int>(Access::Engine::SingleValue)]) +
               " single values; " + std::to_string(mismatches) + " differences";
    }

    unsigned long Answered(Access::Engine engine) const { return byEngine[static_cast<int>(engine)]; }

    // Adds another comparison's counts and first differences to these.
    void Add(const Comparison& other)
    {
        runs += other.runs;
        codePoints += other.codePoints;
        mismatches += other.mismatches;
        for (int e = 0; e < 4; ++e) {
            byEngine[e] += other.byEngine[e];
        }
        if (failures.size() < 4000) {
            failures += other.failures;
        }
    }

    std::vector<std::unique_ptr<zqTextKelBreakFinder>> finders;
    std::vector<std::unique_ptr<IcuReference>> references;
    unsigned long runs = 0, codePoints = 0, mismatches = 0;
    unsigned long byEngine[4] = {};
    std::string failures;
};

// No difference at all, with the walker carrying at least `walkerShare` of
// the runs; or, against the broken walker, differences found.
void Judge(const Comparison& comparison, double walkerShare)
{
    std::printf("%s\n", comparison.Summary().c_str());
#ifdef SARVIK_BROKEN_WALKER
    (void)walkerShare;
    EXPECT_GT(comparison.mismatches, 0u) << "the broken walker went unnoticed: " << comparison.Summary();
    std::printf("the broken walker was caught; first differences:\n%s", comparison.failures.c_str());
#else
    EXPECT_EQ(comparison.mismatches, 0u) << comparison.Summary() << "\n" << comparison.failures;
    EXPECT_GE(comparison.Answered(Access::Engine::Rules), walkerShare * comparison.runs) << comparison.Summary();
    EXPECT_GT(comparison.Answered(Access::Engine::Icu), 0u) << comparison.Summary();
#endif
}

#ifdef SARVIK_BROKEN_WALKER
#define SARVIK_DIFFERENTIAL SarvikBrokenWalker
#define SARVIK_RANDOM_RUNS CaughtByRandomRuns
#define SARVIK_TEST_FILE CaughtByTheLineBreakTestFile
#else
#define SARVIK_DIFFERENTIAL SarvikDifferential
#define SARVIK_RANDOM_RUNS RandomRunsAgreeWithIcu
#define SARVIK_TEST_FILE LineBreakTestFileInEveryLocale
#endif

TEST(SARVIK_DIFFERENTIAL, SARVIK_RANDOM_RUNS)
{
    const unsigned long runs = EnvNumber("SARVIK_DIFF_RUNS", SARVIK_DIFF_DEFAULT_RUNS);
    const unsigned long seed = EnvNumber(
        "SARVIK_DIFF_SEED", static_cast<unsigned long>(std::chrono::system_clock::now().time_since_epoch().count()));
    std::printf("SARVIK_DIFF_RUNS=%lu SARVIK_DIFF_SEED=%lu\n", runs, seed);
    // Shard s makes runs s, s + kShards, ... from seed + s, whatever the
    // number of threads that share the shards.
    constexpr unsigned kShards = 16;
    const unsigned threads = std::max(1u, std::min(kShards, std::thread::hardware_concurrency()));
    // The shards take turns at the ways the walker walks.
    std::vector<Comparison> shards;
    for (unsigned shard = 0; shard < kShards; ++shard) {
        shards.emplace_back(shard % 4);
    }
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (unsigned shard = t; shard < kShards; shard += threads) {
                RunMaker maker(seed + shard);
                for (unsigned long i = shard; i < runs; i += kShards) {
                    shards[shard].Check(i % kLocaleCount, maker.Make(),
                                        "seed " + std::to_string(seed) + " run " + std::to_string(i));
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    Comparison comparison;
    for (const Comparison& shard : shards) {
        comparison.Add(shard);
    }
    Judge(comparison, 0.6);
}

#ifndef SARVIK_BROKEN_WALKER
// Text of the kinds the walker answers for, in locales whose rules declare no
// dictionary for any of them (all but lw=phrase, which has one for CJK): no
// run may fall back to ICU, or the speed would quietly be lost.
TEST(SarvikDifferential, TheWalkerAnswersEveryRunWithoutDictionaryText)
{
    Comparison comparison;
    RunMaker maker(EnvNumber("SARVIK_DIFF_SEED", 7));
    for (unsigned long i = 0; i < 5000; ++i) {
        const size_t which = i % kLocaleCount;
        if (std::string(kLocales[which]).find("lw=phrase") == std::string::npos) {
            comparison.Check(which, maker.Make(false), "run " + std::to_string(i));
        }
    }
    std::printf("%s\n", comparison.Summary().c_str());
    EXPECT_EQ(comparison.mismatches, 0u) << comparison.failures;
    EXPECT_EQ(comparison.Answered(Access::Engine::Icu), 0u) << comparison.Summary();
}
#endif

// The test file's lines are short: a walker broken only in its walk by
// runs (which takes runs of 32 values and more) answers them right.
#ifndef SARVIK_BROKEN_IN_LONG_RUNS
TEST(SARVIK_DIFFERENTIAL, SARVIK_TEST_FILE)
{
    std::vector<LineBreakTest> tests;
    std::string error;
    ASSERT_TRUE(ReadLineBreakTests(LineBreakTestFilePath(), &tests, &error)) << error;
    // With the look-ahead rules folded into the walker's table, as always,
    // and walked as ICU walks them.
    Comparison comparison;
    for (int walk : {0, 3}) {
        Comparison way(walk);
        for (size_t which = 0; which < kLocaleCount; ++which) {
            for (const LineBreakTest& test : tests) {
                way.Check(which, test.run, "line " + std::to_string(test.lineNumber));
            }
        }
        comparison.Add(way);
    }
    Judge(comparison, 0.8);
}
#endif

}  // namespace
