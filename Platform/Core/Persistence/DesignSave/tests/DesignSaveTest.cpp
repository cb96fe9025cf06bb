// The save API on real files: the road it runs, what it leaves when it is
// interrupted, raced or tampered with, and every refusal and misuse reported.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "DesignSaveFixture.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using Mode = ZvFileWriteMode;
using testing::DesignSaveTest;
using testing::TempFolder;

// A first save, a rewrite and an update, each dropped once without its
// commit (the host forgot, or failed midway) and then run to the end. The
// dropped save changes nothing, removes what it made (a first save leaves
// no file, the others the design and its autosave copy as they were) and
// keeps no share of the design it read. While the other runs,
// at every step, every other save or autosave of the design is refused as
// busy and touches nothing. A first save writes a temporary file like a
// rewrite, so that one killed midway leaves only the empty file the lock
// holds; a rewrite is not held up by one a crash left and keeps the
// revision the design was created with. A module still held at the commit
// is closed all the same, and any use of a save after its commit is
// reported.
TEST_F(DesignSaveTest, OneSaveAtATimeAndNoTraceOfOneNotCommitted) {
    const auto busy = refusal(DesignRefusal::Busy, "another program is saving it; try again when it is done.");
    const auto rivalsAreBusy = [&] {
        const auto before = files();
        for (const Mode rival : {Mode::Overwrite, Mode::UpdateAll}) {
            EXPECT_EQ(refusalOf([&] { (void)DesignSave::begin(path("a.zvd"), options(rival)); }), busy);
        }
        EXPECT_EQ(refusalOf([&] { (void)writeAutosaveCopy(path("a.zvd"), options()); }),
                  std::make_pair(DesignRefusal::Busy, "cannot write the autosave copy of '" + path("a.zvd") +
                                                          "': another program is saving it; try again when it is done."));
        EXPECT_EQ(files(), before);
    };
    std::string revision; // the software revision the last save reported
    for (const Mode mode : {Mode::Overwrite, Mode::Overwrite, Mode::UpdateAll}) {
        const auto before = files();
        SCOPED_TRACE(std::string(before.empty() ? "new" : "existing") + " design, mode " + std::to_string(mode));
        {
            DesignSave dropped = DesignSave::begin(path("a.zvd"), options(mode));
            std::int64_t visited = 0;
            dropped.forEachObject([&](const SerializationTransferObject& existing) {
                EXPECT_TRUE(existing.payload().empty()) << "a walk reads no payloads";
                return ++visited > 0;
            });
            EXPECT_EQ(visited, dropped.objectCount());
            EXPECT_EQ(visited > 0, !before.empty());
            EXPECT_EQ(dropped.writtenFile().toNativeString(), path(mode == Mode::Overwrite ? "a.tmp.zvd" : "a.zvd"));
            DesignIOModule module = dropped.module(true);
            SerializationTransferObject object(Identifier::create().number, "Pipe", "lost");
            module.save(object);
            dropped.createGroup();
        }
        EXPECT_EQ(files(), before);
        if (mode == Mode::Overwrite) {
            folder.write("a.tmp.zvd", "left over from a crash");
        }
        {
            DesignSave save = DesignSave::begin(path("a.zvd"), options(mode, "", rivalsAreBusy));
            DesignIOModule kept = save.module(true);
            SerializationTransferObject object(Identifier::create().number, "Pipe", "saved");
            kept.save(object);
            revision = save.commit("saved in mode " + std::to_string(mode), 1).revision;
            rivalsAreBusy(); // the new version is this save's until it ends
            SerializationTransferObject late(Identifier::create().number, "Pipe", "late");
            EXPECT_THROW(kept.save(late), DesignRefusedException);
            EXPECT_THROW((void)save.module(true), std::logic_error);
            EXPECT_THROW((void)save.commit("again", 2), std::logic_error);
        }
        if (before.empty()) {
            const auto store = SqliteDesignStore::openForWriting(path("a.zvd"));
            store->writeCreatedRevision("r0");
            store->commit();
            (void)writeAutosaveCopy(path("a.zvd"), options());
        }
    }
    const OpenedDesign opened = openDesign(path("a.zvd"));
    EXPECT_TRUE(opened.readable && opened.current);
    EXPECT_EQ(opened.createdRevision, "r0");
    EXPECT_EQ(opened.lastSavedRevision, revision);
    EXPECT_NE(revision, "");
    EXPECT_EQ(revisionOf(path("a.zvd")), "saved in mode " + std::to_string(Mode::UpdateAll));
    EXPECT_EQ(opened.store->objectCount(), 2);
    EXPECT_EQ(opened.store->updateCount(), 1);
    EXPECT_EQ(files().size(), 2u) << "nothing but the design and its autosave copy";
}

