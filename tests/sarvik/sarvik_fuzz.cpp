// libFuzzer target: the finder against raw ICU on fuzzer-chosen values. The
// plug-in's sources are compiled in (for coverage); the answer must equal
// raw ICU's for the same locale and values, with no write outside the flags.
//
// Input: byte 0 picks the locale; then each value is a tag byte choosing a
// kind (ASCII, any BMP, supplementary, surrogate, not a code point, CJK,
// Thai, emoji) followed by the bytes that kind needs.

#include "SarvikTestSupport.h"

#include <cstddef>
#include <cstdint>

namespace {

const char* const kLocales[] = {"en", "ja", "th", "zh", "", "de@lb=strict", "ja@lw=phrase", "ko"};
constexpr size_t kLocaleCount = sizeof kLocales / sizeof kLocales[0];

struct Reader {
    const uint8_t* data;
    size_t size;
    bool Empty() const { return size == 0; }
    uint32_t Next(unsigned bytes)
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < bytes; ++i) {
            value = value << 8 | (size > 0 ? (--size, *data++) : 0);
        }
        return value;
    }
};

std::vector<uint32_t> Decode(Reader in)
{
    std::vector<uint32_t> run;
    while (!in.Empty()) {
        switch (in.Next(1) % 8) {
        case 0: run.push_back(in.Next(1) & 0x7F); break;
        case 1: run.push_back(in.Next(2)); break;
        case 2: run.push_back(0x10000 + in.Next(3) % 0x100000); break;
        case 3: run.push_back(0xD800 + in.Next(2) % 0x800); break;
        case 4: run.push_back(0x110000 + in.Next(4) % (0xFFFFFFFFu - 0x110000 + 1)); break;
        case 5: run.push_back(0x3000 + in.Next(2) % 0x7000); break;
        case 6: run.push_back(0x0E00 + in.Next(1) % 0x80); break;
        default: run.push_back(0x1F000 + in.Next(2) % 0xB00); break;
        }
    }
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace sarvik_test;
    static std::unique_ptr<zqTextBreakFinder> finders[kLocaleCount];
    static std::unique_ptr<IcuReference> references[kLocaleCount];
    if (size == 0) {
        return 0;
    }
    const size_t which = data[0] % kLocaleCount;
    if (!finders[which]) {
        finders[which].reset(zqTextBreakFinderEntry(kLocales[which]));
        references[which] = std::make_unique<IcuReference>(kLocales[which]);
    }
    const std::vector<uint32_t> run = Decode(Reader{data + 1, size - 1});
    bool guardsIntact = false;
    const Flags got = RunFinder(*finders[which], run, &guardsIntact);
    if (!guardsIntact || got != references[which]->Breaks(run)) {
        std::fprintf(stderr, "mismatch, locale \"%s\", values %s\n", kLocales[which], Hex(run, 1000).c_str());
        __builtin_trap();
    }
    return 0;
}
