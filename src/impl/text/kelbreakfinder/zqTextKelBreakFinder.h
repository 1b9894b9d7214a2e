// zqTextKelBreakFinder: the plug-in's finder, which answers with ICU's line
// break iterator for its locale.
//
// Its layout is part of the plug-in's interface: the constructor is exported,
// so a host may declare the class exactly as below and construct it in
// storage of its own (sizeof is four pointers: the virtual table pointer,
// then the three members, in this order). Everything else the finder needs
// (its rule walker, its dictionary scan, its working texts) lives in the
// object that `locale` points to, a zqKelFinderLocale (zqKelFinderLocale.h),
// which is made with the finder and deleted with it through icu::Locale's
// virtual destructor. zqTextKelBreakFinder.cpp checks the size and offsets at
// compile time.
//
// Memory: between calls a finder keeps at most 256 KiB of its own (its rule
// walker, its dictionary scan and its working buffers; ICU's iterator and
// ICU's shared data aside): a call that needed larger buffers gives them back
// before it returns.

#ifndef ZQ_TEXT_KEL_BREAK_FINDER_H
#define ZQ_TEXT_KEL_BREAK_FINDER_H

#include "zqTextBreakFinder.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>

class zqTextKelBreakFinder : public zqTextBreakFinder {
public:
    // Copies localeName (null counts as ""), builds the ICU locale from it and
    // creates its line break iterator. Throws std::bad_alloc, leaving nothing
    // behind, when storage runs out for any of them, ICU's included: a finder
    // never holds other rules than its locale's, or none.
    explicit zqTextKelBreakFinder(const char* localeName);

    // Deletes the iterator, then the locale (with the working state it
    // carries), then the name.
    ~zqTextKelBreakFinder() override;

    void SetBreakCandidates(unsigned long count, const uint32_t* codePoints,
                            const uint32_t* unusedCodePoints, bool* breakFlags,
                            bool unusedFlag) override;

    const char* GetCurrentLocale() const override;

private:
    // Lets tests look at the working state (tests/sarvik defines it; the
    // library does not).
    friend struct zqTextKelBreakFinderTestAccess;

    // The only members: each a raw owning pointer, set by the constructor.
    // `locale` always points to a zqKelFinderLocale.
    char* localeName;
    icu::Locale* locale;
    icu::BreakIterator* breakIterator;
};

#endif  // ZQ_TEXT_KEL_BREAK_FINDER_H
