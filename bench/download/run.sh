#!/bin/sh
# Build and run the download-window benchmark in its own build folder.
#   bench/download/run.sh [megabytes ...]   (default: 128 1024)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench-download}
command -v curl >/dev/null || { echo "curl is needed (run scripts/deps.sh)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bench_download >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} exec "$build/bench/download/bench_download" "$@"
