// End-to-end: the reference host's commands on real design files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Demo.h"
#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/TempFolder.h"
#include "Serialization/SqliteDesignStore.h"
#include "VersionControl/VersionControl.h"

namespace zvfile {
namespace {

namespace fs = std::filesystem;
using Zorvan::SqliteDesignStore;
using Zorvan::ZvFileWriteMode;
namespace testing = Zorvan::testing;

class Host : public ::testing::Test {
protected:
    void TearDown() override { setStepHook(nullptr); }

    std::string path(const std::string& leaf) const { return folder.path(leaf); }

    int run(SaveOptions options) {
        options.progress = false;
        options.lockWait = std::chrono::milliseconds(0);
        return guarded([&] { return save(options, out); }, err);
    }
    int runAutosave(const std::string& file) {
        return guarded([&] { return autosave(file, out, std::chrono::milliseconds(0)); }, err);
    }
    // Runs `action` once, when the save road reaches `step`.
    void at(const std::string& step, std::function<void()> action) {
        setStepHook([step, action, done = std::make_shared<bool>(false)](const std::string& reached) {
            if (reached == step && !*done) {
                *done = true;
                action();
            }
        });
    }
    std::string dataRevision(const std::string& file) const {
        std::string revision;
        SqliteDesignStore::openForReading(file)->readDataRevision(revision);
        return revision;
    }
    bool said(const std::string& text) const { return err.str().find(text) != std::string::npos; }
    // Every entry of the folder with its bytes (regular files) or its kind.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(dir)) {
            files[entry.path().filename().string()] =
                entry.is_regular_file() ? testing::TempFolder::read(entry.path().string()) : "<not a regular file>";
        }
        return files;
    }

    testing::TempFolder folder;
    const fs::path& dir = folder.root();
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(Host, SaveThenReopenRoundTripsMetadataAndObjects) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 50, {}, "first", 5}), kDone) << err.str();
    const std::string build = VersionControl().getRootRevisionAsString();

    std::ostringstream shown;
    ASSERT_EQ(info(path("a.zvd"), true, shown), kDone);
    const auto report = nlohmann::json::parse(shown.str());
    const auto objects = SqliteDesignStore::openForReading(path("a.zvd"))->readAllObjects();
    ASSERT_EQ(objects.size(), 50u);
    EXPECT_EQ(report, nlohmann::json::parse(R"({"file": ")" + path("a.zvd") + R"(", "readable": true, "current": true,
        "version": )" + std::to_string(SqliteDesignStore::kCurrentVersion) + R"(, "createdRevision": ")" + build +
                                            R"(", "lastSavedRevision": ")" + build + R"(", "dataRevision": "first",
        "dataRevisionNumber": 5, "identifier": {"number": )" + std::to_string(objects.back().id() + 1) +
                                            R"(, "domain": 0}, "objects": 50})"));
    EXPECT_NE(objects.front().payload().find("saved as 'first'"), std::string::npos);
}

TEST_F(Host, OverwriteGoesThroughAFreshTemporaryFileAndKeepsTheCreatedRevision) {
    {
        auto store = SqliteDesignStore::openForWriting(path("a.zvd"));
        store->writeCreatedRevision("r0");
        store->commit();
    }
    std::ofstream(path("a.tmp.zvd")) << "left over from a crash";
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "second", 2}), kDone) << err.str();
    EXPECT_NE(out.str().find("writing through '" + path("a.tmp.zvd") + "'"), std::string::npos) << out.str();
    EXPECT_FALSE(fs::exists(path("a.tmp.zvd")));
    std::string created;
    auto store = SqliteDesignStore::openForReading(path("a.zvd"));
    store->readCreatedRevision(created);
    EXPECT_EQ(created, "r0");
    EXPECT_EQ(store->objectCount(), 20);
}

TEST_F(Host, UpdateSelectedChangesOnlyTheSelectedParts) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 40, {}, "old", 1}), kDone) << err.str();
    const auto before = SqliteDesignStore::openForReading(path("a.zvd"))->readAllObjects();
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::UpdateSelected, -1, {"valves"}, "new", 2}), kDone) << err.str();
    EXPECT_TRUE(out.str().find("writing through") == std::string::npos);

    auto store = SqliteDesignStore::openForReading(path("a.zvd"));
    const auto after = store->readAllObjects();
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].id(), before[i].id());
        const bool valve = after[i].type() == "valves";
        EXPECT_EQ(after[i].payload().find("saved as 'new'") != std::string::npos, valve) << after[i].payload();
    }
    EXPECT_EQ(store->updateCount(), 1);
}

