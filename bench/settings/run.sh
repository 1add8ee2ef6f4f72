#!/bin/sh
# Build and run the settings-file benchmark in the shared release build folder of the
# benchmarks (build/bench, or CW_BENCH_BUILD). Its SUMMARY lines are what bench/run-all.sh
# collects.
#   bench/settings/run.sh [--mb N] [--rounds R]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
. "$here/../configure.sh"
ninja -C "$build" -j2 bench_settings >/dev/null
exec "$build/bench/settings/bench_settings" "$@"