// Every refusal is one sentence naming the file, made before anything is
// written. A FIFO or a folder at a design's name or its journal's (the
// store would block on them) and a name or path too long for the files a
// save puts beside it are refused at once, also by an autosave and by
// opening.
TEST_F(DesignSaveTest, EveryRefusalSaysWhyAndChangesNoFile) {
    saveDesign("locked.zvd", 1, "");
    fs::permissions(path("locked.zvd"), fs::perms::owner_read);
    SqliteDesignStore::openForWriting(path("future.zvd"), SqliteDesignStore::kCurrentVersion + 1)->commit();
    folder.write("notes.zvd", "not a design\n");
    folder.write("killed.zvd", ""); // what a first save killed midway leaves
    saveDesign("held.zvd", 1, "");
    fs::create_directory(path("folder.zvd"));
    const std::string longest(255 - 8 - 4, 'n');
#ifndef _WIN32
    ASSERT_EQ(::mkfifo(path("fifo.zvd").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(path("held.zvd-journal").c_str(), 0600), 0);
    const std::string level(200, 'd');
    const std::string deep = level + "/" + level + "/" + level;
    fs::create_directories(path(deep));
#endif

    using enum DesignRefusal;
    const std::tuple<std::string, Mode, DesignRefusal, std::string, bool> cases[] = {
        // the file, how it is saved, the reason and message, and whether an autosave and opening refuse it too
        {"locked.zvd", Mode::Overwrite, ReadOnly, "It is not possible to overwrite a readonly file.", false},
        {"locked.zvd", Mode::UpdateAll, ReadOnly, "It is not possible to overwrite a readonly file.", false},
        {"locked.zvd", Mode::UpdateSelected, ReadOnly, "It is not possible to overwrite a readonly file.", false},
        {"future.zvd", Mode::Overwrite, Newer, "was written by a newer version of the software", true},
        {"future.zvd", Mode::UpdateAll, Newer, "was written by a newer version of the software", true},
        {"notes.zvd", Mode::Overwrite, NotADesign, "Error reading file version.", true},
        {"killed.zvd", Mode::UpdateAll, NoDesignYet, "holds no design yet", true},
        {"missing.zvd", Mode::UpdateSelected, Missing, "it does not exist", true},
        {".zvd", Mode::Overwrite, NoName, "The file must have a name.", false},
        {"folder.zvd", Mode::UpdateAll, NotRegularFile, "it is not a regular file", true},
        {longest + "x.zvd", Mode::Overwrite, NameTooLong, "this folder takes names of up to 255 bytes", false},
#ifndef _WIN32
        {"fifo.zvd", Mode::Overwrite, NotRegularFile, "it is not a regular file", true},
        {"held.zvd", Mode::Overwrite, NotADesign, "held.zvd-journal' is in the way", true},
        {deep + "/a.zvd", Mode::Overwrite, NameTooLong, "its full path is too long", false},
#endif
    };
    const auto before = files();
    for (const auto& [file, mode, reason, message, everyRoad] : cases) {
        SCOPED_TRACE(file + " mode " + std::to_string(mode));
        const auto [refused, said] = refusalOf([&] { (void)DesignSave::begin(path(file), options(mode)); });
        EXPECT_EQ(refused, reason);
        EXPECT_NE(said.find(path(file)), std::string::npos) << said;
        EXPECT_NE(said.find(message), std::string::npos) << said;
        EXPECT_EQ(said.find('\n'), std::string::npos) << said;
        if (everyRoad) {
            (void)refusalOf([&] { (void)writeAutosaveCopy(path(file), options()); });
            (void)refusalOf([&] { openDesign(path(file)).requireReadable(path(file)); });
        }
    }
    EXPECT_EQ(files(), before);
    // The empty file a killed first save left is simply replaced.
    saveDesign("killed.zvd", 1, "x");
    EXPECT_EQ(revisionOf(path("killed.zvd")), "x");
}

// Names beyond ASCII, of the folder and of the design, work on every road:
// a first save, rewrites, updates in place, an autosave and opening. (On
// Windows they go through the wide-character API; a conversion to the local
// code page on the way would garble or refuse them.) So do, where there are
// symbolic links, a link in the folder path and one at the design: the file
// it leads to is saved beside itself (also on another device, /dev/shm where
// there is one), keeping its permission bits, and the link stays; and the
// longest name that leaves room for the save's own files.
TEST_F(DesignSaveTest, EveryKindOfNameWorksOnEveryRoad) {
    std::vector<std::pair<std::string, fs::path>> names; // the name, the file saved
    for (const auto& [subfolder, leaf] : {std::pair<std::string, std::string>{"Pläne", "Pumpe Ü.zvd"},
                                          {"設計", "ポンプ.zvd"}, {"Αντλίες", "αντλία.zvd"}}) {
        fs::create_directory(TempFolder::fromUtf8(path(subfolder)));
        names.emplace_back(subfolder + "/" + leaf, TempFolder::fromUtf8(path(subfolder + "/" + leaf)));
    }
#ifndef _WIN32
    const fs::path real =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") / folder.root().filename() : folder.root() / "real";
    fs::create_directories(real);
    const std::shared_ptr<void> removeReal(nullptr, [&](void*) { fs::remove_all(real); });
    fs::create_directory_symlink(real, folder.root() / "linked");
    saveDesign("linked/a.zvd", 2, "one");
    const fs::perms perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(real / "a.zvd", perms);
    fs::create_directory(path("long"));
    fs::create_directory(path("links"));
    fs::create_symlink(real / "a.zvd", path("links/link.zvd"));
    const std::string longest = "long/" + std::string(255 - 8 - 4, 'n') + ".zvd";
    names.insert(names.end(), {{"linked/a.zvd", real / "a.zvd"}, {"links/link.zvd", real / "a.zvd"}, {longest, path(longest)}});
#endif
    for (const auto& [name, saved] : names) {
        for (const Mode mode : {Mode::Overwrite, Mode::Overwrite, Mode::UpdateAll, Mode::UpdateSelected}) {
            SCOPED_TRACE(name + " mode " + std::to_string(mode));
            saveDesign(name, 1, name + " " + std::to_string(mode), options(mode));
            EXPECT_EQ(revisionOf(TempFolder::utf8(saved)), name + " " + std::to_string(mode));
        }
        const FileName copy = writeAutosaveCopy(path(name), options());
        EXPECT_EQ(revisionOf(copy.toNativeString()), revisionOf(TempFolder::utf8(saved)));
        EXPECT_TRUE(openDesign(path(name)).readable);
        const fs::path named = TempFolder::fromUtf8(path(name));
        const auto left = files(named.parent_path());
        EXPECT_TRUE(left.size() == 2 && left.contains(copy.getLeafName()) &&
                    left.contains(TempFolder::utf8(named.filename())))
            << name << ": the design and its copy alone";
    }
#ifndef _WIN32
    EXPECT_TRUE(fs::is_symlink(path("links/link.zvd")));
    EXPECT_EQ(fs::status(real / "a.zvd").permissions(), perms);
    EXPECT_EQ(files(real).size(), 2u) << "the design and its copy";
#endif
}

} // namespace
} // namespace Zorvan
