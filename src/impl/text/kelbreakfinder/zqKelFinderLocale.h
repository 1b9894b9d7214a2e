// zqKelFinderLocale: the ICU locale of a zqTextKelBreakFinder, carrying the
// finder's working state: its two engines and their buffers. The finder's
// layout is fixed at three pointers, so this is where everything else lives;
// it is made by the finder's constructor and deleted, as the finder's
// `locale`, through icu::Locale's virtual destructor. Internal to the library.

#ifndef ZQ_KEL_FINDER_LOCALE_H
#define ZQ_KEL_FINDER_LOCALE_H

#include "zqKelDictionaryScan.h"
#include "zqKelRuleWalker.h"

#include <cstdint>
#include <memory>
#include <vector>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

// The most a finder keeps of its own between calls: 256 KiB, less room for
// the allocator's own bookkeeping of the blocks. Its rule walker and its
// dictionary scan are bounded; its working buffers may keep what they leave
// (see WorkBufferLimit).
constexpr size_t kZqKelKeptLimit = 256 * 1024 - 4 * 1024;

class zqKelFinderLocale : public icu::Locale {
public:
    // ICU's locale for `name` (null: ICU's default), with no engine built yet.
    explicit zqKelFinderLocale(const char* name);
    ~zqKelFinderLocale() override;
    zqKelFinderLocale(const zqKelFinderLocale&) = delete;
    zqKelFinderLocale& operator=(const zqKelFinderLocale&) = delete;

    // The finder's SetBreakCandidates for count > 0 with an iterator:
    // breakFlags are all false on entry. If anything throws, the exception
    // passes on and the state is as before the call (the flags aside).
    void MarkBreaks(icu::BreakIterator& iterator, unsigned long count, const uint32_t* codePoints,
                    bool* breakFlags);

    // Lets go of the engines, which read the iterator's rule data, before
    // the iterator is deleted.
    void ReleaseEngines();

    // What it may come to keep besides its working buffers, in bytes: this
    // object, the rule walker's tables at their largest, the dictionary scan.
    size_t FixedBytes() const;

    // The working buffers' part of what it keeps, and how much of it may
    // stay after a call: what kZqKelKeptLimit leaves of FixedBytes.
    size_t WorkBufferBytes() const;
    size_t WorkBufferLimit() const;

    // Whether the rule walker may be used with the ICU whose major version
    // is `major`: only with versions whose iterator the walk was checked
    // against (see docs/sarvik.md).
    static bool WalkerCheckedFor(int major);

private:
    friend struct zqTextKelBreakFinderTestAccess;

    // What gave the last run's answer: nothing (no iterator), the rule for a
    // single value, the rule walker, or ICU.
    enum class Engine : uint8_t { None, SingleValue, Rules, Icu };

    // Builds the rule walker and the dictionary scan from the iterator's
    // compiled rules, once: on the first run that needs them, so that
    // creating a finder costs no more than ICU's own iterator does. Leaves
    // none when the running ICU is not one the walker was checked against,
    // the iterator is not ICU's rule-based one, or its rules are not ones the
    // walker knows.
    void PrepareRuleWalker(icu::BreakIterator& iterator);

    // Builds the walker and the scan from rules[0..length-1] (which must live
    // as long as the finder), replacing any built before; none if the walker
    // does not take them.
    void UseRules(const uint8_t* rules, uint32_t length);

    // Gives codePoints[0..count-1] to the iterator as UTF-16 and sets the flag
    // of every boundary but the last. This is the ICU engine, for every run
    // that the rule walker leaves to it.
    void MarkIcuBoundaries(icu::BreakIterator& iterator, unsigned long count, const uint32_t* codePoints,
                           bool* breakFlags);

    // Keeps a text's buffer open, and closes it on the way out.
    class OpenBuffer;

    // The conversion and walk for runs whose UTF-16 offsets are not their
    // input positions, into the text that `open` holds open; `units` has
    // room for two units per value (and some slack) and holds the first
    // `plainCount` values (all at most U+FFFF) already; `position`, room for
    // two per value after those and the slack, receives the input position
    // of each offset from `plainCount` on.
    template <typename Position>
    void MarkGeneralRun(icu::BreakIterator& iterator, OpenBuffer& open, unsigned long count,
                        const uint32_t* codePoints, unsigned long plainCount, char16_t* units, bool* breakFlags,
                        Position* position);

    // The same for runs with few values above U+FFFF, without a position
    // map: `wideAt` lists their positions in order, then `count`; `units`
    // has room for all of the run's units.
    void MarkSparseRun(icu::BreakIterator& iterator, OpenBuffer& open, unsigned long count,
                       const uint32_t* codePoints, unsigned long plainCount, const unsigned long* wideAt,
                       char16_t* units, bool* breakFlags);

    // Gives back working buffers above WorkBufferLimit(): the position
    // maps and the text the iterator does not refer to, then, if that is not
    // enough, the other text too (pointing the iterator at an empty text
    // first).
    void TrimWorkText(icu::BreakIterator& iterator);

    // Lets go of the working buffers, pointing the iterator at an empty text
    // so that it never refers to freed storage.
    void ReleaseWorkText(icu::BreakIterator& iterator);

    // The UTF-16 texts of the runs, reused from call to call in turn;
    // workTexts[textInUse] is the one the iterator was given last. The
    // iterator refers to it between calls, so it lives until the iterator is
    // deleted (the finder deletes the iterator before its locale).
    icu::UnicodeString workTexts[2];
    unsigned textInUse = 0;

    // Storage that grows as needed, left uninitialised.
    template <typename T>
    struct Buffer {
        T* Reserve(size_t count)
        {
            if (capacity < count) {
                data.reset(new T[count]);
                capacity = count;
            }
            return data.get();
        }
        void Release()
        {
            data.reset();
            capacity = 0;
        }
        size_t Bytes() const { return capacity * sizeof(T); }

        std::unique_ptr<T[]> data;
        size_t capacity = 0;
    };

    // For runs with supplementary characters or values above U+10FFFF: the
    // input position of each UTF-16 offset of the text from the first block
    // that holds one (64-bit positions only for runs of 2^31 values or more).
    Buffer<uint32_t> positionAt32;
    Buffer<unsigned long> positionAt64;

    // The most UTF-16 units a run may have to be text to ICU: a
    // UnicodeString's limit (tests may set less, to try longer runs without
    // gigabytes of them).
    unsigned long maxTextUnits = 0x7FFFFFFF;

    // Whether the processor can take the four-at-a-time conversion.
    bool haveSsse3 = false;

    // The major version of the ICU running, read on the first run of two or
    // more values (0 until then; tests may set another before, to see the
    // version gate close).
    int runningIcuMajor = 0;

    // The fast engine, which answers from the iterator's own compiled rules
    // without building ICU text (see zqKelRuleWalker.h), and the scan that
    // sends runs it cannot answer straight to ICU; null until built, and when
    // they cannot be.
    std::unique_ptr<zqKelRuleWalker> ruleWalker;
    std::unique_ptr<zqKelDictionaryScan> dictionaryScan;
    bool ruleWalkerTried = false;
    Engine lastEngine = Engine::None;
};

#endif  // ZQ_KEL_FINDER_LOCALE_H
