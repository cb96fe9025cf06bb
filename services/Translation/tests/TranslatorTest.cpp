#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#endif

#include "Translation/Languages.h"
#include "Translation/Substitute.h"
#include "Translation/Translator.h"
#include "Translation/testing/LocaleEnvironment.h"

namespace Zorvan {
namespace {

using testing::LocaleEnvironment;

TEST(Substitute, PutsEachValueWhereItsMarkerStands) {
    EXPECT_EQ(substitute("cannot save %1: %2", {"'a.zvd'", "it is busy."}), "cannot save 'a.zvd': it is busy.");
    EXPECT_EQ(substitute("%2 kann %1 nicht", {"x", "y"}), "y kann x nicht");
    EXPECT_EQ(substitute("100% of %1, %3 and %", {"%2", "b"}), "100% of %2, %3 and %") << "values are not read again";
}

// The languages texts are looked up in follow the locale of messages and
// then LANGUAGE. Without a locale variable the system's language decides: on
// Windows the user's language for Windows' own texts, which LANGUAGE orders
// and any locale variable overrides; elsewhere none (the C locale). Wine
// takes that language from the locale variables it is started with, so
// CTest runs this test once more with Windows speaking German
// (Services_Translation_tests.german_windows, which sets
// ZV_TEST_WINDOWS_GERMAN).
TEST(Languages, FollowTheLocaleVariablesAndThenTheSystemsLanguage) {
    // neither: a language whose rows without locale variables this table cannot tell.
    bool german = false, neither = false;
#ifdef _WIN32
    const LANGID windows = GetUserDefaultUILanguage();
    german = windows == MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
    neither = !german && PRIMARYLANGID(windows) != LANG_ENGLISH;
    if (std::getenv("ZV_TEST_WINDOWS_GERMAN") != nullptr) {
        ASSERT_TRUE(german) << "Windows was to speak German in this run";
    }
#endif
    // LANGUAGE, LC_ALL, LC_MESSAGES and LANG; the languages; where Windows speaking German makes a difference,
    // the languages then.
    struct Case { std::vector<const char*> environment; std::vector<std::string> expected;
                  std::optional<std::vector<std::string>> german = {}; };
    const Case cases[] = {
        {{"de", "C"}, {}}, {{"de", nullptr, nullptr, "C.UTF-8"}, {}}, // LANGUAGE does not count in the C locale
        {{"de", nullptr, nullptr, "fr_FR.UTF-8"}, {"de"}},            // otherwise it comes first
        {{"fr:de_AT:de", nullptr, nullptr, "de_DE"}, {"fr", "de_AT", "de"}},
        {{"fr::de:", nullptr, nullptr, "de_DE"}, {"fr", "de"}},       // empty entries are skipped
        {{"de:C:fr", nullptr, nullptr, "de_DE"}, {"de"}},             // C ends the list: source texts
        {{"de:en_GB:fr", nullptr, nullptr, "de_DE"}, {"de"}}, {{"en@quot:de", nullptr, nullptr, "de_DE"}, {}}, // English too
        {{"", "de_DE.UTF-8", "fr", "it"}, {"de_DE.UTF-8"}},           // an empty LANGUAGE is not set
        {{nullptr, "", "fr_FR", "de"}, {"fr_FR"}},                    // LC_MESSAGES before LANG
        {{nullptr, nullptr, nullptr, "de_AT.UTF-8@euro"}, {"de_AT.UTF-8@euro"}},
        {{nullptr, "C.UTF-8", nullptr, "de"}, {}}, {{nullptr, nullptr, nullptr, "POSIX"}, {}},
        {{nullptr, nullptr, nullptr, "en_US.UTF-8"}, {}}, {{}, {}, {{"de_DE"}}}, {{"fr:de"}, {}, {{"fr", "de"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        const LocaleEnvironment environment(c.environment);
        if (!(c.german && neither)) {
            EXPECT_EQ(languagesFromEnvironment(), c.german && german ? *c.german : c.expected);
        }
    }
}

} // namespace
} // namespace Zorvan
