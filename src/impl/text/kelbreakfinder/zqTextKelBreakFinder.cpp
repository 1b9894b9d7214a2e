#include "zqTextKelBreakFinder.h"

#include "zqKelFinderLocale.h"

#include <algorithm>
#include <cstddef>
#include <bit>
#include <cstring>
#include <limits>
#include <new>

#include <unicode/rbbi.h>
#include <unicode/utf16.h>
#include <unicode/uvernum.h>
#include <unicode/uversion.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

static_assert(sizeof(bool) == 1, "breakFlags are cleared with memset");

// The longest text a UnicodeString can hold. A longer run cannot become ICU
// text at all: ICU's own code-point append turns such a string bogus, which an
// iterator reads as empty text, so every flag stays false.
constexpr unsigned long kMaxTextUnits = std::numeric_limits<int32_t>::max();

// In the map from UTF-16 offsets to input positions (32-bit positions, for
// runs of fewer than 2^31 values), this bit marks the second unit of a pair,
// which has no position of its own.
constexpr uint32_t kSecondUnit = 0x80000000u;

// Room left after the text's last unit: the conversion stores whole blocks
// (up to 8 units or positions at a time) and then advances by what it meant.
constexpr unsigned long kSlack = 8;

// The UTF-16 units that ICU's code-point append adds for a value: one up to
// U+FFFF (a surrogate value adds itself), two up to U+10FFFF, none above.
// Written without branches: text that mixes BMP and supplementary characters
// would mispredict them.
inline unsigned long UnitsOf(uint32_t value)
{
    const unsigned long valid = value <= 0x10FFFF;
    return valid + (valid & (value > 0xFFFF));
}

#if defined(__x86_64__) || defined(__i386__)
#define ZQ_KEL_HAVE_SSSE3_PATH 1

// Four values at a time with SSSE3 byte shuffles. Each value's two possible
// units (the value alone, or lead and trail) are built in full; a shuffle
// chosen by the four values' kinds (a value, a pair, nothing) packs the units
// kept, and a table gives the input position of each unit kept.
struct ExpandTables {
    // By valid bits | pair bits << 4 (one bit per value): the bytes of the
    // four 32-bit unit words to keep, in order; how many units that is; and
    // for each of the (up to 8) units kept, the lane of the value it comes
    // from, with kSecondUnit added for the second unit of a pair.
    uint8_t unitShuffle[256][16];
    uint8_t unitCount[256];
    uint32_t laneOfUnit[256][8];
};

constexpr int UnitsOfKind(unsigned valid, unsigned pair) { return pair ? 2 : valid ? 1 : 0; }

constexpr ExpandTables MakeExpandTables()
{
    ExpandTables t{};
    for (unsigned index = 0; index < 256; ++index) {
        int out = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const int units = UnitsOfKind(index >> lane & 1, index >> (lane + 4) & 1);
            for (int unit = 0; unit < units; ++unit) {
                t.unitShuffle[index][2 * out] = static_cast<uint8_t>(4 * lane + 2 * unit);
                t.unitShuffle[index][2 * out + 1] = static_cast<uint8_t>(4 * lane + 2 * unit + 1);
                t.laneOfUnit[index][out] = lane + (unit == 1 ? kSecondUnit : 0);
                ++out;
            }
        }
        t.unitCount[index] = static_cast<uint8_t>(out);
        for (int fill = 2 * out; fill < 16; ++fill) {
            t.unitShuffle[index][fill] = 0x80;
        }
    }
    return t;
}

constexpr ExpandTables kExpandTables = MakeExpandTables();

