// The save API against what other programs and older writers leave in a
// design or beside it, or do to it while it is saved, on every system (the
// rows that need other users' files or symbolic links on POSIX only).

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include "DesignSaveFixture.h"
#include "FileHandling/testing/FaultEnv.h"
#include "Serialization/testing/OtherProgram.h"
#ifdef _WIN32
#include "Common/WindowsApi.h"
#include "FileHandling/testing/HeldOpen.h"
#endif

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using Mode = ZvFileWriteMode;
using testing::DesignSaveTest;
using testing::FaultEnv;
using testing::TempFolder;

// Runs `statement` on `file` as another program would, without the lock.
void runSql(const std::string& file, const std::string& statement) {
    EXPECT_EQ(testing::OtherProgram(file).run(statement), "-");
}

#ifndef _WIN32
// Another user: the folder's "nobody". Only root can make their files.
constexpr uid_t kOtherUser = 65534;
#endif

// What lies beside a design, or happens to it while it is saved, decides
// nothing: each row arranges the folder (before every road, and undoes it
// after), or acts at a step of a rewrite, and every road it names is
// refused for that reason, naming the file, within a second, or succeeds.
// A hold of a moment is waited out. Nothing SQLite
// would play into a design is played into it, no name is followed after
// the save checked it, and a design another program changed meanwhile is
// not replaced.
TEST_F(DesignSaveTest, NothingBesideOrMeanwhileDecidesWhatIsSaved) {
    enum class Road { Rewrite, Update, Autosave, Open };
    // Puts `bytes` at `leaf`: a journal that starts so, or a file of another user.
    const auto journal = [&](const std::string& start) {
        return [&, start] { folder.write("a.zvd-journal", start + std::string(512 - start.size(), 'j')); };
    };
#ifdef _WIN32
    const bool root = false; // Windows has no other users' files to make here
    // Another file, where a link to one cannot be made without privileges.
    const auto putVictimAt = [&](const std::string& leaf) { fs::copy_file(path("victim"), path(leaf)); };
#else
    const bool root = ::geteuid() == 0;
    const auto othersFile = [&](const std::string& leaf, const std::string& bytes) {
        return [&, leaf, bytes] {
            folder.write(leaf, bytes);
            ASSERT_EQ(::lchown(path(leaf).c_str(), kOtherUser, kOtherUser), 0);
        };
    };
    const auto putVictimAt = [&](const std::string& leaf) { fs::create_symlink(path("victim"), path(leaf)); };
#endif
    // A hot journal of this user's whose last record names `named` as its
    // super-journal: SQLite would open that file, and delete it, as it
    // finished a transaction over several databases.
    const auto superJournal = [&](const std::string& named) {
        return [&, named] {
            const auto be32 = [](std::uint64_t v) {
                return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                                   static_cast<char>(v)};
            };
            const std::string magic = "\xd9\xd5\x05\xf9\x20\xa1\x63\xd7";
            std::string bytes = magic + be32(0) + be32(0) + be32(fs::file_size(path("a.zvd")) / 4096) + be32(512) +
                                be32(4096);
            bytes.resize(512, '\0');
            std::uint64_t sum = 0;
            for (const char c : path(named)) {
                sum += static_cast<unsigned char>(c);
            }
            bytes += be32(0x40000000 / 4096 + 1) + path(named) + be32(path(named).size()) + be32(sum) + magic;
            folder.write("a.zvd-journal", bytes);
        };
    };
    // Runs `plant` as SQLite first locks the design (its pending byte, on
    // the way to a shared lock): after every look the store made beside
    // it, before SQLite looks for what to play into it.
    const auto asSqliteLocks = [&](std::function<void()> plant) -> FaultEnv::Hook {
        return [&, plant](FaultEnv::Kind kind, const std::string& name) {
            if (kind == FaultEnv::Kind::Lock && name == "a.zvd at 1073741824" && !fs::exists(path("planted"))) {
                folder.write("planted", "");
                plant();
            }
            return std::error_code();
        };
    };
