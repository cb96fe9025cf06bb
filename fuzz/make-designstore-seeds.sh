#!/usr/bin/env bash
# Makes the seed inputs of DesignStoreFuzzer in OUTDIR (default
# fuzz/corpus/DesignStore): real designs written by the store through the
# zvfile host, and damaged or foreign files derived from them. Run it
# again only to change the seeds; the corpus in the repository is what the
# tests replay. Inputs the fuzzer found are kept there beside these and are
# not made here: design-ends-inside-a-page.zvd and short-file-read-as-empty.zvd
# (files ending inside a page, which a dropped writing handle used to
# lengthen) and the files named by their SHA-1, merged in because they
# reach code the seeds do not.
#   fuzz/make-designstore-seeds.sh build/dev/host/zvfile [OUTDIR]
set -euo pipefail
zvfile=$(realpath "$1")
out=$(realpath -m "${2:-$(dirname "$0")/corpus/DesignStore}")
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Real designs, as a host saves them.
"$zvfile" save design-3.zvd --objects 3 >/dev/null
"$zvfile" save design-0.zvd --objects 0 >/dev/null
"$zvfile" save design-updated.zvd --objects 2 >/dev/null
"$zvfile" save design-updated.zvd --mode update-all --data-revision "valve fix" --data-revision-number 3 >/dev/null 2>&1
"$zvfile" demo demo >/dev/null 2>&1      # leaves a design of a newer version and a text file
cp design-3.zvd design-0.zvd design-updated.zvd "$out/"
cp demo/future.zvd "$out/design-future-version.zvd"
cp demo/notes.zvd "$out/text.zvd"
: >"$out/empty.zvd"
head -c 6000 design-3.zvd >"$out/design-truncated.zvd"

# Derived files. Small pages keep most seeds at a few KB, which the
# fuzzer mutates much faster than 16 KB ones; the store sets no page size,
# so these are designs all the same.
python3 - "$out" <<'PY'
import shutil, sqlite3, sys
out = sys.argv[1]

def derive(name, *sql, page_size=512):
    path = f"{out}/{name}"
    shutil.copy("design-3.zvd", path)
    db = sqlite3.connect(path, isolation_level=None)
    db.execute(f"PRAGMA page_size = {page_size}")
    db.execute("VACUUM")
    for statement in sql:
        db.execute(statement)
    db.close()
    return path

derive("design-small-pages.zvd")
derive("design-wal.zvd", "PRAGMA journal_mode = WAL")
derive("design-version-negative.zvd", "UPDATE zv_metadata SET file_version = -1")
derive("design-version-too-large.zvd", "UPDATE zv_metadata SET file_version = 1 << 40")
derive("design-version-text.zvd", "UPDATE zv_metadata SET file_version = 'three'")
derive("design-no-metadata-row.zvd", "DELETE FROM zv_metadata")
derive("design-no-metadata.zvd", "DROP TABLE zv_metadata")
derive("design-objects-view.zvd", "DROP TABLE zv_objects",
       "CREATE VIEW zv_objects AS SELECT 1 AS id, 'Pipe' AS type, x'00' AS payload")
derive("design-trigger-refuses.zvd",
       "CREATE TRIGGER refuse BEFORE UPDATE ON zv_metadata BEGIN SELECT RAISE(ABORT, 'refused'); END")
derive("design-odd-types.zvd", "CREATE TABLE zv_scratch(x)",
       "UPDATE zv_metadata SET data_revision = x'00ff', data_revision_number = 'n', identifier_number = 9.5e300,"
       " identifier_domain = 70000, created_revision = 12")

# Damaged headers and pages of a real design.
def damage(name, edits):
    data = bytearray(open(f"{out}/design-small-pages.zvd", "rb").read())
    for offset, replacement in edits:
        data[offset:offset + len(replacement)] = replacement
    open(f"{out}/{name}", "wb").write(data)

damage("design-bad-magic.zvd", [(0, b"SQLite format 4\0")])
damage("design-bad-page-size.zvd", [(16, b"\x03\x00")])
damage("design-bad-page-count.zvd", [(28, b"\x7f\xff\xff\xff")])
damage("design-bad-application-id.zvd", [(68, b"ZvD2")])
damage("design-corrupt-page.zvd", [(2 * 512 + 8, bytes(range(7, 7 + 64)))])

# SQLite files that are not designs.
db = sqlite3.connect(f"{out}/other-schema.db", isolation_level=None)
db.execute("PRAGMA page_size = 512")
db.execute("CREATE TABLE notes(id INTEGER PRIMARY KEY, text TEXT)")
db.execute("INSERT INTO notes(text) VALUES ('pump'), ('valve')")
db.close()
db = sqlite3.connect(f"{out}/foreign-no-tables.db", isolation_level=None)
db.execute("PRAGMA application_id = 1234")
db.execute("PRAGMA user_version = 7")
db.close()
PY
ls -l "$out"
