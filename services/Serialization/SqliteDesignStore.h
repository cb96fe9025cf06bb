#pragma once
/// @file
/// SqliteDesignStore: a design file on disk. One design file is one SQLite
/// database with a metadata row, a table of objects (identity, type,
/// payload) and a table of groups; its application id marks it as a design
/// file.
///
/// A handle is bound to its file by one of the two factories. A handle for
/// writing opens one transaction before its first change; nothing it wrote
/// is in the file until commit() returns, and a handle destroyed without
/// commit() leaves the file as it was. An update in place is therefore all
/// or nothing, even when the process dies in the middle.
///
/// Failures other than those of readCurrentVersion/readFileVersion (which
/// answer false for a file that holds no design) raise FileError: the
/// file's path, its role (the design, or for a handle made by
/// openForReplacement the new version; a file beside it SQLite would use)
/// and the error as a code.
///
/// Damage is a failure of its own (is(code, FileErrc::Damaged)), raised by
/// readFileVersion too: a page that does not hold what was written to it
/// (every page of a design this store created keeps a checksum of itself
/// in its last 8 bytes, the page's reserved bytes, and each read checks
/// it), a file cut short, pages that contradict each other (SQLite's
/// corruption, a walk that meets an identity twice or out of order), a
/// header SQLite cannot read behind SQLite's magic. A design a stock
/// SQLite program changed after the store wrote it is damaged to this
/// check. Designs written before checksums (no reserved bytes) are read
/// as they always were, and an update in place keeps them so.
///
/// SQLite reads, writes, flushes, locks and removes the design and its
/// journal through the installed Env (a VFS of the store's own; never the
/// process's default VFS, which other SQLite users keep). Its locks are the
/// Env's: they belong to the open file, not to the process, so two handles
/// of one process keep each other out as two processes do, and closing
/// another descriptor of the file (the store's checks, a file lock, a
/// connection of the system's SQLite) never drops them. The bytes are
/// SQLite's own, so other programs' SQLite and the store respect each
/// other's locks; a connection of the system's SQLite in this same process
/// does not keep its own (POSIX record locks of the process), since the
/// store closes descriptors of the file.
///
/// Thread-safety: one thread at a time per handle; distinct handles may be
/// used concurrently.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <system_error>

#include "Exceptions/FileError.h"
#include "FileHandling/Folder.h"
#include "Serialization/DesignStoreExport.h"
#include "Serialization/SingleObjectInterface.h"

struct sqlite3;
struct sqlite3_stmt;

namespace Zorvan {
namespace internal {
class VfsSite;
}

/// The error category of SQLite's result codes, extended codes included
/// (SQLITE_CONSTRAINT_PRIMARYKEY, SQLITE_IOERR_WRITE, ...): the cause a
/// store's failure carries when SQLite, not the system, gave it. message()
/// is SQLite's sentence for the code, which never holds a statement or a
/// name of the schema. The codes of a full disk, a busy file, a lack of
/// memory, of permission or an input/output error compare equal to the
/// portable conditions (means(code, std::errc::no_space_on_device)); a file
/// that is no database or a damaged one compares equal to
/// FileErrc::NotADesign and FileErrc::Damaged, and a busy file and a
/// duplicate identity stand for FileErrc::Busy and FileErrc::Duplicate
/// (is(code, FileErrc::Busy)): the store raises them with SQLite's code.
SERVICES_DESIGNSTORE_EXPORT const std::error_category& designStoreCategory();

/// What an autosave copy records of the design it was made from, so that
/// start-up can tell whether a save came after it: the design file (its
/// device, inode and birth, as FileHandling's FileIdentity) and the
/// design's change counter then.
struct AutosaveOrigin {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t birth = 0;
    std::uint32_t changes = 0;
};

class SERVICES_DESIGNSTORE_EXPORT SqliteDesignStore final : public SingleObjectInterface<SerializationTransferObject> {
public:
    /// The format version this software writes. Defined in the library, not
    /// inline: MinGW's GCC exports no inline data member from a DLL, and a
    /// host that takes its address (EXPECT_EQ binds a reference) would not
    /// link.
    static const std::int32_t kCurrentVersion = 3;

    /// How long an open waits for another program that holds the file
    /// locked before it gives up with FileErrc::Busy.
    static constexpr std::chrono::milliseconds kBusyTimeout{5000};

