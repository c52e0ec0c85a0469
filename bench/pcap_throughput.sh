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

/usr/bin/python3 - "$work/big.log" "$size_mb" <<'PY'
import random, sys
path, size = sys.argv[1], int(sys.argv[2]) * 1000 * 1000
rnd = random.Random(1)
hexd = ['%02X' % b for b in range(256)]
text = [chr(b) if 0x20 <= b <= 0x7E else '.' for b in range(256)]
mod = 'BENCHAPP'
ind = ' ' * (len(mod) + 1)
def line(t, ms, s):
    return '%s %06d %04d INF: %s\r\n' % (mod, t, ms, s)
def dump(data):
    out = []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        cells = ''.join(hexd[b] + (':' if j == 7 else ' ') for j, b in enumerate(chunk))
        out.append('%s%04X  %-48s %s\r\n' % (ind, at, cells, ''.join(text[b] for b in chunk)))
    return ''.join(out)
with open(path, 'w', newline='') as f:
    f.write(line(100000, 0, 'started process 0x10 trace on 12-08-2026 10:00:00 [4.0.4000]'))
    written, sock, clock = 0, 100, 100000
    payloads = [bytes(rnd.randrange(256) for _ in range(n)) for n in (64, 512, 1460, 4096, 16384)]
    while written < size:
        sock += 1
        block = [line(clock, 0, 'socket(2, 1, 6) returned %d' % sock),
                 line(clock, 1, 'connect(%d, 10.0.0.1:80, 16) returned 0' % sock)]
        for i in range(20):
            p = payloads[rnd.randrange(len(payloads))]
            fn = 'send' if i % 2 == 0 else 'recv'
            block.append(line(clock, 2, '%s(%d, 0x7ffd1000, %d, 0) returned %d' % (fn, sock, 65536, len(p))))
            block.append(dump(p))
        block.append(line(clock, 0, 'closesocket(%d) returned 0' % sock))
        s = ''.join(block)
        f.write(s)
        written += len(s)
PY

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
