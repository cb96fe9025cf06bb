// The native file system on POSIX systems: symbolic links and permission
// bits, which Windows files do not have in this form.

#include <gtest/gtest.h>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/TempFolder.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

TEST(NativeFileSystemPosix, ExistsFollowsLinksOnlyWhenAsked) {
    const TempFolder dir;
    fs::create_symlink(dir.path("missing.zvd"), dir.path("dangling.zvd"));
    EXPECT_TRUE(FileUtilities::exists(dir.path("dangling.zvd"), false));
    EXPECT_FALSE(FileUtilities::exists(dir.path("dangling.zvd"), true));
}

TEST(NativeFileSystemPosix, ReadOnlyMeansNoWriteBitForEveryUserRootIncluded) {
    const TempFolder dir;
    const std::string file = dir.write("a.zvd", "x");
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_TRUE(FileUtilities::isReadOnly(file)); // even when the tests run as root
    fs::permissions(file, fs::perms::group_write, fs::perm_options::add);
    EXPECT_FALSE(FileUtilities::isReadOnly(file));
}

TEST(NativeFileSystemPosix, ReplaceKeepsPermissionsAndLinks) {
    const TempFolder dir;
    const std::string target = dir.write("a.zvd", "old");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    fs::create_symlink(target, dir.path("link.zvd"));

    ASSERT_TRUE(FileUtilities::replaceFile(dir.write("a.tmp.zvd", "new"), dir.path("link.zvd")));
    EXPECT_TRUE(fs::is_symlink(dir.path("link.zvd")));
    EXPECT_EQ(TempFolder::read(target), "new");
    EXPECT_FALSE(fs::exists(dir.path("a.tmp.zvd")));
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
}

} // namespace
} // namespace Zorvan
