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
sys.path.insert(0, 'bench')
import make_trace  # noqa: E402
cases = make_trace.HOSTILE


def write(name, size):
    path = os.path.join(work, '%s-%d.log' % (name, size))
    make_trace.write_hostile(name, path, size)
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
