#!/bin/sh
# Build and run the manifest memory benchmark in the shared release build folder of the
# benchmarks (build/bench, or CW_BENCH_BUILD). Its SUMMARY line is what bench/run-all.sh collects.
#   bench/manifest/run.sh [--segments N]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
. "$here/../configure.sh"
ninja -C "$build" -j2 bench_manifest >/dev/null
exec "$build/bench/manifest/bench_manifest" "$@"
