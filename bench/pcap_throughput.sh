#!/usr/bin/env bash
# netquill-pcap's conversion speed: writes a trace of about SIZE_MB
# megabytes (default 200) of TCP conversations with dumps, as the library
# lays them out, converts it three times and prints the best MB/s.
#   bench/pcap_throughput.sh [build-dir] [size-mb]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
size_mb=${2:-200}
tool=$build/tools/netquill-pcap/netquill-pcap
cmake --build "$build" --target netquill-pcap -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 bench/make_trace.py conversations "$work/big.log" "$size_mb"

bytes=$(stat -c %s "$work/big.log")
best=""
for run in 1 2 3; do
  start=$(date +%s.%N)
  "$tool" -o "$work/big.pcapng" "$work/big.log" 2>/dev/null
  end=$(date +%s.%N)
  rate=$(echo "$bytes / 1000000 / ($end - $start)" | bc -l)
  if [ -z "$best" ] || [ "$(echo "$rate > $best" | bc -l)" = 1 ]; then best=$rate; fi
done
printf 'netquill-pcap: %.1f MB of trace -> %.1f MB of capture, best of 3: %.0f MB/s\n' \
  "$(echo "$bytes / 1000000" | bc -l)" \
  "$(echo "$(stat -c %s "$work/big.pcapng") / 1000000" | bc -l)" "$best"