// Converts codePoints[begin..end) (end - begin a multiple of 4) to units at
// `length` and records positions (the one of offset u at position[u - base]);
// returns the new length. Writes up to kSlack entries past it.
__attribute__((target("ssse3"))) unsigned long ExpandBlocksSsse3(const uint32_t* codePoints,
                                                                 unsigned long begin, unsigned long end,
                                                                 char16_t* units, uint32_t* position,
                                                                 unsigned long base, unsigned long length)
{
    const __m128i bias = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i validLimit = _mm_set1_epi32(static_cast<int>(0x110000u ^ 0x80000000u));
    const __m128i pairLimit = _mm_set1_epi32(static_cast<int>(0x100000u ^ 0x80000000u));
    const __m128i firstSupplementary = _mm_set1_epi32(0x10000);
    const __m128i leadOffset = _mm_set1_epi32(0xD7C0);
    const __m128i trailBits = _mm_set1_epi32(0x3FF);
    const __m128i trailBase = _mm_set1_epi32(0xDC00);
    for (unsigned long i = begin; i < end; i += 4) {
        const __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codePoints + i));
        // Unsigned comparisons, as signed ones on values with the top bit flipped.
        const __m128i valid = _mm_cmplt_epi32(_mm_xor_si128(value, bias), validLimit);
        const __m128i pair =
            _mm_cmplt_epi32(_mm_xor_si128(_mm_sub_epi32(value, firstSupplementary), bias), pairLimit);
        const __m128i lead = _mm_add_epi32(_mm_srli_epi32(value, 10), leadOffset);
        const __m128i trail = _mm_or_si128(_mm_and_si128(value, trailBits), trailBase);
        const __m128i pairWord = _mm_or_si128(lead, _mm_slli_epi32(trail, 16));
        const __m128i word = _mm_or_si128(_mm_and_si128(pair, pairWord), _mm_andnot_si128(pair, value));

        const unsigned validBits = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(valid)));
        const unsigned pairBits = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(pair)));
        const unsigned index = validBits | pairBits << 4;
        const __m128i unitShuffle =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(kExpandTables.unitShuffle[index]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(units + length), _mm_shuffle_epi8(word, unitShuffle));

        const __m128i first = _mm_set1_epi32(static_cast<int>(i));
        const auto* lanes = reinterpret_cast<const __m128i*>(kExpandTables.laneOfUnit[index]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(position + (length - base)),
                         _mm_add_epi32(first, _mm_loadu_si128(lanes)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(position + (length - base) + 4),
                         _mm_add_epi32(first, _mm_loadu_si128(lanes + 1)));
        length += kExpandTables.unitCount[index];
    }
    return length;
}
#endif

// The next value from `from` on that is not a single unit (above U+FFFF),
// or `count`: a block of 16 at a time while none is.
unsigned long NextWideValue(const uint32_t* codePoints, unsigned long from, unsigned long count)
{
    constexpr unsigned long kStride = 16;
    for (; from + kStride <= count; from += kStride) {
        uint32_t allBits = 0;
        for (unsigned long k = 0; k < kStride; ++k) {
            allBits |= codePoints[from + k];
        }
        if (allBits > 0xFFFF) {
            break;
        }
    }
    while (from < count && codePoints[from] <= 0xFFFF) {
        ++from;
    }
    return from;
}

// A run goes through the conversion without a position map when at most one
// value in kSparseRatio (after the leading ones at most U+FFFF), and at most
// kSparseMost values, are above U+FFFF.
constexpr unsigned long kSparseRatio = 16;
constexpr unsigned long kSparseMost = 64;

// Runs from this many values on are scanned for what only ICU answers before
// they are walked.
constexpr unsigned long kScanFrom = 32;

// Which ICU versions the rule walker has been checked against: its walk
// replays the order of the checks in that version's RuleBasedBreakIterator
// (handleNext), which the rule data does not record. docs/sarvik.md says how
// to check another version before adding it here.
constexpr int kWalkerCheckedIcuMajors[] = {72};

constexpr bool IsWalkerCheckedMajor(int major)
{
    for (int checked : kWalkerCheckedIcuMajors) {
        if (checked == major) {
            return true;
        }
    }
    return false;
}

// Built against another ICU, the walker is never used (and the run-time
// check below never passes either).
constexpr bool kBuiltForCheckedIcu = IsWalkerCheckedMajor(U_ICU_VERSION_MAJOR_NUM);

}  // namespace

// Keeps a UnicodeString's buffer open (getBuffer) until Release; if the
// scope is left by an exception first, closes it, empty, so that the string
// is usable again.
class zqKelFinderLocale::OpenBuffer {
public:
    explicit OpenBuffer(icu::UnicodeString& text) : text(text) {}
    ~OpenBuffer()
    {
        if (open) {
            text.releaseBuffer(0);
        }
    }
    OpenBuffer(const OpenBuffer&) = delete;
    OpenBuffer& operator=(const OpenBuffer&) = delete;

