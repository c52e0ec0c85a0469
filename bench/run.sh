#!/bin/bash
# Builds and runs the benchmarks and prints their tables of ratios:
#   host    the hook cases under Google Benchmark (build/bench-host)
#   strace  the echo workload against strace (bench/strace_compare.sh)
#   wine    the plain harness of the win64 build under Wine (build/bench-win64)
#
#   bench/run.sh [host] [strace] [wine] [-- google benchmark flags]
# Without a section name all three run. The machine is shared and noisy:
# every figure is a median of repetitions and every goal a ratio of two
# figures from the same run; re-run when the machine is busy.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sections=()
while [ $# -gt 0 ]; do
  case $1 in
    host|strace|wine) sections+=("$1"); shift ;;
    --) shift; break ;;
    *) echo "usage: $0 [host] [strace] [wine] [-- benchmark flags]" >&2; exit 2 ;;
  esac
done
[ ${#sections[@]} -gt 0 ] || sections=(host strace wine)

build() {  # build_dir cmake_args...
  local dir=$1; shift
  local log="$root/$dir.log"
  mkdir -p "$(dirname "$log")"
  if ! { cmake -S "$root" -B "$root/$dir" -G Ninja "$@" &&
         cmake --build "$root/$dir" -j2; } >"$log" 2>&1; then
    tail -30 "$log" >&2
    echo "build of $dir failed; full log: $log" >&2
    exit 1
  fi
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); load: $(cut -d' ' -f1-3 /proc/loadavg)"

needs_host=0
for s in "${sections[@]}"; do [ "$s" = wine ] || needs_host=1; done
if [ $needs_host = 1 ]; then
  build build/bench-host -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNQ_BUILD_TOOLS=OFF \
        -DNQ_BUILD_TESTS=OFF \
        -DNQ_BUILD_BENCH=ON
fi

for s in "${sections[@]}"; do
  case $s in
    host)
      "$root/build/bench-host/bench/nq_bench" --benchmark_color=false "$@" ;;
    strace)
      "$root/bench/strace_compare.sh" "$root/build/bench-host" ;;
    wine)
      build build/bench-win64 \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-win64.cmake" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNQ_BUILD_TOOLS=OFF \
            -DNQ_BUILD_TESTS=OFF -DNQ_BUILD_EXAMPLES=OFF -DNQ_BUILD_BENCH=ON
      "$root/cmake/wine-run.sh" "$root/build/bench-win64/bench/nq_bench_lite.exe" ;;
  esac
done
