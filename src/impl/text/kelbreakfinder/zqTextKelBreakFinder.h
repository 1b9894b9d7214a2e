// zqTextKelBreakFinder: the plug-in's finder, which answers with ICU's line
// break iterator for its locale. Internal to the library: hosts see it only as
// a zqTextBreakFinder.

#ifndef ZQ_TEXT_KEL_BREAK_FINDER_H
#define ZQ_TEXT_KEL_BREAK_FINDER_H

#include "zqKelRuleWalker.h"
#include "zqTextBreakFinder.h"

#include <memory>
#include <vector>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

class zqTextKelBreakFinder : public zqTextBreakFinder {
public:
    // Copies localeName (null counts as ""), builds the ICU locale from it and
    // creates its line break iterator. When ICU cannot create one the finder
    // holds none and SetBreakCandidates only clears the flags.
    explicit zqTextKelBreakFinder(const char* localeName);

    // Deletes the iterator, then the locale, then the name.
    ~zqTextKelBreakFinder() override;

    void SetBreakCandidates(unsigned long count, const uint32_t* codePoints,
                            const uint32_t* unusedCodePoints, bool* breakFlags,
                            bool unusedFlag) override;

    const char* GetCurrentLocale() const override;

private:
    // Lets tests see which engine answered and give the finder other rule
    // data (tests/sarvik defines it; the library does not).
    friend struct zqTextKelBreakFinderTestAccess;

    // What gave the last run's answer: nothing (no iterator), the rule for a
    // single value, the rule walker, or ICU.
    enum class Engine : uint8_t { None, SingleValue, Rules, Icu };

    // Every member empty; the public constructor starts from here.
    zqTextKelBreakFinder();

    // Builds the rule walker from the iterator's compiled rules, once: on
    // the first run that needs it, so that creating a finder costs no more
    // than ICU's own iterator does. Leaves none when the iterator is not
    // ICU's rule-based one or its rules are not ones the walker knows.
    void PrepareRuleWalker();

    // Builds the walker from rules[0..length-1] (which must live as long as
    // the finder), replacing any walker built before; none if the walker
    // does not take them.
    void UseRules(const uint8_t* rules, uint32_t length);

    // Gives codePoints[0..count-1] to the iterator as UTF-16 and sets the flag
    // of every boundary but the last. breakFlags are already all false.
    // This is the ICU engine, for every run that the rule walker leaves to it.
    void MarkIcuBoundaries(unsigned long count, const uint32_t* codePoints, bool* breakFlags);

    // The conversion and walk for runs whose UTF-16 offsets are not their
    // input positions, into `text`; Position holds an input position. `units`
    // (text's open buffer) has room for `capacity` units and holds the first `plainCount`
    // values (all at most U+FFFF) already.
    template <typename Position>
    void MarkGeneralRun(icu::UnicodeString& text, unsigned long count, const uint32_t* codePoints,
                        unsigned long plainCount, char16_t* units, unsigned long capacity,
                        bool* breakFlags, std::vector<Position>& positionAt);

    // Lets go of the working buffers, pointing the iterator at an empty text
    // so that it never refers to freed storage.
    void ReleaseWorkText();

    // The three owning members come first, in this order.
    char* localeName = nullptr;
    icu::Locale* locale = nullptr;
    icu::BreakIterator* breakIterator = nullptr;

    // The UTF-16 texts of the runs, reused from call to call in turn;
    // workTexts[textInUse] is the one the iterator was given last. The
    // iterator refers to it between calls, so it lives as long as the
    // iterator does (members are destroyed after the destructor's body has
    // deleted the iterator).
    icu::UnicodeString workTexts[2];
    unsigned textInUse = 0;

    // For runs with supplementary characters or values above U+10FFFF: the
    // input position of each UTF-16 offset of the text (64-bit positions only
    // for runs of 2^31 values or more).
    std::vector<uint32_t> positionAt32;
    std::vector<unsigned long> positionAt64;

    // Whether the processor can take the four-at-a-time conversion.
    bool haveSsse3 = false;

    // The fast engine, which answers from the iterator's own compiled rules
    // without building ICU text (see zqKelRuleWalker.h); null until built,
    // and when it cannot be.
    std::unique_ptr<zqKelRuleWalker> ruleWalker;
    bool ruleWalkerTried = false;
    Engine lastEngine = Engine::None;
};

#endif  // ZQ_TEXT_KEL_BREAK_FINDER_H
