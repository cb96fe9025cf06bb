// The save API against what other programs and older writers leave in a
// design or beside it, or do to it while it is saved, on every system (the
// rows that need other users' files or symbolic links on POSIX only).

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <numeric>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include "DesignSaveFixture.h"
#include "FileLock/FileLock.h"
#include "FileHandling/testing/FaultEnv.h"
#include "Serialization/testing/Damage.h"
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

#ifndef _WIN32
// Another user: the folder's "nobody". Only root can make their files.
constexpr uid_t kOtherUser = 65534;
#endif
#ifdef __linux__
// This process acting as the other user, as a program they run would (its
// real identity too, which the system asks when it checks access), until
// what it returns is dropped. The group goes first: without root's identity
// this process could not change it.
std::shared_ptr<void> asOtherUser() {
    EXPECT_EQ(::setresgid(kOtherUser, kOtherUser, 0), 0);
    EXPECT_EQ(::setresuid(kOtherUser, kOtherUser, 0), 0);
    return {nullptr, [](void*) { (void)(::setresuid(0, 0, 0) + ::setresgid(0, 0, 0)); }};
}
#endif

// What lies at a design's name or beside it, or happens to it while it is
// saved, decides nothing: each row arranges the folder (before every road
// it names, and undoes it after), or acts at a step of a save, or before
// each call a road makes on files, and every road it names is refused for
// that reason, naming the file and saying why within a second (changing no
// file when nothing acted meanwhile), or succeeds (a save with what it
// wrote, every file it wrote of the design's access). One row, one reason:
// a condition is refused for the same reason on open, each save mode, the
// autosaves and the recovery roads, which meet it at the autosave copy's
// name (what the row put at the design's names is moved there). A hold of a moment is
// waited out. Nothing SQLite would play into a design is played into it, no
// name is followed after the save checked it, a design another program
// changed meanwhile is not replaced, and a file the row put beside the
// design is never written.
TEST_F(DesignSaveTest, NothingAtItsNameBesideOrMeanwhileDecidesWhatIsSaved) {
    enum Road { Rewrite, Update, UpdateSelected, Autosave, HostAutosave, Open, Edit, Recover, RemoveCopy };
    using Plant = std::function<void()>;
    const auto put = [&](const std::string& leaf, const std::string& bytes) -> Plant {
        return [&, leaf, bytes] { fs::remove(path(leaf)), folder.write(leaf, bytes); };
    };
    const std::string hot = "\xd9\xd5\x05\xf9" + std::string(508, 'j'); // the start of a hot journal
    const auto both = [](Plant first, Plant second) -> Plant { return [=] { first(), second(); }; };
#ifdef _WIN32
    const bool root = false; // Windows has no other users' files to make here
    // Another file, where a link to one cannot be made without privileges.
    const auto putVictimAt = [&](const std::string& leaf) { fs::copy_file(path("victim"), path(leaf)); };
#else
    const bool root = ::geteuid() == 0;
    const auto othersFile = [&](const std::string& leaf, const std::string& bytes) -> Plant {
        return [&, leaf, bytes] { ASSERT_EQ(::lchown(folder.write(leaf, bytes).c_str(), kOtherUser, kOtherUser), 0); };
    };
    const auto putVictimAt = [&](const std::string& leaf) { fs::create_symlink(path("victim"), path(leaf)); };
    // The folder's and the design's permission bits, for another user.
    const fs::perms rootBits = fs::status(folder.root()).permissions();
    const auto openTo = [&](fs::perms folders, fs::perms designs) -> Plant {
        return [&, folders, designs] { fs::permissions(folder.root(), folders), fs::permissions(path("a.zvd"), designs); };
    };
    using P = fs::perms;
    const P readable = P::owner_read | P::owner_write | P::group_read | P::others_read;
    const P entered = readable | P::owner_exec | P::group_exec | P::others_exec;
    const auto fifoAt = [&](const std::string& leaf) -> Plant {
        return [&, leaf] { ASSERT_EQ((fs::remove(path(leaf)), ::mkfifo(path(leaf).c_str(), 0600)), 0); };
    };
    // `a.zvd` a link to a link in a folder everybody may write to that has
    // the sticky bit, the folder and the inner link owned by this user (0)
    // or another: the kernel follows the link of the folder's owner or of
    // the one who follows it.
    const auto stickyLink = [&](uid_t foldersOwner, uid_t linksOwner) -> Plant {
        return [&, foldersOwner, linksOwner] {
            fs::rename(path("a.zvd"), path("moved.zvd"));
            fs::create_directory(path("shared"));
            fs::permissions(path("shared"), P::all | P::sticky_bit);
            fs::create_symlink(path("moved.zvd"), path("shared/a.zvd"));
            ASSERT_EQ(::chown(path("shared").c_str(), foldersOwner, foldersOwner) +
                          ::lchown(path("shared/a.zvd").c_str(), linksOwner, linksOwner), 0);
            fs::create_symlink(path("shared/a.zvd"), path("a.zvd"));
        };
    };
#endif
    // A hot journal of this user's whose last record names `named` as its
    // super-journal: SQLite would open that file, and delete it, as it
    // finished a transaction over several databases.
    const auto superJournal = [&](const std::string& named) -> Plant {
        return [&, named] {
            const auto be32 = [](std::uint64_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
            const std::string magic = "\xd9\xd5\x05\xf9\x20\xa1\x63\xd7";
            std::string bytes = magic + be32(0) + be32(0) + be32(fs::file_size(path("a.zvd")) / 4096) + be32(512) +
                                be32(4096);
            bytes.resize(512, '\0');
            const std::string name = path(named);
            const auto sum = std::accumulate(name.begin(), name.end(), 0U, [](unsigned a, char c) { return a + static_cast<unsigned char>(c); });
            folder.write("a.zvd-journal", bytes + be32(0x40000000 / 4096 + 1) + name + be32(name.size()) + be32(sum) + magic);
        };
    };
    // Runs `plant` once, before the call of `kind` on `name` (SQLite's
    // first lock of the design, on its pending byte, comes after every look
    // the store made beside it and before SQLite looks for what to play into
    // it; a flush of the temporary file comes right before its rename).
    const auto atCall = [&](FaultEnv::Kind kind, const std::string& name, Plant plant) -> FaultEnv::Hook {
        return [&, kind, name, plant, done = false](FaultEnv::Kind called, const std::string& named) mutable {
            if (!done && called == kind && named == name) {
                done = true, plant();
            }
            return std::error_code();
        };
    };
    const auto asSqliteLocks = [&](Plant plant) { return atCall(FaultEnv::Kind::Lock, "a.zvd at 1073741824", plant); };
    const auto moveAwayAndPut = [&](Plant plant) -> Plant {
        return [&, plant] { fs::rename(path("a.zvd"), path("moved.zvd")), plant(); };
    };
    const Plant copyBack = [&] { fs::copy_file(path("moved.zvd"), path("a.zvd")); };
    std::optional<testing::OtherProgram> other;
    std::optional<FileLock> saving;
    const auto setHeader = [&](std::streamoff offset, const std::string& bytes) -> Plant {
        return [&, offset, bytes] {
            std::fstream(path("a.zvd"), std::ios::in | std::ios::out | std::ios::binary).seekp(offset) << bytes;
        };
    };
#ifdef _WIN32
    // Another program with the design open (a viewer, a virus scanner),
    // sharing it as `share` says; for a moment: it lets go 50 ms after the
    // store is committed.
    std::optional<testing::HeldOpen> held;
    std::future<void> lettingGo;
    const auto holdOpen = [&](DWORD share) -> Plant {
        return [&, share] { ASSERT_TRUE(held.emplace(path("a.zvd"), share).valid()); };
    };
    const Plant letGoSoon = [&] {
        lettingGo = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            held->release();
        });
    };
