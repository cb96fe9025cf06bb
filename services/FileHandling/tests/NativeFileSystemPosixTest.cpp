// The file service on POSIX systems: the permission bits, owners, ACLs and
// extended attributes NewFile and replaceFile give and keep, and links.

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <tuple>

#include <gtest/gtest.h>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/NewFile.h"
#include "FileHandling/PosixFiles.h"
#include "FileHandling/testing/TempFolder.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
const std::string nobody = std::to_string(kNobody);

struct stat statOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

// Every extended attribute of `path` (the ACL among them), name to value.
std::map<std::string, std::string> attributes(const std::string& path) {
    std::map<std::string, std::string> all;
    char names[4096];
    char value[4096];
    const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
    for (const char* name = names; name < names + size; name += std::string(name).size() + 1) {
        const ssize_t length = ::getxattr(path.c_str(), name, value, sizeof value);
        all[name] = std::string(value, length < 0 ? 0 : static_cast<std::size_t>(length));
    }
    return all;
}

// Bits, owner, group and extended attributes of `path`.
auto accessOf(const std::string& path) {
    const struct stat st = statOf(path);
    return std::tuple{st.st_mode, st.st_uid, st.st_gid, attributes(path)};
}

// Runs setfacl with `arguments`; false when the file system takes no ACL.
bool setfacl(const std::string& arguments) { return std::system(("setfacl " + arguments + " 2>/dev/null").c_str()) == 0; }

// Runs `check` in a forked child as user `uid` of group `gid` (no other
// groups) and returns its result (0 to 254); -1 when the child could not
// switch or died (it is killed after 30 seconds).
template <class Check>
int asUser(uid_t uid, gid_t gid, Check check) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(30);
        const bool switched = ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
                              ::setresuid(uid, uid, uid) == 0;
        const int result = switched ? check() : 255;
#ifdef ZV_COVERAGE
        // Every library writes its gcov counts at exit, which _exit skips:
        // what children run counts too.
        std::exit(result);
#endif
        ::_exit(result);
    }
    int status = 0;
    const bool ended = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status);
    return ended && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
}

