// NewFile on POSIX systems: the new file carries the design's owner, group,
// permission bits, ACL and extended attributes and nothing the folder hands
// down, and it never follows a link.

#include <gtest/gtest.h>

#include "FileHandling/FileNameException.h"
#include "FileHandling/NewFile.h"
#include "FileHandling/testing/TempFolder.h"
#include "Logging/Logging.h"
#include "PosixTestSupport.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using namespace testing;

TEST(NewFilePosix, TakesTheDesignsAccessAndNothingElse) {
    const TempFolder dir;
    const std::string nobody = std::to_string(kNobody);
    fs::create_directory(dir.path("shared"));
    // Handed down to every file made there, the designs' own ACL is taken away.
    const bool acls = setfacl("-d -m u:" + nobody + ":rwx '" + dir.path("shared") + "'");
    const std::string made = dir.path("shared/a.tmp.zvd");
    struct Case {
        mode_t mode;
        bool nobodys; // owned by nobody:nogroup (when the tests run as root)
        bool withAcl; // and a user attribute
    };
    for (const Case c : {Case{0600, false, false}, Case{0640, false, false}, Case{0664, false, false},
                         Case{02770, false, false}, Case{0640, true, false}, Case{0640, false, true}}) {
        SCOPED_TRACE(::testing::Message() << std::oct << c.mode << (c.nobodys ? " nobody's" : "")
                                          << (c.withAcl ? " with ACL" : ""));
        const std::string design = dir.write("shared/a.zvd", "x");
        ASSERT_TRUE(!acls || setfacl("-b '" + design + "'"));
        if (c.nobodys && ::geteuid() == 0) {
            ASSERT_EQ(::chown(design.c_str(), kNobody, kNogroup), 0);
        }
        ASSERT_EQ(::chmod(design.c_str(), c.mode), 0);
        if (c.withAcl && (!acls || !setfacl("-m u:" + nobody + ":rw '" + design + "'") ||
                          ::setxattr(design.c_str(), "user.zv", "pump", 4, 0) != 0)) {
            GTEST_SKIP() << "the file system takes no ACL or no user attribute";
        }
        const NewFile file = NewFile::create(made, design);
        const struct stat like = statOf(design);
        const struct stat st = statOf(made);
        EXPECT_EQ(st.st_mode, like.st_mode);
        EXPECT_EQ(st.st_uid, like.st_uid);
        EXPECT_EQ(st.st_gid, like.st_gid);
        EXPECT_EQ(attributes(made), attributes(design));
        EXPECT_EQ(attributes(design).size(), c.withAcl ? 2u : 0u);
        EXPECT_EQ(file.identity().device, st.st_dev);
        EXPECT_EQ(file.identity().inode, st.st_ino);
        fs::remove(design);
    }
}

TEST(NewFilePosix, NeverFollowsNorMistakesALinkAtItsName) {
    const TempFolder dir;
    const ScopedLogSink quiet(std::make_shared<MemorySink>());
    const std::string design = dir.write("a.zvd", "design");
    const std::string victim = dir.write("victim", "secret");
    const std::string name = dir.path("a.tmp.zvd");
    ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
    for (const std::string& target : {victim, dir.path("missing")}) {
        fs::create_symlink(target, name);
        EXPECT_THROW(NewFile::create(name, design), FileNameException) << target;
        fs::remove(name);
    }
    EXPECT_EQ(TempFolder::read(victim), "secret");
    EXPECT_EQ(statOf(victim).st_mode & 07777, 0600u);
    EXPECT_FALSE(fs::exists(dir.path("missing")));
    {
        // A link made right after the file was removed may get its inode number.
        const NewFile file = NewFile::create(name, design);
        fs::remove(name);
        fs::create_symlink(victim, name);
        EXPECT_FALSE(file.unchanged());
    }
    EXPECT_TRUE(fs::is_symlink(name));
}

// A process that may not give the file the design's group leaves it in a
// group of its own, which must not get the design's group access.
TEST(NewFilePosix, GivesNoAccessToAGroupTheDesignDoesNotName) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    const TempFolder dir;
    fs::create_directory(dir.path("shared"));
    ASSERT_EQ(::chmod(dir.root().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.path("shared").c_str(), 0777), 0);
    const std::string design = dir.write("shared/a.zvd", "x"); // root:root
    const std::string made = dir.path("shared/a.tmp.zvd");
    for (const bool withAcl : {false, true}) {
        SCOPED_TRACE(withAcl ? "design with an ACL" : "design without an ACL");
        ASSERT_EQ(::chmod(design.c_str(), 0664), 0);
        if (withAcl && !setfacl("-m u:" + std::to_string(kNobody) + ":rw '" + design + "'")) {
            GTEST_SKIP() << "the file system takes no ACL";
        }
        ASSERT_EQ(asUser(kNobody, kNogroup, [&] {
                      try {
                          NewFile::create(made, design).release();
                          return 0;
                      } catch (const FileNameException&) {
                          return 1;
                      }
                  }),
                  0);
        EXPECT_EQ(statOf(made).st_gid, kNogroup);
        EXPECT_EQ(getfacl(made), withAcl ? "user::rw-\nuser:65534:rw-\ngroup::---\nmask::rw-\nother::r--\n\n"
                                         : "user::rw-\ngroup::---\nother::r--\n\n");
        fs::remove(made);
    }
}

} // namespace
} // namespace Zorvan
