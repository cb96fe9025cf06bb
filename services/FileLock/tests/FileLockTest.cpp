// FileLock on real files: exclusion between threads and open files,
// waiting, a rewrite renamed over the name, and the file a first save
// creates; and each way a try can end, through the Env.

#include <gmock/gmock.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/FaultEnv.h"
#include "FileHandling/testing/TempFolder.h"
#include "FileLock/FileLock.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::TempFolder;

bool exists(const std::string& file) { return fs::exists(TempFolder::fromUtf8(file)); }

// True when the lock of `file` is held elsewhere (a lock got is let go at once).
bool isBusy(const std::string& file) {
    try {
        return (void)FileLock::acquire(file, {}), false;
    } catch (const FileError& e) {
        EXPECT_TRUE(e.path() == file && e.role() == FileRole::Lock && e.code() != FileErrc::HeldOpen) << e.what();
        return true;
    }
}

// How many of this thread and another find the lock of `file` held.
int busyThreads(const std::string& file) { return isBusy(file) + std::async(std::launch::async, isBusy, file).get(); }

struct FileLockTest : ::testing::Test {
    TempFolder dir;
    std::string file = dir.write("a.zvd", "x"), made = dir.path("new.zvd");
};

TEST_F(FileLockTest, OthersAreRefusedOrWaitUntilTheHolderLetsGo) {
    std::optional<FileLock> first(FileLock::acquire(file, {}));
    const Clock::time_point start = Clock::now();
    std::atomic<int> opens{0}; // closing a descriptor would drop this process's record locks (SQLite's)
    {
        const ScopedEnv counting(std::make_shared<testing::FaultEnv>([&](testing::FaultEnv::Kind called, const std::string&) {
            return opens += called == testing::FaultEnv::Kind::Open, std::error_code();
        }));
        EXPECT_EQ(busyThreads(file), 2);
    }
    EXPECT_EQ(opens, 0) << "a file this process holds locked was opened again";
    EXPECT_LT(Clock::now() - start, 1s);
    int calls = 0;
    EXPECT_THROW(FileLock::acquire(file, {false, 100ms, [&](std::error_code) { ++calls; }}), FileError);
    EXPECT_TRUE(Clock::now() - start >= 100ms && calls == 1);
    std::optional<FileLock> moved(std::move(*first));
    first.reset(); // a moved-from lock releases nothing
    EXPECT_EQ(busyThreads(file), 2);
    std::promise<void> waiting; // told twice, it throws
    auto second = std::async(std::launch::async,
                             [&] { return FileLock::acquire(file, {false, milliseconds::max(), [&](std::error_code) { waiting.set_value(); }}); });
    EXPECT_EQ(waiting.get_future().wait_for(60s), std::future_status::ready);
    moved.reset();
    EXPECT_EQ(second.get().path(), file);
    EXPECT_EQ(busyThreads(file), 0);
}

// The release removes only a file it created that the name still holds,
// empty; a new file a rewrite put at the name is free at once.
TEST_F(FileLockTest, ReleaseRemovesOnlyTheEmptyFileItCreated) {
    {
        const FileLock lock = FileLock::acquire(made, {true, 0ms, {}});
        std::ofstream(TempFolder::fromUtf8(made), std::ios::binary | std::ios::app) << "x";
    }
    EXPECT_EQ(TempFolder::read(made), "x");
    dir.write("new.zvd", "");
    EXPECT_FALSE(FileLock::acquire(made, {true, 0ms, {}}).createdFile());
    EXPECT_TRUE(fs::remove(TempFolder::fromUtf8(made)));
    std::optional<FileLock> old(FileLock::acquire(made, {true, 0ms, {}}));
    ASSERT_TRUE(FileUtilities::replaceFile(dir.write("new.tmp.zvd", ""), made));
    const FileLock renewed = FileLock::acquire(made, {});
    old.reset();
    EXPECT_TRUE(exists(made) && isBusy(made));
}

