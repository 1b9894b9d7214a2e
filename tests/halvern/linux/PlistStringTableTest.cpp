// The "Localizable" table: the language chosen from the environment, the
// table read from the bundle, the key itself when a text is missing. Also
// checks the tables that ship in Halvern.app.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "PlistTestSupport.h"
#include "TestSupport.h"
#include "platform/linux/PlistBundles.h"
#include "platform/linux/PlistStringTable.h"

namespace {

using platform::PlistStringTable;
using testsupport::TempDir;
using Names = std::vector<std::string>;

PlistStringTable::Environment Env(std::map<std::string, std::string> variables) {
    return [variables = std::move(variables)](const char* name) -> const char* {
        auto it = variables.find(name);
        return it == variables.end() ? nullptr : it->second.c_str();
    };
}

TEST(PreferredLocalizations, FollowTheLocaleVariablesInTheirOrder) {
    auto preferred = [](std::map<std::string, std::string> variables) {
        return PlistStringTable::PreferredLocalizations(Env(std::move(variables)));
    };
    EXPECT_EQ(preferred({}), Names{"en"});
    EXPECT_EQ(preferred({{"LANG", "de_DE.UTF-8"}}), (Names{"de_DE", "de", "en"}));
    EXPECT_EQ(preferred({{"LANG", "de_AT.ISO-8859-1@euro"}}), (Names{"de_AT", "de", "en"}));
    EXPECT_EQ(preferred({{"LANG", "fr"}}), (Names{"fr", "en"}));
    // LC_ALL, then LC_MESSAGES, then LANG: only the first that is set counts.
    EXPECT_EQ(preferred({{"LC_ALL", "fr_CA.UTF-8"}, {"LC_MESSAGES", "de_DE"}, {"LANG", "it_IT"}}),
              (Names{"fr_CA", "fr", "en"}));
    EXPECT_EQ(preferred({{"LC_ALL", ""}, {"LC_MESSAGES", "de_DE"}, {"LANG", "it_IT"}}), (Names{"de_DE", "de", "en"}));
    EXPECT_EQ(preferred({{"LC_ALL", "C"}, {"LANG", "de_DE.UTF-8"}}), Names{"en"});
    EXPECT_EQ(preferred({{"LANG", "POSIX"}}), Names{"en"});
    EXPECT_EQ(preferred({{"LANG", "C.UTF-8"}}), Names{"en"});
    // LANGUAGE goes first, entry by entry, and nothing is tried twice.
    EXPECT_EQ(preferred({{"LANGUAGE", "fr:de_CH::de"}, {"LANG", "de_DE.UTF-8"}}),
              (Names{"fr", "de_CH", "de", "de_DE", "en"}));
    EXPECT_EQ(preferred({{"LANGUAGE", "en_GB:C"}, {"LANG", "C"}}), (Names{"en_GB", "en"}));
}

class PlistStringTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        Table("en", {{"Retry", "Retry"}, {"LumaroNotFound", "english @CHANNEL_NAME@"}});
        Table("de", {{"Retry", "Wiederholen"}});
        Table("de_CH", {{"Retry", "Nomal"}});
        testsupport::WriteFile(bundle + "/Contents/Resources/fr.lproj/Localizable.strings",
                               BinaryPlist({{"Retry", "R\xC3\xA9" "essayer"}}));
        testsupport::WriteFile(bundle + "/Contents/Resources/it.lproj/Localizable.strings", "<plist><dict><key>");
        testsupport::WriteFile(bundle + "/Contents/Resources/es.lproj/Localizable.strings",
                               "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><array/></plist>\n");
    }
    void Table(const std::string& language, const std::map<std::string, std::string>& texts) {
        testsupport::WriteFile(bundle + "/Contents/Resources/" + language + ".lproj/Localizable.strings",
                               XmlPlist(texts));
    }
    std::string Lookup(std::map<std::string, std::string> variables, const std::string& key,
                       std::optional<std::string> at = std::nullopt) {
        PlistStringTable table(at.value_or(bundle), Env(std::move(variables)));
        return table.localizedString(key);
    }

    TempDir dir;
    std::string bundle = dir / "Halvern.app";
};

TEST_F(PlistStringTableTest, ChoosesTheTableOfTheUsersLanguage) {
    EXPECT_EQ(Lookup({{"LANG", "de_DE.UTF-8"}}, "Retry"), "Wiederholen");
    EXPECT_EQ(Lookup({{"LANG", "de_CH.UTF-8"}}, "Retry"), "Nomal");
    EXPECT_EQ(Lookup({{"LC_MESSAGES", "fr_FR"}}, "Retry"), "R\xC3\xA9" "essayer");  // binary table
    EXPECT_EQ(Lookup({{"LANGUAGE", "sv:de"}, {"LANG", "fr_FR"}}, "Retry"), "Wiederholen");
}