#ifndef _WIN32
    // `a.zvd` a link to a link in another user's folder everybody may write
    // to that has the sticky bit, owned by this user or (`foldersOwner`) by
    // the folder's owner: the kernel follows both.
    const auto stickyLink = [&](bool foldersOwner) {
        return [&, foldersOwner] {
            fs::rename(path("a.zvd"), path("moved.zvd"));
            fs::create_directory(path("shared"));
            fs::permissions(path("shared"), fs::perms::all | fs::perms::sticky_bit);
            fs::create_symlink(path("moved.zvd"), path("shared/a.zvd"));
            ASSERT_EQ(::chown(path("shared").c_str(), kOtherUser, kOtherUser), 0);
            if (foldersOwner) {
                ASSERT_EQ(::lchown(path("shared/a.zvd").c_str(), kOtherUser, kOtherUser), 0);
            }
            fs::create_symlink(path("shared/a.zvd"), path("a.zvd"));
        };
    };
#endif
    std::optional<testing::OtherProgram> other;
    const auto setHeader = [&](std::streamoff offset, const std::string& bytes) {
        std::fstream design(path("a.zvd"), std::ios::in | std::ios::out | std::ios::binary);
        design.seekp(offset);
        design.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    const auto sql = [&](const std::string& statement) { runSql(path("a.zvd"), statement); };
    // Another program with the design open in write-ahead mode, keeping its connection.
    const auto openWriteAhead = [&] {
        ASSERT_EQ(other.emplace(path("a.zvd"))
                      .run("PRAGMA journal_mode = WAL; UPDATE zv_metadata SET data_revision = 'wal'"),
                  "wal");
    };
#ifdef _WIN32
    // Another program with the design open (a viewer, a virus scanner),
    // sharing it as `share` says; for a moment: it lets go 50 ms after the
    // store is committed.
    std::optional<testing::HeldOpen> held;
    std::future<void> lettingGo;
    const auto holdOpen = [&](DWORD share) {
        return [&, share] { ASSERT_TRUE(held.emplace(path("a.zvd"), share).valid()); };
    };
    const auto letGoSoon = [&] {
        lettingGo = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            held->release();
        });
    };
