#include "Platform/Core/Persistence/DesignSalvage/DesignSalvage.h"

#include "sqlite3recover.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "Identifier/Identifier.h"
#include "Serialization/PageChecksum.h"
#include "Translation/Substitute.h"
#include "Translation/Translator.h"

// Registers the tables that read a database's records cell by cell
// (sqlite_dbdata); compiled with the recover extension.
extern "C" int sqlite3_dbdata_init(sqlite3* db, char** error, const sqlite3_api_routines* api);

namespace Zorvan {
namespace {

// The tables rows are rebuilt into: a design's tables without their keys
// and constraints, so that every readable row is kept, two rows of one
// identity and rows missing a column included. The recover extension's own
// CREATE TABLE statements then find these there and are skipped.
constexpr const char* kScratchSchema = R"sql(
CREATE TABLE zv_metadata(singleton, file_version, data_revision, data_revision_number, created_revision,
                         last_saved_revision, identifier_number, identifier_domain, update_count);
CREATE TABLE zv_objects(id, type, payload);
CREATE TABLE zv_groups(id);
)sql";

// Rows found on pages no table points at: (root page, page, fields, rowid,
// c0, c1, ...). An object's row has three fields, the first of which is its
// identity, stored as the rowid.
constexpr const char* kLostAndFound = "zv_lost_and_found";

std::string quoted(const std::string& file) { return "'" + file + "'"; }

// A sentence of the user's language: translated whole, values put in after.
std::string translate(const char* context, const char* sourceText) {
    return Translator::translate(context, sourceText, nullptr, -1);
}

std::filesystem::path pathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;

struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

struct FinishRecovery {
    void operator()(sqlite3_recover* recovery) const { sqlite3_recover_finish(recovery); }
};
using Recovery = std::unique_ptr<sqlite3_recover, FinishRecovery>;

[[noreturn]] void refuse(const char* sentence, const SalvageReport& report, const std::string& why,
                         DesignRefusal reason, std::optional<std::error_code> cause = std::nullopt) {
    throw DesignRefusedException(
        substitute(translate("DesignSalvage", sentence), {quoted(report.file), quoted(report.into), why}), reason,
        cause);
}

const char* const kCannotSalvage = ZV_TRANSLATE_NOOP("DesignSalvage", "cannot salvage %1 into %2: %3");

// An in-memory database of the private SQLite; SQLite's out-of-memory is
// the only way this fails.
Database memoryDatabase() {
    sqlite3* db = nullptr;
    const int result = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Database owned(db);
    if (result != SQLITE_OK) {
        throw std::bad_alloc();
    }
    return owned;
}

Statement prepare(sqlite3* db, std::string_view sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
    return Statement(statement);
}

std::string textOf(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

// The damaged design's bytes, read once; the file is never opened again.
std::vector<unsigned char> readWhole(const SalvageReport& report) {
    std::error_code error;
    const std::filesystem::path path = pathOf(report.file);
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        refuse(kCannotSalvage, report, translate("DesignSalvage", "it does not exist."), DesignRefusal::Missing,
               std::make_error_code(std::errc::no_such_file_or_directory));
    }
    if (!std::filesystem::is_regular_file(status)) {
        refuse(kCannotSalvage, report, translate("DesignSalvage", "it is not a file."),
               DesignRefusal::NotRegularFile, std::make_error_code(std::errc::invalid_argument));
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        refuse(kCannotSalvage, report, translate("DesignSalvage", "this user may not read it."),
               DesignRefusal::ReadOnly, std::make_error_code(std::errc::permission_denied));
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// The private SQLite's view of the bytes: an in-memory database that reads
// them where they lie and may not change them.
Database inputOf(std::vector<unsigned char>& bytes) {
    Database db = memoryDatabase();
    const auto size = static_cast<sqlite3_int64>(bytes.size());
    if (!bytes.empty()) {
        sqlite3_deserialize(db.get(), "main", bytes.data(), size, size, SQLITE_DESERIALIZE_READONLY);
    }
    return db;
}

// Runs each statement the recover extension makes on the scratch database.
// A statement that fails (a table that is already there, a row a
// constraint turns down) loses that one statement, not the salvage.
int executeOnScratch(void* scratch, const char* sql) {
    sqlite3_exec(static_cast<sqlite3*>(scratch), sql, nullptr, nullptr, nullptr);
    return SQLITE_OK;
}

// Rebuilds every readable row of `input` in `scratch`. What the recover
// extension could not read is simply not there; whether anything was is
// for the caller to judge by what it finds.
void recoverRows(sqlite3* input, sqlite3* scratch) {
    sqlite3_exec(scratch, kScratchSchema, nullptr, nullptr, nullptr);
    const Recovery recovery(sqlite3_recover_init_sql(input, "main", executeOnScratch, scratch));
    sqlite3_recover_config(recovery.get(), SQLITE_RECOVER_LOST_AND_FOUND, const_cast<char*>(kLostAndFound));
    while (sqlite3_recover_step(recovery.get()) == SQLITE_OK) {
    }
}

bool tableExists(sqlite3* db, const char* table) {
    const Statement query = prepare(db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1");
    sqlite3_bind_text(query.get(), 1, table, -1, SQLITE_STATIC);
    return sqlite3_step(query.get()) == SQLITE_ROW;
}

// The metadata row as salvaged, or defaults where it gave none.
void readMetadata(sqlite3* scratch, SalvageReport& report) {
    const Statement query = prepare(scratch,
                                    "SELECT file_version, data_revision, data_revision_number, created_revision, "
                                    "last_saved_revision, identifier_number, identifier_domain FROM zv_metadata "
                                    "ORDER BY singleton IS NOT 1, rowid LIMIT 1");
    const bool found = sqlite3_step(query.get()) == SQLITE_ROW;
    report.metadataReadable = found;
    const auto is = [&](int column, int type) {
        return found && sqlite3_column_type(query.get(), column) == type;
    };
    const auto integer = [&](int column, const char* field, std::int64_t fallback, std::int64_t low,
                             std::int64_t high) {
        const std::int64_t value = is(column, SQLITE_INTEGER) ? sqlite3_column_int64(query.get(), column) : low - 1;
        if (value < low || value > high) {
            report.defaultsUsed.emplace_back(field);
            return fallback;
        }
        return value;
    };
    const auto text = [&](int column, const char* field) {
        if (!is(column, SQLITE_TEXT)) {
            report.defaultsUsed.emplace_back(field);
            return std::string();
        }
        return textOf(query.get(), column);
    };
    const std::int64_t newest = SqliteDesignStore::kCurrentVersion;
    report.version = static_cast<std::int32_t>(integer(0, "version", newest, 1, INT32_MAX));
    report.dataRevision = text(1, "dataRevision");
    report.dataRevisionNumber =
        static_cast<std::int32_t>(integer(2, "dataRevisionNumber", 0, INT32_MIN + 1, INT32_MAX));
    report.createdRevision = text(3, "createdRevision");
    report.lastSavedRevision = text(4, "lastSavedRevision");
    if (is(5, SQLITE_INTEGER) && is(6, SQLITE_INTEGER)) {
        report.formerNextIdentifier = sqlite3_column_int64(query.get(), 5);
        report.identifierDomain = static_cast<std::int16_t>(sqlite3_column_int64(query.get(), 6));
    } else {
        report.defaultsUsed.emplace_back("identifierCounter");
    }
}

// One readable object of an identity, and where it came from.
struct Candidate {
    SerializationTransferObject object;
    bool fromTable = true;
};

// Every row that holds an identity: the table's own, then those no page of
// it points at any more, in identity order.
Statement objectRows(sqlite3* scratch) {
    std::string sql =
        "SELECT id, type, payload, 1 AS fromTable, rowid AS seq FROM zv_objects WHERE typeof(id) = 'integer'";
    if (tableExists(scratch, kLostAndFound)) {
        sql += std::string(" UNION ALL SELECT id, c1, c2, 0, rowid FROM ") + kLostAndFound +
               " WHERE nfield = 3 AND c0 IS NULL AND typeof(id) = 'integer'";
    }
    return prepare(scratch, sql + " ORDER BY id, fromTable DESC, seq");
}

// Keeps one object per identity: the first readable one, the table's
// before the others; identical copies are one object.
class Sorter {
public:
    explicit Sorter(SalvageReport& report) : m_report(report) {}

    void add(sqlite3_stmt* row) {
        const std::int64_t id = sqlite3_column_int64(row, 0);
        if (!m_current || m_current->id != id) {
            finishIdentity();
            m_current = Identity{id};
        }
        const bool readable =
            sqlite3_column_type(row, 1) == SQLITE_TEXT && sqlite3_column_type(row, 2) == SQLITE_BLOB;
        if (!readable) {
            return;
        }
        const auto* payload = static_cast<const char*>(sqlite3_column_blob(row, 2));
        Candidate candidate{
            SerializationTransferObject(
                id, textOf(row, 1),
                std::string(payload, payload == nullptr ? 0 : static_cast<std::size_t>(sqlite3_column_bytes(row, 2)))),
            sqlite3_column_int(row, 3) != 0};
        const auto same = [&](const Candidate& c) { return c.object == candidate.object; };
        if (std::none_of(m_current->copies.begin(), m_current->copies.end(), same)) {
            m_current->copies.push_back(std::move(candidate));
        }
    }
    // The objects kept, in identity order.
    std::vector<SerializationTransferObject> finish() {
        finishIdentity();
        return std::move(m_kept);
    }

private:
    struct Identity {
        std::int64_t id;
        std::vector<Candidate> copies{};
    };
    void finishIdentity() {
        if (!m_current) {
            return;
        }
        if (m_current->copies.empty()) {
            m_report.lostIdentities.push_back(m_current->id);
        } else {
            const Candidate& kept = m_current->copies.front();
            if (m_current->copies.size() > 1) {
                m_report.duplicates.push_back({m_current->id, static_cast<std::int64_t>(m_current->copies.size()),
                                               kept.fromTable, kept.object.type(),
                                               static_cast<std::int64_t>(kept.object.payload().size())});
            }
            m_kept.push_back(kept.object);
        }
        m_current.reset();
    }
    SalvageReport& m_report;
    std::optional<Identity> m_current;
    std::vector<SerializationTransferObject> m_kept;
};

std::vector<SerializationTransferObject> readObjects(sqlite3* scratch, SalvageReport& report) {
    Sorter sorter(report);
    const Statement rows = objectRows(scratch);
    while (sqlite3_step(rows.get()) == SQLITE_ROW) {
        sorter.add(rows.get());
    }
    return sorter.finish();
}

std::int64_t countGroups(sqlite3* scratch) {
    const Statement query = prepare(scratch, "SELECT count(DISTINCT id) FROM zv_groups WHERE typeof(id) = 'integer'");
    return sqlite3_step(query.get()) == SQLITE_ROW ? sqlite3_column_int64(query.get(), 0) : 0;
}

// The page size the header gives, or SQLite's default where it gives none.
std::size_t pageSizeOf(const std::vector<unsigned char>& bytes) {
    if (bytes.size() < 18) {
        return 4096;
    }
    const std::size_t size = (std::size_t{bytes[16]} << 8) | bytes[17];
    if (size == 1) {
        return 65536;
    }
    const bool powerOfTwo = size >= 512 && size <= 32768 && (size & (size - 1)) == 0;
    return powerOfTwo ? size : 4096;
}

// The identities of the rows on the pages that fail `pageIsSound` (by
// default, for a design whose pages keep checksums, the checksum): rows of
// table leaf pages, read cell by cell.
void markSuspects(const std::vector<unsigned char>& bytes, sqlite3* input, const SalvageOptions& options,
                  const std::vector<SerializationTransferObject>& kept, SalvageReport& report) {
    constexpr std::size_t kReservedBytesAt = 20;
    const bool checksummed = bytes.size() > kReservedBytesAt && bytes[kReservedBytesAt] == internal::kPageChecksumBytes;
    // The host's judge, else the checksum where the design has one.
    auto isSound = options.pageIsSound;
    if (!isSound && checksummed) {
        isSound = internal::pageChecksumHolds;
    }
    if (!isSound) {
        return;
    }
    const std::size_t pageSize = pageSizeOf(bytes);
    std::vector<std::int64_t> unsound;
    for (std::size_t start = 0; start + pageSize <= bytes.size(); start += pageSize) {
        if (!isSound(std::span<const unsigned char>(bytes).subspan(start, pageSize))) {
            unsound.push_back(static_cast<std::int64_t>(start / pageSize) + 1);
        }
    }
    report.unsoundPages = static_cast<std::int64_t>(unsound.size());
    if (unsound.empty()) {
        return;
    }
    sqlite3_dbdata_init(input, nullptr, nullptr);
    const Statement cells = prepare(input, "SELECT value FROM sqlite_dbdata WHERE pgno = ?1 AND field = -1");
    std::set<std::int64_t> onUnsound;
    for (const std::int64_t page : unsound) {
        sqlite3_reset(cells.get());
        sqlite3_bind_int64(cells.get(), 1, page);
        while (sqlite3_step(cells.get()) == SQLITE_ROW) {
            onUnsound.insert(sqlite3_column_int64(cells.get(), 0));
        }
    }
    for (const SerializationTransferObject& object : kept) {
        if (onUnsound.contains(object.id())) {
            report.suspectIdentities.push_back(object.id());
        }
    }
}

// Writes the objects as a first save of `into` through the road.
void writeDesign(const std::vector<SerializationTransferObject>& objects, const SalvageOptions& options,
                 SalvageReport& report) {
    DesignSave save = DesignSave::begin(report.into, {.mode = ZvFileWriteMode::Overwrite,
                                                      .lockWait = options.lockWait,
                                                      .onWait = options.onWait});
    if (!save.isNewDesign()) {
        refuse(kCannotSalvage, report, translate("DesignSalvage", "a file is already there; choose a new name."),
               DesignRefusal::ForeignFile, std::make_error_code(std::errc::file_exists));
    }
    for (std::int64_t group = 0; group < report.groups; ++group) {
        save.createGroup();
    }
    DesignPart part = save.part();
    const auto total = static_cast<std::int64_t>(objects.size());
    std::int64_t highest = report.formerNextIdentifier - 1;
    for (std::int64_t done = 0; done < total; ++done) {
        const SerializationTransferObject& object = objects[static_cast<std::size_t>(done)];
        part.save(object);
        highest = std::max(highest, object.id());
        if (options.onProgress) {
            options.onProgress(done + 1, total);
        }
    }
    Identifier::reserveThrough(highest);
    report.savedRevision = save.commit(report.dataRevision, report.dataRevisionNumber).revision;
    report.objectsSalvaged = total;
}

} // namespace

std::string salvagedName(const std::string& file) {
    const std::size_t slash = file.find_last_of("/\\");
    const std::size_t dot = file.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return hasExtension ? file.substr(0, dot) + ".salvaged" + file.substr(dot) : file + ".salvaged.zvd";
}

SalvageReport salvageDesign(const std::string& file, const std::string& into, const SalvageOptions& options) {
    SalvageReport report;
    report.file = file;
    report.into = into;
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(pathOf(into), error))) {
        refuse(kCannotSalvage, report, translate("DesignSalvage", "a file is already there; choose a new name."),
               DesignRefusal::ForeignFile, std::make_error_code(std::errc::file_exists));
    }
    std::vector<unsigned char> bytes = readWhole(report);
    const Database input = inputOf(bytes);
    const Database scratch = memoryDatabase();
    recoverRows(input.get(), scratch.get());
    readMetadata(scratch.get(), report);
    const std::vector<SerializationTransferObject> objects = readObjects(scratch.get(), report);
    report.groups = countGroups(scratch.get());
    if (objects.empty() && report.lostIdentities.empty() && !report.metadataReadable) {
        refuse(kCannotSalvage, report, translate("DesignSalvage", "nothing in it can be read as a design."),
               DesignRefusal::NotADesign);
    }
    if (report.version > SqliteDesignStore::kCurrentVersion) {
        refuse(kCannotSalvage, report,
               translate("DesignSalvage", "it was written by a newer version of the software; salvage it with that version."),
               DesignRefusal::Newer);
    }
    markSuspects(bytes, input.get(), options, objects, report);
    writeDesign(objects, options, report);
    report.nextIdentifier = openDesign(into).nextIdentifier;
    return report;
}

} // namespace Zorvan
