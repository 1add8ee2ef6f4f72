#!/bin/sh
# Build and run the page-analysis benchmark in its own build folder.
#   bench/analysis/run.sh [--rounds N]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench-analysis}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bench_analysis >/dev/null
exec "$build/bench/analysis/bench_analysis" "$@"
