#include "zqKelRuleWalker.h"
#include "zqKelRuleData.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

static_assert(sizeof(bool) == 1, "a flag is stored as one byte of 0 or 1");
static_assert(std::endian::native == std::endian::little, "two flags are stored as one 16-bit value");

// ICU's binary break rules, format 6 (ICU 68 and later). All numbers are in
// the machine's byte order; offsets are in bytes from the start of the data.
//
// The header (RBBIDataHeader): signature, format version, total length,
// category count, then offset and length of each section.
constexpr uint32_t kSignature = 0xB1A0;
constexpr uint8_t kFormatVersion[4] = {6, 0, 0, 0};
constexpr size_t kHeaderSize = 80;
constexpr size_t kHeaderLength = 8;
constexpr size_t kHeaderCategoryCount = 12;
constexpr size_t kHeaderForwardTable = 16;
constexpr size_t kHeaderForwardTableLength = 20;
constexpr size_t kHeaderTrie = 32;
constexpr size_t kHeaderTrieLength = 36;

// A state table (RBBIStateTable): five numbers, then one row per state.
constexpr size_t kTableStateCount = 0;
constexpr size_t kTableRowLength = 4;
constexpr size_t kTableDictionaryStart = 8;
constexpr size_t kTableLookAheadCount = 12;
constexpr size_t kTableFlags = 16;
constexpr size_t kTableRows = 20;
// Its option flags. The hard-break flag is no longer read by ICU's forward
// walk; a table that needs a beginning-of-text step is not replayed here.
constexpr uint32_t kLookAheadHardBreak = 1;
constexpr uint32_t kBeginningRequired = 2;
constexpr uint32_t kEightBitRows = 4;
// A row: accepting number, look-ahead number, tag index, then the next state
// for each category, all 8 or 16 bits wide. Accepting 1 means the state ends
// a match where it stands; a larger number n means look-ahead rule n has
// completed (the match ends where the rule's '/' was). A look-ahead number n
// above 1 marks the position of rule n's '/'.
constexpr unsigned kRowHeaderFields = 3;
constexpr unsigned kAcceptingHere = 1;

// ICU's state numbers and pseudo categories.
constexpr unsigned kStopState = 0;
constexpr unsigned kStartState = 1;
constexpr unsigned kEndOfTextCategory = 1;


// The walker's table: one row of `stride` 16-bit entries per state, the
// columns being
//   [0, categoryCount)  for each category, the byte offset of the row that
//                       the character leads to (so that the next entry is one
//                       addition away from the last load)
//   categoryCount       the give-up row's offset: characters the walker does
//                       not answer for have their category clamped to it
//   + 1                 the row's flags (below)
//   + 2                 its accepting number | look-ahead number << 8
// The rows are ICU's states, then copies of the states that a match's first
// character leads to from the start state (flagged kRestart: reaching one
// means that a match began with that character, so a boundary stands before
// it), then the restart row, from which a match's first character is read
// (the start state's transitions, into those copies), then the give-up row.
//
// ICU's run stops when no longer match is possible, and the next run starts
// again at the boundary found. Most runs stop one character after an
// accepting state, that is, at the character that begins the next match; a
// transition from an accepting state to the stop state is therefore replaced
// by the start state's transition for the same character, into a copy
// flagged kRestart: the walk goes on without stopping, reading no character
// twice, and without a branch that depends on where words end. (Never for the
// end of text, after which no match begins.)
//
// A look-ahead rule is folded the same way when every transition into a state
// that completes it comes from a state that records its position (and none
// with the end of text, nor from the start state): the position is then
// always the one recorded one character before, so the completion ends the
// match just before the character that completes it, and that character
// begins the next match, as after an accepting state. Such a transition
// becomes the start state's transition for the character, into its kRestart
// copy; the rule's completions can no longer be reached, and its positions are
// no longer recorded. ICU's line rules fold all their look-ahead rules (the
// pairs of regional indicators among them), which leaves the walk nothing
// to record.
constexpr uint16_t kRestart = 1;  // bit 0: stored as the character's flag
constexpr uint16_t kAccept = 2;
constexpr uint16_t kSpecial = 4;  // kStop, kGiveUp, or a look-ahead number in the row
constexpr uint16_t kStop = 8;
constexpr uint16_t kGiveUp = 16;
constexpr unsigned kFlagsColumn = 1;  // after the give-up column
constexpr unsigned kNumbersColumn = 2;
constexpr unsigned kExtraColumns = 3;

// part[row]: the chain of rows that the walks by runs and by pairs go
// along. The part's address is found off the chain, so that the load adds
// the row in its own addressing instead of after an addition of its own,
// which compilers tend to put on the chain.
inline size_t RowAt(const uint8_t* part, size_t row)
{
#if defined(__x86_64__)
    size_t next;
    asm("movzbl (%1,%2), %k0" : "=r"(next) : "r"(part), "r"(row), "m"(*part));
    return next;
#else
    return part[row];
#endif
}

// The same, with the row read into the register that held the row before
// (the walk by pairs, where the compiler would add a copy).
inline void AdvanceRow(const uint8_t* part, size_t& row)
{
#if defined(__x86_64__)
    asm("movzbl (%1,%0), %k0" : "+r"(row) : "r"(part), "m"(*part));
#else
    row = part[row];
#endif
}

// Shorter runs are walked one character at a time: finding the runs costs
// more there than it saves.
constexpr unsigned long kRunsFrom = 32;  // the walk by runs takes runs from this length on
// The AVX-512 walk takes texts from this length on as two streams, and
// finds all categories first of texts shorter than kCategoriesFirstBelow.
constexpr unsigned long kTwoStreamsFrom = 256;
constexpr unsigned long kCategoriesFirstBelow = 512;

struct StateInfo {
    unsigned accepting = 0;
    unsigned lookAhead = 0;
    unsigned copyRow = 0;  // its kRestart copy's row, 0 when it has none
};

// One row's transitions: ICU's next states `next` as row offsets, except
// that the stop state becomes stopStep's entry. Written to be vectorised, and
// kept out of line, where the compiler can rely on the restrict qualifiers.
template <typename Field>
__attribute__((noinline)) unsigned TranslateRow(const Field* __restrict next, const uint16_t* __restrict stopStep,
                                                unsigned count, uint16_t rowBytes, uint16_t* __restrict out)
{
    Field largest = 0;
    for (unsigned category = 0; category < count; ++category) {
        const Field target = next[category];
        largest = largest > target ? largest : target;
        const auto offset = static_cast<uint16_t>(unsigned{target} * rowBytes);
        const uint16_t stop = stopStep[category];  // read either way, so that the loop has no branch
        out[category] = target == kStopState ? stop : offset;
    }
    return largest;
}

// Whether a row of 8-bit fields leads to a state that completes a look-ahead
// rule: next[0..count-1] looked up in completes[0..255] (aligned to 64, 0
// for the other states), 64 at a time with AVX-512 where the processor has
// it (most of a walker's building time otherwise).
#if defined(__x86_64__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // GCC 12's AVX-512 headers
#pragma GCC diagnostic ignored "-Wuninitialized"
__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2"))) bool LeadsToCompletionWide(const uint8_t* next,
                                                                                         unsigned count,
                                                                                         const uint8_t* completes)
{
    __mmask64 found = 0;
    for (unsigned k = 0; k < count; k += 64) {
        const auto inRow = static_cast<__mmask64>(_bzhi_u64(~uint64_t{0}, std::min(count - k, 64u)));
        const __m512i targets = _mm512_maskz_loadu_epi8(inRow, next + k);
        const __m512i low = _mm512_permutex2var_epi8(_mm512_load_si512(completes), targets,
                                                     _mm512_load_si512(completes + 64));
        const __m512i high = _mm512_permutex2var_epi8(_mm512_load_si512(completes + 128), targets,
                                                      _mm512_load_si512(completes + 192));
        const __m512i rules = _mm512_mask_blend_epi8(_mm512_movepi8_mask(targets), low, high);
        found |= _mm512_test_epi8_mask(rules, rules);
    }
    return found != 0;
}
#pragma GCC diagnostic pop
// Whether the processor has what the walker's AVX-512 code uses (this
// scan, and the walk by runs' ZQ_KEL_WIDE_TARGET below).
bool HaveWideInstructions()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("popcnt") &&
           __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}
#else
bool LeadsToCompletionWide(const uint8_t*, unsigned, const uint8_t*)
{
    return true;
}
bool HaveWideInstructions()
{
    return false;
}
#endif

