// Preparing and restoring save targets and deleting autosave copies, over a
// file system held in memory: what each answers and which files are there
// afterwards. (What a check of a save target answers, the save API's tests
// and the translation test see.)

#include <gtest/gtest.h>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/FakeFileSystem.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

using Files = std::map<std::string, bool>; // name -> read-only

class SaveTarget : public ::testing::Test {
protected:
    std::shared_ptr<testing::FakeFileSystem> fs = std::make_shared<testing::FakeFileSystem>();
    ScopedFileSystem installed{fs};
    ScopedLogSink quiet{std::make_shared<MemorySink>()};
};

// Only the rewrite of an existing file goes through a temporary file, and a
// temporary file a crash left there goes first; restoring puts the file
// written in the target's place. An update has nothing to put in place; a
// rewrite whose temporary file is gone reports the failed replacement.
TEST_F(SaveTarget, ARewriteGoesThroughATemporaryFileThatRestoringPutsInPlace) {
    struct Case {
        ZvFileWriteMode mode;
        Files files;
        std::string written;
        Files prepared;
    };
    const Files design = {{"d/p.zvd", false}};
    const Files leftOver = {{"d/p.zvd", false}, {"d/p.tmp.zvd", false}};
    const Case cases[] = {
        {ZvFileWriteMode::Overwrite, {}, "d/p.zvd", {}},
        {ZvFileWriteMode::Overwrite, design, "d/p.tmp.zvd", design},
        {ZvFileWriteMode::Overwrite, leftOver, "d/p.tmp.zvd", design},
        {ZvFileWriteMode::UpdateSelected, leftOver, "d/p.zvd", leftOver},
        {ZvFileWriteMode::UpdateAll, design, "d/p.zvd", design},
        {static_cast<ZvFileWriteMode>(-4), design, "d/p.zvd", design},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written + " mode " + std::to_string(static_cast<int>(c.mode)) + " files " +
                     std::to_string(c.files.size()));
        fs->files = c.files;
        const FileName written = ZvFileIO::prepareFileName("d/p.zvd", c.mode);
        EXPECT_EQ(written.toNativeString(), c.written);
        EXPECT_EQ(fs->files, c.prepared);
        fs->files[c.written] = false;
        const Files saved = c.mode == ZvFileWriteMode::Overwrite ? design : fs->files;
        EXPECT_TRUE(ZvFileIO::restoreFileName("d/p.zvd", written, c.mode));
        EXPECT_EQ(fs->files, saved);
        EXPECT_EQ(ZvFileIO::restoreFileName("d/p.zvd", "d/p.tmp.zvd", c.mode), c.mode != ZvFileWriteMode::Overwrite);
        EXPECT_EQ(fs->files, saved);
    }
}

// Deleting the autosave copy reports whether there was one, also one that
// cannot be removed (the next autosave overwrites it); preparing a rewrite
// lets a failed removal of a temporary file a crash left through.
TEST_F(SaveTarget, AFailedRemovalIsAnAutosaveCopyThatExistedOrLetThrough) {
    EXPECT_FALSE(ZvFileIO().deleteAssociatedAutosaveFile("d/p.zvd"));
    fs->files = {{"d/p.zvd", false}, {"d/p.tmp.zvd", false}, {"d/p.bak.zvd", false}};
    EXPECT_TRUE(ZvFileIO().deleteAssociatedAutosaveFile("d/p.zvd"));
    EXPECT_EQ(fs->files, Files({{"d/p.zvd", false}, {"d/p.tmp.zvd", false}}));
    fs->files["d/p.bak.zvd"] = false;
    fs->failRemove = std::make_exception_ptr(
        FileNameException("Cannot remove", "d/p.bak.zvd", std::make_error_code(std::errc::permission_denied)));
    EXPECT_TRUE(ZvFileIO().deleteAssociatedAutosaveFile("d/p.zvd"));
    EXPECT_THROW(ZvFileIO::prepareFileName("d/p.zvd", ZvFileWriteMode::Overwrite), FileNameException);
}

} // namespace
} // namespace Zorvan
