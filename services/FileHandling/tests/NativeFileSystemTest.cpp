// The native file system on real files, as every system must behave.
// What only one kind of system has (permission bits and symbolic links,
// the read-only attribute) is tested in NativeFileSystemPosixTest.cpp and
// NativeFileSystemWindowsTest.cpp.

#include <gtest/gtest.h>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "Logging/Logging.h"
#include "FileHandling/testing/TempFolder.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

class NativeFileSystem : public ::testing::Test {
protected:
    TempFolder dir;
    std::shared_ptr<MemorySink> log = std::make_shared<MemorySink>();
    ScopedLogSink installed{log};
};

// Names are UTF-8 text: a name outside ASCII must reach the same file that
// the standard library creates under it.
TEST_F(NativeFileSystem, ExistsAndRemoveTakeUtf8Names) {
    for (const std::string leaf : {"pump.zvd", "Pumpe \xC3\xBC\xC3\x9F.zvd", "\xE3\x83\x9D\xE3\x83\xB3\xE3\x83\x97.zvd"}) {
        SCOPED_TRACE(leaf);
        const std::string file = dir.write(leaf, "x");
        ASSERT_TRUE(fs::exists(TempFolder::fromUtf8(file)));
        EXPECT_TRUE(FileUtilities::exists(file, false));
        EXPECT_TRUE(FileUtilities::exists(file, true));
        EXPECT_FALSE(FileUtilities::isReadOnly(file));
        FileUtilities::remove(file);
        EXPECT_FALSE(fs::exists(TempFolder::fromUtf8(file)));
        EXPECT_FALSE(FileUtilities::exists(file, false));
        EXPECT_FALSE(FileUtilities::isReadOnly(file)) << "a missing file is not read-only";
    }
}

TEST_F(NativeFileSystem, ReplacePutsTheSourceInTheDestinationsPlace) {
    for (const bool destinationExists : {true, false}) {
        SCOPED_TRACE(destinationExists ? "over an existing file" : "no destination yet");
        const std::string target = dir.path("a \xC3\xBC.zvd");
        if (destinationExists) {
            dir.write("a \xC3\xBC.zvd", "old content, longer than the new");
        }
        ASSERT_TRUE(FileUtilities::replaceFile(dir.write("a.tmp.zvd", "new"), target));
        EXPECT_EQ(TempFolder::read(target), "new");
        EXPECT_FALSE(FileUtilities::exists(dir.path("a.tmp.zvd"), false));
        fs::remove(TempFolder::fromUtf8(target));
    }
    EXPECT_TRUE(log->records().empty());
}

// A failed remove throws, a failed replace answers false and leaves the
// destination as it was; each logs one error that names the files and, for
// the remove, is the message thrown: one line ending in the system's reason,
// not in its punctuation.
TEST_F(NativeFileSystem, FailuresNameTheFilesAndAreLogged) {
    const std::string target = dir.write("a.zvd", "old");
    const std::string missing = dir.path("missing \xC3\xBC.tmp.zvd");
    std::string thrown;
    try {
        FileUtilities::remove(missing);
        ADD_FAILURE() << "removing a missing file succeeded";
    } catch (const FileNameException& e) {
        EXPECT_EQ(e.path(), missing);
        thrown = e.what();
    }
    EXPECT_FALSE(FileUtilities::replaceFile(missing, target));
    EXPECT_EQ(TempFolder::read(target), "old");
    const auto records = log->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, thrown);
    const std::string prefixes[] = {"Cannot remove '" + missing + "': ",
                                    "Cannot replace '" + target + "' with '" + missing + "': cannot "};
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(records[i].level, LogLevel::Error);
        ASSERT_EQ(records[i].message.substr(0, prefixes[i].size()), prefixes[i]);
    }
    const std::string reason = thrown.substr(prefixes[0].size());
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << reason;
    EXPECT_NE(reason.back(), '.') << reason;
}

} // namespace
} // namespace Zorvan