// Fills `table` from ICU's rows of `Field` (uint8_t or uint16_t) fields,
// each row having the fields of the header and then categoryCount next
// states; false when they hold a number out of range. Every entry of the
// table is written.
template <typename Field>
bool BuildTable(const Field* rows, unsigned stateCount, unsigned categoryCount, unsigned dictionaryStart,
                unsigned lookAheadCount, bool foldLookAhead, std::unique_ptr<uint16_t[]>& table,
                unsigned& restartRowOffset, unsigned& rowCountOut)
{
    const unsigned stride = categoryCount + kExtraColumns;
    const unsigned rowBytes = stride * 2;
    const unsigned fieldsPerRow = kRowHeaderFields + categoryCount;
    const auto rowOf = [&](unsigned state) { return rows + state * fieldsPerRow; };

    std::vector<StateInfo> states(stateCount);
    for (unsigned state = 0; state < stateCount; ++state) {
        StateInfo& info = states[state];
        info.accepting = rowOf(state)[0];
        info.lookAhead = rowOf(state)[1];
        // ICU indexes its array of look-ahead positions with these numbers.
        if ((info.accepting > kAcceptingHere && info.accepting >= lookAheadCount) ||
            (info.lookAhead > kAcceptingHere && info.lookAhead >= lookAheadCount)) {
            return false;
        }
    }
    // ICU never makes its stop state accepting; the walk relies on that.
    if (states[kStopState].accepting != 0 || states[kStopState].lookAhead > kAcceptingHere) {
        return false;
    }
    const Field* startNext = rowOf(kStartState) + kRowHeaderFields;
    // The look-ahead rules folded (above), by number. Every transition is
    // looked at: the rule its state completes (0 for none, and for a state
    // out of range, which TranslateRow refuses), first for the whole row,
    // since few rows lead to a completion.
    std::vector<uint8_t> folded(lookAheadCount, foldLookAhead ? 1 : 0);
    std::vector<uint8_t> completes(stateCount + 1, 0);
    alignas(64) uint8_t completesByByte[0x100] = {};
    for (unsigned state = 0; state < stateCount; ++state) {
        completes[state] = static_cast<uint8_t>(states[state].accepting > kAcceptingHere ? states[state].accepting : 0);
        completesByByte[state & 0xFF] |= state <= 0xFF ? completes[state] : 0;
    }
    const bool wide = sizeof(Field) == 1 && foldLookAhead && HaveWideInstructions();
    for (unsigned state = 0; foldLookAhead && state < stateCount; ++state) {
        const Field* next = rowOf(state) + kRowHeaderFields;
        bool any = false;
        if (wide) {
            any = LeadsToCompletionWide(reinterpret_cast<const uint8_t*>(next), dictionaryStart, completesByByte);
        } else {
            for (unsigned category = 0; category < dictionaryStart; ++category) {
                any |= completes[std::min<unsigned>(next[category], stateCount)] != 0;
            }
        }
        for (unsigned category = 0; any && category < dictionaryStart; ++category) {
            const unsigned rule = completes[std::min<unsigned>(next[category], stateCount)];
            if (rule != 0 && (state == kStartState || states[state].lookAhead != rule ||
                              category == kEndOfTextCategory)) {
                folded[rule] = 0;
            }
        }
    }
    const auto isFolded = [&](unsigned rule) { return rule > kAcceptingHere && folded[rule] != 0; };
    unsigned rowCount = stateCount;
    for (unsigned category = 0; category < dictionaryStart; ++category) {
        const unsigned target = startNext[category];
        if (target >= stateCount) {
            return false;
        }
        if (states[target].copyRow == 0) {
            states[target].copyRow = rowCount++;
        }
    }
    const unsigned restartRow = rowCount++;
    const unsigned giveUpRow = rowCount++;
    if ((rowCount - 1) * rowBytes > 0xFFFF) {
        return false;
    }
    const uint16_t giveUp = static_cast<uint16_t>(giveUpRow * rowBytes);
    restartRowOffset = restartRow * rowBytes;
    rowCountOut = rowCount;
    table.reset(new uint16_t[static_cast<size_t>(rowCount) * stride]);

    // What the stop state becomes: after an accepting state, the first step
    // of the match that begins with the character (never at the end of
    // text); elsewhere it stays the stop state.
    std::vector<uint16_t> steps(3 * dictionaryStart, 0);
    uint16_t* const firstStep = steps.data();
    uint16_t* const restartsAfterMatch = firstStep + dictionaryStart;
    const uint16_t* const stays = restartsAfterMatch + dictionaryStart;
    for (unsigned category = 0; category < dictionaryStart; ++category) {
        firstStep[category] = static_cast<uint16_t>(states[startNext[category]].copyRow * rowBytes);
        restartsAfterMatch[category] = category != kEndOfTextCategory ? firstStep[category] : 0;
    }

    for (unsigned state = 0; state < stateCount; ++state) {
        const StateInfo& info = states[state];
        uint16_t* out = table.get() + state * stride;
        const uint16_t* stopStep = info.accepting == kAcceptingHere ? restartsAfterMatch : stays;
        if (TranslateRow(rowOf(state) + kRowHeaderFields, stopStep, dictionaryStart,
                         static_cast<uint16_t>(rowBytes), out) >=
            stateCount) {
            return false;
        }
        const bool folds = isFolded(info.lookAhead);
        if (folds) {
            const Field* next = rowOf(state) + kRowHeaderFields;
            for (unsigned category = 0; category < dictionaryStart; ++category) {
                if (states[next[category]].accepting == info.lookAhead) {
#if ZQ_KEL_TEST_BROKEN_LOOKAHEAD == 3
                    // Deliberately wrong, for tests: the completion's boundary
                    // lost (the start state's step, not its copy that flags).
                    out[category] = static_cast<uint16_t>(startNext[category] * rowBytes);
#else
                    out[category] = firstStep[category];
#endif
                }
            }
        }
        std::fill(out + dictionaryStart, out + categoryCount + 1, giveUp);
        const unsigned lookAhead = folds ? 0 : info.lookAhead;
        const bool special = state == kStopState || info.accepting > kAcceptingHere || lookAhead > kAcceptingHere;
        out[categoryCount + kFlagsColumn] =
            static_cast<uint16_t>((info.accepting == kAcceptingHere ? kAccept : 0) |
                                  (special ? kSpecial : 0) | (state == kStopState ? kStop : 0));
        out[categoryCount + kNumbersColumn] = static_cast<uint16_t>(info.accepting | lookAhead << 8);
        if (info.copyRow != 0) {
            uint16_t* copy = table.get() + info.copyRow * stride;
            std::memcpy(copy, out, rowBytes);
            copy[categoryCount + kFlagsColumn] |= kRestart;
        }
    }
    uint16_t* restart = table.get() + restartRow * stride;
    std::memcpy(restart, firstStep, dictionaryStart * sizeof(uint16_t));
    std::fill(restart + dictionaryStart, restart + categoryCount + 1, giveUp);
    restart[categoryCount + kFlagsColumn] = 0;
    restart[categoryCount + kNumbersColumn] = 0;
    uint16_t* giveUpOut = table.get() + giveUpRow * stride;
    std::fill(giveUpOut, giveUpOut + categoryCount + 1, giveUp);
    giveUpOut[categoryCount + kFlagsColumn] = kSpecial | kGiveUp;
    giveUpOut[categoryCount + kNumbersColumn] = 0;
    return true;
}

}  // namespace

std::unique_ptr<zqKelRuleWalker> zqKelRuleWalker::Create(const uint8_t* rules, uint32_t length,
                                                         LookAheadRules lookAhead)
{
    if (rules == nullptr || length < kHeaderSize) {
        return nullptr;
    }
    const uint32_t totalLength = zqKelRead32(rules + kHeaderLength);
    if (zqKelRead32(rules) != kSignature || std::memcmp(rules + 4, kFormatVersion, 4) != 0 ||
        totalLength < kHeaderSize || totalLength > length) {
        return nullptr;
    }
    const uint32_t categoryCount = zqKelRead32(rules + kHeaderCategoryCount);
    const uint32_t tableOffset = zqKelRead32(rules + kHeaderForwardTable);
    const uint32_t tableLength = zqKelRead32(rules + kHeaderForwardTableLength);
    const uint32_t trieOffset = zqKelRead32(rules + kHeaderTrie);
    const uint32_t trieLength = zqKelRead32(rules + kHeaderTrieLength);
    if (tableOffset > totalLength || tableLength > totalLength - tableOffset || tableLength < kTableRows ||
        trieOffset > totalLength || trieLength > totalLength - trieOffset) {
        return nullptr;
    }
    const uint8_t* stateTable = rules + tableOffset;
    const uint32_t stateCount = zqKelRead32(stateTable + kTableStateCount);
    const uint32_t rowLength = zqKelRead32(stateTable + kTableRowLength);
    const uint32_t dictionaryStart = zqKelRead32(stateTable + kTableDictionaryStart);
    const uint32_t lookAheadCount = zqKelRead32(stateTable + kTableLookAheadCount);
    const uint32_t flags = zqKelRead32(stateTable + kTableFlags);
    const bool eightBitRows = (flags & kEightBitRows) != 0;
    const unsigned fieldSize = eightBitRows ? 1 : 2;
    // Categories 0 to 2 are ICU's own (1 is the end of text); look-ahead
    // numbers must fit 8 bits here, and everything the 16-bit row offsets.
    if ((flags & kBeginningRequired) != 0 || (flags & ~(kLookAheadHardBreak | kBeginningRequired | kEightBitRows)) != 0 ||
        dictionaryStart <= kEndOfTextCategory + 1 ||
        dictionaryStart > categoryCount || categoryCount > 0x1000 || stateCount <= kStartState ||
        stateCount > 0x1000 || rowLength != fieldSize * (kRowHeaderFields + categoryCount) ||
        lookAheadCount > 0x100 || (tableLength - kTableRows) / rowLength < stateCount) {
        return nullptr;
    }

    std::unique_ptr<zqKelRuleWalker> walker(new zqKelRuleWalker());
    walker->categoryCount = categoryCount;
    walker->dictionaryStart = dictionaryStart;
    walker->stride = categoryCount + kExtraColumns;
    bool built;
    if (eightBitRows) {
        built = BuildTable(stateTable + kTableRows, stateCount, categoryCount, dictionaryStart, lookAheadCount,
                           lookAhead == LookAheadRules::Folded, walker->table, walker->restartRow, walker->rowCount);
    } else {
        // Copied, for aligned reading.
        std::vector<uint16_t> rows(static_cast<size_t>(stateCount) * (kRowHeaderFields + categoryCount));
        std::memcpy(rows.data(), stateTable + kTableRows, rows.size() * sizeof(uint16_t));
        built = BuildTable(rows.data(), stateCount, categoryCount, dictionaryStart, lookAheadCount,
                           lookAhead == LookAheadRules::Folded, walker->table, walker->restartRow, walker->rowCount);
    }
    if (!built) {
        return nullptr;
    }

    UErrorCode status = U_ZERO_ERROR;
    walker->trie = ucptrie_openFromBinary(UCPTRIE_TYPE_FAST, UCPTRIE_VALUE_BITS_ANY, rules + trieOffset,
                                          static_cast<int32_t>(trieLength), nullptr, &status);
    if (status == U_MEMORY_ALLOCATION_ERROR) {
        throw std::bad_alloc();
    }
    if (U_FAILURE(status) || walker->trie == nullptr) {
        return nullptr;
    }
    const UCPTrieValueWidth width = ucptrie_getValueWidth(walker->trie);
    if (width != UCPTRIE_VALUE_BITS_8 && width != UCPTRIE_VALUE_BITS_16) {
        return nullptr;
    }
    walker->eightBitTrie = width == UCPTRIE_VALUE_BITS_8;
    walker->lookAheadAt.assign(std::max(lookAheadCount, 1u), 0);
    for (uint32_t c = 0; c < 0x100; ++c) {
#if ZQ_KEL_TEST_BROKEN_LATIN == 1
        // Deliberately wrong, for tests: each value given its neighbour's
        // category.
        const uint32_t value = c ^ 1;
#else
        const uint32_t value = c;
#endif
        const uint32_t category = walker->eightBitTrie ? UCPTRIE_FAST_BMP_GET(walker->trie, UCPTRIE_8, value)
                                                       : UCPTRIE_FAST_BMP_GET(walker->trie, UCPTRIE_16, value);
        walker->latinColumn[c] = static_cast<uint16_t>(2 * std::min(category, categoryCount));
    }
    walker->BuildRunTable();
    return walker;
}

zqKelRuleWalker::~zqKelRuleWalker()
{
    ucptrie_close(trie);
}

bool zqKelRuleWalker::ScansItself(unsigned long count) const
{
    return mode == Mode::WideRuns && count >= kRunsFrom && count < kCategoriesFirstBelow;
}

void zqKelRuleWalker::ForgetLookAhead()
{
    std::fill(lookAheadAt.begin(), lookAheadAt.end(), 0);
    lookAheadRecorded = false;
}

bool zqKelRuleWalker::MarkBoundaries(unsigned long count, const uint32_t* codePoints, bool* breakFlags)
{
    if (lookAheadRecorded) [[unlikely]] {
        ForgetLookAhead();
    }
    if (count < kRunsFrom && mode != Mode::Characters && pairs) {
        return eightBitTrie ? WalkPairs<true>(count, codePoints, breakFlags)
                            : WalkPairs<false>(count, codePoints, breakFlags);
    }
    if (count >= kRunsFrom && mode == Mode::WideRuns) {
        return eightBitTrie ? WalkRunsWide<true>(count, codePoints, breakFlags)
                            : WalkRunsWide<false>(count, codePoints, breakFlags);
    }
    if (count >= kRunsFrom && mode == Mode::PlainRuns) {
        return eightBitTrie ? WalkRunsPlain<true>(count, codePoints, breakFlags)
                            : WalkRunsPlain<false>(count, codePoints, breakFlags);
    }
    unsigned long i = 0;
    size_t row = restartRow;
    const Ending ending = eightBitTrie ? Walk<true, false>(count, codePoints, breakFlags, i, row, 0)
                                      : Walk<false, false>(count, codePoints, breakFlags, i, row, 0);
    return ending == Ending::Answered;
}

