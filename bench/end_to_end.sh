#!/usr/bin/env bash
# The end-to-end table of `make bench`: `zvfile save` beside zvfile_peer,
# the same save written with SQLite's C API alone, and for rewrites beside
# zvfile_durable_replace, the bare copy, flush and rename of the design's
# bytes. For each size a new file and a rewrite of a design of that size;
# the programs take turns (A B A B ...), so a change in the machine's load
# falls on all of them, and the table shows medians.
#
# usage: end_to_end.sh ZVFILE PEER REPLACE [SIZES...]   (RUNS runs per point, default 5)
set -euo pipefail

if [[ $# -lt 3 ]]; then
  echo "usage: $0 ZVFILE PEER REPLACE [SIZES...]" >&2
  exit 2
fi
zvfile=$1 peer=$2 replace=$3
shift 3
if [[ $# -gt 0 ]]; then sizes=("$@"); else sizes=(1000 10000 100000 1000000); fi
runs=${RUNS:-5}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "end_to_end: RUNS must be a positive number" >&2; exit 2; }
for program in "$zvfile" "$peer" "$replace" /usr/bin/time strace; do
  command -v "$program" >/dev/null ||
    { echo "end_to_end: $program is missing (scripts/install-deps.sh installs GNU time and strace)" >&2; exit 2; }
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/zvfile-e2e.XXXXXX")
trap 'rm -rf "$dir"' EXIT
zfile=$dir/zvfile.zvd pfile=$dir/peer.zvd

# Runs a command once and appends "cpu_ms wall_ms peak_kib" to $dir/KEY.
# GNU time reports the peak memory; its own times come in 10 ms steps, too
# coarse for small designs, so CPU (user + system) and wall time come from
# the shell's `time` around it, in 1 ms steps.
measure() {
  local key=$1 TIMEFORMAT='%3R %3U %3S' timing wall user sys
  shift
  timing=$({ time /usr/bin/time -f %M -o "$dir/peak" "$@" >/dev/null 2>&1; } 2>&1) ||
    { echo "end_to_end: failed: $*" >&2; exit 1; }
  read -r wall user sys <<<"$timing"
  awk -v w="$wall" -v u="$user" -v s="$sys" -v p="$(tail -1 "$dir/peak")" \
    'BEGIN { printf "%.3f %.3f %d\n", (u + s) * 1000, w * 1000, p }' >>"$dir/$key"
}

# The median of column COLUMN (1 cpu, 2 wall, 3 peak) of $dir/KEY.
median() {
  cut -d' ' -f"$2" "$dir/$1" | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.3f\n", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The flushes one run of a command asks for. Its standard output is kept
# in $dir/out (zvfile names its revision there).
flushes() {
  strace -f -e trace=fsync,fdatasync,sync_file_range,msync,syncfs,sync -o "$dir/trace" "$@" >"$dir/out" 2>/dev/null ||
    { echo "end_to_end: failed under strace: $*" >&2; exit 1; }
  grep -cE '^[0-9]+ +(fsync|fdatasync|sync_file_range|msync|syncfs|sync)\(' "$dir/trace" || true
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
rows=() file_sizes="" revision=unknown
declare -A flush # "new zvfile" -> the flushes of one run
for n in "${sizes[@]}"; do
  echo "end_to_end: $n objects, $runs runs each" >&2
  zsave=("$zvfile" save "$zfile" --objects "$n") psave=("$peer" "$pfile" "$n")

  for ((i = 0; i < runs; i++)); do
    rm -f "$zfile" && measure "$n.new.zvfile" "${zsave[@]}"
    rm -f "$pfile" && measure "$n.new.peer" "${psave[@]}"
    measure timer /bin/true # what GNU time's own start adds to every figure
  done
  rm -f "$zfile" "$pfile"
  flush[new zvfile]=$(flushes "${zsave[@]}")
  revision=$(sed -n 's/.*(software revision \(.*\))$/\1/p' "$dir/out")
  flush[new peer]=$(flushes "${psave[@]}")
  file_sizes+="${file_sizes:+, }$n objects $(awk -v b="$(stat -c %s "$zfile")" 'BEGIN { printf "%.2f", b / 1048576 }') MiB"

  # Each program rewrites the design it made itself; the bare replace
  # rewrites zvfile's.
  for ((i = 0; i < runs; i++)); do
    measure "$n.rewrite.zvfile" "${zsave[@]}"
    measure "$n.rewrite.peer" "${psave[@]}"
    measure "$n.rewrite.bare" "$replace" "$zfile"
  done
  flush[rewrite zvfile]=$(flushes "${zsave[@]}")
  flush[rewrite peer]=$(flushes "${psave[@]}")

  for case in new rewrite; do
    bare=-
    if [[ $case == rewrite ]]; then bare="$(median "$n.rewrite.bare" 2)"; fi
    rows+=("$(awk -v n="$n" -v c="$case" -v fz="${flush[$case zvfile]}" -v fp="${flush[$case peer]}" -v bare="$bare" \
      -v zc="$(median "$n.$case.zvfile" 1)" -v pc="$(median "$n.$case.peer" 1)" \
      -v zw="$(median "$n.$case.zvfile" 2)" -v pw="$(median "$n.$case.peer" 2)" \
      -v zm="$(median "$n.$case.zvfile" 3)" -v pm="$(median "$n.$case.peer" 3)" '
      function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "n/a" }
      BEGIN {
        printf "| %s | %s | %.0f | %.0f | %s | %.0f | %.0f | %s | %.1f | %.1f | %+.1f | %s/%s | %s |\n",
          n, c, zc, pc, ratio(zc, pc), zw, pw, ratio(zw, pw), zm / 1024, pm / 1024, (zm - pm) / 1024, fz, fp,
          bare == "-" ? "" : ratio(zw, bare) " / " ratio(pw, bare)
      }')")
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "End-to-end save, zvfile (revision $revision) against zvfile_peer: medians of $runs interleaved runs; ratios are zvfile ÷ peer."
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), nproc $(nproc), load average before $load_before, after $load_after;" \
  "files in ${TMPDIR:-/tmp} on $(df --output=fstype "$dir" | tail -1 | tr -d ' ')."
echo "zvfile's design file: $file_sizes."
echo "Every figure includes the start of GNU time, which reads the peak memory" \
  "(GNU time running /bin/true: $(median timer 1 | xargs printf '%.0f') ms CPU, $(median timer 2 | xargs printf '%.0f') ms wall);" \
  "cpu is user + system; peak is the peak resident memory; flushes are counted in one traced run each;" \
  "the bare replace copies, flushes and renames zvfile's design with no database work."
echo
echo "| objects | case | zvfile cpu ms | peer cpu ms | cpu ratio | zvfile wall ms | peer wall ms | wall ratio | zvfile peak MiB | peer peak MiB | peak diff MiB | flushes zvfile/peer | rewrite wall ÷ bare replace, zvfile / peer |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
