# Sourced by the bench/*/run.sh scripts with $root (the source tree) and $build set: configures
# the one release build folder every benchmark shares, so a run of all of them builds the
# libraries once. ccache is used when it is installed.
launcher=
if command -v ccache >/dev/null 2>&1; then
  launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
fi
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF -DCW_BUILD_BENCH=ON \
  $launcher >/dev/null