// ICU's forward walk, as its first()/next() give it for a text without
// dictionary characters: boundary 0, then each next boundary found by a run
// of the state machine (handleNext) that starts at the previous boundary in
// the start state and reads one character after another:
//   - each character moves to the state its category leads to;
//   - reaching an accepting state (accepting 1) makes the position after the
//     character the boundary found so far;
//   - reaching the state where a look-ahead rule completes (accepting n > 1)
//     ends the run at once with the position recorded for rule n;
//   - reaching a state that marks a rule's '/' (look-ahead n > 1) records the
//     position after the character for rule n;
//   - the stop state ends the run; so does the end of the text, after one
//     more step with the end-of-text category;
//   - a run that found no boundary beyond its start advances one character.
// Positions here are code point indices, which map one to one onto the
// UTF-16 offsets of ICU's walk at code point boundaries. ICU keeps look-ahead
// positions from run to run, and from text to text; a rule completing
// without a position recorded in this text is left to ICU.
//
// Each character read stores its flag: true when a match begins with it.
// The last match to read a character is the one that decides (matches begin
// in text order), and every character is read by the match it belongs to.
template <bool kEightBitTrie, bool kMayHandBack>
zqKelRuleWalker::Ending zqKelRuleWalker::Walk(unsigned long count, const uint32_t* codePoints, bool* breakFlags,
                                              unsigned long& position, size_t& rowAt, unsigned long handBackFrom)
{
    // A copy the compiler can keep in registers: stores to the flags cannot
    // change it.
    const UCPTrie trieCopy = *trie;
    const auto* tableBytes = reinterpret_cast<const uint8_t*>(table.get());
    const unsigned flagsOffset = 2 * (categoryCount + kFlagsColumn);
    const unsigned numbersOffset = 2 * (categoryCount + kNumbersColumn);
    unsigned long* const lookAhead = lookAheadAt.data();

    const auto entryAt = [tableBytes](size_t offset) -> size_t {
        uint16_t entry;
        std::memcpy(&entry, tableBytes + offset, sizeof entry);
        return entry;
    };
    const auto columnOf = [this, &trieCopy](uint32_t c) -> size_t {
        if (c < 0x100) {
            return latinColumn[c];
        }
        return 2 * size_t{CategoryOf<kEightBitTrie>(c, trieCopy)};
    };

    unsigned long i = position;         // the next character to read
    unsigned long start = position;     // where the current match began
    unsigned long boundary = position;  // the boundary it found so far
    size_t row = restartRow;
    for (;;) {
        unsigned long next;  // where the next match begins
        if (i < count) {
            // The column's address first, apart from the chain of loads
            // through `row`, so that each step of the chain is one load.
            const uint8_t* column = tableBytes + columnOf(codePoints[i]);
            uint16_t entry;
            std::memcpy(&entry, column + row, sizeof entry);
            row = entry;
            const unsigned rowFlags = entryAt(row + flagsOffset);
            const bool began = (rowFlags & kRestart) != 0;
            const auto flag = static_cast<uint8_t>(rowFlags & kRestart);  // one plain store
            std::memcpy(breakFlags + i, &flag, 1);
            start = began ? i : start;
            boundary = began ? i : boundary;
            ++i;
            boundary = (rowFlags & kAccept) != 0 ? i : boundary;
            if ((rowFlags & kSpecial) == 0) {
                if constexpr (kMayHandBack) {
                    if (began && i > handBackFrom && i < count) {
                        position = i;
                        rowAt = row;
                        return Ending::HandedBack;
                    }
                }
                continue;
            }
            if ((rowFlags & kGiveUp) != 0) {
                std::memset(breakFlags, 0, i);
                return Ending::GivenUp;
            }
            if ((rowFlags & kStop) != 0) {
                next = boundary != start ? boundary : start + 1;
            } else {
                const unsigned numbers = entryAt(row + numbersOffset);
                const unsigned accepting = numbers & 0xFF;
                const unsigned rule = numbers >> 8;
#if ZQ_KEL_TEST_BROKEN_LOOKAHEAD == 2
                // Deliberately wrong, for tests: completions ignored.
                if (false) {
#else
                if (accepting > kAcceptingHere) {
#endif
                    next = lookAhead[accepting];
                    if (next <= start) {
                        std::memset(breakFlags, 0, i);
                        return Ending::GivenUp;
                    }
                } else {
                    if (rule > kAcceptingHere) {
#if ZQ_KEL_TEST_BROKEN_LOOKAHEAD == 1
                        // Deliberately wrong, for tests: one character late.
                        lookAhead[rule] = i + 1;
#else
                        lookAhead[rule] = i;
#endif
                        lookAheadRecorded = true;
                    }
                    continue;
                }
            }
        } else {
            // The step with the end-of-text category, which ends the match.
            row = entryAt(row + 2 * kEndOfTextCategory);
            const unsigned rowFlags = entryAt(row + flagsOffset);
            boundary = (rowFlags & kAccept) != 0 ? count : boundary;
            const unsigned accepting = entryAt(row + numbersOffset) & 0xFF;
            if ((rowFlags & kSpecial) != 0 && accepting > kAcceptingHere) {
                next = lookAhead[accepting];
                if (next <= start) {
                    std::memset(breakFlags, 0, count);
                    return Ending::GivenUp;
                }
            } else {
                next = boundary != start ? boundary : start + 1;
            }
        }
        if (next >= count) {
            return Ending::Answered;
        }
        i = next;
        row = restartRow;
    }
}

namespace {

// The walk by runs. Text is mostly runs of characters of one category (the
// letters of a word, spaces, ideographs), and within such a run the walk
// settles within two characters: from there on each character leads from a
// row to the same row and stores the same flag. Or it settles into turns of
// two rows (a run of regional indicators: a pair, then the next pair). The
// run table gives, for each category, each class of run length (1, 2, 3 or
// more and odd, 4 or more and even) and each row, the row the run leads to
// and the flags it stores (the first character's, the second's, and the one
// of all the others, or the first's and the second's by turns), so that a
// whole run costs one dependent load instead of one per character.
//
// Its entries: the row's index, and (in a table of their own) the bits
constexpr unsigned kRunFirst = 1;      // the flag of the run's first character
constexpr unsigned kRunSecond = 2;     // of its second
constexpr unsigned kRunRest = 4;       // of all the others
constexpr unsigned kRunAlternate = 8;  // or: the others take the first's and the second's by turns
// and kRunHandOver when the run meets a row with kSpecial, or (3 or more)
// has settled into neither: the match is then walked one character at a
// time (Walk).
constexpr unsigned kRunHandOver = 16;
constexpr unsigned kLengthClasses = 4;

// Runs are found a block at a time; a run that goes on into the next block
// is two runs there, which the table answers alike.
constexpr unsigned kBlock = 64;

// The bytes a run stores, by its entry's flag bits: the first character's,
// the second's, and then the others'. A store reaches past a short run into
// the next one, which stores after it.
constexpr unsigned kRunStore = 32;
struct RunStores {
    alignas(kRunStore) uint8_t bytes[kRunHandOver][kRunStore];
};
// The flag of a run's character k (from 0) by its entry's bits.
constexpr uint8_t RunFlag(unsigned bits, unsigned long k)
{
    const unsigned flag = k == 0 || ((bits & kRunAlternate) != 0 && k % 2 == 0) ? kRunFirst
                          : k == 1 || (bits & kRunAlternate) != 0            ? kRunSecond
                                                                              : kRunRest;
    return (bits & flag) != 0 ? 1 : 0;
}
constexpr RunStores MakeRunStores()
{
    RunStores stores{};
    for (unsigned bits = 0; bits < kRunHandOver; ++bits) {
        for (unsigned k = 0; k < kRunStore; ++k) {
            stores.bytes[bits][k] = RunFlag(bits, k);
        }
    }
    return stores;
}
// The flags of a run's characters from kRunStore on, which its store leaves
// out (kRunStore is even, so turns go on as they were).
inline void StoreRunTail(uint8_t* at, unsigned bits, unsigned length)
{
    if ((bits & kRunAlternate) != 0) {
        for (unsigned k = kRunStore; k < length; ++k) {
            at[k] = RunFlag(bits, k);
        }
    } else {
        std::memset(at + kRunStore, (bits & kRunRest) != 0 ? 1 : 0, length - kRunStore);
    }
}
constexpr RunStores kRunStores = MakeRunStores();

// Bit k set where categories[k] differs from categories[k - 1], and bit 0,
// for k below kBlock.
inline uint64_t CategoryChanges(const uint8_t* categories)
{
    uint64_t changes = 1;
#if defined(__SSE2__)
    for (unsigned k = 0; k < kBlock; k += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(categories + k));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(categories + k - 1));
        const auto same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, before)));
        changes |= uint64_t{~same & 0xFFFFu} << k;
    }
#else
    for (unsigned k = 1; k < kBlock; ++k) {
        changes |= uint64_t{categories[k] != categories[k - 1]} << k;
    }
#endif
    return changes;
}

#if defined(__x86_64__)
#define ZQ_KEL_HAVE_WIDE_RUNS 1
// GCC 12's AVX-512 headers start some results from _mm512_undefined, which
// its maybe-uninitialized warning takes for a read of an unset value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#define ZQ_KEL_WIDE_TARGET "avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,avx512vbmi2,avx2,bmi,bmi2,popcnt"

// Byte k of a block from byte k - 1 (byte 0 from itself).
struct BeforeIndex {
    alignas(64) uint8_t bytes[kBlock];
};
constexpr BeforeIndex MakeBeforeIndex()
{
    BeforeIndex index{};
    for (unsigned k = 1; k < kBlock; ++k) {
        index.bytes[k] = static_cast<uint8_t>(k - 1);
    }
    return index;
}
constexpr BeforeIndex kBeforeIndex = MakeBeforeIndex();

// Where the first n (1 to kBlock) of a block's categories change, as
// CategoryChanges gives it, with bit n set when n < kBlock.
__attribute__((target(ZQ_KEL_WIDE_TARGET))) inline uint64_t CategoryChangesWide(__m512i categories, unsigned n)
{
    const __m512i before = _mm512_permutexvar_epi8(_mm512_load_si512(kBeforeIndex.bytes), categories);
    const uint64_t changes = _mm512_cmpneq_epi8_mask(categories, before) | 1;
    return n < kBlock ? _bzhi_u64(changes, n) | uint64_t{1} << n : changes;
}

