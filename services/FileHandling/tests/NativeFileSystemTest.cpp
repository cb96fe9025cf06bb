// The native file system on real files in a fresh folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;

class NativeFileSystem : public ::testing::Test {
protected:
    NativeFileSystem() {
        std::random_device random;
        dir = fs::temp_directory_path() / ("zvfilehandling-" + std::to_string(random()));
        fs::create_directories(dir);
    }
    ~NativeFileSystem() override {
        std::error_code ignored;
        fs::permissions(dir, fs::perms::owner_all, ignored);
        fs::remove_all(dir, ignored);
    }
    std::string path(const char* leaf) const { return (dir / leaf).string(); }
    std::string write(const char* leaf, const std::string& content) const {
        std::ofstream(path(leaf)) << content;
        return path(leaf);
    }
    static std::string read(const std::string& file) {
        std::ostringstream content;
        content << std::ifstream(file).rdbuf();
        return content.str();
    }

    fs::path dir;
};

TEST_F(NativeFileSystem, ExistsFollowsLinksOnlyWhenAsked) {
    const std::string file = write("a.zvd", "x");
    fs::create_symlink(path("missing.zvd"), path("dangling.zvd"));
    EXPECT_TRUE(FileUtilities::exists(file, false));
    EXPECT_FALSE(FileUtilities::exists(path("missing.zvd"), false));
    EXPECT_TRUE(FileUtilities::exists(path("dangling.zvd"), false));
    EXPECT_FALSE(FileUtilities::exists(path("dangling.zvd"), true));
}

TEST_F(NativeFileSystem, ReadOnlyMeansNoWriteBitForEveryUserRootIncluded) {
    const std::string file = write("a.zvd", "x");
    EXPECT_FALSE(FileUtilities::isReadOnly(file));
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_TRUE(FileUtilities::isReadOnly(file)); // even when the tests run as root
    EXPECT_FALSE(FileUtilities::isReadOnly(path("missing.zvd")));
}

TEST_F(NativeFileSystem, RemoveNamesTheFileAndTheReason) {
    const std::string file = write("a.zvd", "x");
    FileUtilities::remove(file);
    EXPECT_FALSE(fs::exists(file));
    try {
        FileUtilities::remove(file);
        FAIL() << "removing a missing file succeeded";
    } catch (const FileNameException& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot remove '" + file + "': No such file or directory");
        EXPECT_EQ(e.path(), file);
    }
}

TEST_F(NativeFileSystem, ReplaceKeepsPermissionsAndLinks) {
    const std::string target = write("a.zvd", "old");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    fs::create_symlink(target, path("link.zvd"));

    ASSERT_TRUE(FileUtilities::replaceFile(write("a.tmp.zvd", "new"), path("link.zvd")));
    EXPECT_TRUE(fs::is_symlink(path("link.zvd")));
    EXPECT_EQ(read(target), "new");
    EXPECT_FALSE(fs::exists(path("a.tmp.zvd")));
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);

    EXPECT_FALSE(FileUtilities::replaceFile(path("missing.zvd"), target));
    EXPECT_EQ(read(target), "new");
}

} // namespace
} // namespace Zorvan