// Who may write a file depends on who asks: owner and group bits and the
// ACL; without a write bit not even root, whom the system lets write, may.
TEST(FilesPosix, ReadOnlyIsJudgedForTheUserWhoAsks) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    const TempFolder dir;
    ASSERT_EQ(::chmod(dir.root().c_str(), 0755), 0);
    struct Case { mode_t mode; uid_t owner; gid_t group; std::string acl; bool readOnlyToNobody; };
    const std::vector<Case> cases = {
        {0444, 0, 0, "", true},
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
        EXPECT_EQ(FileUtilities::isReadOnly(paths.back()), (c.mode & 0222) == 0) << "root, case " << paths.size();
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

// Whoever may write the folder can plant something at the name of a file the
// writer makes or puts in place: NewFile must not take it over nor replaceFile
// put it in place, and neither may change it or the victim it leads to.
TEST(FilesPosix, NeitherTakesOverWhatIsPlantedAtTheName) {
    const TempFolder dir;
    const auto log = std::make_shared<MemorySink>();
    const ScopedLogSink installed(log);
    const std::string design = dir.write("a.zvd", "design");
    const std::string planted = dir.path("a.tmp.zvd");
    const std::string victim = dir.path("victim");
    const std::pair<const char*, std::function<int()>> cases[] = {
        {"symbolic link", [&] { return ::symlink(victim.c_str(), planted.c_str()); }},
        {"dangling link", [&] { return ::symlink(dir.path("missing").c_str(), planted.c_str()); }},
        {"hard link", [&] { return ::link(victim.c_str(), planted.c_str()); }},
        {"FIFO", [&] { return ::mkfifo(planted.c_str(), 0600); }},
        {"another user's file", nullptr}, // the victim itself, nobody's
    };
    ASSERT_EQ(::chmod(design.c_str(), 0664), 0);
    for (const auto& [what, plant] : cases) {
        SCOPED_TRACE(what);
        if (!plant && ::geteuid() != 0) {
            continue;
        }
        dir.write("victim", "secret");
        ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
        ASSERT_EQ(::chown(victim.c_str(), plant ? ::geteuid() : kNobody, ::getegid()), 0);
        ASSERT_EQ(plant ? plant() : 0, 0);
        const std::string source = plant ? planted : victim;
        const auto before = std::tuple{accessOf(victim), accessOf(source)};
        log->clear();
        EXPECT_THROW(NewFile::create(source, design), FileNameException);
        EXPECT_FALSE(FileUtilities::replaceFile(source, design));
        EXPECT_EQ(TempFolder::read(design), "design");
        EXPECT_EQ(TempFolder::read(victim), "secret");
        EXPECT_EQ(std::tuple(accessOf(victim), accessOf(source)), before);
        EXPECT_FALSE(fs::exists(dir.path("missing")));
        EXPECT_EQ(log->records().size(), 2u);
        fs::remove(planted);
        fs::remove(victim);
    }
    {
        // A link made right after the file was removed may get its inode number.
        const NewFile file = NewFile::create(planted, design);
        fs::remove(planted);
        fs::create_symlink(victim, planted);
        EXPECT_FALSE(file.unchanged());
    }
    EXPECT_TRUE(FileUtilities::exists(planted, false)) << "the link stays";
    EXPECT_FALSE(FileUtilities::exists(planted, true)) << "and leads nowhere";
}

// A new file takes the design's access and nothing the folder hands down,
// and a replacement keeps the design's (its owner too, when the tests run as
// root): from a file of this process's user, from a NewFile made for the
// design's owner, through a link, and through a link to another folder,
// where the design gets a copy, after which the source is gone. Rows with
// an ACL are left out where the file system takes none.
TEST(FilesPosix, NewFilesAndReplacementsTakeTheDesignsAccess) {
    const TempFolder dir;
    fs::create_directory(dir.path("shared"));
    fs::create_directory(dir.path("elsewhere"));
    const bool acls = setfacl("-d -m u:" + nobody + ":rwx '" + dir.path("shared") + "'");
    const std::string made = dir.path("shared/a.tmp.zvd");
    const std::string link = dir.path("shared/link.zvd");
    enum Replacement { Direct, NewFileThroughLink, OtherFolderThroughLink };
    // nobodys: owned by nobody:nogroup (when the tests run as root); withAcl: and a user attribute.
    struct Case { mode_t mode; bool nobodys; bool withAcl; Replacement replacement; };
    for (const Case c : {Case{0600, false, false, Direct}, Case{0640, false, false, Direct},
                         Case{0664, false, false, NewFileThroughLink}, Case{02770, false, false, Direct},
                         Case{0640, true, false, NewFileThroughLink}, Case{0640, true, false, Direct},
                         Case{0640, true, true, Direct}, Case{0600, false, false, OtherFolderThroughLink},
                         Case{0640, true, true, OtherFolderThroughLink}}) {
        SCOPED_TRACE(::testing::Message() << std::oct << c.mode << ' ' << c.nobodys << c.withAcl << c.replacement);
        if (c.withAcl && !acls) {
            continue;
        }
        const bool elsewhere = c.replacement == OtherFolderThroughLink;
        const std::string design = dir.path(elsewhere ? "elsewhere/a.zvd" : "shared/a.zvd");
        std::ofstream(design) << "old";
        ASSERT_TRUE(!acls || setfacl("-b '" + design + "'"));
        if (c.nobodys && ::geteuid() == 0) {
            ASSERT_EQ(::chown(design.c_str(), kNobody, kNogroup), 0);
        }
        ASSERT_EQ(::chmod(design.c_str(), c.mode), 0);
        if (c.withAcl && (!setfacl("-m u:" + nobody + ":rw '" + design + "'") ||
                          ::setxattr(design.c_str(), "user.zv", "pump", 4, 0) != 0)) {
            GTEST_SKIP() << "the file system takes no ACL or no user attribute";
        }
        const auto access = accessOf(design);
        ASSERT_EQ(std::get<3>(access).size(), c.withAcl ? 2u : 0u);
        {
            NewFile file = NewFile::create(made, design);
            EXPECT_EQ(accessOf(made), access);
            if (c.replacement == NewFileThroughLink) {
                file.release();
            }
        }
        std::ofstream(made) << "new";
        if (c.replacement != Direct) {
            fs::create_symlink(design, link);
        }
        ASSERT_TRUE(FileUtilities::replaceFile(made, c.replacement == Direct ? design : link));
        EXPECT_EQ(TempFolder::read(design), "new");
        EXPECT_FALSE(fs::exists(made));
        EXPECT_EQ(fs::is_symlink(link), c.replacement != Direct);
        EXPECT_EQ(accessOf(design), access);
        fs::remove(design);
        fs::remove(link);
    }
}

// The permission bits of a file given another's access, after each step.
std::vector<mode_t> g_steps;
ino_t g_watched = 0;
template <auto Call, class... Args>
int noted(int fd, Args... args) {
    const int result = Call(fd, args...);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_ino == g_watched) {
        g_steps.push_back(st.st_mode & 077);
    }
    return result;
}

