// The save API on real files: the edges of a host's session, each a row:
// what it leaves when a save is dropped, raced or misused, and how every
// refusal and misuse is reported.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

#ifdef _WIN32
#include "Common/WindowsApi.h"
#include "FileHandling/testing/HeldOpen.h"
#else
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "DesignSaveFixture.h"
#include "FileHandling/Env.h"
#include "Serialization/testing/Damage.h"
#include "Serialization/testing/OtherProgram.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using Mode = ZvFileWriteMode;
using testing::DesignSaveTest;

// The edges of a host's session, each a row: what the host does, how the
// road ends it (a refusal with its reason and its cause as data, or a
// std::logic_error for misuse) and a part of the sentence. A save dropped
// without its commit changes nothing and removes what it made; while a save
// runs, at every step, every other save or autosave of the design is refused
// as busy, naming this program, and touches nothing; a rewrite is not held
// up by the temporary file a crash left and keeps the revision the design
// was created with. This program's own read handle and its own saves never
// pass for another program's; an autosave gives way to a save of another
// thread; parts and saves used after their end, or moved from, are misuse;
// cancel() leaves the design as it was; start-up finds a copy only when it
// holds what the design does not; identities are never handed out twice.
static_assert(std::is_copy_assignable_v<DesignPart> && std::is_move_assignable_v<DesignPart>);

