// The save API and what exists on POSIX systems only: permission bits and
// symbolic links.

#include <gtest/gtest.h>

#include <filesystem>

#include "DesignSaveFixture.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using Mode = ZvFileWriteMode;
using testing::DesignSaveTest;

// The files a save creates carry the design's permission bits from before
// their first byte, and so does an autosave copy that replaces one an older
// release left open to everybody. A temporary file swapped for a link while
// a rewrite runs is neither followed nor put in place: the design is left
// as it was.
TEST_F(DesignSaveTest, ItsFilesAreNeverLooserThanTheDesignNorRedirected) {
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

    const std::string victim = folder.write("victim", "not yours");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    const auto before = files();
    const auto swapForLink = [&] {
        fs::remove(path("a.tmp.zvd"));
        fs::create_symlink(victim, path("a.tmp.zvd"));
    };
    EXPECT_EQ(refusalOf([&] { saveDesign("a.zvd", 3, "late", options(Mode::Overwrite, "committed", swapForLink)); }),
              refusal(DesignRefusal::Interfered, "another program replaced its temporary file '" + path("a.tmp.zvd") +
                                                     "'; the design is left as it was."));
    EXPECT_EQ(permissionsOf("victim"), fs::perms::owner_read | fs::perms::owner_write);
    fs::remove(path("a.tmp.zvd"));
    EXPECT_EQ(files(), before);
}

// Links in the folder path and a link at the design work in every mode and
// for an autosave: the file the link points to is saved, beside itself
// (also on another device, /dev/shm where there is one), keeping its
// permission bits, and the link stays. So does the longest name that leaves
// room for the save's own files.
TEST_F(DesignSaveTest, LinksAndTheLongestNameWorkInEveryMode) {
    const fs::path real =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") / folder.root().filename() : folder.root() / "real";
    fs::create_directories(real);
    struct Remove {
        fs::path folder;
        ~Remove() { fs::remove_all(folder); }
    } removeReal{real};
    fs::create_directory_symlink(real, folder.root() / "linked");
    saveDesign("linked/a.zvd", 2, "one");
    const fs::perms perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(real / "a.zvd", perms);
    fs::create_symlink(real / "a.zvd", path("link.zvd"));
    const std::string longest(255 - 8 - 4, 'n');
    const std::pair<std::string, std::string> names[] = {{"linked/a.zvd", (real / "a.zvd").string()},
                                                         {"link.zvd", (real / "a.zvd").string()},
                                                         {longest + ".zvd", path(longest + ".zvd")}};
    for (const auto& [name, saved] : names) {
        for (const Mode mode : {Mode::Overwrite, Mode::Overwrite, Mode::UpdateAll, Mode::UpdateSelected}) {
            SCOPED_TRACE(name + " mode " + std::to_string(mode));
            saveDesign(name, 1, name, options(mode));
            EXPECT_EQ(revisionOf(saved), name);
        }
        EXPECT_TRUE(fs::exists(writeAutosaveCopy(path(name), options()).toNativeString()));
    }
    EXPECT_TRUE(fs::is_symlink(path("link.zvd")));
    EXPECT_EQ(fs::status(real / "a.zvd").permissions(), perms);
    EXPECT_EQ(std::distance(fs::directory_iterator(real), fs::directory_iterator()), 2) << "the design and its copy";
}

} // namespace
} // namespace Zorvan