// How a try ends is what the Env answers: a lock held elsewhere is tried
// again after pauses of at most 25 ms, however long that takes; a file
// renamed over the name between its open and its lock is not the file
// locked; a file another program keeps from being opened for writing
// (Windows sharing) is reported as such once the wait is over; a lock the
// system refuses is a FileNameException with its reason. While another
// process replaces the file, which it may keep from being opened meanwhile,
// the name may hold nothing for a moment (as
// Windows' ReplaceFileW moves the old file aside first): a waiter that
// would create a missing file locks the new one instead of filling the name,
// and one arriving in that moment, which has seen no lock, looks again while
// the file the replace moves in is there, even if it would not wait.
// Anything but a regular file is refused at once, and so is a missing file
// the lock would not create, and when it would, a link to nothing and a name
// in a missing folder. No refusal creates a file.
TEST_F(FileLockTest, EachTryEndsAsTheEnvAnswers) {
    using testing::FaultEnv;
    using Kind = FaultEnv::Kind;
    enum Outcome { Locked, HeldOpen, Refused };
    // Windows may refuse to rename over an open file: then nothing changed.
    auto renameOver = [&, ignored = std::error_code()](const std::string& from, const std::string& to) mutable {
        fs::rename(TempFolder::fromUtf8(from), TempFolder::fromUtf8(to), ignored);
    };
    const auto busy = std::make_error_code(std::errc::resource_unavailable_try_again),
               heldOpen = std::make_error_code(std::errc::device_or_resource_busy), ioError = std::make_error_code(std::errc::io_error);
    // A hook playing another process's replace: at the nth call of a kind it
    // moves the file aside (the first rename) or renames the new file over
    // the name (the second), and answers.
    struct Step { Kind kind; int nth; bool aside; std::error_code answer = {}; };
    const auto replacing = [&](std::vector<Step> plan) -> FaultEnv::Hook {
        return [&, plan, seen = std::map<Kind, int>()](Kind called, const std::string&) mutable {
            ++seen[called];
            const auto step = std::ranges::find_if(plan, [&](const Step& s) { return s.kind == called && s.nth == seen[called]; });
            if (step == plan.end()) {
                return std::error_code();
            }
            step->aside ? renameOver(file, file + ".aside") : renameOver(dir.path("renamed.zvd"), file);
            return step->answer;
        };
    };
    // Kept from being opened for writing for longer than the gap (the
    // replace itself may do that), then replaced.
    const auto heldThenReplaced = [&, opens = 0, looks = 0](Kind called, const std::string&) mutable {
        if (called == Kind::Open && ++opens == 1) {
            std::this_thread::sleep_for(FileLock::replaceGap() + 20ms);
            return heldOpen;
        }
        looks += called == Kind::Look && opens > 0;
        if (called == Kind::Look && (looks == 1 || looks == 40)) {
            looks == 1 ? renameOver(file, file + ".aside") : renameOver(dir.path("renamed.zvd"), file);
        }
        return std::error_code();
    };
    const std::string folder = dir.path("folder.zvd");
    fs::create_directory(TempFolder::fromUtf8(folder));
    const auto notRegular = [](const std::string& name) { return "'" + name + "' is not a regular file"; };
    // name: the file's unless given; message: what a refusal says; waitsFor:
    // why the lock says it waits, when it does.
    struct Row { const char* what; FaultEnv::Hook hook; bool create; milliseconds wait; Outcome outcome; int pauses = 0;
                 std::string name = {}; std::string message = {}; FileErrc waitsFor = FileErrc::Busy; };
    std::vector<Row> rows = {
        {"held elsewhere for 40 tries", FaultEnv::failing(Kind::Lock, 1, busy, 40), false, 60s, Locked, 40},
        {"renamed over before the lock", replacing({{Kind::Lock, 1, false}}), false, 60s, Locked},
        {"replaced by another process", replacing({{Kind::Lock, 1, true, busy}, {Kind::Look, 40, false}}), true, 60s, Locked},
        {"arriving mid-replace", replacing({{Kind::Look, 1, true}, {Kind::Look, 20, false}}), false, 0ms, Locked},
        {"held open", FaultEnv::failing(Kind::Open, 1, heldOpen, 1 << 30), false, 50ms, HeldOpen, 0, {}, {},
         FileErrc::HeldOpen},
        {"held open, then replaced by another process", heldThenReplaced, false, 60s, Locked, 0, {}, {},
         FileErrc::HeldOpen},
        {"refused", FaultEnv::failing(Kind::Lock, 1, ioError), false, 60s, Refused, 0, file,
         "Cannot lock '" + file + "': " + describe(ioError)},
        {"a folder", {}, false, 30s, Refused, 0, folder, notRegular(folder)},
        {"a folder to create", {}, true, 30s, Refused, 0, folder, notRegular(folder)},
        {"a missing file", {}, false, 30s, Refused, 0, made, "Cannot open '" + made + "' for writing: "},
    };
#ifndef _WIN32
    const std::string fifo = dir.path("fifo.zvd"), dangling = dir.path("dangling.zvd");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(dir.path("none.zvd"), dangling);
    rows.insert(rows.end(), {{"a FIFO", {}, false, 30s, Refused, 0, fifo, notRegular(fifo)},
                             {"a FIFO to create", {}, true, 30s, Refused, 0, fifo, notRegular(fifo)},
                             {"a link to nothing", {}, true, 30s, Refused, 0, dangling,
                              "Cannot create '" + dangling + "': it is a symbolic link to a missing file"},
                             {"in a missing folder", {}, true, 30s, Refused, 0, dir.path("none/a.zvd"),
                              "Cannot create '" + dir.path("none/a.zvd") + "': "}});
#endif
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        dir.write("a.zvd", "x"), dir.write("renamed.zvd", "renamed");
        const auto env = std::make_shared<FaultEnv>(row.hook);
        const ScopedEnv installed(env);
        int waits = 0;
        std::error_code waitedFor;
        const Clock::time_point start = Clock::now();
        try {
            const FileLock lock = FileLock::acquire(row.name.empty() ? file : row.name,
                                                    {row.create, row.wait, [&](std::error_code why) { ++waits, waitedFor = why; },
                                                     dir.path("renamed.zvd")});
            FileIdentity named;
            EXPECT_TRUE(identityOf(file, named) && sameFile(lock.identity(), named)) << "another file is locked";
            EXPECT_TRUE(!lock.createdFile() && row.outcome == Locked);
        } catch (const FileError& e) {
            EXPECT_TRUE(e.code() == FileErrc::HeldOpen && row.outcome == HeldOpen);
        } catch (const FileNameException& e) {
            EXPECT_THAT(e.what(), ::testing::HasSubstr(row.message));
            EXPECT_TRUE(e.code() && row.outcome == Refused) << "no reason as data";
        }
        EXPECT_LT(Clock::now() - start, 1s);
        EXPECT_FALSE(exists(dir.path("none.zvd")) || exists(made));
        const std::vector<milliseconds> pauses = env->pauses();
        EXPECT_TRUE(row.pauses == 0 || pauses.size() == static_cast<std::size_t>(row.pauses)) << pauses.size();
        EXPECT_EQ(waits, pauses.empty() ? 0 : 1);
        EXPECT_TRUE(waits == 0 || waitedFor == row.waitsFor) << waitedFor.message();
        EXPECT_THAT(pauses, ::testing::Each(::testing::Le(25ms)));
    }
}

} // namespace
} // namespace Zorvan
