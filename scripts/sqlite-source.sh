#!/usr/bin/env bash
# sqlite-source.sh [FOLDER]: makes SQLite's amalgamation (sqlite3.c and
# sqlite3.h) from Debian's source package of SQLite, patches applied, and
# keeps it in FOLDER (by default $ZV_CACHE_DIR/sqlite3, ZV_CACHE_DIR being
# ~/.cache/persistence-zvfileio unless set; cmake/ZvSalvageSqlite.cmake and
# cmake/ZvCrossDependencies.cmake look there), with the sources of SQLite's
# recover extension beside it (FOLDER/recover: sqlite3recover.c/.h and
# dbdata.c). Debian builds SQLite for the build machine only, and without
# the page table the recover extension reads pages through: the salvage
# library compiles a private copy with it on every system, and the Windows
# build compiles these files with the cross compiler.
#
# Once made, FOLDER is kept as it is: every later build uses the version
# fetched then (FOLDER/debian-version names it) until FOLDER is removed.
# The version fetched is the one of the machine's libsqlite3-dev, so that
# the Linux and the Windows builds run the same SQLite, or the newest the
# package mirror has when that one is gone from it.
#
# The source package is fetched and unpacked by fetch_debian_source
# (debian-source.bash), which leaves the machine's apt configuration alone.
# Making the amalgamation runs SQLite's build tools on this machine: its C
# compiler and tclsh (Debian package tcl).
set -euo pipefail
here=$(dirname "$0")
. "$here/debian-source.bash"

cache=${ZV_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/persistence-zvfileio}
folder=${1:-$cache/sqlite3}
recover_sources=(sqlite3recover.c sqlite3recover.h dbdata.c)
# dbdata.c includes the header of loadable extensions.
complete() {
  local file
  for file in sqlite3.c sqlite3.h debian-version "${recover_sources[@]/#/recover/}" recover/sqlite3ext.h; do
    [ -f "$folder/$file" ] || return 1
  done
}
complete && exit 0
for tool in tclsh cc make; do
  command -v "$tool" >/dev/null || { echo "error: $tool is needed to make SQLite's amalgamation (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fetch_debian_source sqlite3 "$(dpkg-query -W -f='${Version}' libsqlite3-dev 2>/dev/null || true)" "$work"
version=$debian_version

echo "Making SQLite's amalgamation from Debian's sqlite3 $version"
mkdir "$work/build"
(
  cd "$work/build"
  "$work/tree/configure" --disable-tcl --disable-readline >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; exit 1; }
  make sqlite3.c >"$work/make.log" 2>&1 || { tail -40 "$work/make.log" >&2; exit 1; }
)

mkdir -p "$(dirname "$folder")"
staged=$(mktemp -d "$folder.XXXXXX")
cp "$work/build/sqlite3.c" "$work/build/sqlite3.h" "$staged/"
mkdir "$staged/recover"
cp "${recover_sources[@]/#/$work/tree/ext/recover/}" "$work/tree/src/sqlite3ext.h" "$staged/recover/"
cp "$work/tree/debian/copyright" "$staged/copyright"
echo "$version" >"$staged/debian-version"
# A folder made before the recover sources were kept goes aside first.
if [ -d "$folder" ] && ! complete; then
  old=$(mktemp -d "$folder.old.XXXXXX")
  mv -T "$folder" "$old/sqlite3" 2>/dev/null || true
  rm -rf "$old"
fi
put_in_place "$staged" "$folder"
complete || { echo "error: $folder lacks the recover extension's sources" >&2; exit 1; }
echo "SQLite's amalgamation and recover extension: $folder (Debian $version)"
