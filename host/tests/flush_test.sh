#!/usr/bin/env bash
# What each road of zvfile flushes, as the system sees it: every fsync and
# fdatasync, rename and removal the program makes, whatever layer made the
# call, as strace records it with the path of each descriptor.
# A road's result survives a power cut only if each file it wrote is
# flushed before it is named (renamed in, or counted on by a commit) and
# the folder after its names changed: each row is the order a road must
# keep, exact where the road decides how many flushes it makes, "one or
# more" where SQLite decides (the journal's).
set -euo pipefail
zvfile=$1
command -v strace >/dev/null && strace -o /dev/null true 2>/dev/null || { echo "no strace that runs: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
replace='sync temporary; rename temporary design; sync folder;'
update='(sync journal; )+sync folder; (sync journal; )*sync design; remove journal; sync folder;'
failed=0
# Each row: the road's arguments | the flushes, renames and removals it must
# make, in order (a regular expression), each file named for its part in the road.
# An autosave is an editor's, whose claim goes unflushed: one a power cut
# brings back claims nothing.
while IFS='|' read -r arguments expected; do
  # shellcheck disable=SC2086 # the arguments are words
  # LeakSanitizer cannot run under ptrace; every other test looks for leaks.
  (cd "$dir" && ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -y -qq -e signal=none -e trace=fsync,fdatasync,renameat,renameat2,unlinkat -o "$dir/events" \
     "$zvfile" $arguments </dev/null >/dev/null) || { echo "zvfile $arguments failed" >&2; failed=1; continue; }
  got=$(sed -E -e '/= 0$/!d' -e 's#^[0-9]+ +##' -e 's#^f(data)?sync\([0-9]+<([^>]*)>\).*#sync \2#' \
            -e 's#^renameat2?\([0-9]+<([^>]*)>, "([^"]*)", [0-9]+<([^>]*)>, "([^"]*)".*#rename \1/\2 \3/\4#' \
            -e 's#^unlinkat\([0-9]+<([^>]*)>, "([^"]*)".*#remove \1/\2#' \
            -e "s#$dir/d.zvd-journal#journal#g; s#$dir/[^ ]*\.tmp\.zvd#temporary#g; s#$dir/d.bak.zvd#copy#g" \
            -e "s#$dir/d.zvd.editor#claim#g" \
            -e "s#$dir/d.zvd#design#g; s#$dir\$#folder#; s#\$#; #" "$dir/events" | tr -d '\n')
  [[ ${got% } =~ ^$expected$ ]] ||
    { printf 'zvfile %s\n  made:     %s\n  expected: %s\n' "$arguments" "${got% }" "$expected" >&2; failed=1; }
done <<TABLE
save d.zvd --objects 300|$replace
save d.zvd --mode overwrite --data-revision b|$replace
save d.zvd --mode update-all --data-revision c|$update
autosave d.zvd|sync temporary; rename temporary copy; sync folder; remove claim;
recover d.zvd|$replace remove copy; sync folder;
autosave d.zvd|sync temporary; rename temporary copy; sync folder; remove claim;
clean d.zvd|remove copy; sync folder;
TABLE
exit $failed
