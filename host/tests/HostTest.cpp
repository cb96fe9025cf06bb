// End-to-end: the reference host's commands on real design files and what
// they print. The save road they drive is tested with the save API itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <sstream>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Demo.h"
#include "SampleDesign.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "FileHandling/Env.h"
#include "FileHandling/testing/CrashEnv.h"
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
using namespace std::chrono_literals;

class Host : public ::testing::Test {
protected:
    std::string path(const std::string& leaf) const { return folder.path(leaf); }
    // A save as the command line hands it over, reporting to `to` (out unless said).
    int save(Invocation invocation, std::ostream* to = nullptr) {
        invocation.command = Command::Save;
        invocation.lockWait = 0ms;
        return run(invocation, to != nullptr ? *to : out, err);
    }
    // What `info --json` shows of `file`, whose exit code must be `code`.
    nlohmann::json infoOf(const std::string& file, int code = kDone) {
        std::ostringstream json;
        EXPECT_EQ(info({.file = file, .json = true}, json), code);
        return nlohmann::json::parse(json.str());
    }

    Zorvan::testing::TempFolder folder;
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
                 std::int16_t domain = 0, std::int32_t version = SqliteDesignStore::kCurrentVersion) {
    const auto store = SqliteDesignStore::openForWriting(file, version);
    for (std::int64_t id = 1; id <= objects; ++id) {
        auto object = sampleObject(id, static_cast<std::size_t>(id) % kParts.size(), revision);
        store->insert(object);
    }
    store->writeDataRevision(revision);
    store->writeMaxIdentifier(counter, domain);
    store->commit();
}

// A design of an older format version opens as readable, not current, and
// is saved: in place it keeps its objects, and a rewrite makes it current.
TEST_F(Host, AnOlderDesignOpensAndIsSaved) {
    // What an older release wrote: its version, objects of every part, a counter.
    const std::int32_t older = SqliteDesignStore::kCurrentVersion - 1;
    writeDesign(path("a.zvd"), 30, "old", 31, 0, older);
    // What info shows: readable, current, version, data revision, objects.
    const auto shown = [&] {
        const auto r = infoOf(path("a.zvd"));
        return std::tuple(r["readable"], r["current"], r["version"], r["dataRevision"], r["objects"]);
    };
    EXPECT_EQ(shown(), std::tuple(true, false, older, "old", 30));
    for (const auto& [mode, version] : {std::pair(SaveMode::UpdateAll, older),
                                        std::pair(SaveMode::Overwrite, SqliteDesignStore::kCurrentVersion)}) {
        SCOPED_TRACE(static_cast<int>(mode));
        ASSERT_EQ(save({.file = path("a.zvd"), .mode = mode, .dataRevision = "saved", .dataRevisionNumber = 2}), kDone)
            << err.str();
        EXPECT_EQ(shown(), std::tuple(true, version == SqliteDesignStore::kCurrentVersion, version, "saved", 30));
    }
}

// The line that reports a save is out before the design is let go, so that
// the report of a rival waiting for it never comes first (seen on an update
// in place: after a rewrite the name holds a new file, which only a rival
// that comes later could lock).
TEST_F(Host, ASaveSaysSoBeforeItLetsTheDesignGo) {
    const std::string design = path("a.zvd");
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
    };
    ASSERT_EQ(save({.file = design, .objects = 20}), kDone) << err.str();
    Output buffer;
    buffer.design = design;
    std::ostream output(&buffer);
    ASSERT_EQ(save({.file = design, .mode = SaveMode::UpdateAll, .objects = 20, .dataRevision = "r"}, &output), kDone)
        << err.str();
    EXPECT_EQ(buffer.outWhileHeld.rfind("saved 20 objects", 0), 0u) << "out while held: " << buffer.outWhileHeld;
}

