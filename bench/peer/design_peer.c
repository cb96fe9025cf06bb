/* zvfile_peer FILE N: saves the sample design of N objects to FILE the way
 * `zvfile save FILE --objects N` does, written straight against SQLite's C
 * API: the same schema, pragmas, rows and durable replace, with none of
 * the library in between. The end-to-end benchmark runs it beside zvfile
 * to show what the library's road costs over the bare work.
 *
 * A missing FILE becomes a new design of identities 1..N. An existing one
 * is rewritten: its first N objects keep their identity and part, and new
 * objects continue from its identifier counter. */
#define _POSIX_C_SOURCE 200809L /* fchmod, O_NOFOLLOW, O_CLOEXEC */

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "durable.h"

/* "ZvD1" in the database header marks a design file. */
enum { kApplicationId = 0x5A764431, kFileVersion = 3, kPartCount = 4 };

/* The tables of a design file, as the design store creates them. */
static const char *const kSchema =
    "\n"
    "CREATE TABLE zv_metadata(\n"
    "    singleton INTEGER PRIMARY KEY CHECK (singleton = 1),\n"
    "    file_version INTEGER NOT NULL,\n"
    "    data_revision TEXT,\n"
    "    data_revision_number INTEGER,\n"
    "    created_revision TEXT,\n"
    "    last_saved_revision TEXT,\n"
    "    identifier_number INTEGER,\n"
    "    identifier_domain INTEGER,\n"
    "    update_count INTEGER NOT NULL DEFAULT 0);\n"
    "CREATE TABLE zv_objects(id INTEGER PRIMARY KEY, type TEXT NOT NULL, payload BLOB NOT NULL);\n"
    "CREATE TABLE zv_groups(id INTEGER PRIMARY KEY);\n";

static const char *const kParts[kPartCount] = {"pipes", "valves", "pumps", "sensors"};
/* The software revision a save records; short like a real one. */
static const char *const kRevision = "edbb024";
/* zvfile saves with an empty data revision unless told otherwise. */
static const char *const kDataRevision = "";
/* The bulk zvfile gives every payload, so that a large design is a large file. */
static const char kBulk[] = "................................................";
_Static_assert(sizeof kBulk == 48 + 1, "48 characters of bulk");

/* The objects to write, in ascending identity order. */
struct Design {
    sqlite3_int64 *ids;
    unsigned char *parts;
    sqlite3_int64 count;
    sqlite3_int64 nextId;  /* the identifier counter after the save */
    char *createdRevision; /* NULL for a new design */
};

static void fail_db(sqlite3 *db, const char *what) { peer_fail(what, db != NULL ? sqlite3_errmsg(db) : "out of memory"); }

static void run(sqlite3 *db, const char *sql) {
    if (sqlite3_exec(db, sql, NULL, NULL, NULL) != SQLITE_OK) {
        fail_db(db, "cannot run a query");
    }
}

static sqlite3_stmt *prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *statement = NULL;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, NULL) != SQLITE_OK) {
        fail_db(db, "cannot prepare a query");
    }
    return statement;
}

/* Runs a statement that returns no rows and makes it ready to run again. */
static void step_done(sqlite3 *db, sqlite3_stmt *statement) {
    if (sqlite3_step(statement) != SQLITE_DONE) {
        fail_db(db, "cannot write a row");
    }
    sqlite3_reset(statement);
}

static size_t part_of(const unsigned char *type) {
    for (size_t part = 0; type != NULL && part < kPartCount; ++part) {
        if (strcmp((const char *)type, kParts[part]) == 0) {
            return part;
        }
    }
    return 0; /* an unknown type is saved as the first part */
}

static void make_room(struct Design *design, sqlite3_int64 count) {
    design->ids = malloc((size_t)count * sizeof *design->ids + 1);
    design->parts = malloc((size_t)count + 1);
    if (design->ids == NULL || design->parts == NULL) {
        peer_fail("cannot allocate memory", strerror(ENOMEM));
    }
}

/* Reads what a rewrite keeps of the design at `file` (its first `wanted`
 * objects, into `design`) in one read transaction; answers the design's
 * identifier counter. */