#endif
    // A design saved at `name`, in a folder made for it.
    const auto designAt = [&](const std::string& name) -> Plant {
        return [&, name] { fs::create_directories(TempFolder::fromUtf8(path(name)).parent_path()), saveDesign(name, 2, "old"); };
    };
#ifndef _WIN32
    // `linked` a link to a folder on another device (/dev/shm where there
    // is one) holding a design of its own access.
    const fs::path real =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") / folder.root().filename() : folder.root() / "real";
    const std::shared_ptr<void> removeReal(nullptr, [&](void*) { fs::remove_all(real); });
    const Plant linkedFolder = [&] {
        fs::remove_all(real), fs::create_directories(real);
        fs::create_directory_symlink(real, folder.root() / "linked");
        saveDesign("linked/a.zvd", 2, "old");
        fs::permissions(real / "a.zvd", P::owner_read | P::owner_write | P::group_read);
    };
#endif
    // What the row put at the names of the design `file` (the design, its
    // journal, ...) moved to those of its autosave copy, which the recovery
    // roads meet it at.
    const auto moveToCopy = [&](const std::string& file) {
        const std::string leaf = FileName(file).getLeafName(), copy = ZvFileIO().constructAutosaveFileName(leaf).getLeafName();
        std::error_code noFolder; // a name no folder can have holds nothing to move
        for (const fs::directory_entry& entry : fs::directory_iterator(TempFolder::fromUtf8(path(file)).parent_path(), noFolder)) {
            if (const std::string name = TempFolder::utf8(entry.path().filename()); name.starts_with(leaf)) {
                fs::rename(entry.path(), entry.path().parent_path() / TempFolder::fromUtf8(copy + name.substr(leaf.size())));
            }
        }
    };
    struct Case {
        const char* what;
        Plant arrange = {};                       // before the roads
        std::vector<Road> roads = {Rewrite, Update, Autosave, Open};
        std::optional<DesignRefusal> reason = {}; // none: every road succeeds
        std::string said = {};
        std::string file = "a.zvd";
        const char* step = "";                    // of a save, with `meanwhile`; "": every step
        Plant meanwhile = {};
        FaultEnv::Hook beforeCall = {};           // runs before each call the road makes on files
        bool asOther = false;                     // the roads run as another user (root alone can)
        std::string typed = {};                   // the name the roads are given, when not path(file): one
                                                  // the system takes for `file` (a short or drive-relative name)
        bool atCopy = false;                      // the row arranges the copy's name itself: nothing is moved there
    };
    using enum DesignRefusal;
    const std::vector<Road> saves = {Rewrite, Update, UpdateSelected};
    // The roads that read the design (a recovery rewrites it; with no copy
    // beside it, it recovers nothing).
    const std::vector<Road> everyRoad = {Rewrite, Update, UpdateSelected, Autosave, Open, Edit, Recover};
    const std::vector<Road> allRoads = {Rewrite, Update, UpdateSelected, Autosave, HostAutosave, Open, Edit, Recover,
                                        RemoveCopy};
    const std::vector<Road> fourRoads = {Rewrite, Update, Autosave, Open};
    const std::string isDamaged = "what it holds is not what was saved, or contradicts itself); what can still be read of it can be salvaged.";
    const std::string longest(255 - 8 - 4, 'n');
    // The design's autosave copy, then what `then` does to it or the design.
    const auto copyThen = [&](Plant then) -> Plant {
        return [&, then] { (void)writeAutosaveCopy(path("a.zvd"), options()), then(); };
    };
    const auto onCopy = [&](const std::string& sql) -> Plant {
        return [&, sql] {
            EXPECT_EQ(testing::OtherProgram(path("a.bak.zvd")).run(sql), "-");
            testing::damage::restampChecksums(path("a.bak.zvd")); // as an earlier version wrote it
        };
    };
    const Plant savedSince = [&] { saveDesign("a.zvd", 2, "old"); };
    // A design of 2,000 objects (or the newer copy of it a crashed session
    // left), then `damage` done to it on pages every road reads: page 1,
    // the last leaf, the interior page above it. A page copied whole keeps
    // a checksum that holds: only a walk (the recovery's) meets it, as
    // identities out of order.
    namespace damage = testing::damage;
    using Damage = std::function<void(const std::string& file)>;
    const auto damaged = [&](Damage damage, bool copy = false) -> Plant {
        return [&, damage, copy] {
            saveDesign("a.zvd", 2000, "old"), copy ? saveDesign("a.zvd", 2000, "old", options(), /*autosave=*/true) : void();
            damage(path(copy ? "a.bak.zvd" : "a.zvd"));
        };
    };
    // The last object's payload: "old" after its type "Pipe" becomes "nld".
    const Damage payloadBit = [](const std::string& f) { damage::flipBit(f, damage::bytesOf(f).rfind("Pipeold") + 4); };
    const Plant anotherDesignsCopy = [&] {
        saveDesign("b.zvd", 1, "b");
        (void)writeAutosaveCopy(path("b.zvd"), options());
        fs::rename(path("b.bak.zvd"), path("a.bak.zvd"));
    };
    const Plant copyBToCopy = [&] { fs::copy_file(path("b.zvd"), path("a.bak.zvd")); };
    const std::vector<Road> copyRoads = {Autosave, HostAutosave, RemoveCopy};
    const std::vector<Road> copyRoadsAndRecovery = {Autosave, HostAutosave, Recover, RemoveCopy};
    const std::string notItsCopy = "a.bak.zvd' at its autosave copy's name is not an autosave copy of it";
