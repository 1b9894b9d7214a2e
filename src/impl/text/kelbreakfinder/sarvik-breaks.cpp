// sarvik-breaks: prints where a line may break in a text, asking the Sarvik
// plug-in the way a host does (dlopen, the entry point, the public interface).
//
//   sarvik-breaks [-l LOCALE] [--plugin PATH] [-x] [--positions] [TEXT...]
//
// Each TEXT (or each line of standard input when none is given) is one run.
// Output, per run: one line per break opportunity, the code-point position, a
// tab, and the text from there to the next opportunity; with --positions, the
// positions on one line. -x takes each TEXT as code-point values in hex
// ("48 69 1F600", "U+" allowed), so that any value, valid or not, can be tried.
// The plug-in is PATH, else $SARVIK_PLUGIN, else libSarvik.so beside this tool.

#include "zqTextBreakFinder.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kTool = "sarvik-breaks";

void PrintUsage(FILE* to)
{
    std::fprintf(to,
                 "usage: %s [-l LOCALE] [--plugin PATH] [-x] [--positions] [TEXT...]\n"
                 "  -l LOCALE     ICU locale name (default: \"\", ICU's default locale)\n"
                 "  --plugin PATH the plug-in library (default: $SARVIK_PLUGIN, else\n"
                 "                libSarvik.so beside this program)\n"
                 "  -x            TEXT is code-point values in hex, e.g. \"48 69 1F600\"\n"
                 "  --positions   print only the break positions, on one line\n"
                 "Without TEXT, each line of standard input is one run.\n",
                 kTool);
}

// Strict UTF-8 decoding; on failure, the byte offset of the first bad sequence.
std::optional<std::vector<uint32_t>> DecodeUtf8(const std::string& text, size_t* badOffset)
{
    std::vector<uint32_t> out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        unsigned length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2
                        : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            *badOffset = i;
            return std::nullopt;
        }
        uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
        for (unsigned k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                *badOffset = i;
                return std::nullopt;
            }
            value = (value << 6) | (next & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            *badOffset = i;
            return std::nullopt;
        }
        out.push_back(value);
        i += length;
    }
    return out;
}

std::optional<std::vector<uint32_t>> ParseHex(const std::string& text, std::string* bad)
{
    std::vector<uint32_t> out;
    size_t i = 0;
    while (true) {
        i = text.find_first_not_of(" \t,", i);
        if (i == std::string::npos) {
            return out;
        }
        size_t end = text.find_first_of(" \t,", i);
        std::string word = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
        i = end;
        std::string digits = word.rfind("U+", 0) == 0 || word.rfind("u+", 0) == 0 ? word.substr(2) : word;
        char* stop = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(digits.c_str(), &stop, 16);
        if (digits.empty() || *stop != '\0' || errno != 0 || value > 0xFFFFFFFFull) {
            *bad = word;
            return std::nullopt;
        }
        out.push_back(static_cast<uint32_t>(value));
        if (i == std::string::npos) {
            return out;
        }
    }
}

void AppendUtf8(uint32_t value, std::string* out)
{
    if (value < 0x80) {
        out->push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (value >> 6)));
        out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (value >> 12)));
        out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (value >> 18)));
        out->push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

void PrintRun(zqTextBreakFinder& finder, const std::vector<uint32_t>& run, bool hex, bool positionsOnly)
{
    std::unique_ptr<bool[]> flags(new bool[run.size() + 1]);
    finder.SetBreakCandidates(run.size(), run.data(), nullptr, flags.get(), false);
    std::string out;
    bool first = true;
    for (size_t j = 0; j < run.size(); ++j) {
        if (!flags[j]) {
            if (!positionsOnly && !first) {
                if (hex) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, " %04X", run[j]);
                    out += buf;
                } else {
                    AppendUtf8(run[j], &out);
                }
            }
            continue;
        }
        if (positionsOnly) {
            out += (first ? "" : " ") + std::to_string(j);
        } else {
            out += (first ? "" : "\n") + std::to_string(j) + "\t";
            if (hex) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "%04X", run[j]);
                out += buf;
            } else {
                AppendUtf8(run[j], &out);
            }
        }
        first = false;
    }
    std::printf("%s\n", out.c_str());
}

std::string DefaultPluginPath()
{
    if (const char* fromEnv = std::getenv("SARVIK_PLUGIN"); fromEnv != nullptr && *fromEnv != '\0') {
        return fromEnv;
    }
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path(".") : self.parent_path()) / "libSarvik.so";
}

}  // namespace

int main(int argc, char** argv)
{
    std::string localeName;
    std::optional<std::string> pluginPath;
    bool hex = false;
    bool positionsOnly = false;
    std::vector<std::string> texts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-l" || arg == "--plugin") && i + 1 < argc) {
            (arg == "-l" ? localeName : pluginPath.emplace()) = argv[++i];
        } else if (arg == "-x") {
            hex = true;
        } else if (arg == "--positions") {
            positionsOnly = true;
        } else if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--") {
            texts.insert(texts.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "%s: unknown or incomplete option %s\n", kTool, arg.c_str());
            PrintUsage(stderr);
            return 2;
        } else {
            texts.push_back(arg);
        }
    }

    const std::string path = pluginPath ? *pluginPath : DefaultPluginPath();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "%s: cannot load the plug-in %s: %s\n", kTool, path.c_str(), dlerror());
        return 1;
    }
    auto entry = reinterpret_cast<zqTextBreakFinderEntryProc>(dlsym(library, "zqTextBreakFinderEntry"));
    if (entry == nullptr) {
        std::fprintf(stderr, "%s: no zqTextBreakFinderEntry in the plug-in %s\n", kTool, path.c_str());
        return 1;
    }

    int status = 0;
    {
        std::unique_ptr<zqTextBreakFinder> finder(entry(localeName.c_str()));
        auto runOne = [&](const std::string& text, const std::string& where) {
            std::optional<std::vector<uint32_t>> run;
            if (hex) {
                std::string bad;
                run = ParseHex(text, &bad);
                if (!run) {
                    std::fprintf(stderr, "%s: \"%s\" in %s is not a hex code-point value\n", kTool,
                                 bad.c_str(), where.c_str());
                }
            } else {
                size_t badOffset = 0;
                run = DecodeUtf8(text, &badOffset);
                if (!run) {
                    std::fprintf(stderr, "%s: invalid UTF-8 at byte %zu of %s\n", kTool, badOffset,
                                 where.c_str());
                }
            }
            if (!run) {
                status = 1;
                return;
            }
            PrintRun(*finder, *run, hex, positionsOnly);
        };
        if (texts.empty()) {
            std::string line;
            for (size_t number = 1; std::getline(std::cin, line); ++number) {
                runOne(line, "line " + std::to_string(number) + " of standard input");
            }
        } else {
            for (size_t k = 0; k < texts.size(); ++k) {
                runOne(texts[k], "argument " + std::to_string(k + 1));
            }
        }
    }
    // The plug-in stays loaded until exit, as in a host: unloading it would
    // also unload ICU, whose caches live until the process ends.
    return status;
}
