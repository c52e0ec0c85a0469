#!/bin/bash
# Builds the fuzz targets with clang (the fuzz preset, build/fuzz) and runs
# each for a bounded time: NQ_FUZZ_SECONDS per target, 60 by default.
#
#   tests/fuzz/run.sh                 # every target
#   NQ_FUZZ_SECONDS=600 tests/fuzz/run.sh hooks
#
# New inputs that reach new code gather in build/fuzz/corpus/<target>/;
# the seeds in tests/fuzz/corpus/<target>/ are only read. When a target
# meets a fault it stops, the input is left in build/fuzz/artifacts/
# <target>/, and the script exits non-zero: once the fault is fixed, copy
# that input into tests/fuzz/corpus/<target>/ as fault-<what it found>,
# where the normal tests replay it and later runs start from it.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${NQ_FUZZ_SECONDS:-60}
targets=${*:-write formatters hooks}
cd "$root" || exit 2

cmake --preset fuzz >/dev/null || exit 2
cmake --build --preset fuzz || exit 2

failed=0
for target in $targets; do
  work=build/fuzz/corpus/$target
  artifacts=build/fuzz/artifacts/$target/
  log=build/fuzz/$target.log
  mkdir -p "$work" "$artifacts"
  echo "== fuzz_$target for $seconds s"
  build/fuzz/tests/fuzz/fuzz_$target -max_total_time="$seconds" \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts" \
    "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1
  status=$?
  grep -E '^#[0-9]+ +DONE|^stat::number_of_executed_units|^stat::peak_rss' "$log"
  if [ $status -ne 0 ]; then
    echo "fuzz_$target found a fault (exit $status); see $log and $artifacts"
    grep -E 'FAULT|ERROR|SUMMARY' "$log" | head -5
    failed=1
  fi
done
exit $failed