#endif
    // Ends another program a row started and clears the whole folder.
    const auto removeBeside = [&] {
        other.reset();
#ifdef _WIN32
        if (lettingGo.valid()) {
            lettingGo.get();
        }
        held.reset();
#endif
        folder.clear();
    };
    struct Case {
        const char* what;
        bool needsRoot;
        std::function<void()> arrange;          // before the roads
        const char* step;                       // of a rewrite, with `meanwhile`
        std::function<void()> meanwhile;
        std::vector<Road> roads;
        std::optional<DesignRefusal> reason;    // nullopt: every road succeeds
        std::string said;
        FaultEnv::Hook beforeCall = {};         // runs before each call the road makes on files
    };
    using enum Road;
    const Case cases[] = {
        {"a log another program left", false, [&] { folder.write("a.zvd-wal", std::string(4096, 'w')); }, "", {},
         {Rewrite, Update, Autosave, Open}, DesignRefusal::ForeignFile,
         "a.zvd-wal' beside it holds changes another program did not finish"},
#ifndef _WIN32
        {"a log of another user", true, othersFile("a.zvd-wal", "w"), "", {}, {Rewrite, Update, Autosave, Open},
         DesignRefusal::ForeignFile, "a.zvd-wal' beside it belongs to nobody"},
        {"a journal of another user that would be played back", true,
         othersFile("a.zvd-journal", "\xd9\xd5\x05\xf9" + std::string(508, 'j')), "", {},
         {Rewrite, Update, Autosave, Open}, DesignRefusal::ForeignFile,
         "a.zvd-journal' beside it belongs to nobody, who may not write the design"},
        {"an empty journal of another user: only an update writes into it", true, othersFile("a.zvd-journal", ""),
         "", {}, {Update}, DesignRefusal::ForeignFile, "belongs to nobody"},
        {"an empty journal of another user blocks nothing else", true, othersFile("a.zvd-journal", ""), "", {},
         {Rewrite, Autosave, Open}, std::nullopt, ""},
        {"a zeroed journal of another user is no hot one", true, othersFile("a.zvd-journal", std::string(28, '\0')), "",
         {}, {Rewrite, Autosave, Open}, std::nullopt, ""},
#endif
        {"a zeroed journal, as journal_mode=PERSIST leaves it", false, journal(std::string(28, '\0')), "", {},
         {Rewrite, Update, Autosave, Open}, std::nullopt, ""},
        {"another program that has it open in write-ahead mode", false, openWriteAhead, "", {},
         {Rewrite, Update, Autosave, Open}, DesignRefusal::Busy, "another program is writing it"},
#ifdef _WIN32
        {"another program that keeps it from being deleted: a rewrite cannot replace it", false,
         holdOpen(FILE_SHARE_READ | FILE_SHARE_WRITE), "", {}, {Rewrite}, DesignRefusal::Busy,
         "another program has it open and keeps it from being replaced; the design is left as it was."},
        {"another program that keeps it from being deleted: an update in place writes it", false,
         holdOpen(FILE_SHARE_READ | FILE_SHARE_WRITE), "", {}, {Update}, std::nullopt, ""},
        {"another program that keeps it from being deleted for a moment is waited out", false,
         holdOpen(FILE_SHARE_READ | FILE_SHARE_WRITE), "committed", letGoSoon, {Rewrite}, std::nullopt, ""},
        {"another program that lets no writer in", false, holdOpen(FILE_SHARE_READ), "", {}, {Rewrite, Update},
         DesignRefusal::Busy, "another program has it open and keeps it from being written; try again when it is closed."},
#endif
#ifndef _WIN32
        {"a link of another user in a shared sticky folder", true,
         [&] {
             fs::rename(path("a.zvd"), path("moved.zvd"));
             fs::create_directory(path("shared"));
             fs::permissions(path("shared"), fs::perms::all | fs::perms::sticky_bit);
             fs::create_symlink(path("moved.zvd"), path("shared/a.zvd"));
             ASSERT_EQ(::lchown(path("shared/a.zvd").c_str(), kOtherUser, kOtherUser), 0);
             fs::create_symlink(path("shared/a.zvd"), path("a.zvd"));
         },
         "", {}, {Rewrite, Update, Autosave}, DesignRefusal::ForeignFile, "is a symbolic link of nobody"},
#endif
        {"a design switched to write-ahead logging", false, [&] { setHeader(18, "\x02\x02"); }, "", {},
         {Rewrite, Update, Autosave, Open}, DesignRefusal::ForeignFile, "switched it to write-ahead logging"},
#ifndef _WIN32
        {"links that lead round in a circle", false,
         [&] {
             fs::rename(path("a.zvd"), path("moved.zvd"));
             fs::create_symlink(path("b.zvd"), path("a.zvd"));
             fs::create_symlink(path("a.zvd"), path("b.zvd"));
         },
         "", {}, {Rewrite, Update, Autosave}, DesignRefusal::Missing, "symbolic links lead round in a circle"},
#endif
        {"a journal that names a file as its super-journal", false, superJournal("victim"), "", {},
         {Rewrite, Update, Autosave, Open}, DesignRefusal::ForeignFile, "names other files to change with the design"},
#ifndef _WIN32
        {"a journal that names a FIFO as its super-journal", false,
         [&] {
             ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
             superJournal("fifo")();
         },
         "", {}, {Rewrite, Update, Autosave, Open}, DesignRefusal::ForeignFile,
         "names other files to change with the design"},
        {"a journal of another user planted after the store looked beside the design", true, {}, "", {},
         {Rewrite, Update, Autosave, Open},
         DesignRefusal::ForeignFile, "a.zvd-journal' beside it belongs to nobody",
         asSqliteLocks(othersFile("a.zvd-journal", "\xd9\xd5\x05\xf9" + std::string(508, 'j')))},
        {"a group member's update cut short is rolled back by whoever may write the design", true,
         [&] {
             ASSERT_EQ(::chown(path("a.zvd").c_str(), 0, kOtherUser), 0);
             fs::permissions(path("a.zvd"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                                fs::perms::group_write | fs::perms::others_read);
             othersFile("a.zvd-journal", "\xd9\xd5\x05\xf9" + std::string(508, 'j'))();
         },
         "", {}, {Rewrite, Update, Autosave, Open}, std::nullopt, ""},
#endif
        {"a journal with another name, which rolling it back would write", false,
         [&] { fs::create_hard_link(path("victim"), path("a.zvd-journal")); }, "", {},
         {Rewrite, Update, Autosave, Open}, DesignRefusal::ForeignFile, "a.zvd-journal' beside it has other names too"},
        {"a write-ahead log with another name", false, [&] { fs::create_hard_link(path("victim"), path("a.zvd-wal")); },
         "", {}, {Rewrite, Update, Autosave, Open}, DesignRefusal::ForeignFile, "a.zvd-wal' beside it has other names too"},
#ifndef _WIN32
        {"another user's live transaction: its journal is no hot one, and the committed design is read", true,
         [&] {
             other.emplace(path("a.zvd"));
             ASSERT_EQ(other->run("PRAGMA synchronous = OFF; BEGIN IMMEDIATE; "
                                  "UPDATE zv_metadata SET data_revision = 'live'"),
                       "-");
             ASSERT_EQ(::chown(path("a.zvd-journal").c_str(), kOtherUser, kOtherUser), 0);
         },
         "", {}, {Autosave, Open}, std::nullopt, ""},
#endif
        {"a write-ahead log that appears as SQLite opens the design", false, {}, "", {},
         {Rewrite, Update, Autosave, Open}, DesignRefusal::ForeignFile,
         "a.zvd-wal' beside it holds changes another program did not finish",
         asSqliteLocks([&] { folder.write("a.zvd-wal", std::string(4096, 'w')); })},
        {"another program's SQLite cannot begin writing while a rewrite is under way", false,
         [&] { other.emplace(path("a.zvd")); }, "committed",
         [&] { EXPECT_EQ(other->run("BEGIN IMMEDIATE"), "error 5"); }, {Rewrite},
#ifdef _WIN32 // where its open handle then keeps the design from being replaced
         DesignRefusal::Busy, "another program has it open and keeps it from being replaced"},
#else
         std::nullopt, ""},
#endif
        {"a file system that cannot flush a folder (EINVAL) has nothing to lose", false, {}, "", {},
         {Rewrite, Update, Autosave, Open}, std::nullopt, "",
         [&](FaultEnv::Kind kind, const std::string& name) {
             const bool folderFlush = kind == FaultEnv::Kind::Sync && name.find_first_of("/\\") != std::string::npos;
             return folderFlush ? std::make_error_code(std::errc::invalid_argument) : std::error_code();
         }},
#ifndef _WIN32
        {"another name given to the temporary file meanwhile", false, {}, "committed",
         [&] { fs::create_hard_link(path("a.tmp.zvd"), path("alias")); }, {Rewrite}, DesignRefusal::Interfered,
         "another program replaced its temporary file"},
        {"the design replaced while its new version is flushed", false, {}, "", {}, {Rewrite},
         DesignRefusal::Interfered, "another program moved or replaced it while it was being saved",
         [&](FaultEnv::Kind kind, const std::string& name) {
             if (kind == FaultEnv::Kind::Sync && name == "a.tmp.zvd" && !fs::exists(path("moved.zvd"))) {
                 fs::rename(path("a.zvd"), path("moved.zvd"));
                 fs::copy_file(path("moved.zvd"), path("a.zvd"));
             }
             return std::error_code();
         }},
        {"a relative link at the name is followed from its own folder", false,
         [&] {
             fs::rename(path("a.zvd"), path("moved.zvd"));
             fs::create_symlink("moved.zvd", path("a.zvd"));
         },
         "", {}, {Rewrite, Update, Autosave, Open}, std::nullopt, ""},
        {"this user's own link in a shared sticky folder is followed", true, stickyLink(false), "", {},
         {Rewrite, Update, Autosave, Open}, std::nullopt, ""},
        {"the shared sticky folder's owner's link is followed", true, stickyLink(true), "", {},
         {Rewrite, Update, Autosave, Open}, std::nullopt, ""},
#endif
        {"a format version below any", false, [&] { sql("UPDATE zv_metadata SET file_version = -1"); }, "", {},
         {Rewrite, Update, Autosave, Open}, DesignRefusal::NotADesign, "its format version -1 is not one"},
        {"a journal of a program updating in place meanwhile", false, {}, "committed", journal("\xd9\xd5\x05\xf9"),
         {Rewrite}, DesignRefusal::Busy,
         "another program is updating it in place; the design is left as it was."},
        {"a commit of a program that takes no lock meanwhile", false, {}, "committed",
         [&] { setHeader(24, "\x7f\x7f\x7f\x7f"); }, {Rewrite}, DesignRefusal::Interfered,
         "another program changed it while it was being saved; nothing was replaced."},
        {"another design put at its name after the lock, before SQLite opens it for an update", false, {}, "prepared",
         [&] {
             fs::rename(path("a.zvd"), path("moved.zvd"));
             fs::copy_file(path("moved.zvd"), path("a.zvd"));
         },
         {Update}, DesignRefusal::Interfered, "another program moved or replaced it while it was being saved"},
        {"the design moved away and another file (a link to one) put at its name meanwhile", false, {}, "committed",
         [&] {
             fs::rename(path("a.zvd"), path("moved.zvd"));
             putVictimAt("a.zvd");
         },
         {Rewrite}, DesignRefusal::Interfered, "another program moved or replaced it while it was being saved"},
#ifndef _WIN32
        {"the temporary file swapped for a link meanwhile", false, {}, "committed",
         [&] {
             fs::remove(path("a.tmp.zvd"));
             putVictimAt("a.tmp.zvd");
         },
         {Rewrite}, DesignRefusal::Interfered, "another program replaced its temporary file"},
        {"a link planted at the autosave copy's name meanwhile is replaced, not followed", false, {}, "copied",
         [&] { putVictimAt("a.bak.zvd"); }, {Autosave}, std::nullopt, ""},
#endif
#ifndef _WIN32 // Windows (Wine at least) refuses to rename a file over one that is open
        {"another file renamed over the temporary file while it is flushed", false, {}, "", {}, {Rewrite},
         DesignRefusal::Interfered, "another program replaced its temporary file",
         [&](FaultEnv::Kind kind, const std::string& name) {
             if (kind == FaultEnv::Kind::Sync && name == "a.tmp.zvd") {
                 folder.write("b.zvd", "not a design");
                 fs::rename(path("b.zvd"), path("a.tmp.zvd"));
             }
             return std::error_code();
         }},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !root) {
            continue; // only root can make another user's files
        }
        for (const Road road : c.roads) {
            SCOPED_TRACE(static_cast<int>(road));
            saveDesign("a.zvd", 2, "old");
            folder.write("victim", "not a design");
            const fs::perms victimBits = fs::perms::owner_read | fs::perms::owner_write;
            fs::permissions(path("victim"), victimBits);
            if (c.arrange) {
                c.arrange();
            }
            const auto before = files();
            std::optional<ScopedEnv> interfering;
            if (c.beforeCall) {
                interfering.emplace(std::make_shared<FaultEnv>(c.beforeCall));
            }
            const std::function<void()> run = [&] {
                switch (road) {
                case Rewrite:
                    return saveDesign("a.zvd", 2, "new", options(Mode::Overwrite, c.step, c.meanwhile));
                case Update:
                    return saveDesign("a.zvd", 2, "new", options(Mode::UpdateAll, c.step, c.meanwhile));
                case Autosave:
                    return (void)writeAutosaveCopy(path("a.zvd"), options(Mode::Overwrite, c.step, c.meanwhile));
                case Open:
                    return openDesign(path("a.zvd")).requireReadable();
                }
            };
            if (!c.reason) {
                run();
            } else {
                expectRefused(run, *c.reason, path("a.zvd"), c.said);
                if (!c.meanwhile && !c.beforeCall) {
                    EXPECT_EQ(files(), before) << "a refusal changes nothing";
                }
            }
            EXPECT_EQ(TempFolder::read(path("victim")), "not a design");
#ifndef _WIN32 // Windows keeps no permission bits
            EXPECT_EQ(fs::status(path("victim")).permissions() & fs::perms::all, victimBits);
#endif
            interfering.reset();
            removeBeside();
        }
    }
}

