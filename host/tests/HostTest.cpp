// End-to-end: the reference host's commands on real design files and what
// they print. The save road they drive is tested with the save API itself.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Demo.h"
#include "SampleDesign.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"
#include "Platform/Core/Persistence/DesignSave/EditSession.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "FileHandling/Env.h"
#include "FileHandling/testing/CrashEnv.h"
#ifdef _WIN32
#include "FileHandling/testing/HeldOpen.h"
#endif
#include "FileHandling/testing/TempFolder.h"
#include "FileLock/FileLock.h"
#include "Identifier/Identifier.h"
#include "Serialization/SqliteDesignStore.h"
#include "VersionControl/VersionControl.h"
#include "Serialization/testing/StoredObjects.h"

// The steps of a save mean nothing to these tests.
void zvfile::stepReached(std::string_view) {}

namespace zvfile {
namespace {

using Zorvan::SqliteDesignStore;
using Zorvan::ZvFileWriteMode;
using Zorvan::testing::TempFolder;
using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Matcher;
using ::testing::StartsWith;

struct Host : ::testing::Test {
    std::string path(const std::string& leaf) const { return folder.path(leaf); }
    // A save as the command line hands it over, reporting to `to` (out unless said).
    int save(Invocation invocation, std::ostream* to = nullptr) {
        invocation.command = Command::Save;
        return run(invocation, to != nullptr ? *to : out, err);
    }

