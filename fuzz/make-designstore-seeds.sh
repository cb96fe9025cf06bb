#!/usr/bin/env bash
# Makes the real-design seeds of DesignStoreFuzzer in OUTDIR (default
# fuzz/corpus/DesignStore): designs written by the store through the zvfile
# host. Run it again only to change them; the corpus in the repository is
# what the tests replay. The other inputs there were made once and are kept
# as they are: design-*.zvd variants with small pages, a write-ahead
# journal, odd metadata values, damaged headers and pages (derived from
# design-3.zvd with SQLite), two SQLite files of other programs, and the
# inputs the fuzzer found (named by their SHA-1, and the two files that end
# inside a page).
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

ls -l "$out"
