// The native Env on real files through what acts on them (FileUtilities,
// NewFile, Folder::replace), as every system must behave, and each of their
// steps failed through the Env; then what only one kind of system has: on
// POSIX systems the permission bits, owners, ACLs and extended attributes
// NewFile and a replace give and keep; on Windows the read-only attribute
// and files held open by other programs.

#include <gmock/gmock.h>

#include <functional>
#include <iostream>

#ifdef _WIN32
#include "Common/WindowsApi.h"

#include <chrono>
#include <thread>

#include "FileHandling/testing/HeldOpen.h"
#else
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>

#include "FileHandling/PosixFiles.h"
#endif

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/Folder.h"
#include "FileHandling/NewFile.h"
#include "FileHandling/testing/FaultEnv.h"
#include "FileHandling/testing/TempFolder.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using namespace ::testing;
using testing::FaultEnv;

using Kind = FaultEnv::Kind;
using testing::TempFolder;
#ifdef _WIN32
using testing::HeldOpen;
using testing::setAttributes;
#endif

class NativeEnv : public ::testing::Test {
protected:
    TempFolder dir;
    std::shared_ptr<MemorySink> log = std::make_shared<MemorySink>();
    ScopedLogSink installed{log};
};

#ifndef _WIN32
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
const std::string nobody = std::to_string(kNobody);

struct stat statOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st), st;
}

// Bits, owner, group and every extended attribute (the ACL among them) of `path`.
auto accessOf(const std::string& path) {
    std::map<std::string, std::string> attributes;
    char names[4096], value[4096];
    const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
    for (const char* name = names; name < names + size; name += std::string(name).size() + 1) {
        const ssize_t length = ::getxattr(path.c_str(), name, value, sizeof value);
        attributes[name] = std::string(value, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    }
    const struct stat st = statOf(path);
    return std::tuple{st.st_mode, st.st_uid, st.st_gid, attributes};
}

// Runs setfacl with `arguments`; false when the file system takes no ACL.
bool setfacl(const std::string& arguments) { return std::system(("setfacl " + arguments + " 2>/dev/null").c_str()) == 0; }

// Runs `check` in a forked child and returns its result (0 to 254); -1
// when the child died (it is killed after 30 seconds).
template <class Check>
int inChild(Check check) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(30);
        const int result = check();
#ifdef ZV_COVERAGE
        // Every library writes its gcov counts at exit, which _exit skips:
        // what children run counts too.
        std::exit(result);
#endif
        ::_exit(result);
    }
    int status = 0;
    const bool ended = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status);
    return ended ? WEXITSTATUS(status) : -1;
}

// Runs `check` in a forked child as user `uid` of group `gid` (no other
// groups) and returns its result (0 to 254); -1 when the child could not
// switch or died.
template <class Check>
int asUser(uid_t uid, gid_t gid, Check check) {
    const int result = inChild([&] {
        return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0
                   ? check()
                   : 255;
    });
    return result != 255 ? result : -1;
}
#endif