    TempFolder folder;
    std::ostringstream out, err;
};

// The native disk, on which a removal does what the test says (given the
// native removal to call) and the read locks SQLite takes, shared locks on
// its shared range, are counted.
struct Disk final : Zorvan::EnvWrapper {
    using Removal = std::function<std::error_code(const std::function<std::error_code()>& remove)>;
    explicit Disk(Removal onRemove = {}) : EnvWrapper(Zorvan::Env::native()), removal(std::move(onRemove)) {}
    std::error_code remove(const Zorvan::EnvHandle& folder, const std::string& leaf) override {
        const std::function<std::error_code()> native = [&] { return EnvWrapper::remove(folder, leaf); };
        return removal ? removal(native) : native();
    }
    std::error_code lock(const Zorvan::EnvHandle& file, Zorvan::ByteRange range, Lock kind) override {
        readLocks += kind == Lock::Shared && range.offset == 0x40000002 ? 1 : 0;
        return EnvWrapper::lock(file, range, kind);
    }
    Removal removal;
    std::atomic<int> readLocks{0};
};

// A design written by the store alone, as an older release or the library's
// fixed-name primitives leave it: `objects` objects over every part stamped
// `revision`, the identity counter at `counter` in `domain`.
void writeDesign(const std::string& file, std::int64_t objects, const std::string& revision, std::int64_t counter,
                 std::int16_t domain = 0) {
    const auto store = SqliteDesignStore::openForWriting(file);
    for (std::int64_t id = 1; id <= objects; ++id) {
        auto object = sampleObject(id, static_cast<std::size_t>(id) % kParts.size(), revision);
        store->insert(object);
    }
    store->writeDataRevision(revision);
    store->writeMaxIdentifier(counter, domain);
    store->commit();
}

// The line that reports a save is out before the design is let go, so that
// the report of a rival waiting for it never comes first (seen on an update
// in place: after a rewrite the name holds a new file, which only a rival
// that comes later could lock).
TEST_F(Host, ASaveSaysSoBeforeItLetsTheDesignGo) {
    // Notes what is out at each flush made while the design is still held.
    struct Output : std::stringbuf {
        std::string design, outWhileHeld;
        int sync() override {
            try {
                (void)Zorvan::DesignSave::begin(design, {ZvFileWriteMode::UpdateAll, 0ms});
            } catch (const Zorvan::DesignRefusedException& e) {
                outWhileHeld = e.reason() == Zorvan::DesignRefusal::Busy ? str() : outWhileHeld;
            }
            return 0;
        }
    } buffer;
    buffer.design = path("a.zvd");
    std::ostream output(&buffer);
    ASSERT_EQ(save({.file = buffer.design, .objects = 20}), kDone) << err.str();
    ASSERT_EQ(save({.file = buffer.design, .mode = SaveMode::UpdateAll, .objects = 20, .dataRevision = "r"}, &output),
              kDone)
        << err.str();
    EXPECT_EQ(buffer.outWhileHeld.rfind("saved 20 objects", 0), 0u) << "out while held: " << buffer.outWhileHeld;
}

// What a folder holds at `file`: nothing (or the empty file a first save
// starts with), or a design's data revision and number of objects; a file
// that does not open as a design fails the test.
using Design = std::pair<std::string, std::int64_t>;
Design found(const std::string& file) {
    std::error_code error;
    if (std::filesystem::file_size(TempFolder::fromUtf8(file), error) == 0 || error) {
        return {};
    }
    const auto store = SqliteDesignStore::openForReading(file);
    Design design{"", store->objectCount()};
    store->readDataRevision(design.first);
    return design;
}

// Every road that writes a design, its autosave copy or, opening it, rolls
// back an update cut short, recorded point by point (CrashEnv): whatever a
// power cut at any point leaves of what was not flushed, the design and the
// copy open as they were or as the road leaves them, and once the road has
// returned, as it leaves them, with nothing left to flush. A road flushes
// no more often than it must: a save through a temporary file twice (the
// file before its rename, the folder after). Windows has no flush of a
// folder and writes a rename through: there no change of a name is lost
// on its own.
TEST_F(Host, EveryRoadLeavesTheOldOrTheNewDesignWhereverThePowerGoes) {
    using Zorvan::testing::CrashEnv;
    using Run = std::function<int(const std::string& design)>;
    // Each road starts from a design holding `old` and an autosave copy of
    // objects the design does not hold, newer than it (what recover saves).
    const Design old{"old", 3}, autosaved{"autosaved", 5};
    struct Row {
        const char* road;
        Run run;
        Design design, copy; // as the road leaves them (the copy: a.bak.zvd)
        std::size_t flushes;
        std::string leaf = "a.zvd"; // the design
    };
    const auto saveAs = [this](SaveMode mode, std::vector<std::string> select = {}) -> Run {
        return [=, this](const std::string& file) {
            return save({.file = file, .mode = mode, .objects = 4, .select = select, .dataRevision = "new"});
        };
    };
    const auto command = [this](int (*road)(const Invocation&, std::ostream&)) -> Run {
        return [=, this](const std::string& file) { return road({.file = file}, out); };
    };
    const Row rows[] = {
        {"first save", saveAs(SaveMode::Overwrite), {"new", 4}, autosaved, 2, "b.zvd"},
        {"rewrite", saveAs(SaveMode::Overwrite), {"new", 4}, autosaved, 2},
        {"update all", saveAs(SaveMode::UpdateAll), {"new", 4}, autosaved, 5},
        {"update selected", saveAs(SaveMode::UpdateSelected, {"pipes"}), {"new", 3}, autosaved, 5},
        {"autosave", command(autosave), old, old, 2},
        {"clean", command(zvfile::clean), old, {}, 1},
        // The library's fixed-name primitives alone: a new file beside the
        // design, put in its place.
        {"fixed-name rewrite",
         [](const std::string& file) {
             const Zorvan::FileName written = Zorvan::ZvFileIO::prepareFileName(file, ZvFileWriteMode::Overwrite);
             writeDesign(written.toNativeString(), 4, "new", 5);
             return Zorvan::ZvFileIO::restoreFileName(file, written, ZvFileWriteMode::Overwrite) ? kDone : kRefused;
         },
         {"new", 4}, autosaved, 7},
        {"opening an update cut short", command(info), old, autosaved, 2},
        // A rewrite from the copy, then its removal.
        {"recover", command(recover), autosaved, {}, 3},
        // A first save of what can be read of a.zvd.
        {"salvage", [this](const std::string& into) {
             return salvage({.file = (std::filesystem::path(into).parent_path() / "a.zvd").string(), .into = into}, out);
         }, old, autosaved, 2, "a.salvaged.zvd"},
    };
    // The folder `at` recorded while `road` runs.
    const auto recorded = [](const std::string& at, const std::function<void()>& road) {
        const auto recording = std::make_shared<CrashEnv>(at);
        const Zorvan::ScopedEnv around(recording);
        road();
        return recording;
    };
    int made = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.road);
        const std::string at = path(std::to_string(++made)), scratch = at + "-crashed";
        std::filesystem::create_directory(TempFolder::fromUtf8(at));
        std::filesystem::create_directory(TempFolder::fromUtf8(scratch));
        ASSERT_EQ(save({.file = at + "/a.zvd", .objects = 3, .dataRevision = "old"}), kDone) << err.str();
        {
            const Zorvan::EditSession session = Zorvan::EditSession::open(at + "/a.zvd", {.recover = false});
            Zorvan::DesignSave copy = session.autosave(session.snapshot(), {});
            for (int i = 0; i < 5; ++i) {
                copy.part().save({Zorvan::Identifier::create().number, "pipes", "unsaved"});
            }
            (void)copy.commit("autosaved", 5);
        }
        if (row.road == std::string("opening an update cut short")) {
            // The folder as the disk holds it right before an update removes
            // its journal: the design holds the new pages, the journal the old.
            const auto cut = recorded(at, [&] { EXPECT_EQ(saveAs(SaveMode::UpdateAll)(at + "/a.zvd"), kDone); });
            std::size_t point = cut->points();
            while (--point > 0 && cut->what(point) != "remove a.zvd-journal") {
            }
            ASSERT_GT(point, 0u);
            CrashEnv::materialize(cut->states(point - 1)[1].files, at);
        }
        const auto crash = recorded(at, [&] { EXPECT_EQ(row.run(at + "/" + row.leaf), kDone) << err.str(); });
        // Opening rolls back to what the disk held anyway: the journal's removal may wait.
        const bool rolledBack = row.design == old && row.copy == autosaved; // the journal's removal may wait
        EXPECT_THAT(rolledBack ? std::vector<std::string>{} : crash->unflushed(), IsEmpty()) << "left to flush";
        const Design before = row.leaf == "a.zvd" ? old : Design{};
        int wrong = 0;
        crash->explore(scratch, [&](std::size_t point, const char* kind) {
            const Design design = found(scratch + "/" + row.leaf), copy = found(scratch + "/a.bak.zvd");
            const bool right = point + 1 == crash->points() ? design == row.design && copy == row.copy
                                                            : (design == before || design == row.design) &&
                                                                  (copy == autosaved || copy == row.copy);
            if (!right && ++wrong <= 3) {
                ADD_FAILURE() << "power cut after point " << point << " (" << crash->what(point) << "), " << kind
                              << ": the design, the copy " << ::testing::PrintToString(std::pair(design, copy));
            }
        });
        EXPECT_EQ(crash->flushes(), row.flushes);
    }
}