// For n (1 to kBlock) values all below U+0100: their categories, from the
// Latin-1 table (256 bytes, aligned to 64), stored to `categories`, and
// where they change (CategoryChangesWide); false for any other values.
__attribute__((target(ZQ_KEL_WIDE_TARGET))) inline bool LatinBlockWide(const uint32_t* values, unsigned n,
                                                                         const uint8_t* latinCategory,
                                                                         uint8_t* categories, uint64_t& changes)
{
    const uint64_t inBlock = _bzhi_u64(~uint64_t{0}, n);
    const __m512i v0 = _mm512_maskz_loadu_epi32(static_cast<__mmask16>(inBlock), values);
    const __m512i v1 = _mm512_maskz_loadu_epi32(static_cast<__mmask16>(inBlock >> 16), values + 16);
    const __m512i v2 = _mm512_maskz_loadu_epi32(static_cast<__mmask16>(inBlock >> 32), values + 32);
    const __m512i v3 = _mm512_maskz_loadu_epi32(static_cast<__mmask16>(inBlock >> 48), values + 48);
    const __m512i all = _mm512_or_si512(_mm512_or_si512(v0, v1), _mm512_or_si512(v2, v3));
    if (_mm512_test_epi32_mask(all, _mm512_set1_epi32(~0xFF)) != 0) {
        return false;
    }
    __m512i bytes = _mm512_castsi128_si512(_mm512_cvtepi32_epi8(v0));
    bytes = _mm512_inserti32x4(bytes, _mm512_cvtepi32_epi8(v1), 1);
    bytes = _mm512_inserti32x4(bytes, _mm512_cvtepi32_epi8(v2), 2);
    bytes = _mm512_inserti32x4(bytes, _mm512_cvtepi32_epi8(v3), 3);
    // Values 0x00-0x7F from the table's first half, 0x80-0xFF from its second.
    const __m512i low = _mm512_permutex2var_epi8(_mm512_load_si512(latinCategory), bytes,
                                                 _mm512_load_si512(latinCategory + 64));
    const __m512i high = _mm512_permutex2var_epi8(_mm512_load_si512(latinCategory + 128), bytes,
                                                  _mm512_load_si512(latinCategory + 192));
    const __m512i result = _mm512_mask_blend_epi8(_mm512_movepi8_mask(bytes), low, high);
    _mm512_store_si512(categories, result);
    changes = CategoryChangesWide(result, n);
    return true;
}

// The categories of a block found one value at a time: where they change.
__attribute__((target(ZQ_KEL_WIDE_TARGET))) inline uint64_t BlockChangesWide(const uint8_t* categories, unsigned n)
{
    return CategoryChangesWide(_mm512_load_si512(categories), n);
}

#pragma GCC diagnostic pop
#endif

}  // namespace

namespace {

// The run table's part for one category: for each class of run length, a
// row of rowCount entries (see above), from the walker's table (rows of
// `stride` entries, row offsets made row indices by rowAt, each row's
// flags at flagsColumn).
void FillRunColumn(const uint16_t* __restrict table, unsigned stride, unsigned flagsColumn,
                   const uint8_t* __restrict rowAt, unsigned rowCount, unsigned category, uint8_t* __restrict rows,
                   uint8_t* __restrict bits)
{
    const auto next = [&](unsigned row) -> unsigned { return rowAt[table[row * stride + category] / 2]; };
    const auto flagsOf = [&](unsigned row) -> unsigned { return table[row * stride + flagsColumn]; };
    for (unsigned row = 0; row < rowCount; ++row) {
        const unsigned first = next(row);
        const unsigned second = next(first);
        const unsigned third = next(second);
        const unsigned firstFlag = (flagsOf(first) & kRestart) != 0 ? kRunFirst : 0;
        const unsigned secondFlags = (flagsOf(second) & kRestart) != 0 ? kRunSecond | kRunRest : 0;
        const bool firstSpecial = (flagsOf(first) & kSpecial) != 0;
        const bool secondSpecial = firstSpecial || (flagsOf(second) & kSpecial) != 0;
        const bool settled = third == second;
        const bool alternating = !settled && third == first;
#if ZQ_KEL_TEST_BROKEN_RUNS == 1
        // Deliberately wrong, for tests: the rest of a run given its first
        // character's flag.
        const unsigned restFlags = (secondFlags & kRunSecond) | (firstFlag != 0 ? kRunRest : 0);
#else
        const unsigned restFlags = secondFlags;
#endif
        rows[row] = static_cast<uint8_t>(first);
        bits[row] = static_cast<uint8_t>(firstFlag | (firstSpecial ? kRunHandOver : 0));
        rows[rowCount + row] = static_cast<uint8_t>(second);
        bits[rowCount + row] =
            static_cast<uint8_t>(firstFlag | (secondFlags & kRunSecond) | (secondSpecial ? kRunHandOver : 0));
        const unsigned longBits =
            firstFlag | (settled ? restFlags : (secondFlags & kRunSecond) | kRunAlternate) |
            (secondSpecial || !(settled || alternating) ? kRunHandOver : 0);
        rows[2 * rowCount + row] = static_cast<uint8_t>(settled ? second : first);  // odd length
        bits[2 * rowCount + row] = static_cast<uint8_t>(longBits);
        rows[3 * rowCount + row] = static_cast<uint8_t>(second);  // even length
        bits[3 * rowCount + row] = static_cast<uint8_t>(longBits);
    }
}

}  // namespace

bool zqKelRuleWalker::BuildRunTable()
{
    // Row indices must fit the entry's byte, categories a byte of the walk.
    if (rowCount > 0x100 || categoryCount >= 0xFF) {
        return false;
    }
    const unsigned columns = categoryCount + 1;  // the last one gives up
    // A row's index from its offset, without a division per entry.
    runRowAt.reset(new uint8_t[size_t{rowCount} * stride]());
    for (unsigned row = 0; row < rowCount; ++row) {
        runRowAt[row * stride] = static_cast<uint8_t>(row);
    }
    const size_t entries = size_t{columns} * kLengthClasses * rowCount;
    // The wide walk reads the built columns by category from 64 lanes, and
    // a run's bits kRunBitsAt bytes after its row.
    const bool wideFits = columns <= sizeof runColumnBuilt && entries + rowCount <= kRunBitsAt;
    // After the parts, one that leaves each row as it is and writes
    // nothing: the wide walk pads with it.
    identityPart = entries;
    runBitsAt = wideFits ? kRunBitsAt : entries + rowCount;
    runTableBytes = runBitsAt + entries + rowCount;
    runTable.reset(new uint8_t[runTableBytes]);
    for (unsigned row = 0; row < rowCount; ++row) {
        runTable[identityPart + row] = static_cast<uint8_t>(row);
        runTable[runBitsAt + identityPart + row] = 0;
    }
    std::fill(std::begin(runCategoryStart), std::end(runCategoryStart), kRunColumnNotBuilt);
    pairs = columns <= kPairStride;
    for (unsigned length = 1; length <= kBlock; ++length) {
        const unsigned lengthClass = length < 3 ? length - 1 : 2 + (length + 1) % 2;
        runLengthStart[length] = static_cast<uint16_t>(lengthClass * rowCount);
    }
    for (unsigned c = 0; c < 0x100; ++c) {
        latinCategory[c] = static_cast<uint8_t>(latinColumn[c] / 2);
    }
    std::memset(pageCategory, kNotLearnt, sizeof pageCategory);
    restartIndex = restartRow / (2 * stride);
    for (unsigned row = 0; row < rowCount; ++row) {
        const uint16_t* lastRow = table.get() + row * stride;
        const uint16_t* endRow = table.get() + lastRow[kEndOfTextCategory] / 2;
        const unsigned accepting =
            (lastRow[categoryCount + kFlagsColumn] | endRow[categoryCount + kFlagsColumn]) & kAccept;
        endAnswered[row] = accepting != 0 && (endRow[categoryCount + kNumbersColumn] & 0xFF) <= kAcceptingHere;
    }
    mode = wideFits && HaveWideInstructions() ? Mode::WideRuns : Mode::PlainRuns;
    return true;
}

uint32_t zqKelRuleWalker::BuildPairColumn(unsigned first, unsigned second)
{
    if (pairRows.size() + rowCount > kPairTableBytes / 2) {
        return kPairTableFull;
    }
    const auto start = static_cast<uint32_t>(pairRows.size());
    if (pairRows.capacity() < start + rowCount || pairBits.capacity() < start + rowCount) {
        // Grown by doubling, but never past the bound.
        const size_t capacity =
            std::min<size_t>(std::max<size_t>(2 * pairRows.capacity(), start + rowCount), kPairTableBytes / 2);
        pairRows.reserve(capacity);
        pairBits.reserve(capacity);
    }
    pairRows.resize(start + rowCount);
    pairBits.resize(start + rowCount);
    const uint16_t* const rows = table.get();
    const unsigned flagsColumn = categoryCount + kFlagsColumn;
    for (unsigned row = 0; row < rowCount; ++row) {
        const unsigned afterFirst = runRowAt[rows[row * stride + first] / 2];
        const unsigned afterSecond = runRowAt[rows[afterFirst * stride + second] / 2];
        const unsigned firstFlags = rows[afterFirst * stride + flagsColumn];
        const unsigned secondFlags = rows[afterSecond * stride + flagsColumn];
        pairRows[start + row] = static_cast<uint8_t>(afterSecond);
        pairBits[start + row] = static_cast<uint8_t>(((firstFlags & kRestart) != 0 ? kRunFirst : 0) |
                                                     ((secondFlags & kRestart) != 0 ? kRunSecond : 0) |
                                                     (((firstFlags | secondFlags) & kSpecial) != 0 ? kRunHandOver : 0));
    }
    pairStart[first * kPairStride + second] = static_cast<uint16_t>(start);
    return start;
}

// A pair's two flags as one 16-bit store, the first value's in the low
// byte: times 0x81, kRunFirst stays bit 0 and kRunSecond (bit 1) becomes
// bit 8, and kRunHandOver lands where the mask drops it, with no carry.
static_assert(kRunFirst == 1 && kRunSecond == 2 && kRunHandOver == 16);
inline void StorePairFlags(uint8_t* at, unsigned bits)
{
    uint32_t both = bits;
#if defined(__x86_64__)
    // One multiplication: compilers make it a shift, an addition and a copy.
    asm("imull $0x81, %0, %0" : "+r"(both));
#else
    both *= 0x81;
#endif
    const auto flags = static_cast<uint16_t>(both & 0x101);
    std::memcpy(at, &flags, 2);
}