    // Room for `capacity` units, keeping the string's contents; null when
    // ICU has no memory for it.
    char16_t* Open(int32_t capacity)
    {
        char16_t* units = text.getBuffer(capacity);
        open = units != nullptr;
        return units;
    }

    // Closes the buffer, if open, with its first `length` units as the string.
    void Release(int32_t length)
    {
        if (open) {
            text.releaseBuffer(length);
            open = false;
        }
    }

    icu::UnicodeString& Text() { return text; }

private:
    icu::UnicodeString& text;
    bool open = false;
};

// ICU's objects come from its own allocator, which answers null (or a bogus
// object) instead of throwing: each is checked, and a failure throws
// std::bad_alloc after freeing what was made, so that no finder ever answers
// with other rules than its locale's, or with none.
zqTextKelBreakFinder::zqTextKelBreakFinder(const char* name)
    : localeName(nullptr), locale(nullptr), breakIterator(nullptr)
{
    // The layout a host may declare and construct in its own storage.
    static_assert(sizeof(zqTextKelBreakFinder) == 4 * sizeof(void*), "vptr and three pointers");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    static_assert(offsetof(zqTextKelBreakFinder, localeName) == 1 * sizeof(void*), "localeName after the vptr");
    static_assert(offsetof(zqTextKelBreakFinder, locale) == 2 * sizeof(void*), "then locale");
    static_assert(offsetof(zqTextKelBreakFinder, breakIterator) == 3 * sizeof(void*), "then breakIterator");
#pragma GCC diagnostic pop

    if (name == nullptr) {
        name = "";
    }
    const size_t length = std::strlen(name);
    localeName = new char[length + 1];
    std::memcpy(localeName, name, length + 1);

    // A non-empty name goes in as the language argument, which ICU parses as a
    // complete identifier; all-null arguments give ICU's default locale.
    const char* language = length != 0 ? localeName : nullptr;
    locale = new zqKelFinderLocale(language);
    // A malformed name makes a bogus locale too, and then ICU's own iterator
    // for it has the root rules, as this one will: only a locale that comes
    // out well when made again failed for want of memory.
    if (locale == nullptr || (locale->isBogus() && !icu::Locale(language, nullptr, nullptr, nullptr).isBogus())) {
        delete locale;
        delete[] localeName;
        throw std::bad_alloc();
    }
    UErrorCode status = U_ZERO_ERROR;
    breakIterator = icu::BreakIterator::createLineInstance(*locale, status);
    if (U_FAILURE(status) || breakIterator == nullptr) {
        delete breakIterator;
        delete locale;
        delete[] localeName;
        throw std::bad_alloc();
    }
}

zqTextKelBreakFinder::~zqTextKelBreakFinder()
{
    // The walker and the scan read the iterator's rule data: they go first.
    // The iterator shares the working text's buffer, which the locale frees
    // after it.
    if (locale != nullptr) {
        static_cast<zqKelFinderLocale*>(locale)->ReleaseEngines();
    }
    delete breakIterator;
    delete locale;
    delete[] localeName;
}

const char* zqTextKelBreakFinder::GetCurrentLocale() const
{
    return localeName;
}

void zqTextKelBreakFinder::SetBreakCandidates(unsigned long count, const uint32_t* codePoints,
                                              const uint32_t* /*unusedCodePoints*/,
                                              bool* breakFlags, bool /*unusedFlag*/)
{
    if (count == 0) {
        return;
    }
    static_cast<zqKelFinderLocale*>(locale)->MarkBreaks(*breakIterator, count, codePoints, breakFlags);
}

zqKelFinderLocale::zqKelFinderLocale(const char* name)
    : icu::Locale(name, nullptr, nullptr, nullptr)
{
#ifdef ZQ_KEL_HAVE_SSSE3_PATH
    haveSsse3 = __builtin_cpu_supports("ssse3");
#endif
}

zqKelFinderLocale::~zqKelFinderLocale() = default;

bool zqKelFinderLocale::WalkerCheckedFor(int major)
{
    return kBuiltForCheckedIcu && IsWalkerCheckedMajor(major);
}

