// FileLock on real files: exclusion between threads and descriptions,
// waiting, a rewrite renamed over the name, and the file a first save creates.

#include <gmock/gmock.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <optional>
#include <vector>

#ifdef _WIN32
#include "Common/WindowsApi.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/FaultyEnv.h"
#include "FileHandling/testing/TempFolder.h"
#include "FileLock/FileLock.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::TempFolder;

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

// How many of this thread and another find the lock of `file` held.
int busyThreads(const std::string& file) { return isBusy(file) + std::async(std::launch::async, isBusy, file).get(); }

class FileLockTest : public ::testing::Test {
protected:
    TempFolder dir;
    std::string file = dir.write("a.zvd", "x");
    std::string made = dir.path("new.zvd");
};

TEST_F(FileLockTest, OthersAreRefusedOrWaitUntilTheHolderLetsGo) {
    std::optional<FileLock> first(FileLock::acquire(file, {}));
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(busyThreads(file), 2);
    EXPECT_LT(Clock::now() - start, 1s);
    int calls = 0;
    EXPECT_THROW(FileLock::acquire(file, {false, 100ms, [&] { ++calls; }}), FileBusyException);
    EXPECT_GE(Clock::now() - start, 100ms);
    EXPECT_EQ(calls, 1);
    std::optional<FileLock> moved(std::move(*first));
    first.reset(); // a moved-from lock releases nothing
    EXPECT_EQ(busyThreads(file), 2);
    std::promise<void> waiting; // told twice, it throws
    auto second = std::async(std::launch::async, [&] {
        return FileLock::acquire(file, {false, std::chrono::milliseconds::max(), [&] { waiting.set_value(); }});
    });
    EXPECT_EQ(waiting.get_future().wait_for(60s), std::future_status::ready);
    moved.reset();
    EXPECT_EQ(second.get().path(), file);
    EXPECT_EQ(busyThreads(file), 0);
}

// Each turn creates the missing file and its release removes it again.
TEST_F(FileLockTest, ThreadsOfOneProcessTakeTurns) {
    std::atomic<int> inside{0};
    std::vector<std::future<void>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(std::async(std::launch::async, [&] {
            for (int i = 0; i < 10; ++i) {
                const FileLock lock = FileLock::acquire(made, {true, 60s, {}});
                EXPECT_TRUE(inside.fetch_add(1) == 0 && lock.createdFile());
                std::this_thread::yield();
                inside.fetch_sub(1);
            }
        }));
    }
    for (auto& thread : threads) {
        EXPECT_NO_THROW(thread.get());
    }
    EXPECT_FALSE(exists(made));
}

// The release removes only a file it created that the name still holds,
// empty; a new file a rewrite put at the name is free at once.
TEST_F(FileLockTest, ReleaseRemovesOnlyTheEmptyFileItCreated) {
    EXPECT_THROW(FileLock::acquire(made, {}), FileNameException);
    EXPECT_FALSE(exists(made));
    {
        const FileLock lock = FileLock::acquire(made, {true, 0ms, {}});
        std::ofstream(TempFolder::fromUtf8(made), std::ios::binary | std::ios::app) << "x";
    }
    EXPECT_EQ(TempFolder::read(made), "x");
    dir.write("new.zvd", "");
    EXPECT_FALSE(FileLock::acquire(made, {true, 0ms, {}}).createdFile());
    EXPECT_TRUE(exists(made));
    fs::remove(TempFolder::fromUtf8(made));
    std::optional<FileLock> old(FileLock::acquire(made, {true, 0ms, {}}));
    ASSERT_TRUE(FileUtilities::replaceFile(dir.write("new.tmp.zvd", ""), made));
    const FileLock renewed = FileLock::acquire(made, {});
    old.reset();
    EXPECT_TRUE(exists(made));
    EXPECT_TRUE(isBusy(made));
}