// Two values a step: half the chain of dependent loads of Walk, which is what
// bounds a short run. As the walk by runs, it keeps only the row and hands
// the match under way to Walk where a step meets a row with kSpecial, and at
// an end of text it cannot answer.
template <bool kEightBitTrie>
inline bool zqKelRuleWalker::WalkPairs(unsigned long count, const uint32_t* codePoints, bool* breakFlags)
{
    // The trie is read only for values not yet learnt, off the Latin path:
    // no copy of it on every call.
    const UCPTrie& trieCopy = *trie;
    if (pairStart.empty()) {
        pairStart.assign(size_t{kPairStride} * kPairStride, kPairNotBuilt);
        // A value the walker gives up on (its category clamped to
        // categoryCount), wherever the walk would reach it.
        for (unsigned other = 0; other < kPairStride; ++other) {
            pairStart[categoryCount * kPairStride + other] = kPairGivesUp;
            pairStart[other * kPairStride + categoryCount] = kPairGivesUp;
        }
    }
    auto* const flags = reinterpret_cast<uint8_t*>(breakFlags);
    size_t row = restartIndex;
    unsigned long k = 0;
    // Copies the compiler can keep in registers (stores to the flags could
    // change the vectors' own pointers, as far as it knows); taken again
    // after the table grows.
    const uint16_t* const starts = pairStart.data();
    const uint8_t* rowsAfter = pairRows.data();
    const uint8_t* bitsOf = pairBits.data();
    // Walked again from where the match under way began, to the end.
    const auto walkAgain = [&](unsigned long from) {
        size_t rowAt = 0;
        return WalkAgain<kEightBitTrie>(count, codePoints, breakFlags, from, rowAt, count) == Ending::Answered;
    };
    for (const unsigned long pairsEnd = count - 1; k < pairsEnd; k += 2) {
        const uint32_t firstValue = codePoints[k];
        const uint32_t secondValue = codePoints[k + 1];
        size_t pair;
        if ((firstValue | secondValue) < 0x100) [[likely]] {
            pair = size_t{latinCategory[firstValue]} * kPairStride + latinCategory[secondValue];
        } else {
            pair = size_t{LearntCategoryOf<kEightBitTrie>(firstValue, trieCopy)} * kPairStride +
                   LearntCategoryOf<kEightBitTrie>(secondValue, trieCopy);
        }
        size_t start = starts[pair];
        if (start >= kPairGivesUp) [[unlikely]] {
            if (start == kPairGivesUp) {
                return false;
            }
            start = start == kPairNotBuilt ? BuildPairColumn(pair / kPairStride, pair % kPairStride) : start;
            if (start == kPairTableFull) {
                // No room for the pair: the run walked a character at a time.
                unsigned long i = 0;
                size_t rowAt = restartRow;
                return Walk<kEightBitTrie, false>(count, codePoints, breakFlags, i, rowAt, 0) == Ending::Answered;
            }
            rowsAfter = pairRows.data();
            bitsOf = pairBits.data();
        }
        const unsigned bits = bitsOf[start + row];
        if (bits >= kRunHandOver) [[unlikely]] {  // the highest bit a pair's entry has
            return walkAgain(k);
        }
        StorePairFlags(flags + k, bits);
        AdvanceRow(rowsAfter + start, row);
    }
    if (k < count) {
        // The last value of an odd run, one step of the run table.
        const unsigned last = LearntCategoryOf<kEightBitTrie>(codePoints[k], trieCopy);
        uint32_t start = runCategoryStart[last];
        if (start == kRunColumnNotBuilt) {
            start = BuildRunColumn(last);
        }
        const unsigned bits = runTable[runBitsAt + start + row];
        if ((bits & kRunHandOver) != 0) {
            return walkAgain(k);
        }
        flags[k] = static_cast<uint8_t>(bits & kRunFirst);
        row = runTable[start + row];
    }
    return endAnswered[row] != 0 || walkAgain(count);
}

size_t zqKelRuleWalker::MostBytes() const
{
    size_t bytes = sizeof *this + sizeof(UCPTrie) + sizeof(uint16_t) * rowCount * stride +
                   sizeof(unsigned long) * lookAheadAt.capacity();
    if (runTable != nullptr) {
        bytes += size_t{rowCount} * stride + runTableBytes;
        bytes += kLearntBytes;  // the BMP's and the pictographs' categories
        if (pairs) {
            bytes += sizeof(uint16_t) * kPairStride * kPairStride + kPairTableBytes;
        }
    }
    return bytes;
}

unsigned zqKelRuleWalker::BuildRunColumn(unsigned category)
{
    const uint32_t start = category * kLengthClasses * rowCount;
    FillRunColumn(table.get(), stride, categoryCount + kFlagsColumn, runRowAt.get(), rowCount, category,
                  runTable.get() + start, runTable.get() + runBitsAt + start);
    runCategoryStart[category] = start;
    if (category < sizeof runColumnBuilt) {
        runColumnBuilt[category] = 1;
    }
    return start;
}

template <bool kEightBitTrie>
inline unsigned zqKelRuleWalker::CategoryOf(uint32_t c, const UCPTrie& trieCopy) const
{
    if (c < 0x100) {
        return latinCategory[c];
    }
    unsigned category;
    if (c <= 0xFFFF) {
        if (c - 0xD800 < 0x800) {
            return categoryCount;  // a surrogate value
        }
        category = kEightBitTrie ? UCPTRIE_FAST_BMP_GET(&trieCopy, UCPTRIE_8, c)
                                 : UCPTRIE_FAST_BMP_GET(&trieCopy, UCPTRIE_16, c);
    } else if (c <= 0x10FFFF) {
        const auto point = static_cast<UChar32>(c);  // ICU's signed type for code points
        category = kEightBitTrie ? UCPTRIE_FAST_SUPP_GET(&trieCopy, UCPTRIE_8, point)
                                 : UCPTRIE_FAST_SUPP_GET(&trieCopy, UCPTRIE_16, point);
    } else {
        return categoryCount;  // no code point
    }
    return category < categoryCount ? category : categoryCount;
}

template <bool kEightBitTrie>
inline unsigned zqKelRuleWalker::LearntCategoryOf(uint32_t c, const UCPTrie& trieCopy)
{
    if (c < 0x100) {
        return latinCategory[c];
    }
    if (learntCategory == nullptr) [[unlikely]] {
        MakeLearntCategories();
    }
    unsigned at;
    if (c <= 0xFFFF) [[likely]] {
        at = c;
    } else if (c - kPictographsFirst < kPictographsCount) {
        at = 0x10000 + (c - kPictographsFirst);
    } else {
        return CategoryOf<kEightBitTrie>(c, trieCopy);
    }
    const unsigned category = learntCategory[at];
    return category != kNotLearnt ? category : LearnBlock<kEightBitTrie>(c, trieCopy);
}

template <bool kEightBitTrie>
inline void zqKelRuleWalker::CategoriesOf(const uint32_t* values, unsigned n, uint8_t* categories,
                                          const UCPTrie& trieCopy)
{
    for (unsigned k = 0; k < n; ++k) {
        categories[k] = static_cast<uint8_t>(LearntCategoryOf<kEightBitTrie>(values[k], trieCopy));
    }
}

template <bool kEightBitTrie>
__attribute__((noinline)) unsigned zqKelRuleWalker::LearnBlock(uint32_t c, const UCPTrie& trieCopy)
{
    const uint32_t first = c & ~uint32_t{63};
    uint8_t* const learnt = learntCategory.get() + (c <= 0xFFFF ? first : 0x10000 + (first - kPictographsFirst));
    for (uint32_t k = 0; k < 64; ++k) {
        learnt[k] = static_cast<uint8_t>(CategoryOf<kEightBitTrie>(first + k, trieCopy));
    }
    return learnt[c - first];
}

void zqKelRuleWalker::MakeLearntCategories()
{
    // Three bytes more: a gather reads four from each value's.
    std::unique_ptr<uint8_t[]> learnt(new uint8_t[kLearntBytes + 3]);
    std::memset(learnt.get(), kNotLearnt, kLearntBytes + 3);
    learntCategory = std::move(learnt);
}

template <bool kEightBitTrie>
void zqKelRuleWalker::LearnPage(unsigned page, const UCPTrie& trieCopy)
{
    if (learntCategory == nullptr) {
        MakeLearntCategories();
    }
    const uint8_t* const learnt = learntCategory.get() + page * 0x100;
    for (unsigned block = 0; block < 0x100; block += 64) {
        if (learnt[block] == kNotLearnt) {
            LearnBlock<kEightBitTrie>(page * 0x100 + block, trieCopy);
        }
    }
    const uint8_t first = learnt[0];
    pageCategory[page] = std::all_of(learnt, learnt + 0x100, [&](uint8_t category) { return category == first; })
                             ? first
                             : kMixedPage;
}

// The match under way at `position` walked again one character at a time,
// from where it began (the last position flagged before `position`), and on
// as Walk goes, handing back from handBackFrom on; the run tables' walks call
// it where they cannot go on. Flags are cleared on giving up, the stores of
// runs past `position` included.
template <bool kEightBitTrie>
zqKelRuleWalker::Ending zqKelRuleWalker::WalkAgain(unsigned long count, const uint32_t* codePoints,
                                                  bool* breakFlags, unsigned long& position, size_t& rowAt,
                                                  unsigned long handBackFrom)
{
    const void* flagged = position > 0 ? memrchr(breakFlags, 1, position) : nullptr;
    position = flagged != nullptr
                   ? static_cast<unsigned long>(static_cast<const bool*>(flagged) - breakFlags)
                   : 0;
    rowAt = restartRow;
    const Ending ending = Walk<kEightBitTrie, true>(count, codePoints, breakFlags, position, rowAt, handBackFrom);
    if (ending == Ending::GivenUp) {
        std::memset(breakFlags, 0, count);
    }
    return ending;
}

// The end of the text after a walk that keeps only the row (the row index
// after the last character): answered here when the last character or the
// end of the text leads to an accepting row (the last boundary is then the
// end), unless a look-ahead rule completes there (endAnswered, made with the
// run table, says which rows those are); else the match under way is walked
// again.
template <bool kEightBitTrie>
bool zqKelRuleWalker::EndOfText(unsigned long count, const uint32_t* codePoints, bool* breakFlags, size_t row)
{
    if (endAnswered[row] != 0) {
        return true;
    }
    unsigned long i = count;
    size_t rowAt = 0;
    return WalkAgain<kEightBitTrie>(count, codePoints, breakFlags, i, rowAt, count) == Ending::Answered;
}

// The walk by runs keeps only the row: a run that ends in a row without
// kSpecial has set no look-ahead position and ended no match but by
// beginning the next one. Where it needs more (a run to hand over, the end of
// the text without an accepting row), the match under way is walked again
// one character at a time from where it began, the last position flagged,
// where Walk starts as the walk did: a flagged character is always read in
// the restart row (only that row and the stop state lead into the copies
// that flag). Walk hands back at the first match that begins after the run,
// so each match is walked again at most once.
template <bool kEightBitTrie>
bool zqKelRuleWalker::WalkRunsPlain(unsigned long count, const uint32_t* codePoints, bool* breakFlags)
{
    const UCPTrie trieCopy = *trie;
    const uint8_t* const rowsAfter = runTable.get();
    const uint8_t* const bitsOf = runTable.get() + runBitsAt;
    const unsigned rowBytes = 2 * stride;
    auto* const flags = reinterpret_cast<uint8_t*>(breakFlags);
    // categories[k] is the category of the block's value k; categories[-1]
    // is read, and ignored, by CategoryChanges.
    alignas(64) uint8_t buffer[64 + kBlock];
    uint8_t* const categories = buffer + 64;
    std::memset(buffer, 0, sizeof buffer);
    size_t row = restartIndex;
    unsigned long from = 0;  // the block's first position
    while (from < count) {
        const uint32_t* const values = codePoints + from;
        const unsigned n = static_cast<unsigned>(std::min<unsigned long>(kBlock, count - from));
        uint64_t starts;
        {
            CategoriesOf<kEightBitTrie>(values, n, categories, trieCopy);
            starts = CategoryChanges(categories);
            if (n < kBlock) {
                // The end of the block as the start of one more run.
                starts = (starts & ((uint64_t{1} << n) - 1)) | uint64_t{1} << n;
            }
        }
        const uint64_t blockStarts = starts;
        starts &= starts - 1;  // the first run's start, 0
        unsigned at = 0;
        unsigned long nextFrom = from + n;  // where the next block begins
        for (;;) {
            const auto end = static_cast<unsigned>(std::countr_zero(starts));  // kBlock when none is left
            const unsigned length = end - at;
            uint32_t categoryStart = runCategoryStart[categories[at]];
            if (categoryStart == kRunColumnNotBuilt) [[unlikely]] {
                categoryStart = BuildRunColumn(categories[at]);
            }
            const size_t column = categoryStart + runLengthStart[length];
            const unsigned bits = bitsOf[column + row];
            const unsigned long p = from + at;
            if ((bits & kRunHandOver) != 0) [[unlikely]] {
                unsigned long i = p;
                size_t rowAt = 0;
                const Ending ending = WalkAgain<kEightBitTrie>(count, codePoints, breakFlags, i, rowAt, from + end);
                if (ending != Ending::HandedBack) {
                    return ending == Ending::Answered;
                }
                row = rowAt / rowBytes;
                if (i >= from + n) {
                    nextFrom = i;
                    break;
                }
                // On in this block, from the run that begins where Walk
                // handed back.
                at = static_cast<unsigned>(i - from);
                starts = at + 1 < kBlock ? blockStarts & (~uint64_t{0} << (at + 1)) : 0;
                continue;
            }
            if (p + kRunStore <= count) [[likely]] {
                std::memcpy(flags + p, kRunStores.bytes[bits], kRunStore);
                if (length > kRunStore) [[unlikely]] {
                    StoreRunTail(flags + p, bits, length);
                }
            } else {
                for (unsigned k = 0; k < length; ++k) {  // length < kRunStore
                    flags[p + k] = kRunStores.bytes[bits][k];
                }
            }
            row = rowsAfter[column + row];
            if (end == n) {
                break;
            }
            at = end;
            starts &= starts - 1;
        }
        from = nextFrom;
    }
    return EndOfText<kEightBitTrie>(count, codePoints, breakFlags, row);
}

