#!/usr/bin/env bash
# netquill-json's speed and memory: writes a trace of about SIZE_MB
# megabytes (default 1000) of calls with dumps, as the library lays them
# out, with one receive whose dump holds 64 MiB, converts it to JSON Lines
# three times and prints the best MB/s and the peak resident memory, which
# stays small because dumps stream out as their lines come.
#   bench/json_throughput.sh [build-dir] [size-mb]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
size_mb=${2:-1000}
tool=$build/tools/netquill-json/netquill-json
cmake --build "$build" --target netquill-json -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 bench/make_trace.py big-dump "$work/big.log" "$size_mb"

bytes=$(stat -c %s "$work/big.log")
best="" peak=0
for run in 1 2 3; do
  start=$(date +%s.%N)
  /usr/bin/time -o "$work/time" -f '%M' "$tool" "$work/big.log" >/dev/null
  end=$(date +%s.%N)
  kb=$(tail -1 "$work/time")
  [ "$kb" -gt "$peak" ] && peak=$kb
  rate=$(echo "$bytes / 1000000 / ($end - $start)" | bc -l)
  if [ -z "$best" ] || [ "$(echo "$rate > $best" | bc -l)" = 1 ]; then best=$rate; fi
done
printf 'netquill-json: %.1f MB of trace (one 64 MiB dump), best of 3: %.0f MB/s (goal at least 100), peak resident %.1f MiB (goal at most 16)\n' \
  "$(echo "$bytes / 1000000" | bc -l)" "$best" "$(echo "$peak / 1024" | bc -l)"
