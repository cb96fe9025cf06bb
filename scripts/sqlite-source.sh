#!/usr/bin/env bash
# sqlite-source.sh [FOLDER]: makes SQLite's amalgamation (sqlite3.c and
# sqlite3.h) for the Windows build from Debian's source package of SQLite,
# patches applied, and keeps it in FOLDER (by default
# $ZV_CACHE_DIR/sqlite3, ZV_CACHE_DIR being ~/.cache/persistence-zvfileio
# unless set; cmake/ZvCrossDependencies.cmake looks there). Debian builds
# SQLite for the build machine only; the Windows build compiles these two
# files with the cross compiler.
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
if [ -f "$folder/sqlite3.c" ] && [ -f "$folder/sqlite3.h" ] && [ -f "$folder/debian-version" ]; then
  exit 0
fi
for tool in tclsh cc make; do
  command -v "$tool" >/dev/null || { echo "error: $tool is needed to make SQLite for Windows (scripts/install-deps.sh --windows)" >&2; exit 1; }
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
cp "$work/tree/debian/copyright" "$staged/copyright"
echo "$version" >"$staged/debian-version"
put_in_place "$staged" "$folder"
echo "SQLite for Windows: $folder (Debian $version)"
