#!/bin/sh
# Build and run the page-analysis benchmark in the shared release build folder of
# the benchmarks (build/bench, or CW_BENCH_BUILD). Its SUMMARY lines are what
# bench/run-all.sh collects.
#   bench/analysis/run.sh [--rounds N]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
. "$here/../configure.sh"
ninja -C "$build" -j2 bench_analysis >/dev/null
exec "$build/bench/analysis/bench_analysis" "$@"
