#!/usr/bin/env bash
# The end-to-end table of `make bench`: `zvfile save` beside zvfile_peer,
# the same save written with SQLite's C API alone, and for rewrites beside
# zvfile_durable_replace, the bare copy, flush and rename of the design's
# bytes. For each size a new file and a rewrite of a design of that size;
# the programs take turns (A B A B ...), so a change in the machine's load
# falls on all of them, and the table shows medians. Each run is timed by
# zvfile_measure, which reads the kernel's counts for that one process; one
# more run of each save under strace counts its system calls and flushes.
#
# usage: end_to_end.sh ZVFILE PEER REPLACE MEASURE [SIZES...]   (RUNS runs per point, default 5)
set -euo pipefail

if [[ $# -lt 4 ]]; then
  echo "usage: $0 ZVFILE PEER REPLACE MEASURE [SIZES...]" >&2
  exit 2
fi
zvfile=$1 peer=$2 replace=$3 measurer=$4
shift 4
if [[ $# -gt 0 ]]; then sizes=("$@"); else sizes=(1000 10000 100000 1000000); fi
runs=${RUNS:-5}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "end_to_end: RUNS must be a positive number" >&2; exit 2; }
for program in "$zvfile" "$peer" "$replace" "$measurer" strace; do
  command -v "$program" >/dev/null ||
    { echo "end_to_end: $program is missing (scripts/install-deps.sh installs strace)" >&2; exit 2; }
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/zvfile-e2e.XXXXXX")
trap 'rm -rf "$dir"' EXIT
zfile=$dir/zvfile.zvd pfile=$dir/peer.zvd

# Runs a command once and appends "cpu_ms wall_ms peak_kib" to $dir/KEY.
measure() {
  local key=$1
  shift
  "$measurer" "$@" >>"$dir/$key" || { echo "end_to_end: failed: $*" >&2; exit 1; }
}

# The median of column COLUMN (1 cpu, 2 wall, 3 peak) of $dir/KEY.
median() {
  cut -d' ' -f"$2" "$dir/$1" | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.3f\n", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The system calls and the flushes of one run of a command, as
# "calls/flushes". Its standard output is kept in $dir/out (zvfile names its
# revision there).
traced() {
  strace -f -c -o "$dir/trace" "$@" >"$dir/out" 2>/dev/null ||
    { echo "end_to_end: failed under strace: $*" >&2; exit 1; }
  awk '$NF ~ /^(fsync|fdatasync|sync_file_range|msync|syncfs|sync)$/ { flushes += $4 }
       $NF == "total" { calls = $4 } END { printf "%d/%d\n", calls, flushes }' "$dir/trace"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
rows=() file_sizes="" revision=unknown
declare -A counted # "new zvfile" -> "calls/flushes" of one run
for n in "${sizes[@]}"; do
  echo "end_to_end: $n objects, $runs runs each" >&2
  zsave=("$zvfile" save "$zfile" --objects "$n") psave=("$peer" "$pfile" "$n")

  for ((i = 0; i < runs; i++)); do
    rm -f "$zfile" && measure "$n.new.zvfile" "${zsave[@]}"
    rm -f "$pfile" && measure "$n.new.peer" "${psave[@]}"
  done
  rm -f "$zfile" "$pfile"
  counted[new zvfile]=$(traced "${zsave[@]}")
  revision=$(sed -n 's/.*(software revision \(.*\))$/\1/p' "$dir/out")
  counted[new peer]=$(traced "${psave[@]}")
  file_sizes+="${file_sizes:+, }$n objects $(awk -v b="$(stat -c %s "$zfile")" 'BEGIN { printf "%.2f", b / 1048576 }') MiB"

  # Each program rewrites the design it made itself; the bare replace
  # rewrites zvfile's.
  for ((i = 0; i < runs; i++)); do
    measure "$n.rewrite.zvfile" "${zsave[@]}"
    measure "$n.rewrite.peer" "${psave[@]}"
    measure "$n.rewrite.bare" "$replace" "$zfile"
  done
  counted[rewrite zvfile]=$(traced "${zsave[@]}")
  counted[rewrite peer]=$(traced "${psave[@]}")

  for case in new rewrite; do
    bare=-
    if [[ $case == rewrite ]]; then bare="$(median "$n.rewrite.bare" 2)"; fi
    rows+=("$(awk -v n="$n" -v c="$case" -v tz="${counted[$case zvfile]}" -v tp="${counted[$case peer]}" -v bare="$bare" \
      -v zc="$(median "$n.$case.zvfile" 1)" -v pc="$(median "$n.$case.peer" 1)" \
      -v zw="$(median "$n.$case.zvfile" 2)" -v pw="$(median "$n.$case.peer" 2)" \
      -v zm="$(median "$n.$case.zvfile" 3)" -v pm="$(median "$n.$case.peer" 3)" '
      function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "n/a" }
      BEGIN {
        split(tz, z, "/"); split(tp, p, "/")
        printf "| %s | %s | %.1f | %.1f | %s | %.0f | %.0f | %s | %.1f | %.1f | %+.1f | %s/%s | %s/%s | %s |\n",
          n, c, zc, pc, ratio(zc, pc), zw, pw, ratio(zw, pw), zm / 1024, pm / 1024, (zm - pm) / 1024, z[1], p[1], z[2], p[2],
          bare == "-" ? "" : ratio(zw, bare) " / " ratio(pw, bare)
      }')")
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "End-to-end save, zvfile (revision $revision) against zvfile_peer: medians of $runs interleaved runs; ratios are zvfile ÷ peer."
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), nproc $(nproc), load average before $load_before, after $load_after;" \
  "files in ${TMPDIR:-/tmp} on $(df --output=fstype "$dir" | tail -1 | tr -d ' ')."
echo "zvfile's design file: $file_sizes."
echo "cpu is user + system and peak the peak resident memory, as the kernel counted them for the saving process alone;" \
  "system calls and flushes are counted in one run each under strace -f;" \
  "the bare replace copies, flushes and renames zvfile's design with no database work."
echo
echo "| objects | case | zvfile cpu ms | peer cpu ms | cpu ratio | zvfile wall ms | peer wall ms | wall ratio | zvfile peak MiB | peer peak MiB | peak diff MiB | system calls zvfile/peer | flushes zvfile/peer | rewrite wall ÷ bare replace, zvfile / peer |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
