#include "zqKelDictionaryScan.h"
#include "zqKelRuleData.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZQ_KEL_HAVE_AVX2_SCAN 1
#endif

namespace {

// Where ICU's binary rules (format 6) keep what the scan reads: the forward
// table's and the trie's offsets and lengths in the header, the first
// dictionary category in the table.
constexpr size_t kHeaderForwardTable = 16;
constexpr size_t kHeaderTrie = 32;
constexpr size_t kHeaderTrieLength = 36;
constexpr size_t kTableDictionaryStart = 8;

constexpr uint32_t kBlock = 64;
constexpr uint32_t kPageShift = 8;
constexpr uint32_t kLastCodePoint = 0x10FFFF;
constexpr uint32_t kLastBmpPage = 0xFF;
constexpr uint32_t kPagesPerSpan = 16;
constexpr uint32_t kSmallBlock = 16;


bool IsSurrogate(uint32_t value) { return value - 0xD800 < 0x800; }

#ifdef ZQ_KEL_HAVE_AVX2_SCAN
// For each nibble `high`, its bit (high & 7) in the table of its half.
struct HighBitTables {
    uint8_t half[2][16];
};

constexpr HighBitTables MakeHighBitTables()
{
    HighBitTables t{};
    for (unsigned high = 0; high < 16; ++high) {
        t.half[high >> 3][high] = static_cast<uint8_t>(1u << (high & 7));
    }
    return t;
}

alignas(16) constexpr HighBitTables kHighBits = MakeHighBitTables();

#endif

}  // namespace

std::unique_ptr<zqKelDictionaryScan> zqKelDictionaryScan::Create(const uint8_t* rules, uint32_t length)
{
    (void)length;  // the walker has checked the offsets against it
    // Made first, so that the trie is closed with it whatever throws after.
    std::unique_ptr<zqKelDictionaryScan> scan(new zqKelDictionaryScan());
    UErrorCode status = U_ZERO_ERROR;
    scan->trie = ucptrie_openFromBinary(UCPTRIE_TYPE_FAST, UCPTRIE_VALUE_BITS_ANY, rules + zqKelRead32(rules + kHeaderTrie),
                                        static_cast<int32_t>(zqKelRead32(rules + kHeaderTrieLength)), nullptr, &status);
    if (status == U_MEMORY_ALLOCATION_ERROR) {
        throw std::bad_alloc();
    }
    if (U_FAILURE(status) || scan->trie == nullptr) {
        return nullptr;
    }
    scan->dictionaryStart = zqKelRead32(rules + zqKelRead32(rules + kHeaderForwardTable) + kTableDictionaryStart);
#ifdef ZQ_KEL_HAVE_AVX2_SCAN
    scan->haveAvx2 = __builtin_cpu_supports("avx2");
    scan->haveWide = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                     __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi2");
#endif
    std::memset(scan->checkLow, 0xFF, sizeof scan->checkLow);
    std::memset(scan->checkKey, 1, sizeof scan->checkKey);
    for (uint32_t page = 0xD8; page <= 0xDF; ++page) {
        scan->pageState[page] = kDictionary;  // surrogates: always ICU's
    }
    // Page 0, for runs that no value of which reaches beyond it.
    scan->LearnPage(0);
    return scan;
}

zqKelDictionaryScan::~zqKelDictionaryScan()
{
    ucptrie_close(trie);
}

size_t zqKelDictionaryScan::RetainedBytes() const
{
    return sizeof *this + sizeof(UCPTrie);
}

uint32_t zqKelDictionaryScan::CategoryOf(uint32_t codePoint) const
{
    return ucptrie_get(trie, static_cast<UChar32>(codePoint));
}

void zqKelDictionaryScan::LearnPage(uint32_t page)
{
    const uint32_t first = page << kPageShift;
    bool dictionary = false;
    if (page <= kLastBmpPage) {
        // Four data blocks of 64 values each, read straight from the trie.
        for (uint32_t block = 0; block < 4 && !dictionary; ++block) {
            const uint32_t at = trie->index[(first >> UCPTRIE_FAST_SHIFT) + block];
            uint32_t largest = 0;
            if (trie->valueWidth == UCPTRIE_VALUE_BITS_8) {
                for (uint32_t k = 0; k < kBlock; ++k) {
                    largest = std::max<uint32_t>(largest, trie->data.ptr8[at + k]);
                }
            } else {
                for (uint32_t k = 0; k < kBlock; ++k) {
                    largest = std::max<uint32_t>(largest, trie->data.ptr16[at + k]);
                }
            }
            dictionary = largest >= dictionaryStart;
        }
    } else {
        LearnSupplementaryPages(page & ~(kPagesPerSpan - 1));
        return;
    }
    pageState[page] = dictionary ? kDictionary : kClean;
    if (!dictionary && page < kLastBmpPage) {
        checkLow[page >> 7][page & 0x0F] &= static_cast<uint8_t>(~(1u << (page >> 4 & 7)));
        checkKey[page] = 0;
    }
}