void zqKelFinderLocale::MarkBreaks(icu::BreakIterator& iterator, unsigned long count, const uint32_t* codePoints,
                                   bool* breakFlags)
{
    if (count == 1) {
        // A text of one code point has no boundary but its start and its
        // end, whatever the rules (boundaries fall between code points), and
        // a value above U+10FFFF is no text at all.
        breakFlags[0] = codePoints[0] <= 0x10FFFF;
        lastEngine = Engine::SingleValue;
        return;
    }
    // A run whose UTF-16 form is longer than a UnicodeString can hold is no
    // text to ICU (its string turns bogus, which the iterator reads as
    // empty): no flags, from either engine. Only runs of more than half that
    // many values can be, and they are counted before anything is built.
    if (count > maxTextUnits / 2) {
        unsigned long units = 0;
        for (unsigned long i = 0; i < count; ++i) {
            units += UnitsOf(codePoints[i]);
        }
        if (units > maxTextUnits) {
            std::memset(breakFlags, 0, count);
            lastEngine = Engine::None;
            return;
        }
    }
    if (!ruleWalkerTried) {
        PrepareRuleWalker(iterator);
    }
    // The scan sends what the walker would give up on straight to ICU; a
    // short run is walked first, as a wasted walk there costs less than the
    // scan would on every run, and a run whose categories the walker finds
    // whole before walking it needs no scan.
    if (ruleWalker != nullptr &&
        (count < kScanFrom || dictionaryScan == nullptr || ruleWalker->ScansItself(count) ||
         !dictionaryScan->NeedsIcu(count, codePoints)) &&
        ruleWalker->MarkBoundaries(count, codePoints, breakFlags)) {
        lastEngine = Engine::Rules;
        return;
    }
    // The walker writes every flag of a run it answers; ICU flags only the
    // boundaries.
    std::memset(breakFlags, 0, count);
    lastEngine = Engine::Icu;
    // Whether the call returns or storage runs out part of the way (a text
    // grown, its position map not), the buffers are brought back within
    // their limit on the way out.
    struct Trim {
        zqKelFinderLocale& state;
        icu::BreakIterator& iterator;
        ~Trim() { state.TrimWorkText(iterator); }
    } trim{*this, iterator};
    MarkIcuBoundaries(iterator, count, codePoints, breakFlags);
}

void zqKelFinderLocale::ReleaseEngines()
{
    dictionaryScan.reset();
    ruleWalker.reset();
}

size_t zqKelFinderLocale::WorkBufferBytes() const
{
    // What a UnicodeString holds inside itself (ICU's US_STACKBUF_SIZE).
    constexpr int32_t kInlineUnits = (UNISTR_OBJECT_SIZE - sizeof(void*) - 2) / U_SIZEOF_UCHAR;
    size_t bytes = positionAt32.Bytes() + positionAt64.Bytes();
    for (const icu::UnicodeString& text : workTexts) {
        // A short text lives inside the string object itself.
        bytes += text.getCapacity() > kInlineUnits ? sizeof(char16_t) * text.getCapacity() : 0;
    }
    return bytes;
}

size_t zqKelFinderLocale::FixedBytes() const
{
    return sizeof *this + (ruleWalker != nullptr ? ruleWalker->MostBytes() : 0) +
           (dictionaryScan != nullptr ? dictionaryScan->RetainedBytes() : 0);
}

size_t zqKelFinderLocale::WorkBufferLimit() const
{
    const size_t fixed = FixedBytes();
    return fixed < kZqKelKeptLimit ? kZqKelKeptLimit - fixed : 0;
}

void zqKelFinderLocale::PrepareRuleWalker(icu::BreakIterator& iterator)
{
    if (runningIcuMajor == 0) {
        UVersionInfo version;
        u_getVersion(version);
        runningIcuMajor = version[0];
    }
    if (!WalkerCheckedFor(runningIcuMajor)) {
        ruleWalkerTried = true;
        return;
    }
    // Only ICU's own class: a subclass could walk its text another way.
    if (iterator.getDynamicClassID() != icu::RuleBasedBreakIterator::getStaticClassID()) {
        ruleWalkerTried = true;
        return;
    }
    uint32_t length = 0;
    const uint8_t* rules = static_cast<icu::RuleBasedBreakIterator&>(iterator).getBinaryRules(length);
    UseRules(rules, length);
}

