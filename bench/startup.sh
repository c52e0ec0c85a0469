#!/bin/bash
# What netquill-run costs a short program's start when it traces nothing:
# 200 separate curl fetches of a small page from a local http.server,
# plain and through `netquill-run` with NETQUILL_TRACE=0, in turns; prints
# the medians of the rounds and their ratio (goal: at most 1.05).
#
#   bench/startup.sh [rounds] [fetches]
# Uses build/host (cmake --preset host) for netquill-run and its preload.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-9}
fetches=${2:-200}
nqr=$root/build/host/run/linux/netquill-run
cmake --build "$root/build/host" --target netquill-run nq_preload >/dev/null

work=$(mktemp -d)
trap 'kill $server 2>/dev/null; rm -rf "$work"' EXIT
echo "a small page" >"$work/page.txt"
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work" \
  >"$work/server.out" 2>/dev/null &
server=$!
for _ in $(seq 50); do
  grep -q port "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
url="http://127.0.0.1:$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/server.out")/page.txt"

fetch_all() {  # prefix... : seconds for the fetches
  local start end
  start=$(date +%s%N)
  for ((i = 0; i < fetches; i++)); do "$@" curl -s -o /dev/null "$url"; done
  end=$(date +%s%N)
  echo "scale=4; ($end - $start) / 1000000000" | bc
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

plain=() traced=()
export NETQUILL_TRACE=0
for ((r = 0; r < rounds; r++)); do
  # Alternate which one runs first, so neither always follows the other.
  if ((r % 2)); then
    traced+=("$(fetch_all "$nqr")"); plain+=("$(fetch_all)")
  else
    plain+=("$(fetch_all)"); traced+=("$(fetch_all "$nqr")")
  fi
done
p=$(printf '%s\n' "${plain[@]}" | median)
t=$(printf '%s\n' "${traced[@]}" | median)
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$fetches fetches, median of $rounds rounds: plain ${p}s," \
  "netquill-run (NETQUILL_TRACE=0) ${t}s, ratio $(echo "scale=3; $t / $p" | bc)"
