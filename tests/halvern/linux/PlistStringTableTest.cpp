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
    EXPECT_EQ(preferred({{"LANG", "de_DE.UTF-8"}}), (Names{"de_DE", "de-DE", "de", "en"}));
    EXPECT_EQ(preferred({{"LANG", "de_AT.ISO-8859-1@euro"}}), (Names{"de_AT", "de-AT", "de", "en"}));
    EXPECT_EQ(preferred({{"LANG", "fr"}}), (Names{"fr", "en"}));
    // LC_ALL, then LC_MESSAGES, then LANG: only the first that is set counts.
    EXPECT_EQ(preferred({{"LC_ALL", "fr_CA.UTF-8"}, {"LC_MESSAGES", "de_DE"}, {"LANG", "it_IT"}}),
              (Names{"fr_CA", "fr-CA", "fr", "en"}));
    EXPECT_EQ(preferred({{"LC_ALL", ""}, {"LC_MESSAGES", "de"}, {"LANG", "it_IT"}}), (Names{"de", "en"}));
    EXPECT_EQ(preferred({{"LC_ALL", "C"}, {"LANG", "de_DE.UTF-8"}}), Names{"en"});
    EXPECT_EQ(preferred({{"LANG", "POSIX"}}), Names{"en"});
    EXPECT_EQ(preferred({{"LANG", "C.UTF-8"}}), Names{"en"});
    // LANGUAGE goes first, entry by entry, and nothing is tried twice.
    EXPECT_EQ(preferred({{"LANGUAGE", "fr:de_CH::de"}, {"LANG", "de_DE.UTF-8"}}),
              (Names{"fr", "de_CH", "de-CH", "de", "de_DE", "de-DE", "en"}));
    EXPECT_EQ(preferred({{"LANGUAGE", "ja:C"}, {"LANG", "C.UTF-8"}}), (Names{"ja", "en"}));
    // ... except in the C locale, set or by default, as gettext has it.
    EXPECT_EQ(preferred({{"LANGUAGE", "de"}, {"LANG", "C"}}), Names{"en"});
    EXPECT_EQ(preferred({{"LANGUAGE", "de"}, {"LC_ALL", "POSIX"}, {"LANG", "fr_FR"}}), Names{"en"});
    EXPECT_EQ(preferred({{"LANGUAGE", "de"}}), Names{"en"});
    // Chinese by its script, Portuguese falling back to the Brazilian table.
    EXPECT_EQ(preferred({{"LANG", "zh_CN.UTF-8"}}), (Names{"zh_CN", "zh-CN", "zh-Hans", "zh", "en"}));
    EXPECT_EQ(preferred({{"LANG", "zh_TW.Big5"}}), (Names{"zh_TW", "zh-TW", "zh-Hant", "zh", "en"}));
    EXPECT_EQ(preferred({{"LANG", "pt_PT.UTF-8"}}), (Names{"pt_PT", "pt-PT", "pt", "pt-BR", "en"}));
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
    testsupport::SetVariable(environment, "LANG", "fr_FR.UTF-8");
    environment.push_back("LANGUAGE=de");
    const auto result =
        testsupport::RunProcess({bundle + "/Contents/MacOS/Halvern", "strings", "Retry", "LumaroNotFound"}, environment);
    EXPECT_EQ(result.out, "Wiederholen\nLumaroNotFound\n") << result.err;

    // Without /proc the program finds its bundle from the path it was started by.
    if (!testsupport::Bubblewrap()) GTEST_SKIP() << "bubblewrap (bwrap) is not installed";
    std::vector<std::string> command = testsupport::Sandbox()
                                           .readOnlyBind(bundle, "/opt/Halvern.app")
                                           .command({"/opt/Halvern.app/Contents/MacOS/Halvern", "strings", "Retry"});
    command.erase(std::find(command.begin(), command.end(), "--proc"), std::find(command.begin(), command.end(), "--dev"));
    const auto withoutProc = testsupport::RunProcess(command, environment);
    EXPECT_EQ(withoutProc.out, "Wiederholen\n") << withoutProc.err;
}

// The tables that ship in Halvern.app: English has every key with the
// placeholders that the program fills; every other table has exactly English's
// keys, each text with the same placeholders as English's, as often.
std::multiset<std::string> Placeholders(const std::string& text) {
    static const std::regex placeholder("@[A-Z_]+@|%.");
    std::multiset<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), placeholder); it != std::sregex_iterator(); ++it) {
        found.insert(it->str());
    }
    return found;
}

std::optional<platform::InfoDictionary> ShippedTable(const std::string& folder) {
    return platform::ReadStringDictionary(std::string(HALVERN_APP) + "/Contents/Resources/" + folder +
                                          ".lproj/Localizable.strings");
}

TEST(ShippedTables, HaveEveryKeyOfEnglishWithItsPlaceholders) {
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
    const auto english = ShippedTable("en");
    ASSERT_TRUE(english);
    EXPECT_EQ(english->strings().size(), keys.size());
    for (const auto& [key, expected] : keys) {
        const std::multiset<std::string> found = Placeholders(english->string(key).value_or(""));
        EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), expected) << key;
    }

    std::set<std::string> languages;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(HALVERN_APP) + "/Contents/Resources")) {
        if (entry.path().extension() != ".lproj") continue;
        const std::string language = entry.path().stem().string();
        languages.insert(language);
        const auto table = ShippedTable(language);
        ASSERT_TRUE(table) << language;
        EXPECT_EQ(table->strings().size(), english->strings().size()) << language;
        for (const auto& [key, englishText] : english->strings()) {
            const auto text = table->string(key);
            ASSERT_TRUE(text) << language << ": " << key;
            EXPECT_FALSE(text->empty()) << language << ": " << key;
            EXPECT_EQ(Placeholders(*text), Placeholders(englishText)) << language << ": " << key;
        }
    }
    EXPECT_EQ(languages, (std::set<std::string>{"de", "en", "es", "fr", "it", "ja", "ko", "nl", "pt-BR", "zh-Hans"}));
}

TEST(ShippedTables, AreFoundFromTheUsualLocaleNames) {
    const std::map<std::string, std::string> folderOf{
        {"ja_JP.UTF-8", "ja"},      {"zh_CN.UTF-8", "zh-Hans"}, {"zh_SG", "zh-Hans"},   {"ko_KR.UTF-8", "ko"},
        {"es_MX.UTF-8", "es"},      {"it_IT@euro", "it"},       {"pt_BR.UTF-8", "pt-BR"}, {"pt_PT", "pt-BR"},
        {"nl_BE.UTF-8", "nl"},      {"de_CH.UTF-8", "de"},      {"fr_CA", "fr"},        {"zh_TW.UTF-8", "en"},
        {"sv_SE.UTF-8", "en"},
    };
    for (const auto& [locale, folder] : folderOf) {
        PlistStringTable table(std::string(HALVERN_APP), Env({{"LANG", locale}}));
        EXPECT_EQ(table.tablePath(), std::string(HALVERN_APP) + "/Contents/Resources/" + folder + ".lproj") << locale;
    }
    // LANGUAGE in the BCP 47 form of the folders, too.
    PlistStringTable bcp47(std::string(HALVERN_APP), Env({{"LANGUAGE", "zh-Hans:ja"}, {"LANG", "en_US.UTF-8"}}));
    EXPECT_EQ(bcp47.tablePath(), std::string(HALVERN_APP) + "/Contents/Resources/zh-Hans.lproj");
}

}  // namespace