    /// Opens an existing file read-only. An update in place that was cut
    /// short is rolled back first. Throws when the file does not exist or
    /// cannot be opened; a file that is not a design opens, and then
    /// answers false to readFileVersion.
    ///
    /// The handle reads the file in one read transaction, which it takes as
    /// it opens: everything it reads is one state of the file, and reading
    /// its metadata costs one lock. Other programs may read meanwhile; one
    /// that updates the file in place waits until endRead(), close() or the
    /// handle's end lets the lock go.
    ///
    /// Every factory refuses a file or a rollback journal (path +
    /// "-journal") that is not a regular file (a FIFO, a device, a folder),
    /// which SQLite would otherwise block on, without blocking; and raises
    /// FileErrc::Busy when another program still holds the file
    /// locked after `busyTimeout`.
    ///
    /// What SQLite would play into the design is judged on the handle SQLite
    /// opened, before it reads a byte of it. A design this software writes
    /// is never in write-ahead mode: a write-ahead log (path + "-wal") is
    /// refused, as busy while a program has it open (it holds the log's
    /// shared memory locked), else as FileErrc::UnfinishedLog. So
    /// is a design switched to write-ahead mode, a journal or log with other
    /// names too, a journal that names a super-journal, and a rollback
    /// journal SQLite would play back (not empty, header not zeroed, nobody
    /// holding SQLite's reserved lock) or write into whose owner could not
    /// have written the design (its owner, root, or a member of its group
    /// when the group may write it). One of those users that an update cut
    /// short left is played back (rolled back) as SQLite does. A journal that
    /// would not be played back is left alone. Links at `path` are followed
    /// only as the kernel would: a link of another user in a sticky folder
    /// that everybody may write to is refused too.
    static std::shared_ptr<SqliteDesignStore> openForReading(const std::string& path,
                                                             std::chrono::milliseconds busyTimeout = kBusyTimeout);
    /// The same, of the design at `site`, which the caller resolved and
    /// holds: SQLite reaches the design and its journal in that folder and
    /// nothing else, whatever happens to its path meanwhile.
    static std::shared_ptr<SqliteDesignStore> openForReading(const Site& site,
                                                             std::chrono::milliseconds busyTimeout = kBusyTimeout);
    /// Opens the design at `site` as openForReading does, for a rewrite
    /// that reads it while it writes its new version: the handle also keeps
    /// every other SQLite writer of the design out (it holds SQLite's
    /// reserved lock, after rolling back a journal an update cut short) until
    /// it ends, so that no other program is in the middle of a transaction
    /// on the design when the new version is put in its place. Raises
    /// FileErrc::Busy when another writer still has it after
    /// `busyTimeout`. A design this user may only read is read, no writer
    /// kept out. Writes through the handle are refused.
    static std::shared_ptr<SqliteDesignStore> openForRewrite(const Site& site,
                                                             std::chrono::milliseconds busyTimeout = kBusyTimeout);
    /// Creates the file (recording `writerVersion` as its format version),
    /// or opens an existing design for an update in place. Refuses a path
    /// whose last component is a symbolic link (links in its folders are
    /// resolved first), an existing file that is not a design (an
    /// empty database becomes one only when its header carries no other
    /// program's application id or user version), and a file that ends
    /// inside a page, which a rollback would lengthen.
    /// `writerVersion` is the format version the writing software reports
    /// through readCurrentVersion; tests use it to stand in for other
    /// releases.
    static std::shared_ptr<SqliteDesignStore> openForWriting(const std::string& path,
                                                             std::int32_t writerVersion = kCurrentVersion);
    /// The same, at `site` (see openForReading).
    static std::shared_ptr<SqliteDesignStore> openForWriting(const Site& site,
                                                             std::int32_t writerVersion = kCurrentVersion);
    /// Opens an empty file the caller has just created (NewFile) for a new
    /// design that a durable replace will put in place of another file. It
    /// is written without a rollback journal and without syncs of its own:
    /// nobody sees the file before the replace flushes it, and a crash
    /// leaves a file the next save removes. A handle dropped without
    /// commit() leaves the file in no useful state; the caller removes it.
    /// Refuses a symbolic link at `path` and a file that is not empty.
    static std::shared_ptr<SqliteDesignStore> openForReplacement(const std::string& path,
                                                                 std::int32_t writerVersion = kCurrentVersion);
    /// The same, at `site` (see openForReading).
    static std::shared_ptr<SqliteDesignStore> openForReplacement(const Site& site,
                                                                 std::int32_t writerVersion = kCurrentVersion);

