// For the tests that link the finder's sources (sarvik_internal) instead of
// loading the plug-in: which engine answered a run, a way to give a finder
// other rule data than its iterator's, the ICU version its walker sees, and
// what it keeps between calls.

#ifndef SARVIK_INTERNAL_ACCESS_H
#define SARVIK_INTERNAL_ACCESS_H

#include "zqKelFinderLocale.h"
#include "zqTextKelBreakFinder.h"

#include <unicode/rbbi.h>

#include <cstdint>
#include <vector>

struct zqTextKelBreakFinderTestAccess {
    enum class Engine { None, SingleValue, Rules, Icu };

    static zqKelFinderLocale& State(const zqTextKelBreakFinder& finder)
    {
        return *static_cast<zqKelFinderLocale*>(finder.locale);
    }

    static Engine LastEngine(const zqTextKelBreakFinder& finder)
    {
        switch (State(finder).lastEngine) {
        case zqKelFinderLocale::Engine::SingleValue: return Engine::SingleValue;
        case zqKelFinderLocale::Engine::Rules: return Engine::Rules;
        case zqKelFinderLocale::Engine::Icu: return Engine::Icu;
        default: return Engine::None;
        }
    }

    // Whether the finder has a rule walker (building it first, as its first
    // run would).
    static bool HasRuleWalker(zqTextKelBreakFinder& finder)
    {
        if (!State(finder).ruleWalkerTried && finder.breakIterator != nullptr) {
            State(finder).PrepareRuleWalker(*finder.breakIterator);
        }
        return State(finder).ruleWalker != nullptr;
    }

    // The compiled rules of the finder's iterator, copied; empty when it has
    // none.
    static std::vector<uint8_t> CopyOfRules(const zqTextKelBreakFinder& finder)
    {
        auto* rules = dynamic_cast<icu::RuleBasedBreakIterator*>(finder.breakIterator);
        if (rules == nullptr) {
            return {};
        }
        uint32_t length = 0;
        const uint8_t* data = rules->getBinaryRules(length);
        return std::vector<uint8_t>(data, data + length);
    }

    // Makes the finder walk `rules` (which must outlive it), as if its
    // iterator had given them.
    static void UseRules(zqTextKelBreakFinder& finder, const std::vector<uint8_t>& rules)
    {
        State(finder).UseRules(rules.data(), static_cast<uint32_t>(rules.size()));
    }

    // Whether the finder's dictionary scan sends `run` to ICU, and whether its
    // rule walker gives `run` up (both built first, as the first run would).
    static bool ScanSendsToIcu(zqTextKelBreakFinder& finder, const std::vector<uint32_t>& run)
    {
        HasRuleWalker(finder);
        return State(finder).dictionaryScan->NeedsIcu(run.size(), run.data());
    }
    // Makes the finder's dictionary scan take its AVX2 path (if the
    // processor has it) or its plain C++ path, not the AVX-512 one.
    static void UseNarrowScan(zqTextKelBreakFinder& finder, bool avx2)
    {
        HasRuleWalker(finder);
        State(finder).dictionaryScan->haveWide = false;
        State(finder).dictionaryScan->haveAvx2 = State(finder).dictionaryScan->haveAvx2 && avx2;
    }
    // How the finder's walker walks: 0 as it chose, 1 by runs in plain C++
    // (not with AVX-512), 2 one character at a time, 3 as it chose but with
    // the look-ahead rules walked, not folded into its table.
    static void UseWalk(zqTextKelBreakFinder& finder, int walk)
    {
        HasRuleWalker(finder);
        if (walk == 3) {
            uint32_t length = 0;
            const uint8_t* rules =
                dynamic_cast<icu::RuleBasedBreakIterator&>(*finder.breakIterator).getBinaryRules(length);
            State(finder).ruleWalker =
                zqKelRuleWalker::Create(rules, length, zqKelRuleWalker::LookAheadRules::Walked);
            return;
        }
        zqKelRuleWalker& walker = *State(finder).ruleWalker;
        if (walk == 1 && walker.mode == zqKelRuleWalker::Mode::WideRuns) {
            walker.mode = zqKelRuleWalker::Mode::PlainRuns;
        } else if (walk == 2) {
            walker.mode = zqKelRuleWalker::Mode::Characters;
        }
    }
    static bool WalkerGivesUp(zqTextKelBreakFinder& finder, const std::vector<uint32_t>& run)
    {
        HasRuleWalker(finder);
        std::vector<unsigned char> flags(run.size(), 0);
        return !State(finder).ruleWalker->MarkBoundaries(run.size(), run.data(),
                                                         reinterpret_cast<bool*>(flags.data()));
    }

    // Makes the finder see `major` as the running ICU's major version; before
    // its first run of two or more values, when it decides on its walker.
    static void SeeIcuMajor(zqTextKelBreakFinder& finder, int major) { State(finder).runningIcuMajor = major; }

    // Sets the most UTF-16 units a run may have to be text to ICU.
    static void SetMaxTextUnits(zqTextKelBreakFinder& finder, unsigned long units) { State(finder).maxTextUnits = units; }
};

inline const char* EngineName(zqTextKelBreakFinderTestAccess::Engine engine)
{
    switch (engine) {
    case zqTextKelBreakFinderTestAccess::Engine::SingleValue: return "single value";
    case zqTextKelBreakFinderTestAccess::Engine::Rules: return "rule walker";
    case zqTextKelBreakFinderTestAccess::Engine::Icu: return "ICU";
    default: return "none";
    }
}

#endif  // SARVIK_INTERNAL_ACCESS_H
