#!/usr/bin/env bash
# Build the socket benchmark in release mode and run it: prints the throughput of TWSocket and of
# a plain blocking recv loop receiving the same data over loopback, their ratio, and the memory
# of a steady sender. Arguments go to the program: [MiB per run, default 1024] [rounds, default 3].
# Built in the shared release build folder of the benchmarks (build/bench, or CW_BENCH_BUILD);
# its SUMMARY line is what bench/run-all.sh collects.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build=${CW_BENCH_BUILD:-$root/build/bench}
. "$here/../configure.sh"
ninja -C "$build" -j2 bench_socket >/dev/null
exec "$build/bench/socket/bench_socket" "$@"
