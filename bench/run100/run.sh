#!/bin/sh
# Build and run the 100-item run benchmark in the release build folder the benchmarks share
# (build/bench, or CW_BENCH_BUILD). It ends with a SUMMARY line for bench/run-all.sh: the
# command line with --jobs 4 against --jobs 1.
#   bench/run100/run.sh [items]   (default: 100)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
command -v curl >/dev/null || { echo "curl is needed (run scripts/deps.sh)" >&2; exit 1; }
. "$here/../configure.sh"
ninja -C "$build" -j2 bench_run100 clipwarden >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} exec "$build/bench/run100/bench_run100" "$@"