    ~SqliteDesignStore() override;
    SqliteDesignStore(const SqliteDesignStore&) = delete;
    SqliteDesignStore& operator=(const SqliteDesignStore&) = delete;

    bool isOpen() const override;
    bool readCurrentVersion(std::int32_t& version) override;
    bool readFileVersion(std::int32_t& version) override;
    void markUpdated() override;
    void addGroup(std::int32_t& reference) override;
    std::int32_t groupCount() const override;
    void readDataRevisionNumber(std::int32_t& number) override;
    void writeDataRevisionNumber(std::int32_t& number) override;
    void readDataRevision(std::string& revision) override;
    void writeDataRevision(const std::string& revision) override;
    void writeCreatedRevision(const std::string& revision) override;
    void readCreatedRevision(std::string& revision) override;
    void writeLastSavedRevision(const std::string& revision) override;
    void readLastSavedRevision(std::string& revision) override;
    std::int64_t objectCount() const override;
    /// Makes every change of this handle durable at once. Throws when it
    /// cannot; the file then holds what it held before.
    void commit() override;
    /// Closes the file now, also while other shares of the handle remain
    /// (changes not committed are dropped); every later call that needs the
    /// file raises FileErrc::Closed. In a forked child, a handle of the
    /// parent is let go without touching the file: the parent's transaction
    /// and locks stay the parent's (its memory is then not released).
    void close();
    void writeMaxIdentifier(std::int64_t number, std::int16_t domain) override;
    void readMaxIdentifier(std::int64_t& number, std::int16_t& domain) override;
    bool contains(SerializationTransferObject& object) override;
    void insert(SerializationTransferObject& object) override;
    bool read(SerializationTransferObject& object) override;
    void update(SerializationTransferObject& object) override;
    /// Removes the stored object of identity `identity`; false when the
    /// file holds none. Part of the handle's transaction, as every write.
    bool remove(std::int64_t identity);
    /// Records, in an autosave copy, the design it was made from.
    void writeAutosaveOrigin(const AutosaveOrigin& origin);
    /// The same, with the design's leaf name as its folder spells it: what
    /// still names the design after a save gave it another file.
    void writeAutosaveOrigin(const AutosaveOrigin& origin, const std::string& designLeaf);
    /// What writeAutosaveOrigin recorded; false when the file records none
    /// (a design).
    bool readAutosaveOrigin(AutosaveOrigin& origin) const;
    /// The design's leaf name writeAutosaveOrigin recorded; false when the
    /// file records none (no origin, or one recorded without a name).
    bool readAutosaveOriginName(std::string& designLeaf) const;

    /// What forEachObject reads of each object.
    enum class Fields { All, IdentityAndType };
    /// Receives one object; returns false to end the walk.
    using ObjectVisitor = std::function<bool(const SerializationTransferObject& object)>;
    /// Calls `visit` with every stored object in identity order, until it
    /// returns false. With Fields::IdentityAndType the payloads are not read
    /// (the objects' payloads are empty). Objects are read a few hundred at
    /// a time, so the walk holds little memory, and `visit` may write
    /// through this handle; objects it inserts with an identity larger than
    /// every one stored when the walk began (as new identities are) are not
    /// visited. A handle not in a transaction reads the whole walk in one.
    void forEachObject(const ObjectVisitor& visit, Fields fields = Fields::All) const;
    /// Ends the read transaction of a handle for reading; later reads each
    /// take the lock for themselves. Does nothing on a handle for writing.
    void endRead();
    /// How many saves updated the file in place.
    std::int64_t updateCount() const;
    /// The largest identity an object of the file has; 0 when it has none.
    std::int64_t maxObjectId() const;
    /// The file's change counter: it grows with every transaction any
    /// program commits to it. Read from the disk, under this handle's lock.
    std::uint32_t changeCounter() const;
    /// The longest path, in bytes, the store can open a file by.
    static std::size_t maxPathLength();
    /// The rollback journal SQLite keeps beside `path` while it updates it,
    /// found by name: a replacement renamed in under a journal left there
    /// would have that journal rolled into it by the next open.
    static std::string journalPath(const std::string& path) { return path + "-journal"; }
    /// Whether another SQLite writer is in the middle of a transaction on
    /// the design at `site`: a hot rollback journal or a write-ahead log
    /// beside it, which the next open would play into whatever file then
    /// holds the design's name. Throws FileNameException when it cannot look.
    static bool writerBeside(const Site& site);
    /// True when the file holds no database at all: a first save that did
    /// not finish leaves it so (an interrupted one is rolled back to empty
    /// when it is opened).
    bool isEmpty() const;
    /// Writes a consistent copy of the committed file into `path`, an empty
    /// file the caller created (NewFile); a symbolic link at `path` is
    /// refused. The copy is not flushed: the caller's durable replace does that.
    void copyTo(const std::string& path) const;
    /// The same, into the file at `site`.
    void copyTo(const Site& site) const;
    /// The same, made an autosave copy that records `origin` and the
    /// design's leaf name (writeAutosaveOrigin), written as the copy is: with
    /// no journal of its own beside it.
    void copyTo(const Site& site, const AutosaveOrigin& origin, const std::string& designLeaf) const;
    const std::string& path() const noexcept { return m_path; }
    /// The file the handle opened (device and inode), whatever its name
    /// holds now.
    FileIdentity identity() const;

private:
    class Statement;
    struct Statements;