// Each command says on out what it did or, in one line on err that names
// the file, why not, and never reports a failure as done (the demo meets
// the refusals of a read-only, a newer and a foreign file). Clean says what
// the file service did with the copy, not what is on the disk afterwards: a
// removal that happened is "deleted" even when a new copy lands right after
// it, a copy someone else removed first is no failure, and beside a design
// that is gone there is no lock to wait for. Racing autosaves, it is done
// or refused because the autosave's editor holds the design, never more.
TEST_F(Host, EachCommandSaysWhatItDidOrInOneLineWhyNot) {
    const std::string design = path("a.zvd"), deleted = "deleted '" + path("a.bak.zvd") + "'\n";
    ASSERT_EQ(save({.file = design, .objects = 5}), kDone) << err.str();
    const auto clean = [&](std::chrono::milliseconds wait = kDefaultLockWait) {
        return [&, wait] { return run({.command = Command::Clean, .file = design, .lockWait = wait}, out, err); };
    };
    std::thread autosaves([&] {
        for (int round = 0; round < 20; ++round) {
            std::ostringstream said;
            if (guarded([&] { return autosave({.file = design}, said); }, said) != kDone) {
                EXPECT_THAT(said.str(), HasSubstr("the autosave gave way to it."));
            }
        }
    });
    for (int round = 0; round < 20; ++round) {
        err.str("");
        EXPECT_TRUE(clean()() == kDone || err.str().find("has it open for editing") != std::string::npos) << err.str();
    }
    autosaves.join();
    // The command, what the disk's removal does, what the command says on
    // out and, refused, why on err, naming `file`.
    const std::tuple<std::function<int()>, Disk::Removal, std::string, std::string, std::string> rows[] = {
        {clean(), // a copy lands right after the removal
         [&](const auto& remove) { const auto error = remove(); return folder.write("a.bak.zvd", ""), error; }, deleted,
         "", ""},
        {clean(), [](const auto& remove) { return (void)remove(), remove(); }, // removed by someone else first
         "no autosave copy of '" + design + "'\n", "", ""},
        // Another program saving the design (its lock held until the clean returns).
        {[&] { return (void)Zorvan::FileLock::acquire(design, {}), clean(0ms)(); }, {}, "",
         "cannot delete the autosave copy of '" + design + "': another program is saving it", "a.zvd"},
        // A used-up domain stays used up in this process: the tests after
        // this one go on in the next domain.
        {[&] {
             writeDesign(path("used-up.zvd"), 0, "", std::numeric_limits<std::int64_t>::max(), 1);
             const int code = save({.file = path("used-up.zvd"), .mode = SaveMode::UpdateAll, .objects = 1});
             writeDesign(path("next.zvd"), 0, "", 1, 2);
             (void)Zorvan::DesignSave::begin(path("next.zvd"), {ZvFileWriteMode::UpdateAll, 0ms});
             return code;
         },
         {}, "", "the identities for new objects are used up; the design is left as it was.\n", "used-up.zvd"},
        {[&] { return (void)std::filesystem::remove(TempFolder::fromUtf8(design)), clean()(); }, {}, deleted, "",
         ""}, // beside a design that is gone
    };
    for (const auto& [command, removal, said, why, file] : rows) {
        out.str("");
        err.str("");
        (void)Zorvan::writeAutosaveCopy(design, {});
        const Zorvan::ScopedEnv around(std::make_shared<Disk>(removal));
        EXPECT_EQ(command(), why.empty() ? kDone : kRefused) << err.str();
        EXPECT_EQ(out.str(), said);
        const std::string line = err.str();
        EXPECT_THAT(line, why.empty() ? Matcher<std::string>(IsEmpty())
                                      : AllOf(StartsWith("zvfile: "), HasSubstr("'" + path(file) + "'"), HasSubstr(why),
                                              EndsWith("\n")));
        EXPECT_LE(std::count(line.begin(), line.end(), '\n'), 1) << "one line: " << line;
    }
}

