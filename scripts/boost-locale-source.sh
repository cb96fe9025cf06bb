#!/usr/bin/env bash
# boost-locale-source.sh [FOLDER]: takes Boost.Locale's sources for the
# Windows build from Debian's source package of Boost, patches applied, and
# keeps them in FOLDER (by default $ZV_CACHE_DIR/boost-locale, ZV_CACHE_DIR
# being ~/.cache/persistence-zvfileio unless set;
# cmake/ZvCrossDependencies.cmake looks there and compiles them with the
# cross compiler). Debian builds Boost.Locale for the build machine only.
#
# The headers are the machine's own (/usr/include/boost, package
# libboost-dev), the same for every target, so the sources must be of the
# same Boost: the version fetched is that of the source package the
# installed headers were built from (or the newest the mirror has of it
# when that one is gone). FOLDER/boost-version names the upstream version,
# which the build compares with the headers', FOLDER/debian-version the
# Debian one. Once made, FOLDER is kept as it is until it is removed.
#
# Only libs/locale/src is kept (with Boost's licence and Debian's copyright
# file): the whole unpacked tree is about 460 MB, the package 61 MB to fetch.
set -euo pipefail
here=$(dirname "$0")
. "$here/debian-source.bash"

cache=${ZV_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/persistence-zvfileio}
folder=${1:-$cache/boost-locale}
if [ -d "$folder/src" ] && [ -f "$folder/boost-version" ] && [ -f "$folder/debian-version" ]; then
  exit 0
fi

# The package that holds the headers, and the source package it was built from.
headers=$(dpkg-query -S /usr/include/boost/version.hpp 2>/dev/null | cut -d: -f1) ||
  { echo "error: Boost's headers are not installed (libboost-dev; scripts/install-deps.sh --windows)" >&2; exit 1; }
read -r package version < <(dpkg-query -W -f='${source:Package} ${source:Version}\n' "$headers")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fetch_debian_source "$package" "$version" "$work"
[ -d "$work/tree/libs/locale/src" ] || { echo "error: $package $debian_version has no libs/locale/src" >&2; exit 1; }
upstream=${debian_version#*:}   # 1.74.0+ds1-21: 1.74.0
upstream=${upstream%%[+~-]*}

mkdir -p "$(dirname "$folder")"
staged=$(mktemp -d "$folder.XXXXXX")
cp -r "$work/tree/libs/locale/src" "$staged/src"
cp "$work/tree/LICENSE_1_0.txt" "$staged/"
cp "$work/tree/debian/copyright" "$staged/copyright"
echo "$debian_version" >"$staged/debian-version"
echo "$upstream" >"$staged/boost-version"
put_in_place "$staged" "$folder"
echo "Boost.Locale for Windows: $folder (Debian $package $debian_version)"