static sqlite3_int64 read_existing(const char *file, struct Design *design, sqlite3_int64 wanted) {
    sqlite3 *db = NULL;
    if (sqlite3_open_v2(file, &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK) {
        fail_db(db, "cannot open the design");
    }
    run(db, "BEGIN");
    sqlite3_stmt *metadata =
        prepare(db, "SELECT identifier_number, created_revision FROM zv_metadata WHERE singleton = 1");
    if (sqlite3_step(metadata) != SQLITE_ROW) {
        fail_db(db, "cannot read the design's metadata");
    }
    const sqlite3_int64 counter = sqlite3_column_int64(metadata, 0);
    const unsigned char *created = sqlite3_column_text(metadata, 1);
    design->createdRevision = created != NULL ? strdup((const char *)created) : NULL;
    sqlite3_finalize(metadata);

    sqlite3_int64 kept = 0;
    sqlite3_int64 lastId = 0;
    sqlite3_stmt *objects = prepare(db, "SELECT id, type FROM zv_objects ORDER BY id");
    int result;
    while ((result = sqlite3_step(objects)) == SQLITE_ROW) {
        lastId = sqlite3_column_int64(objects, 0);
        if (kept < wanted) {
            design->ids[kept] = lastId;
            design->parts[kept] = (unsigned char)part_of(sqlite3_column_text(objects, 1));
            ++kept;
        }
    }
    if (result != SQLITE_DONE) {
        fail_db(db, "cannot read the design's objects");
    }
    sqlite3_finalize(objects);
    design->count = kept;
    run(db, "COMMIT");
    sqlite3_close(db);
    /* A design without a counter continues after its highest identity. */
    return counter > 0 ? counter : lastId + 1;
}

/* The design to save: the kept objects of `file` (when `existing`), then
 * new ones up to `count`, each of part (its place in the design) % 4. */
static struct Design make_design(const char *file, int existing, sqlite3_int64 count) {
    struct Design design = {0};
    make_room(&design, count);
    sqlite3_int64 nextId = 1;
    if (existing) {
        nextId = read_existing(file, &design, count);
    }
    for (; design.count < count; ++design.count) {
        design.ids[design.count] = nextId++;
        design.parts[design.count] = (unsigned char)(design.count % kPartCount);
    }
    design.nextId = nextId;
    return design;
}

/* Creates the empty temporary file with the design's permission bits. */
static void create_temporary(const char *temporary, const struct stat *design) {
    unlink(temporary); /* a stale one from a save that was killed */
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        peer_fail_errno("cannot create the temporary file");
    }
    peer_temporary = temporary;
    if (design != NULL && fchmod(fd, design->st_mode & 07777) != 0) {
        peer_fail_errno("cannot give the temporary file the design's permissions");
    }
    /* Closed before SQLite opens the file: closing any descriptor of a file
     * drops every POSIX lock the process holds on it. */
    close(fd);
}

static void write_design(const char *temporary, const struct Design *design) {
    sqlite3 *db = NULL;
    if (sqlite3_open_v2(temporary, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, NULL) != SQLITE_OK) {
        fail_db(db, "cannot open the temporary file");
    }
    /* The durable replace is the only durability the file needs. */
    run(db, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");
    run(db, "BEGIN IMMEDIATE");
    run(db, kSchema);
    char pragma[64];
    snprintf(pragma, sizeof pragma, "PRAGMA application_id = %d", kApplicationId);
    run(db, pragma);

    sqlite3_stmt *metadata = prepare(db, "INSERT INTO zv_metadata(singleton, file_version, data_revision, "
                                         "data_revision_number, created_revision, last_saved_revision, "
                                         "identifier_number, identifier_domain, update_count) "
                                         "VALUES (1, ?, ?, 0, ?, ?, ?, 0, 0)");
    const char *created = design->createdRevision != NULL ? design->createdRevision : kRevision;
    sqlite3_bind_int(metadata, 1, kFileVersion);
    sqlite3_bind_text(metadata, 2, kDataRevision, -1, SQLITE_STATIC);
    sqlite3_bind_text(metadata, 3, created, -1, SQLITE_STATIC);
    sqlite3_bind_text(metadata, 4, kRevision, -1, SQLITE_STATIC);
    sqlite3_bind_int64(metadata, 5, design->nextId);
    step_done(db, metadata);
    sqlite3_finalize(metadata);

    for (int group = 0; group < kPartCount; ++group) {
        run(db, "INSERT INTO zv_groups DEFAULT VALUES");
    }

    sqlite3_stmt *insert = prepare(db, "INSERT INTO zv_objects(id, type, payload) VALUES (?, ?, ?)");
    char payload[128];
    for (sqlite3_int64 i = 0; i < design->count; ++i) {
        const char *part = kParts[design->parts[i]];
        const int length = snprintf(payload, sizeof payload, "%s #%" PRId64 " saved as '%s' %s", part,
                                    (int64_t)design->ids[i], kDataRevision, kBulk);
        sqlite3_bind_int64(insert, 1, design->ids[i]);
        sqlite3_bind_text(insert, 2, part, -1, SQLITE_STATIC);
        sqlite3_bind_blob(insert, 3, payload, length, SQLITE_STATIC);
        step_done(db, insert);
    }
    sqlite3_finalize(insert);
    run(db, "COMMIT");
    if (sqlite3_close(db) != SQLITE_OK) {
        fail_db(db, "cannot close the temporary file");
    }
}

int main(int argc, char **argv) {
    peer_program = "zvfile_peer";
    char *end = NULL;
    const long long count = argc == 3 ? strtoll(argv[2], &end, 10) : -1;
    if (argc != 3 || *argv[2] == '\0' || *end != '\0' || count < 0 || count > 100000000) {
        fprintf(stderr, "usage: %s FILE OBJECTS (0 to 100000000)\n", peer_program);
        return 2;
    }
    const char *file = argv[1];
    struct stat existing;
    const int exists = stat(file, &existing) == 0;
    if (!exists && errno != ENOENT) {
        peer_fail_errno("cannot look at the design");
    }

    struct Design design = make_design(file, exists, count);
    char *temporary = peer_temporary_name(file);
    create_temporary(temporary, exists ? &existing : NULL);
    write_design(temporary, &design);
    peer_replace(temporary, file);

    free(temporary);
    free(design.ids);
    free(design.parts);
    free(design.createdRevision);
    return 0;
}