// A file is read-only when the system refuses to let this process write it
// (permission bits, an ACL, a read-only mount, on Windows the read-only
// attribute), and for no other failure.
TEST_F(NativeEnv, ReadOnlyIsARefusalToWrite) {
    const std::string file = dir.write("a.zvd", "x");
    for (const auto& [refusal, readOnly] : {std::pair{std::errc::read_only_file_system, true},
                                            {std::errc::permission_denied, true},
                                            {std::errc::operation_not_permitted, true},
                                            {std::errc::io_error, false}}) {
        const std::error_code error = std::make_error_code(refusal);
        const ScopedEnv refusing(std::make_shared<FaultEnv>(FaultEnv::failing(Kind::MayWrite, 1, error)));
        EXPECT_EQ(FileUtilities::isReadOnly(file), readOnly) << error.message();
    }
#ifdef _WIN32
    // Whatever else is set; on a folder the attribute only marks a customised view.
    for (const auto& [attributes, readOnly] : {std::pair<DWORD, bool>{FILE_ATTRIBUTE_READONLY, true},
                                               {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN, true},
                                               {FILE_ATTRIBUTE_HIDDEN, false}, {FILE_ATTRIBUTE_NORMAL, false}}) {
        ASSERT_TRUE(setAttributes(file, attributes));
        EXPECT_EQ(FileUtilities::isReadOnly(file), readOnly) << "attributes " << attributes;
    }
    fs::create_directory(dir.root() / "folder");
    ASSERT_TRUE(setAttributes(dir.path("folder"), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(FileUtilities::isReadOnly(dir.path("folder")));
#else
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    // Who may write a file depends on who asks: owner and group bits and the
    // ACL; without a write bit not even root, whom the system lets write, may.
    ASSERT_EQ(::chmod(dir.root().c_str(), 0755), 0);
    // The bits, owner and group, what an ACL lets nobody do, and whether the file is read-only to nobody.
    const std::tuple<mode_t, uid_t, gid_t, const char*, bool> cases[] = {
        {0444, 0, 0, "", true}, {0664, 0, 0, "", true}, {0664, 0, 0, "rw", false}, {0644, 0, 0, "r", true},
        {0666, 0, 0, "", false}, {0644, kNobody, 0, "", false}, {0464, 0, kNogroup, "", false},
        {0466, kNobody, 0, "", true}}; // the owner's bits decide for the owner
    std::vector<std::string> paths;
    for (const auto& [mode, owner, group, acl, readOnlyToNobody] : cases) {
        paths.push_back(dir.write(std::to_string(paths.size()), "x"));
        ASSERT_EQ(::chown(paths.back().c_str(), owner, group) | ::chmod(paths.back().c_str(), mode), 0);
        if (*acl != '\0' && !setfacl("-m u:" + nobody + ":" + acl + " '" + paths.back() + "'")) {
            GTEST_SKIP() << "the file system takes no ACL";
        }
        EXPECT_EQ(FileUtilities::isReadOnly(paths.back()), (mode & 0222) == 0) << "root, case " << paths.size();
    }
    EXPECT_EQ(asUser(kNobody, kNogroup, [&] {
                  for (std::size_t i = 0; i < paths.size(); ++i) {
                      if (FileUtilities::isReadOnly(paths[i]) != std::get<4>(cases[i])) {
                          return static_cast<int>(i) + 1;
                      }
                  }
                  return 0;
              }),
              0) << "-1: the check did not run; otherwise the case that went wrong, from 1";
#endif
}

// Every call a replace makes failed in turn: the replace stops there, says
// why (the error, and one logged line naming both files) and leaves the
// destination and the source as they were. Only the folder's flush, after
// the destination holds the new file, fails nothing and is logged. A
// folder's full path serves messages alone. Names are UTF-8 text, also
// outside ASCII, full or bare (a bare name lives in the current folder). A
// source outside the folder of the file the destination leads to is
// refused, and nothing is copied.
TEST_F(NativeEnv, AReplaceStopsAtTheCallThatFails) {
    const auto env = std::make_shared<FaultEnv>();
    const ScopedEnv installedEnv(env);
    const std::shared_ptr<void> back(nullptr, [before = fs::current_path()](void*) { fs::current_path(before); });
    fs::current_path(dir.root());
    const std::string leaf = "Pumpe \xC3\xBC\xC3\x9F.zvd";
    int pairs = 0;
    for (const bool bare : {true, false}) {
        const std::string design = bare ? leaf : dir.path(leaf), source = bare ? "a.tmp.zvd" : dir.path("a.tmp.zvd");
        pairs += env->failEachCall([](Kind) { return std::make_error_code(std::errc::io_error); }, [&](Kind kind, int k) {
            dir.write(leaf, "old, longer than the new");
            dir.write("a.tmp.zvd", "new");
            log->clear();
            const std::error_code error = FileUtilities::replace(source, design);
            const auto records = log->records();
            const bool sourceLeft = fs::remove(dir.root() / "a.tmp.zvd");
            const bool clean = k == 0 || kind == Kind::PathOf;
            const FaultEnv::Call failed = env->failed().value_or(FaultEnv::Call{kind, false, {}});
            SCOPED_TRACE(failed.describe() + " " + design);
            const bool stands = clean || (kind == Kind::Sync && failed.onFolder);
            EXPECT_TRUE(stands ? !error : means(error, std::errc::io_error)) << error.message();
            EXPECT_EQ(TempFolder::read(dir.path(leaf)), stands ? "new" : "old, longer than the new");
            EXPECT_EQ(sourceLeft, !stands);
            if (!clean) {
                EXPECT_THAT(records, ElementsAre(Field(&LogRecord::message, StartsWith(stands ? "Cannot sync folder '" :
                                                       "Cannot replace '" + design + "' with '" + source))));
            }
        });
    }
    std::cout << "[ fault table ] " << pairs << " (replace, failing call) pairs\n";
    fs::create_directory(dir.root() / "other");
    const std::string elsewhere = dir.write("other/a.zvd", "old");
    std::vector<std::string> destinations = {elsewhere};
#ifndef _WIN32
    fs::create_symlink(elsewhere, dir.path("link.zvd"));
    destinations.push_back(dir.path("link.zvd"));
#endif
    for (const std::string& destination : destinations) {
        const std::string source = dir.write("a.tmp.zvd", "new");
        EXPECT_TRUE(means(FileUtilities::replace(source, destination), std::errc::cross_device_link)) << destination;
        EXPECT_EQ(TempFolder::read(elsewhere) + TempFolder::read(source), "oldnew");
    }
    // Every file made on the way, a new file's too, is private until it has the design's access.
    (void)NewFile::create(siteAt(dir.path("b.tmp.zvd")), siteAt(dir.write("a.zvd", "design")));
    EXPECT_THAT(env->created(), AllOf(Not(IsEmpty()), Each(Field(&OpenOptions::mode, 0600u))));
}

// A refused removal or creation throws and logs one line that names the
// file and ends in the system's reason (without its punctuation); the
// reason is also the error as data, as for a replace of no file. A refusal
// changes nothing: a new file never takes a name already taken, nor leaves
// one behind. On Windows a file held open for a moment is waited for and
// removed; one held past the brief wait, or read-only, is neither removed
// nor replaced, and the file meant to replace it stays; a name that is not
// UTF-8 names no file there.
TEST_F(NativeEnv, ARefusalNamesTheFileAndIsLogged) {
    const std::string design = dir.write("a.zvd", "design");
    const std::string taken = dir.write("taken.tmp.zvd", "someone's");
    const std::string missing = dir.path("missing \xC3\xBC.tmp.zvd");
    EXPECT_TRUE(means(FileUtilities::replace(missing, design), std::errc::no_such_file_or_directory));
    struct Row { std::string name; std::function<void()> attempt; std::errc reason; const char* said; };
    const auto create = [](const std::string& name, const std::string& like) {
        return [=] { NewFile::create(siteAt(name), siteAt(like)); };
    };
    const auto remove = [](const std::string& name) { return [=] { FileUtilities::remove(name); }; };
    std::vector<Row> rows = {
        {missing, remove(missing), std::errc::no_such_file_or_directory, "Cannot remove '"},
        {taken, create(taken, design), std::errc::file_exists, "Cannot create '"},
        {dir.path("a.tmp.zvd"), create(dir.path("a.tmp.zvd"), dir.path("no.zvd")), std::errc::no_such_file_or_directory,
         "Cannot create '"},
    };
#ifdef _WIN32
    const std::string moment = dir.write("moment.zvd", "old");
    HeldOpen scanner(moment);
    std::thread done([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        scanner.release();
    });
    EXPECT_NO_THROW(FileUtilities::remove(moment));
    done.join();
    EXPECT_FALSE(fs::exists(TempFolder::fromUtf8(moment)));
    const std::string held = dir.write("held.zvd", "old");
    const HeldOpen viewer(held);
    ASSERT_TRUE(viewer.valid());
    const std::string readOnly = dir.write("read-only.zvd", "old");
    ASSERT_TRUE(setAttributes(readOnly, FILE_ATTRIBUTE_READONLY));
    const std::string notText = dir.path("a") + "\xFF.zvd"; // names no file: not UTF-8
    EXPECT_FALSE(FileUtilities::exists(notText, false) || FileUtilities::isReadOnly(notText) ||
                 FileUtilities::replaceFile(dir.write("b.zvd", "x"), notText));
    rows.insert(rows.end(), {{held, remove(held), std::errc::device_or_resource_busy, "Cannot remove '"},
                             {readOnly, remove(readOnly), std::errc::permission_denied, "Cannot remove '"},
                             {notText, remove(notText), std::errc::illegal_byte_sequence, "Cannot remove '"}});
#endif
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        log->clear();
        const bool there = FileUtilities::exists(row.name, false);
        std::string thrown;
        EXPECT_THAT(row.attempt, Throws<FileNameException>(Truly([&](const FileNameException& e) {
                        thrown = e.what();
                        return e.path() == row.name && means(e.code(), row.reason);
                    })));
        // The prefix, then the system's reason: one line, without its closing full stop.
        const std::string prefix = row.said + row.name + "': ";
        EXPECT_THAT(thrown, AllOf(StartsWith(prefix), SizeIs(Gt(prefix.size())), Not(EndsWith(".")),
                                  Not(HasSubstr("\n")), Not(HasSubstr("\r"))));
        EXPECT_THAT(log->records(), ElementsAre(AllOf(Field(&LogRecord::message, thrown),
                                                      Field(&LogRecord::level, LogLevel::Error))));
        EXPECT_EQ(FileUtilities::exists(row.name, false), there);
    }
    EXPECT_EQ(TempFolder::read(taken), "someone's");
#ifdef _WIN32
    for (const std::string& file : {held, readOnly}) {
        const std::string temporary = dir.write("a.tmp.zvd", "new");
        EXPECT_FALSE(FileUtilities::replaceFile(temporary, file)) << file;
        EXPECT_EQ(TempFolder::read(file), "old");
        EXPECT_EQ(TempFolder::read(temporary), "new");
    }
#endif
}

#ifndef _WIN32
// A new file takes the design's access and nothing the folder hands down,
// and a replacement keeps the design's (its owner too, when the tests run as
// root): from a file of this process's user, from a NewFile made for the
// design's owner, and through a link. Rows with an ACL are left out where
// the file system takes none.
TEST_F(NativeEnv, NewFilesAndReplacementsTakeTheDesignsAccess) {
    fs::create_directory(dir.path("shared"));
    const bool acls = setfacl("-d -m u:" + nobody + ":rwx '" + dir.path("shared") + "'");
    const std::string made = dir.path("shared/a.tmp.zvd"), link = dir.path("shared/link.zvd");
    const std::string design = dir.path("shared/a.zvd");
    enum Replacement { Direct, NewFileThroughLink };
    // nobodys: owned by nobody:nogroup (when the tests run as root); withAcl: and a user attribute.
    struct Case { mode_t mode; bool nobodys; bool withAcl; Replacement replacement; };
    for (const Case c : {Case{0600, false, false, Direct}, {0640, false, false, Direct},
                         {0664, false, false, NewFileThroughLink}, {02770, false, false, Direct},
                         {0640, true, false, NewFileThroughLink}, {0640, true, false, Direct}, {0640, true, true, Direct}}) {
        SCOPED_TRACE(::testing::Message() << std::oct << c.mode << ' ' << c.nobodys << c.withAcl << c.replacement);
        if (c.withAcl && !acls) {
            continue;
        }
        std::ofstream(design) << "old";
        ASSERT_TRUE(!acls || setfacl("-b '" + design + "'"));
        const bool toNobody = c.nobodys && ::geteuid() == 0;
        ASSERT_EQ((toNobody ? ::chown(design.c_str(), kNobody, kNogroup) : 0) | ::chmod(design.c_str(), c.mode), 0);
        if (c.withAcl && (!setfacl("-m u:" + nobody + ":rw '" + design + "'") ||
                          ::setxattr(design.c_str(), "user.zv", "pump", 4, 0) != 0)) {
            GTEST_SKIP() << "the file system takes no ACL or no user attribute";
        }
        const auto access = accessOf(design);
        ASSERT_EQ(std::get<3>(access).size(), c.withAcl ? 2u : 0u);
        {
            NewFile file = NewFile::create(siteAt(made), siteAt(design));
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
        EXPECT_EQ(std::tuple(TempFolder::read(design), fs::exists(made), fs::is_symlink(link), accessOf(design)),
                  std::tuple("new", false, c.replacement != Direct, access));
        fs::remove(design), fs::remove(link);
    }
}

// The permission bits of a file given another's access, after each step.
std::vector<mode_t> g_steps;
ino_t g_watched = 0;
gid_t g_group = 0; // the design's: its group may read
template <auto Call, class... Args>
int noted(int fd, Args... args) {
    const int result = Call(fd, args...);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_ino == g_watched) {
        // Bits the file grants beyond the design's group read.
        g_steps.push_back(st.st_mode & (st.st_gid == g_group ? 037 : 077));
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
TEST_F(NativeEnv, AFileGivenTheDesignsAccessIsNeverLooserThanTheDesign) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file another group and to act as another user";
    }
    ASSERT_EQ(::chmod(dir.root().c_str(), 0777), 0);
    const std::string design = dir.write("a.zvd", "design"), source = dir.write("a.tmp.zvd", "new");
    ASSERT_EQ(::chown(design.c_str(), 0, kNogroup) | ::chmod(design.c_str(), 0640) | ::chmod(source.c_str(), 0644), 0);
    posix::AccessCalls& calls = posix::accessCalls();
    const posix::AccessCalls real = calls;
    calls = {noted<::fchmod>, noted<::fchown>, noted<::fsetxattr>, noted<::fremovexattr>};
    g_watched = statOf(source).st_ino;
    g_group = kNogroup;
    const std::error_code error = FileUtilities::replace(source, design);
    calls = real;
    ASSERT_FALSE(error) << error.message();
    ASSERT_FALSE(g_steps.empty());
    EXPECT_THAT(std::vector(g_steps.begin(), g_steps.end() - 1), Each(0u)) << "bits beyond the design's group read";
    EXPECT_EQ(statOf(design).st_mode & 07777, 0640u);

    ASSERT_EQ(::chown(design.c_str(), 0, 0) | ::chmod(design.c_str(), 0664), 0);
    for (const bool withAcl : {false, true}) {
        SCOPED_TRACE(withAcl ? "design with an ACL" : "design without an ACL");
        if (withAcl && !setfacl("-m u:" + nobody + ":rw '" + design + "'")) {
            GTEST_SKIP() << "the file system takes no ACL";
        }
        ASSERT_EQ(asUser(kNobody, kNogroup, [&]() noexcept { NewFile::create(siteAt(source), siteAt(design)).release(); return 0; }),
                  0);
        const std::string expected = dir.write("expected", "");
        ASSERT_EQ(::chown(expected.c_str(), kNobody, kNogroup), 0);
        ASSERT_TRUE(setfacl("--set u::rw-," + std::string(withAcl ? "u:" + nobody + ":rw-,m::rw-," : "") +
                            "g::---,o::r-- '" + expected + "'"));
        EXPECT_EQ(accessOf(source), accessOf(expected));
        fs::remove(source);
    }
}


// A held folder is named by the path it has now, every link resolved: one
// reached through a link, one renamed after it was opened, the root; with
// /proc, and without it as in a chroot or a container (in a child whose
// own mount namespace hides /proc, where only root may make one).
TEST_F(NativeEnv, AHeldFolderIsNamedByThePathItHasNow) {
    fs::create_directories(dir.root() / "a/b");
    fs::create_directory_symlink(dir.root() / "a", dir.root() / "link");
    const std::string real = fs::canonical(dir.root()).string();
    // What is opened, the folder renamed once it is held (none: ""), the name expected.
    struct Row { std::string opened, renamed, expected; };
    const std::vector<Row> rows = {{dir.path("a/b"), "", real + "/a/b"},
                                   {dir.path("link/b"), "", real + "/a/b"},
                                   {dir.path("a/b"), "a", real + "/c/b"},
                                   {dir.path("a"), "a", real + "/c"},
                                   {"/", "", "/"}};
    const auto nameOf = [&](const Row& row) {
        const std::shared_ptr<Env> env = Env::native();
        EnvHandle folder;
        std::string path;
        std::error_code error = env->openFolder(row.opened, folder);
        if (!row.renamed.empty()) {
            fs::rename(dir.root() / row.renamed, dir.root() / "c");
        }
        if (!error) {
            error = env->pathOf(folder, path);
        }
        if (!row.renamed.empty()) {
            fs::rename(dir.root() / "c", dir.root() / row.renamed);
        }
        return error ? "error: " + error.message() : path;
    };
    for (const Row& row : rows) {
        EXPECT_EQ(nameOf(row), row.expected) << row.opened << " with /proc";
    }
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to hide /proc";
    }
    constexpr int kNotHidden = 254;
    const int misnamed = inChild([&] {
        // Private, so that the mount over /proc stays in this child.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0 || fs::exists("/proc/self")) {
            return kNotHidden;
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (nameOf(rows[i]) != rows[i].expected) {
                return static_cast<int>(i) + 1;
            }
        }
        return 0;
    });
    if (misnamed == kNotHidden) {
        GTEST_SKIP() << "this system lets no process hide /proc from itself";
    }
    EXPECT_EQ(misnamed, 0) << "-1: the child died; otherwise the row misnamed without /proc, from 1";
}
#endif

