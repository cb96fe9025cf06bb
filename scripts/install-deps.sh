#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: does nothing when every package is already there.
set -euo pipefail

packages=(
  g++ make cmake ninja-build binutils git
  libboost-thread-dev      # boost::mutex for the identifier hand-over
  libgtest-dev libgmock-dev
  libbenchmark-dev
  libsqlite3-dev           # the file-backed design store
  libcli11-dev             # the zvfile host's command line
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
# Package lists can be empty on a fresh machine; then apt-get silently
# installs nothing, so always refresh them first.
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

failed=()
for p in "${missing[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || failed+=("$p")
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "error: could not install: ${failed[*]}" >&2
  exit 1
fi