// Every refusal is one sentence naming the file, made before anything is
// written. A FIFO or a folder at a design's name or its journal's (SQLite
// would block on them) and a name too long for the files a save puts
// beside it are refused at once by every command.
TEST_F(Host, EveryRefusalIsOneSentenceAndChangesNoFile) {
    ASSERT_EQ(run({path("locked.zvd"), ZvFileWriteMode::Overwrite, 5, {}, "", 0}), kDone);
    fs::permissions(path("locked.zvd"), fs::perms::owner_read);
    SqliteDesignStore::openForWriting(path("future.zvd"), SqliteDesignStore::kCurrentVersion + 1)->commit();
    std::ofstream(path("notes.zvd")) << "not a design\n";
    ASSERT_EQ(run({path("held.zvd"), ZvFileWriteMode::Overwrite, 5, {}, "", 0}), kDone);
    fs::create_directory(path("folder.zvd"));
    const std::string longest(255 - 8 - 4, 'n');
#ifndef _WIN32
    ASSERT_EQ(::mkfifo(path("fifo.zvd").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(path("held.zvd-journal").c_str(), 0600), 0);
#endif

    struct Case {
        std::string file;
        ZvFileWriteMode mode;
        const char* message;
        bool everyCommand; // also refused by autosave and info
    };
    const Case cases[] = {
        {"locked.zvd", ZvFileWriteMode::Overwrite, "It is not possible to overwrite a readonly file.", false},
        {"locked.zvd", ZvFileWriteMode::UpdateAll, "It is not possible to overwrite a readonly file.", false},
        {"future.zvd", ZvFileWriteMode::Overwrite, "was written by a newer version of the software", true},
        {"future.zvd", ZvFileWriteMode::UpdateAll, "was written by a newer version of the software", true},
        {"notes.zvd", ZvFileWriteMode::Overwrite, "Error reading file version.", true},
        {"missing.zvd", ZvFileWriteMode::UpdateSelected, "it does not exist", true},
        {".zvd", ZvFileWriteMode::Overwrite, "The file must have a name.", false},
        {"folder.zvd", ZvFileWriteMode::UpdateAll, "it is not a regular file", true},
        {longest + "x.zvd", ZvFileWriteMode::Overwrite, "this folder takes names of up to 255 bytes", false},
#ifndef _WIN32
        {"fifo.zvd", ZvFileWriteMode::Overwrite, "it is not a regular file", true},
        {"held.zvd", ZvFileWriteMode::Overwrite, "held.zvd-journal' is in the way", true},
#endif
    };
    const auto before = snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        err.str("");
        EXPECT_EQ(run({path(c.file), c.mode, 3, {}, "x", 1}), kRefused);
        const std::string line = err.str();
        EXPECT_NE(line.find(path(c.file)), std::string::npos) << line;
        EXPECT_NE(line.find(c.message), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
        if (c.everyCommand) {
            std::ostringstream shown;
            EXPECT_EQ(runAutosave(path(c.file)), kRefused);
            EXPECT_EQ(guarded([&] { return info(path(c.file), false, shown); }, err), kRefused);
        }
    }
    EXPECT_EQ(snapshot(), before);

    // The longest name that leaves room for the save's own files works for a
    // first save, a rewrite, an update and an autosave.
    for (const ZvFileWriteMode mode : {ZvFileWriteMode::Overwrite, ZvFileWriteMode::Overwrite, ZvFileWriteMode::UpdateAll}) {
        EXPECT_EQ(run({path(longest + ".zvd"), mode, 5, {}, "x", 1}), kDone) << err.str();
    }
    EXPECT_EQ(runAutosave(path(longest + ".zvd")), kDone) << err.str();
}

TEST_F(Host, AutosaveCopyIsMadeAndCleanedBesideTheDesign) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 7, {}, "", 0}), kDone);
    ASSERT_EQ(autosave(path("a.zvd"), out), kDone);
    ASSERT_EQ(autosave(path("a.zvd"), out), kDone) << "an older copy is replaced";
    EXPECT_EQ(SqliteDesignStore::openForReading(path("a.bak.zvd"))->objectCount(), 7);
    out.str("");
    clean(path("a.zvd"), out);
    clean(path("a.zvd"), out);
    EXPECT_EQ(out.str(), "deleted '" + path("a.bak.zvd") + "'\nno autosave copy of '" + path("a.zvd") + "'\n");
}

