#!/usr/bin/env bash
# Install what is missing, build the program and start it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCW_BUILD_TESTS=OFF -DCW_BUILD_BENCH=OFF >/dev/null
ninja -C build/release clipwarden
exec build/release/clipwarden
