#!/bin/bash
# What tracing a program as it is costs when it traces nothing: the echo
# workload without hooks ("bare"), run as it is and through the interposer
# with NETQUILL_TRACE=0, in turns; prints the medians per round trip and
# their ratio (goal: at most 1.05).
#   host  netquill-run's preloaded interposer against no interposer
#   wine  the drop-in WSOCK32.DLL against Wine's own wsock32.dll
#
#   bench/dropin_overhead.sh [host] [wine] [repetitions] [round_trips]
# Builds in build/bench-host and build/bench-win64 (as bench/run.sh does).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sections=()
while [ $# -gt 0 ] && [[ $1 =~ ^(host|wine)$ ]]; do sections+=("$1"); shift; done
[ ${#sections[@]} -gt 0 ] || sections=(host wine)
reps=${1:-9}
trips=${2:-20000}

build() {  # build_dir targets -- cmake_args...
  local dir=$1 targets=() log="$root/$1.log"; shift
  while [ "$1" != -- ]; do targets+=("$1"); shift; done; shift
  if ! { cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
           -DNQ_BUILD_BENCH=ON -DNQ_BUILD_TESTS=OFF -DNQ_BUILD_EXAMPLES=OFF \
           -DNQ_BUILD_TOOLS=OFF "$@" &&
         cmake --build "$root/$dir" -j2 --target "${targets[@]}"; } >"$log" 2>&1; then
    tail -30 "$log" >&2; echo "build of $dir failed; full log: $log" >&2; exit 1
  fi
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
minimum() { sort -n | head -1; }

compare() {  # label yardstick_label run_plain run_interposed
  local label=$1 yard=$2 plain=() through=()
  for ((r = 0; r < reps; r++)); do
    # Alternate which one runs first, so neither always has the cold start.
    if ((r % 2)); then
      through+=("$($4)"); plain+=("$($3)")
    else
      plain+=("$($3)"); through+=("$($4)")
    fi
  done
  local p t pm tm
  p=$(printf '%s\n' "${plain[@]}" | median)
  t=$(printf '%s\n' "${through[@]}" | median)
  pm=$(printf '%s\n' "${plain[@]}" | minimum)
  tm=$(printf '%s\n' "${through[@]}" | minimum)
  # The fastest runs are the ones other programs disturbed least.
  awk -v p="$p" -v t="$t" -v pm="$pm" -v tm="$tm" -v n="$trips" -v l="$label" \
      -v y="$yard" 'BEGIN {
    printf "%-32s median %8.2f us  %-20s %8.2f us  %.3fx  (goal <= 1.05)\n",
           l, t / n / 1000, y, p / n / 1000, t / p
    printf "%-32s best   %8.2f us  %-20s %8.2f us  %.3fx\n",
           "", tm / n / 1000, "", pm / n / 1000, tm / pm }'
}

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "echo workload, $trips round trips of 64 bytes, medians of $reps runs, per round trip:"
for s in "${sections[@]}"; do
  case $s in
    host)
      build build/bench-host nq_echo_workload netquill-run nq_preload --
      b=$root/build/bench-host
      host_plain() { "$b/bench/nq_echo_workload" bare "$trips"; }
      host_preload() {
        NETQUILL_TRACE=0 "$b/run/linux/netquill-run" \
          "$b/bench/nq_echo_workload" bare "$trips"
      }
      compare "netquill-run, NETQUILL_TRACE=0" "no interposer" host_plain host_preload ;;
    wine)
      build build/bench-win64 nq_echo_workload nq_wsock32 -- \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-win64.cmake"
      b=$root/build/bench-win64
      dir=$(mktemp -d "${TMPDIR:-/tmp}/nq-dropin.XXXXXX")
      trap 'rm -rf "$dir"' EXIT
      mkdir "$dir/system" "$dir/dropin"
      for d in system dropin; do
        cp "$b/bench/nq_echo_workload.exe" "$b/NETQUILL.DLL" "$dir/$d/"
      done
      cp "$b/wsock32/WSOCK32.DLL" "$dir/dropin/"
      wine_system() { "$root/cmake/wine-run.sh" "$dir/system/nq_echo_workload.exe" bare "$trips"; }
      wine_dropin() {
        WINEDLLOVERRIDES="wsock32=n,b;mscoree,mshtml=" NETQUILL_TRACE=0 \
          "$root/cmake/wine-run.sh" "$dir/dropin/nq_echo_workload.exe" bare "$trips"
      }
      compare "drop-in WSOCK32.DLL, TRACE=0" "Wine's wsock32.dll" wine_system wine_dropin ;;
  esac
done
