#!/usr/bin/env bash
# netquill-pcap's peak memory on one UDP send whose dump is larger than any
# datagram (a trace can say so; no system sends one): the bytes go out as
# datagrams of the largest payload as they come, so the peak stays where a
# small trace's is. Goal: at most 16 MiB resident (70 MB for 64 MiB before).
#   bench/pcap_udp_memory.sh [build-dir] [dump-mib]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
dump_mib=${2:-64}
tool=$build/tools/netquill-pcap/netquill-pcap
cmake --build "$build" --target netquill-pcap -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 bench/make_trace.py udp-dump "$work/udp.log" "$dump_mib"

/usr/bin/time -o "$work/time" -f '%M %U %S' "$tool" -o "$work/udp.pcapng" "$work/udp.log" 2>/dev/null
read -r kb user sys < "$work/time"
printf 'netquill-pcap: one UDP send of %d MiB with its dump (%.0f MB of trace): peak resident %.1f MiB, CPU %.2f s (goal at most 16 MiB)\n' \
  "$dump_mib" "$(echo "$(stat -c %s "$work/udp.log") / 1000000" | bc -l)" "$(echo "$kb / 1024" | bc -l)" \
  "$(echo "$user + $sys" | bc -l)"