// One writer per design: while a save holds it, every other save or
// autosave of that design is turned away as busy (these do not wait) and
// touches nothing of the running save, which then completes.
TEST_F(Host, ASecondWriterIsRefusedAsBusyWhileASaveRuns) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "old", 1}), kDone) << err.str();
    const std::map<std::string, std::function<int()>> rivals = {
        {"rewrite", [&] { return run({path("a.zvd"), ZvFileWriteMode::Overwrite, 5, {}, "rival", 9}); }},
        {"update", [&] { return run({path("a.zvd"), ZvFileWriteMode::UpdateAll, -1, {}, "rival", 9}); }},
        {"autosave", [&] { return runAutosave(path("a.zvd")); }},
    };
    for (const ZvFileWriteMode mode : {ZvFileWriteMode::Overwrite, ZvFileWriteMode::UpdateAll}) {
        for (const auto& [name, rival] : rivals) {
            SCOPED_TRACE(name + (mode == ZvFileWriteMode::Overwrite ? " during a rewrite" : " during an update"));
            err.str("");
            int rivalCode = -1;
            at("writing", [&] {
                const auto before = snapshot();
                rivalCode = rival();
                EXPECT_EQ(snapshot(), before);
            });
            ASSERT_EQ(run({path("a.zvd"), mode, -1, {}, "first", 2}), kDone) << err.str();
            EXPECT_EQ(rivalCode, kRefused);
            EXPECT_TRUE(said("another program is saving it")) << err.str();
            EXPECT_EQ(dataRevision(path("a.zvd")), "first");
            EXPECT_FALSE(fs::exists(path("a.tmp.zvd")));
        }
    }
    // A program that updates designs without the lock, caught in the act:
    // its journal would be rolled into a new file renamed in under it.
    const std::string design = testing::TempFolder::read(path("a.zvd"));
    at("committed", [&] { folder.write("a.zvd-journal", ""); });
    EXPECT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 5, {}, "late", 3}), kRefused);
    EXPECT_TRUE(said("another program is updating it in place")) << err.str();
    EXPECT_EQ(testing::TempFolder::read(path("a.zvd")), design);
}

// Files the road creates carry the design's permission bits from before
// their first byte, and a temporary file that is swapped for a link while
// the save runs is never followed nor put in place.
TEST_F(Host, TemporaryFilesAreNeverLooserThanTheDesignNorRedirected) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "old", 1}), kDone) << err.str();
    const fs::perms privateBits = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(path("a.zvd"), privateBits);
    fs::perms seen = fs::perms::none;
    at("prepared", [&] { seen = fs::status(path("a.tmp.zvd")).permissions(); });
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "new", 2}), kDone) << err.str();
    EXPECT_EQ(seen, privateBits) << "temporary file";
    // A copy an older release left open to everybody takes the design's access too.
    folder.write("a.bak.zvd", "older copy");
    fs::permissions(path("a.bak.zvd"), fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
    at("copied", [&] { seen = fs::status(path("a.bak.tmp.zvd")).permissions(); });
    ASSERT_EQ(runAutosave(path("a.zvd")), kDone) << err.str();
    EXPECT_EQ(seen, privateBits) << "temporary autosave copy";
    EXPECT_EQ(fs::status(path("a.bak.zvd")).permissions(), privateBits);
    EXPECT_EQ(fs::status(path("a.zvd")).permissions(), privateBits);

    const std::string victim = folder.write("victim", "not yours");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    const std::string design = testing::TempFolder::read(path("a.zvd"));
    at("committed", [&] {
        fs::remove(path("a.tmp.zvd"));
        fs::create_symlink(victim, path("a.tmp.zvd"));
    });
    EXPECT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "swapped", 3}), kRefused);
    EXPECT_TRUE(said("replaced its temporary file")) << err.str();
    EXPECT_EQ(testing::TempFolder::read(victim), "not yours");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(testing::TempFolder::read(path("a.zvd")), design);
}