template bool zqKelRuleWalker::WalkRunsPlain<true>(unsigned long, const uint32_t*, bool*);
template bool zqKelRuleWalker::WalkRunsPlain<false>(unsigned long, const uint32_t*, bool*);
#ifdef ZQ_KEL_HAVE_WIDE_RUNS
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,avx512vbmi2,avx2,bmi,bmi2,popcnt")  // ZQ_KEL_WIDE_TARGET
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // as above
#pragma GCC diagnostic ignored "-Wuninitialized"
namespace {

// The lookups of the wide walk, each a 64-byte table read by vpermb.
struct WideTables {
    alignas(64) uint8_t lane[kBlock];         // k
    alignas(64) uint8_t lengthClass[kBlock];  // a run's class of length, by its length - 1
    alignas(64) uint8_t placeClass[kBlock];   // a character's place in its run (first, second,
                                              // even from 2, odd from 3), by its offset
    alignas(64) uint8_t flagOf[kBlock];       // a character's flag, by (bits & 15) << 2 | place
    // From 32 values of four bytes in two registers: their bytes 0 then
    // their bytes 1 (lowBytes), their bytes 2 then 3 (highBytes).
    alignas(64) uint8_t lowBytes[kBlock];
    alignas(64) uint8_t highBytes[kBlock];
};
constexpr WideTables MakeWideTables()
{
    WideTables tables{};
    for (unsigned k = 0; k < kBlock; ++k) {
        const unsigned length = k + 1;
        tables.lane[k] = static_cast<uint8_t>(k);
        tables.lengthClass[k] = static_cast<uint8_t>(length < 3 ? length - 1 : 2 + (length + 1) % 2);
        tables.placeClass[k] = static_cast<uint8_t>(k < 2 ? k : 2 + k % 2);
        tables.flagOf[k] = RunFlag(k >> 2, k & 3);
        tables.lowBytes[k] = static_cast<uint8_t>(4 * (k % 32) + k / 32);
        tables.highBytes[k] = static_cast<uint8_t>(4 * (k % 32) + 2 + k / 32);
    }
    return tables;
}
constexpr WideTables kWideTables = MakeWideTables();

// A table of 256 bytes read at each lane's byte.
__attribute__((target(ZQ_KEL_WIDE_TARGET))) inline __m512i LookUpWide(const uint8_t* table, __m512i at)
{
    const __m512i below = _mm512_permutex2var_epi8(_mm512_loadu_si512(table), at, _mm512_loadu_si512(table + 64));
    const __m512i above =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(table + 128), at, _mm512_loadu_si512(table + 192));
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(at), below, above);
}

// For each lane of a block, the number of the run it belongs to (0 for the
// first): the count of run starts up to it, less one. In each 64-bit lane a
// multiplication by 0x0101010101010101 sums the starts of its bytes up to
// each; the lanes before add their totals, spread over the bytes the same
// way. Counts stay below 65, so no byte carries into the next.
__attribute__((target(ZQ_KEL_WIDE_TARGET))) inline __m512i RunNumbersWide(uint64_t starts)
{
    const __m512i ones = _mm512_set1_epi64(0x0101010101010101);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i inLane = _mm512_mullo_epi64(_mm512_maskz_mov_epi8(starts, _mm512_set1_epi8(1)), ones);
    const __m512i totals = _mm512_srli_epi64(inLane, 56);
    __m512i before = _mm512_add_epi64(totals, _mm512_alignr_epi64(totals, zero, 7));
    before = _mm512_add_epi64(before, _mm512_alignr_epi64(before, zero, 6));
    before = _mm512_add_epi64(before, _mm512_alignr_epi64(before, zero, 4));
    before = _mm512_sub_epi64(before, totals);
    return _mm512_sub_epi8(_mm512_add_epi8(inLane, _mm512_mullo_epi64(before, ones)), _mm512_set1_epi8(1));
}

}  // namespace

// The categories of a block, from the values' bytes taken apart into four
// registers (bytes 0, 1, 2 and 3 of each value): Latin-1 values from their
// table and values of a page of the BMP whose values share one category
// from the table of pages (both looked up with vpermi2b), the rest from the
// learnt table: as a table too when they are all on one page of the BMP
// (kana and punctuation among ideographs), else one at a time (emoji among
// words, which spread over several pages).
template <bool kEightBitTrie>
void zqKelRuleWalker::CategoriesWide(const uint32_t* values, unsigned n, uint8_t* categories,
                                     const UCPTrie& trieCopy)
{
    static_assert(kPictographsFirst % 0x100 == 0 && kPictographsCount % 0x100 == 0 &&
                  (kPictographsFirst & 0xFFFF) + kPictographsCount <= 0x10000);
    if (learntCategory == nullptr) [[unlikely]] {
        MakeLearntCategories();
        CategoriesWide<kEightBitTrie>(values, n, categories, trieCopy);
        return;
    }
    const uint64_t inBlock = _bzhi_u64(~uint64_t{0}, n);
    __m512i v[4];
    for (unsigned g = 0; g < 4; ++g) {
        v[g] = _mm512_maskz_loadu_epi32(static_cast<__mmask16>(inBlock >> (16 * g)), values + 16 * g);
    }
    const __m512i lowBytes = _mm512_load_si512(kWideTables.lowBytes);
    const __m512i low01 = _mm512_permutex2var_epi8(v[0], lowBytes, v[1]);
    const __m512i low23 = _mm512_permutex2var_epi8(v[2], lowBytes, v[3]);
    const __m512i low = _mm512_shuffle_i64x2(low01, low23, _MM_SHUFFLE(1, 0, 1, 0));
    const __m512i page = _mm512_shuffle_i64x2(low01, low23, _MM_SHUFFLE(3, 2, 3, 2));
    // Bytes 2 and 3 only for a block with a value above U+FFFF (lanes past
    // n were loaded as 0).
    uint64_t inBmp = inBlock;
    uint64_t pictographs = 0;
    const __m512i any = _mm512_or_si512(_mm512_or_si512(v[0], v[1]), _mm512_or_si512(v[2], v[3]));
    if (_mm512_test_epi32_mask(any, _mm512_set1_epi32(~0xFFFF)) != 0) {
        const __m512i highBytes = _mm512_load_si512(kWideTables.highBytes);
        const __m512i high01 = _mm512_permutex2var_epi8(v[0], highBytes, v[1]);
        const __m512i high23 = _mm512_permutex2var_epi8(v[2], highBytes, v[3]);
        const __m512i plane = _mm512_shuffle_i64x2(high01, high23, _MM_SHUFFLE(1, 0, 1, 0));
        const __m512i top = _mm512_shuffle_i64x2(high01, high23, _MM_SHUFFLE(3, 2, 3, 2));
        inBmp = _mm512_mask_testn_epi8_mask(inBlock, _mm512_or_si512(plane, top), _mm512_set1_epi8(-1));
        pictographs = _mm512_mask_cmplt_epu8_mask(
            _mm512_mask_cmpeq_epi8_mask(_mm512_testn_epi8_mask(top, top) & inBlock & ~inBmp, plane,
                                        _mm512_set1_epi8(static_cast<char>(kPictographsFirst >> 16))),
            _mm512_sub_epi8(page, _mm512_set1_epi8(static_cast<char>(kPictographsFirst >> 8))),
            _mm512_set1_epi8(static_cast<char>(kPictographsCount >> 8)));
    }
    const uint64_t latin = _mm512_mask_testn_epi8_mask(inBmp, page, page);
    // Mostly ASCII among the Latin-1 values: the table's first half alone.
    const __m512i latinCategories =
        (latin & _mm512_movepi8_mask(low)) == 0
            ? _mm512_permutex2var_epi8(_mm512_load_si512(latinCategory), low, _mm512_load_si512(latinCategory + 64))
            : LookUpWide(latinCategory, low);
    __m512i result = _mm512_mask_blend_epi8(latin, LookUpWide(pageCategory, page), latinCategories);
    const uint64_t shared = _mm512_mask_cmplt_epu8_mask(inBmp & ~latin, result, _mm512_set1_epi8(kMixedPage));
    uint64_t unknown =
        _mm512_mask_cmpeq_epi8_mask(inBmp & ~latin, result, _mm512_set1_epi8(static_cast<char>(kNotLearnt)));
    if (unknown != 0) [[unlikely]] {
        // Pages met for the first time, learnt whole; then the block again.
        // (Nothing of the block is kept across the calls, which would have
        // every block save its registers.)
        for (; unknown != 0; unknown &= unknown - 1) {
            const unsigned pageMet = values[std::countr_zero(unknown)] >> 8;
            if (pageCategory[pageMet] == kNotLearnt) {
                LearnPage<kEightBitTrie>(pageMet, trieCopy);
            }
        }
        CategoriesWide<kEightBitTrie>(values, n, categories, trieCopy);
        return;
    }
    const uint64_t inTable = inBmp | pictographs;
    uint64_t rest = inTable & ~latin & ~shared;
    if (rest != 0 && (rest & ~inBmp) == 0) {
        // All on one page of the BMP (kana and punctuation among
        // ideographs, mostly): a page learnt whole, looked up as a table.
        // Mostly the page of the last such block, whose table is then read
        // without waiting for this block's values.
        unsigned pageOfRest = lastMixedPage;
        if (_mm512_mask_cmpeq_epi8_mask(rest, page, _mm512_set1_epi8(static_cast<char>(pageOfRest))) != rest) {
            pageOfRest = values[std::countr_zero(rest)] >> 8;
            if (_mm512_mask_cmpeq_epi8_mask(rest, page, _mm512_set1_epi8(static_cast<char>(pageOfRest))) != rest) {
                pageOfRest = 0;
            }
            lastMixedPage = static_cast<uint8_t>(pageOfRest != 0 ? pageOfRest : lastMixedPage);
        }
        if (pageOfRest != 0) {
            result = _mm512_mask_mov_epi8(result, rest, LookUpWide(learntCategory.get() + pageOfRest * 0x100, low));
            rest = 0;
        }
    }
    _mm512_store_si512(categories, result);
    // The rest, stored over the block's: the walk reads the block as a
    // whole only after the next block's chain, when these stores are done.
    if (rest != 0) {
        const uint8_t* const learnt = learntCategory.get();
        for (uint64_t r = rest; r != 0; r &= r - 1) {
            const auto k = static_cast<unsigned>(std::countr_zero(r));
            const uint32_t value = values[k];
            const uint8_t category = learnt[value <= 0xFFFF ? value : value - (kPictographsFirst - 0x10000)];
            categories[k] = category != kNotLearnt
                                ? category
                                : static_cast<uint8_t>(LearntCategoryOf<kEightBitTrie>(value, trieCopy));
        }
    }
    // Values outside the tables.
    for (uint64_t again = inBlock & ~inTable; again != 0; again &= again - 1) [[unlikely]] {
        const auto k = static_cast<unsigned>(std::countr_zero(again));
        categories[k] = static_cast<uint8_t>(LearntCategoryOf<kEightBitTrie>(values[k], trieCopy));
    }
}

