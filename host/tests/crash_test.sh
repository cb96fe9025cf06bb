#!/usr/bin/env bash
# Kills zvfile with SIGKILL while it saves a large design: at each named
# step of the save road and at random moments, for a rewrite and for an
# update in place. After every kill the design must open as the complete
# old or the complete new version, and the next save must succeed (a
# left-over temporary file is cleared by the save itself). Then an
# autosave and a first save are killed halfway: the previous autosave copy
# survives whole, a killed first save blocks nothing, and what a kill
# leaves is never readable by more users than the design.
set -euo pipefail
zvfile=$1
dir=$(mktemp -d)
trap 'chmod -R u+w "$dir"; rm -rf "$dir"' EXIT
design=$dir/big.zvd
big=150000

# State the design must be in: "<data revision>:<object count>".
state() {
  local json
  json=$("$zvfile" info "$design" --json 2>/dev/null) || { echo "lost: the design does not open" >&2; return 1; }
  printf '%s:%s' "$(sed -n 's/.*"dataRevision": "\(.*\)",*/\1/p' <<<"$json")" \
                 "$(sed -n 's/.*"objects": \([0-9]*\).*/\1/p' <<<"$json")"
}

"$zvfile" save "$design" --objects 1000 --data-revision gen0 >/dev/null 2>&1
current=$(state)
cases=0
lost=0

# attempt <mode> <generation> <object count> <pause step or delay in seconds>
attempt() {
  local mode=$1 gen=$2 count=$3 when=$4 pid
  local log=$dir/run.log
  if [[ $when == [a-z]* ]]; then
    ZVFILE_PAUSE_AT=$when "$zvfile" save "$design" --mode "$mode" --objects "$count" --data-revision "$gen" \
      >/dev/null 2>"$log" &
    pid=$!
    for _ in $(seq 600); do grep -q "paused at" "$log" && break; sleep 0.1; done
    grep -q "paused at" "$log" || { echo "the save never reached '$when': $(cat "$log")" >&2; exit 1; }
  else
    "$zvfile" save "$design" --mode "$mode" --objects "$count" --data-revision "$gen" >/dev/null 2>"$log" &
    pid=$!
    sleep "$when"
  fi
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  cases=$((cases + 1))
  local found
  found=$(state) || { lost=$((lost + 1)); return; }
  if [[ $found != "$current" && $found != "$gen:$count" ]]; then
    echo "lost: after a kill ($mode, $when) the design is $found, neither $current nor $gen:$count" >&2
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
done

# The road is clear afterwards: a save completes and leaves no temporary file.
"$zvfile" save "$design" --objects 10 --data-revision final >/dev/null 2>&1
[[ $(state) == final:10 && ! -e $dir/big.tmp.zvd ]] || { echo "the save after the kills failed" >&2; lost=$((lost + 1)); }

# pause <pause step> <zvfile arguments...>: runs zvfile until it reaches the step, then kills it.
pause() {
  local step=$1 pid
  shift
  ZVFILE_PAUSE_AT=$step "$zvfile" "$@" >/dev/null 2>"$dir/run.log" &
  pid=$!
  for _ in $(seq 600); do grep -q "paused at" "$dir/run.log" && break; sleep 0.1; done
  grep -q "paused at" "$dir/run.log" || { echo "zvfile $* never reached '$step': $(cat "$dir/run.log")" >&2; exit 1; }
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null || true
  cases=$((cases + 1))
}
chmod 600 "$design"
"$zvfile" autosave "$design" >/dev/null 2>&1
copy=$dir/big.bak.zvd
before=$(cksum <"$copy")
"$zvfile" save "$design" --objects $big --data-revision later >/dev/null 2>&1
pause copied autosave "$design"
[[ $(cksum <"$copy") == "$before" ]] || { echo "a killed autosave damaged the previous copy" >&2; lost=$((lost + 1)); }
[[ $(stat -c %a "$dir/big.bak.tmp.zvd") == 600 ]] || { echo "a killed autosave left a copy looser than the design" >&2; lost=$((lost + 1)); }
pause writing save "$design" --objects $big --data-revision looser
[[ $(stat -c %a "$dir/big.tmp.zvd") == 600 ]] || { echo "a killed save left a temporary file looser than the design" >&2; lost=$((lost + 1)); }
"$zvfile" autosave "$design" >/dev/null 2>&1 || { echo "the autosave after a killed one failed" >&2; lost=$((lost + 1)); }
[[ ! -e $dir/big.bak.tmp.zvd ]] || { echo "the autosave after a killed one left its temporary copy" >&2; lost=$((lost + 1)); }

pause writing save "$dir/first.zvd" --objects $big --data-revision first
[[ ! -s $dir/first.zvd ]] || { echo "a killed first save left a non-empty file" >&2; lost=$((lost + 1)); }
"$zvfile" save "$dir/first.zvd" --objects 10 --data-revision again >/dev/null 2>&1 ||
  { echo "a killed first save blocks the next save of its name" >&2; lost=$((lost + 1)); }

echo "crash cases: $cases, designs lost: $lost"
[[ $lost -eq 0 ]]
