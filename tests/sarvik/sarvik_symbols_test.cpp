// The plug-in's dynamic symbol table, read with `nm -D --defined-only` from the
// built library, must hold exactly the symbols a host may use.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string LibraryPath()
{
    const char* fromEnv = std::getenv("SARVIK_PLUGIN");
    return fromEnv != nullptr && *fromEnv != '\0' ? fromEnv : SARVIK_PLUGIN_PATH;
}

std::string Join(const std::set<std::string>& names)
{
    std::string out;
    for (const auto& name : names) {
        out += "\n  " + name;
    }
    return out;
}

TEST(SarvikSymbols, ExportsExactlyTheHostInterface)
{
    const std::string command = "nm -D --defined-only '" + LibraryPath() + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_NE(pipe, nullptr) << "cannot run " << command;
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
        output.append(buffer, n);
    }
    ASSERT_EQ(pclose(pipe.release()), 0) << command << " failed:\n" << output;

    // Lines are "ADDRESS TYPE NAME[@VERSION]".
    std::set<std::string> exported;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) {
            exported.insert(name.substr(0, name.find('@')));
        }
    }

    const std::set<std::string> expected = {
        "zqTextBreakFinderEntry",
        "_ZN20zqTextKelBreakFinderC1EPKc",  // zqTextKelBreakFinder(const char*)
        "_ZN20zqTextKelBreakFinderC2EPKc",
        "_ZN20zqTextKelBreakFinderD0Ev",  // ~zqTextKelBreakFinder()
        "_ZN20zqTextKelBreakFinderD1Ev",
        "_ZN20zqTextKelBreakFinderD2Ev",
        "_ZN20zqTextKelBreakFinder18SetBreakCandidatesEmPKjS1_Pbb",
        "_ZNK20zqTextKelBreakFinder16GetCurrentLocaleEv",
        "_ZTV20zqTextKelBreakFinder",  // virtual table
        "_ZTI20zqTextKelBreakFinder",  // type information, object and name
        "_ZTS20zqTextKelBreakFinder",
        "_ZTI17zqTextBreakFinder",
        "_ZTS17zqTextBreakFinder",
    };
    std::set<std::string> missing, extra;
    for (const auto& name : expected) {
        if (!exported.count(name)) {
            missing.insert(name);
        }
    }
    for (const auto& name : exported) {
        if (!expected.count(name)) {
            extra.insert(name);
        }
    }
    EXPECT_TRUE(missing.empty()) << "not exported:" << Join(missing);
    // The interface class's own constructor, destructor and virtual table
    // would show up here.
    EXPECT_TRUE(extra.empty()) << "exported but private:" << Join(extra);
}

}  // namespace