namespace {

// One walk of the wide walk over a range of blocks (below).
struct WideStream {
    unsigned long from = 0;  // the next block's first position
    unsigned long end = 0;   // where the stream's blocks end
    size_t row = 0;
    bool nextLatin = false;  // the next block's categories, found ahead
    uint64_t nextChanges = 0;
    unsigned categorySlot = 0;
    // The block prepared and walked.
    unsigned n = 0;
    unsigned runs = 0;
    uint64_t starts = 0;
    uint64_t inBlock = 0;
    uint64_t inRuns = 0;
    __m512i runStart;
    __m512i runEnd;
    unsigned slot = 0;  // found[slot] is its runs' bits
    // The block before it, whose flags are still to be stored: a load of
    // the 64 bytes its chain just stored one at a time would wait for them.
    bool pending = false;
    unsigned long pendingFrom = 0;
    uint64_t pendingStarts = 0;
    uint64_t pendingInBlock = 0;
    uint64_t pendingInRuns = 0;
    __m512i pendingRunStart;
    __m512i pendingRunEnd;
    alignas(64) uint8_t categoryBlocks[2][kBlock];
    alignas(64) const uint8_t* parts[kBlock];
    alignas(64) uint8_t found[2][kBlock];
};

// How many of the second stream's blocks the first may walk to meet it.
constexpr unsigned kMeetWithin = 4;

}  // namespace

