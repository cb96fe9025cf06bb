# debian-source.bash: sourced by the scripts that build a library for the
# Windows build from Debian's source package of it (sqlite-source.sh,
# boost-locale-source.sh). Debian builds these libraries for the build
# machine only.
#
# fetch_debian_source PACKAGE VERSION WORK: fetches the source package
# PACKAGE at VERSION (the newest the mirror has when VERSION is empty or
# gone from it) and unpacks it, Debian's patches applied, into WORK/tree;
# sets debian_version to the version unpacked. WORK must be an empty
# folder of the caller's, who removes it.
#
# apt-get is given a state of its own under WORK: a deb-src twin of every
# package source the machine has (the same mirrors, suites and keys), its
# own package lists and cache. The machine's apt configuration and lists
# are left alone, and no root rights are needed. dpkg-source (dpkg-dev)
# checks the files against the .dsc, whose checksums apt took from the
# mirror's signed index, and applies the patches.

fetch_debian_source() {
  local package=$1 wanted=$2 work=$3
  local tool
  for tool in apt-get dpkg-source dpkg-parsechangelog; do
    command -v "$tool" >/dev/null || { echo "error: $tool is needed (scripts/install-deps.sh)" >&2; return 1; }
  done
  local apt="$work/apt"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$work/source"
  local sources list
  shopt -s nullglob
  for sources in /etc/apt/sources.list.d/*.sources; do
    sed -E 's/^Types:.*$/Types: deb-src/' "$sources" >"$apt/parts/$(basename "$sources")"
  done
  : >"$apt/sources.list"
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ ! -f "$list" ] || sed -n -E 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$list" >>"$apt/sources.list"
  done
  shopt -u nullglob
  local options=(-q -o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
                 -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache")
  # As root, apt hands downloads to its sandbox user, who may not write here.
  [ "$(id -u)" -ne 0 ] || options+=(-o APT::Sandbox::User=root)

  echo "Fetching $package's source package from the package mirror"
  apt-get "${options[@]}" update >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; return 1; }
  (
    cd "$work/source"
    if [ -z "$wanted" ] || ! apt-get "${options[@]}" source --download-only "$package=$wanted" >>"$work/apt.log" 2>&1; then
      [ -z "$wanted" ] || echo "note: $package $wanted is gone from the mirror; taking the newest"
      apt-get "${options[@]}" source --download-only "$package" >>"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; exit 1; }
    fi
    dpkg-source -x ./*.dsc tree >"$work/dpkg-source.log" 2>&1 || { cat "$work/dpkg-source.log" >&2; exit 1; }
  ) || return 1
  mv "$work/source/tree" "$work/tree"
  rm -rf "$work/source"
  debian_version=$(dpkg-parsechangelog -l "$work/tree/debian/changelog" -S Version)
}

# put_in_place STAGED FOLDER: renames the finished folder STAGED to FOLDER
# whole, so that a build never sees half a folder; of two runs at once the
# first one's folder is kept.
put_in_place() {
  local staged=$1 folder=$2
  chmod 755 "$staged"
  if ! mv -T "$staged" "$folder" 2>/dev/null; then
    rm -rf "$staged"
    [ -f "$folder/debian-version" ] || { echo "error: cannot put $staged in $folder" >&2; return 1; }
  fi
}
