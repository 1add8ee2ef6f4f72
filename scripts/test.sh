#!/usr/bin/env bash
# Install what is missing, build, and run every test twice: once in a normal build and once
# built with AddressSanitizer + UndefinedBehaviorSanitizer; then run every fuzz target for a
# short while (CW_FUZZ_SECONDS each, default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/test
ctest --test-dir build/test --output-on-failure -j"$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCW_SANITIZE=ON -DCW_BUILD_BENCH=OFF >/dev/null
ninja -C build/asan
ctest --test-dir build/asan --output-on-failure -j"$jobs"

# Every fuzz target briefly, from its seed corpus and what earlier runs found: a finding fails.
bash scripts/fuzz.sh "${CW_FUZZ_SECONDS:-20}"
echo "All tests passed in both builds, and the fuzz targets found nothing."