// Sixteen pages at once, from the trie's data blocks of 16 values, one index
// lookup each; if all are clean they become the span that the lookup 32 at a
// time clears.
void zqKelDictionaryScan::LearnSupplementaryPages(uint32_t firstPage)
{
    bool allClean = true;
    for (uint32_t page = firstPage; page < firstPage + kPagesPerSpan; ++page) {
        bool dictionary = false;
        const uint32_t first = page << kPageShift;
        for (uint32_t c = first; c < first + (1u << kPageShift) && !dictionary; c += kSmallBlock) {
            const auto point = static_cast<UChar32>(c);
            if (point >= trie->highStart) {
                dictionary = CategoryOf(c) >= dictionaryStart;  // one value from here to the end
                continue;
            }
            const int32_t at = ucptrie_internalSmallIndex(trie, point);
            uint32_t largest = 0;
            for (uint32_t k = 0; k < kSmallBlock; ++k) {
                largest = std::max<uint32_t>(largest, trie->valueWidth == UCPTRIE_VALUE_BITS_8
                                                          ? trie->data.ptr8[at + k]
                                                          : trie->data.ptr16[at + k]);
            }
            dictionary = largest >= dictionaryStart;
        }
        pageState[page] = dictionary ? kDictionary : kClean;
        allClean = allClean && !dictionary;
    }
    if (allClean) {
        cleanSpanFirst = firstPage << kPageShift;
        cleanSpanLength = kPagesPerSpan << kPageShift;
    }
}

bool zqKelDictionaryScan::ValueNeedsIcu(uint32_t value)
{
    if (value > kLastCodePoint || IsSurrogate(value)) {
        return true;
    }
    const uint32_t page = value >> kPageShift;
    if (pageState[page] == kUnknown) {
        LearnPage(page);
    }
    return pageState[page] == kDictionary && CategoryOf(value) >= dictionaryStart;
}