#ifndef _WIN32
    const std::string level(200, 'd');
    const std::string deep = level + "/" + level + "/" + level;
#endif
    std::vector<Case> cases = {
        // Only the design's own autosave copy is replaced or removed, however
        // the design was saved since; anything else at the copy's name stays.
        {.what = "a design at the autosave copy's name", .arrange = designAt("a.bak.zvd"), .roads = copyRoadsAndRecovery,
         .reason = ForeignFile, .said = notItsCopy, .atCopy = true},
#ifdef _WIN32
        {.what = "a design at the autosave copy's name, spelled in other case", .arrange = designAt("A.Bak.zvd"),
         .roads = copyRoadsAndRecovery, .reason = ForeignFile, .said = notItsCopy, .atCopy = true},
#endif
        {.what = "a design put at the autosave copy's name while the copy is written", .arrange = designAt("b.zvd"),
         .roads = {Autosave}, .reason = ForeignFile, .said = notItsCopy, .step = "copied", .meanwhile = copyBToCopy},
        {.what = "a design put at the autosave copy's name while the host's objects are written",
         .arrange = designAt("b.zvd"), .roads = {HostAutosave}, .reason = ForeignFile, .said = notItsCopy,
         .step = "committed", .meanwhile = copyBToCopy},
        {.what = "a design put at the autosave copy's free name as the copy is renamed there",
         .arrange = designAt("b.zvd"), .roads = {Autosave, HostAutosave}, .reason = Interfered,
         .said = "another program changed what is at its name, or the copy as it was written",
         .beforeCall = atCall(FaultEnv::Kind::Rename,
                              ZvFileIO::temporaryName(FileName("a.bak.zvd")).getLeafName() + " -> a.bak.zvd", copyBToCopy)},
        {.what = "a design at the autosave copy's name is no concern of opening it", .arrange = designAt("a.bak.zvd"),
         .roads = {Open, Edit}, .atCopy = true},
        {.what = "a copy of another design at its copy's name", .arrange = anotherDesignsCopy,
         .roads = copyRoadsAndRecovery, .reason = ForeignFile, .said = notItsCopy, .atCopy = true},
        {.what = "a stale copy of this design", .arrange = copyThen(savedSince), .roads = copyRoads, .atCopy = true},
        {.what = "a copy of this design as it is, made under another name",
         .arrange = copyThen(onCopy("UPDATE zv_autosave_origin SET design = 'renamed.zvd'")), .roads = copyRoads,
         .atCopy = true},
        {.what = "a stale copy an earlier version wrote, which names no design",
         .arrange = copyThen(both(onCopy("UPDATE zv_autosave_origin SET design = NULL"), savedSince)),
         .roads = copyRoads, .atCopy = true},
        {.what = "a read-only copy: kept on Windows, whose attribute forbids replacing it; replaced on POSIX",
         .arrange = copyThen([&] { fs::permissions(path("a.bak.zvd"), fs::perms::owner_read); }), .roads = copyRoads,
#ifdef _WIN32
         .reason = ReadOnly, .said = "a.bak.zvd' is read-only, and is left as it is",
#endif
         .atCopy = true},
        // A name beyond ASCII, of several scripts and a character beyond the
        // first 65,536 (two units of UTF-16), in a folder with an umlaut: on
        // Windows through the wide-character API, as a conversion to the
        // local code page would garble or refuse it.
        {"a name beyond ASCII in a folder so named", designAt("Entwürfe/Pumpe-Größe ポンプ 泵站 🚀.zvd"), allRoads, {}, "",
         "Entwürfe/Pumpe-Größe ポンプ 泵站 🚀.zvd"},
        {"a design only its owner and group may read: every file a save writes has its access, a copy too",
         [&] {
             (void)writeAutosaveCopy(path("a.zvd"), options()); // an older copy, open to everybody
             fs::permissions(path("a.bak.zvd"), fs::perms::all), fs::permissions(path("a.zvd"), fs::perms(0640));
         },
         {Rewrite, Update, UpdateSelected, Autosave}, {}, "", "a.zvd", "", [&] {
             for (const char* leaf : {"a.tmp.zvd", "a.bak.tmp.zvd"}) {
                 EXPECT_EQ(fs::exists(path(leaf)) ? fs::status(path(leaf)).permissions() : fs::status(path("a.zvd")).permissions(),
                           fs::status(path("a.zvd")).permissions()) << leaf;
             }
         }},
#ifndef _WIN32
        {"a link in the folder path, to another device", linkedFolder, everyRoad, {}, "", "linked/a.zvd"},
        {"a link at the name, to a design of its own access on another device",
         both(linkedFolder, [&] { fs::create_directory(path("links")), fs::create_symlink(real / "a.zvd", path("links/link.zvd")); }),
         everyRoad, {}, "", "links/link.zvd"},
        {"the longest name that leaves room for the save's own files", designAt("long/" + longest + ".zvd"),
         everyRoad, {}, "", "long/" + longest + ".zvd"},
#endif
        // A name that only looks like a device's: so do the names derived from it.
        {"a name that only looks like a device's", designAt("COM10.zvd"), allRoads, {}, "", "COM10.zvd"},
        {"a read-only design", [&] { fs::permissions(path("a.zvd"), fs::perms::owner_read); },
         {Rewrite, Update, UpdateSelected, Edit}, ReadOnly,
         "It is not possible to overwrite a readonly file."},
        {"another program saving it", [&] { saving.emplace(FileLock::acquire(path("a.zvd"), {})); }, saves, Busy,
         "another program is saving it; try again when it is done."},
        {"a newer design",
         [&] { fs::remove(path("a.zvd")), SqliteDesignStore::openForWriting(path("a.zvd"), SqliteDesignStore::kCurrentVersion + 1)->commit(); },
         everyRoad, Newer, "was written by a newer version of the software"},
        {"not a design", put("a.zvd", "not a design\n"), {Rewrite, Autosave, Open}, NotADesign, "Error reading file version."},
        {"a format version below any",
         [&] {
             EXPECT_EQ(testing::OtherProgram(path("a.zvd")).run("UPDATE zv_metadata SET file_version = -1"), "-");
             testing::damage::restampChecksums(path("a.zvd"));
         },
         fourRoads, NotADesign, "its format version -1 is not one"},
        {"the empty file a first save killed midway leaves", put("a.zvd", ""), {Update, Autosave, Open}, NoDesignYet,
         "holds no design yet"},
        {"the empty file a first save killed midway leaves is replaced", put("a.zvd", ""), {Rewrite}},
        {"a design that is not there", {}, {Update, UpdateSelected, Autosave, Open, Edit}, Missing,
         "it does not exist", "missing.zvd"},
        {"no name", {}, {Rewrite}, NoName, "The file must have a name.", ".zvd"},
        {"a folder", [&] { fs::create_directory(path("dir.zvd")); }, allRoads, NotRegularFile,
         "it is not a regular file", "dir.zvd"},
        {"a name too long for the files beside it", {}, {Rewrite}, NameTooLong,
         "this folder takes names of up to 255 bytes", longest + "x.zvd"},
#ifndef _WIN32
        {"a FIFO", fifoAt("a.zvd"), allRoads, NotRegularFile, "it is not a regular file"},
        {"a FIFO at its journal's name", fifoAt("a.zvd-journal"), {Rewrite, Autosave, Open, Edit, Recover},
         ForeignFile, "-journal' is in the way"},
        {"a path too long for the files beside it", [&] { fs::create_directories(path(deep)); }, {Rewrite},
         NameTooLong, "its full path is too long", deep + "/a.zvd"},
#endif
        {"a log another program left", put("a.zvd-wal", std::string(4096, 'w')), fourRoads, ForeignFile,
         "a.zvd-wal' beside it holds changes another program did not finish"},
        {"a zeroed journal, as journal_mode=PERSIST leaves it", put("a.zvd-journal", std::string(28, '\0') + std::string(484, 'j'))},
        {"another program that has it open in write-ahead mode",
         [&] {
             ASSERT_EQ(other.emplace(path("a.zvd")).run("PRAGMA journal_mode = WAL; UPDATE zv_metadata SET data_revision = 'wal'"),
                       "wal");
         },
         fourRoads, Busy, "another program is writing it"},
#ifdef _WIN32
        {"another program that keeps it from being deleted: a rewrite cannot replace it",
         holdOpen(FILE_SHARE_READ | FILE_SHARE_WRITE), {Rewrite}, Busy,
         "another program has it open and keeps it from being replaced; the design is left as it was."},
        {"another program that keeps it from being deleted: an update in place writes it",
         holdOpen(FILE_SHARE_READ | FILE_SHARE_WRITE), {Update}},
        {"another program that keeps it from being deleted for a moment is waited out",
         holdOpen(FILE_SHARE_READ | FILE_SHARE_WRITE), {Rewrite}, {}, "", "a.zvd", "committed", letGoSoon},
        {"another program that lets no writer in", holdOpen(FILE_SHARE_READ), {Rewrite, Update}, Busy,
         "another program has it open and keeps it from being written; try again when it is closed."},
#else
        {"links that lead round in a circle",
         moveAwayAndPut([&] { fs::create_symlink(path("b.zvd"), path("a.zvd")), fs::create_symlink(path("a.zvd"), path("b.zvd")); }),
         {Rewrite, Update, Autosave}, Missing, "symbolic links lead round in a circle"},
        {"a relative link at the name is followed from its own folder",
         moveAwayAndPut([&] { fs::create_symlink("moved.zvd", path("a.zvd")); })},
#endif
        {.what = "a damaged autosave copy a crashed session left", .arrange = damaged(payloadBit, true),
         .roads = {Recover}, .reason = Damaged, .said = isDamaged, .atCopy = true},
        {.what = "a page of another design copied over one of the copy", .arrange = damaged([&](const std::string& f) {
             saveDesign("b.zvd", 2000, "b"), damage::overwritePage(path("b.zvd"), f, damage::lastPageOfKind(f, 13) - 3), fs::remove(path("b.zvd")); }, true),
         .roads = {Recover}, .reason = Damaged, .said = isDamaged, .atCopy = true},
        {"a design written before checksums, a bit of its payload flipped, opens as it always did",
         [&] { fs::remove(path("a.zvd")), testing::OtherProgram(path("a.zvd")).run("CREATE TABLE t(x); DROP TABLE t");
               SqliteDesignStore::openForWriting(path("a.zvd"))->commit(), saveDesign("a.zvd", 2000, "old", options(Mode::UpdateAll)), payloadBit(path("a.zvd")); },
         {Open, Edit, Autosave, Update, Rewrite}},
        {"a design switched to write-ahead logging", setHeader(18, "\x02\x02"), fourRoads, ForeignFile,
         "switched it to write-ahead logging"},
        {"a journal that names a file as its super-journal", superJournal("victim"), fourRoads, ForeignFile,
         "names other files to change with the design"},
#ifndef _WIN32
        {"a journal that names a FIFO as its super-journal", both(fifoAt("fifo"), superJournal("fifo")), fourRoads,
         ForeignFile, "names other files to change with the design"},
#endif
        {"a journal with another name, which rolling it back would write",
         [&] { fs::create_hard_link(path("victim"), path("a.zvd-journal")); }, fourRoads, ForeignFile,
         "a.zvd-journal' beside it has other names too"},
        {"a write-ahead log with another name", [&] { fs::create_hard_link(path("victim"), path("a.zvd-wal")); },
         fourRoads, ForeignFile, "a.zvd-wal' beside it has other names too"},
        {"a write-ahead log that appears as SQLite opens the design", {}, fourRoads, ForeignFile,
         "a.zvd-wal' beside it holds changes another program did not finish", "a.zvd", "", {},
         asSqliteLocks(put("a.zvd-wal", std::string(4096, 'w')))},
        {"another program's SQLite cannot begin writing while a rewrite is under way",
         [&] { other.emplace(path("a.zvd")); }, {Rewrite},
#ifdef _WIN32 // where its open handle then keeps the design from being replaced
         Busy, "another program has it open and keeps it from being replaced",
#else
         {}, "",
#endif
         "a.zvd", "committed", [&] { EXPECT_EQ(other->run("BEGIN IMMEDIATE"), "error 5"); }},
        {"a file system that cannot flush a folder (EINVAL) has nothing to lose", {}, fourRoads, {}, "", "a.zvd", "", {},
         [&](FaultEnv::Kind kind, const std::string& name) {
             const bool folderFlush = kind == FaultEnv::Kind::Sync && name.find_first_of("/\\") != std::string::npos;
             return folderFlush ? std::make_error_code(std::errc::invalid_argument) : std::error_code();
         }},
        {"a journal of a program updating in place meanwhile", {}, {Rewrite}, Busy,
         "another program is updating it in place; the design is left as it was.", "a.zvd", "committed", put("a.zvd-journal", hot)},
        {"a commit of a program that takes no lock meanwhile", {}, {Rewrite}, Interfered,
         "another program changed it while it was being saved; nothing was replaced.", "a.zvd", "committed",
         setHeader(24, "\x7f\x7f\x7f\x7f")},
        {"another design put at its name after the lock, before SQLite opens it for an update", {}, {Update},
         Interfered, "another program moved or replaced it while it was being saved", "a.zvd", "prepared",
         moveAwayAndPut(copyBack)},
        {"the design moved away and another file (a link to one) put at its name meanwhile", {}, {Rewrite},
         Interfered, "another program moved or replaced it while it was being saved", "a.zvd", "committed",
         moveAwayAndPut([&] { putVictimAt("a.zvd"); })},
#ifndef _WIN32
        {"another name given to the temporary file meanwhile", {}, {Rewrite}, Interfered,
         "another program replaced its temporary file", "a.zvd", "committed",
         [&] { fs::create_hard_link(path("a.tmp.zvd"), path("alias")); }},
        {"the design replaced while its new version is flushed", {}, {Rewrite}, Interfered,
         "another program moved or replaced it while it was being saved", "a.zvd", "", {},
         atCall(FaultEnv::Kind::Sync, "a.tmp.zvd", moveAwayAndPut(copyBack))},
        {"the temporary file swapped for a link meanwhile", {}, {Rewrite}, Interfered,
         "another program replaced its temporary file", "a.zvd", "committed",
         [&] { fs::remove(path("a.tmp.zvd")), putVictimAt("a.tmp.zvd"); }},
        {"a link planted at the autosave copy's name meanwhile is replaced, not followed", {}, {Autosave}, {}, "",
         "a.zvd", "copied", [&] { putVictimAt("a.bak.zvd"); }},
        // Windows (Wine at least) refuses to rename a file over one that is open.
        {"another file renamed over the temporary file while it is flushed", {}, {Rewrite}, Interfered,
         "another program replaced its temporary file", "a.zvd", "", {},
         atCall(FaultEnv::Kind::Sync, "a.tmp.zvd", [&] { fs::rename(folder.write("b.zvd", "not a design"), path("a.tmp.zvd")); })},
#endif
    };
    // Rows with another user's files: root alone can make them.
    const std::vector<Case> othersCases = {
#ifndef _WIN32
        {"a log of another user", othersFile("a.zvd-wal", "w"), fourRoads, ForeignFile,
         "a.zvd-wal' beside it belongs to nobody"},
        {"a journal of another user that would be played back", othersFile("a.zvd-journal", hot), fourRoads,
         ForeignFile, "a.zvd-journal' beside it belongs to nobody, who may not write the design"},
        {"an empty journal of another user: only an update writes into it", othersFile("a.zvd-journal", ""), {Update},
         ForeignFile, "belongs to nobody"},
        {"an empty journal of another user blocks nothing else", othersFile("a.zvd-journal", ""), {Rewrite, Autosave, Open}},
        {"a zeroed journal of another user is no hot one", othersFile("a.zvd-journal", std::string(28, '\0')),
         {Rewrite, Autosave, Open}},
        {"a link of another user in a shared sticky folder", stickyLink(0, kOtherUser), {Rewrite, Update, Autosave},
         ForeignFile, "is a symbolic link of nobody"},
        {"this user's own link in a shared sticky folder is followed", stickyLink(kOtherUser, 0)},
        {"the shared sticky folder's owner's link is followed", stickyLink(kOtherUser, kOtherUser)},
        {"a journal of another user planted after the store looked beside the design", {}, fourRoads, ForeignFile,
         "a.zvd-journal' beside it belongs to nobody", "a.zvd", "", {}, asSqliteLocks(othersFile("a.zvd-journal", hot))},
        {"a group member's update cut short is rolled back by whoever may write the design",
         both([&] { fs::permissions(path("a.zvd"), readable | P::group_write); ASSERT_EQ(::chown(path("a.zvd").c_str(), 0, kOtherUser), 0); },
              othersFile("a.zvd-journal", hot))},
        {"another user's live transaction: its journal is no hot one, and the committed design is read",
         [&] {
             ASSERT_EQ(other.emplace(path("a.zvd"))
                           .run("PRAGMA synchronous = OFF; BEGIN IMMEDIATE; UPDATE zv_metadata SET data_revision = 'live'"),
                       "-");
             ASSERT_EQ(::chown(path("a.zvd-journal").c_str(), kOtherUser, kOtherUser), 0);
         },
         {Autosave, Open}},
#endif
#ifdef __linux__
        // This user's permissions: whatever a road needs and is denied is
        // ReadOnly, on the design, its copy or its folder.
        {.what = "another user, to whom it is read-only, in a folder that lets them rename over it",
         .arrange = openTo(fs::perms::all, readable),
         .roads = {Rewrite, Update, UpdateSelected, Autosave, HostAutosave, Edit, Recover}, .reason = ReadOnly, .asOther = true},
        {.what = "another user, to whom it is read-only, reads it and removes its copy",
         .arrange = openTo(fs::perms::all, readable), .roads = {Open, RemoveCopy}, .asOther = true},
        {.what = "another user who may not read it, opening it or its copy", .arrange = openTo(fs::perms::all, P::owner_all),
         .roads = {Open, Edit}, .reason = ReadOnly, .said = "this user may not read it", .asOther = true},
        {.what = "another user who may not read it, writing it or its copy", .arrange = openTo(fs::perms::all, P::owner_all),
         .roads = {Rewrite, Update, UpdateSelected, Autosave, HostAutosave, Recover}, .reason = ReadOnly, .asOther = true},
        {.what = "another user who may write it, in a folder they may not", .arrange = openTo(entered, fs::perms(0666)),
         .roads = {Rewrite, Update, UpdateSelected, Autosave, HostAutosave, Edit, Recover, RemoveCopy}, .reason = ReadOnly,
         .asOther = true},
        {.what = "another user, in a folder they may not read or enter", .arrange = openTo(P::owner_all, fs::perms(0666)),
         .roads = allRoads, .reason = ReadOnly, .asOther = true},
        {.what = "another user, to whom it is read-only, beside an update of its owner's cut short",
         .arrange = both(openTo(fs::perms::all, readable), put("a.zvd-journal", hot)), .roads = {Open, Edit},
         .reason = ReadOnly, .said = "only a user who may write it can undo that", .asOther = true},
        {.what = "another user whom an access list lets write it",
         .arrange = both(openTo(fs::perms::all, readable),
                         [&] { ASSERT_EQ(std::system(("setfacl -m u:65534:rw '" + path("a.zvd") + "'").c_str()), 0); }),
         .roads = {Update}, .asOther = true},
#endif
    };
    cases.insert(cases.end(), othersCases.begin(), root ? othersCases.end() : othersCases.begin());
    // Damage on every road that reads the design: a page that fails its
    // checksum, a header SQLite cannot read, a file cut short, the metadata
    // row lost, a stock program's change.
    for (const auto& [what, damage] : std::vector<std::pair<const char*, Damage>>{
             {"a flipped bit in an object's payload", payloadBit},
             {"a flipped bit in a B-tree interior page",
              [](const std::string& f) { damage::flipBit(f, damage::lastPageOfKind(f, 5) * 4096 - 28); }},
             {"a flipped bit in the header's page size", [](const std::string& f) { damage::flipBit(f, 17); }},
             {"a flipped bit in the header's user version", [](const std::string& f) { damage::flipBit(f, 63); }},
             {"a zeroed page", [&](const std::string& f) { damage::overwritePage("", f, damage::lastPageOfKind(f, 13)); }},
             {"a file cut to two thirds", [](const std::string& f) { fs::resize_file(f, fs::file_size(f) / 3 * 2 / 4096 * 4096); }},
             {"the metadata row lost", [](const std::string& f) { testing::OtherProgram(f).run("DELETE FROM zv_metadata"), damage::restampChecksums(f); }},
             {"an object changed by a stock SQLite program", [](const std::string& f) {
                  testing::OtherProgram(f).run("UPDATE zv_objects SET payload = 'x' WHERE id = (SELECT max(id) FROM zv_objects)"); }}}) {
        cases.push_back({what, damaged(damage), {Rewrite, Update, UpdateSelected, Autosave, Open, Edit}, Damaged, isDamaged});
    }
    // Names Windows takes for another file, for a device or a stream, or
    // forbids: there the roads work on the file meant, or refuse at once;
    // elsewhere each is a name like any other.
    // One name of each kind and place: which names Windows takes for what,
    // the native Env's own test tells.
    const std::pair<const char*, const char*> unusable[] = {
        {"CON.zvd", "for a device"}, {"aux.bak.zvd", "for a device"}, {"con  .zvd", "for a device"},
        {"Prn/a.zvd", "for a device"}, {"a.zvd:evil", "for a stream"}, {"pu<mp.zvd", "allows none of"},
        {"pu\x01mp.zvd", "control character 1"},
    };
    for (const auto& [name, why] : unusable) {
#ifdef _WIN32
        cases.push_back({.what = name, .roads = allRoads, .reason = UnusableName, .said = why, .file = name});
#else
        cases.push_back({.what = name, .arrange = designAt(name), .roads = allRoads, .file = name});
#endif
    }
