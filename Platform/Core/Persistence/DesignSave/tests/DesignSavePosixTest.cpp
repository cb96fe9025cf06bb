// The save API and what exists on POSIX systems only: permission bits,
// symbolic links and fork (names through links are tested with every other
// kind of name in DesignSaveTest.cpp; other users' files and links beside a
// design in DesignSaveForeignTest.cpp).

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "DesignSaveFixture.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using Mode = ZvFileWriteMode;
using testing::DesignSaveTest;
using testing::TempFolder;

// The files a save creates carry the design's permission bits from before
// their first byte, and so does an autosave copy that replaces one an older
// release left open to everybody.
TEST_F(DesignSaveTest, ItsFilesAreNeverLooserThanTheDesign) {
    saveDesign("a.zvd", 3, "old");
    const fs::perms privateBits = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(path("a.zvd"), privateBits);
    const auto permissionsOf = [&](const std::string& leaf) { return fs::status(path(leaf)).permissions(); };
    fs::perms seen = fs::perms::none;
    saveDesign("a.zvd", 3, "new", options(Mode::Overwrite, "prepared", [&] { seen = permissionsOf("a.tmp.zvd"); }));
    EXPECT_EQ(seen, privateBits) << "temporary file";
    folder.write("a.bak.zvd", "older copy");
    fs::permissions(path("a.bak.zvd"), fs::perms::all);
    (void)writeAutosaveCopy(path("a.zvd"),
                            options(Mode::Overwrite, "copied", [&] { seen = permissionsOf("a.bak.tmp.zvd"); }));
    EXPECT_EQ(seen, privateBits) << "temporary autosave copy";
    EXPECT_EQ(permissionsOf("a.bak.zvd"), privateBits);
    EXPECT_EQ(permissionsOf("a.zvd"), privateBits);
}

// A forked child that drops the parent's saves (as a child that never
// execs does when it returns from main) lets go of its memory and nothing
// else: the parent's update in place, rewrite and first save commit, and
// the designs hold them.
TEST_F(DesignSaveTest, AForkedChildNeverTouchesTheParentsSave) {
    saveDesign("a.zvd", 300, "old");
    for (const Mode mode : {Mode::UpdateAll, Mode::Overwrite}) {
        std::optional<DesignSave> save(DesignSave::begin(path("a.zvd"), options(mode)));
        std::optional<DesignSave> first(DesignSave::begin(path("new.zvd"), options()));
        DesignPart module = save->part();
        for (int i = 0; i < 300; ++i) {
            SerializationTransferObject object(Identifier::create().number, "Pipe", "parent");
            module.save(object);
        }
        const pid_t child = ::fork();
        if (child == 0) {
            save.reset();
            first.reset();
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        (void)save->commit("parent", static_cast<std::int32_t>(mode));
        (void)first->commit("first", 1);
        save.reset();
        first.reset();
        EXPECT_EQ(revisionOf(path("a.zvd")), "parent");
        EXPECT_EQ(revisionOf(path("new.zvd")), "first");
        EXPECT_EQ(files().size(), 2u) << "the designs alone";
        fs::remove(path("new.zvd"));
    }
}

} // namespace
} // namespace Zorvan