#ifdef ZQ_KEL_HAVE_AVX2_SCAN
// Blocks of 64 values (the last one filled up with 0): a block that stays on
// page 0 is clear at once (page 0
// is always learnt first); the others go through the tables, 32 values at a
// time. The keys are the values shifted down to their page and narrowed with
// saturation (so anything above U+FFFF becomes 0xFF, but for values in the
// clean span, which get key 0); the narrowings interleave 128-bit lanes,
// which the last permutation puts back in order. Values whose key has its
// bit set are looked at one by one, which may learn pages: the tables are
// read again after.
template <bool kSpan>
__attribute__((target("avx2"))) bool zqKelDictionaryScan::NeedsIcuAvx2(unsigned long count, const uint32_t* values)
{
#define ZQ_KEL_BROADCAST(table) _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)))
    __m256i lowA = ZQ_KEL_BROADCAST(checkLow[0]);
    __m256i lowB = ZQ_KEL_BROADCAST(checkLow[1]);
    const __m256i highA = ZQ_KEL_BROADCAST(kHighBits.half[0]);
    const __m256i highB = ZQ_KEL_BROADCAST(kHighBits.half[1]);
#undef ZQ_KEL_BROADCAST
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i lastKey = _mm256_set1_epi16(0xFF);
    const __m256i abovePageZero = _mm256_set1_epi32(~0xFF);
    const __m256i bias = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    __m256i spanFirst = _mm256_set1_epi32(static_cast<int>(cleanSpanFirst));
    __m256i spanLimit = _mm256_set1_epi32(static_cast<int>(cleanSpanLength ^ 0x80000000u));
    const bool pageZeroClean = pageState[0] == kClean;

    for (unsigned long begin = 0; begin < count; begin += kBlock) {
        const unsigned long n = std::min<unsigned long>(kBlock, count - begin);
        const uint32_t* from = values + begin;
        alignas(32) uint32_t tail[kBlock];
        if (n < kBlock) {
            // The last values of the run, then 0 (on page 0, clear).
            std::memset(tail, 0, sizeof tail);
            std::memcpy(tail, from, n * sizeof(uint32_t));
            from = tail;
        }
        const auto* at = reinterpret_cast<const __m256i*>(from);
        __m256i allBits = _mm256_loadu_si256(at);
        for (int k = 1; k < 8; ++k) {
            allBits = _mm256_or_si256(allBits, _mm256_loadu_si256(at + k));
        }
        if (_mm256_testz_si256(allBits, abovePageZero) && pageZeroClean) {
            continue;
        }
        const auto key = [&](int k) __attribute__((always_inline, target("avx2"))) {
            const __m256i value = _mm256_loadu_si256(at + k);
            const __m256i page = _mm256_srli_epi32(value, 8);
            if constexpr (!kSpan) {
                return page;
            }
            const __m256i inSpan =
                _mm256_cmpgt_epi32(spanLimit, _mm256_xor_si256(_mm256_sub_epi32(value, spanFirst), bias));
            return _mm256_andnot_si256(inSpan, page);
        };
        uint64_t lanes = 0;
        for (int half = 0; half < (n > kBlock / 2 ? 2 : 1); ++half) {
            const __m256i words01 = _mm256_min_epu16(_mm256_packus_epi32(key(4 * half), key(4 * half + 1)), lastKey);
            const __m256i words23 = _mm256_min_epu16(_mm256_packus_epi32(key(4 * half + 2), key(4 * half + 3)), lastKey);
            // The narrowing to bytes saturates signed words: hence the caps.
            const __m256i keys = _mm256_packus_epi16(words01, words23);
            const __m256i low = _mm256_and_si256(keys, nibble);
            const __m256i high = _mm256_and_si256(_mm256_srli_epi16(keys, 4), nibble);
            const __m256i hit = _mm256_or_si256(
                _mm256_and_si256(_mm256_shuffle_epi8(lowA, low), _mm256_shuffle_epi8(highA, high)),
                _mm256_and_si256(_mm256_shuffle_epi8(lowB, low), _mm256_shuffle_epi8(highB, high)));
            const __m256i clear = _mm256_cmpeq_epi8(hit, _mm256_setzero_si256());
            const __m256i ordered = _mm256_permutevar8x32_epi32(clear, order);
            lanes |= uint64_t{~static_cast<uint32_t>(_mm256_movemask_epi8(ordered))} << (32 * half);
        }
        lanes &= n == kBlock ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
        if (lanes == 0) {
            continue;
        }
        for (; lanes != 0; lanes &= lanes - 1) {
            if (ValueNeedsIcu(values[begin + std::countr_zero(lanes)])) {
                return true;
            }
        }
        lowA = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(checkLow[0])));
        lowB = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(checkLow[1])));
        if (kSpan) {
            spanFirst = _mm256_set1_epi32(static_cast<int>(cleanSpanFirst));
            spanLimit = _mm256_set1_epi32(static_cast<int>(cleanSpanLength ^ 0x80000000u));
        } else if (cleanSpanLength != 0 && n == kBlock) {
            // A span learnt: the rest with it.
            return NeedsIcuAvx2<true>(count - begin - kBlock, values + begin + kBlock);
        }
    }
    return false;
}

// The same 64 values at a time with AVX-512: a masked load of the last
// block instead of a copy of it, and the keys (as above) looked up in
// checkKey with two vpermi2b.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
template <bool kSpan>
__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2"))) bool zqKelDictionaryScan::NeedsIcuWide(unsigned long count,
                                                                                              const uint32_t* values)
{
    const __m512i abovePageZero = _mm512_set1_epi32(~0xFF);
    const __m512i spanFirst = _mm512_set1_epi32(static_cast<int>(cleanSpanFirst));
    const __m512i spanLength = _mm512_set1_epi32(static_cast<int>(cleanSpanLength));
    const bool pageZeroClean = pageState[0] == kClean;
    for (unsigned long begin = 0; begin < count; begin += kBlock) {
        const unsigned long n = std::min<unsigned long>(kBlock, count - begin);
        const uint64_t inBlock = _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(n));
        // Whole blocks with plain loads, the last one masked.
        __m512i quarters[4];
        for (unsigned q = 0; q < 4; ++q) {
            quarters[q] = n == kBlock ? _mm512_loadu_si512(values + begin + 16 * q)
                                      : _mm512_maskz_loadu_epi32(static_cast<__mmask16>(inBlock >> (16 * q)),
                                                                 values + begin + 16 * q);
        }
        const __m512i all =
            _mm512_or_si512(_mm512_or_si512(quarters[0], quarters[1]), _mm512_or_si512(quarters[2], quarters[3]));
        if (_mm512_test_epi32_mask(all, abovePageZero) == 0 && pageZeroClean) {
            continue;
        }
        __m128i keyQuarters[4];
        for (unsigned q = 0; q < 4; ++q) {
            __m512i page = _mm512_srli_epi32(quarters[q], kPageShift);
            if constexpr (kSpan) {
                const __mmask16 inSpan =
                    _mm512_cmplt_epu32_mask(_mm512_sub_epi32(quarters[q], spanFirst), spanLength);
                page = _mm512_maskz_mov_epi32(static_cast<__mmask16>(~inSpan), page);
            }
            // Unsigned saturation: anything above U+FFFF becomes 0xFF.
            keyQuarters[q] = _mm512_cvtusepi32_epi8(page);
        }
        __m512i keys = _mm512_castsi128_si512(keyQuarters[0]);
        keys = _mm512_inserti32x4(keys, keyQuarters[1], 1);
        keys = _mm512_inserti32x4(keys, keyQuarters[2], 2);
        keys = _mm512_inserti32x4(keys, keyQuarters[3], 3);
        const __m512i low = _mm512_permutex2var_epi8(_mm512_load_si512(checkKey), keys, _mm512_load_si512(checkKey + 64));
        const __m512i high =
            _mm512_permutex2var_epi8(_mm512_load_si512(checkKey + 128), keys, _mm512_load_si512(checkKey + 192));
        const __m512i look = _mm512_mask_blend_epi8(_mm512_movepi8_mask(keys), low, high);
        for (uint64_t lanes = _mm512_test_epi8_mask(look, look) & inBlock; lanes != 0; lanes &= lanes - 1) {
            if (ValueNeedsIcu(values[begin + std::countr_zero(lanes)])) {
                return true;
            }
        }
        if (!kSpan && cleanSpanLength != 0 && n == kBlock) {
            // A span learnt: the rest with it.
            return NeedsIcuWide<true>(count - begin - kBlock, values + begin + kBlock);
        }
    }
    return false;
}
#pragma GCC diagnostic pop
#endif

