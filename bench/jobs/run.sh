#!/bin/sh
# Build and run the items-at-once benchmark in the release build folder the benchmarks share
# (build/bench, or CW_BENCH_BUILD). It ends with a SUMMARY line for bench/run-all.sh: the
# download window with Jobs=3 against Jobs=1 on nine watch pages that each take a second.
#   bench/jobs/run.sh [items] [delay-ms]   (default: 9 1000)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
. "$here/../configure.sh"
ninja -C "$build" -j2 bench_jobs >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} exec "$build/bench/jobs/bench_jobs" "$@"
