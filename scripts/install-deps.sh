#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and makes
# SQLite's amalgamation with its recover extension (scripts/sqlite-source.sh:
# taken once from Debian's source package, then kept in a cache folder),
# which the salvage library compiles for every build and the Windows build
# for its SQLite; with --windows also the packages of the Windows cross
# build and Boost.Locale's sources for it (scripts/boost-locale-source.sh);
# with --demo only what the demo needs.
# Idempotent: does nothing when every package is already there.
set -euo pipefail

packages=(
  g++ make cmake ninja-build binutils git
  libboost-thread-dev      # boost::mutex for the identifier hand-over
  libgtest-dev libgmock-dev
  libbenchmark-dev         # make bench: the overhead benchmarks
  libboost-locale-dev      # the gettext catalogue of the translation service
  gettext                  # xgettext, msgfmt, msgmerge, msgcmp: the message catalogues
  libsqlite3-dev           # the file-backed design store
  libxxhash-dev            # XXH3, the pages' checksum (header only; also for the Windows build)
  libcli11-dev             # the zvfile host's command line
  nlohmann-json3-dev       # zvfile info --json
  gcovr                    # make coverage: line and branch figures per folder from gcov's counts
  strace                   # checks the order of flush, rename and folder sync; make bench counts flushes
  acl                      # setfacl/getfacl: the tests give files ACLs and read them back
  pkg-config               # the package test builds a host from persistence-zvfileio.pc alone
  doxygen                  # the API reference from the installed headers, built and installed with the package
  help2man                 # zvfile's manual page, made from its --help
  man-db                   # package.layout: man shows zvfile's page from the install prefix
  abigail-tools            # abidw, abidiff: package.abi compares each library's ABI with its baseline in abi/
  # The Debian packages of debian/ (package.debian_*):
  dpkg-dev                 # dpkg-buildpackage, dpkg-shlibdeps, dpkg-gensymbols
  debhelper                # dh and its CMake build system
  libboost-dev             # Boost's headers and CMake package, as the source package asks for them
  lintian                  # package.debian_lintian: only the tags the README lists
  debootstrap              # package.debian_root: a fresh Debian root to install the packages in
  # Salvage's SQLite is made from Debian's source package of SQLite
  # (dpkg-source, of dpkg-dev above, unpacks it and applies Debian's patches):
  tcl                      # tclsh runs the scripts that make the amalgamation sqlite3.c
  # The fuzz preset (libFuzzer and clang's sanitizer runtimes) and
  # package.consumer_clang. Clang 16, not Debian's default 14:
  # std::source_location needs clang 15 or later.
  clang-16 libclang-rt-16-dev
)

# The Windows cross build and its tests under Wine (make windows). Kept out
# of the ordinary install: the compiler and Wine are large and the Linux
# suite needs neither.
windows_packages=(
  g++-mingw-w64-x86-64-posix   # x86_64-w64-mingw32-g++-posix, its binutils (objdump, c++filt)
  wine64 wine                  # runs the test executables; console only, no X server
  googletest                   # GoogleTest/GMock sources, built with the cross compiler
  libboost-dev                 # Boost headers; boost::mutex is header-only on Windows
  # SQLite for Windows is compiled from the amalgamation salvage's SQLite
  # is made from (above).
  # Boost.Locale for Windows (the gettext catalogue) is compiled from
  # Debian's source package of Boost (scripts/boost-locale-source.sh), of
  # the version of libboost-dev's headers; dpkg-source unpacks it. gettext
  # (above) compiles the catalogues on this machine for both builds.
)
# make demo: only what building and running zvfile needs.
demo_packages=(
  g++ make cmake ninja-build git libboost-thread-dev libboost-locale-dev gettext
  libsqlite3-dev libxxhash-dev libcli11-dev nlohmann-json3-dev
  tcl dpkg-dev             # zvfile salvage: SQLite's recover extension, made from Debian's source package
)
windows=false
case "${1:-}" in
  "") ;;
  --windows) packages+=("${windows_packages[@]}"); windows=true ;;
  --demo) packages=("${demo_packages[@]}") ;;
  *) echo "usage: $0 [--windows|--demo]" >&2; exit 2 ;;
esac
sources() {
  "$(dirname "$0")/sqlite-source.sh"
  if $windows; then
    "$(dirname "$0")/boost-locale-source.sh"
  fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  sources
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
# Package lists can be empty on a fresh machine; then apt-get silently
# installs nothing, so always refresh them first.
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"

failed=()
for p in "${missing[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || failed+=("$p")
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "error: could not install: ${failed[*]}" >&2
  exit 1
fi
sources
