#!/usr/bin/env bash
# Watches the system calls of a real rewrite of an existing design and
# checks the durable order of the native replacement: the temporary file is
# flushed (fsync) before it is renamed over the target, and the folder is
# synced after the rename.
set -euo pipefail
zvfile=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
design=$dir/pump.zvd
"$zvfile" save "$design" --objects 10 >/dev/null 2>&1
# LeakSanitizer cannot run under a tracer; the other sanitizers can.
ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
  strace -f -e trace=openat,fsync,fdatasync,rename,renameat,renameat2 -o "$dir/trace" "$zvfile" save "$design" --objects 20 >/dev/null 2>&1
trace=$(sed 's/^[0-9]* *//' "$dir/trace")

fail() { echo "sync order: $*" >&2; echo "$trace" >&2; exit 1; }

rename_line=$(grep -n "rename.*\"$dir/pump.tmp.zvd\", .*\"$design\"" <<<"$trace" | tail -1 | cut -d: -f1)
[[ -n $rename_line ]] || fail "no rename of the temporary file over the design"
before=$(head -n "$((rename_line - 1))" <<<"$trace")
after=$(tail -n "+$((rename_line + 1))" <<<"$trace")

# The last opening of the temporary file before the rename, and a flush of that descriptor.
fd=$(grep "openat(.*\"$dir/pump.tmp.zvd\"" <<<"$before" | tail -1 | sed -n 's/.*= \([0-9]*\)$/\1/p')
[[ -n $fd ]] || fail "the temporary file is not opened before the rename"
opened_at=$(grep -n "openat(.*\"$dir/pump.tmp.zvd\"" <<<"$before" | tail -1 | cut -d: -f1)
tail -n "+$opened_at" <<<"$before" | grep -qE "^f(data)?sync\($fd\) += 0" ||
  fail "the temporary file is not flushed between its last opening and the rename"

# The folder opened and synced after the rename.
dirfd=$(grep "O_DIRECTORY" <<<"$after" | head -1 | sed -n 's/.*= \([0-9]*\)$/\1/p')
[[ -n $dirfd ]] && grep -qE "^fsync\($dirfd\) += 0" <<<"$after" || fail "the folder is not synced after the rename"
echo "sync order: flush, rename, folder sync"
