#!/bin/sh
# Build and run the converter benchmark in its own build folder.
#   bench/convert/run.sh [--preset N] [--seconds S] [--rounds R]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench-convert}
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed (apt-get install ffmpeg)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bench_convert >/dev/null
exec "$build/bench/convert/bench_convert" "$@"
