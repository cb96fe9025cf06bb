#!/usr/bin/env bash
# Prints line and branch coverage per folder for a build of the coverage
# preset whose tests have run (make coverage does both): one row per
# library, per service and for the host, then the totals of Platform/,
# services/ and host/. Only the project's own code is counted: test code
# (tests/, testing/), generated headers, examples, fuzzers and third-party
# headers are left out.
#
# Branches are those of the code's own decisions: gcovr drops the ones the
# compiler adds for exception handling and those on lines without code
# (--exclude-throw-branches, --exclude-unreachable-branches), which no test
# could take and which would hide the figure that matters.
#
# usage: scripts/coverage.sh [build folder, default build/coverage]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/coverage}
csv=$build/coverage.csv
gcovr --root . "$build" -j 2 \
  --filter 'services/' --filter 'host/' --filter 'Platform/' \
  --exclude '.*/tests?/.*' --exclude '.*/testing/.*' \
  --exclude-throw-branches --exclude-unreachable-branches \
  --csv "$csv"

# CSV columns: filename, line total, covered, percent, branch total, covered, ...
# Rows per folder, sorted, then the totals of each top folder.
printf '%-40s %-22s %s\n' folder lines branches
awk -F, '
  function pct(covered, total) { return total ? sprintf("%5.1f%% (%d/%d)", 100 * covered / total, covered, total) : "    -" }
  function add(key) { lt[key] += $2; lc[key] += $3; bt[key] += $5; bc[key] += $6 }
  NR == 1 { next }
  {
    split($1, part, "/")
    folder = part[1] == "Platform" ? part[1] "/" part[2] "/" part[3] "/" part[4] "/" : \
             part[1] == "services" ? part[1] "/" part[2] "/" : part[1] "/"
    add(folder)
    if (part[1] != "host") { add(part[1] "/ (all)") }
  }
  END { for (f in lt) printf "%-40s %-22s %s\n", f, pct(lc[f], lt[f]), pct(bc[f], bt[f]) }' "$csv" |
  sort -k1,1 | awk '/\(all\)/ { total = total $0 "\n"; next } { print } END { printf "\n%s", total }'
echo "(per file: $csv)"
