#!/bin/sh
# Build and run the settings-file benchmark in its own build folder.
#   bench/settings/run.sh [--mb N] [--rounds R]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench-settings}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bench_settings >/dev/null
exec "$build/bench/settings/bench_settings" "$@"