// What a name the user typed means: on Windows what Win32 makes of it
// (its long name, its drive's current folder, no trailing dots or spaces),
// or why no file can have it; elsewhere the name itself, whatever it holds.
TEST_F(NativeEnv, ANameMeansWhatTheSystemMakesOfIt) {
    using Fault = NativeName::Fault;
    struct Case {
        std::string typed;
        std::string meant; // on Windows; elsewhere the name typed
        Fault fault = Fault::None;
    };
    const std::string pump = dir.path("pump.zvd");
    std::vector<Case> cases = {
        {pump, pump},
        {pump + ".", pump},
        {pump + " ", pump},
        {pump + " . .", pump},
        {dir.path("d.") + "/pump.zvd", dir.path("d") + "\\pump.zvd"},
        {pump + ":evil", "", Fault::Stream},
        {dir.path("d") + ":x/pump.zvd", "", Fault::Stream},
        {"\\\\?\\" + pump + ".", "\\\\?\\" + pump + "."}, // the system's own form, taken as it is
    };
    // Names a device has, in every place and form Windows gives it; and
    // names that only look like one (their derived names are as ordinary).
    for (const std::string device : {"CON", "prn", "Aux", "nul", "COM1", "com9", "LPT1", "lpt9", "COM\xc2\xb2", "conout$"}) {
        for (const std::string form : {".zvd", "", "  .zvd", ".bak.zvd", ".tmp.zvd", "/pump.zvd", ".d\\pump.zvd"}) {
            cases.push_back({dir.path(device + form), "", Fault::Device});
        }
    }
    for (const std::string lookalike : {"COM10.zvd", "CONSOLE.zvd", "LPT.zvd", "nul-pump.zvd", "auxiliary.bak.zvd"}) {
        cases.push_back({dir.path(lookalike), dir.path(lookalike)});
    }
    for (const char forbidden : std::string("<>|?*\"\x01\x1f")) {
        cases.push_back({dir.path(std::string("pu") + forbidden + "mp.zvd"), "", Fault::Character});
    }
#ifdef _WIN32
    // A short name of a folder and of a file, and a drive-relative name.
    const std::string longName = dir.path("LongFolderName") + "\\PumpStationNorth.zvd";
    fs::create_directory(dir.path("LongFolderName"));
    dir.write("LongFolderName/PumpStationNorth.zvd", "design");
    std::wstring shortName(MAX_PATH, L'\0');
    shortName.resize(::GetShortPathNameW(fs::path(longName).c_str(), shortName.data(), MAX_PATH));
    const std::string shortFile = TempFolder::utf8(shortName);
    const std::string shortFolder = shortFile.substr(0, shortFile.find_last_of('\\'));
    ASSERT_NE(shortFile, longName) << "the system made no short names";
    cases.push_back({shortFile, longName});
    cases.push_back({shortFolder + "\\new.zvd", dir.path("LongFolderName") + "\\new.zvd"});
    const fs::path was = fs::current_path();
    fs::current_path(dir.root());
    const std::shared_ptr<void> back(nullptr, [&](void*) { fs::current_path(was); });
    cases.push_back({pump.substr(0, 2) + "pump.zvd", pump});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        const NativeName name = nativeName(c.typed);
#ifdef _WIN32
        EXPECT_EQ(name.fault, c.fault);
        EXPECT_THAT(c.typed, HasSubstr(name.part));
        if (c.fault == Fault::None) {
            EXPECT_EQ(name.path, c.meant);
        }
#else
        EXPECT_EQ(name.fault, Fault::None);
        EXPECT_EQ(name.path, c.typed);
#endif
    }
}

} // namespace
} // namespace Zorvan
