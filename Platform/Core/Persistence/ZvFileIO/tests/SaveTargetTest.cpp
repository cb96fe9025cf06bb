// Preparing and restoring save targets and deleting autosave copies, on
// real files in a folder of the test's: what each answers and which files
// are there afterwards. (What a check of a save target answers, the save
// API's tests and the translation test see.)

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "FileHandling/FileNameException.h"
#include "FileHandling/testing/FaultEnv.h"
#include "FileHandling/testing/TempFolder.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

using Files = std::set<std::string>; // the leaves in the folder

class SaveTarget : public ::testing::Test {
protected:
    // Makes the folder hold `files` alone, each holding its own name.
    void put(const Files& files) {
        dir.clear();
        for (const std::string& leaf : files) {
            dir.write(leaf, leaf);
        }
    }
    Files files() const {
        Files leaves;
        for (const auto& entry : std::filesystem::directory_iterator(dir.root())) {
            leaves.insert(entry.path().filename().string());
        }
        return leaves;
    }

    testing::TempFolder dir;
    const std::string design = dir.path("p.zvd");
    const std::string temporary = dir.path("p.tmp.zvd");
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
    const Files designOnly = {"p.zvd"};
    const Files leftOver = {"p.zvd", "p.tmp.zvd"};
    const Case cases[] = {
        {ZvFileWriteMode::Overwrite, {}, "p.zvd", {}},
        {ZvFileWriteMode::Overwrite, designOnly, "p.tmp.zvd", designOnly},
        {ZvFileWriteMode::Overwrite, leftOver, "p.tmp.zvd", designOnly},
        {ZvFileWriteMode::UpdateSelected, leftOver, "p.zvd", leftOver},
        {ZvFileWriteMode::UpdateAll, designOnly, "p.zvd", designOnly},
        {static_cast<ZvFileWriteMode>(-4), designOnly, "p.zvd", designOnly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written + " mode " + std::to_string(static_cast<int>(c.mode)) + " files " +
                     std::to_string(c.files.size()));
        put(c.files);
        const FileName written = ZvFileIO::prepareFileName(design, c.mode);
        EXPECT_EQ(written.toNativeString(), dir.path(c.written));
        EXPECT_EQ(files(), c.prepared);
        dir.write(c.written, "written");
        const bool rewrite = c.mode == ZvFileWriteMode::Overwrite;
        const Files saved = rewrite ? designOnly : files();
        EXPECT_TRUE(ZvFileIO::restoreFileName(design, written, c.mode));
        EXPECT_EQ(files(), saved);
        EXPECT_EQ(testing::TempFolder::read(design), "written");
        EXPECT_EQ(ZvFileIO::restoreFileName(design, temporary, c.mode), !rewrite);
        EXPECT_EQ(files(), saved);
    }
}

// Deleting the autosave copy reports whether there was one, also one that
// cannot be removed (the next autosave overwrites it); preparing a rewrite
// lets a failed removal of a temporary file a crash left through.
TEST_F(SaveTarget, AFailedRemovalIsAnAutosaveCopyThatExistedOrLetThrough) {
    EXPECT_FALSE(ZvFileIO().deleteAssociatedAutosaveFile(design));
    put({"p.zvd", "p.tmp.zvd", "p.bak.zvd"});
    EXPECT_TRUE(ZvFileIO().deleteAssociatedAutosaveFile(design));
    EXPECT_EQ(files(), Files({"p.zvd", "p.tmp.zvd"}));
    dir.write("p.bak.zvd", "copy");
    using testing::FaultEnv;
    const ScopedEnv refusing(std::make_shared<FaultEnv>(
        FaultEnv::failing(FaultEnv::Kind::Remove, 1, std::make_error_code(std::errc::permission_denied), 2)));
    EXPECT_TRUE(ZvFileIO().deleteAssociatedAutosaveFile(design));
    EXPECT_THROW(ZvFileIO::prepareFileName(design, ZvFileWriteMode::Overwrite), FileNameException);
    EXPECT_EQ(files(), Files({"p.zvd", "p.tmp.zvd", "p.bak.zvd"}));
}

} // namespace
} // namespace Zorvan
