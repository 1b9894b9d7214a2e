// The plug-in's speed against raw ICU, measured in the same run.
//
//   Break/<mix>/<n>/Sarvik   SetBreakCandidates on n code points, through the
//                            plug-in loaded with dlopen, as a host calls it
//   Break/<mix>/<n>/ICU      raw ICU: setText on a prebuilt UTF-16
//                            UnicodeString and the whole first()/next() walk,
//                            same locale, same text
//   Create/<locale>/Sarvik   zqTextBreakFinderEntry + delete
//   Create/<locale>/ICU      BreakIterator::createLineInstance + delete
//   FirstRun/<locale>        the same, with one run of 16 code points before
//                            the delete (the finder builds its rule walker on
//                            its first run)
//   Odd/<value>/<where>/n    n values of the ASCII prose with one value only
//                            ICU answers (a Thai letter, a lone surrogate, a
//                            value above U+10FFFF) at the end or the start
//
// Then the memory each finder holds (bytes allocated, measured by malloc's
// own count) after creation, after a first run of 256 values, and after a
// run of 1,000,000 values followed by one of 16.
//
// After the runs a table gives each pair's times and ratio (Sarvik / ICU) and,
// for one code point, the difference in nanoseconds. Standalone:
//   sarvik_bench [--benchmark_repetitions=5] [--benchmark_filter=...]
// SARVIK_PLUGIN overrides the plug-in to load. SARVIK_BASELINE_PLUGIN names
// another build of it (an earlier one, say), whose finder is then timed in
// the same iterations of Break/ and Odd/ ("before" in the table).

#include "zqTextBreakFinder.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace {

zqTextBreakFinderEntryProc gEntry = nullptr;
zqTextBreakFinderEntryProc gBaselineEntry = nullptr;

struct Mix {
    const char* name;
    const char* locale;
    const char32_t* text;
};

const Mix kMixes[] = {
    {"ascii", "en",
     U"It was a bright cold day in April, and the clocks were striking thirteen. Winston Smith, "
     U"his chin nuzzled into his breast in an effort to escape the vile wind, slipped quickly "
     U"through the glass doors of Victory Mansions, though not quickly enough to prevent a "
     U"swirl of gritty dust from entering along with him (about 1984 of them, some say). "},
    {"latin-cjk", "ja",
     U"The meeting in 東京 starts at 10:30 tomorrow. 会議の資料は「共有フォルダ」にあります。"
     U"Please bring the 2017年 report, and 新しい提案 for the Q3 roadmap—thanks! "
     U"北京和上海的办公室也会参加。Café owners in Zürich naïvely ordered 寿司 again. "},
    {"thai", "th",
     U"ภาษาไทยเป็นภาษาที่มีระดับเสียงของคำแน่นอนหรือวรรณยุกต์เช่นเดียวกับภาษาจีน "
     U"และออกเสียงแยกคำต่อคำ นักภาษาศาสตร์บางคนเชื่อว่าภาษาไทยเป็นภาษาที่มีรากฐานมาจาก"
     U"ตระกูลภาษาไท-กะได ซึ่งมีผู้พูดอยู่ทั่วไปในภูมิภาคเอเชียตะวันออกเฉียงใต้ "},
    {"emoji", "en",
     U"Great job 👍🏽 see you 😀 at the beach 🏖️ party! Family: 👨‍👩‍👧 flags 🇯🇵🇩🇪 "
     U"keycap 1️⃣ hearts ❤️‍🔥 and 🧑🏿‍💻 coding all night 🌙✨ — cheers 🍻🎉 #1 "},
};

// One code point is answered without either engine; two is the smallest run
// the rule walker walks.
const int kSizes[] = {1, 2, 16, 256, 65536};

const char* const kLocales[] = {"en", "ja", "th", "zh", "", "de@lb=strict", "ja@lw=phrase"};

std::vector<uint32_t> Run(const Mix& mix, size_t count)
{
    const std::u32string text(mix.text);
    std::vector<uint32_t> run;
    while (run.size() < count) {
        run.insert(run.end(), text.begin(), text.end());
    }
    run.resize(count);
    return run;
}

// Each benchmark iteration times one batch of raw ICU calls and then one
// batch of plug-in calls, so both meet the same state of the machine; the
// fastest batch of each, per call, goes into the counters. On a shared or
// virtual machine other work only ever adds time, so the minimum is the
// steadiest estimate of the code's own cost.
class PairTimer {
public:
    explicit PairTimer(int callsPerBatch) : calls(callsPerBatch) {}