// Marked as tried only once built (or refused): if building throws, the
// next run tries again.
void zqKelFinderLocale::UseRules(const uint8_t* rules, uint32_t length)
{
    std::unique_ptr<zqKelRuleWalker> walker = zqKelRuleWalker::Create(rules, length);
    std::unique_ptr<zqKelDictionaryScan> scan;
    if (walker != nullptr) {
        scan = zqKelDictionaryScan::Create(rules, length);
    }
    ruleWalker = std::move(walker);
    dictionaryScan = std::move(scan);
    ruleWalkerTried = true;
}

// The text is built in bulk in the string's own buffer instead of one append
// per code point; the result is the same UTF-16 text. The iterator then walks
// it with first()/next(), and each boundary but the last is flagged at the
// input position whose units begin there.
void zqKelFinderLocale::MarkIcuBoundaries(icu::BreakIterator& iterator, unsigned long count,
                                          const uint32_t* codePoints, bool* breakFlags)
{
    // The iterator shares the buffer of the text it was given last (its
    // character iterator holds a counted reference), and a shared buffer
    // would be copied rather than reused; so the two texts take turns.
    unsigned next = textInUse ^ 1;
    const auto plainCapacity = static_cast<int32_t>(std::min<unsigned long>(count + kSlack, kMaxTextUnits));
    if (workTexts[next].getCapacity() < plainCapacity && workTexts[textInUse].getCapacity() >= plainCapacity) {
        // The idle text was given back (see TrimWorkText): rather than grow
        // it again, take the iterator off the other one, which then is no
        // longer shared.
        workTexts[next].remove();
        iterator.setText(workTexts[next]);
        textInUse = next;
        next ^= 1;
    }
    icu::UnicodeString& text = workTexts[next];
    text.remove();  // so that growing the buffer copies nothing
    // Whatever throws while the buffer is open (growing the position map),
    // it is closed again, empty; the iterator still refers to the other text.
    OpenBuffer open(text);
    // Room for one unit per value first, the common case; more only once a
    // value needs it.
    char16_t* units = count <= kMaxTextUnits - kSlack ? open.Open(static_cast<int32_t>(count + kSlack)) : nullptr;
    if (units == nullptr && count <= kMaxTextUnits - kSlack) {
        throw std::bad_alloc();  // ICU had no memory for the text
    }

    // First as if every value were at most U+FFFF, the common case, where
    // offsets and input positions coincide: a plain narrowing copy, which the
    // compiler vectorises, a block at a time so that a larger value stops it
    // early. Everything before `plainCount` is then converted and in place.
    constexpr unsigned long kBlock = 64;
    unsigned long plainCount = 0;
    while (units != nullptr && plainCount < count) {
        const unsigned long n = std::min(kBlock, count - plainCount);
        const uint32_t* from = codePoints + plainCount;
        char16_t* to = units + plainCount;
        uint32_t allBits = 0;
        for (unsigned long k = 0; k < n; ++k) {
            allBits |= from[k];
            to[k] = static_cast<char16_t>(from[k]);
        }
        if (allBits > 0xFFFF) {
            break;
        }
        plainCount += n;
    }
    if (plainCount == count) {
        open.Release(static_cast<int32_t>(count));
        iterator.setText(text);
        textInUse = next;
        int32_t previous = iterator.first();
        for (int32_t current = iterator.next(); current != icu::BreakIterator::DONE; current = iterator.next()) {
            if (static_cast<uint32_t>(previous) < count) {
                breakFlags[previous] = true;
            }
            previous = current;
        }
        return;
    }

    // Few values above U+FFFF from there on (a pair of units each, or none):
    // converted and mapped without a position map (see MarkSparseRun), in a
    // text of exactly their units. They are looked for only up to that limit.
    const unsigned long sparseLimit = std::min(kSparseMost, (count - plainCount) / kSparseRatio);
    unsigned long wideAt[kSparseMost + 2];
    unsigned long wideCount = 0;
    unsigned long pairs = 0;
    for (unsigned long i = NextWideValue(codePoints, plainCount, count); i < count && wideCount <= sparseLimit;
         i = NextWideValue(codePoints, i + 1, count)) {
        wideAt[wideCount++] = i;
        pairs += codePoints[i] <= 0x10FFFF;
    }
    const bool sparse = wideCount <= sparseLimit;
    unsigned long capacity = 0;
    if (sparse) {
        const unsigned long totalUnits = count - (wideCount - pairs) + pairs;
        if (totalUnits > kMaxTextUnits - kSlack) {
            ReleaseWorkText(iterator);
            return;
        }
        capacity = totalUnits + kSlack;
    } else {
        // Room for two units per value from there on and the slack, enough
        // for any run; counted exactly only for runs too long for that.
        capacity = plainCount + 2 * (count - plainCount) + kSlack;
        if (count > (kMaxTextUnits - kSlack) / 2) {
            unsigned long totalUnits = 0;
            for (unsigned long i = 0; i < count; ++i) {
                totalUnits += UnitsOf(codePoints[i]);
            }
            if (totalUnits > kMaxTextUnits - kSlack) {
                ReleaseWorkText(iterator);
                return;
            }
            capacity = std::max(totalUnits, count) + kSlack;
        }
    }
    open.Release(static_cast<int32_t>(plainCount));
    units = open.Open(static_cast<int32_t>(capacity));
    if (units == nullptr) {
        throw std::bad_alloc();
    }
    if (sparse) {
        wideAt[wideCount] = count;
        MarkSparseRun(iterator, open, count, codePoints, plainCount, wideAt, units, breakFlags);
    } else if (count < kSecondUnit) {
        MarkGeneralRun(iterator, open, count, codePoints, plainCount, units, breakFlags,
                       positionAt32.Reserve(capacity - plainCount));
    } else {
        MarkGeneralRun(iterator, open, count, codePoints, plainCount, units, breakFlags,
                       positionAt64.Reserve(capacity - plainCount));
    }
    textInUse = next;
}

