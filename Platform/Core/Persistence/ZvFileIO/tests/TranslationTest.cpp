// What the user reads, with the shipped catalogues installed as a host
// installs them.

#include <gmock/gmock.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FileHandling/testing/TempFolder.h"
#include "Logging/Logging.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Translation/GettextCatalogue.h"
#include "Translation/testing/LocaleEnvironment.h"

namespace Zorvan {
namespace {

using testing::LocaleEnvironment;

// The three sentences the library says to the user (a save target without
// a name, a read-only one, and a version that cannot be read) are in the
// shipped German catalogue, installed as a host installs it. Which language
// the locale variables select is the translation service's and the host's.
TEST(UserMessages, ComeInGermanFromTheShippedCatalogue) {
    const LocaleEnvironment environment({nullptr, nullptr, nullptr, "de_DE.UTF-8"});
    const auto previous = installGettextCatalogue(ZV_MESSAGE_DOMAIN, ZV_LOCALE_DIR);
    const std::shared_ptr<void> restore(nullptr, [&](void*) { Translator::setCatalogue(previous); });
    const testing::TempFolder dir;
    const std::string locked = dir.write("locked.zvd", "design");
    std::filesystem::permissions(testing::TempFolder::fromUtf8(locked), std::filesystem::perms::owner_read);
    const ScopedLogSink quiet(std::make_shared<MemorySink>());
    std::string unnamed, readOnly;
    EXPECT_FALSE(ZvFileIO::checkSavePossible(dir.path(".zvd"), ZvFileWriteMode::Overwrite, &unnamed));
    EXPECT_FALSE(ZvFileIO::checkSavePossible(locked, ZvFileWriteMode::Overwrite, &readOnly));
    EXPECT_EQ(unnamed, "Die Datei muss einen Namen haben. Ein leerer Dateiname ist nicht zul\xC3\xA4ssig.");
    EXPECT_EQ(readOnly, "Eine schreibgesch\xC3\xBCtzte Datei kann nicht \xC3\xBC" "berschrieben werden.");
    EXPECT_THAT([] { (void)ZvFileIO().verifyZVVersion(nullptr, nullptr); },
                ::testing::ThrowsMessage<FileOpenException>(::testing::StrEq("Fehler beim Lesen der Dateiversion.")));
}

} // namespace
} // namespace Zorvan
