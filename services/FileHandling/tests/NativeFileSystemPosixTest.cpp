// The native file system on POSIX systems: symbolic links, permission
// bits, owners, ACLs and extended attributes, which Windows files do not
// have in this form.

#include <functional>

#include <gtest/gtest.h>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/NewFile.h"
#include "FileHandling/testing/TempFolder.h"
#include "Logging/Logging.h"
#include "PosixTestSupport.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using namespace testing;

TEST(NativeFileSystemPosix, ExistsFollowsLinksOnlyWhenAsked) {
    const TempFolder dir;
    fs::create_symlink(dir.path("missing.zvd"), dir.path("dangling.zvd"));
    EXPECT_TRUE(FileUtilities::exists(dir.path("dangling.zvd"), false));
    EXPECT_FALSE(FileUtilities::exists(dir.path("dangling.zvd"), true));
}

TEST(NativeFileSystemPosix, ReadOnlyWithoutAWriteBitEvenForRoot) {
    const TempFolder dir;
    const std::string file = dir.write("a.zvd", "x");
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_TRUE(FileUtilities::isReadOnly(file)); // even when the tests run as root
    fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_FALSE(FileUtilities::isReadOnly(file));
}

// Who may write a file depends on who asks: owner and group bits and the
// ACL are judged for the process's user.
TEST(NativeFileSystemPosix, ReadOnlyIsJudgedForTheUserWhoAsks) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    const TempFolder dir;
    ASSERT_EQ(::chmod(dir.root().c_str(), 0755), 0);
    const std::string nobody = std::to_string(kNobody);
    struct Case {
        mode_t mode;
        uid_t owner;
        gid_t group;
        std::string acl; // for setfacl -m
        bool readOnlyToNobody;
    };
    const std::vector<Case> cases = {
        {0664, 0, 0, "", true}, // writable by root's group only
        {0664, 0, 0, "u:" + nobody + ":rw", false},
        {0644, 0, 0, "u:" + nobody + ":r", true},
        {0666, 0, 0, "", false},
        {0644, kNobody, 0, "", false},
        {0464, 0, kNogroup, "", false},
        {0466, kNobody, 0, "", true}, // the owner's bits decide for the owner
    };
    std::vector<std::string> paths;
    for (const Case& c : cases) {
        paths.push_back(dir.write(std::to_string(paths.size()), "x"));
        ASSERT_EQ(::chown(paths.back().c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(paths.back().c_str(), c.mode), 0);
        if (!c.acl.empty() && !setfacl("-m " + c.acl + " '" + paths.back() + "'")) {
            GTEST_SKIP() << "the file system takes no ACL";
        }
        EXPECT_FALSE(FileUtilities::isReadOnly(paths.back())) << "root may write what has a write bit";
    }
    const int wrong = asUser(kNobody, kNogroup, [&] {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            if (FileUtilities::isReadOnly(paths[i]) != cases[i].readOnlyToNobody) {
                return static_cast<int>(i) + 1;
            }
        }
        return 0;
    });
    EXPECT_EQ(wrong, 0) << "-1: the check did not run; otherwise the case that went wrong, from 1";
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

// Whoever may write the folder can put something else under the source's
// name once the writer closed it: replaceFile must neither change that nor
// put it in place. The victim is the writer's own file unless said.
TEST(NativeFileSystemPosix, ReplaceRefusesASourceThatIsNotTheWritersFile) {
    const TempFolder dir;
    const auto log = std::make_shared<MemorySink>();
    const ScopedLogSink installed(log);
    const std::string planted = dir.path("a.tmp.zvd");
    struct Case {
        const char* what;
        bool victimOfAnotherUser;
        std::function<std::string(const std::string& victim)> plant; // returns the source's name
    };
    const std::vector<Case> cases = {
        {"symbolic link", false, [&](const std::string& v) { fs::create_symlink(v, planted); return planted; }},
        {"hard link", false, [&](const std::string& v) { fs::create_hard_link(v, planted); return planted; }},
        {"FIFO", false, [&](const std::string&) { ::mkfifo(planted.c_str(), 0600); return planted; }},
        {"another user's file", true, [](const std::string& v) { return v; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.victimOfAnotherUser && ::geteuid() != 0) {
            continue;
        }
        const std::string design = dir.write("a.zvd", "design");
        ASSERT_EQ(::chmod(design.c_str(), 0664), 0);
        const std::string victim = dir.write("victim", "secret");
        ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
        ASSERT_EQ(::chown(victim.c_str(), c.victimOfAnotherUser ? kNobody : ::geteuid(), ::getegid()), 0);
        const std::string source = c.plant(victim);
        const struct stat before[] = {statOf(victim), statOf(source)};

        log->clear();
        EXPECT_FALSE(FileUtilities::replaceFile(source, design));
        EXPECT_EQ(TempFolder::read(design), "design");
        EXPECT_EQ(TempFolder::read(victim), "secret");
        const struct stat after[] = {statOf(victim), statOf(source)};
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(after[i].st_mode, before[i].st_mode) << i;
            EXPECT_EQ(after[i].st_uid, before[i].st_uid) << i;
        }
        EXPECT_EQ(log->records().size(), 1u);
        fs::remove(planted);
        fs::remove(victim);
    }
}

// What was set on the design stays on it after a rewrite: bits, owner, ACL,
// extended attributes; also when the source was made by NewFile for the
// design's owner, and when the design lies on another device (reached
// through a link, it gets a copy).
TEST(NativeFileSystemPosix, ReplacementKeepsTheDestinationsAccess) {
    const TempFolder dir;
    const fs::path elsewhere = fs::path("/dev/shm") / dir.root().filename();
    std::error_code ignored;
    const bool otherDevice =
        fs::create_directory(elsewhere, ignored) && statOf(elsewhere).st_dev != statOf(dir.root()).st_dev;
    const std::shared_ptr<void> cleanup(nullptr, [&](void*) { fs::remove_all(elsewhere, ignored); });
    const std::string source = dir.path("a.tmp.zvd");
    struct Case {
        const char* what;
        bool madeByNewFile;
        bool onOtherDevice;
    };
    for (const Case c : {Case{"same folder", false, false}, Case{"made by NewFile", true, false},
                         Case{"on another device", false, true}}) {
        SCOPED_TRACE(c.what);
        if (c.onOtherDevice && !otherDevice) {
            continue;
        }
        const std::string design = c.onOtherDevice ? (elsewhere / "a.zvd").string() : dir.path("a.zvd");
        const std::string target = c.onOtherDevice ? dir.path("link.zvd") : design;
        std::ofstream(design) << "old";
        ASSERT_EQ(::chmod(design.c_str(), 0640), 0);
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(design.c_str(), kNobody, kNogroup), 0);
        }
        if (!setfacl("-m u:" + std::to_string(kNobody + 1) + ":rw '" + design + "'") ||
            ::setxattr(design.c_str(), "user.zv", "pump", 4, 0) != 0) {
            GTEST_SKIP() << "the file system takes no ACL or no user attribute";
        }
        const struct stat before = statOf(design);
        const auto attributesBefore = attributes(design);
        if (c.madeByNewFile) {
            NewFile::create(source, design).release();
        }
        if (c.onOtherDevice) {
            fs::create_symlink(design, target);
        }
        std::ofstream(source) << "new";

        ASSERT_TRUE(FileUtilities::replaceFile(source, target));
        EXPECT_EQ(TempFolder::read(design), "new");
        EXPECT_FALSE(fs::exists(source));
        const struct stat after = statOf(design);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(attributes(design), attributesBefore);
        fs::remove(design);
    }
}

} // namespace
} // namespace Zorvan
