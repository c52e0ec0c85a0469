#!/usr/bin/env bash
# netquill-pcap with thousands of transfers waiting for dumps that never
# come (another module's sends on WAITING sockets in turn, traced without
# their dumps, between the lines of conversations with dumps): the CPU time
# of the conversion against that of a trace of the same bytes whose lines
# leave nothing waiting. Goal: at most 3x.
#   bench/pcap_waiting.sh [build-dir] [size-mb] [waiting]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
size_mb=${2:-22}
waiting=${3:-4096}
tool=$build/tools/netquill-pcap/netquill-pcap
cmake --build "$build" --target netquill-pcap -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Both traces: the same TCP conversations with dumps, and after each of
# their call lines one line of the other module (same length, same module
# name length) that leaves a send waiting, or not.
/usr/bin/python3 bench/make_trace.py waiting "$work/waiting.log" "$size_mb" "$waiting"
/usr/bin/python3 bench/make_trace.py not-waiting "$work/plain.log" "$size_mb" "$waiting"

cpu() {  # best of three, user + system seconds
  local best=""
  for run in 1 2 3; do
    local t
    /usr/bin/time -o "$work/time" -f '%U %S' "$tool" -o "$work/out.pcapng" "$1" 2>/dev/null
    t=$(awk '{print $1 + $2}' "$work/time")
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}
plain=$(cpu "$work/plain.log")
slow=$(cpu "$work/waiting.log")
printf 'netquill-pcap: %.1f MB, CPU %.2f s plain, %.2f s with %d waiting transfers: %.2fx (goal at most 3x)\n' \
  "$(echo "$(stat -c %s "$work/plain.log") / 1000000" | bc -l)" "$plain" "$slow" "$waiting" \
  "$(echo "$slow / $plain" | bc -l)"
