#!/usr/bin/env bash
# Runs every benchmark (bench/*/run.sh) one after the other in the shared release build folder
# (build/bench, or CW_BENCH_BUILD) and ends with one table: benchmark, our figure, the
# reference's, their ratio and the goal, taken from the SUMMARY lines each script prints.
#
#   bench/run-all.sh [--quick]
#
# --quick runs smaller sizes and fewer rounds (a minute or two instead of several). Each
# script's full output is kept in build/bench/logs/<name>.log. The figures are wall-clock
# measurements: on a busy machine they are noisy, so compare runs made under the same load.
# A benchmark that fails gets a "failed" row and the others still run; the exit code is then 1.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
export CW_BENCH_BUILD=${CW_BENCH_BUILD:-$root/build/bench}

quick=0
[ "${1:-}" = "--quick" ] && quick=1

args_for() {
  if [ "$quick" = 1 ]; then
    case $1 in
      socket) echo "256 3" ;;
      download) echo "256" ;;
      convert) echo "--seconds 20 --rounds 3" ;;
      analysis) echo "--rounds 7" ;;
      settings) echo "--mb 50 --rounds 3" ;;
      hls) echo "30" ;;
      dash) echo "30" ;;
      core) echo "48 64 40" ;;
      ratecap) echo "12 4M" ;;
      run100) echo "40" ;;
      jobs) echo "6 500" ;;
    esac
  fi
}
if [ "$quick" = 1 ]; then
  export SIZE_MB=${SIZE_MB:-256} RUNS=${RUNS:-3}
fi

logs=$CW_BENCH_BUILD/logs
mkdir -p "$logs"
summary=$logs/summary.tsv
: >"$summary"
status=0
for script in "$here"/*/run.sh; do
  name=$(basename "$(dirname "$script")")
  echo "=== $name"
  # shellcheck disable=SC2046
  if bash "$script" $(args_for "$name") 2>&1 | tee "$logs/$name.log"; then
    if ! grep -q '^SUMMARY' "$logs/$name.log"; then
      printf '%s\tno summary line\t-\t-\t-\n' "$name" >>"$summary"
      status=1
    fi
  else
    printf '%s\tfailed (see %s)\t-\t-\t-\n' "$name" "$logs/$name.log" >>"$summary"
    status=1
  fi
  grep '^SUMMARY' "$logs/$name.log" | cut -f2- >>"$summary"
done

echo
awk -F '\t' '
  BEGIN { h[1] = "benchmark"; h[2] = "ours"; h[3] = "reference"; h[4] = "ratio"; h[5] = "goal"
          for (i = 1; i <= 5; i++) w[i] = length(h[i]) }
  { n++; for (i = 1; i <= 5; i++) { c[n, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
  function row(get,   i, line) {
    line = "|"
    for (i = 1; i <= 5; i++) line = line sprintf(" %-" w[i] "s |", get[i])
    print line
  }
  END {
    row(h)
    line = "|"; for (i = 1; i <= 5; i++) { d = ""; while (length(d) < w[i] + 2) d = d "-"; line = line d "|" }
    print line
    for (r = 1; r <= n; r++) { for (i = 1; i <= 5; i++) cur[i] = c[r, i]; row(cur) }
  }' "$summary"
exit $status
