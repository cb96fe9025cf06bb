#!/usr/bin/env bash
# Kills zvfile with SIGKILL while it saves a large design: at each named
# step of the save road and at random moments, for a rewrite and for an
# update in place. After every kill the design must open as the complete
# old or the complete new version, and a save let run must then succeed
# and show the new version. Then an autosave and a first save are killed
# halfway: the previous autosave copy survives whole, a killed first save
# blocks nothing, and what a kill leaves is never readable by more users
# than the design.
#
# Every run is watched, so that a broken save fails the test at once: a run
# that ends before its pause step, or with an error before its kill, stops
# the test with that run's error; one that finished before its kill must
# have left the new version.
# The runs that stop at a step use the second argument, a test build of the
# program that stops at the step ZVFILE_PAUSE_AT names.
set -euo pipefail
zvfile=$1
stoppable=${2:-}
[[ -x $stoppable ]] || { echo "no program that stops a save at a step: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'kill -KILL $(jobs -p) 2>/dev/null || true; chmod -R u+w "$dir"; rm -rf "$dir"' EXIT
design=$dir/big.zvd
log=$dir/run.log
big=150000
cases=0
lost=0

fail() { echo "crash test: $*" >&2; exit 1; }

# State the design must be in: "<data revision>:<object count>".
state() {
  local json
  json=$("$zvfile" info "$design" --json 2>/dev/null) || { echo "lost: the design does not open" >&2; return 1; }
  printf '%s:%s' "$(sed -n 's/.*"dataRevision": "\(.*\)",*/\1/p' <<<"$json")" \
                 "$(sed -n 's/.*"objects": \([0-9]*\).*/\1/p' <<<"$json")"
}

# run <zvfile arguments...>: a run let go to its end, which must succeed.
run() {
  "$zvfile" "$@" >/dev/null 2>"$log" || fail "zvfile $* failed: $(cat "$log")"
}

# start <pause step or ""> <zvfile arguments...>: starts zvfile in the
# background (pid in $pid); with a step, returns once it is paused there.
start() {
  local step=$1 program=$zvfile
  shift
  [[ -n $step ]] && program=$stoppable
  ZVFILE_PAUSE_AT=$step "$program" "$@" >/dev/null 2>"$log" &
  pid=$!
  [[ -z $step ]] && return
  for _ in $(seq 3000); do
    grep -q "paused at $step" "$log" && return
    if ! kill -0 "$pid" 2>/dev/null; then
      local code=0
      wait "$pid" || code=$?
      fail "zvfile $* ended (exit $code) before it reached '$step': $(cat "$log")"
    fi
    sleep 0.02
  done
  fail "zvfile $* did not reach '$step' within 60 s: $(cat "$log")"
}

# stop: kills the run started last; true when the kill ended it, false when
# it had finished by itself (successfully: a failed run stops the test).
stop() {
  local code=0
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || code=$?
  cases=$((cases + 1))
  [[ $code -eq 137 ]] && return 0
  [[ $code -eq 0 ]] || fail "a save failed instead of being killed (exit $code): $(cat "$log")"
  return 1
}

run save "$design" --objects 1000 --data-revision gen0
current=$(state)

# attempt <mode> <generation> <object count> <pause step or delay in seconds>
attempt() {
  local mode=$1 gen=$2 count=$3 when=$4 finished=0 found
  local args=(save "$design" --mode "$mode" --objects "$count" --data-revision "$gen")
  if [[ $when == [a-z]* ]]; then
    start "$when" "${args[@]}"
  else
    start "" "${args[@]}"
    sleep "$when"
  fi
  stop || finished=1
  found=$(state) || { lost=$((lost + 1)); return; }
  if [[ $found != "$gen:$count" && ($finished -eq 1 || $found != "$current") ]]; then
    echo "lost: after a kill ($mode, $when) the design is $found, not $gen:$count$( ((finished)) || echo " nor $current")" >&2
    lost=$((lost + 1))
  fi
  current=$found
}

gen=1
for mode in overwrite update-all; do
  for when in prepared writing committed 0.05 0.2 0.4 0.6 0.8 1.0 1.5; do
    count=$(( (gen % 2) ? big : 1000 + gen ))
    [[ $mode == update-all && $count -lt ${current#*:} ]] && count=$big
    attempt "$mode" "gen$gen" "$count" "$when"
    gen=$((gen + 1))
  done
  # Let run after the kills, the save takes effect.
  run save "$design" --mode "$mode" --objects $big --data-revision "gen$gen"
  [[ $(state) == "gen$gen:$big" ]] || { echo "lost: a $mode save let run left $(state)" >&2; lost=$((lost + 1)); }
  current=$(state)
  gen=$((gen + 1))
done

# The road is clear afterwards: a save completes and leaves no temporary file.
run save "$design" --objects 10 --data-revision final
[[ $(state) == final:10 && ! -e $dir/big.tmp.zvd ]] || { echo "the save after the kills failed" >&2; lost=$((lost + 1)); }

# pause <pause step> <zvfile arguments...>: runs zvfile until it reaches the step, then kills it.
pause() {
  start "$@"
  stop || fail "zvfile ${*:2} finished while paused at '$1'"
}
chmod 600 "$design"
run autosave "$design"
copy=$dir/big.bak.zvd
before=$(cksum <"$copy")
run save "$design" --objects $big --data-revision later
pause committed autosave "$design" # the copy is written, not yet in place
[[ $(cksum <"$copy") == "$before" ]] || { echo "a killed autosave damaged the previous copy" >&2; lost=$((lost + 1)); }
[[ $(stat -c %a "$dir/big.bak.tmp.zvd") == 600 ]] || { echo "a killed autosave left a copy looser than the design" >&2; lost=$((lost + 1)); }
pause writing save "$design" --objects $big --data-revision looser
[[ $(stat -c %a "$dir/big.tmp.zvd") == 600 ]] || { echo "a killed save left a temporary file looser than the design" >&2; lost=$((lost + 1)); }
run autosave "$design"
[[ ! -e $dir/big.bak.tmp.zvd ]] || { echo "the autosave after a killed one left its temporary copy" >&2; lost=$((lost + 1)); }

pause writing save "$dir/first.zvd" --objects $big --data-revision first
[[ ! -s $dir/first.zvd ]] || { echo "a killed first save left a non-empty file" >&2; lost=$((lost + 1)); }
run save "$dir/first.zvd" --objects 10 --data-revision again

echo "crash cases: $cases, designs lost: $lost"
[[ $lost -eq 0 ]]