// The walk by runs with AVX-512: a block of 64 values at a time, in three
// steps. First, without the row, each run of the block (its start, length
// and category, found by compressing the lanes where the category changes)
// gets the address of its part of the run table. Then the runs are walked
// from row to row, one load each, keeping each run's bits: all that
// depends on the row is that chain. Last, the block's flags are made at once
// from each lane's run number, its place in the run and the run's bits, and
// stored with one store. A run to hand over is handled as the walk in plain
// C++ handles it: the flags before it are stored, and the next block begins
// where Walk hands back.
//
// The chain is what bounds the walk, so a text of kTwoStreamsFrom values or
// more is walked as two streams whose chains interleave: the first from the
// start to `half`, the second from `half` to the end, beginning in the
// restart row as if a match began there. The second's row is then only a
// guess until the first, walking on past `half` a block at a time, reaches
// the same row at the end of one of the second's blocks: from there on both
// walks are the same walk, and the second's flags stand. Rows meet within a
// few characters (after a space, at each ideograph), mostly in the first
// block; where they do not within kMeetWithin blocks, or the second stream
// meets a run to hand over, the first walks on to the end alone.
template <bool kEightBitTrie>
bool zqKelRuleWalker::WalkRunsWide(unsigned long count, const uint32_t* codePoints, bool* breakFlags)
{
    const UCPTrie trieCopy = *trie;
    const unsigned rowBytes = 2 * stride;
    auto* const flags = reinterpret_cast<uint8_t*>(breakFlags);
    const __m512i lanes = _mm512_load_si512(kWideTables.lane);
    const __m512i rowsPerClass = _mm512_set1_epi64(rowCount);
    const __m512i tableAt = _mm512_set1_epi64(reinterpret_cast<long long>(runTable.get()));
    const __m512i identity = _mm512_set1_epi64(reinterpret_cast<long long>(runTable.get() + identityPart));
    // A block's flags, from its runs' bits (one byte each, from bitsAt), the
    // lanes where they start and their starts compressed, stored from
    // position `at` where `lanesToStore` has a bit.
    const auto storeFlags = [&](const uint8_t* bitsAt, uint64_t starts, __m512i runStart, unsigned long at,
                                uint64_t lanesToStore) {
        const __m512i runOf = RunNumbersWide(starts);
        const __m512i offset = _mm512_sub_epi8(lanes, _mm512_permutexvar_epi8(runOf, runStart));
        const __m512i scaled =
            _mm512_slli_epi16(_mm512_and_si512(_mm512_load_si512(bitsAt), _mm512_set1_epi8(15)), 2);
        const __m512i key = _mm512_or_si512(_mm512_permutexvar_epi8(runOf, scaled),
                                            _mm512_permutexvar_epi8(offset, _mm512_load_si512(kWideTables.placeClass)));
        _mm512_mask_storeu_epi8(flags + at, lanesToStore,
                                _mm512_permutexvar_epi8(key, _mm512_load_si512(kWideTables.flagOf)));
    };
    // The categories of n values from `at` into `into`; true, with where
    // they change, for a block of Latin-1 values.
    const auto findCategories = [&](unsigned long at, unsigned n, uint8_t* into, uint64_t& changes) {
        if (LatinBlockWide(codePoints + at, n, latinCategory, into, changes)) {
            return true;
        }
        CategoriesWide<kEightBitTrie>(codePoints + at, n, into, trieCopy);
        return false;
    };
    // A text shorter than kCategoriesFirstBelow has all its categories
    // found first: a value the walker gives up on is met before any walk,
    // and the finder needs no scan for it (ScansItself).
    alignas(64) uint8_t textCategories[kCategoriesFirstBelow + kBlock];
    const bool categorizedFirst = count < kCategoriesFirstBelow;
    if (categorizedFirst) {
        // Checked once all are found: a block's categories stored one at a
        // time are read whole only when those stores are done.
        __m512i highest = _mm512_setzero_si512();
        for (unsigned long at = 0; at < count; at += kBlock) {
            const unsigned n = static_cast<unsigned>(std::min<unsigned long>(kBlock, count - at));
            uint64_t unused = 0;
            findCategories(at, n, textCategories + at, unused);
        }
        for (unsigned long at = 0; at < count; at += kBlock) {
            const unsigned n = static_cast<unsigned>(std::min<unsigned long>(kBlock, count - at));
            highest = _mm512_mask_max_epu8(highest, _bzhi_u64(~uint64_t{0}, n), highest,
                                           _mm512_load_si512(textCategories + at));
        }
        // Dictionary categories, and categoryCount for values of none.
        if (_mm512_cmpge_epu8_mask(highest, _mm512_set1_epi8(static_cast<char>(dictionaryStart))) != 0) {
            return false;
        }
    }
    // The categories of the block from `at` (up to `end`) into `into`,
    // found one block ahead (or copied from those found first); true, with
    // where they change, for a block of Latin-1 values or one copied.
    const auto categorize = [&](unsigned long at, unsigned long end, uint8_t* into, uint64_t& changes) {
        const unsigned n = static_cast<unsigned>(std::min<unsigned long>(kBlock, end - at));
        if (categorizedFirst) {
            const __m512i categories = _mm512_loadu_si512(textCategories + at);
            _mm512_store_si512(into, categories);
            changes = CategoryChangesWide(categories, n);
            return true;
        }
        return findCategories(at, n, into, changes);
    };
    const auto begin = [&](WideStream& stream, unsigned long from, unsigned long end) {
        stream.from = from;
        stream.end = end;
        stream.pending = false;
        if (from < end) {
            stream.nextLatin =
                categorize(from, end, stream.categoryBlocks[stream.categorySlot], stream.nextChanges);
        }
    };
    // The runs of the stream's next block, and their parts.
    const auto prepare = [&](WideStream& stream) {
        const unsigned n = static_cast<unsigned>(std::min<unsigned long>(kBlock, stream.end - stream.from));
        const uint8_t* const categories = stream.categoryBlocks[stream.categorySlot];
        const uint64_t changes = stream.nextLatin ? stream.nextChanges : BlockChangesWide(categories, n);
        stream.categorySlot ^= 1;
        if (stream.from + n < stream.end) {
            stream.nextLatin = categorize(stream.from + n, stream.end, stream.categoryBlocks[stream.categorySlot],
                                          stream.nextChanges);
        }
        stream.n = n;
        stream.inBlock = _bzhi_u64(~uint64_t{0}, n);
        const uint64_t starts = changes & stream.inBlock;
        stream.starts = starts;
        const uint64_t lasts = starts >> 1 | uint64_t{1} << (n - 1);
        const auto runs = static_cast<unsigned>(_mm_popcnt_u64(starts));
        stream.runs = runs;
        const uint64_t inRuns = _bzhi_u64(~uint64_t{0}, runs);
        stream.inRuns = inRuns;
        const __m512i runStart = _mm512_maskz_compress_epi8(starts, lanes);
        const __m512i runEnd = _mm512_maskz_compress_epi8(lasts, _mm512_add_epi8(lanes, _mm512_set1_epi8(1)));
        stream.runStart = runStart;
        stream.runEnd = runEnd;
        const __m512i runCategory = _mm512_maskz_compress_epi8(starts, _mm512_load_si512(categories));
        if (_mm512_mask_test_epi8_mask(inRuns,
                                       _mm512_permutexvar_epi8(runCategory, _mm512_load_si512(runColumnBuilt)),
                                       _mm512_set1_epi8(1)) != inRuns) [[unlikely]] {
            alignas(64) uint8_t met[kBlock];
            _mm512_store_si512(met, runCategory);
            for (unsigned r = 0; r < runs; ++r) {
                if (runCategoryStart[met[r]] == kRunColumnNotBuilt) {
                    BuildRunColumn(met[r]);
                }
            }
        }
        // Each run's part: category * 4 + class of length (categories are
        // below 64, so no bits cross bytes), times the part's length, then
        // as an address, so that the chain's loads need no addition: eight
        // runs at a time, as many as the block has (lanes past its runs get
        // the part that changes nothing).
        const __m512i lengthClass =
            _mm512_permutexvar_epi8(_mm512_sub_epi8(_mm512_sub_epi8(runEnd, runStart), _mm512_set1_epi8(1)),
                                    _mm512_load_si512(kWideTables.lengthClass));
        const __m512i part = _mm512_add_epi8(_mm512_slli_epi16(runCategory, 2), lengthClass);
        for (unsigned eighth = 0; 8 * eighth < runs; ++eighth) {
            const __m512i these = _mm512_cvtepu8_epi64(
                _mm512_castsi512_si128(_mm512_permutexvar_epi64(_mm512_set1_epi64(eighth), part)));
            const auto inRunsHere = static_cast<__mmask8>(inRuns >> (8 * eighth));
            _mm512_store_si512(stream.parts + 8 * eighth, _mm512_mask_add_epi64(identity, inRunsHere, tableAt,
                                                                                _mm512_mul_epu32(these, rowsPerClass)));
        }
    };
    // Lanes from `runs` on to `steps` get the part that changes nothing:
    // the chains of two streams take as many steps as the longer needs.
    const auto padParts = [&](WideStream& stream, unsigned steps) {
        for (unsigned r = (stream.runs + 7) / 8 * 8; r < steps; r += 8) {
            _mm512_store_si512(stream.parts + r, identity);
        }
    };
    // The flags of the stream's last block; true, storing nothing, when it
    // has a run to hand over.
    const auto settle = [&](WideStream& stream) {
        if (!stream.pending) {
            return false;
        }
        const uint8_t* const bits = stream.found[stream.slot ^ 1];
        if (_mm512_mask_test_epi8_mask(stream.pendingInRuns, _mm512_load_si512(bits),
                                       _mm512_set1_epi8(kRunHandOver)) != 0) [[unlikely]] {
            return true;
        }
        storeFlags(bits, stream.pendingStarts, stream.pendingRunStart, stream.pendingFrom, stream.pendingInBlock);
        stream.pending = false;
        return false;
    };
    // The block walked becomes the last block.
    const auto advance = [&](WideStream& stream) {
        stream.pending = true;
        stream.pendingFrom = stream.from;
        stream.pendingStarts = stream.starts;
        stream.pendingInBlock = stream.inBlock;
        stream.pendingInRuns = stream.inRuns;
        stream.pendingRunStart = stream.runStart;
        stream.pendingRunEnd = stream.runEnd;
        stream.slot ^= 1;
        stream.from += stream.n;
    };
    // The last block has a run to hand over: its flags before it are
    // stored, the match under way is walked again, and the stream goes on
    // where Walk hands back (its block just walked, from a row it never
    // had, is left).
    const auto handOver = [&](WideStream& stream) {
        const uint8_t* const bits = stream.found[stream.slot ^ 1];
        alignas(64) uint8_t startAt[kBlock];
        alignas(64) uint8_t endAt[kBlock];
        _mm512_store_si512(startAt, stream.pendingRunStart);
        _mm512_store_si512(endAt, stream.pendingRunEnd);
        const auto r = static_cast<unsigned>(std::countr_zero(_mm512_mask_test_epi8_mask(
            stream.pendingInRuns, _mm512_load_si512(bits), _mm512_set1_epi8(kRunHandOver))));
        storeFlags(bits, stream.pendingStarts, stream.pendingRunStart, stream.pendingFrom,
                   _bzhi_u64(~uint64_t{0}, startAt[r]));
        unsigned long i = stream.pendingFrom + startAt[r];
        size_t rowAt = 0;
        const Ending ending =
            WalkAgain<kEightBitTrie>(count, codePoints, breakFlags, i, rowAt, stream.pendingFrom + endAt[r]);
        if (ending == Ending::HandedBack) {
            stream.row = rowAt / rowBytes;
            begin(stream, i, std::max(stream.end, i));
        }
        return ending;
    };
    // The block prepared (its runs; not their parts), from one stream to
    // another.
    const auto takeBlock = [](WideStream& to, const WideStream& from) {
        to.n = from.n;
        to.inBlock = from.inBlock;
        to.starts = from.starts;
        to.runs = from.runs;
        to.inRuns = from.inRuns;
        to.runStart = from.runStart;
        to.runEnd = from.runEnd;
    };
    // The stream's block as prepared, into `kept`, with its runs' parts
    // (eight at a time).
    const auto keep = [&](const WideStream& stream, WideStream& kept) {
        takeBlock(kept, stream);
        for (unsigned r = 0; r < stream.runs; r += 8) {
            _mm512_store_si512(kept.parts + r, _mm512_load_si512(stream.parts + r));
        }
    };
    const auto chainOne = [&](WideStream& stream) {
        size_t row = stream.row;
        uint8_t* const found = stream.found[stream.slot];
        for (unsigned r = 0; r < stream.runs; ++r) {
            const uint8_t* const at = stream.parts[r];
            found[r] = at[kRunBitsAt + row];
            row = RowAt(at, row);
        }
        stream.row = row;
    };

    WideStream first;
    WideStream second;
    first.row = restartIndex;
    second.row = restartIndex;
    // Where the second stream begins: a whole number of blocks, so that
    // the first's blocks past it end where the second's do.
    const unsigned long half = count >= kTwoStreamsFrom ? count / 2 / kBlock * kBlock : count;
    bool twoStreams = half < count;
    begin(first, 0, half);
    size_t secondRowAt[kMeetWithin];       // at the ends of the second's first blocks
    size_t secondRowBefore[kBlock + 1];  // before each run of its first block
    unsigned secondBlocks = 0;
    // The second's first block as prepared, kept for the first to walk
    // when it gets there instead of preparing it again.
    WideStream keptBlock;
    if (twoStreams) {
        begin(second, half, count);
        while (first.from < first.end && second.from < second.end) {
            prepare(first);
            prepare(second);
            size_t rowOfFirst = first.row;
            size_t rowOfSecond = second.row;
            const unsigned steps = std::max(first.runs, second.runs);
            padParts(first, steps);
            padParts(second, steps);
            if (secondBlocks == 0) {
                // The second's first block: its row before each run, where
                // the first may meet it.
                keep(second, keptBlock);
                for (unsigned r = 0; r < steps; ++r) {
                    const uint8_t* const atFirst = first.parts[r];
                    const uint8_t* const atSecond = second.parts[r];
                    secondRowBefore[r] = rowOfSecond;
                    first.found[first.slot][r] = atFirst[kRunBitsAt + rowOfFirst];
                    second.found[second.slot][r] = atSecond[kRunBitsAt + rowOfSecond];
                    rowOfFirst = RowAt(atFirst, rowOfFirst);
                    rowOfSecond = RowAt(atSecond, rowOfSecond);
                }
            } else {
                for (unsigned r = 0; r < steps; ++r) {
                    const uint8_t* const atFirst = first.parts[r];
                    const uint8_t* const atSecond = second.parts[r];
                    first.found[first.slot][r] = atFirst[kRunBitsAt + rowOfFirst];
                    second.found[second.slot][r] = atSecond[kRunBitsAt + rowOfSecond];
                    rowOfFirst = RowAt(atFirst, rowOfFirst);
                    rowOfSecond = RowAt(atSecond, rowOfSecond);
                }
            }
            first.row = rowOfFirst;
            second.row = rowOfSecond;
            if (secondBlocks < kMeetWithin) {
                secondRowAt[secondBlocks++] = second.row;
            }
            // Both blocks are settled before either stream is left, so that
            // the first goes on from a whole state.
            bool secondLeft = settle(second);
            if (!secondLeft) {
                advance(second);
            }
            if (settle(first)) {
                const Ending ending = handOver(first);
                if (ending != Ending::HandedBack) {
                    return ending == Ending::Answered;
                }
                secondLeft = secondLeft || first.from > half;  // past the second's start, off its blocks
            } else {
                advance(first);
            }
            if (secondLeft) {
                twoStreams = false;
                break;
            }
        }
        // The second stream's last blocks alone (it has as many as the
        // first, or more), and its last flags.
        while (twoStreams && second.from < second.end) {
            prepare(second);
            chainOne(second);
            if (secondBlocks < kMeetWithin) {
                secondRowAt[secondBlocks++] = second.row;
            }
            if (settle(second)) {
                twoStreams = false;
                break;
            }
            advance(second);
        }
        if (twoStreams && settle(second)) {
            twoStreams = false;
        }
    }
    // The first stream: its own blocks, then on past `half` to meet the
    // second, or to the end.
    unsigned meeting = 0;  // the second's block that the first walks
    for (;;) {
        if (first.from >= first.end && first.end != count) {
            // A hand-over may have taken it past `half`, off the second's
            // blocks.
            twoStreams = twoStreams && first.from == half;
            first.end = count;
            if (first.from < count && !twoStreams) {
                first.nextLatin =
                    categorize(first.from, count, first.categoryBlocks[first.categorySlot], first.nextChanges);
            }
        }
        const bool more = first.from < first.end;
        bool met = false;  // in the second's first block, before run `metAt`
        unsigned metAt = 0;
        bool walkedKept = false;
        if (more && twoStreams && first.from == half) {
            // The second's first block, as the second prepared it: walked
            // only until the rows meet.
            takeBlock(first, keptBlock);
            size_t row = first.row;
            uint8_t* const found = first.found[first.slot];
            unsigned r = 0;
            for (; r < first.runs && row != secondRowBefore[r]; ++r) {
                const uint8_t* const at = keptBlock.parts[r];
                found[r] = at[kRunBitsAt + row];
                row = RowAt(at, row);
            }
            first.row = row;
            met = r < first.runs || row == secondRowAt[0];
            metAt = r;
            walkedKept = true;
        } else if (more) {
            prepare(first);
            chainOne(first);
        }
        if (settle(first)) {
            const Ending ending = handOver(first);
            if (ending != Ending::HandedBack) {
                return ending == Ending::Answered;
            }
            // Only a walk that has still to reach `half` (its blocks end
            // there) goes on in step with the second's blocks.
            twoStreams = twoStreams && first.end == half;
            continue;
        }
        if (met &&
            _mm512_mask_test_epi8_mask(_bzhi_u64(~uint64_t{0}, metAt), _mm512_load_si512(first.found[first.slot]),
                                       _mm512_set1_epi8(kRunHandOver)) == 0) {
            // From the meeting on, the second's flags stand.
            alignas(64) uint8_t startAt[kBlock];
            _mm512_store_si512(startAt, first.runStart);
            const unsigned upTo = metAt < first.runs ? startAt[metAt] : first.n;
            storeFlags(first.found[first.slot], first.starts, first.runStart, first.from,
                       _bzhi_u64(~uint64_t{0}, upTo));
            return EndOfText<kEightBitTrie>(count, codePoints, breakFlags, second.row);
        }
        if (!more) {
            break;
        }
        if (twoStreams && first.from >= half) {
            // The block just walked is the second's block `meeting`.
            if (first.row == secondRowAt[meeting] &&
                _mm512_mask_test_epi8_mask(first.inRuns, _mm512_load_si512(first.found[first.slot]),
                                           _mm512_set1_epi8(kRunHandOver)) == 0) {
                storeFlags(first.found[first.slot], first.starts, first.runStart, first.from, first.inBlock);
                return EndOfText<kEightBitTrie>(count, codePoints, breakFlags, second.row);
            }
            ++meeting;
            twoStreams = meeting < secondBlocks;
        }
        if (walkedKept && first.from + first.n < count) {
            // The rows did not meet: the block after it.
            first.nextLatin = categorize(first.from + first.n, count, first.categoryBlocks[first.categorySlot],
                                         first.nextChanges);
        }
        advance(first);
    }
    return EndOfText<kEightBitTrie>(count, codePoints, breakFlags, first.row);
}
template bool zqKelRuleWalker::WalkRunsWide<true>(unsigned long, const uint32_t*, bool*);
template bool zqKelRuleWalker::WalkRunsWide<false>(unsigned long, const uint32_t*, bool*);
#pragma GCC diagnostic pop
#pragma GCC pop_options
#else
template <bool kEightBitTrie>
bool zqKelRuleWalker::WalkRunsWide(unsigned long count, const uint32_t* codePoints, bool* breakFlags)
{
    return WalkRunsPlain<kEightBitTrie>(count, codePoints, breakFlags);
}
template bool zqKelRuleWalker::WalkRunsWide<true>(unsigned long, const uint32_t*, bool*);
template bool zqKelRuleWalker::WalkRunsWide<false>(unsigned long, const uint32_t*, bool*);
#endif
