#!/bin/bash
# A Go program, which makes its socket calls itself (nq_go http: a server
# and a keep-alive client in one process, N requests on loopback),
# untraced, under strace with its seccomp filter and under netquill-run
# -f 0 (a line per call, no dumps), in turns, several times; prints the
# medians, the seconds each tracer adds and netquill-run's added time over
# strace's.
#
#   bench/go_keepalive.sh [build_dir] [repetitions] [requests]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/host}
reps=${2:-7}
requests=${3:-2000}
go=$build/tests/go/bin/nq_go
nqr=$build/run/linux/netquill-run
[ -x "$go" ] || { echo "no $go: install golang-go and build $build" >&2; exit 1; }
[ -x "$nqr" ] || { echo "no $nqr: build $build" >&2; exit 1; }
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/nq-go.XXXXXX")
trap 'rm -rf "$dir"' EXIT

variants=(untraced strace netquill)

run() {  # prints the run's wall time in ns
  rm -f "$dir"/*
  local start=$(date +%s%N)
  case $1 in
    untraced) "$go" http "$requests" ;;
    strace) strace -f --seccomp-bpf -e trace=%network,read,write,close \
              -o /dev/null "$go" http "$requests" ;;
    netquill) "$nqr" -f 0 -o "$dir/trace.log" "$go" http "$requests" ;;
  esac >/dev/null
  echo $(($(date +%s%N) - start))
  # What the last traced run wrote, so that a tracer that traced nothing
  # is seen for what it is.
  if [ "$1" = netquill ]; then
    cat "$dir/trace.log" 2>/dev/null | wc -l >"$dir.lines" || true
  fi
}

declare -A times
for ((r = 0; r < reps; r++)); do
  # Each repetition starts with another variant, so none always runs first.
  for ((i = 0; i < ${#variants[@]}; i++)); do
    v=${variants[(i + r) % ${#variants[@]}]}
    times[$v]+="$(run "$v") "
  done
done
lines=$(cat "$dir.lines")
rm -f "$dir.lines"

median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {
  if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

declare -A med
for v in "${variants[@]}"; do med[$v]=$(echo "${times[$v]}" | median); done

awk -v n="$requests" -v reps="$reps" -v lines="$lines" \
    -v u="${med[untraced]}" -v s="${med[strace]}" -v q="${med[netquill]}" 'BEGIN {
  printf "\nnq_go http %d: keep-alive requests on loopback; medians of %d runs\n\n", n, reps
  printf "| run | seconds | added seconds |\n|---|---|---|\n"
  printf "| untraced | %.3f | - |\n", u / 1e9
  printf "| strace -f --seccomp-bpf -e trace=%%network,read,write,close | %.3f | %.3f |\n", s / 1e9, (s - u) / 1e9
  printf "| netquill-run -f 0 (%d lines written) | %.3f | %.3f |\n", lines, q / 1e9, (q - u) / 1e9
  printf "\nnetquill-run added / strace added: %.3f\n", (q - u) / (s - u)
  if (lines < n)
    printf "netquill-run wrote %d lines for %d requests: it did not trace the program, and its figure says nothing\n", lines, n
}'