// Links in the folder path and a link at the design work in every mode:
// the file the link points to is saved, beside itself (also on another
// device, /dev/shm where there is one), keeping its permission bits, and
// the link stays.
TEST_F(Host, LinksInTheFolderPathAndAtTheDesignWorkInEveryMode) {
    const fs::path real = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") / dir.filename() : dir / "real";
    fs::create_directories(real);
    struct Remove {
        fs::path folder;
        ~Remove() { fs::remove_all(folder); }
    } removeReal{real};
    fs::create_directory_symlink(real, dir / "linked");
    ASSERT_EQ(run({path("linked/a.zvd"), ZvFileWriteMode::Overwrite, 8, {}, "one", 1}), kDone) << err.str();
    const fs::perms perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(real / "a.zvd", perms);
    fs::create_symlink(real / "a.zvd", path("link.zvd"));
    for (const std::string name : {"linked/a.zvd", "link.zvd"}) {
        for (const ZvFileWriteMode mode :
             {ZvFileWriteMode::Overwrite, ZvFileWriteMode::UpdateAll, ZvFileWriteMode::UpdateSelected}) {
            SCOPED_TRACE(name + " mode " + std::to_string(static_cast<int>(mode)));
            EXPECT_EQ(run({path(name), mode, -1, {"pipes"}, name, 2}), kDone) << err.str();
            EXPECT_EQ(dataRevision((real / "a.zvd").string()), name);
        }
    }
    ASSERT_EQ(runAutosave(path("linked/a.zvd")), kDone) << err.str();
    EXPECT_TRUE(fs::is_symlink(path("link.zvd")));
    EXPECT_EQ(fs::status(real / "a.zvd").permissions(), perms);
    EXPECT_EQ(std::distance(fs::directory_iterator(real), fs::directory_iterator()), 2) << "the design and its copy";
}

// A save that fails midway leaves the design, and the autosave copy, as
// they were and nothing of its own; a first save that fails leaves no file,
// and one that was killed (an empty file) never blocks the next save.
TEST_F(Host, AnInterruptedSaveLeavesNothingBehindAndBlocksNothing) {
    at("writing", [] { throw std::runtime_error("disk full"); });
    EXPECT_EQ(run({path("new.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "x", 1}), kRefused);
    EXPECT_EQ(snapshot(), (std::map<std::string, std::string>{}));

    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "old", 1}), kDone) << err.str();
    ASSERT_EQ(runAutosave(path("a.zvd")), kDone) << err.str();
    const auto before = snapshot();
    at("writing", [] { throw std::runtime_error("disk full"); });
    EXPECT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "x", 1}), kRefused);
    at("copied", [] { throw std::runtime_error("disk full"); });
    EXPECT_EQ(runAutosave(path("a.zvd")), kRefused);
    EXPECT_EQ(snapshot(), before);

    setStepHook(nullptr);
    std::ofstream(path("killed.zvd")).flush(); // what a first save killed midway leaves
    EXPECT_EQ(run({path("killed.zvd"), ZvFileWriteMode::UpdateAll, 5, {}, "x", 1}), kRefused);
    EXPECT_TRUE(said("holds no design yet")) << err.str();
    std::ostringstream shown;
    EXPECT_EQ(guarded([&] { return info(path("killed.zvd"), false, shown); }, err), kRefused);
    EXPECT_EQ(run({path("killed.zvd"), ZvFileWriteMode::Overwrite, 5, {}, "x", 1}), kDone) << err.str();
    EXPECT_EQ(dataRevision(path("killed.zvd")), "x");
}

// The file service stands in for the disk: a replace it cannot make, or a
// removal it refuses, is reported as such and never as done.
class RefusingFileSystem : public Zorvan::FileSystemWrapper {
public:
    RefusingFileSystem() : FileSystemWrapper(Zorvan::nativeFileSystem()) {}
    bool replaceFile(const Zorvan::FileName&, const Zorvan::FileName&) override { return false; }
    void remove(const Zorvan::FileName& name) override {
        throw Zorvan::FileNameException("Cannot remove '" + name.toNativeString() + "': Permission denied",
                                        name.toNativeString());
    }
};

TEST_F(Host, FailuresAreNeverReportedAsSuccess) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "old", 1}), kDone) << err.str();
    ASSERT_EQ(runAutosave(path("a.zvd")), kDone) << err.str();
    out.str("");
    const Zorvan::ScopedFileSystem refusing(std::make_shared<RefusingFileSystem>());
    EXPECT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "new", 2}), kRefused);
    EXPECT_TRUE(said("its new version cannot be put in place; the design is left as it was.")) << err.str();
    EXPECT_EQ(guarded([&] { return clean(path("a.zvd"), out); }, err), kRefused);
    EXPECT_TRUE(said("cannot delete '" + path("a.bak.zvd") + "'")) << err.str();
    EXPECT_EQ(out.str().find("saved"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("deleted"), std::string::npos) << out.str();
    EXPECT_EQ(dataRevision(path("a.zvd")), "old");
}

TEST_F(Host, DemoTellsTheWholeStory) {
    EXPECT_EQ(demo((dir / "demo").string(), out, err), kDone) << out.str() << err.str();
}

} // namespace
} // namespace zvfile
