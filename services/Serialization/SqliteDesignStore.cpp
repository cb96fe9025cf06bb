#include "Serialization/SqliteDesignStore.h"

#include <sqlite3.h>

#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "Common/Process.h"
#include "FileHandling/Env.h"
#include "FileHandling/FileNameException.h"
#include "FileHandling/Folder.h"
#include "Serialization/EnvVfs.h"
#include "Serialization/PageChecksum.h"

namespace Zorvan {
namespace {

// "ZvD1" in the database header tells a design file from any other SQLite file.
constexpr int kApplicationId = 0x5A764431;

// The three tables of a design file. The metadata live in one row whose
// columns are NULL until first written, so a read of a field never written
// leaves the caller's variable alone.
constexpr const char* kSchema = R"sql(
CREATE TABLE zv_metadata(
    singleton INTEGER PRIMARY KEY CHECK (singleton = 1),
    file_version INTEGER NOT NULL,
    data_revision TEXT,
    data_revision_number INTEGER,
    created_revision TEXT,
    last_saved_revision TEXT,
    identifier_number INTEGER,
    identifier_domain INTEGER,
    update_count INTEGER NOT NULL DEFAULT 0);
CREATE TABLE zv_objects(id INTEGER PRIMARY KEY, type TEXT NOT NULL, payload BLOB NOT NULL);
CREATE TABLE zv_groups(id INTEGER PRIMARY KEY);
)sql";

bool isBusy(int result) { return (result & 0xff) == SQLITE_BUSY || (result & 0xff) == SQLITE_LOCKED; }

// Whether SQLite failed for the system (the disk, the memory, a file it
// could not open for another reason than its absence), not for what the
// file holds.
bool isSystemFailure(int result, const std::error_code& cause) {
    switch (result & 0xff) {
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_NOMEM:
        return true;
    case SQLITE_CANTOPEN:
        return cause && !isAbsent(cause);
    default:
        return false;
    }
}

// SQLite's result codes as causes; see designStoreCategory().
class StoreCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "sqlite"; }
    std::string message(int code) const override { return sqlite3_errstr(code); }
    std::error_condition default_error_condition(int code) const noexcept override {
        switch (code & 0xff) {
        case SQLITE_FULL:
            return std::errc::no_space_on_device;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return std::errc::device_or_resource_busy;
        case SQLITE_NOMEM:
            return std::errc::not_enough_memory;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            return std::errc::permission_denied;
        case SQLITE_IOERR:
            return std::errc::io_error;
        default:
            return {code, *this};
        }
    }
    // A few codes stand for what the store finds itself, too.
    bool equivalent(int code, const std::error_condition& condition) const noexcept override {
        if (condition.category() != fileErrorCategory()) {
            return default_error_condition(code) == condition;
        }
        switch (static_cast<FileErrc>(condition.value())) {
        case FileErrc::Busy:
            return isBusy(code);
        case FileErrc::Duplicate:
            return code == SQLITE_CONSTRAINT_PRIMARYKEY;
        case FileErrc::NotADesign:
            return code == SQLITE_NOTADB;
        case FileErrc::Damaged:
            return (code & 0xff) == SQLITE_CORRUPT;
        default:
            return false;
        }
    }
};

std::error_code storeCode(int result) { return {result, designStoreCategory()}; }

// The one way the store raises: the failure `code` of the file at `path`,
// which is `role` to a save; `subject` as FileError has it.
[[noreturn]] void raise(std::error_code code, FileRole role, const std::string& path, std::string subject = {}) {
    throw FileError(code, role, path, std::move(subject));
}

// Why a call made on the file itself (its size, its header) rather than
// through a statement failed with `result`: such a call leaves no error on
// the connection, so the cause is the system's error the store's VFS kept.
std::error_code fileCallFailure(int result) {
    sqlite3_vfs* vfs = sqlite3_vfs_find(internal::envVfs());
    const int system = vfs != nullptr ? vfs->xGetLastError(vfs, 0, nullptr) : 0;
    return system != 0 ? internal::envVfsCause(system) : storeCode(result);
}

// The open file of the connection `db`.
sqlite3_file* fileOf(sqlite3* db, FileRole role, const std::string& path) {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr) {
        raise(fileCallFailure(SQLITE_IOERR), role, path);
    }
    return file;
}

// The size of the database file on disk. Asked before a handle writes
// anything, it is the size the file was opened with.
sqlite3_int64 fileSize(sqlite3* db, FileRole role, const std::string& path) {
    sqlite3_file* file = fileOf(db, role, path);
    sqlite3_int64 size = 0;
    if (const int result = file->pMethods->xFileSize(file, &size); result != SQLITE_OK) {
        raise(fileCallFailure(result), role, path);
    }
    return size;
}

// Whether the main file of `db` begins as every SQLite database does.
bool hasSqliteMagic(sqlite3* db) {
    constexpr std::string_view kMagic("SQLite format 3\0", 16);
    sqlite3_file* file = nullptr;
    char start[16] = {};
    return sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK && file != nullptr &&
           file->pMethods != nullptr && file->pMethods->xRead(file, start, sizeof start, 0) == SQLITE_OK &&
           std::string_view(start, sizeof start) == kMagic;
}

