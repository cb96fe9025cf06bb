// Every call a road of the save API makes on files, SQLite's included,
// failed in turn. The road ends in one sentence naming the design and
// saying why, or succeeds where it can do without that call (it made the
// call again, or the call is one of the few below); either way the design
// is whole (the new version only when the road succeeded), nothing the
// road made is left, it keeps no folder or file open, and the design's
// lock is free again. The refusal carries the failed call's error as its
// cause. The calls are counted as each road makes them, so
// the table grows with every operation that comes to go through the Env.

#include <filesystem>
#include <iostream>
#include <map>
#include <vector>

#include "DesignSaveFixture.h"
#include "FileHandling/testing/FaultEnv.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using Mode = ZvFileWriteMode;
using testing::DesignSaveTest;
using testing::FaultEnv;
using Kind = FaultEnv::Kind;
using Files = std::map<std::string, std::string>;

// The files open in this process, where the system lists them (0 on
// Windows, where a program under Wine would count the emulator's).
std::ptrdiff_t openFiles() {
#ifdef _WIN32
    return 0;
#else
    std::error_code error;
    const fs::directory_iterator open("/proc/self/fd", error);
    return error ? 0 : std::distance(open, fs::directory_iterator());
#endif
}

// A failed call's error: a lock another holds, which the road waits for or
// is kept out by as busy; for any other call the disk's, which it fails on.
// Letting go of a lock this handle holds never fails on any system, and is
// let through: on Windows a lock that stayed would stack under the next.
std::error_code errorOf(Kind kind) {
    return kind == Kind::Unlock ? std::error_code()
                                : std::make_error_code(kind == Kind::Lock ? std::errc::resource_unavailable_try_again
                                                                          : std::errc::io_error);
}

// The calls a road does without: a folder's flush after a rename or a
// removal (logged: some file systems cannot flush a folder, and what was
// renamed or removed is done); a folder's full path (it names the folder in
// messages and to SQLite; the path it was opened by leads to it as well);
// whether this user may write (asked to refuse early; the system refuses
// the write itself if not); and letting go of a file's lock (closing the
// file lets go of it as well).
bool tolerated(const FaultEnv::Call& call) {
    return call.onFolder ? call.kind == Kind::Sync || call.kind == Kind::PathOf || call.kind == Kind::MayWrite
                         : call.kind == Kind::Unlock;
}

// A road: its name, the design it saves, opens or cleans up after, and the
// folder's files (by data revision) when it succeeded, from a folder that
// holds a design and an older autosave copy.
class EveryFailingCall;
struct Road {
    const char* name;
    std::string design;
    std::function<void(EveryFailingCall&)> run;
    Files done;
    // What a refusal may leave besides the folder as it was: the first of
    // a road's two steps done.
    Files partway = {};
};
void PrintTo(const Road& road, std::ostream* to) { *to << road.name; }

// One test per road, so that each runs in seconds also under Wine.
class EveryFailingCall : public DesignSaveTest, public ::testing::WithParamInterface<Road> {
public:
    static std::vector<Road> roads() {
        using T = EveryFailingCall;
        const auto save = [](Mode mode) { return [mode](T& t) { t.saveDesign("a.zvd", 2, "new", options(mode)); }; };
        const Files saved = {{"a.zvd", "new"}, {"a.bak.zvd", "copy"}}, untouched = {{"a.zvd", "old"}, {"a.bak.zvd", "copy"}};
        return {
            {"rewrite", "a.zvd", save(Mode::Overwrite), saved},
            {"first_save", "b.zvd", [](T& t) { t.saveDesign("b.zvd", 2, "new"); },
             {{"a.zvd", "old"}, {"a.bak.zvd", "copy"}, {"b.zvd", "new"}}},
            {"update_of_all_parts", "a.zvd", save(Mode::UpdateAll), saved},
            {"autosave", "a.zvd", [](T& t) { (void)writeAutosaveCopy(t.path("a.zvd"), options()); },
             {{"a.zvd", "old"}, {"a.bak.zvd", "old"}}},
            {"autosave_of_the_host_s_objects", "a.zvd", [](T& t) { t.saveDesign("a.zvd", 2, "edited", options(), true); },
             {{"a.zvd", "old"}, {"a.bak.zvd", "edited"}}},
            {"autosave_of_a_design_never_saved", "c.zvd", [](T& t) { t.saveDesign("c.zvd", 2, "edited", options(), true); },
             {{"a.zvd", "old"}, {"a.bak.zvd", "copy"}, {"c.bak.zvd", "edited"}}},
            {"open", "a.zvd", [](T& t) { (void)openDesign(t.path("a.zvd")); }, untouched},
            {"recovery", "a.zvd",
             [](T& t) {
                 t.saveDesign("a.zvd", 2, "edited", options(), true);
                 EXPECT_TRUE(DesignSave::recoverAutosave(t.path("a.zvd"), options()));
             },
             {{"a.zvd", "edited"}}, {{"a.zvd", "old"}, {"a.bak.zvd", "edited"}}},
            {"removal_of_the_autosave_copy", "a.zvd",
             [](T& t) { EXPECT_TRUE(removeAutosaveCopy(t.path("a.zvd"), options())); }, {{"a.zvd", "old"}}},
        };
    }
};