#ifdef _WIN32
    // A short name of a long folder and file as the system made them.
    designAt("LongFolderName/PumpStationNorth.zvd")();
    std::wstring shortName(MAX_PATH, L'\0');
    shortName.resize(::GetShortPathNameW(fs::path(path("LongFolderName/PumpStationNorth.zvd")).c_str(),
                                         shortName.data(), MAX_PATH));
    folder.clear();
    const fs::path drive = folder.root().root_name();
    const fs::path current = fs::current_path();
    fs::current_path(folder.root());
    const std::shared_ptr<void> back(nullptr, [&](void*) { fs::current_path(current); });
    const std::vector<Case> meaning = {
        {.what = "trailing spaces and dots", .roads = allRoads, .typed = path("a.zvd") + " . "},
        {.what = "a drive-relative name", .roads = allRoads, .typed = TempFolder::utf8(drive) + "a.zvd"},
        {.what = "a short name", .arrange = designAt("LongFolderName/PumpStationNorth.zvd"), .roads = allRoads,
         .file = "LongFolderName/PumpStationNorth.zvd", .typed = TempFolder::utf8(shortName)},
    };
    cases.insert(cases.end(), meaning.begin(), meaning.end());
#endif
    const fs::perms victimBits = fs::perms::owner_read | fs::perms::owner_write;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const Road road : c.roads) {
            SCOPED_TRACE("road " + std::to_string(road));
            saveDesign("a.zvd", 2, "old");
            const bool moved = road == RemoveCopy && !c.atCopy;
            // What is moved to the copy's name is a copy of the design.
            const auto makeCopy = [&](const std::string& file) {
                const std::shared_ptr<SqliteDesignStore> store = SqliteDesignStore::openForWriting(path(file));
                store->writeAutosaveOrigin({}, FileName(file).getLeafName());
                store->commit();
            };
            if (moved) {
                makeCopy("a.zvd");
            }
            fs::permissions(folder.write("victim", "not a design"), victimBits);
            if (c.arrange) {
                c.arrange();
            }
            if (moved) {
                if (c.file != "a.zvd" && fs::is_regular_file(TempFolder::fromUtf8(path(c.file)))) {
                    makeCopy(c.file); // the row's own design
                }
                moveToCopy(c.file);
            }
            const auto before = files();
            const fs::path named = TempFolder::fromUtf8(path(c.file));
            std::error_code absent;
            const auto beside = !c.reason && fs::is_directory(named.parent_path(), absent) ? files(named.parent_path()) : before;
            const fs::file_status was = fs::symlink_status(named, absent), bits = fs::status(named, absent);
            std::optional<ScopedEnv> interfering =
                c.beforeCall ? std::optional<ScopedEnv>(std::in_place, std::make_shared<FaultEnv>(c.beforeCall)) : std::nullopt;
            const Mode modes[] = {Mode::Overwrite, Mode::UpdateAll, Mode::UpdateSelected};
            const DesignSaveOptions o = options(road <= UpdateSelected ? modes[road] : Mode::Overwrite, c.step, c.meanwhile);
            const FileName copy = ZvFileIO().constructAutosaveFileName(path(c.file));
            const std::string typed = c.typed.empty() ? path(c.file) : c.typed;
            const std::function<void()> run = [&] {
#ifdef __linux__
                const auto user = c.asOther ? asOtherUser() : nullptr;
#endif
                road == Autosave     ? (void)writeAutosaveCopy(typed, o)
                : road == Open       ? openDesign(typed).requireReadable()
                : road == Edit       ? (void)openDesign(typed, {.intent = DesignIntent::Edit})
                : road == Recover    ? (void)DesignSave::recoverAutosave(typed, o)
                : road == RemoveCopy ? (void)removeAutosaveCopy(typed, o)
                                     : saveDesignAt(typed, 2, "new", o, road == HostAutosave);
            };
            if (c.reason) {
                expectRefused(run, *c.reason, typed, c.said);
                EXPECT_TRUE(c.meanwhile || c.beforeCall || files() == before) << "a refusal changes nothing";
            } else {
                // What it wrote, with the design's access, and nothing else
                // beside the design: a link at its name stays one.
                run();
                if (road < Open) { // the design the save wrote, or its copy
                    EXPECT_EQ(revisionOf(road == Autosave || road == HostAutosave ? copy.toNativeString() : path(c.file)),
                              road == Autosave ? revisionOf(path(c.file)) : "new");
                }
                EXPECT_TRUE(road != Autosave || !newerAutosaveCopy(path(c.file))) << "a copy of the design as it is";
                EXPECT_THAT(files(named.parent_path()), ::testing::Each(::testing::Key(::testing::AnyOf(
                    ::testing::Truly([&](const std::string& leaf) { return beside.contains(leaf); }),
                    TempFolder::utf8(named.filename()), copy.getLeafName())))) << "a file is left beside the design";
                EXPECT_TRUE(was.type() == fs::file_type::not_found || fs::symlink_status(named).type() == was.type());
                if (bits.type() == fs::file_type::regular) {
                    EXPECT_EQ(fs::status(named).permissions(), bits.permissions());
                    EXPECT_EQ(road == Autosave || road == HostAutosave
                                  ? fs::status(TempFolder::fromUtf8(copy.toNativeString())).permissions()
                                              : bits.permissions(),
                              bits.permissions()) << "the autosave copy";
                }
            }
            EXPECT_EQ(TempFolder::read(path("victim")), "not a design");
#ifndef _WIN32 // Windows keeps no permission bits
            EXPECT_EQ(fs::status(path("victim")).permissions() & fs::perms::all, victimBits);
            fs::permissions(folder.root(), rootBits);
#endif
            interfering.reset();
            other.reset();
            saving.reset();
#ifdef _WIN32
            if (lettingGo.valid()) {
                lettingGo.get();
            }
            held.reset();
#endif
            folder.clear();
        }
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
