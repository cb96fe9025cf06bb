#!/usr/bin/env bash
# Watches the system calls of real saves and opens. A rewrite of an existing
# design flushes exactly twice, in the durable order: the temporary file,
# once its attributes are set, before it is renamed over the target, and the
# folder after the rename; a first save flushes twice too. Opening a design
# to show it takes the file's read lock once.
set -euo pipefail
zvfile=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
design=$dir/pump.zvd
"$zvfile" save "$design" --objects 10 >/dev/null 2>&1
# LeakSanitizer cannot run under a tracer; the other sanitizers can.
ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
  strace -f -e trace=openat,fsync,fdatasync,sync_file_range,msync,syncfs,rename,renameat,renameat2,fchmod,fchown,fsetxattr \
  -o "$dir/trace" "$zvfile" save "$design" --objects 20 >/dev/null 2>&1
trace=$(sed 's/^[0-9]* *//' "$dir/trace")

fail() { echo "sync order: $*" >&2; echo "$trace" >&2; exit 1; }
flushes() { grep -cE "^(f(data)?sync|sync_file_range|msync|syncfs)\(" <<<"$1" || true; }

# The rename goes through the folder held since the save began: renameat on
# its descriptor with the leaf names.
renamed='^renameat2?\(([0-9]+), "pump\.tmp\.zvd", [0-9]+, "pump\.zvd"'
rename_line=$(grep -nE "$renamed" <<<"$trace" | tail -1 | cut -d: -f1)
[[ -n $rename_line ]] || fail "no rename of the temporary file over the design"
dirfd=$(sed -n "${rename_line}p" <<<"$trace" | sed -nE "s/$renamed.*/\1/p")
before=$(head -n "$((rename_line - 1))" <<<"$trace")
after=$(tail -n "+$((rename_line + 1))" <<<"$trace")

# The last opening of the temporary file before the rename, and a flush of that descriptor.
opening="openat\((AT_FDCWD, \"$dir/|$dirfd, \")pump\.tmp\.zvd\""
fd=$(grep -E "$opening" <<<"$before" | tail -1 | sed -n 's/.*= \([0-9]*\)$/\1/p')
[[ -n $fd ]] || fail "the temporary file is not opened before the rename"
opened_at=$(grep -nE "$opening" <<<"$before" | tail -1 | cut -d: -f1)
tail -n "+$opened_at" <<<"$before" | grep -qE "^f(data)?sync\($fd\) += 0" ||
  fail "the temporary file is not flushed between its last opening and the rename"
flushed_at=$(grep -nE "^f(data)?sync\($fd\)" <<<"$before" | tail -1 | cut -d: -f1)
tail -n "+$flushed_at" <<<"$before" | grep -qE "^f(chmod|chown|setxattr)\(" &&
  fail "the temporary file's attributes change after its flush"
[[ $(flushes "$trace") -eq 2 ]] || fail "a rewrite flushes $(flushes "$trace") times, not 2"

# The folder synced after the rename.
grep -qE "^fsync\($dirfd\) += 0" <<<"$after" || fail "the folder is not synced after the rename"

ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
  strace -f -e trace=fsync,fdatasync,sync_file_range,msync,syncfs -o "$dir/trace" \
  "$zvfile" save "$dir/new.zvd" --objects 20 >/dev/null 2>&1
trace=$(sed 's/^[0-9]* *//' "$dir/trace")
[[ $(flushes "$trace") -eq 2 ]] || fail "a first save flushes $(flushes "$trace") times, not 2"

# SQLite takes its shared lock as a read lock on a range past the first GiB.
ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
  strace -f -e trace=fcntl -o "$dir/trace" "$zvfile" info "$design" >/dev/null 2>&1
trace=$(sed 's/^[0-9]* *//' "$dir/trace")
locks=$(grep -cE "F_(OFD_)?SETLK.*F_RDLCK, l_whence=SEEK_SET, l_start=1073741826" <<<"$trace" || true)
[[ $locks -eq 1 ]] || fail "showing a design takes its read lock $locks times, not once"
echo "sync order: flush, rename, folder sync; two flushes a save; one read lock to show a design"