// Supplementary characters or values above U+10FFFF: offsets and positions
// part. The first `plainCount` values are converted already and sit at their
// own offsets; from there the conversion also records, for each UTF-16
// offset, the input position whose units begin there (with the top bit set
// for the second unit of a pair, which begins no value). A value that adds
// no units is written at the offset of the next value, which overwrites it,
// so it never takes a flag. Blocks of four go through the SSSE3 conversion
// where the processor has it, the rest one value at a time.
template <typename Position>
void zqKelFinderLocale::MarkGeneralRun(icu::BreakIterator& iterator, OpenBuffer& open, unsigned long count,
                                       const uint32_t* codePoints, unsigned long plainCount, char16_t* units,
                                       bool* breakFlags, Position* position)
{
    constexpr Position kSecond = Position{1} << (8 * sizeof(Position) - 1);
    unsigned long length = plainCount;
    unsigned long i = plainCount;
#ifdef ZQ_KEL_HAVE_SSSE3_PATH
    if constexpr (sizeof(Position) == sizeof(uint32_t)) {
        if (haveSsse3) {
            const unsigned long blocksEnd = i + (count - i) / 4 * 4;
            length = ExpandBlocksSsse3(codePoints, i, blocksEnd, units, position, plainCount, length);
            i = blocksEnd;
        }
    }
#endif
    for (; i < count; ++i) {
        const uint32_t value = codePoints[i];
        const unsigned long valid = value <= 0x10FFFF;
        const unsigned long pair = value - 0x10000 <= 0xFFFFF;
        // Both units in one store, and both positions.
        const uint32_t pairUnits = std::endian::native == std::endian::little
                                       ? U16_LEAD(value) | uint32_t{U16_TRAIL(value)} << 16
                                       : uint32_t{U16_LEAD(value)} << 16 | U16_TRAIL(value);
        const uint32_t oneUnit = std::endian::native == std::endian::little ? value : value << 16;
        const uint32_t twoUnits = pair ? pairUnits : oneUnit;
        const Position twoPositions[2] = {static_cast<Position>(i), static_cast<Position>(i) | kSecond};
        std::memcpy(units + length, &twoUnits, sizeof twoUnits);
        std::memcpy(position + (length - plainCount), twoPositions, sizeof twoPositions);
        length += valid + pair;
    }
    open.Release(static_cast<int32_t>(length));
    iterator.setText(open.Text());

    int32_t previous = iterator.first();
    for (int32_t current = iterator.next(); current != icu::BreakIterator::DONE; current = iterator.next()) {
        const auto offset = static_cast<uint32_t>(previous);
        if (offset < plainCount) {
            breakFlags[offset] = true;
        } else if (offset < length && (position[offset - plainCount] & kSecond) == 0) {
            breakFlags[position[offset - plainCount]] = true;
        }
        previous = current;
    }
}

