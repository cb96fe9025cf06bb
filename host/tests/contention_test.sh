#!/usr/bin/env bash
# Two zvfile processes save one design at the same moment, 50 times over:
# rewrites against rewrites and against updates in place. Every run must
# end with a design that opens, holding what the save that took effect
# last wrote; both saves must report success (the second waits for the
# first), no temporary file may be left, and no run may take long.
# Then one save is stopped halfway: a rival that will not wait is refused
# as busy, one that waits takes over once the stopped save is killed.
# The stopped save is run by the second argument, a test build of the
# program that stops at the step ZVFILE_PAUSE_AT names.
set -euo pipefail
zvfile=$1
stoppable=${2:-}
dir=$(mktemp -d)
trap 'kill -KILL $(jobs -p) 2>/dev/null || true; rm -rf "$dir"' EXIT
design=$dir/pump.zvd
fail() { echo "contention: $*" >&2; exit 1; }
now() { date +%s%N; }
revision() { "$zvfile" info "$design" --json 2>/dev/null | sed -n 's/.*"dataRevision": "\(.*\)",*/\1/p'; }
# waitfor <file> <text>: until <file> holds <text>, for at most 60 s.
waitfor() {
  for _ in $(seq 600); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  fail "'$2' never appeared in $1: $(cat "$1")"
}

"$zvfile" save "$design" --objects 500 --data-revision start >/dev/null 2>&1
slowest=0
for i in $(seq 50); do
  # Both append to one log. Each prints its line after its new version is
  # in place and before it lets the design go, so the log's order is the
  # order in which the saves took effect.
  log=$dir/saved.log
  : >"$log"
  modeA=overwrite
  ((i % 2)) && modeA=update-all
  began=$(now)
  "$zvfile" save "$design" --mode $modeA --objects $((1000 + 2 * i)) --data-revision "a$i" --wait 30 >>"$log" 2>"$dir/a.err" &
  a=$!
  "$zvfile" save "$design" --objects $((1001 + 2 * i)) --data-revision "b$i" --wait 30 >>"$log" 2>"$dir/b.err" &
  b=$!
  wait $a || fail "run $i: the $modeA save failed: $(cat "$dir/a.err")"
  wait $b || fail "run $i: the rewrite failed: $(cat "$dir/b.err")"
  took=$((($(now) - began) / 1000000))
  ((took > slowest)) && slowest=$took
  [[ $(grep -c '^saved' "$log") -eq 2 ]] || fail "run $i: not both saves reported success: $(cat "$log")"
  last=$(grep -o '^saved [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  expected=b$i
  ((last % 2 == 0)) && expected=a$i
  found=$(revision) || fail "run $i: the design does not open"
  [[ $found == "$expected" ]] || fail "run $i: the design holds '$found', but the save that took effect last wrote '$expected'"
  [[ ! -e $dir/pump.tmp.zvd ]] || fail "run $i: the temporary file is left"
done
((slowest < 5000)) || fail "a run took $slowest ms"

if [[ ! -x $stoppable ]]; then
  echo "contention: 50 runs of two saves at once, slowest $slowest ms; no program that stops a save: the stopped save skipped"
  exit 0
fi
# A save stopped halfway holds the design.
ZVFILE_PAUSE_AT=writing "$stoppable" save "$design" --objects 3000 --data-revision stopped >/dev/null 2>"$dir/stopped.err" &
stopped=$!
waitfor "$dir/stopped.err" "paused at writing"
if "$zvfile" save "$design" --objects 10 --data-revision impatient --wait 0.2 >/dev/null 2>"$dir/impatient.err"; then
  fail "a save went ahead while another held the design"
fi
grep -q "another program is saving it" "$dir/impatient.err" || fail "the refusal does not say busy: $(cat "$dir/impatient.err")"
"$zvfile" save "$design" --objects 10 --data-revision patient --wait 60 >/dev/null 2>"$dir/patient.err" &
patient=$!
waitfor "$dir/patient.err" "waiting up to"
[[ $(revision) == "$found" ]] || fail "the design changed while the stopped save held it"
kill -KILL $stopped
wait $stopped 2>/dev/null || true
wait $patient || fail "the waiting save failed after the other was killed: $(cat "$dir/patient.err")"
[[ $(revision) == patient ]] || fail "the waiting save did not take effect"
[[ ! -e $dir/pump.tmp.zvd ]] || fail "the temporary file is left"
echo "contention: 50 runs of two saves at once, slowest $slowest ms; a stopped save held off both rivals"