// Identities are never handed out twice: opening a design whose counter
// lies behind its identities (an older or damaged writer stored 3, NULL or
// text) reserves them all, for a save and for a host that opened it. (A
// save that meets one identity twice is an edge of the session.)
TEST_F(DesignSaveTest, IdentitiesAreNeverReused) {
    for (const char* stored : {"3", "NULL", "'zz'"}) {
        SCOPED_TRACE(stored);
        saveDesign("a.zvd", 0, "");
        const std::int64_t largest = Identifier::create().number + 1000;
        {
            const auto store = SqliteDesignStore::openForWriting(path("a.zvd"));
            SerializationTransferObject object(largest, "Pipe", "kept");
            store->insert(object);
            store->commit();
        }
        runSql(path("a.zvd"), std::string("UPDATE zv_metadata SET identifier_number = ") + stored);
        EXPECT_GT(openDesign(path("a.zvd")).store ? Identifier::create().number : 0, largest);
        fs::remove(path("a.zvd"));
    }
}

#ifndef _WIN32
// The design's folder renamed away and a link to another folder put at its
// name once the save holds the design's lock: the save goes on in the folder
// it resolved at begin, and the other folder's files are left as they were.
TEST_F(DesignSaveTest, AFolderSwappedForALinkAfterTheLockChangesNothingElsewhere) {
    for (const Mode mode : {Mode::Overwrite, Mode::UpdateAll}) {
        folder.clear();
        fs::create_directories(path("sub"));
        fs::create_directories(path("other"));
        saveDesign("sub/a.zvd", 2, "old");
        saveDesign("other/a.zvd", 2, "other");
        folder.write("other/a.tmp.zvd", "kept");
        const ScopedEnv swapping(std::make_shared<FaultEnv>([&](FaultEnv::Kind kind, const std::string& name) {
            if (kind == FaultEnv::Kind::Lock && name == "a.zvd at 1073742848" && !fs::exists(path("moved"))) {
                fs::rename(path("sub"), path("moved"));
                fs::create_directory_symlink(path("other"), path("sub"));
            }
            return std::error_code();
        }));
        saveDesign("sub/a.zvd", 3, "new", options(mode));
        EXPECT_EQ(revisionOf(path("moved/a.zvd")), "new");
        EXPECT_EQ(revisionOf(path("other/a.zvd")), "other");
        EXPECT_EQ(TempFolder::read(path("other/a.tmp.zvd")), "kept");
    }
}
#endif

} // namespace
} // namespace Zorvan
