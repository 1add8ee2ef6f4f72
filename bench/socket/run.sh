#!/usr/bin/env bash
# Build the socket benchmark in release mode and run it: prints the throughput of TWSocket and of
# a plain blocking recv loop receiving the same data over loopback, their ratio, and the memory
# of a steady sender. Arguments go to the program: [MiB per run, default 1024] [rounds, default 3].
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$root/build/bench-socket"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" bench_socket >/dev/null
exec "$build/bench/socket/bench_socket" "$@"