    template <typename Icu, typename Sarvik>
    void Run(benchmark::State& state, Icu icu, Sarvik sarvik)
    {
        Run(state, icu, sarvik, sarvik, false);
    }

    // With a third batch, of the baseline plug-in, when haveBaseline.
    template <typename Icu, typename Sarvik, typename Baseline>
    void Run(benchmark::State& state, Icu icu, Sarvik sarvik, Baseline baseline, bool haveBaseline)
    {
        for (auto _ : state) {
            icuBest = std::min(icuBest, Time(icu));
            sarvikBest = std::min(sarvikBest, Time(sarvik));
            if (haveBaseline) {
                baselineBest = std::min(baselineBest, Time(baseline));
            }
        }
        state.counters["icu_ns"] = icuBest;
        state.counters["sarvik_ns"] = sarvikBest;
        state.counters["ratio"] = sarvikBest / icuBest;
        if (haveBaseline) {
            state.counters["before_ns"] = baselineBest;
        }
    }

private:
    template <typename Call>
    double Time(Call call)
    {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) {
            call();
        }
        const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
        return spent.count() / calls;
    }

    int calls;
    double icuBest = 1e300;
    double sarvikBest = 1e300;
    double baselineBest = 1e300;
};

// One value that only ICU answers, in a run of ASCII prose.
struct Odd {
    const char* name;
    uint32_t value;
};

const Odd kOddValues[] = {{"thai", 0x0E01}, {"surrogate", 0xD800}, {"above", 0x110000}};
const char* const kOddPlaces[] = {"end", "start"};
const int kOddSize = 65536;

std::string OddName(const Odd& odd, const char* where)
{
    return std::string("Odd/") + odd.name + "/" + where + "/" + std::to_string(kOddSize);
}

std::vector<uint32_t> OddRun(const Odd& odd, const std::string& where, size_t count)
{
    std::vector<uint32_t> run = Run(kMixes[0], count);
    run[where == "end" ? count - 1 : 0] = odd.value;
    return run;
}

void BreakRun(benchmark::State& state, const char* locale, const std::vector<uint32_t>& run)
{
    const auto count = static_cast<int>(run.size());
    std::unique_ptr<zqTextBreakFinder> finder(gEntry(locale));
    std::unique_ptr<zqTextBreakFinder> baseline(gBaselineEntry != nullptr ? gBaselineEntry(locale) : nullptr);
    std::unique_ptr<bool[]> flags(new bool[count]);

    icu::UnicodeString text;
    for (uint32_t value : run) {
        text.append(static_cast<UChar32>(value));
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createLineInstance(icu::Locale(locale), status));

    PairTimer timer(std::max(1, 4096 / count));
    timer.Run(
        state,
        [&] {
            iterator->setText(text);
            int32_t boundaries = 0;
            for (int32_t b = iterator->first(); b != icu::BreakIterator::DONE; b = iterator->next()) {
                ++boundaries;
            }
            benchmark::DoNotOptimize(boundaries);
        },
        [&] {
            finder->SetBreakCandidates(run.size(), run.data(), nullptr, flags.get(), false);
            benchmark::ClobberMemory();
        },
        [&] {
            baseline->SetBreakCandidates(run.size(), run.data(), nullptr, flags.get(), false);
            benchmark::ClobberMemory();
        },
        baseline != nullptr);
    state.SetItemsProcessed(state.iterations() * count);
}

void Break(benchmark::State& state, const Mix* mix, int count)
{
    BreakRun(state, mix->locale, Run(*mix, count));
}

void BreakOdd(benchmark::State& state, const Odd* odd, const char* where)
{
    BreakRun(state, "en", OddRun(*odd, where, kOddSize));
}

// What malloc has handed out and not had back, in bytes.
size_t AllocatedBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// The memory one finder holds at each stage, for a locale and a kind of text.
void PrintMemory(const char* label, const char* locale, const std::vector<uint32_t>& longRun)
{
    const std::vector<uint32_t> first(longRun.begin(), longRun.begin() + 256);
    const std::vector<uint32_t> last(longRun.end() - 16, longRun.end());
    std::unique_ptr<bool[]> flags(new bool[longRun.size()]);
    delete gEntry(locale);  // ICU's shared data for the locale, loaded once
    const size_t before = AllocatedBytes();
    zqTextBreakFinder* finder = gEntry(locale);
    const size_t created = AllocatedBytes() - before;
    finder->SetBreakCandidates(first.size(), first.data(), nullptr, flags.get(), false);
    const size_t afterFirst = AllocatedBytes() - before;
    finder->SetBreakCandidates(longRun.size(), longRun.data(), nullptr, flags.get(), false);
    finder->SetBreakCandidates(last.size(), last.data(), nullptr, flags.get(), false);
    const size_t afterLong = AllocatedBytes() - before;
    delete finder;
    std::printf("%-28s %12zu %12zu %12zu\n", label, created, afterFirst, afterLong);
}

