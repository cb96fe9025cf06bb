// FileLock on real files: exclusion between threads and processes, the
// name followed to a file a rewrite renamed over it, and the file a first
// save creates.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/TempFolder.h"
#include "FileLock/FileLock.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::TempFolder;

FileLock::Options options(bool create, std::chrono::milliseconds wait, std::function<void()> onWait = {}) {
    FileLock::Options result;
    result.create = create;
    result.wait = wait;
    result.onWait = std::move(onWait);
    return result;
}

bool exists(const std::string& file) { return fs::exists(TempFolder::fromUtf8(file)); }

// True when the lock of `file` is held elsewhere (a lock got is let go at once).
bool isBusy(const std::string& file) {
    try {
        FileLock::acquire(file, {});
        return false;
    } catch (const FileBusyException& e) {
        EXPECT_EQ(e.path(), file);
        return true;
    }
}

TEST(FileLock, ASecondHolderIsRefusedAtOnceUntilTheFirstIsReleased) {
    const TempFolder dir;
    const std::string file = dir.write("a.zvd", "x");
    for (const bool otherThread : {false, true}) {
        SCOPED_TRACE(otherThread ? "other thread" : "same thread");
        const auto busy = [&] { return otherThread ? std::async(std::launch::async, isBusy, file).get() : isBusy(file); };
        std::optional<FileLock> first(FileLock::acquire(file, {}));
        const Clock::time_point start = Clock::now();
        EXPECT_TRUE(busy());
        EXPECT_LT(Clock::now() - start, 1s);
        FileLock moved = std::move(*first);
        first.reset(); // a moved-from lock releases nothing
        EXPECT_TRUE(busy());
        { const FileLock last = std::move(moved); }
        EXPECT_FALSE(busy());
    }
}

TEST(FileLock, AWaiterIsToldOnceAndGetsTheLockWhenItIsReleased) {
    const TempFolder dir;
    const std::string file = dir.write("a.zvd", "x");
    std::optional<FileLock> first(FileLock::acquire(file, {}));
    int calls = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_THROW(FileLock::acquire(file, options(false, 100ms, [&] { ++calls; })), FileBusyException);
    EXPECT_GE(Clock::now() - start, 100ms);
    EXPECT_EQ(calls, 1);

    // Waiting as long as it takes ends when the first lock is released.
    calls = 0;
    std::promise<void> waiting;
    auto second = std::async(std::launch::async, [&] {
        return FileLock::acquire(file, options(false, std::chrono::milliseconds::max(), [&] {
                                     ++calls;
                                     waiting.set_value();
                                 }));
    });
    EXPECT_EQ(waiting.get_future().wait_for(60s), std::future_status::ready);
    first.reset();
    EXPECT_EQ(second.get().path(), file);
    EXPECT_EQ(calls, 1);
}

// Every acquisition creates the missing file and its release removes it
// again, empty: the turns must not let two threads in nor fail on a file
// that comes and goes.
TEST(FileLock, ThreadsOfOneProcessTakeTurns) {
    const TempFolder dir;
    const std::string file = dir.path("new.zvd");
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::future<void>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(std::async(std::launch::async, [&] {
            for (int i = 0; i < 10; ++i) {
                const FileLock lock = FileLock::acquire(file, options(true, 60s));
                if (inside.fetch_add(1) != 0 || !lock.createdFile()) {
                    overlapped = true;
                }
                std::this_thread::yield();
                inside.fetch_sub(1);
            }
        }));
    }
    for (auto& thread : threads) {
        EXPECT_NO_THROW(thread.get());
    }
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(exists(file));
}

// A rewrite put a new file in the name's place while the old one is still
// locked: the new file is free at once, and releasing the old lock, which
// created the old file and left it empty, does not remove the new one.
TEST(FileLock, FollowsTheNameToTheFileARewritePutThere) {
    const TempFolder dir;
    const std::string file = dir.path("a.zvd");
    std::optional<FileLock> old(FileLock::acquire(file, options(true, 0ms)));
    ASSERT_TRUE(old->createdFile());
    ASSERT_TRUE(FileUtilities::replaceFile(dir.write("a.tmp.zvd", ""), file));
    const FileLock renewed = FileLock::acquire(file, {});
    EXPECT_FALSE(renewed.createdFile());
    old.reset();
    EXPECT_TRUE(exists(file));
    EXPECT_TRUE(isBusy(file));
}