// What a folder holds at `file`: nothing (or the empty file a first save
// starts with), or a design's data revision and number of objects, or why
// it cannot be read.
using Design = std::pair<std::string, std::int64_t>;
Design found(const std::string& file) {
    std::error_code error;
    if (std::filesystem::file_size(Zorvan::testing::TempFolder::fromUtf8(file), error) == 0 || error) {
        return {};
    }
    try {
        const auto store = SqliteDesignStore::openForReading(file);
        Design design{"", store->objectCount()};
        store->readDataRevision(design.first);
        return design;
    } catch (const std::exception& e) {
        return {std::string("unreadable: ") + e.what(), -1};
    }
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
    using Run = std::function<void(const std::string& design)>;
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
    const auto saveAs = [&](SaveMode mode, std::vector<std::string> select = {}) -> Run {
        return [this, mode, select](const std::string& file) {
            ASSERT_EQ(save({.file = file, .mode = mode, .objects = 4, .select = select, .dataRevision = "new"}), kDone)
                << err.str();
        };
    };
    const auto command = [&](int (*road)(const Invocation&, std::ostream&)) -> Run {
        return [this, road](const std::string& file) { EXPECT_EQ(road({.file = file}, out), kDone) << err.str(); };
    };
    const Row rows[] = {
        {"first save", saveAs(SaveMode::Overwrite), {"new", 4}, autosaved, 2, "b.zvd"},
        {"rewrite", saveAs(SaveMode::Overwrite), {"new", 4}, autosaved, 2},
        {"update all", saveAs(SaveMode::UpdateAll), {"new", 4}, autosaved, 5},
        {"update selected", saveAs(SaveMode::UpdateSelected, {"pipes"}), {"new", 3}, autosaved, 5},
        {"autosave", command(autosave), old, old, 2},
        {"clean", command(clean), old, {}, 1},
        // The library's fixed-name primitives alone: a new file beside the
        // design, put in its place.
        {"fixed-name rewrite",
         [](const std::string& file) {
             const Zorvan::FileName written = Zorvan::ZvFileIO::prepareFileName(file, ZvFileWriteMode::Overwrite);
             writeDesign(written.toNativeString(), 4, "new", 5);
             ASSERT_TRUE(Zorvan::ZvFileIO::restoreFileName(file, written, ZvFileWriteMode::Overwrite));
         },
         {"new", 4}, autosaved, 7},
        {"opening an update cut short", command(info), old, autosaved, 2},
        // A rewrite from the copy, then its removal.
        {"recover", command(recover), autosaved, {}, 3},
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
        const std::string at = path(std::to_string(++made));
        std::filesystem::create_directory(Zorvan::testing::TempFolder::fromUtf8(at));
        const auto in = [&](const std::string& leaf) { return at + "/" + leaf; };
        ASSERT_EQ(save({.file = in("a.zvd"), .objects = 3, .dataRevision = "old"}), kDone) << err.str();
        {
            Zorvan::DesignSave copy = Zorvan::DesignSave::beginAutosave(in("a.zvd"), {});
            for (int i = 0; i < 5; ++i) {
                copy.part().save({Zorvan::Identifier::create().number, "pipes", "unsaved"});
            }
            (void)copy.commit("autosaved", 5);
        }
        const Design before = row.leaf == "a.zvd" ? old : Design{};
        if (row.road == std::string("opening an update cut short")) {
            // The folder as the disk holds it right before an update removes
            // its journal: the design holds the new pages, the journal the old.
            const auto cut = recorded(at, [&] { saveAs(SaveMode::UpdateAll)(in("a.zvd")); });
            std::size_t point = cut->points();
            while (--point > 0 && cut->what(point) != "remove a.zvd-journal") {
            }
            ASSERT_GT(point, 0u);
            CrashEnv::materialize(cut->states(point - 1)[1].files, at);
        }
        const auto began = std::chrono::steady_clock::now();
        const auto crash = recorded(at, [&] { row.run(in(row.leaf)); });
        // Opening rolls back to what the disk held anyway: the journal's removal may wait.
        const std::vector<std::string> unflushed = crash->unflushed();
        EXPECT_TRUE(unflushed.empty() || (row.design == old && row.copy == autosaved))
            << "left to flush when the road returned: " << unflushed.front();
        const std::string scratch = path(std::to_string(made) + "-crashed");
        std::filesystem::create_directory(Zorvan::testing::TempFolder::fromUtf8(scratch));
        int wrong = 0;
        const std::size_t states = crash->explore(scratch, [&](std::size_t point, const char* kind) {
            const Design design = found(scratch + "/" + row.leaf);
            const Design copy = found(scratch + "/a.bak.zvd");
            const bool right = point + 1 == crash->points()
                                   ? design == row.design && copy == row.copy
                                   : (design == before || design == row.design) &&
                                         (copy == autosaved || copy == row.copy);
            if (!right && ++wrong <= 3) {
                ADD_FAILURE() << "power cut after point " << point << " (" << crash->what(point) << "), " << kind
                              << ": the design holds '" << design.first << "' (" << design.second
                              << " objects), the copy '" << copy.first << "' (" << copy.second << ")";
            }
        });
        EXPECT_EQ(crash->flushes(), row.flushes);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
        std::cout << "[ crash states ] " << row.road << ": " << crash->points() << " points, " << states << " states, "
                  << took.count() << " ms\n";
    }
}

