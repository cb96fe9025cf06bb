// Preparing and restoring save targets and deleting autosave copies, on
// real files in a folder of the test's: what each answers and which files
// are there afterwards. (What a check of a save target answers, the save
// API's tests and the translation test see.)

#include <gtest/gtest.h>

#include <algorithm>
#include <ranges>
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
        std::ranges::for_each(files, [&](const std::string& leaf) { dir.write(leaf, leaf); });
    }
    Files files() const {
        const auto leaves = std::views::keys(dir.contents());
        return {leaves.begin(), leaves.end()};
    }

    testing::TempFolder dir;
    const std::string design = dir.path("p.zvd");
    ScopedLogSink quiet{std::make_shared<MemorySink>()};
};

// Only the rewrite of an existing file goes through a temporary file, and a
// temporary file a crash left there goes first; restoring puts the file
// written in the target's place. An update has nothing to put in place; a
// rewrite whose temporary file is gone reports the failed replacement.
TEST_F(SaveTarget, ARewriteGoesThroughATemporaryFileThatRestoringPutsInPlace) {
    const Files designOnly = {"p.zvd"}, leftOver = {"p.zvd", "p.tmp.zvd"};
    // The mode, the files there, the file to write, the files there once it is prepared.
    const std::tuple<int, Files, std::string, Files> cases[] = {
        {0, {}, "p.zvd", {}}, {0, designOnly, "p.tmp.zvd", designOnly}, {0, leftOver, "p.tmp.zvd", designOnly},
        {1, leftOver, "p.zvd", leftOver}, {2, designOnly, "p.zvd", designOnly}, {-4, designOnly, "p.zvd", designOnly}};
    for (const auto& [mode, there, written, prepared] : cases) {
        SCOPED_TRACE(written + " mode " + std::to_string(mode) + " files " + std::to_string(there.size()));
        put(there);
        const auto writeMode = static_cast<ZvFileWriteMode>(mode);
        const FileName name = ZvFileIO::prepareFileName(design, writeMode);
        EXPECT_EQ(std::pair(name.toNativeString(), files()), std::pair(dir.path(written), prepared));
        dir.write(written, "written");
        const Files saved = mode == 0 ? designOnly : files();
        EXPECT_TRUE(ZvFileIO::restoreFileName(design, name, writeMode));
        EXPECT_EQ(std::pair(files(), testing::TempFolder::read(design)), std::pair(saved, std::string("written")));
        EXPECT_EQ((std::pair{ZvFileIO::restoreFileName(design, dir.path("p.tmp.zvd"), writeMode), files()}), std::pair(mode != 0, saved));
    }
}

// Deleting the autosave copy reports whether there was one, also one that
// cannot be removed (the next autosave overwrites it); preparing a rewrite
// lets a failed removal of a temporary file a crash left through.
TEST_F(SaveTarget, AFailedRemovalIsAnAutosaveCopyThatExistedOrLetThrough) {
    EXPECT_FALSE(ZvFileIO().deleteAssociatedAutosaveFile(design));
    put({"p.zvd", "p.tmp.zvd", "p.bak.zvd"});
    EXPECT_EQ((std::pair{ZvFileIO().deleteAssociatedAutosaveFile(design), files()}), std::pair(true, Files({"p.zvd", "p.tmp.zvd"})));
    dir.write("p.bak.zvd", "copy");
    const ScopedEnv refusing(std::make_shared<testing::FaultEnv>(testing::FaultEnv::failing(
        testing::FaultEnv::Kind::Remove, 1, std::make_error_code(std::errc::permission_denied), 2)));
    EXPECT_TRUE(ZvFileIO().deleteAssociatedAutosaveFile(design));
    EXPECT_THROW(ZvFileIO::prepareFileName(design, ZvFileWriteMode::Overwrite), FileNameException);
    EXPECT_EQ(files(), Files({"p.zvd", "p.tmp.zvd", "p.bak.zvd"}));
}

} // namespace
} // namespace Zorvan