// A run of 16 for the first-run benchmark, in the locale's script.
const Mix& MixFor(const char* locale)
{
    const std::string name(locale);
    if (name.rfind("th", 0) == 0) {
        return kMixes[2];
    }
    return name.rfind("ja", 0) == 0 || name.rfind("zh", 0) == 0 ? kMixes[1] : kMixes[0];
}

void FirstRun(benchmark::State& state, const char* name)
{
    const icu::Locale locale(*name != '\0' ? name : nullptr, nullptr, nullptr, nullptr);
    const std::vector<uint32_t> run = Run(MixFor(name), 16);
    icu::UnicodeString text;
    for (uint32_t value : run) {
        text.append(static_cast<UChar32>(value));
    }
    bool flags[16];
    PairTimer timer(16);
    timer.Run(
        state,
        [&] {
            UErrorCode status = U_ZERO_ERROR;
            icu::BreakIterator* iterator = icu::BreakIterator::createLineInstance(locale, status);
            iterator->setText(text);
            int32_t boundaries = 0;
            for (int32_t b = iterator->first(); b != icu::BreakIterator::DONE; b = iterator->next()) {
                ++boundaries;
            }
            benchmark::DoNotOptimize(boundaries);
            delete iterator;
        },
        [&] {
            zqTextBreakFinder* finder = gEntry(name);
            finder->SetBreakCandidates(run.size(), run.data(), nullptr, flags, false);
            benchmark::ClobberMemory();
            delete finder;
        });
}

void Create(benchmark::State& state, const char* name)
{
    const icu::Locale locale(*name != '\0' ? name : nullptr, nullptr, nullptr, nullptr);
    PairTimer timer(16);
    timer.Run(
        state,
        [&] {
            UErrorCode status = U_ZERO_ERROR;
            icu::BreakIterator* iterator = icu::BreakIterator::createLineInstance(locale, status);
            benchmark::DoNotOptimize(iterator);
            delete iterator;
        },
        [&] {
            zqTextBreakFinder* finder = gEntry(name);
            benchmark::DoNotOptimize(finder);
            delete finder;
        });
}

// Prints the usual console lines, then the table of the pairs' counters.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || !run.counters.count("ratio")) {
                continue;
            }
            Row& row = rows[run.run_name.str()];
            const double icu = run.counters.at("icu_ns");
            const double sarvik = run.counters.at("sarvik_ns");
            // Across repetitions, the fastest of each side.
            row.icu = row.seen ? std::min(row.icu, icu) : icu;
            row.sarvik = row.seen ? std::min(row.sarvik, sarvik) : sarvik;
            if (run.counters.count("before_ns")) {
                const double before = run.counters.at("before_ns");
                row.before = row.before > 0 ? std::min(row.before, before) : before;
            }
            row.seen = true;
        }
    }

    void PrintTables() const
    {
        std::printf("\n%-10s %-6s %6s %14s %14s %8s %12s %14s %8s\n", "odd value", "where", "n", "raw ICU ns",
                    "Sarvik ns", "ratio", "diff ns", "before ns", "before");
        for (const Odd& odd : kOddValues) {
            for (const char* where : kOddPlaces) {
                const auto found = rows.find(OddName(odd, where));
                if (found != rows.end()) {
                    const Row& row = found->second;
                    std::printf("%-10s %-6s %6d %14.1f %14.1f %8.3f %+12.1f", odd.name, where, kOddSize, row.icu,
                                row.sarvik, row.sarvik / row.icu, row.sarvik - row.icu);
                    PrintBefore(row);
                }
            }
        }
        std::printf("\n%-10s %6s %14s %14s %8s %12s %14s %8s\n", "mix", "n", "raw ICU ns", "Sarvik ns", "ratio",
                    "diff ns", "before ns", "before");
        for (const Mix& mix : kMixes) {
            for (int size : kSizes) {
                PrintRow(std::string("Break/") + mix.name + "/" + std::to_string(size), mix.name, size);
            }
        }
        for (const char* kind : {"Create", "FirstRun"}) {
            std::printf("\n%-17s %14s %14s %8s %12s\n",
                        std::string(kind) == "Create" ? "create (locale)" : "first run (locale)", "raw ICU ns",
                        "Sarvik ns", "ratio", "diff ns");
            for (const char* locale : kLocales) {
                PrintRow(std::string(kind) + "/" + (*locale ? locale : "\"\""), *locale ? locale : "\"\"", 0);
            }
        }
    }