// Anything but a regular file is refused at once, and so are a link to
// nothing and a name in a missing folder when the lock would create the file.
TEST_F(FileLockTest, RefusesWhatItCannotLockAtOnce) {
    struct Row { std::string name; bool create; std::string message; };
    std::vector<Row> rows;
    std::vector<std::string> odd{dir.path("folder.zvd")};
    fs::create_directory(TempFolder::fromUtf8(odd[0]));
#ifndef _WIN32
    odd.push_back(dir.path("fifo.zvd"));
    ASSERT_EQ(::mkfifo(odd[1].c_str(), 0600), 0);
    const std::string dangling = dir.path("dangling.zvd");
    fs::create_symlink(dir.path("none.zvd"), dangling);
    rows.push_back({dangling, true, "Cannot create '" + dangling + "': it is a symbolic link to a missing file"});
    rows.push_back({dir.path("none/a.zvd"), true, "Cannot create '" + dir.path("none/a.zvd") + "': "});
#endif
    for (const std::string& name : odd) {
        for (const bool create : {false, true}) {
            rows.push_back({name, create, "'" + name + "' is not a regular file"});
        }
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + (row.create ? " with create" : ""));
        const Clock::time_point start = Clock::now();
        try {
            FileLock::acquire(row.name, {row.create, 30s, {}});
            ADD_FAILURE() << "locked";
        } catch (const FileNameException& e) {
            EXPECT_THAT(e.what(), ::testing::HasSubstr(row.message));
            EXPECT_TRUE(e.code()) << "no reason as data";
        }
        EXPECT_LT(Clock::now() - start, 1s);
        EXPECT_FALSE(exists(dir.path("none.zvd")));
    }
}

// How a try ends is what the Env answers: a lock held elsewhere is tried
// again after pauses of at most 25 ms, however long that takes; a file
// renamed over the name between its open and its lock is not the file
// locked; a file another program keeps from being opened for writing
// (Windows sharing) is reported as such once the wait is over; a lock the
// system refuses is a FileNameException with its reason.
TEST_F(FileLockTest, EachTryEndsAsTheEnvAnswers) {
    using testing::FaultyEnv;
    enum Outcome { Locked, HeldOpen, Refused };
    const auto times = [](const char* operation, int count, std::error_code error, std::function<void()> first = {}) {
        return FaultyEnv::Hook([=, seen = 0](std::string_view called, const std::string&) mutable {
            if (called != operation || ++seen > count) {
                return std::error_code();
            }
            return first ? (first(), std::error_code()) : error;
        });
    };
    const std::string renamed = dir.path("renamed.zvd");
    const auto renameOver = [&] {
        std::error_code ignored; // Windows may refuse to rename over an open file: then nothing changed
        fs::rename(TempFolder::fromUtf8(renamed), TempFolder::fromUtf8(file), ignored);
    };
    struct Row { const char* what; FaultyEnv::Hook hook; std::chrono::milliseconds wait; Outcome outcome; std::size_t pauses; };
    const Row rows[] = {
        {"held elsewhere for 40 tries", times("lock", 40, std::make_error_code(std::errc::resource_unavailable_try_again)), 60s, Locked, 40},
        {"renamed over before the lock", times("lock", 1, {}, renameOver), 60s, Locked, 0},
        {"held open", times("open", 1 << 30, std::make_error_code(std::errc::device_or_resource_busy)), 50ms, HeldOpen, 0},
        {"refused", times("lock", 1, std::make_error_code(std::errc::io_error)), 60s, Refused, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        dir.write("a.zvd", "x");
        dir.write("renamed.zvd", "renamed");
        const auto env = std::make_shared<FaultyEnv>(row.hook);
        const ScopedEnv installed(env);
        int waits = 0;
        try {
            const FileLock lock = FileLock::acquire(file, {false, row.wait, [&] { ++waits; }});
            FileIdentity named;
            EXPECT_TRUE(identityOf(file, named) && sameFile(lock.identity(), named)) << "another file is locked";
            EXPECT_EQ(row.outcome, Locked);
        } catch (const FileBusyException& e) {
            EXPECT_TRUE(e.heldOpen() && row.outcome == HeldOpen);
        } catch (const FileNameException& e) {
            EXPECT_EQ(e.code(), std::errc::io_error);
            EXPECT_EQ(row.outcome, Refused);
        }
        if (row.pauses > 0) {
            EXPECT_EQ(env->pauses.size(), row.pauses);
        }
        EXPECT_EQ(waits, env->pauses.empty() ? 0 : 1);
        for (const std::chrono::milliseconds pause : env->pauses) {
            EXPECT_LE(pause, 25ms);
        }
    }
}

#ifdef F_OFD_GETLK
// SQLite's record locks, which closing any descriptor of the file drops,
// neither conflict with the lock, nor are dropped by a refused acquire, nor
// drop it; the lock is one byte, which another description (process) may hold.
TEST_F(FileLockTest, SharesTheFileWithRecordLocksAndExcludesOtherDescriptions) {
    const auto lock = [](int fd, int command, short type, off_t start, off_t length = 1) {
        struct flock region {.l_type = type, .l_whence = SEEK_SET, .l_start = start, .l_len = length, .l_pid = 0};
        EXPECT_EQ(::fcntl(fd, command, &region), 0);
        return region.l_type;
    };
    const int connection = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    const int probe = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    constexpr off_t kSqliteShared = 0x40000002;
    lock(connection, F_SETLK, F_RDLCK, kSqliteShared, 510);
    {
        const FileLock held = FileLock::acquire(file, {});
        EXPECT_TRUE(isBusy(file));
        EXPECT_EQ(lock(probe, F_OFD_GETLK, F_WRLCK, kSqliteShared), F_RDLCK) << "the refused acquire dropped it";
        ::close(connection);
        EXPECT_EQ(lock(probe, F_OFD_GETLK, F_WRLCK, FileLock::kLockOffset), F_WRLCK);
        EXPECT_EQ(lock(probe, F_OFD_GETLK, F_WRLCK, FileLock::kLockOffset + 1), F_UNLCK);
    }
    lock(probe, F_OFD_SETLK, F_WRLCK, FileLock::kLockOffset);
    EXPECT_TRUE(isBusy(file));
    ::close(probe);
    EXPECT_FALSE(isBusy(file));
}
#endif

#ifdef _WIN32
// The lock is one byte locked through a handle of its own. Another handle
// (as another process has) that holds the byte keeps acquire out, one that
// holds SQLite's lock bytes does not; while the lock is held, another
// handle cannot take the byte, yet reads and writes the file's pages; once
// it is released, the byte is free at once.
TEST_F(FileLockTest, ExcludesOtherHandlesOnItsByteAlone) {
    const HANDLE other = ::CreateFileW(TempFolder::fromUtf8(file).c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    const auto at = [](std::int64_t offset) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
        where.OffsetHigh = static_cast<DWORD>(offset >> 32);
        return where;
    };
    const auto tryLock = [&](std::int64_t offset, DWORD length) {
        OVERLAPPED where = at(offset);
        return ::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, length, 0, &where) != 0;
    };
    const auto unlock = [&](std::int64_t offset, DWORD length) {
        OVERLAPPED where = at(offset);
        EXPECT_TRUE(::UnlockFileEx(other, 0, length, 0, &where));
    };
    ASSERT_TRUE(tryLock(FileLock::kLockOffset, 1));
    EXPECT_TRUE(isBusy(file));
    unlock(FileLock::kLockOffset, 1);
    constexpr std::int64_t kSqliteLocks = 0x40000000;
    ASSERT_TRUE(tryLock(kSqliteLocks, 0x200));
    {
        const FileLock held = FileLock::acquire(file, {});
        EXPECT_FALSE(tryLock(FileLock::kLockOffset, 1));
        EXPECT_TRUE(tryLock(FileLock::kLockOffset + 1, 1));
        unlock(FileLock::kLockOffset + 1, 1);
        OVERLAPPED start = at(0);
        DWORD done = 0;
        EXPECT_TRUE(::WriteFile(other, "y", 1, &done, &start) && done == 1);
        char byte = 0;
        EXPECT_TRUE(::ReadFile(other, &byte, 1, &done, &start) && done == 1 && byte == 'y');
    }
    unlock(kSqliteLocks, 0x200);
    EXPECT_TRUE(tryLock(FileLock::kLockOffset, 1));
    ::CloseHandle(other);
    EXPECT_FALSE(isBusy(file));
}