uint64_t zqKelDictionaryScan::UnclearedLanes(const uint32_t* values) const
{
    uint64_t lanes = 0;
    for (uint32_t k = 0; k < kBlock; ++k) {
        const uint32_t value = values[k];
        const bool cleared = value <= 0xFFFF && value >> kPageShift != kLastBmpPage &&
                             pageState[value >> kPageShift] == kClean;
        lanes |= uint64_t{!cleared} << k;
    }
    return lanes;
}

// Through the AVX-512 or the AVX2 lookup where the processor has it;
// elsewhere, blocks of 64 values: a block that does not reach beyond page 0
// is cleared by one OR over it, the others by the page tables, leaving only
// the values on pages not (yet) known to be clean to be looked at one by one.
bool zqKelDictionaryScan::NeedsIcu(unsigned long count, const uint32_t* codePoints)
{
#ifdef ZQ_KEL_HAVE_AVX2_SCAN
    if (haveWide) {
        return cleanSpanLength != 0 ? NeedsIcuWide<true>(count, codePoints) : NeedsIcuWide<false>(count, codePoints);
    }
#endif
    if (count < kBlock && !haveAvx2) {
        // Short runs one value at a time, most often cleared by one OR.
        uint32_t allBits = 0;
        for (unsigned long k = 0; k < count; ++k) {
            allBits |= codePoints[k];
        }
        if (allBits >> kPageShift == 0 && pageState[0] == kClean) {
            return false;
        }
        for (unsigned long k = 0; k < count; ++k) {
            const uint32_t value = codePoints[k];
            if ((value > 0xFFFF || pageState[value >> kPageShift] != kClean) && ValueNeedsIcu(value)) {
                return true;
            }
        }
        return false;
    }
#ifdef ZQ_KEL_HAVE_AVX2_SCAN
    if (haveAvx2) {
        return cleanSpanLength != 0 ? NeedsIcuAvx2<true>(count, codePoints) : NeedsIcuAvx2<false>(count, codePoints);
    }
#endif
    const bool pageZeroClean = pageState[0] == kClean;
    for (unsigned long begin = 0; begin < count; begin += kBlock) {
        const uint32_t* values = codePoints + begin;
        const unsigned long n = std::min<unsigned long>(kBlock, count - begin);
        uint32_t allBits = 0;
        for (unsigned long k = 0; k < n; ++k) {
            allBits |= values[k];
        }
        if (allBits >> kPageShift == 0 && pageZeroClean) {
            continue;
        }
        if (n < kBlock) {
            for (unsigned long k = 0; k < n; ++k) {
                if (ValueNeedsIcu(values[k])) {
                    return true;
                }
            }
            continue;
        }
        for (uint64_t lanes = UnclearedLanes(values); lanes != 0; lanes &= lanes - 1) {
            if (ValueNeedsIcu(values[std::countr_zero(lanes)])) {
                return true;
            }
        }
    }
    return false;
}