// Every command reports a refusal or a failure in one line that names the
// file and says why, and never prints it as done (the demo meets the
// refusals of a read-only, a newer and a foreign file).
TEST_F(Host, EveryFailureIsOneLineAndNeverReportedAsDone) {
    ASSERT_EQ(save({.file = path("a.zvd"), .objects = 20, .dataRevision = "old", .dataRevisionNumber = 1}), kDone)
        << err.str();
    out.str("");
    const std::tuple<std::string, std::string, std::function<int()>> commands[] = {
        {"a.zvd", "cannot delete the autosave copy of '" + path("a.zvd") + "': another program is saving it",
         [&] {
             const Zorvan::FileLock saving = Zorvan::FileLock::acquire(path("a.zvd"), {});
             return run({.command = Command::Clean, .file = path("a.zvd"), .lockWait = 0ms}, out, err);
         }},
        // A used-up domain stays used up in this process: the tests after
        // this one go on in the next domain.
        {"used-up.zvd", "the identities for new objects are used up; the design is left as it was.\n",
         [&] {
             writeDesign(path("used-up.zvd"), 0, "", std::numeric_limits<std::int64_t>::max(), 1);
             const int code = save({.file = path("used-up.zvd"), .mode = SaveMode::UpdateAll, .objects = 1});
             writeDesign(path("next.zvd"), 0, "", 1, 2);
             (void)Zorvan::DesignSave::begin(path("next.zvd"), {ZvFileWriteMode::UpdateAll, 0ms});
             return code;
         }},
    };
    for (const auto& [file, why, command] : commands) {
        SCOPED_TRACE(file);
        err.str("");
        EXPECT_EQ(command(), kRefused);
        const std::string line = err.str();
        EXPECT_EQ(line.rfind("zvfile: ", 0), 0u) << line;
        EXPECT_NE(line.find("'" + path(file) + "'"), std::string::npos) << line;
        EXPECT_NE(line.find(why), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
    }
    EXPECT_EQ(out.str(), "") << "nothing saved nor deleted";
}

// Clean says what the file service did with the copy, not what is on the
// disk afterwards: a removal that happened is "deleted" even when a new copy
// lands right after it, a copy someone else removed first is no failure,
// and beside a design that is gone there is no lock to wait for. Racing
// autosaves, it is never refused (they give way to it).
TEST_F(Host, CleanReportsTheRemovalThatHappened) {
    const std::string design = path("a.zvd");
    const std::string deleted = "deleted '" + path("a.bak.zvd") + "'\n";
    ASSERT_EQ(save({.file = design, .objects = 5}), kDone) << err.str();
    const std::tuple<const char*, Disk::Removal, std::string> rows[] = {
        {"a copy lands after the removal",
         [&](const auto& remove) {
             const std::error_code error = remove();
             folder.write("a.bak.zvd", "");
             return error;
         },
         deleted},
        {"removed by someone else first", [](const auto& remove) { return (void)remove(), remove(); },
         "no autosave copy of '" + design + "'\n"},
    };
    for (const auto& [what, removal, said] : rows) {
        SCOPED_TRACE(what);
        folder.write("a.bak.zvd", "copy");
        std::ostringstream shown;
        const Zorvan::ScopedEnv around(std::make_shared<Disk>(removal));
        EXPECT_EQ(run({.command = Command::Clean, .file = design}, shown, err), kDone) << err.str();
        EXPECT_EQ(shown.str(), said);
    }
    std::thread autosaves([&] {
        for (int round = 0; round < 20; ++round) {
            // An autosave under way when a clean begins gives way to it.
            std::ostringstream said;
            if (guarded([&] { return autosave({.file = design}, said); }, said) != kDone) {
                EXPECT_NE(said.str().find("the autosave gave way to it."), std::string::npos) << said.str();
            }
        }
    });
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(run({.command = Command::Clean, .file = design}, out, err), kDone) << err.str();
    }
    autosaves.join();
    std::filesystem::remove(Zorvan::testing::TempFolder::fromUtf8(design));
    folder.write("a.bak.zvd", "copy");
    std::ostringstream shown;
    EXPECT_EQ(run({.command = Command::Clean, .file = design}, shown, err), kDone) << err.str();
    EXPECT_EQ(shown.str(), deleted);
}

