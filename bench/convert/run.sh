#!/bin/sh
# Build and run the converter benchmark in the shared release build folder of
# the benchmarks (build/bench, or CW_BENCH_BUILD). Its SUMMARY lines are what
# bench/run-all.sh collects.
#   bench/convert/run.sh [--preset N] [--seconds S] [--rounds R]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed (apt-get install ffmpeg)" >&2; exit 1; }
. "$here/../configure.sh"
ninja -C "$build" -j2 bench_convert >/dev/null
exec "$build/bench/convert/bench_convert" "$@"
