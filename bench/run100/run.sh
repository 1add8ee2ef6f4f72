#!/bin/sh
# Build and run the 100-item run benchmark.
#   bench/run100/run.sh [items]   (default: 100)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench-run100}
command -v curl >/dev/null || { echo "curl is needed (run scripts/deps.sh)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bench_run100 clipwarden >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} exec "$build/bench/run100/bench_run100" "$@"