// Whether SQLite's `result` on `db` says the design is damaged: SQLite
// found its pages contradicting each other or a page failed its checksum
// (corruption), or a file that begins as a database has a header SQLite
// cannot read.
bool isDamage(sqlite3* db, int result) {
    return (result & 0xff) == SQLITE_CORRUPT || ((result & 0xff) == SQLITE_NOTADB && hasSqliteMagic(db));
}

// Why SQLite failed on `db`: another program's lock, the system's error
// where the system failed it (a full disk, a file-size limit, a denied
// permission), damage, else SQLite's result code.
std::error_code failureOf(sqlite3* db) {
    if (db == nullptr) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
    const int result = sqlite3_extended_errcode(db);
    if (isBusy(result)) {
        return storeCode(SQLITE_BUSY);
    }
    if ((result & 0xff) == SQLITE_NOTADB && hasSqliteMagic(db)) {
        return make_error_code(FileErrc::Damaged);
    }
    const std::error_code cause = internal::envVfsCause(sqlite3_system_errno(db));
    return isSystemFailure(result, cause) && cause ? cause : storeCode(result);
}

// Where `path` leads: its leaf in its folder, held from now on. With
// `followLink`, links at the name are followed here, as the kernel would
// follow them: SQLite would resolve them itself, in user space, where the
// kernel's rule for links in shared sticky folders cannot refuse another
// user's. Without, a link at the name is opened by nobody (the VFS never
// follows one), and only links in the folders lead on.
Site siteOf(const std::string& path, bool followLink) {
    try {
        if (!followLink) {
            return siteAt(FileName(path));
        }
        const ResolvedName resolved = resolveName(path);
        if (resolved.outcome == ResolvedName::Outcome::Protected) {
            raise(FileErrc::ProtectedLink, FileRole::Design, resolved.link, userName(resolved.linkOwner));
        }
        if (resolved.outcome == ResolvedName::Outcome::Loop) {
            raise(std::make_error_code(std::errc::too_many_symbolic_link_levels), FileRole::Design, path);
        }
        return Zorvan::siteOf(path, resolved);
    } catch (const FileNameException& e) {
        // No such folder: the file cannot be opened, as SQLite would say.
        raise(e.code(), FileRole::Folder, path);
    }
}

// Gives a database that holds nothing yet room for a checksum at the end
// of each page, which the store's VFS keeps there (header byte 20 says
// so). Only a new database takes it: an existing one keeps its pages as
// they are, and a design written before checksums gets them at its next
// rewrite, which writes a new file.
void reserveChecksumBytes(sqlite3* db, internal::VfsSite& site) {
    int reserved = static_cast<int>(internal::kPageChecksumBytes);
    (void)sqlite3_file_control(db, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserved);
    site.expectReserved(static_cast<unsigned char>(internal::kPageChecksumBytes));
}

std::string ownerOf(std::optional<std::uint32_t> owner) { return owner ? userName(*owner) : std::string(); }

// Raises why the VFS refused a file of `site` while SQLite opened or read
// the file at `path`, which is `role` to a save; nothing when it refused
// none. The refused file is that file itself, its journal or a log beside it.
void raiseRefusal(internal::VfsSite& site, FileRole role, const std::string& path) {
    const std::optional<internal::VfsRefusal> refusal = site.takeRefusal();
    if (!refusal) {
        return;
    }
    const FileRole refused = site.roleOf(refusal->leaf) == FileRole::Design ? role : site.roleOf(refusal->leaf);
    const std::string file = refused == role ? path : site.folder().pathOf(refusal->leaf);
    // Another program's log in use is busy as SQLite says it.
    const std::error_code code =
        refusal->kind == FileErrc::Busy ? storeCode(SQLITE_BUSY) : make_error_code(refusal->kind);
    raise(code, refused, file, ownerOf(refusal->owner));
}

// Sets a connection of the store up: it waits `busyTimeout` for another
// program's lock, and closing it asks nothing about a write-ahead log the
// store never keeps (SQLite would look whether the design moved).
void configure(sqlite3* db, std::chrono::milliseconds busyTimeout) {
    sqlite3_busy_timeout(db, static_cast<int>(busyTimeout.count()));
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // Sorting and statement journals stay in memory: the VFS opens no
    // temporary file.
    sqlite3_exec(db, "PRAGMA temp_store = MEMORY", nullptr, nullptr, nullptr);
}

// The largest identity stored; NULL when there are no objects.
constexpr const char* kLargestIdentity = "SELECT max(id) FROM zv_objects";

// Owns a connection of its own; closes it on every exit path.
using Connection = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

} // namespace

const std::int32_t SqliteDesignStore::kCurrentVersion;

const std::error_category& designStoreCategory() {
    static const StoreCategory category;
    return category;
}