// A command that waits for the design says on standard error, before it
// waits, who holds it and for how long it waits: another save, or (Windows)
// a program that has it open without letting others write it.
TEST_F(Host, AWaitSaysWhoHoldsTheDesign) {
    const std::string design = path("a.zvd");
    ASSERT_EQ(save({.file = design, .objects = 1}), kDone) << err.str();
    const auto noteWhileHeld = [&](const std::shared_ptr<void>& /*held*/) {
        std::ostringstream noted;
        std::streambuf* const standardError = std::cerr.rdbuf(noted.rdbuf());
        EXPECT_EQ(save({.file = design, .lockWait = 50ms}), kRefused);
        std::cerr.rdbuf(standardError);
        return noted.str();
    };
    const std::string waiting = "zvfile: '" + design + "' is ";
    EXPECT_EQ(noteWhileHeld(std::make_shared<Zorvan::FileLock>(Zorvan::FileLock::acquire(design, {}))),
              waiting + "being saved by another program; waiting up to 0.05 s for it to finish\n");
#ifdef _WIN32
    EXPECT_EQ(noteWhileHeld(std::make_shared<Zorvan::testing::HeldOpen>(design)),
              waiting + "held open by another program; waiting up to 0.05 s for it to be closed\n");
#endif
}

// The members of `info --json` where the schema allows them: the schema's
// own words (type, const, enum, required, properties, additionalProperties).
void expectConforms(const nlohmann::json& value, const nlohmann::json& schema, const std::string& where) {
    // JSON's numbers are one type; the schema tells integers apart.
    ASSERT_EQ(value.is_number_integer() ? "integer" : value.type_name(), schema.at("type").get<std::string>()) << where;
    EXPECT_EQ(value, schema.value("const", value)) << where;
    EXPECT_THAT(schema.value("enum", nlohmann::json::array({value})), Contains(value)) << where;
    if (!value.is_object()) {
        return;
    }
    for (const auto& name : schema.value("required", nlohmann::json::array())) {
        EXPECT_TRUE(value.contains(name)) << where << " lacks " << name;
    }
    for (const auto& [name, member] : value.items()) {
        ASSERT_TRUE(schema["properties"].contains(name)) << where << " has " << name << ", which is not documented";
        expectConforms(member, schema["properties"][name], where + "." + name);
    }
}

