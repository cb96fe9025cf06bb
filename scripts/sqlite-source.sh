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
# apt-get is given a state of its own, in a temporary folder: a deb-src
# twin of every package source the machine has (the same mirrors, suites
# and keys), its own package lists and cache. The machine's apt
# configuration and lists are left alone, and no root rights are needed.
# Making the amalgamation runs SQLite's build tools on this machine: its C
# compiler and tclsh (Debian package tcl); dpkg-source (dpkg-dev) unpacks
# the package and applies Debian's patches.
set -euo pipefail

cache=${ZV_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/persistence-zvfileio}
folder=${1:-$cache/sqlite3}
if [ -f "$folder/sqlite3.c" ] && [ -f "$folder/sqlite3.h" ] && [ -f "$folder/debian-version" ]; then
  exit 0
fi
for tool in apt-get dpkg-source dpkg-parsechangelog tclsh cc make; do
  command -v "$tool" >/dev/null || { echo "error: $tool is needed to make SQLite for Windows (scripts/install-deps.sh --windows)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
apt="$work/apt"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$work/source"
shopt -s nullglob
for sources in /etc/apt/sources.list.d/*.sources; do
  sed -E 's/^Types:.*$/Types: deb-src/' "$sources" >"$apt/parts/$(basename "$sources")"
done
: >"$apt/sources.list"
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ ! -f "$list" ] || sed -n -E 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$list" >>"$apt/sources.list"
done
shopt -u nullglob
options=(-q -o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
         -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache")
# As root, apt hands downloads to its sandbox user, who may not write here.
[ "$(id -u)" -ne 0 ] || options+=(-o APT::Sandbox::User=root)

echo "Fetching SQLite's source package from the package mirror"
apt-get "${options[@]}" update >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; exit 1; }
wanted=$(dpkg-query -W -f='${Version}' libsqlite3-dev 2>/dev/null || true)
(
  cd "$work/source"
  if [ -z "$wanted" ] || ! apt-get "${options[@]}" source --download-only "sqlite3=$wanted" >>"$work/apt.log" 2>&1; then
    [ -z "$wanted" ] || echo "note: SQLite $wanted, the machine's libsqlite3-dev, is gone from the mirror; taking the newest"
    apt-get "${options[@]}" source --download-only sqlite3 >>"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; exit 1; }
  fi
  # Checks the files against the .dsc, whose checksums apt took from the
  # mirror's signed index.
  dpkg-source -x ./*.dsc tree >"$work/dpkg-source.log" 2>&1 || { cat "$work/dpkg-source.log" >&2; exit 1; }
)
version=$(dpkg-parsechangelog -l "$work/source/tree/debian/changelog" -S Version)

echo "Making SQLite's amalgamation from Debian's sqlite3 $version"
mkdir "$work/build"
(
  cd "$work/build"
  "$work/source/tree/configure" --disable-tcl --disable-readline >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; exit 1; }
  make sqlite3.c >"$work/make.log" 2>&1 || { tail -40 "$work/make.log" >&2; exit 1; }
)

# Put in place whole: a build never sees half a folder, and of two runs at
# once the first one's folder is kept.
mkdir -p "$(dirname "$folder")"
staged=$(mktemp -d "$folder.XXXXXX")
cp "$work/build/sqlite3.c" "$work/build/sqlite3.h" "$staged/"
cp "$work/source/tree/debian/copyright" "$staged/copyright"
echo "$version" >"$staged/debian-version"
chmod 755 "$staged"
if ! mv -T "$staged" "$folder" 2>/dev/null; then
  rm -rf "$staged"
  [ -f "$folder/debian-version" ] || { echo "error: cannot put SQLite's amalgamation in $folder" >&2; exit 1; }
fi
echo "SQLite for Windows: $folder (Debian $version)"
