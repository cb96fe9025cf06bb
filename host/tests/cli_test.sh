#!/usr/bin/env bash
# zvfile's command line: each row is the arguments after FILE, the exit
# code they must give and words standard error must hold. Nothing may be
# written for a usage error.
set -euo pipefail
zvfile=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
design=$dir/pump.zvd
failed=0
while IFS='|' read -r args code words; do
  [[ -z $args ]] && continue
  set +e
  # shellcheck disable=SC2086
  "$zvfile" save "$design" $args >/dev/null 2>"$dir/err"
  got=$?
  set -e
  if [[ $got -ne $code ]] || ! grep -q -- "$words" "$dir/err" || [[ -e $design ]]; then
    echo "save FILE $args: exit $got (expected $code), error: $(cat "$dir/err")" >&2
    failed=1
  fi
done <<'TABLE'
--objects 9223372036854775808|2|not in range 0 to 100000000
--objects 100000001|2|not in range 0 to 100000000
--objects -1|2|not in range
--wait -1|2|not in range
TABLE
exit $failed
