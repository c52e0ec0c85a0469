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

/usr/bin/python3 - "$work/big.log" "$size_mb" <<'PY'
import random, sys
path, size = sys.argv[1], int(sys.argv[2]) * 1000 * 1000
rnd = random.Random(1)
hexd = ['%02X' % b for b in range(256)]
text = [chr(b) if 0x20 <= b <= 0x7E else '.' for b in range(256)]
mod = 'BENCHAPP'
ind = ' ' * (len(mod) + 1)
def line(s, tag='INF'):
    return '%s 100000 0002 %s: %s\r\n' % (mod, tag, s)
def dump_line(at, chunk):
    cells = ''.join(hexd[b] + (':' if j == 7 else ' ') for j, b in enumerate(chunk))
    return '%s%04X  %-48s %s\r\n' % (ind, at, cells, ''.join(text[b] for b in chunk))
def dump(data):
    return ''.join(dump_line(at, data[at:at + 16]) for at in range(0, len(data), 16))
block = []
for sock in range(100, 140):
    block += [line('socket(2, 1, 6) returned %d' % sock),
              line('connect(%d, 10.0.0.1:80, 16) returned 0' % sock),
              line('connect(%d, [2001:db8::1]:443, 28) returned -1 [10061]' % sock, 'ERR')]
    for i in range(10):
        p = bytes(rnd.randrange(256) for _ in range(rnd.choice((64, 512, 1460))))
        fn = 'send' if i % 2 == 0 else 'recv'
        block += [line('%s(%d, 0x7ffd1000, 65536, 0) returned %d' % (fn, sock, len(p))), dump(p)]
    block.append(line('closesocket(%d) returned 0' % sock))
block = ''.join(block)
big = 64 * 1024 * 1024
chunks = [bytes((at + j) % 256 for j in range(16)) for at in range(0, 256, 16)]
with open(path, 'w', newline='') as f:
    f.write(line('started process 0x10 trace on 12-08-2026 10:00:00 [4.0.4000]'))
    f.write(line('recv(3, 0x7ffd1000, %d, 0) returned %d' % (big, big)))
    f.write(''.join(dump_line(at, chunks[at // 16 % 16]) for at in range(0, big, 16)))
    while f.tell() < size:
        f.write(block)
PY

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
