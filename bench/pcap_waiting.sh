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
/usr/bin/python3 - "$work" "$size_mb" "$waiting" <<'PY'
import random, sys
work, size, waiting = sys.argv[1], int(sys.argv[2]) * 1000 * 1000, int(sys.argv[3])
rnd = random.Random(1)
hexd = ['%02X' % b for b in range(256)]
text = [chr(b) if 0x20 <= b <= 0x7E else '.' for b in range(256)]
mod = 'BENCHAPP'
ind = ' ' * (len(mod) + 1)
def line(m, s):
    return '%s 100000 0001 INF: %s\r\n' % (m, s)
def dump(data):
    out = []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        cells = ''.join(hexd[b] + (':' if j == 7 else ' ') for j, b in enumerate(chunk))
        out.append('%s%04X  %-48s %s\r\n' % (ind, at, cells, ''.join(text[b] for b in chunk)))
    return ''.join(out)
for name, fn in (('waiting', 'send'), ('plain', 'sent')):
    rnd = random.Random(1)
    payloads = [bytes(rnd.randrange(256) for _ in range(n)) for n in (4, 16, 64, 256)]
    turn = [0]
    def call(s):
        turn[0] += 1
        return line(mod, s) + line('WAITAPP1', '%s(%d, 0x7ffd1000, 99999, 0) returned 99999' % (fn, 10 + turn[0] % waiting))
    out = [line(mod, 'started process 0x10 trace on 12-08-2026 10:00:00 [4.0.4000]')]
    written, sock = 0, 100000
    while written < size:
        sock += 1
        block = [call('socket(2, 1, 6) returned %d' % sock),
                 call('connect(%d, 10.0.0.1:80, 16) returned 0' % sock)]
        for i in range(20):
            p = payloads[rnd.randrange(len(payloads))]
            f = 'send' if i % 2 == 0 else 'recv'
            block.append(line(mod, '%s(%d, 0x7ffd1000, 65536, 0) returned %d' % (f, sock, len(p))))
            block.append(dump(p))
            block.append(line('WAITAPP1', '%s(%d, 0x7ffd1000, 99999, 0) returned 99999' % (fn, 10 + turn[0] % waiting)))
            turn[0] += 1
        block.append(call('closesocket(%d) returned 0' % sock))
        s = ''.join(block)
        out.append(s)
        written += len(s)
    with open('%s/%s.log' % (work, name), 'w', newline='') as f:
        f.write(''.join(out))
PY

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