// The members of `info --json` where the schema allows them: the schema's
// own words (type, const, enum, required, properties, additionalProperties).
void expectConforms(const nlohmann::json& value, const nlohmann::json& schema, const std::string& where) {
    // JSON's numbers are one type; the schema tells integers apart.
    ASSERT_EQ(value.is_number_integer() ? "integer" : value.type_name(), schema.at("type").get<std::string>()) << where;
    EXPECT_EQ(value, schema.value("const", value)) << where;
    const nlohmann::json allowed = schema.value("enum", nlohmann::json::array({value}));
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), value), allowed.end()) << where;
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
    const auto objects = Zorvan::testing::storedObjects(*SqliteDesignStore::openForReading(path("a.zvd")));
    ASSERT_EQ(objects.size(), 50u);
    const nlohmann::json saved = {
        {"schema", 1}, {"file", path("a.zvd")}, {"readable", true}, {"current", true},
        {"version", SqliteDesignStore::kCurrentVersion}, {"createdRevision", build}, {"lastSavedRevision", build},
        {"dataRevision", "first"}, {"dataRevisionNumber", 5}, {"objects", 50},
        {"identifier", {{"number", objects.back().id() + 1}, {"domain", domain}}}};
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
        {path("a.zvd"), kDone, nullptr},
        {odd, oddSaved, oddSaved == kDone ? nullptr : "missing"}, // info finds it where the save made it
        {path("future.zvd"), kRefused, "newer"},
        {path("notes.zvd"), kRefused, "not-a-design"},
        {path("missing.zvd"), kRefused, "missing"},
    };
    for (const auto& [file, code, reason] : cases) {
        SCOPED_TRACE(file);
        const auto disk = std::make_shared<Disk>();
        const Zorvan::ScopedEnv counting(disk);
        const nlohmann::json report = infoOf(file, code);
        expectConforms(report, schema, "report");
        EXPECT_EQ(report.contains("error") ? report["error"].value("reason", "?") : "", reason != nullptr ? reason : "");
        if (file == path("a.zvd")) {
            EXPECT_EQ(report, saved);
            EXPECT_EQ(disk->readLocks, 1);
        }
    }
}

// The demo checks each step's exit code itself; what it leaves shows the
// rest: the update in place wrote through no temporary file, kept every
// identity and changed the valves alone, and the read-only design is
// writable again afterwards.
TEST_F(Host, DemoGoesAsPlanned) {
    const std::string demoFolder = (folder.root() / "demo").string();
    ASSERT_EQ(demo(demoFolder, out, err), kDone) << out.str() << err.str();
    EXPECT_EQ(err.str(), "");
    const std::string story = out.str();
    const std::size_t update = story.find("== 3.");
    EXPECT_LT(story.find("writing through"), update) << "the rewrite says so:\n" << story;
    EXPECT_EQ(story.substr(update, story.find("== 4.") - update).find("writing through"), std::string::npos);
    const std::string design = (std::filesystem::path(demoFolder) / "pump.zvd").string();
    EXPECT_NE(std::filesystem::status(design).permissions() & std::filesystem::perms::owner_write,
              std::filesystem::perms::none);
    auto store = SqliteDesignStore::openForReading(design);
    EXPECT_EQ(store->updateCount(), 1);
    EXPECT_EQ(store->objectCount(), 1200);
    for (const auto& object : Zorvan::testing::storedObjects(*store)) {
        EXPECT_NE(object.payload().find(object.type() == "valves" ? "as 'valve fix'" : "as 'redesign'"), std::string::npos)
            << object.payload();
    }
}

} // namespace
} // namespace zvfile