    SERVICES_DESIGNSTORE_NO_EXPORT SqliteDesignStore(Site site, std::string path, int flags,
                                                     std::int32_t writerVersion, std::chrono::milliseconds busyTimeout,
                                                     FileRole role);
    /// Opens the file at `site` with `flags`: the path-less factories' common part.
    SERVICES_DESIGNSTORE_NO_EXPORT static std::shared_ptr<SqliteDesignStore>
    opened(const Site& site, int flags, std::int32_t writerVersion, std::chrono::milliseconds busyTimeout,
           FileRole role = FileRole::Design);
    /// The open connection; raises FileErrc::Closed after close().
    SERVICES_DESIGNSTORE_NO_EXPORT sqlite3* connection() const;
    SERVICES_DESIGNSTORE_NO_EXPORT void execute(const char* sql) const;
    /// Starts the read transaction of a handle for reading and takes its
    /// lock; returns SQLite's answer to the first read.
    SERVICES_DESIGNSTORE_NO_EXPORT int beginRead();
    /// Raises what keeps the first read (`result`) from reading the file:
    /// a file the VFS refused, or another program's lock.
    SERVICES_DESIGNSTORE_NO_EXPORT void requireRead(int result) const;
    /// Raises why SQLite failed on the connection: a file the VFS refused,
    /// another program's lock, the system's error or SQLite's.
    [[noreturn]] SERVICES_DESIGNSTORE_NO_EXPORT void fail() const;
    /// Lets go of the connection without closing it (see close()).
    SERVICES_DESIGNSTORE_NO_EXPORT void abandon() noexcept;
    SERVICES_DESIGNSTORE_NO_EXPORT void beginWrite();
    SERVICES_DESIGNSTORE_NO_EXPORT void createSchema();
    template <class T>
    SERVICES_DESIGNSTORE_NO_EXPORT void writeField(const char* column, const T& value);
    template <class T>
    SERVICES_DESIGNSTORE_NO_EXPORT bool readField(const char* column, T& value) const;
    /// A statement of `sql` this handle keeps prepared, reset when the
    /// returned owner goes; null when it cannot be prepared (SQLite's error
    /// is then the connection's).
    using Reused = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
    SERVICES_DESIGNSTORE_NO_EXPORT Reused reused(const std::string& sql) const;
    /// The one integer the query `sql` answers.
    SERVICES_DESIGNSTORE_NO_EXPORT std::int64_t countOf(const char* sql) const;

    std::string m_path;
    /// What the file is to a save: the design, or the new version.
    FileRole m_role = FileRole::Design;
    /// Where the connection reaches the file; it outlives the connection.
    std::unique_ptr<internal::VfsSite> m_site;
    /// The process that opened the connection: only it may close it.
    std::uint64_t m_process;
    std::int32_t m_writerVersion;
    bool m_writable;
    bool m_inTransaction = false;
    /// A rewrite's read of the design, holding other writers out.
    bool m_keepsWritersOut = false;
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> m_db;
    std::unique_ptr<Statements> m_statements;
    /// The metadata and count queries, prepared once per handle: opening a
    /// design asks for its version and revisions several times, and each
    /// preparation costs more than the read.
    struct Prepared;
    mutable std::unique_ptr<Prepared> m_prepared;
};

} // namespace Zorvan
