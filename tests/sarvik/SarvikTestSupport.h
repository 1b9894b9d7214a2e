// Shared by the plug-in's tests: loading the built plug-in the way a host does,
// and the answer of raw ICU to compare it with.

#ifndef SARVIK_TEST_SUPPORT_H
#define SARVIK_TEST_SUPPORT_H

#include "zqTextBreakFinder.h"

#include <dlfcn.h>
#ifdef __SANITIZE_ADDRESS__
// From the AddressSanitizer run time, which replaces malloc.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace sarvik_test {

// The plug-in under test: $SARVIK_PLUGIN, else the library this build made.
inline std::string PluginPath()
{
    const char* fromEnv = std::getenv("SARVIK_PLUGIN");
    return fromEnv != nullptr && *fromEnv != '\0' ? fromEnv : SARVIK_PLUGIN_PATH;
}

// dlopen/dlsym as a host does it; `entry` is null (and `error` says why) when
// loading failed.
class Plugin {
public:
    Plugin()
    {
        const std::string path = PluginPath();
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            error = "cannot load " + path + ": " + dlerror();
            return;
        }
        entry = reinterpret_cast<zqTextBreakFinderEntryProc>(dlsym(handle, "zqTextBreakFinderEntry"));
        if (entry == nullptr) {
            error = "no zqTextBreakFinderEntry in " + path;
        }
    }
    ~Plugin()
    {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    std::unique_ptr<zqTextBreakFinder> Make(const char* localeName) const
    {
        return std::unique_ptr<zqTextBreakFinder>(entry(localeName));
    }

    void* handle = nullptr;
    zqTextBreakFinderEntryProc entry = nullptr;
    std::string error;
};

// The flags as a vector (std::vector<bool> would hide the bytes written).
using Flags = std::vector<unsigned char>;

// Runs the finder over `run` with guard bytes on both sides of the flags;
// `guardsIntact` reports whether anything outside entries 0..count-1 changed.
inline Flags RunFinder(zqTextBreakFinder& finder, const std::vector<uint32_t>& run,
                       bool* guardsIntact = nullptr)
{
    constexpr size_t kGuard = 16;
    std::vector<unsigned char> storage(run.size() + 2 * kGuard, 0x5A);
    auto* flags = reinterpret_cast<bool*>(storage.data() + kGuard);
    finder.SetBreakCandidates(run.size(), run.data(), nullptr, flags, false);
    bool intact = true;
    for (size_t i = 0; i < kGuard; ++i) {
        intact = intact && storage[i] == 0x5A && storage[storage.size() - 1 - i] == 0x5A;
    }
    if (guardsIntact != nullptr) {
        *guardsIntact = intact;
    }
    return Flags(storage.begin() + kGuard, storage.end() - kGuard);
}

// Raw ICU, as the finder's contract states it: the locale from the name (null
// or "" meaning ICU's default), the text built with one code-point append per
// value, the first()/next() walk, and each boundary but the last flagged at
// the input position whose units begin there.
class IcuReference {
public:
    explicit IcuReference(const char* localeName)
        : locale(localeName != nullptr && *localeName != '\0' ? localeName : nullptr, nullptr,
                 nullptr, nullptr)
    {
        UErrorCode status = U_ZERO_ERROR;
        iterator.reset(icu::BreakIterator::createLineInstance(locale, status));
    }

    Flags Breaks(const std::vector<uint32_t>& run)
    {
        Flags flags(run.size(), 0);
        if (run.empty() || !iterator) {
            return flags;
        }
        icu::UnicodeString text;
        std::vector<long> positionAt;  // UTF-16 offset -> input position, -1 inside a pair
        for (size_t j = 0; j < run.size(); ++j) {
            const int32_t before = text.length();
            text.append(static_cast<UChar32>(run[j]));
            for (int32_t u = before; u < text.length(); ++u) {
                positionAt.push_back(u == before ? static_cast<long>(j) : -1);
            }
        }
        iterator->setText(text);
        int32_t previous = iterator->first();
        for (int32_t current = iterator->next(); current != icu::BreakIterator::DONE;
             current = iterator->next()) {
            if (previous < static_cast<int32_t>(positionAt.size()) && positionAt[previous] >= 0) {
                flags[positionAt[previous]] = 1;
            }
            previous = current;
        }
        // Leave no iterator on the text about to be freed.
        static const icu::UnicodeString kEmpty;
        iterator->setText(kEmpty);
        return flags;
    }

    icu::Locale locale;
    std::unique_ptr<icu::BreakIterator> iterator;
};

// The bytes that the process has allocated and not freed.
inline size_t AllocatedBytes()
{
#ifdef __SANITIZE_ADDRESS__
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

inline std::string Hex(const std::vector<uint32_t>& run, size_t limit = 64)
{
    std::string out;
    char buf[16];
    for (size_t i = 0; i < run.size() && i < limit; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%04X" : " %04X", run[i]);
        out += buf;
    }
    if (run.size() > limit) {
        out += " ... (" + std::to_string(run.size()) + " values)";
    }
    return out;
}

inline std::string Positions(const Flags& flags)
{
    std::string out;
    for (size_t j = 0; j < flags.size(); ++j) {
        if (flags[j] != 0) {
            out += (out.empty() ? "" : " ") + std::to_string(j);
        }
    }
    return "{" + out + "}";
}

inline std::vector<uint32_t> Utf32(const std::u32string& text)
{
    return std::vector<uint32_t>(text.begin(), text.end());
}

// The Unicode line-break test file: $SARVIK_LINEBREAK_TEST_FILE, else the one
// of Debian's unicode-data.
inline std::string LineBreakTestFilePath()
{
    const char* fromEnv = std::getenv("SARVIK_LINEBREAK_TEST_FILE");
    return fromEnv != nullptr && *fromEnv != '\0' ? fromEnv : "/usr/share/unicode/auxiliary/LineBreakTest.txt";
}

// One test of that file.
struct LineBreakTest {
    int lineNumber = 0;
    std::string content;             // the part before '#', trimmed
    std::vector<uint32_t> run;
    std::vector<bool> breakBefore;   // from the file; entry 0 is the start of text
};

// The file's tests; false (and `error` says why) when it cannot be read or
// holds none.
inline bool ReadLineBreakTests(const std::string& path, std::vector<LineBreakTest>* tests, std::string* error)
{
    std::ifstream file(path);
    if (!file) {
        *error = "cannot read " + path + " (Debian package unicode-data)";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        std::string data = line.substr(0, line.find('#'));
        const size_t last = data.find_last_not_of(" \t\r");
        if (last == std::string::npos) {
            continue;
        }
        data.resize(last + 1);
        LineBreakTest test;
        test.lineNumber = number;
        test.content = data;
        std::istringstream words(data);
        bool pendingBreak = false;
        for (std::string word; words >> word;) {
            if (word == "\xC3\xB7") {  // ÷
                pendingBreak = true;
            } else if (word == "\xC3\x97") {  // ×
                pendingBreak = false;
            } else {
                test.run.push_back(static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 16)));
                test.breakBefore.push_back(pendingBreak);
            }
        }
        if (!test.run.empty()) {
            tests->push_back(std::move(test));
        }
    }
    if (tests->empty()) {
        *error = "no tests in " + path;
        return false;
    }
    return true;
}

}  // namespace sarvik_test

#endif  // SARVIK_TEST_SUPPORT_H
