// The design store and another program of the system's SQLite, with its
// ordinary locks (its default VFS, in a child process), on one design:
// each keeps the other out, lets it read, and rolls back what the other
// left half done, as two programs of the system's SQLite do.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "FileHandling/testing/FaultEnv.h"
#include "FileHandling/testing/TempFolder.h"
#include "Serialization/testing/OtherProgram.h"
#include "Serialization/SqliteDesignStore.h"

namespace Zorvan {
namespace {

using namespace std::chrono_literals;
using testing::OtherProgram;

// Whether any program holds a lock on SQLite's pending byte of `file`.
// Without open file description locks this process's own are not seen, and
// a wait for them lasts its whole time.
#ifndef F_OFD_GETLK
#define F_OFD_GETLK F_GETLK
#endif
bool pendingHeld(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock probe {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0x40000000, .l_len = 1, .l_pid = 0};
    const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

enum class Party { Stock, Ours };
// What the holder does to the design's data revision, "before" until then:
// sets it to "held" under RESERVED, and commits it when let go; under
// PENDING it waits to commit for a reader of ours that came first; killed,
// it dies with the design partly overwritten and its journal on the disk.
enum class Hold { Reserved, Pending, Killed };
enum class Try { Read, Write };

// keptOut: the trier waits for the holder to let go (and sees "held"); else goes on at once (and sees "before").
struct Row { const char* what; Party holder; Hold hold; Party trier; Try attempt; bool keptOut; };

const Row kRows[] = {
    {"a writer is kept out by our RESERVED", Party::Ours, Hold::Reserved, Party::Stock, Try::Write, true},
    {"a reader goes on under our RESERVED", Party::Ours, Hold::Reserved, Party::Stock, Try::Read, false},
    {"a new reader is kept out by our PENDING", Party::Ours, Hold::Pending, Party::Stock, Try::Read, true},
    {"a writer is kept out by our PENDING", Party::Ours, Hold::Pending, Party::Stock, Try::Write, true},
    {"our writer is kept out by its RESERVED", Party::Stock, Hold::Reserved, Party::Ours, Try::Write, true},
    {"our reader goes on under its RESERVED, its live journal taken for no hot one", Party::Stock, Hold::Reserved,
     Party::Ours, Try::Read, false},
    {"our new reader is kept out by its PENDING", Party::Stock, Hold::Pending, Party::Ours, Try::Read, true},
    {"our writer is kept out by its PENDING", Party::Stock, Hold::Pending, Party::Ours, Try::Write, true},
    {"our writer is kept out by our other writer's RESERVED", Party::Ours, Hold::Reserved, Party::Ours, Try::Write,
     true},
    {"its journal, killed mid-commit, is rolled back by our reader", Party::Stock, Hold::Killed, Party::Ours,
     Try::Read, false},
    {"our journal, killed mid-commit, is rolled back by its reader", Party::Ours, Hold::Killed, Party::Stock,
     Try::Read, false},
};

constexpr auto kHeld = 300ms; // how long a holder keeps its lock before letting go
constexpr int kObjects = 60;

class StockSqliteLocks : public ::testing::Test {
protected:
    testing::TempFolder folder;
    std::string design = folder.path("d.zvd");
    std::string journal = SqliteDesignStore::journalPath(design);

    // A design of kObjects objects that only its owner and group may read (and so its journals).
    // Written as designs were before checksums: the stock program's commits
    // are what the store then reads, not damage.
    void makeDesign() const {
        (void)OtherProgram(design).run("CREATE TABLE t(x); DROP TABLE t");
        auto store = SqliteDesignStore::openForWriting(design);
        store->writeDataRevision("before");
        forEachObject(100, 'x', [&](SerializationTransferObject& object) { store->insert(object); });
        store->commit();
        ::chmod(design.c_str(), 0640);
    }
    // Each of the kObjects objects, with a payload of `size` bytes `fill`.
    static void forEachObject(int size, char fill, const std::function<void(SerializationTransferObject&)>& visit) {
        for (int id = 1; id <= kObjects; ++id) {
            SerializationTransferObject object(id, "Pipe", std::string(static_cast<std::size_t>(size), fill));
            visit(object);
        }
    }
    // Our writer's change, under RESERVED, with its journal on the disk.
    static void change(SqliteDesignStore& store, int payload) {
        store.writeDataRevision("held");
        forEachObject(payload, 'y', [&](SerializationTransferObject& object) { store.update(object); });
    }
    // Our writer in a child, killed at its second write to the design after
    // its commit flushed the journal.
    void killOursMidCommit() const {
        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            bool flushed = false;
            int written = 0;
            Env::install(std::make_shared<testing::FaultEnv>([&](testing::FaultEnv::Kind kind, const std::string& name) {
                flushed = flushed || (kind == testing::FaultEnv::Kind::Sync && name.ends_with("-journal"));
                if (kind == testing::FaultEnv::Kind::Write && flushed && name.ends_with(".zvd") && ++written == 2) {
                    ::raise(SIGKILL);
                }
                return std::error_code();
            }));
            auto store = SqliteDesignStore::openForWriting(design);
            change(*store, 3000);
            store->commit();
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "our writer was not killed mid-commit";
    }
    // What the trier reads of the data revision, through its read or write.
    std::string attempt(const Row& row, OtherProgram& stock) const {
        if (row.trier == Party::Stock) {
            return stock.run(row.attempt == Try::Read
                                 ? "SELECT data_revision FROM zv_metadata"
                                 : "UPDATE zv_metadata SET update_count = update_count + 1 RETURNING data_revision");
        }
        std::string revision;
        try {
            if (row.attempt == Try::Read) {
                if (row.keptOut) {
                    EXPECT_THROW(SqliteDesignStore::openForReading(design, 20ms), FileError)
                        << "a reader that may not wait says it is kept out";
                }
                SqliteDesignStore::openForReading(design)->readDataRevision(revision);
            } else {
                auto store = SqliteDesignStore::openForWriting(design);
                store->readDataRevision(revision);
                store->markUpdated();
                store->commit();
            }
        } catch (const FileError& e) {
            return e.what();
        }
        return revision;
    }
};

TEST_F(StockSqliteLocks, EachKeepsTheOtherOutAsTwoStockProgramsWould) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        folder.clear();
        makeDesign();
        const std::string before = testing::TempFolder::read(design);
        // Forked before anything of ours is open or running; waits up to 5 s
        // for a lock, as a program with a busy timeout does.
        std::optional<OtherProgram> stock(std::in_place, design, 5s);
        // Our writer, and a reader a commit waits for, in PENDING.
        std::shared_ptr<SqliteDesignStore> writer, reader = row.hold == Hold::Pending ? SqliteDesignStore::openForReading(design) : nullptr;
        std::thread committer; // our writer waiting in PENDING
        if (row.holder == Party::Stock && row.hold != Hold::Killed) {
            // Synchronous off: its journal's header is written at once, as
            // a hot journal's is, though the transaction is alive.
            ASSERT_EQ(stock->run("PRAGMA synchronous = OFF; BEGIN IMMEDIATE; "
                                "UPDATE zv_metadata SET data_revision = 'held'; PRAGMA busy_timeout = 0"),
                      "0");
            if (row.hold == Hold::Pending) {
                ASSERT_EQ(stock->run("COMMIT"), "error 5") << "it waits for our reader, in PENDING";
            }
            ASSERT_EQ(stock->run("PRAGMA busy_timeout = 5000"), "5000");
        } else if (row.holder == Party::Stock) {
            // A transaction larger than its cache writes part of the design
            // before it commits, its journal flushed first.
            ASSERT_EQ(stock->run("PRAGMA cache_size = 2; BEGIN IMMEDIATE; UPDATE zv_metadata SET data_revision = "
                                "'held'; UPDATE zv_objects SET payload = randomblob(3000)"),
                      "-");
            stock.reset(); // killed
        } else if (row.hold == Hold::Killed) {
            killOursMidCommit();
        } else {
            writer = SqliteDesignStore::openForWriting(design);
            change(*writer, 100);
            struct stat made {};
            ASSERT_EQ(::stat(journal.c_str(), &made), 0);
            EXPECT_EQ(made.st_mode & 07777, 0640u) << "our journal has its design's access";
            if (row.hold == Hold::Pending) {
                committer = std::thread([&] { EXPECT_NO_THROW(writer->commit()); });
                for (int i = 0; i < 500 && !pendingHeld(design); ++i) {
                    std::this_thread::sleep_for(10ms);
                }
            }
        }
        if (row.hold == Hold::Killed) {
            EXPECT_TRUE(testing::TempFolder::read(design) != before) << "the design was partly written";
        }
        if (row.holder == Party::Stock || row.hold == Hold::Killed) {
            EXPECT_NE(testing::TempFolder::read(journal).substr(0, 1), std::string(1, '\0')) << "looks hot";
        }

        // The holder lets go a while after the trier began; the trier got
        // in at once, or only once it did.
        std::thread letGo([&] {
            std::this_thread::sleep_for(kHeld);
            if (row.hold == Hold::Pending) {
                reader->endRead();
            }
            if (row.holder == Party::Stock && row.hold != Hold::Killed) {
                EXPECT_EQ(stock->run("COMMIT"), "-");
            } else if (row.hold == Hold::Reserved) {
                EXPECT_NO_THROW(writer->commit());
            }
        });
        const auto began = std::chrono::steady_clock::now();
        const std::string seen = attempt(row, *stock);
        const auto took = std::chrono::steady_clock::now() - began;
        letGo.join();
        if (committer.joinable()) {
            committer.join();
        }
        EXPECT_EQ(seen, row.keptOut ? "held" : "before");
        EXPECT_EQ(took >= kHeld, row.keptOut) << "took " << (took / 1ms) << " ms";
        writer = reader = nullptr;
        // Whatever happened, the design is whole, and no journal is left.
        EXPECT_EQ(OtherProgram(design).run("PRAGMA integrity_check"), "ok");
        EXPECT_FALSE(std::filesystem::exists(journal));
    }
}

} // namespace
} // namespace Zorvan
