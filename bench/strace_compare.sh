#!/bin/bash
# The echo workload (nq_echo_workload: 64-byte request/response round trips
# on loopback, four socket calls each) untraced, traced by this library and
# run under strace, in turns, several times; prints the time each adds per
# round trip (medians) and this library's added time over strace's.
#
#   bench/strace_compare.sh [build_dir] [repetitions] [round_trips]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench-host}
reps=${2:-7}
trips=${3:-20000}
workload=$build/bench/nq_echo_workload
[ -x "$workload" ] || { echo "no $workload: build with -DNQ_BUILD_BENCH=ON" >&2; exit 1; }
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/nq-strace.XXXXXX")
trap 'rm -rf "$dir"' EXIT

variants=(untraced lines dumps strace strace_dumps)

run() {  # prints the workload's own time of the round trips, in ns
  rm -f "$dir"/*
  case $1 in
    untraced) "$workload" off "$trips" ;;
    lines) "$workload" lines "$trips" "$dir/trace.log" ;;
    dumps) "$workload" dumps "$trips" "$dir/trace.log" ;;
    strace) strace -f -e trace=network -o "$dir/strace.txt" \
              "$workload" off "$trips" ;;
    strace_dumps) strace -f -e trace=network -e read=all -e write=all \
                    -o "$dir/strace.txt" "$workload" off "$trips" ;;
  esac
}

declare -A times
for ((r = 0; r < reps; r++)); do
  # Each repetition starts with another variant, so none always runs first.
  for ((i = 0; i < ${#variants[@]}; i++)); do
    v=${variants[(i + r) % ${#variants[@]}]}
    times[$v]+="$(run "$v") "
  done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {
  if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

declare -A med
for v in "${variants[@]}"; do med[$v]=$(echo "${times[$v]}" | median); done

awk -v trips="$trips" -v reps="$reps" -v u="${med[untraced]}" \
    -v l="${med[lines]}" -v d="${med[dumps]}" -v s="${med[strace]}" \
    -v sd="${med[strace_dumps]}" 'BEGIN {
  per = 1000 * trips  # ns for the whole run -> us per round trip
  printf "\nEcho workload: %d round trips of 64-byte messages, 4 socket calls each; medians of %d runs\n\n", trips, reps
  printf "| run | us per round trip | added us per round trip |\n|---|---|---|\n"
  printf "| untraced | %.2f | - |\n", u / per
  printf "| this library, call lines (flags 0) | %.2f | %.2f |\n", l / per, (l - u) / per
  printf "| this library, with dumps (flags 4) | %.2f | %.2f |\n", d / per, (d - u) / per
  printf "| strace -f -e trace=network | %.2f | %.2f |\n", s / per, (s - u) / per
  printf "| strace ... -e read=all -e write=all | %.2f | %.2f |\n", sd / per, (sd - u) / per
  rl = (l - u) / (s - u); rd = (d - u) / (sd - u)
  printf "\n| goal | this library added / strace added | goal | met |\n|---|---|---|---|\n"
  printf "| call lines | %.3f | <= 0.20 | %s |\n", rl, rl <= 0.20 ? "yes" : "NO"
  printf "| with dumps | %.3f | <= 0.40 | %s |\n", rd, rd <= 0.40 ? "yes" : "NO"
}'
