#!/usr/bin/env bash
# netquill-stat and netquill-pcap on hostile traces: lines crafted to hit
# every costly path of the reader (record shapes inside quotes, very long
# lines, many arguments, nested brackets, long digit runs, endless dump
# runs, many sockets, modules and waiting transfers, one handle made
# again and again). Each case is written at two sizes, SIZE and 4 x SIZE
# MB: linear time makes the larger one cost 4x the smaller (goal at most
# 6x; a path quadratic in the trace gives 16x). A path quadratic in the
# length of a line keeps 4x, as lines are cut at 64 KiB, but costs far
# more than a plain trace of the same size: goal at most 25x (the most a
# case costs is the pcap one of a new module on every line, a conversation
# and two frames per 50 bytes). CPU times are best of three.
#   bench/tools_hostile.sh [build-dir] [size-mb] [case...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
size_mb=${2:-8}
shift $(($# > 2 ? 2 : $#))
cmake --build "$build" --target netquill-stat netquill-pcap -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$build" "$work" "$size_mb" "$@" <<'PY'
import os, sys
build, work, size_mb, only = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4:]
tools = {'stat': [build + '/tools/netquill-stat/netquill-stat'],
         'pcap': [build + '/tools/netquill-pcap/netquill-pcap', '-o', os.devnull]}
M = 'APP'
ind = ' ' * (len(M) + 1)
hexd = ['%02X' % b for b in range(256)]
txt = [chr(b) if 0x20 <= b <= 0x7E else '.' for b in range(256)]
shape = ' 000000 0000 INF: '  # the columns after a module name

def L(s):
    return '%s 100000 0001 INF: %s\r\n' % (M, s)

def dump(data, start=0):
    out = []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        cells = ''.join(hexd[b] + (':' if j == 7 else ' ') for j, b in enumerate(chunk))
        out.append('%s%04X  %-48s %s\r\n' % (ind, start + at, cells, ''.join(txt[b] for b in chunk)))
    return ''.join(out)

cases = {  # name: record i of the trace
    'plain': lambda i: L('send(%d, 0x1000, 64, 0) returned 64' % (i % 50 + 3)) + dump(bytes(range(64))),
    'quoted_shapes': lambda i: L('gethostbyname("' + shape * 3600 + '") returned NULL'),
    'dump_shapes': lambda i: ind + '0000  41 "' + shape * 3600 + '\r\n',
    'long_line': lambda i: L('send(3, ' + 'a' * 65000 + ') returned 1'),
    'overlong': lambda i: L('x' * 200000),
    'many_args': lambda i: L('send(' + '1, ' * 21000 + '1) returned 1'),
    'brackets': lambda i: L('socketpair(1, 1, 0, ' + '[' * 30000 + '3, 4' + ']' * 30000 + ') returned 0'),
    'quotes': lambda i: L('connect(3, ' + '"a", ' * 12000 + '16) returned 0'),
    'colons': lambda i: L('send(3, ' + ' 1234: ' * 9000 + ') returned 1'),
    'returned': lambda i: L('send(3, ' + ') returned x' * 5000 + ') returned 1'),
    'digits': lambda i: 'A 000000 ' + '1' * 65000 + '\r\n',
    'ipv6': lambda i: L('connect(3, [' + '1:' * 20000 + ':1]:80, 16) returned 0'),
    'dump_run': lambda i: dump(bytes(range(256)) * 16, (i * 4096) % (1 << 31)),
    'sockets': lambda i: L('socket(2, 1, 6) returned %d' % (i + 3)) +
                         L('connect(%d, 10.0.0.1:80, 16) returned 0' % (i + 3)),
    'same_handle': lambda i: L('socket(2, 1, 6) returned 7') + L('send(7, 0x1, 4, 0) returned 4') + dump(b'abcd'),
    'modules': lambda i: 'M%d 100000 0001 INF: send(3, 0x1, 4, 0) returned 4\r\n' % i,
    'waiting': lambda i: L('send(%d, 0x1, 99999, 0) returned 99999' % (i % 100000 + 3)),
}

def write(name, size):
    path = os.path.join(work, '%s-%d.log' % (name, size))
    with open(path, 'w', newline='') as f:
        n, i = 0, 0
        while n < size:
            s = cases[name](i)
            f.write(s)
            n += len(s)
            i += 1
    return path

def cpu(tool, path):
    best = None
    for _ in range(3):
        pid = os.fork()
        if pid == 0:
            fd = os.open(os.devnull, os.O_WRONLY)
            os.dup2(fd, 1)
            os.dup2(fd, 2)
            os.execv(tools[tool][0], tools[tool] + [path])
        _, status, ru = os.wait4(pid, 0)
        t = ru.ru_utime + ru.ru_stime
        best = t if best is None else min(best, t)
    return best

small = int(size_mb * 1000 * 1000)
names = only or list(cases)
plain = {}
print('%-14s %-4s %9s %9s %7s %9s' % ('case', 'tool', 'cpu 1x', 'cpu 4x', 'growth', 'vs plain'))
for name in ['plain'] + [n for n in names if n != 'plain']:
    paths = [write(name, small), write(name, 4 * small)]
    for tool in tools:
        a, b = cpu(tool, paths[0]), cpu(tool, paths[1])
        if name == 'plain':
            plain[tool] = b
        growth = b / max(a, 1e-3)
        against = b / max(plain[tool], 1e-3)
        print('%-14s %-4s %8.3fs %8.3fs %6.1fx %8.1fx%s' % (
            name, tool, a, b, growth, against,
            '' if growth <= 6 and against <= 25 else '  over the goal'))
        sys.stdout.flush()
    for p in paths:
        os.remove(p)
PY