// Another process's rewrite, as ReplaceFileW does it: the locked design is
// moved aside, the name holds nothing for a moment, then the new file is
// moved in. A save waiting meanwhile, one that would create a missing
// design too, locks the new file; it never fills the empty name.
TEST_F(FileLockTest, AWaiterLocksTheNewFileOfAReplaceThatEmptiedTheNameForAMoment) {
    const HANDLE other = ::CreateFileW(TempFolder::fromUtf8(file).c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OVERLAPPED byte{};
    byte.Offset = static_cast<DWORD>(FileLock::kLockOffset & 0xFFFFFFFF);
    byte.OffsetHigh = static_cast<DWORD>(FileLock::kLockOffset >> 32);
    ASSERT_TRUE(::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &byte));
    std::promise<void> waiting;
    auto waiter = std::async(std::launch::async, [&] {
        return FileLock::acquire(file, {true, 60s, [&] { waiting.set_value(); }});
    });
    ASSERT_EQ(waiting.get_future().wait_for(60s), std::future_status::ready);
    const std::wstring name = TempFolder::fromUtf8(file).wstring();
    ASSERT_TRUE(::MoveFileExW(name.c_str(), (name + L".aside").c_str(), 0));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(::MoveFileExW(TempFolder::fromUtf8(dir.write("new.tmp.zvd", "new")).c_str(), name.c_str(), 0));
    const FileLock lock = waiter.get();
    EXPECT_FALSE(lock.createdFile());
    EXPECT_EQ(TempFolder::read(file), "new");
    ::CloseHandle(other);
}
#endif

} // namespace
} // namespace Zorvan
