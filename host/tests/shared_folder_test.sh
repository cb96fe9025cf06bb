#!/usr/bin/env bash
# Another user in a folder everybody may write to: a design they may not
# write is refused to them in every mode (even though the folder would let
# them rename a new file over it), nothing of theirs is left behind, and a
# design whose ACL grants them writing is theirs to save. Needs root (to
# act as the other user); skipped otherwise.
set -euo pipefail
zvfile=$1
[[ $(id -u) -eq 0 ]] || { echo "not root: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
chmod 0777 "$dir" # no sticky bit: the other user could rename over anything
design=$dir/pump.zvd
"$zvfile" save "$design" --objects 10 --data-revision root >/dev/null 2>&1
chmod 0644 "$design"
before=$(cksum <"$design")
as_other() { setpriv --reuid=65534 --regid=65534 --clear-groups "$zvfile" "$@"; }
fail() { echo "shared folder: $*" >&2; exit 1; }

for mode in overwrite update-all update-selected; do
  if as_other save "$design" --mode $mode --select pipes >/dev/null 2>"$dir/err"; then
    fail "another user saved a design they may not write ($mode)"
  fi
  grep -q "It is not possible to overwrite a readonly file." "$dir/err" || fail "$mode: $(cat "$dir/err")"
done
[[ $(cksum <"$design") == "$before" && $(stat -c %U "$design") == root ]] || fail "the design changed"
[[ $(find "$dir" -user 65534 | wc -l) -eq 0 ]] || fail "files of the other user are left: $(find "$dir" -user 65534)"

if command -v setfacl >/dev/null && setfacl -m u:65534:rw "$design" 2>/dev/null; then
  as_other save "$design" --mode update-all >/dev/null 2>"$dir/err" || fail "an ACL that grants writing was not honoured: $(cat "$dir/err")"
fi
echo "shared folder: another user is refused in every mode"
