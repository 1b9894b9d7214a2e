// zqTextKelBreakFinder: the plug-in's finder, which answers with ICU's line
// break iterator for its locale. Internal to the library: hosts see it only as
// a zqTextBreakFinder.

#ifndef ZQ_TEXT_KEL_BREAK_FINDER_H
#define ZQ_TEXT_KEL_BREAK_FINDER_H

#include "zqTextBreakFinder.h"

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
    // Every member empty; the public constructor starts from here.
    zqTextKelBreakFinder();

    // Gives codePoints[0..count-1] to the iterator as UTF-16 and sets the flag
    // of every boundary but the last. breakFlags are already all false.
    // This is the ICU engine; a faster engine with the same answers would be
    // chosen in SetBreakCandidates, ahead of this one.
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
};

#endif  // ZQ_TEXT_KEL_BREAK_FINDER_H
