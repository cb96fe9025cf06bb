#!/usr/bin/env bash
# Another user in a folder everybody may write to: a design they may not
# write is refused to them in every mode (even though the folder would let
# them rename a new file over it), nothing of theirs is left behind, and a
# design whose ACL grants them writing is theirs to save; one they may write
# in a folder they may not is refused before anything is written. Needs root (to
# act as the other user); skipped otherwise.
#
# The other user runs a copy of the program: the build tree may lie where
# only root may enter (a checkout in /root), so the program, its commands
# module at the place the program looks for it and the libraries the
# module loads from the build tree are copied to a folder of their own that
# everybody may read. The run is in the C locale, so no catalogue is needed.
set -euo pipefail
zvfile=$1
other=65534
[[ $(id -u) -eq 0 ]] || { echo "not root: skipped"; exit 77; }
dir=$(mktemp -d)
installed=$(mktemp -d)
trap 'rm -rf "$dir" "$installed"' EXIT
chmod 0777 "$dir" # no sticky bit: the other user could rename over anything
chmod 0755 "$installed"
cd "$dir" # the build tree, where the test starts, may be out of the other user's reach
as() { setpriv --reuid=$other --regid=$other --clear-groups "$@"; }

# The module where the program looks for it, in the build tree as in the package.
module=$(dirname "$zvfile")/../lib/zvfile/zvfile_commands.so
mkdir -p "$installed/bin" "$installed/lib/zvfile" && cp "$zvfile" "$installed/bin/" && cp "$module" "$installed/lib/zvfile/"
# The libraries it links that the other user may not read where they are.
ldd "$module" | sed -n 's/.* => \(\/[^ ]*\) .*/\1/p' |
  as xargs -d '\n' bash -c 'for f; do [[ -r $f ]] || echo "$f"; done' _ | xargs -r -d '\n' cp -t "$installed/lib/"
chmod -R a+rX "$installed"
if ! as test -x "$installed/bin/zvfile" || ! as test -w "$dir"; then
  echo "user $other cannot reach the temporary folder ${TMPDIR:-/tmp}: skipped"
  exit 77
fi
as_other() { LC_ALL=C LD_LIBRARY_PATH=$installed/lib as "$installed/bin/zvfile" "$@"; }
fail() { echo "shared folder: $*" >&2; exit 1; }

design=$dir/pump.zvd
"$zvfile" save "$design" --objects 10 --data-revision root >/dev/null 2>&1
chmod 0644 "$design"
before=$(cksum <"$design")
for mode in overwrite update-all update-selected; do
  ! as_other save "$design" --mode $mode --select pipes >/dev/null 2>"$dir/err" &&
    grep -q "It is not possible to overwrite a readonly file." "$dir/err" || fail "$mode: $(cat "$dir/err")"
done
[[ $(cksum <"$design") == "$before" && $(stat -c %U "$design") == root ]] || fail "the design changed"
[[ $(find "$dir" -user $other | wc -l) -eq 0 ]] || fail "files of the other user are left: $(find "$dir" -user $other)"

# A design they may write in a folder they may not: every road needs room
# beside the design, and says so before it writes anything.
mkdir "$dir/closed" && chmod 0755 "$dir/closed"
"$zvfile" save "$dir/closed/pump.zvd" --objects 10 >/dev/null 2>&1
chmod 0666 "$dir/closed/pump.zvd"
for mode in overwrite update-all; do
  ! as_other save "$dir/closed/pump.zvd" --mode $mode >/dev/null 2>"$dir/err" &&
    grep -q "its folder '$dir/closed' cannot be written" "$dir/err" || fail "closed folder, $mode: $(cat "$dir/err")"
done

if command -v setfacl >/dev/null && setfacl -m u:$other:rw "$design" 2>/dev/null; then
  as_other save "$design" --mode update-all >/dev/null 2>"$dir/err" || fail "an ACL that grants writing was not honoured: $(cat "$dir/err")"
fi
echo "shared folder: another user is refused in every mode"