// A prepared statement, finalized on every exit path.
class SqliteDesignStore::Statement {
public:
    Statement(const SqliteDesignStore& store, const std::string& sql) : m_store(store) {
        if (sqlite3_prepare_v2(store.connection(), sql.c_str(), static_cast<int>(sql.size()), &m_stmt, nullptr) !=
            SQLITE_OK) {
            store.fail();
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(m_stmt, index, value));
        return *this;
    }
    Statement& bind(int index, const std::string& value) {
        check(sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC));
        return *this;
    }
    Statement& bindBlob(int index, const std::string& value) {
        check(sqlite3_bind_blob(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC));
        return *this;
    }
    // Advances to the next row: true while there is one.
    bool step() {
        const int result = sqlite3_step(m_stmt);
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result != SQLITE_DONE) {
            m_store.fail();
        }
        return false;
    }
    // Runs a statement that returns no rows, and makes it ready to run again.
    void run() {
        step();
        reset();
    }
    // Every run binds all of a statement's values again, so the old ones
    // need no clearing.
    void reset() { sqlite3_reset(m_stmt); }
    bool isNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    std::int64_t integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    // The column's bytes, valid until the next step or reset.
    std::string_view view(int column) const {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(m_stmt, column));
        return data ? std::string_view(data, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)))
                    : std::string_view();
    }
    std::string text(int column) const {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(m_stmt, column));
        return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column))) : std::string();
    }

private:
    void check(int result) const {
        if (result != SQLITE_OK) {
            m_store.fail();
        }
    }

    const SqliteDesignStore& m_store;
    sqlite3_stmt* m_stmt = nullptr;
};

// The statements of the object hot path, prepared once per handle.
struct SqliteDesignStore::Statements {
    explicit Statements(const SqliteDesignStore& store)
        : contains(store, "SELECT 1 FROM zv_objects WHERE id = ?"),
          insert(store, "INSERT INTO zv_objects(id, type, payload) VALUES (?, ?, ?)"),
          update(store, "UPDATE zv_objects SET type = ?2, payload = ?3 WHERE id = ?1"),
          read(store, "SELECT type, payload FROM zv_objects WHERE id = ?"),
          remove(store, "DELETE FROM zv_objects WHERE id = ?") {}
    Statement contains;
    Statement insert;
    Statement update;
    Statement read;
    Statement remove;
};

struct SqliteDesignStore::Prepared {
    Prepared() = default;
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    ~Prepared() {
        for (const auto& [sql, statement] : statements) {
            sqlite3_finalize(statement);
        }
    }
    std::vector<std::pair<std::string, sqlite3_stmt*>> statements;
};