// A file given the design's access is never looser than the design. A
// replacement is not on the way: each step is its own system call, and none
// but the last may let anyone in whom neither file lets in (a source of
// another group keeps its own group's bits only until it is narrowed,
// before the group changes). A process that may not give a new file the
// design's group leaves it in a group of its own, which must not get the
// design's group access.
TEST(FilesPosix, AFileGivenTheDesignsAccessIsNeverLooserThanTheDesign) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file another group and to act as another user";
    }
    const TempFolder dir;
    ASSERT_EQ(::chmod(dir.root().c_str(), 0777), 0);
    const std::string design = dir.write("a.zvd", "design");
    const std::string source = dir.write("a.tmp.zvd", "new");
    ASSERT_EQ(::chown(design.c_str(), 0, kNogroup), 0);
    ASSERT_EQ(::chmod(design.c_str(), 0640), 0);
    ASSERT_EQ(::chmod(source.c_str(), 0644), 0);
    posix::AccessCalls& calls = posix::accessCalls();
    const posix::AccessCalls real = calls;
    calls = {noted<::fchmod>, noted<::fchown>, noted<::fsetxattr>, noted<::fremovexattr>};
    g_watched = statOf(source).st_ino;
    const std::error_code error = FileUtilities::replace(source, design);
    calls = real;
    ASSERT_FALSE(error) << error.message();
    ASSERT_FALSE(g_steps.empty());
    g_steps.pop_back();
    for (const mode_t step : g_steps) {
        EXPECT_EQ(step & ~mode_t{040}, 0u) << std::oct << step;
    }
    EXPECT_EQ(statOf(design).st_mode & 07777, 0640u);

    ASSERT_EQ(::chown(design.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(design.c_str(), 0664), 0);
    for (const bool withAcl : {false, true}) {
        SCOPED_TRACE(withAcl ? "design with an ACL" : "design without an ACL");
        if (withAcl && !setfacl("-m u:" + nobody + ":rw '" + design + "'")) {
            GTEST_SKIP() << "the file system takes no ACL";
        }
        ASSERT_EQ(asUser(kNobody, kNogroup, [&]() noexcept { NewFile::create(source, design).release(); return 0; }),
                  0);
        const std::string expected = dir.write("expected", "");
        ASSERT_EQ(::chown(expected.c_str(), kNobody, kNogroup), 0);
        ASSERT_TRUE(setfacl("--set u::rw-," + std::string(withAcl ? "u:" + nobody + ":rw-,m::rw-," : "") +
                            "g::---,o::r-- '" + expected + "'"));
        EXPECT_EQ(accessOf(source), accessOf(expected));
        fs::remove(source);
    }
}

} // namespace
} // namespace Zorvan
