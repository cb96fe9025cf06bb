#!/usr/bin/env bash
# What each road of zvfile flushes, as the system sees it: every fsync and
# fdatasync, rename and removal the program makes is recorded by a library
# preloaded into it (the second argument), whatever layer made the call.
# A road's result survives a power cut only if each file it wrote is
# flushed before it is named (renamed in, or counted on by a commit) and
# the folder after its names changed: each row is the order a road must
# keep, exact where the road decides how many flushes it makes, "one or
# more" where SQLite decides (the journal's).
set -euo pipefail
zvfile=$1
recorder=$2
[[ -r /proc/self/fd/0 ]] || { echo "no /proc/self/fd to name descriptors by: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
log=$dir/events
# A sanitized build checks that its runtime is loaded first; the recorder is not instrumented.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
design=d.zvd

# events <zvfile arguments...>: runs zvfile in $dir and prints what it
# flushed, renamed and removed, each file named for its part in the road.
events() {
  : >"$log"
  (cd "$dir" && ZV_FLUSH_LOG=$log LD_PRELOAD=$recorder "$zvfile" "$@" >/dev/null)
  awk -v dir="$dir" '{
        for (i = 2; i <= NF; i++) {
          name = substr($i, length(dir) + 2)
          if ($i == dir) $i = "folder"
          else if (name == "d.zvd") $i = "design"
          else if (name == "d.zvd-journal") $i = "journal"
          else if (name ~ /\.tmp\.zvd$/) $i = "temporary"
          else if (name == "d.bak.zvd") $i = "copy"
        }
        printf "%s; ", $0
      }' "$log"
}

replace='sync temporary; rename temporary design; sync folder; '
update='(sync journal; )+sync folder; (sync journal; )*sync design; remove journal; sync folder; '
# Each row: the road's arguments | the flushes, renames and removals it must make, in order (a regular expression).
rows=(
  "save $design --objects 300|$replace"
  "save $design --mode overwrite --data-revision b|$replace"
  "save $design --mode update-all --data-revision c|$update"
  "save $design --mode update-selected --select pipes --data-revision d|$update"
  "autosave $design|sync temporary; rename temporary copy; sync folder; "
  "recover $design|${replace}remove copy; sync folder; "
  "autosave $design|sync temporary; rename temporary copy; sync folder; "
  "clean $design|remove copy; sync folder; "
)
failed=0
for row in "${rows[@]}"; do
  arguments=${row%%|*}
  expected=${row#*|}
  # shellcheck disable=SC2086 # the arguments are words
  got=$(events $arguments) || { echo "zvfile $arguments failed" >&2; failed=1; continue; }
  if [[ ! $got =~ ^$expected$ ]]; then
    printf 'zvfile %s\n  made:     %s\n  expected: %s\n' "$arguments" "$got" "$expected" >&2
    failed=1
  fi
done
exit $failed