TEST_F(PlistStringTableTest, EnglishWhenNoLanguageMatches) {
    for (const char* locale : {"C", "POSIX", "C.UTF-8", "sv_SE.UTF-8", ""}) {
        EXPECT_EQ(Lookup({{"LANG", locale}}, "Retry"), "Retry") << locale;
        EXPECT_EQ(Lookup({{"LANG", locale}}, "LumaroNotFound"), "english @CHANNEL_NAME@") << locale;
    }
    // Broken or array-rooted tables are passed over.
    EXPECT_EQ(Lookup({{"LANG", "it_IT"}}, "LumaroNotFound"), "english @CHANNEL_NAME@");
    EXPECT_EQ(Lookup({{"LANG", "es_ES"}}, "LumaroNotFound"), "english @CHANNEL_NAME@");
}

TEST_F(PlistStringTableTest, MissingTextIsTheKeyItself) {
    // The chosen table lacks the key: no fall back to English.
    EXPECT_EQ(Lookup({{"LANG", "de_DE"}}, "LumaroNotFound"), "LumaroNotFound");
    EXPECT_EQ(Lookup({{"LANG", "en"}}, "Not a key at all, 100% %s"), "Not a key at all, 100% %s");
    EXPECT_EQ(Lookup({{"LANG", "en"}}, ""), "");
}

TEST_F(PlistStringTableTest, NoTableAtAllMeansEveryTextIsItsKey) {
    EXPECT_EQ(Lookup({{"LANG", "de_DE"}}, "Retry", dir / "Empty.app"), "Retry");
    PlistStringTable noBundle(std::nullopt, Env({{"LANG", "de_DE"}}));
    EXPECT_EQ(noBundle.localizedString("LumaroNotFound"), "LumaroNotFound");
    EXPECT_EQ(noBundle.tablePath(), std::nullopt);
}

TEST_F(PlistStringTableTest, MainBundleTableOfARunningProgram) {
    testsupport::MakeFolders(bundle + "/Contents/MacOS");
    std::filesystem::copy_file(HALVERN_PLATFORM_TOOL, bundle + "/Contents/MacOS/Halvern");
    std::vector<std::string> environment = testsupport::BaseEnvironment();
    environment.push_back("LANGUAGE=de");
    const auto result =
        testsupport::RunProcess({bundle + "/Contents/MacOS/Halvern", "strings", "Retry", "LumaroNotFound"}, environment);
    EXPECT_EQ(result.out, "Wiederholen\nLumaroNotFound\n") << result.err;
}

// The tables that ship in Halvern.app: every key in every language, and the
// placeholders that the program fills, exactly.
TEST(ShippedTables, HaveEveryKeyWithItsPlaceholders) {
    const std::map<std::string, std::set<std::string>> keys{
        {"Retry", {}},
        {"Cancel", {}},
        {"OK", {}},
        {"Veldane Lumaro", {}},
        {"LumaroNotFound", {"@CHANNEL_NAME@", "@FULLVERSIONNUMBER@"}},
        {"LumaroTrackNameMismatch", {"@CHANNEL_NAME@"}},
        {"LumaroVersionNumberLower", {"@CHANNEL_NAME@", "@FULLVERSIONNUMBER@"}},
        {"ChooseLumaro", {}},
        {"LumaroRunningStandAlone", {}},
        {"LumaroRunningBrowser", {"%s"}},
    };
    const std::regex placeholder("@[A-Z_]+@|%.");
    const std::string resources = std::string(HALVERN_APP) + "/Contents/Resources";
    std::set<std::string> languages;
    for (const auto& entry : std::filesystem::directory_iterator(resources)) {
        if (entry.path().extension() != ".lproj") continue;
        const std::string language = entry.path().stem().string();
        languages.insert(language);
        const auto table = platform::ReadStringDictionary(entry.path().string() + "/Localizable.strings");
        ASSERT_TRUE(table) << language;
        EXPECT_EQ(table->strings().size(), keys.size()) << language;
        for (const auto& [key, expected] : keys) {
            const auto text = table->string(key);
            ASSERT_TRUE(text) << language << ": " << key;
            EXPECT_FALSE(text->empty()) << language << ": " << key;
            std::set<std::string> found;
            for (auto it = std::sregex_iterator(text->begin(), text->end(), placeholder); it != std::sregex_iterator();
                 ++it) {
                found.insert(it->str());
            }
            EXPECT_EQ(found, expected) << language << ": " << key;
        }
    }
    EXPECT_TRUE(languages.count("en"));
    EXPECT_GE(languages.size(), 3u);
}

}  // namespace
