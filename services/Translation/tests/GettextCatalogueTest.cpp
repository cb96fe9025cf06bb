// The gettext catalogue over the test domain of tests/messages/de.po,
// compiled by the build into ZV_TEST_LOCALE_DIR.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "FileHandling/testing/TempFolder.h"
#include "Translation/GettextCatalogue.h"
#include "Translation/testing/LocaleEnvironment.h"

namespace Zorvan {
namespace {

using testing::LocaleEnvironment;

TEST(GettextCatalogue, LooksUpByContextAndFallsBackAlongTheLanguages) {
    struct Case { std::vector<std::string> languages; const char* context; const char* sourceText; int n;
                  std::optional<std::string> expected; };
    const Case cases[] = {
        {{"de"}, "Menu", "Save", -1, "Speichern"},
        {{"de"}, "Backup", "Save", -1, "Sichern"}, {{"de"}, "Toolbar", "Save", -1, std::nullopt}, // the context is part of the key
        {{"de"}, "Menu", "Open", -1, "\xC3\x96" "ffnen"},   // UTF-8 "Öffnen"
        {{"de"}, "Menu", "%n file", 1, "%n Datei"}, {{"de"}, "Menu", "%n file", 3, "%n Dateien"},
        {{"de_AT.UTF-8@euro"}, "Menu", "Save", -1, "Speichern"}, // region, encoding, modifier dropped
        {{"fr", "de"}, "Menu", "Save", -1, "Speichern"},    // fr has no catalogue
        {{"fr"}, "Menu", "Save", -1, std::nullopt}, {{}, "Menu", "Save", -1, std::nullopt},
        {{"de"}, nullptr, "Save", -1, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        const GettextCatalogue catalogue("test", ZV_TEST_LOCALE_DIR, c.languages);
        EXPECT_EQ(catalogue.lookup(c.context, c.sourceText, nullptr, c.n), c.expected);
    }
}

// The catalogue installed for the user's language is the one Translator
// asks, with the text's context and count; what it lacks, or no text, stays
// as it is. A broken catalogue throws and leaves the installed one in place.
TEST(GettextCatalogue, OnceInstalledTranslatesAndABrokenOneLeavesItInPlace) {
    const testing::TempFolder folder;
    std::filesystem::create_directories(folder.root() / "de" / "LC_MESSAGES");
    folder.write("de/LC_MESSAGES/test.mo", "not a message catalogue");
    const LocaleEnvironment environment({nullptr, nullptr, nullptr, "de_DE.UTF-8"});
    const auto previous = installGettextCatalogue("test", ZV_TEST_LOCALE_DIR);
    EXPECT_THROW(installGettextCatalogue("test", folder.root().string()), std::runtime_error);
    EXPECT_EQ(Translator::translate("Menu", "Save", nullptr, -1), "Speichern");
    EXPECT_EQ(Translator::translate("Menu", "%n file", nullptr, 3), "%n Dateien");
    EXPECT_EQ(Translator::translate("Toolbar", "Save", nullptr, -1), "Save");
    EXPECT_EQ(Translator::translate("Menu", nullptr, nullptr, -1), "");
    Translator::setCatalogue(previous);
}

} // namespace
} // namespace Zorvan