SqliteDesignStore::Reused SqliteDesignStore::reused(const std::string& sql) const {
    if (!m_prepared) {
        m_prepared = std::make_unique<Prepared>();
    }
    for (const auto& [text, statement] : m_prepared->statements) {
        if (text == sql) {
            return {statement, &sqlite3_reset};
        }
    }
    sqlite3_stmt* statement = nullptr;
    if (!m_db || sqlite3_prepare_v2(m_db.get(), sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
                     SQLITE_OK) {
        sqlite3_finalize(statement);
        return {nullptr, &sqlite3_reset};
    }
    m_prepared->statements.emplace_back(sql, statement);
    return {statement, &sqlite3_reset};
}

std::shared_ptr<SqliteDesignStore> SqliteDesignStore::openForReading(const std::string& path,
                                                                     std::chrono::milliseconds busyTimeout) {
    return openForReading(siteOf(path, /*followLink=*/true), busyTimeout);
}

std::shared_ptr<SqliteDesignStore> SqliteDesignStore::opened(const Site& site, int flags, std::int32_t writerVersion,
                                                             std::chrono::milliseconds busyTimeout, FileRole role) {
    return std::shared_ptr<SqliteDesignStore>(
        new SqliteDesignStore(site, site.folder->pathOf(site.leaf), flags, writerVersion, busyTimeout, role));
}

std::shared_ptr<SqliteDesignStore> SqliteDesignStore::openForReading(const Site& site,
                                                                     std::chrono::milliseconds busyTimeout) {
    std::shared_ptr<SqliteDesignStore> store = opened(site, SQLITE_OPEN_READONLY, kCurrentVersion, busyTimeout);
    int result = store->beginRead();
    // A hot journal left by an update that died needs a writer to roll it
    // back; a read-only connection refuses to read until that is done.
    if (result == SQLITE_READONLY_ROLLBACK) {
        store.reset();
        opened(site, SQLITE_OPEN_READWRITE, kCurrentVersion, busyTimeout)->execute("PRAGMA schema_version");
        store = opened(site, SQLITE_OPEN_READONLY, kCurrentVersion, busyTimeout);
        result = store->beginRead();
    }
    store->requireRead(result);
    return store;
}

std::shared_ptr<SqliteDesignStore> SqliteDesignStore::openForRewrite(const Site& site,
                                                                     std::chrono::milliseconds busyTimeout) {
    std::shared_ptr<SqliteDesignStore> store = opened(site, SQLITE_OPEN_READWRITE, kCurrentVersion, busyTimeout);
    store->m_keepsWritersOut = true;
    int result = store->beginRead();
    if ((result & 0xff) == SQLITE_READONLY) {
        // Opened read-only (this user may not write the design): nobody
        // is kept out, and the design is read all the same.
        store->m_keepsWritersOut = false;
        sqlite3_exec(store->m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        result = store->beginRead();
    }
    store->requireRead(result);
    store->m_writable = false;
    return store;
}

void SqliteDesignStore::requireRead(int result) const {
    // A file that is no database opens all the same, and says so when asked
    // for its version.
    raiseRefusal(*m_site, m_role, m_path);
    if (isBusy(result)) {
        fail();
    }
}

int SqliteDesignStore::beginRead() {
    // BEGIN takes no lock; the first read takes the shared lock, which the
    // transaction then keeps. BEGIN IMMEDIATE takes the reserved lock too.
    const int begun = sqlite3_exec(connection(), m_keepsWritersOut ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr,
                                   nullptr);
    if (begun != SQLITE_OK) {
        return sqlite3_extended_errcode(m_db.get());
    }
    m_inTransaction = true;
    return sqlite3_exec(connection(), "PRAGMA schema_version", nullptr, nullptr, nullptr) == SQLITE_OK
               ? SQLITE_OK
               : sqlite3_extended_errcode(m_db.get());
}

void SqliteDesignStore::endRead() {
    if (!m_writable && !m_keepsWritersOut && m_inTransaction && m_db) {
        sqlite3_exec(m_db.get(), "COMMIT", nullptr, nullptr, nullptr);
        m_inTransaction = false;
    }
}

std::shared_ptr<SqliteDesignStore> SqliteDesignStore::openForWriting(const std::string& path,
                                                                     std::int32_t writerVersion) {
    return openForWriting(siteOf(path, /*followLink=*/false), writerVersion);
}

std::shared_ptr<SqliteDesignStore> SqliteDesignStore::openForWriting(const Site& site, std::int32_t writerVersion) {
    std::shared_ptr<SqliteDesignStore> store =
        opened(site, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, writerVersion, kBusyTimeout);
    if (fileSize(store->m_db.get(), store->m_role, store->m_path) == 0) {
        reserveChecksumBytes(store->m_db.get(), *store->m_site);
    }
    // An update in place is done once SQLite has deleted its journal; the
    // deletion must reach the disk before commit() returns, or a power cut
    // would bring the journal back and the next open would roll the update
    // back. EXTRA flushes the folder after it.
    store->execute("PRAGMA synchronous = EXTRA");
    store->beginWrite();
    store->createSchema();
    return store;
}

std::shared_ptr<SqliteDesignStore> SqliteDesignStore::openForReplacement(const std::string& path,
                                                                         std::int32_t writerVersion) {
    return openForReplacement(siteOf(path, /*followLink=*/false), writerVersion);
}

std::shared_ptr<SqliteDesignStore> SqliteDesignStore::openForReplacement(const Site& site,
                                                                         std::int32_t writerVersion) {
    std::shared_ptr<SqliteDesignStore> store =
        opened(site, SQLITE_OPEN_READWRITE, writerVersion, kBusyTimeout, FileRole::NewVersion);
    if (fileSize(store->m_db.get(), store->m_role, store->m_path) != 0) {
        raise(FileErrc::NotEmpty, store->m_role, store->m_path);
    }
    reserveChecksumBytes(store->m_db.get(), *store->m_site);
    // The durable replace is the only durability this file needs: no
    // journal to write, nothing synced before the replace flushes it once.
    store->execute("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");
    store->beginWrite();
    store->createSchema();
    return store;
}

SqliteDesignStore::SqliteDesignStore(Site site, std::string path, int flags, std::int32_t writerVersion,
                                     std::chrono::milliseconds busyTimeout, FileRole role)
    : m_path(std::move(path)),
      m_role(role),
      m_site(std::make_unique<internal::VfsSite>(std::move(site))),
      m_process(internal::currentProcess()),
      m_writerVersion(writerVersion),
      m_writable((flags & SQLITE_OPEN_READWRITE) != 0),
      m_db(nullptr, &sqlite3_close_v2) {
    sqlite3* db = nullptr;
    // One thread at a time per handle: the connection needs no mutex of its own.
    const int result = sqlite3_open_v2(m_site->name().c_str(), &db,
                                       flags | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOMUTEX, internal::envVfs());
    m_db.reset(db);
    if (result != SQLITE_OK) {
        fail();
    }
    configure(db, busyTimeout);
}

SqliteDesignStore::~SqliteDesignStore() {
    if (m_process != internal::currentProcess()) {
        abandon();
        return;
    }
    m_statements.reset();
    m_prepared.reset();
    if (m_inTransaction) {
        // Not committed: the file keeps what it held before this handle.
        sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void SqliteDesignStore::fail() const {
    raiseRefusal(*m_site, m_role, m_path);
    raise(failureOf(m_db.get()), m_role, m_path);
}

sqlite3* SqliteDesignStore::connection() const {
    if (!m_db) {
        raise(FileErrc::Closed, m_role, m_path);
    }
    return m_db.get();
}

void SqliteDesignStore::abandon() noexcept {
    // Closing would roll the parent's transaction back through the file
    // the child shares, and delete its journal: the memory is left instead.
    (void)m_statements.release();
    (void)m_prepared.release();
    (void)m_db.release();
    m_inTransaction = false;
}

void SqliteDesignStore::close() {
    if (m_process != internal::currentProcess()) {
        abandon();
        return;
    }
    m_statements.reset();
    m_prepared.reset();
    if (m_inTransaction && m_db) {
        sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    m_inTransaction = false;
    m_db.reset();
}

void SqliteDesignStore::execute(const char* sql) const {
    if (sqlite3_exec(connection(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail();
    }
}

void SqliteDesignStore::beginWrite() {
    if (!m_writable) {
        raise(FileErrc::ReadOnly, m_role, m_path);
    }
    if (!m_inTransaction) {
        execute("BEGIN IMMEDIATE");
        m_inTransaction = true;
    }
}

void SqliteDesignStore::createSchema() {
    if (const int result = sqlite3_exec(m_db.get(), "PRAGMA schema_version", nullptr, nullptr, nullptr);
        result != SQLITE_OK && isDamage(m_db.get(), sqlite3_extended_errcode(m_db.get()))) {
        fail();
    } else if (result == SQLITE_NOTADB) {
        raise(FileErrc::NotADesign, m_role, m_path);
    }
    // A rollback restores whole pages: a file that ends inside a page (a
    // design cut off, or a fragment SQLite reads as an empty database) would
    // have that page written out in full, and a handle dropped without
    // commit() would leave the file longer than it was.
    Statement pageSize(*this, "PRAGMA page_size");
    const sqlite3_int64 size = fileSize(m_db.get(), m_role, m_path);
    if (!pageSize.step() || pageSize.integer(0) <= 0 || size % pageSize.integer(0) != 0) {
        raise(FileErrc::Damaged, m_role, m_path);
    }
    Statement tables(*this, "SELECT count(*), sum(name = 'zv_metadata') FROM sqlite_schema");
    tables.step();
    const std::int64_t count = tables.integer(0);
    if (count == 0) {
        // Only a database that holds nothing becomes a new design. One with
        // no tables whose header carries an application id or a user version
        // belongs to another program that has not made its tables yet.
        Statement marks(*this, "SELECT application_id, user_version FROM pragma_application_id, pragma_user_version");
        if (!marks.step() || marks.integer(0) != 0 || marks.integer(1) != 0) {
            raise(FileErrc::NotADesign, m_role, m_path);
        }
        execute(kSchema);
        execute(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
        Statement(*this, "INSERT INTO zv_metadata(singleton, file_version) VALUES (1, ?)")
            .bind(1, std::int64_t{m_writerVersion})
            .run();
    } else {
        std::int32_t version = 0;
        if (tables.integer(1) != 1 || !readFileVersion(version)) {
            raise(FileErrc::NotADesign, m_role, m_path);
        }
    }
    m_statements = std::make_unique<Statements>(*this);
}

bool SqliteDesignStore::isOpen() const { return m_db != nullptr; }

bool SqliteDesignStore::readCurrentVersion(std::int32_t& version) {
    version = m_writerVersion;
    return true;
}

bool SqliteDesignStore::readFileVersion(std::int32_t& version) {
    // Anything that is not a design file of this store (text, an empty or
    // truncated file, a database of another schema) answers false.
    Reused raw{nullptr, &sqlite3_reset};
    auto query = [&](const char* sql) -> bool {
        raw = reused(sql);
        return raw && sqlite3_step(raw.get()) == SQLITE_ROW && sqlite3_column_type(raw.get(), 0) == SQLITE_INTEGER;
    };
    const bool ours = query("PRAGMA application_id") && sqlite3_column_int(raw.get(), 0) == kApplicationId;
    bool ok = ours && query("SELECT file_version FROM zv_metadata WHERE singleton = 1");
    if (ok) {
        const std::int64_t stored = sqlite3_column_int64(raw.get(), 0);
        ok = stored >= INT32_MIN && stored <= INT32_MAX;
        if (ok) {
            version = static_cast<std::int32_t>(stored);
        }
    }
    const int result = m_db ? sqlite3_extended_errcode(m_db.get()) : SQLITE_NOMEM;
    const std::error_code cause = internal::envVfsCause(m_db ? sqlite3_system_errno(m_db.get()) : 0);
    raw.reset();
    // A disk that fails to give the version says nothing about the file;
    // a damaged design is no file of another kind.
    if (!ok && (isBusy(result) || isSystemFailure(result, cause) || (m_db && isDamage(m_db.get(), result)))) {
        fail();
    }
    // A file marked as a design whose metadata row is gone (or holds no
    // version) lost what every design is written with.
    if (!ok && ours) {
        raise(FileErrc::Damaged, m_role, m_path);
    }
    return ok;
}

template <class T>
void SqliteDesignStore::writeField(const char* column, const T& value) {
    beginWrite();
    Statement(*this, std::string("UPDATE zv_metadata SET ") + column + " = ? WHERE singleton = 1")
        .bind(1, value)
        .run();
}

template <class T>
bool SqliteDesignStore::readField(const char* column, T& value) const {
    (void)connection(); // a closed handle says so
    // One statement serves every field: each read runs it again.
    const Reused select = reused("SELECT * FROM zv_metadata WHERE singleton = 1");
    if (!select) {
        fail();
    }
    int at = sqlite3_column_count(select.get()) - 1;
    while (at >= 0 && std::string_view(sqlite3_column_name(select.get(), at)) != column) {
        --at;
    }
    if (at < 0) {
        // As SQLite refuses a query of a column the table lacks.
        raise(storeCode(SQLITE_ERROR), m_role, m_path);
    }
    if (const int result = sqlite3_step(select.get()); result != SQLITE_ROW) {
        result == SQLITE_DONE ? raise(FileErrc::Damaged, m_role, m_path) : fail();
    }
    if (sqlite3_column_type(select.get(), at) == SQLITE_NULL) {
        return false;
    }
    if constexpr (std::is_same_v<T, std::string>) {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(select.get(), at));
        value = data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(select.get(), at)))
                     : std::string();
    } else {
        value = static_cast<T>(sqlite3_column_int64(select.get(), at));
    }
    return true;
}

void SqliteDesignStore::markUpdated() {
    beginWrite();
    execute("UPDATE zv_metadata SET update_count = update_count + 1 WHERE singleton = 1");
}

void SqliteDesignStore::addGroup(std::int32_t& reference) {
    beginWrite();
    execute("INSERT INTO zv_groups DEFAULT VALUES");
    reference = static_cast<std::int32_t>(sqlite3_last_insert_rowid(m_db.get()));
}

std::int32_t SqliteDesignStore::groupCount() const {
    Statement count(*this, "SELECT count(*) FROM zv_groups");
    count.step();
    return static_cast<std::int32_t>(count.integer(0));
}

void SqliteDesignStore::readDataRevisionNumber(std::int32_t& number) { readField("data_revision_number", number); }
void SqliteDesignStore::writeDataRevisionNumber(std::int32_t& number) {
    writeField("data_revision_number", std::int64_t{number});
}
void SqliteDesignStore::readDataRevision(std::string& revision) { readField("data_revision", revision); }
void SqliteDesignStore::writeDataRevision(const std::string& revision) { writeField("data_revision", revision); }
void SqliteDesignStore::writeCreatedRevision(const std::string& revision) { writeField("created_revision", revision); }
void SqliteDesignStore::readCreatedRevision(std::string& revision) { readField("created_revision", revision); }
void SqliteDesignStore::writeLastSavedRevision(const std::string& revision) {
    writeField("last_saved_revision", revision);
}
void SqliteDesignStore::readLastSavedRevision(std::string& revision) { readField("last_saved_revision", revision); }

std::int64_t SqliteDesignStore::objectCount() const { return countOf("SELECT count(*) FROM zv_objects"); }

// The same query as the walk's first (none: 0).
std::int64_t SqliteDesignStore::maxObjectId() const { return countOf(kLargestIdentity); }

std::int64_t SqliteDesignStore::countOf(const char* sql) const {
    (void)connection(); // a closed handle says so
    const Reused query = reused(sql);
    if (!query) {
        fail();
    }
    if (sqlite3_step(query.get()) != SQLITE_ROW) {
        fail();
    }
    return sqlite3_column_int64(query.get(), 0);
}

std::uint32_t SqliteDesignStore::changeCounter() const {
    unsigned char bytes[4] = {};
    // Header offset 24, four bytes big-endian.
    sqlite3_file* file = fileOf(connection(), m_role, m_path);
    if (const int result = file->pMethods->xRead(file, bytes, 4, 24); result != SQLITE_OK) {
        raise(fileCallFailure(result), m_role, m_path);
    }
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 |
           std::uint32_t{bytes[3]};
}

bool SqliteDesignStore::writerBeside(const Site& site) {
    const std::string journal = site.folder->readStart(journalPath(site.leaf), 1);
    return (!journal.empty() && internal::isHotJournal(journal[0])) || site.folder->look(internal::logName(site.leaf));
}

std::size_t SqliteDesignStore::maxPathLength() { return static_cast<std::size_t>(internal::envVfsMaxPath()); }

std::int64_t SqliteDesignStore::updateCount() const {
    std::int64_t count = 0;
    readField("update_count", count);
    return count;
}

void SqliteDesignStore::commit() {
    if (m_inTransaction) {
        execute("COMMIT");
        m_inTransaction = false;
    }
}

void SqliteDesignStore::writeMaxIdentifier(std::int64_t number, std::int16_t domain) {
    beginWrite();
    Statement(*this, "UPDATE zv_metadata SET identifier_number = ?, identifier_domain = ? WHERE singleton = 1")
        .bind(1, number)
        .bind(2, std::int64_t{domain})
        .run();
}

void SqliteDesignStore::readMaxIdentifier(std::int64_t& number, std::int16_t& domain) {
    if (std::int64_t stored = 0; readField("identifier_number", stored)) {
        number = stored;
    }
    // A domain that does not fit was never written by a store: damage, not a value to wrap.
    if (std::int64_t stored = 0; readField("identifier_domain", stored)) {
        if (stored < std::numeric_limits<std::int16_t>::min() || stored > std::numeric_limits<std::int16_t>::max()) {
            raise(FileErrc::Damaged, m_role, m_path);
        }
        domain = static_cast<std::int16_t>(stored);
    }
}

bool SqliteDesignStore::contains(SerializationTransferObject& object) {
    if (!m_statements) {
        m_statements = std::make_unique<Statements>(*this);
    }
    Statement& select = m_statements->contains;
    const bool found = select.bind(1, object.id()).step();
    select.reset();
    return found;
}

void SqliteDesignStore::insert(SerializationTransferObject& object) {
    beginWrite();
    Statement& insert = m_statements->insert;
    try {
        insert.bind(1, object.id()).bind(2, object.type()).bindBlob(3, object.payload()).run();
    } catch (const FileError&) {
        insert.reset();
        if (sqlite3_extended_errcode(m_db.get()) == SQLITE_CONSTRAINT_PRIMARYKEY) {
            raise(storeCode(SQLITE_CONSTRAINT_PRIMARYKEY), m_role, m_path, std::to_string(object.id()));
        }
        throw;
    }
}

bool SqliteDesignStore::read(SerializationTransferObject& object) {
    if (!m_statements) {
        m_statements = std::make_unique<Statements>(*this);
    }
    Statement& select = m_statements->read;
    const bool found = select.bind(1, object.id()).step();
    if (found) {
        object = SerializationTransferObject(object.id(), select.text(0), select.text(1));
    }
    select.reset();
    return found;
}

void SqliteDesignStore::update(SerializationTransferObject& object) {
    beginWrite();
    m_statements->update.bind(1, object.id()).bind(2, object.type()).bindBlob(3, object.payload()).run();
}

// A table of autosave copies alone, made by the first write of an origin:
// designs never hold it, and readers of designs never look for it. Copies
// written before origins named their design have no `design` column.
void SqliteDesignStore::writeAutosaveOrigin(const AutosaveOrigin& origin) { writeAutosaveOrigin(origin, {}); }

void SqliteDesignStore::writeAutosaveOrigin(const AutosaveOrigin& origin, const std::string& designLeaf) {
    beginWrite();
    execute("CREATE TABLE IF NOT EXISTS zv_autosave_origin(singleton INTEGER PRIMARY KEY CHECK (singleton = 1), "
            "device INTEGER NOT NULL, inode INTEGER NOT NULL, birth INTEGER NOT NULL, changes INTEGER NOT NULL, "
            "design TEXT)");
    // The identity's 64-bit values are kept as SQLite's signed integers, bit for bit.
    Statement statement(*this, "INSERT OR REPLACE INTO zv_autosave_origin(singleton, device, inode, birth, changes, "
                               "design) VALUES (1, ?, ?, ?, ?, NULLIF(?, ''))");
    statement.bind(1, static_cast<std::int64_t>(origin.device))
        .bind(2, static_cast<std::int64_t>(origin.inode))
        .bind(3, static_cast<std::int64_t>(origin.birth))
        .bind(4, std::int64_t{origin.changes})
        .bind(5, designLeaf)
        .run();
}

bool SqliteDesignStore::readAutosaveOrigin(AutosaveOrigin& origin) const {
    Statement table(*this, "SELECT count(*) FROM sqlite_schema WHERE name = 'zv_autosave_origin'");
    if (!table.step() || table.integer(0) == 0) {
        return false;
    }
    Statement select(*this, "SELECT device, inode, birth, changes FROM zv_autosave_origin WHERE singleton = 1");
    if (!select.step()) {
        return false;
    }
    origin = {static_cast<std::uint64_t>(select.integer(0)), static_cast<std::uint64_t>(select.integer(1)),
              static_cast<std::uint64_t>(select.integer(2)), static_cast<std::uint32_t>(select.integer(3))};
    return true;
}

bool SqliteDesignStore::readAutosaveOriginName(std::string& designLeaf) const {
    Statement column(*this, "SELECT count(*) FROM pragma_table_info('zv_autosave_origin') WHERE name = 'design'");
    if (!column.step() || column.integer(0) == 0) {
        return false;
    }
    Statement select(*this, "SELECT design FROM zv_autosave_origin WHERE singleton = 1 AND design IS NOT NULL");
    if (!select.step()) {
        return false;
    }
    designLeaf = select.text(0);
    return true;
}

bool SqliteDesignStore::remove(std::int64_t identity) {
    beginWrite();
    m_statements->remove.bind(1, identity).run();
    return sqlite3_changes(m_db.get()) > 0;
}

void SqliteDesignStore::forEachObject(const ObjectVisitor& visit, Fields fields) const {
    // Outside a transaction every batch would see another state of the file.
    struct Walk {
        const SqliteDesignStore& store;
        bool own;
        ~Walk() {
            if (own) {
                sqlite3_exec(store.m_db.get(), "COMMIT", nullptr, nullptr, nullptr);
            }
        }
    } walk{*this, !m_inTransaction};
    if (walk.own) {
        execute("BEGIN");
    }
    std::int64_t end = 0;
    {
        const Reused last = reused(kLargestIdentity);
        if (!last || sqlite3_step(last.get()) != SQLITE_ROW) {
            fail();
        }
        if (sqlite3_column_type(last.get(), 0) == SQLITE_NULL) {
            return; // no objects
        }
        end = sqlite3_column_int64(last.get(), 0);
    }
    // Batches of rows read by identity: no statement is left running while
    // `visit` writes, and a batch is all the walk holds.
    constexpr std::size_t kBatch = 256;
    Statement select(*this, fields == Fields::All
                                ? "SELECT id, type, payload FROM zv_objects WHERE id >= ? AND id <= ? ORDER BY id LIMIT ?"
                                : "SELECT id, type FROM zv_objects WHERE id >= ? AND id <= ? ORDER BY id LIMIT ?");
    // The batch's objects are refilled, not made anew: a walk allocates
    // for its first batch only (and for a payload larger than any before).
    std::vector<SerializationTransferObject> batch;
    batch.reserve(kBatch);
    std::size_t filled = 0;
    // Every identity counts, the smallest a 64-bit integer holds included.
    std::int64_t from = std::numeric_limits<std::int64_t>::min();
    do {
        filled = 0;
        select.bind(1, from).bind(2, end).bind(3, static_cast<std::int64_t>(kBatch));
        while (select.step()) {
            // The identity is the table's key: rows out of order or twice
            // are pages of the design that contradict each other.
            if (select.integer(0) < from) {
                raise(FileErrc::Damaged, m_role, m_path, std::to_string(select.integer(0)));
            }
            if (filled == batch.size()) {
                batch.emplace_back();
            }
            batch[filled++].assign(select.integer(0), select.view(1),
                                   fields == Fields::All ? select.view(2) : std::string_view());
            from = batch[filled - 1].id() == std::numeric_limits<std::int64_t>::max() ? from : batch[filled - 1].id() + 1;
        }
        select.reset();
        for (std::size_t i = 0; i < filled; ++i) {
            if (!visit(batch[i])) {
                return;
            }
        }
        if (filled > 0 && batch[filled - 1].id() == end) {
            return; // the last batch, or one ending at the largest identity (no next one to start from)
        }
    } while (filled == kBatch); // the next batch starts after the last identity read
    // The rows in identity order ended before the largest identity: pages
    // of the table contradict each other, unless `visit` removed the rest.
    Statement largest(*this, "SELECT 1 FROM zv_objects WHERE id = ?");
    if (largest.bind(1, end).step()) {
        raise(FileErrc::Damaged, m_role, m_path, std::to_string(end));
    }
}

FileIdentity SqliteDesignStore::identity() const { return m_site->design().value_or(FileIdentity{}); }

bool SqliteDesignStore::isEmpty() const {
    return fileSize(connection(), m_role, m_path) == 0;
}

void SqliteDesignStore::copyTo(const std::string& path) const { copyTo(siteOf(path, /*followLink=*/false)); }

void SqliteDesignStore::copyTo(const Site& site) const {
    internal::VfsSite target(site);
    const std::string path = site.folder->pathOf(site.leaf);
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(target.name().c_str(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE |
                                           SQLITE_OPEN_NOMUTEX,
                                       internal::envVfs());
    const Connection copy(raw, &sqlite3_close_v2);
    // Every failure but another program's lock on the design is the copy's.
    auto refuse = [&] {
        raiseRefusal(target, FileRole::NewVersion, path);
        raise(failureOf(copy.get()), FileRole::NewVersion, path);
    };
    if (opened != SQLITE_OK) {
        refuse();
    }
    configure(copy.get(), kBusyTimeout);
    if (sqlite3_exec(copy.get(), "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
        refuse();
    }
    // The copy's pages are the design's: checksums where it has them.
    unsigned char reserved = 0;
    sqlite3_file* file = fileOf(connection(), m_role, m_path);
    if (const int result = file->pMethods->xRead(file, &reserved, 1, 20); result != SQLITE_OK) {
        raise(fileCallFailure(result), m_role, m_path);
    }
    target.expectReserved(reserved);
    // The backup reads the committed file in one read transaction, so the
    // copy is consistent even while another program waits to write.
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", connection(), "main");
    if (backup == nullptr) {
        refuse();
    }
    const int stepped = sqlite3_backup_step(backup, -1);
    // Finishing sets the copy's connection to the step's error.
    sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE) {
        if (isBusy(stepped)) {
            raise(storeCode(SQLITE_BUSY), m_role, m_path);
        }
        refuse();
    }
}

void SqliteDesignStore::copyTo(const Site& site, const AutosaveOrigin& origin, const std::string& designLeaf) const {
    copyTo(site);
    const std::shared_ptr<SqliteDesignStore> copy =
        opened(site, SQLITE_OPEN_READWRITE, m_writerVersion, kBusyTimeout, FileRole::NewVersion);
    copy->execute("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");
    copy->writeAutosaveOrigin(origin, designLeaf);
    copy->commit();
}

} // namespace Zorvan
