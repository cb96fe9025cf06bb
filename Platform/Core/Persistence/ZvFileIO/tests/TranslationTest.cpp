// What the user reads, in the language the locale variables select, with
// the shipped catalogues installed as a host installs them.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/FakeFileSystem.h"
#include "Logging/Logging.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Translation/GettextCatalogue.h"
#include "Translation/testing/LocaleEnvironment.h"

namespace Zorvan {
namespace {

using testing::LocaleEnvironment;

// The three sentences the library says to the user: a save target without
// a name, a read-only one, and a version that cannot be read.
std::vector<std::string> userMessages() {
    const auto fs = std::make_shared<testing::FakeFileSystem>();
    fs->files["d/locked.zvd"] = true;
    const ScopedFileSystem installed(fs);
    const ScopedLogSink quiet(std::make_shared<MemorySink>());
    std::vector<std::string> messages(3);
    EXPECT_FALSE(ZvFileIO::checkSavePossible("d/.zvd", ZvFileWriteMode::Overwrite, &messages[0]));
    EXPECT_FALSE(ZvFileIO::checkSavePossible("d/locked.zvd", ZvFileWriteMode::Overwrite, &messages[1]));
    try {
        (void)ZvFileIO().verifyZVVersion(nullptr, nullptr);
    } catch (const FileOpenException& e) {
        messages[2] = e.what();
    }
    return messages;
}

TEST(UserMessages, ComeInTheLanguageTheLocaleVariablesSelect) {
    const std::vector<std::string> english{"The file must have a name. An empty filename is not allowed.",
                                           "It is not possible to overwrite a readonly file.",
                                           "Error reading file version."};
    const std::vector<std::string> german{
        "Die Datei muss einen Namen haben. Ein leerer Dateiname ist nicht zul\xC3\xA4ssig.",
        "Eine schreibgesch\xC3\xBCtzte Datei kann nicht \xC3\xBC" "berschrieben werden.",
        "Fehler beim Lesen der Dateiversion."};
    struct Case {
        std::vector<const char*> environment; // LANGUAGE, LC_ALL, LC_MESSAGES, LANG
        const std::vector<std::string>& expected;
    };
    const Case cases[] = {
        {{"de", nullptr, nullptr, "fr_FR.UTF-8"}, german},
        {{"de", "C"}, english}, // the C locale keeps the source texts, whatever LANGUAGE says
        {{nullptr, nullptr, nullptr, "de_DE.UTF-8"}, german},
        {{nullptr, nullptr, nullptr, "fr_FR.UTF-8"}, english}, // no French catalogue: the source texts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(LocaleEnvironment::describe(c.environment));
        const LocaleEnvironment environment(c.environment);
        const auto previous = installGettextCatalogue(ZV_MESSAGE_DOMAIN, ZV_LOCALE_DIR);
        const std::vector<std::string> shown = userMessages();
        Translator::setCatalogue(previous);
        EXPECT_EQ(shown, c.expected);
    }
}

} // namespace
} // namespace Zorvan
