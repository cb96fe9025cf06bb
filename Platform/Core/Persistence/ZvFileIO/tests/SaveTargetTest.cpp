// Checking, preparing and restoring save targets, over a file system held
// in memory: what each answers and which files are there afterwards (the
// calls it makes on the way are its own business).

#include <gtest/gtest.h>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/FakeFileSystem.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "TestSupport.h"

namespace Zorvan {
namespace {

using Files = std::map<std::string, bool>; // name -> read-only
constexpr auto kModes = {ZvFileWriteMode::Overwrite, ZvFileWriteMode::UpdateSelected, ZvFileWriteMode::UpdateAll,
                         static_cast<ZvFileWriteMode>(9)};

class SaveTarget : public ::testing::Test {
protected:
    std::shared_ptr<testing::FakeFileSystem> fs = std::make_shared<testing::FakeFileSystem>();
    ScopedFileSystem installed{fs};
    testing::ServiceDoubles services;
};

// A name with no leaf is refused whatever is on the disk; an existing
// read-only file is refused; anything else may be saved, in every mode.
// Only a refusal is translated, and only when the caller asks for it.
TEST_F(SaveTarget, CheckSavePossible) {
    const std::string nameMessage = "DesignIO: The file must have a name. An empty filename is not allowed.";
    const std::string readOnlyMessage = "DesignIO: It is not possible to overwrite a readonly file.";
    struct Case {
        const char* name;
        bool exists;
        bool readOnly;
        bool expected;
        std::string message;
    };
    const Case cases[] = {
        {"d/new.zvd", false, false, true, ""},
        {"d/old.zvd", true, false, true, ""},
        {"d/locked.zvd", true, true, false, readOnlyMessage},
        {"d/.zvd", true, true, false, nameMessage},
        {"d/.zvd", false, false, false, nameMessage},
        {"d/", false, false, false, nameMessage},
        {"", false, false, false, nameMessage},
        {"d/noext", false, false, true, ""},
    };
    for (const Case& c : cases) {
        for (const ZvFileWriteMode mode : kModes) {
            SCOPED_TRACE(std::string(c.name) + (c.exists ? " existing" : "") + " mode " +
                         std::to_string(static_cast<int>(mode)));
            fs->files.clear();
            if (c.exists) {
                fs->files[c.name] = c.readOnly;
            }
            for (const bool wantMessage : {true, false}) {
                services.catalogue->lookups = 0;
                std::string message = "untouched";
                EXPECT_EQ(ZvFileIO::checkSavePossible(c.name, mode, wantMessage ? &message : nullptr), c.expected);
                const bool translated = wantMessage && !c.expected;
                EXPECT_EQ(message, translated ? c.message : "untouched");
                EXPECT_EQ(services.catalogue->lookups, translated ? 1u : 0u);
            }
        }
    }
}

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