// info --json prints one object the schema describes for every outcome,
// with an error member and exit code 1 exactly when the file is refused,
// also for a file name that is not UTF-8; for a design, exactly what its
// save wrote, read under one read lock.
TEST_F(Host, InfoShowsWhatWasSavedAndFollowsItsSchemaForEveryOutcome) {
    const nlohmann::json schema = nlohmann::json::parse(std::ifstream(ZVFILE_INFO_SCHEMA));
    // The domain the process's identities come from (a test may have used one up).
    const std::int16_t domain = Zorvan::Identifier::create().domain;
    ASSERT_EQ(save({.file = path("a.zvd"), .objects = 50, .dataRevision = "first", .dataRevisionNumber = 5}), kDone)
        << err.str();
    const std::string build = VersionControl().getRootRevisionAsString();
    const auto last = Zorvan::testing::storedObjects(*SqliteDesignStore::openForReading(path("a.zvd"))).back().id();
    const nlohmann::json saved = {
        {"schema", kInfoSchema}, {"file", path("a.zvd")}, {"readable", true}, {"current", true},
        {"version", SqliteDesignStore::kCurrentVersion}, {"createdRevision", build}, {"lastSavedRevision", build},
        {"dataRevision", "first"}, {"dataRevisionNumber", 5}, {"objects", 50},
        {"identifier", {{"number", last + 1}, {"domain", domain}}}};
    SqliteDesignStore::openForWriting(path("future.zvd"), SqliteDesignStore::kCurrentVersion + 1)->commit();
    folder.write("notes.zvd", "not a design\n");
    // Latin-1, not UTF-8: a name on POSIX, whose names are any bytes; on
    // Windows, whose names are UTF-8 text here, none that a file can have.
    const std::string odd = path("caf") + "\xE9.zvd";
    const int oddSaved = save({.file = odd, .objects = 1});
#ifdef _WIN32
    EXPECT_EQ(oddSaved, kRefused);
    EXPECT_NE(err.str().find("the name is not valid UTF-8 text."), std::string::npos) << err.str();
#else
    ASSERT_EQ(oddSaved, kDone) << err.str();
#endif
    const std::tuple<std::string, int, const char*> cases[] = {
        {path("a.zvd"), kDone, ""},
        {odd, oddSaved, oddSaved == kDone ? "" : "Missing"}, // info finds it where the save made it
        {path("future.zvd"), kRefused, "Newer"},
        {path("notes.zvd"), kRefused, "NotADesign"},
        {path("missing.zvd"), kRefused, "Missing"},
    };
    for (const auto& [file, code, reason] : cases) {
        const auto disk = std::make_shared<Disk>();
        const Zorvan::ScopedEnv counting(disk);
        std::ostringstream json;
        EXPECT_EQ(info({.file = file, .json = true}, json), code);
        const nlohmann::json report = nlohmann::json::parse(json.str());
        expectConforms(report, schema, file);
        EXPECT_EQ(report.contains("error") ? report["error"].value("reason", "?") : "", reason) << file;
        if (file == path("a.zvd")) {
            EXPECT_EQ(report, saved);
            EXPECT_EQ(disk->readLocks, 1);
        }
    }
}

} // namespace
} // namespace zvfile
