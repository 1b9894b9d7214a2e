// zqTextBreakFinder.h: the interface between a text engine (the host) and the
// Sarvik line-break plug-in. This is the only header a host compiles against.
//
// LOADING
//   The host loads the plug-in library (libSarvik.so) and looks up the one C
//   entry point, zqTextBreakFinderEntry, by that exact name, e.g.
//       void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
//       auto entry = reinterpret_cast<zqTextBreakFinderEntryProc>(
//           dlsym(lib, "zqTextBreakFinderEntry"));
//
// CALLING ORDER
//   1. finder = entry(localeName)   once per finder wanted; one finder serves
//                                   one locale for its whole life.
//   2. finder->SetBreakCandidates(...) and finder->GetCurrentLocale(), any
//      number of times, in any order.
//   3. delete finder;               exactly once, through this base pointer.
//   The library must stay loaded until every finder it returned is deleted.
//
// OWNERSHIP
//   - The host owns every finder from the moment the entry point returns it and
//     releases it with `delete` through a zqTextBreakFinder pointer (the
//     destructor is virtual; the plug-in frees its own storage).
//   - The entry point copies localeName: the host may free or change its string
//     as soon as the call returns.
//   - GetCurrentLocale() returns the finder's own copy, read-only, valid and
//     unchanged until the finder is deleted.
//   - SetBreakCandidates reads codePoints[0..count-1] and writes
//     breakFlags[0..count-1], both owned by the host, during the call only;
//     the plug-in keeps no pointer to either.
//
// THE CONCRETE CLASS
//   The library also exports zqTextKelBreakFinder, the finder the entry point
//   makes, with its constructor (taking the locale name) and destructor. A
//   host may declare it itself and construct it in its own storage; its
//   layout is fixed: derived singly and publicly from zqTextBreakFinder, and
//   holding exactly three raw owning pointers, in this order,
//       char* localeName; icu::Locale* locale; icu::BreakIterator* breakIterator;
//   (so sizeof is four pointers, with the virtual table pointer).
//
// MEMORY
//   Between calls a finder keeps at most 256 KiB of its own (ICU's iterator
//   and ICU's shared data aside): a call that needed larger working buffers
//   gives them back before it returns.
//
// THREADS
//   A finder is not safe for concurrent use: calls on one finder must not
//   overlap. Separate finders may be used on separate threads. The plug-in has
//   no global state of its own, takes no locks and starts no threads.
//
// ERRORS
//   Nothing is reported by result. A null, empty, unknown or malformed locale
//   name still gives a finder (ICU picks the data it falls back to; null and ""
//   mean ICU's default locale). Storage exhaustion raises std::bad_alloc,
//   which passes to the host; the plug-in catches no exceptions. A finder
//   whose call was left by an exception is as it was before that call (only
//   flags may have been written): its next call answers as usual.

#ifndef ZQ_TEXT_BREAK_FINDER_H
#define ZQ_TEXT_BREAK_FINDER_H

#include <cstdint>

// A line-break finder for one locale. The virtual operations, their order and
// their signatures are fixed: a host built against this header works with any
// build of the plug-in.
class zqTextBreakFinder {
public:
    virtual ~zqTextBreakFinder() = 0;

    // For the run codePoints[0..count-1] (Unicode scalar values, UTF-32, in
    // text order) sets breakFlags[j] to true when a line may begin with the
    // code point at position j, false otherwise; exactly `count` entries are
    // written. The run is judged on its own: entry 0 is true whenever the
    // first value is a code point, and the end of the run has no entry.
    //   - count 0: nothing is read or written (the pointers may be null).
    //   - A lone surrogate value is taken as a text unit of its own; a high
    //     and a low surrogate given as two adjacent values form one character
    //     (the second never gets a flag).
    //   - A value above U+10FFFF is no text: its entry stays false and the
    //     next value that is a code point takes its place.
    //   - `unusedCodePoints` and `unusedFlag` are accepted and never read.
    virtual void SetBreakCandidates(unsigned long count, const uint32_t* codePoints,
                                    const uint32_t* unusedCodePoints, bool* breakFlags,
                                    bool unusedFlag) = 0;

    // The locale name given at creation ("" when it was null or empty), as a
    // NUL-terminated string owned by the finder.
    virtual const char* GetCurrentLocale() const = 0;

    zqTextBreakFinder(const zqTextBreakFinder&) = delete;
    zqTextBreakFinder& operator=(const zqTextBreakFinder&) = delete;

protected:
    zqTextBreakFinder() {}
};

extern "C" {

// Creates a line-break finder for localeName, an ICU locale identifier such as
// "en", "ja_JP", "de@lb=strict" or "ja@lw=phrase"; null or "" selects ICU's
// default locale. Never returns null (failure to allocate throws).
zqTextBreakFinder* zqTextBreakFinderEntry(const char* localeName);

// The entry point's type, for dlsym.
typedef zqTextBreakFinder* (*zqTextBreakFinderEntryProc)(const char* localeName);

}  // extern "C"

#endif  // ZQ_TEXT_BREAK_FINDER_H
