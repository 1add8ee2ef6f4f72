#!/bin/sh
# Build and run the download-window benchmark in the shared release build folder of
# the benchmarks (build/bench, or CW_BENCH_BUILD). Its SUMMARY lines are what
# bench/run-all.sh collects.
#   bench/download/run.sh [megabytes ...]   (default: 128 1024)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
command -v curl >/dev/null || { echo "curl is needed (run scripts/deps.sh)" >&2; exit 1; }
. "$here/../configure.sh"
ninja -C "$build" -j2 bench_download >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} exec "$build/bench/download/bench_download" "$@"
