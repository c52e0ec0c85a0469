#!/usr/bin/env bash
# netquill-stat's peak memory on a trace of many distinct module and
# function names and error codes (a damaged or hostile trace): its tables
# are bounded, so the peak stays where a small trace's is. Goal: at most
# 64 MiB resident.
#   bench/stat_memory.sh [build-dir] [size-mb]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
size_mb=${2:-88}
tool=$build/tools/netquill-stat/netquill-stat
cmake --build "$build" --target netquill-stat -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 bench/make_trace.py names "$work/names.log" "$size_mb"

/usr/bin/time -o "$work/time" -f '%M' "$tool" "$work/names.log" >/dev/null 2>&1
kb=$(tail -1 "$work/time")
printf 'netquill-stat: %.1f MB of distinct names, peak resident %.1f MiB (goal at most 64 MiB)\n' \
  "$(echo "$(stat -c %s "$work/names.log") / 1000000" | bc -l)" "$(echo "$kb / 1024" | bc -l)"