// Runs with few values above U+FFFF: between two such values offsets and
// positions advance together, so the text is copied a stretch at a time and
// each boundary is placed from the stretch it falls in, with no map. A
// pair's first unit takes its value's flag and its second none; a value that
// adds no units gives its offset to the next value.
void zqKelFinderLocale::MarkSparseRun(icu::BreakIterator& iterator, OpenBuffer& open, unsigned long count,
                                      const uint32_t* codePoints, unsigned long plainCount,
                                      const unsigned long* wideAt, char16_t* units, bool* breakFlags)
{
    unsigned long length = plainCount;
    for (unsigned long i = plainCount, w = 0;; ++w) {
        const unsigned long wide = wideAt[w];
        const uint32_t* from = codePoints + i;
        char16_t* to = units + length;
        const unsigned long n = wide - i;
        for (unsigned long k = 0; k < n; ++k) {
            to[k] = static_cast<char16_t>(from[k]);
        }
        length += n;
        if (wide == count) {
            break;
        }
        const uint32_t value = codePoints[wide];
        if (value <= 0x10FFFF) {
            units[length++] = U16_LEAD(value);
            units[length++] = U16_TRAIL(value);
        }
        i = wide + 1;
    }
    open.Release(static_cast<int32_t>(length));
    iterator.setText(open.Text());

    // Before offset `wideOffset`, where the value at `wideAt[w]` begins (the
    // next one above U+FFFF, or the end), an offset's value is at
    // offset + shift (in modular arithmetic: the shift may be negative).
    unsigned long w = 0;
    unsigned long wideOffset = wideAt[0];
    unsigned long shift = 0;
    int32_t previous = iterator.first();
    for (int32_t current = iterator.next(); current != icu::BreakIterator::DONE; current = iterator.next()) {
        const auto boundary = static_cast<unsigned long>(static_cast<uint32_t>(previous));
        previous = current;
        if (boundary < wideOffset) [[likely]] {
            breakFlags[boundary + shift] = true;
            continue;
        }
        for (;;) {
            const unsigned long wide = wideAt[w];
            if (wide == count) {
                break;  // the end of the text
            }
            unsigned long nextOffset = wideOffset;
            if (codePoints[wide] <= 0x10FFFF) {
                if (boundary == wideOffset) {
                    breakFlags[wide] = true;  // a pair's first unit
                }
                if (boundary <= wideOffset + 1) {
                    break;
                }
                nextOffset += 2;
            }
            ++w;
            wideOffset = nextOffset + (wideAt[w] - (wide + 1));
            shift = (wide + 1) - nextOffset;
            if (boundary < wideOffset) {
                breakFlags[boundary + shift] = true;
                break;
            }
        }
    }
}

void zqKelFinderLocale::TrimWorkText(icu::BreakIterator& iterator)
{
    const size_t limit = WorkBufferLimit();
    if (WorkBufferBytes() <= limit) {
        return;
    }
    positionAt32.Release();
    positionAt64.Release();
    workTexts[textInUse ^ 1] = icu::UnicodeString();
    if (WorkBufferBytes() > limit) {
        ReleaseWorkText(iterator);
    }
}

void zqKelFinderLocale::ReleaseWorkText(icu::BreakIterator& iterator)
{
    workTexts[0] = icu::UnicodeString();
    workTexts[1] = icu::UnicodeString();
    textInUse = 0;
    iterator.setText(workTexts[0]);
    positionAt32.Release();
    positionAt64.Release();
}
