#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each for the given number of
# seconds (default 60), starting from its checked-in seed corpus. Prints the executions and
# findings of each; exits non-zero when any target found a crash, a leak or a hang.
#
#   scripts/fuzz.sh [seconds] [target...]
#
# New inputs that reach new code go to build/fuzz/corpus/<target>; a finding is kept as
# build/fuzz/findings/<target>/crash-*. Reproduce one with build/fuzz/fuzz/fuzz_<target> <file>.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(http_response url ntlm cookie page_analysis convert_output hls_playlist dash_manifest sidx)

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCW_FUZZ=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
ninja -C build/fuzz -j"${CW_FUZZ_JOBS:-2}" $(printf 'fuzz_%s ' "${targets[@]}") || exit 1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
failed=0
for t in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$t
  findings=build/fuzz/findings/$t
  mkdir -p "$corpus" "$findings"
  log=build/fuzz/$t.log
  build/fuzz/fuzz/fuzz_$t -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$findings/" \
      "$corpus" "fuzz/$t/corpus" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(ls "$findings" 2>/dev/null | wc -l)
  if [ $rc -ne 0 ]; then
    failed=1
    echo "fuzz_$t: FINDING after ${execs:-?} executions (exit $rc); see $log and $findings/"
    grep -m5 -E "ERROR:|fuzz finding:|runtime error:|SUMMARY:" "$log" | sed 's/^/  /'
  else
    echo "fuzz_$t: ${execs:-?} executions in ${seconds}s, no findings (${found} earlier findings kept in $findings)"
  fi
done
exit $failed
