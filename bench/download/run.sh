#!/bin/sh
# Build and run the download-window benchmark in the shared release build folder of
# the benchmarks (build/bench, or CW_BENCH_BUILD). Its SUMMARY lines are what
# bench/run-all.sh collects.
#   bench/download/run.sh [megabytes ... | --cut megabytes]
#   (default: 128 1024, then a 256 MiB file cut four times against the same file whole)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
command -v curl >/dev/null || { echo "curl is needed (run scripts/deps.sh)" >&2; exit 1; }
. "$here/../configure.sh"
ninja -C "$build" -j2 bench_download >/dev/null
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
if [ $# -gt 0 ]; then exec "$build/bench/download/bench_download" "$@"; fi
"$build/bench/download/bench_download" 128 1024
"$build/bench/download/bench_download" --cut 256
# Several connections per file, beside curl and aria2 (needs aria2: apt-get install aria2).
exec sh "$here/segments.sh"