TEST(FileLock, RemovesTheFileItCreatedOnlyWhileItIsEmpty) {
    const TempFolder dir;
    const std::string file = dir.path("new.zvd");
    EXPECT_THROW(FileLock::acquire(file, {}), FileNameException);
    EXPECT_FALSE(exists(file));

    const struct {
        const char* what;
        bool existed;
        bool written;
        bool kept;
    } cases[] = {
        {"created, left empty", false, false, false},
        {"created, written", false, true, true},
        {"existed, empty", true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(TempFolder::fromUtf8(file));
        if (c.existed) {
            dir.write("new.zvd", "");
        }
        {
            const FileLock lock = FileLock::acquire(file, options(true, 0ms));
            EXPECT_EQ(lock.createdFile(), !c.existed);
            EXPECT_TRUE(exists(file));
            if (c.written) {
                std::ofstream(TempFolder::fromUtf8(file), std::ios::binary | std::ios::app) << "x";
            }
        }
        EXPECT_EQ(exists(file), c.kept);
    }
}

TEST(FileLock, RefusesAnythingButARegularFileAtOnce) {
    const TempFolder dir;
    std::vector<std::string> names{dir.path("folder.zvd")};
    fs::create_directory(TempFolder::fromUtf8(names[0]));
#ifndef _WIN32
    names.push_back(dir.path("fifo.zvd"));
    ASSERT_EQ(::mkfifo(names[1].c_str(), 0600), 0);
#endif
    for (const std::string& name : names) {
        for (const bool create : {false, true}) {
            SCOPED_TRACE(name + (create ? " with create" : ""));
            const Clock::time_point start = Clock::now();
            try {
                FileLock::acquire(name, options(create, 30s));
                ADD_FAILURE() << "locked";
            } catch (const FileNameException& e) {
                EXPECT_EQ(std::string(e.what()), "'" + name + "' is not a regular file");
            }
            EXPECT_LT(Clock::now() - start, 1s);
        }
    }
}

#ifndef _WIN32
// A child process takes the lock, says so through a pipe and keeps it
// until it is killed, as a save that crashes: its lock goes with it.
TEST(FileLock, ALockHeldByAnotherProcessExcludesUntilItEnds) {
    const TempFolder dir;
    const std::string file = dir.write("a.zvd", "x");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const FileLock lock = FileLock::acquire(file, {});
        char signal = 'L';
        if (::write(ready[1], &signal, 1) == 1) {
            ::pause();
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    char signal = 0;
    EXPECT_EQ(::read(ready[0], &signal, 1), 1) << "the child did not get the lock";
    EXPECT_TRUE(isBusy(file));
    ::kill(child, SIGKILL);
    EXPECT_EQ(::waitpid(child, nullptr, 0), child);
    ::close(ready[0]);
    EXPECT_FALSE(isBusy(file));
}

#ifdef F_OFD_GETLK
// SQLite's locks are classic record locks of the process, which closing any
// descriptor of the file drops. One held beside the lock, as by an open
// connection, must neither conflict with it nor be dropped when a second
// acquire of the file is refused; the lock itself is one byte.
TEST(FileLock, LeavesTheProcesssRecordLocksAlone) {
    const TempFolder dir;
    const std::string file = dir.write("a.zvd", "x");
    const auto byteLock = [](short type, off_t start, off_t length) {
        struct flock region {};
        region.l_type = type;
        region.l_whence = SEEK_SET;
        region.l_start = start;
        region.l_len = length;
        return region;
    };
    const int connection = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    const int probe = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(connection, 0);
    ASSERT_GE(probe, 0);
    constexpr off_t kSqliteShared = 0x40000002;
    struct flock shared = byteLock(F_RDLCK, kSqliteShared, 510);
    ASSERT_EQ(::fcntl(connection, F_SETLK, &shared), 0);
    const auto heldAt = [&](off_t start) {
        struct flock region = byteLock(F_WRLCK, start, 1);
        EXPECT_EQ(::fcntl(probe, F_OFD_GETLK, &region), 0);
        return region.l_type;
    };
    {
        const FileLock lock = FileLock::acquire(file, {});
        EXPECT_TRUE(isBusy(file));
        EXPECT_EQ(heldAt(kSqliteShared), F_RDLCK) << "the refused acquire dropped the record lock";
        EXPECT_EQ(heldAt(FileLock::kLockOffset), F_WRLCK);
        EXPECT_EQ(heldAt(FileLock::kLockOffset + 1), F_UNLCK);
    }
    ::close(probe);
    ::close(connection);
}
#endif
#endif

} // namespace
} // namespace Zorvan