TEST_P(EveryFailingCall, EndsTheRoadCleanly) {
    saveDesign("a.zvd", 1, "copy");
    (void)writeAutosaveCopy(path("a.zvd"), options());
    saveDesign("a.zvd", 2, "old");
    const Files start = files(), untouched = {{"a.zvd", "old"}, {"a.bak.zvd", "copy"}};
    // What the folder holds, by data revision.
    const auto folderRevisions = [&] {
        Files all;
        for (const auto& [leaf, bytes] : files()) {
            all[leaf] = leaf.ends_with(".zvd") && !bytes.empty() ? revisionOf(path(leaf)) : bytes;
        }
        return all;
    };
    const Road& road = GetParam();
    const auto env = std::make_shared<FaultEnv>();
    const auto runOnce = [&](Kind kind, int k) {
        folder.clear();
        for (const auto& [leaf, bytes] : start) {
            folder.write(leaf, bytes);
        }
        const std::ptrdiff_t opened = openFiles();
        const Ending ended = [&] {
            const ScopedEnv failing(env);
            return endingOf([&] { road.run(*this); });
        }();
        ASSERT_NE(ended.kind, Ending::Misused) << ended.said;
        if (k == 0) {
            return;
        }
        const std::optional<FaultEnv::Call> failed = env->failed();
        ASSERT_TRUE(failed) << "the road made fewer calls than when it ran without a fault";
        SCOPED_TRACE("the failed call: " + failed->describe() + " (" + std::to_string(k) + ")");
        // An editor's claim file that a failed call left claims nothing:
        // nobody holds its lock.
        const bool onClaim = failed->names.find(".editor") != std::string::npos;
        const auto revisions = [&] {
            Files all = folderRevisions();
            std::erase_if(all, [&](const auto& file) { return onClaim && file.first.ends_with(".editor"); });
            return all;
        };
        if (ended.kind == Ending::Refused) {
            const std::string& said = ended.said;
            // Named by the user, or for its removal the autosave copy, and
            // no file of the save's own that the user never named.
            EXPECT_TRUE(said.find("'" + path(road.design) + "'") != std::string::npos ||
                        said.find("'" + path("a.bak.zvd") + "'") != std::string::npos) << said;
            EXPECT_TRUE(said.find(".tmp.") == std::string::npos && said.find("-journal") == std::string::npos) << said;
            EXPECT_TRUE(said.ends_with('.') && said.find('\n') == std::string::npos) << said;
            if (kind == Kind::Lock) {
                // Another's lock keeps the road out (on a file the road made,
                // it interfered). A read lock SQLite cannot take back after
                // its commit fails the commit that is done: the design is
                // whole, old or new.
                EXPECT_THAT(ended.reason, ::testing::AnyOf(DesignRefusal::Busy, DesignRefusal::Claimed,
                                                           DesignRefusal::Interfered, DesignRefusal::Failed))
                    << said;
                EXPECT_TRUE(revisions() == untouched || revisions() == road.partway || revisions() == road.done) << said;
            } else {
                EXPECT_EQ(ended.reason, DesignRefusal::Failed) << said;
                EXPECT_TRUE(means(ended.cause, std::errc::io_error)) << "the cause: " << named(ended.cause);
                EXPECT_TRUE(revisions() == untouched || revisions() == road.partway) << said;
            }
        } else {
            // Windows: the new version is locked under the design's name
            // right after the rename, as the road ends; failing that only
            // lets the next save in a moment early. The empty file that held
            // the name of a design never saved while it was autosaved stays
            // when it cannot be looked at or removed: the next save takes it
            // for a first save cut short, and start-up for a design never saved.
            const bool endingOnWindows = !openFilesMayBeReplaced() && env->madeBeforeFailure(Kind::Rename);
            Files left = revisions();
            const bool keptEmpty = !road.done.contains(road.design) && left.contains(road.design) &&
                                   left[road.design].empty() && failed->names.ends_with(road.design);
            if (keptEmpty) {
                left.erase(road.design);
            }
            // A recovered copy that could not be removed is older than the
            // design now, and never recovered again.
            const bool keptStale = failed->kind == Kind::Remove && failed->names.ends_with(".bak.zvd") &&
                                   road.done.size() < start.size() && left.erase("a.bak.zvd") == 1;
            EXPECT_TRUE(tolerated(*failed) || keptEmpty || keptStale || onClaim || env->failedCallMadeAgain() || endingOnWindows)
                << "the road succeeded without that call";
            EXPECT_EQ(left, road.done);
        }
        EXPECT_EQ(env.use_count(), 1) << "a folder of the road is still held";
        EXPECT_EQ(openFiles(), opened) << "a file of the road is still open";
        (void)DesignSave::begin(path(road.design), options()); // the lock is free
    };
    const int pairs = env->failEachCall(errorOf, runOnce);
    RecordProperty("pairs", pairs);
    std::cout << "[ fault table ] " << road.name << ": " << pairs << " failing calls\n";
}

INSTANTIATE_TEST_SUITE_P(Roads, EveryFailingCall, ::testing::ValuesIn(EveryFailingCall::roads()),
                         [](const ::testing::TestParamInfo<Road>& road) { return std::string(road.param.name); });

} // namespace
} // namespace Zorvan
