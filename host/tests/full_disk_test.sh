#!/usr/bin/env bash
# A disk that fills up during a save: on a 1 MiB file system of its own (a
# private mount namespace, so the machine's mounts are untouched), a first
# save and a rewrite too large to fit are refused, the design stays whole,
# nothing of the failed saves is left, and the next save that fits works.
# Needs root and unshare; skipped otherwise.
set -euo pipefail
zvfile=$1
if [[ ${IN_NAMESPACE:-} != 1 ]]; then
  [[ $(id -u) -eq 0 ]] && command -v unshare >/dev/null || { echo "needs root and unshare: skipped"; exit 77; }
  dir=$(mktemp -d)
  trap 'rmdir "$dir"' EXIT
  unshare -m true 2>/dev/null || { echo "no private mount namespace here: skipped"; exit 77; }
  IN_NAMESPACE=1 unshare -m "$0" "$zvfile" "$dir"
  exit
fi
dir=$2
mount -t tmpfs -o size=1m tmpfs "$dir" || { echo "cannot mount a small file system here: skipped"; exit 77; }
fail() { echo "full disk: $*" >&2; ls -la "$dir" >&2; exit 1; }

"$zvfile" save "$dir/big.zvd" --objects 100000 >/dev/null 2>&1 && fail "a first save larger than the disk succeeded"
[[ -z $(ls -A "$dir") ]] || fail "a failed first save left files"
"$zvfile" save "$dir/a.zvd" --objects 100 --data-revision kept >/dev/null 2>&1 || fail "a small first save failed"
before=$(cksum <"$dir/a.zvd")
"$zvfile" save "$dir/a.zvd" --objects 100000 >/dev/null 2>&1 && fail "a rewrite larger than the disk succeeded"
[[ $(cksum <"$dir/a.zvd") == "$before" ]] || fail "a failed rewrite changed the design"
[[ $(ls -A "$dir") == a.zvd ]] || fail "a failed rewrite left files"
"$zvfile" save "$dir/a.zvd" --objects 50 >/dev/null 2>&1 || fail "the next save after a full disk failed"
echo "full disk: failed saves left the design whole and nothing behind"