TEST_F(DesignSaveTest, EveryEdgeOfASessionEndsAsItSays) {
    using enum DesignRefusal;
    const auto designHolds = [&](const std::string& revision, std::int64_t objects) {
        const OpenedDesign opened = openDesign(path("a.zvd"));
        EXPECT_EQ(opened.dataRevision + " " + std::to_string(opened.objectCount), revision + " " + std::to_string(objects));
    };
    const auto saveOf = [&](const EditSession& session, const DesignSaveOptions& o, const std::string& revision) {
        DesignSave save = session.save(o);
        save.part().save({Identifier::create().number, "Pipe", revision});
        (void)save.commit(revision, 1);
    };
    const auto update = [&](Mode mode, const std::function<void(DesignPart&)>& edit) {
        DesignSave save = DesignSave::begin(path("a.zvd"), options(mode));
        DesignPart part = save.part();
        part = save.part(false); // a host keeps its parts in members it assigns
        edit(part);
        (void)save.commit("updated", 2);
    };
    const std::string here = "': this program is saving or autosaving it already; try again when that save has ended.";
    const auto rivalsAreBusy = [&] {
        const auto before = files();
        for (const Mode rival : {Mode::Overwrite, Mode::UpdateAll}) {
            expectRefused([&] { (void)DesignSave::begin(path("a.zvd"), options(rival)); }, Busy, path("a.zvd"),
                          "cannot save '" + path("a.zvd") + here);
        }
        expectRefused([&] { (void)writeAutosaveCopy(path("a.zvd"), options()); }, Busy, path("a.zvd"),
                      "cannot write the autosave copy of '" + path("a.zvd") + here);
        EXPECT_EQ(files(), before);
    };
    struct Row {
        const char* edge;
        std::function<void()> run;
        Ending::Kind kind = Ending::Done;
        DesignRefusal reason = Failed;
        std::optional<std::error_code> cause = {};
        std::string says = {};
    };
    const Row rows[] = {
        {"a first save, a rewrite and an update dropped without their commit",
         [&] {
             for (const auto& [leaf, mode] : {std::pair{"new.zvd", Mode::Overwrite}, std::pair{"a.zvd", Mode::Overwrite},
                                              std::pair{"a.zvd", Mode::UpdateAll}}) {
                 const auto before = files();
                 {
                 DesignSave dropped = DesignSave::begin(path(leaf), options(mode));
                 std::int64_t visited = 0;
                 dropped.forEachObject([&](const SerializationTransferObject& existing) {
                     EXPECT_TRUE(existing.payload().empty()) << "a walk reads no payloads";
                     return ++visited > 0;
                 });
                 EXPECT_EQ(visited, leaf == std::string("a.zvd") ? dropped.objectCount() : 0);
                 EXPECT_EQ(dropped.writtenFile().toNativeString(),
                           mode == Mode::Overwrite ? path(leaf).replace(path(leaf).size() - 4, 0, ".tmp") : path(leaf));
                 dropped.part().save({Identifier::create().number, "Pipe", "lost"});
                 dropped.createGroup();
                 }
                 EXPECT_EQ(files(), before);
             }
         }},
        {"a rewrite over a crash's temporary file, then an update, each keeping every rival out to its end",
         [&] {
             {
                 const auto store = SqliteDesignStore::openForWriting(path("a.zvd"));
                 store->writeCreatedRevision("r0");
                 store->commit();
             }
             (void)writeAutosaveCopy(path("a.zvd"), options());
             folder.write("a.tmp.zvd", "left over from a crash");
             std::string revision;
             for (const Mode mode : {Mode::Overwrite, Mode::UpdateAll}) {
                 DesignSave save = DesignSave::begin(path("a.zvd"), options(mode, "", rivalsAreBusy));
                 save.part().save({Identifier::create().number, "Pipe", "saved"});
                 revision = save.commit("saved in mode " + std::to_string(mode), 1).revision;
                 rivalsAreBusy(); // the new version is this save's until it ends
                 EXPECT_THROW((void)save.part(), std::logic_error);
                 EXPECT_THROW((void)save.commit("again", 2), std::logic_error);
             }
             const OpenedDesign opened = openDesign(path("a.zvd"));
             EXPECT_TRUE(opened.readable && opened.current);
             EXPECT_EQ(opened.createdRevision + " " + opened.lastSavedRevision, "r0 " + revision);
             EXPECT_NE(revision, "");
             designHolds("saved in mode " + std::to_string(Mode::UpdateAll), 2);
             EXPECT_EQ(opened.store->updateCount(), 1);
             EXPECT_FALSE(files().contains("a.tmp.zvd"));
         }},
        {"this program's read handle stays open during an update in place",
         [&] {
             const OpenedDesign kept = openDesign(path("a.zvd"), {.intent = DesignIntent::Edit});
             update(Mode::UpdateAll, [](DesignPart& part) { part.save({Identifier::create().number, "Pipe", ""}); });
             EXPECT_EQ(kept.store->objectCount(), 4) << "the handle reads on, the new version";
         }},
        {"update in place removes what the host deleted, a part not selected nothing",
         [&] {
             std::vector<std::int64_t> stored;
             openDesign(path("a.zvd")).forEachObject([&](const SerializationTransferObject& o) {
                 stored.push_back(o.id());
                 return true;
             });
             update(Mode::UpdateSelected, [&](DesignPart& part) { EXPECT_FALSE(part.remove(stored[0])); });
             update(Mode::UpdateAll, [&](DesignPart& part) {
                 EXPECT_TRUE(part.remove(stored[0]));
                 EXPECT_FALSE(part.remove(stored[0]));
             });
             designHolds("updated", 2);
         }},
        {"a save of the session supersedes its autosave at once, on this thread or another",
         [&] {
             const EditSession session = EditSession::open(path("a.zvd"));
             (void)session.autosave(session.snapshot(), options()).commit("autosaved", 0);
             DesignSave copy = session.autosave(session.snapshot(), options());
             DesignPart part = copy.part();
             saveOf(session, options(), "saved");
             EXPECT_FALSE(files().contains("a.bak.zvd")) << "the design holds every edit the copy held";
             std::thread([&] { EXPECT_NO_THROW(saveOf(session, options(), "saved")); }).join();
             designHolds("saved", 1);
             part.save({Identifier::create().number, "Pipe", "autosaved"});
         },
         Ending::Refused, Busy, std::make_error_code(std::errc::operation_canceled), "the autosave gave way to it"},
        {"an editor is told who holds the design, and every road by name is refused the same way; reading is not",
         [&] {
#ifndef _WIN32
             folder.write("victim", "kept");
             fs::create_symlink(path("victim"), path("a.zvd.editor")); // removed, never followed
#endif
             std::optional<EditSession> first(EditSession::open(path("a.zvd")));
             const std::string who = currentUserName() + " has it open for editing on " + machineName() + " since ";
             const auto before = files();
             for (const auto& road : std::vector<std::function<void()>>{
                      [&] { (void)EditSession::open(path("a.zvd")); },
                      [&] { (void)DesignSave::begin(path("a.zvd"), options()); },
                      [&] { (void)DesignSave::begin(path("a.zvd"), options(Mode::UpdateAll)); },
                      [&] { (void)writeAutosaveCopy(path("a.zvd"), options()); },
                      [&] { (void)removeAutosaveCopy(path("a.zvd"), options()); },
                      [&] { (void)DesignSave::recoverAutosave(path("a.zvd"), options()); }}) {
                 expectRefused(road, Claimed, path("a.zvd"), who);
             }
             EXPECT_EQ(files(), before);
             EXPECT_TRUE(openDesign(path("a.zvd")).readable);
             (void)first->autosave(first->snapshot(), options()).commit("autosaved", 0);
             first->close();
             EXPECT_FALSE(files().contains("a.bak.zvd")) << "closed: the edits were saved or discarded";
             first.reset();
#ifndef _WIN32
             fs::create_hard_link(path("victim"), path("a.zvd.editor")); // another name of a file: never written
             EditSession::open(path("a.zvd")).close();
             EXPECT_EQ(testing::TempFolder::read(path("victim")), "kept");
             if (::geteuid() == 0) { // what a crashed editor of another user left claims nothing
                 folder.write("a.zvd.editor", "mallory\nelsewhere\nlong ago\n");
                 ASSERT_EQ(::chown(path("a.zvd.editor").c_str(), 65534, 65534), 0);
             }
#endif
             EditSession::open(path("a.zvd")).close();
             EXPECT_EQ(files().count("a.zvd.editor"), 0u) << "the claim goes with its session";
         }},
        {"a save of what the session opened, after another program committed to it, replaced or removed it",
         [&] {
             for (const auto& change : std::vector<std::function<void()>>{
                      [&] { // another program of this software
                          testing::OtherProgram(path("a.zvd")).run("UPDATE zv_metadata SET identifier_number = 9"),
                              testing::damage::restampChecksums(path("a.zvd")); },
                      [&] { fs::copy_file(path("a.zvd"), path("b.zvd")), fs::rename(path("b.zvd"), path("a.zvd")); },
                      [&] { fs::remove(path("a.zvd")); }}) {
                 const EditSession session = EditSession::open(path("a.zvd"));
                 session.design().store->close(); // Windows: no handle of this process keeps others out
                 change();
                 for (const Mode mode : {Mode::Overwrite, Mode::UpdateAll}) {
                     expectRefused([&] { (void)session.save(options(mode)); }, Interfered, path("a.zvd"),
                                   "another program saved, replaced or removed it since it was opened");
                 }
                 expectRefused([&] { (void)session.autosave(session.snapshot(), options()); }, Interfered,
                               path("a.zvd"), "since it was opened");
                 DesignSaveOptions overwrite = options();
                 overwrite.overwriteChanges = true;
                 saveOf(session, overwrite, "kept");
                 saveOf(session, options(), "old"); // the session knows its own save
             }
         }},
        {"a save of the session after the objects an autosave copies were taken, before the autosave begins or "
         "while it writes them: the autosave gives way, and leaves no copy older than the design",
         [&] {
             const EditSession session = EditSession::open(path("a.zvd"));
             for (const char* step : {"", "committed"}) { // "": before the autosave begins
                 SCOPED_TRACE(step);
                 const SaveToken copied = session.snapshot();
                 const std::function<void()> saveMeanwhile = [&] {
                     std::thread([&] { EXPECT_NO_THROW(saveOf(session, options(), "saved")); }).join();
                 };
                 if (*step == '\0') {
                     saveMeanwhile();
                 }
                 const Ending autosaved = endingOf([&] {
                     DesignSave copy = session.autosave(copied, options(Mode::Overwrite, step, *step ? saveMeanwhile : nullptr));
                     copy.part().save({Identifier::create().number, "Pipe", "autosaved"});
                     (void)copy.commit("autosaved", 0);
                 });
                 EXPECT_EQ(autosaved.kind, Ending::Refused) << autosaved.said;
                 EXPECT_EQ(autosaved.reason, Busy) << autosaved.said;
                 EXPECT_FALSE(newerAutosaveCopy(path("a.zvd")));
             }
         }},
        {"a save moved from",
         [&] {
             DesignSave save = DesignSave::begin(path("a.zvd"), options());
             const DesignSave taken = std::move(save);
             (void)save.part(); // NOLINT(bugprone-use-after-move): the misuse under test
         },
         Ending::Misused, Failed, {}, "moved from"},
        {"a write mode no save knows", [&] { (void)DesignSave::begin(path("no/a.zvd"), options(static_cast<Mode>(7))); },
         Ending::Misused, Failed, {}, "7 is no ZvFileWriteMode"},
        {"a part after its save was committed",
         [&] {
             DesignSave save = DesignSave::begin(path("a.zvd"), options(Mode::UpdateAll));
             DesignPart part = save.part();
             (void)save.commit("committed", 3);
             part.save({Identifier::create().number, "Pipe", "late"});
         },
         Ending::Misused, Failed, {}, "after its save was committed, cancelled or dropped"},
        {"cancel() leaves the design as it was",
         [&] {
             const auto before = files();
             DesignSave save = DesignSave::begin(path("a.zvd"), options());
             save.part().save({Identifier::create().number, "Pipe", "cancelled"});
             save.cancel();
             EXPECT_EQ(files(), before);
             (void)save.commit("cancelled", 4);
         },
         Ending::Misused, Failed, {}, "called after cancel()"},
        {"an identity saved twice",
         [&] {
             DesignSave save = DesignSave::begin(path("a.zvd"), options());
             DesignPart part = save.part();
             part.save({7, "Pipe", "once"});
             part.save({7, "Pipe", "twice"});
         },
         Ending::Refused, Failed, std::error_code(1555, designStoreCategory()), // SQLITE_CONSTRAINT_PRIMARYKEY
         "cannot save '" + path("a.zvd") + "': two of its objects have the identity 7; nothing was saved."},
        {"a counter behind the identities (an older or damaged writer stored 3, NULL or text) reserves them all",
         [&] {
             for (const char* stored : {"3", "NULL", "'zz'"}) {
                 const std::int64_t largest = Identifier::create().number + 1000;
                 {
                     const auto store = SqliteDesignStore::openForWriting(path("a.zvd"));
                     SerializationTransferObject object(largest, "Pipe", "kept");
                     store->insert(object);
                     store->commit();
                 }
                 EXPECT_EQ(testing::OtherProgram(path("a.zvd")).run(
                               std::string("UPDATE zv_metadata SET identifier_number = ") + stored),
                           "-");
                 testing::damage::restampChecksums(path("a.zvd")); // as the older writer left it
                 EXPECT_GT(openDesign(path("a.zvd")).store ? Identifier::create().number : 0, largest) << stored;
             }
         }},
        {"a newer design looked at", [&] { EXPECT_FALSE(openDesign(path("future.zvd"), {.lookAtNewer = true}).readable); }},
        {"a newer design looked at for editing",
         [&] { (void)openDesign(path("future.zvd"), {.intent = DesignIntent::Edit, .lookAtNewer = true}); },
         Ending::Refused, Newer, {}, "was written by a newer version of the software"},
        {"recovery: none, one a save made obsolete (at once, whatever the clock), one after the last save, decided "
         "under the design's lock",
         [&] {
             EXPECT_FALSE(newerAutosaveCopy(path("a.zvd")));
             saveDesign("a.zvd", 2, "edited", options(), true);
             saveDesign("a.zvd", 3, "saved");
             EXPECT_FALSE(newerAutosaveCopy(path("a.zvd")) || DesignSave::recoverAutosave(path("a.zvd"), options()));
             saveDesign("a.zvd", 2, "edited", options(), true);
             EXPECT_EQ(newerAutosaveCopy(path("a.zvd"))->toNativeString(), path("a.bak.zvd"));
             std::optional<DesignSave> saving(DesignSave::begin(path("a.zvd"), options()));
             std::optional<RecoveredCopy> recovered;
             std::thread recovery([&] {
                 DesignSaveOptions waiting = options();
                 waiting.lockWait = std::chrono::seconds(30);
                 // A note taking nothing, as hosts wrote one before a wait gave its reason.
                 waiting.onWait = [&] { (void)saving->commit("saved meanwhile", 1), saving.reset(); };
                 recovered = DesignSave::recoverAutosave(path("a.zvd"), waiting);
             });
             recovery.join();
             EXPECT_FALSE(recovered);
             designHolds("saved meanwhile", 0);
             saveDesign("a.zvd", 2, "edited", options(), true);
             recovered = DesignSave::recoverAutosave(path("a.zvd"), options());
             EXPECT_EQ(recovered->copy + " " + std::to_string(recovered->objectCount), path("a.bak.zvd") + " 2");
             designHolds("edited", 2);
             EXPECT_FALSE(files().contains("a.bak.zvd"));
#ifndef _WIN32
             if (::geteuid() == 0) { // a copy another user planted, with the origin it would record
                 saveDesign("a.zvd", 1, "planted", options(), true);
                 ASSERT_EQ(::chown(path("a.bak.zvd").c_str(), 65534, 65534), 0);
                 expectRefused([&] { (void)DesignSave::recoverAutosave(path("a.zvd"), options()); }, ForeignFile,
                               path("a.bak.zvd"), "belongs to " + userName(65534) + ", who is neither");
             }
#endif
         }},
        {"recovery as an editor opens a design never saved, or finds nothing to recover in a design at the copy's "
         "name, which its save and close leave and a recovery by name refuses",
         [&] {
             saveDesign("new.zvd", 1, "unsaved", options(), true);
             EXPECT_FALSE(fs::exists(path("new.zvd"))) << "the name it held while it autosaved";
             EXPECT_EQ(EditSession::open(path("new.zvd")).design().objectCount, 1);
             saveDesign("a.bak.zvd", 1, "planted");
             const Ending editing = endingOf([&] {
                 EditSession session = EditSession::open(path("a.zvd"));
                 EXPECT_FALSE(session.recovered());
                 (void)session.save(options()).commit("saved", 0); // its save and close leave that design as it is
                 session.close();
             });
             EXPECT_EQ(editing.kind, Ending::Done) << editing.said;
             (void)DesignSave::recoverAutosave(path("a.zvd"), options());
         },
         Ending::Refused, ForeignFile, {}, "a.bak.zvd' at its autosave copy's name is not an autosave copy of it"},
#ifndef _WIN32
        {"an editor in another process, then killed holding the design, which is free at once",
         [&] {
             std::array<int, 2> ready{};
             ASSERT_EQ(::pipe(ready.data()), 0);
             const pid_t editor = ::fork();
             if (editor == 0) {
                 const EditSession held = EditSession::open(path("a.zvd"));
                 (void)!::write(ready[1], "r", 1);
                 ::pause();
             }
             char byte = 0;
             ASSERT_EQ(::read(ready[0], &byte, 1), 1);
             expectRefused([&] { (void)EditSession::open(path("a.zvd")); }, Claimed, path("a.zvd"),
                           currentUserName() + " has it open for editing on " + machineName());
             ::kill(editor, SIGKILL);
             ASSERT_EQ(::waitpid(editor, nullptr, 0), editor);
             ::close(ready[0]), ::close(ready[1]);
             EditSession::open(path("a.zvd")).close();
         }},
        // As a child that never execs does when it returns from main: it
        // lets go of its memory and nothing else.
        {"a forked child drops this program's update in place, rewrite, first save and read handle",
         [&] {
             saveDesign("b.zvd", 300, "old");
             saveDesign("c.zvd", 3, "read");
             std::optional<OpenedDesign> reading = openDesign(path("c.zvd"));
             std::optional<DesignSave> saves[] = {DesignSave::begin(path("a.zvd"), options(Mode::UpdateAll)),
                                                  DesignSave::begin(path("b.zvd"), options()),
                                                  DesignSave::begin(path("new.zvd"), options())};
             for (std::optional<DesignSave>& save : saves) {
                 DesignPart part = save->part();
                 for (int i = 0; i < 300; ++i) {
                     part.save({Identifier::create().number, "Pipe", "parent"});
                 }
             }
             if (::fork() == 0) {
                 std::ranges::for_each(saves, [](std::optional<DesignSave>& save) { save.reset(); });
                 reading.reset();
                 ::_exit(0);
             }
             ASSERT_GT(::wait(nullptr), 0);
             // The read lock the child shared is still this program's.
             EXPECT_EQ(testing::OtherProgram(path("c.zvd")).run("BEGIN EXCLUSIVE"), "error 5");
             std::ranges::for_each(saves, [](std::optional<DesignSave>& save) { (void)save->commit("parent", 1); });
             EXPECT_EQ(revisionOf(path("a.zvd")) + revisionOf(path("b.zvd")) + revisionOf(path("new.zvd")), "parentparentparent");
             EXPECT_EQ(files().size(), 5u) << "the designs alone";
         }},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.edge);
        folder.clear();
        saveDesign("a.zvd", 3, "old");
        SqliteDesignStore::openForWriting(path("future.zvd"), SqliteDesignStore::kCurrentVersion + 1)->commit();
        const Ending ended = endingOf(row.run);
        EXPECT_EQ(ended.kind, row.kind) << ended.said;
        EXPECT_NE(ended.said.find(row.says), std::string::npos) << ended.said;
        if (row.kind == Ending::Refused) {
            EXPECT_EQ(ended.reason, row.reason) << ended.said;
            EXPECT_EQ(named(ended.cause), named(row.cause))
                << ended.said;
        }
        (void)DesignSave::begin(path("a.zvd"), options()); // nothing of the row holds the design
    }
}

} // namespace
} // namespace Zorvan