private:
    struct Row {
        double icu = 0, sarvik = 0, before = 0;
        bool seen = false;
    };

    // The baseline's time and ratio, when it was timed, and the line's end.
    static void PrintBefore(const Row& row)
    {
        if (row.before > 0) {
            std::printf(" %14.1f %8.3f", row.before, row.before / row.icu);
        }
        std::printf("\n");
    }

    void PrintRow(const std::string& name, const std::string& label, int size) const
    {
        const auto found = rows.find(name);
        if (found == rows.end()) {
            return;  // filtered out
        }
        const Row& row = found->second;
        if (size == 0) {
            std::printf("%-17s %14.1f %14.1f %8.3f %+12.1f\n", label.c_str(), row.icu, row.sarvik,
                        row.sarvik / row.icu, row.sarvik - row.icu);
        } else {
            std::printf("%-10s %6d %14.1f %14.1f %8.3f %+12.1f", label.c_str(), size, row.icu, row.sarvik,
                        row.sarvik / row.icu, row.sarvik - row.icu);
            PrintBefore(row);
        }
    }

    std::map<std::string, Row> rows;
};

}  // namespace

int main(int argc, char** argv)
{
    const char* fromEnv = std::getenv("SARVIK_PLUGIN");
    const std::string path = fromEnv != nullptr && *fromEnv != '\0' ? fromEnv : SARVIK_PLUGIN_PATH;
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "sarvik_bench: cannot load the plug-in %s: %s\n", path.c_str(), dlerror());
        return 1;
    }
    gEntry = reinterpret_cast<zqTextBreakFinderEntryProc>(dlsym(library, "zqTextBreakFinderEntry"));
    if (gEntry == nullptr) {
        std::fprintf(stderr, "sarvik_bench: no zqTextBreakFinderEntry in the plug-in %s\n", path.c_str());
        return 1;
    }
    if (const char* baseline = std::getenv("SARVIK_BASELINE_PLUGIN"); baseline != nullptr && *baseline != '\0') {
        void* other = dlopen(baseline, RTLD_NOW | RTLD_LOCAL);
        gBaselineEntry = other != nullptr ? reinterpret_cast<zqTextBreakFinderEntryProc>(
                                                dlsym(other, "zqTextBreakFinderEntry"))
                                          : nullptr;
        if (gBaselineEntry == nullptr) {
            std::fprintf(stderr, "sarvik_bench: cannot load the baseline plug-in %s: %s\n", baseline,
                         other == nullptr ? dlerror() : "no zqTextBreakFinderEntry");
            return 1;
        }
    }

    for (const Mix& mix : kMixes) {
        for (int size : kSizes) {
            const std::string name = std::string("Break/") + mix.name + "/" + std::to_string(size);
            benchmark::RegisterBenchmark(name.c_str(), Break, &mix, size);
        }
    }
    for (const Odd& odd : kOddValues) {
        for (const char* where : kOddPlaces) {
            benchmark::RegisterBenchmark(OddName(odd, where).c_str(), BreakOdd, &odd, where);
        }
    }
    for (const char* locale : kLocales) {
        const std::string name = std::string("Create/") + (*locale ? locale : "\"\"");
        benchmark::RegisterBenchmark(name.c_str(), Create, locale);
    }
    for (const char* locale : kLocales) {
        const std::string name = std::string("FirstRun/") + (*locale ? locale : "\"\"");
        benchmark::RegisterBenchmark(name.c_str(), FirstRun, locale);
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTables();

    std::printf("\n%-28s %12s %12s %12s\n", "memory per finder (bytes)", "created", "first 256", "1M then 16");
    std::vector<uint32_t> thaiAtEnd = OddRun(kOddValues[0], "end", 1'000'000);
    PrintMemory("ASCII prose (en)", "en", Run(kMixes[0], 1'000'000));
    PrintMemory("ASCII, one Thai at end (en)", "en", thaiAtEnd);
    std::vector<uint32_t> emojiThai = Run(kMixes[3], 1'000'000);
    emojiThai.back() = 0x0E01;
    PrintMemory("emoji, one Thai at end (en)", "en", emojiThai);
    PrintMemory("Thai (th)", "th", Run(kMixes[2], 1'000'000));
    benchmark::Shutdown();
    // The plug-in stays loaded: the finders' ICU lives on in its caches.
    return 0;
}
