#!/usr/bin/env python3
"""Sample traces for the benchmarks, laid out as the library writes them
(CRLF lines, dumps of 16 bytes a line under the call). Each kind is what
one benchmark reads; the same arguments always give the same bytes.
  bench/make_trace.py conversations PATH SIZE_MB  TCP talks with dumps
  bench/make_trace.py big-dump PATH SIZE_MB       one 64 MiB receive, then
                                                  talks with dumps
  bench/make_trace.py udp-dump PATH DUMP_MIB      one UDP send of DUMP_MIB
  bench/make_trace.py waiting PATH SIZE_MB N      talks, each line followed
  bench/make_trace.py not-waiting PATH SIZE_MB N  by another module's send
                                                  left waiting on one of N
                                                  sockets, or not
  bench/make_trace.py names PATH SIZE_MB          distinct modules, calls
                                                  and codes
  bench/make_trace.py hostile-CASE PATH SIZE_MB   a case of HOSTILE
bench/tools_hostile.sh imports it for HOSTILE and write_hostile."""
import random
import sys

HEX = ['%02X' % b for b in range(256)]
TEXT = [chr(b) if 0x20 <= b <= 0x7E else '.' for b in range(256)]
BANNER = 'started process 0x10 trace on 12-08-2026 10:00:00 [4.0.4000]'


def line(module, text, tag='INF', elapsed=1, clock=100000):
    return '%s %06d %04d %s: %s\r\n' % (module, clock, elapsed, tag, text)


def dump_line(module, at, chunk):
    """One line of a dump: the offset indented past the module name, the
    cells with a colon after the eighth, the bytes as text."""
    cells = ''.join(HEX[b] + (':' if j == 7 else ' ')
                    for j, b in enumerate(chunk))
    return '%s%04X  %-48s %s\r\n' % (' ' * (len(module) + 1), at, cells,
                                     ''.join(TEXT[b] for b in chunk))


def dump(module, data, start=0):
    return ''.join(dump_line(module, start + at, data[at:at + 16])
                   for at in range(0, len(data), 16))


def conversations(path, size):
    """TCP conversations of 20 sends and receives with dumps."""
    m = 'BENCHAPP'
    rnd = random.Random(1)
    with open(path, 'w', newline='') as f:
        f.write(line(m, BANNER, elapsed=0))
        written, sock = 0, 100
        payloads = [bytes(rnd.randrange(256) for _ in range(n))
                    for n in (64, 512, 1460, 4096, 16384)]
        while written < size:
            sock += 1
            block = [line(m, 'socket(2, 1, 6) returned %d' % sock, elapsed=0),
                     line(m, 'connect(%d, 10.0.0.1:80, 16) returned 0' % sock)]
            for i in range(20):
                p = payloads[rnd.randrange(len(payloads))]
                fn = 'send' if i % 2 == 0 else 'recv'
                block.append(line(m, '%s(%d, 0x7ffd1000, %d, 0) returned %d'
                                  % (fn, sock, 65536, len(p)), elapsed=2))
                block.append(dump(m, p))
            block.append(line(m, 'closesocket(%d) returned 0' % sock,
                              elapsed=0))
            s = ''.join(block)
            f.write(s)
            written += len(s)


def big_dump(path, size):
    """A receive whose dump holds 64 MiB, then 40 sockets' calls with
    dumps (and a refused IPv6 connect each) over and over."""
    m = 'BENCHAPP'
    rnd = random.Random(1)
    block = []
    for sock in range(100, 140):
        block += [line(m, 'socket(2, 1, 6) returned %d' % sock, elapsed=2),
                  line(m, 'connect(%d, 10.0.0.1:80, 16) returned 0' % sock,
                       elapsed=2),
                  line(m, 'connect(%d, [2001:db8::1]:443, 28) returned -1 '
                       '[10061]' % sock, 'ERR', elapsed=2)]
        for i in range(10):
            p = bytes(rnd.randrange(256)
                      for _ in range(rnd.choice((64, 512, 1460))))
            fn = 'send' if i % 2 == 0 else 'recv'
            block += [line(m, '%s(%d, 0x7ffd1000, 65536, 0) returned %d'
                           % (fn, sock, len(p)), elapsed=2), dump(m, p)]
        block.append(line(m, 'closesocket(%d) returned 0' % sock, elapsed=2))
    block = ''.join(block)
    big = 64 * 1024 * 1024
    chunks = [bytes((at + j) % 256 for j in range(16))
              for at in range(0, 256, 16)]
    with open(path, 'w', newline='') as f:
        f.write(line(m, BANNER, elapsed=2))
        f.write(line(m, 'recv(3, 0x7ffd1000, %d, 0) returned %d' % (big, big),
                     elapsed=2))
        f.write(''.join(dump_line(m, at, chunks[at // 16 % 16])
                        for at in range(0, big, 16)))
        while f.tell() < size:
            f.write(block)


def udp_dump(path, size):
    """One UDP send of size bytes with its dump, larger than any datagram."""
    m = 'APP'
    tail = dump_line(m, 0, bytes(range(0x30, 0x40)))[len(m) + 5:]
    with open(path, 'w', newline='') as f:
        f.write(line(m, 'socket(2, 2, 17) returned 3', elapsed=0))
        f.write(line(m, 'sendto(3, 0x1000, %d, 0, 10.0.0.9:53, 16) returned %d'
                     % (size, size), elapsed=0))
        indent = ' ' * (len(m) + 1)
        f.writelines('%s%04X%s' % (indent, at, tail)
                     for at in range(0, size, 16))
        f.write(line(m, 'closesocket(3) returned 0', elapsed=0))


def waiting(path, size, count, fn='send'):
    """TCP conversations with dumps; after each of their call lines one
    line of another module (same length, same module name length): a send
    left waiting for a dump that never comes on one of count sockets in
    turn, or with fn 'sent' a line that leaves nothing waiting."""
    m, other = 'BENCHAPP', 'WAITAPP1'
    rnd = random.Random(1)
    payloads = [bytes(rnd.randrange(256) for _ in range(n))
                for n in (4, 16, 64, 256)]
    turn = [0]

    def waits():
        return line(other, '%s(%d, 0x7ffd1000, 99999, 0) returned 99999'
                    % (fn, 10 + turn[0] % count))

    def call(s):
        turn[0] += 1
        return line(m, s) + waits()

    out = [line(m, BANNER)]
    written, sock = 0, 100000
    while written < size:
        sock += 1
        block = [call('socket(2, 1, 6) returned %d' % sock),
                 call('connect(%d, 10.0.0.1:80, 16) returned 0' % sock)]
        for i in range(20):
            p = payloads[rnd.randrange(len(payloads))]
            f = 'send' if i % 2 == 0 else 'recv'
            block.append(line(m, '%s(%d, 0x7ffd1000, 65536, 0) returned %d'
                              % (f, sock, len(p))))
            block.append(dump(m, p))
            block.append(waits())
            turn[0] += 1
        block.append(call('closesocket(%d) returned 0' % sock))
        s = ''.join(block)
        out.append(s)
        written += len(s)
    with open(path, 'w', newline='') as f:
        f.write(''.join(out))


def names(path, size):
    """Lines of distinct modules, functions and error codes."""
    with open(path, 'w', newline='') as f:
        written, i = 0, 0
        while written < size:
            s = line('MOD%d' % (i % 5000),
                     'function_number_%d(%d, 0x1000, 16) returned -1 [%d]'
                     % (i, i, 20000 + i % 900000), 'ERR')
            f.write(s)
            written += len(s)
            i += 1


# Lines crafted to hit every costly path of the trace reader: record i of
# each case.
M = 'APP'
IND = ' ' * (len(M) + 1)
SHAPE = ' 000000 0000 INF: '  # the columns after a module name


def L(s):
    return line(M, s)


HOSTILE = {
    'plain': lambda i: L('send(%d, 0x1000, 64, 0) returned 64' % (i % 50 + 3))
    + dump(M, bytes(range(64))),
    'quoted_shapes': lambda i: L('gethostbyname("' + SHAPE * 3600 +
                                 '") returned NULL'),
    'dump_shapes': lambda i: IND + '0000  41 "' + SHAPE * 3600 + '\r\n',
    'long_line': lambda i: L('send(3, ' + 'a' * 65000 + ') returned 1'),
    'overlong': lambda i: L('x' * 200000),
    'many_args': lambda i: L('send(' + '1, ' * 21000 + '1) returned 1'),
    'brackets': lambda i: L('socketpair(1, 1, 0, ' + '[' * 30000 + '3, 4' +
                            ']' * 30000 + ') returned 0'),
    'quotes': lambda i: L('connect(3, ' + '"a", ' * 12000 + '16) returned 0'),
    'colons': lambda i: L('send(3, ' + ' 1234: ' * 9000 + ') returned 1'),
    'returned': lambda i: L('send(3, ' + ') returned x' * 5000 +
                            ') returned 1'),
    'digits': lambda i: 'A 000000 ' + '1' * 65000 + '\r\n',
    'ipv6': lambda i: L('connect(3, [' + '1:' * 20000 + ':1]:80, 16) '
                        'returned 0'),
    'dump_run': lambda i: dump(M, bytes(range(256)) * 16,
                               (i * 4096) % (1 << 31)),
    'sockets': lambda i: L('socket(2, 1, 6) returned %d' % (i + 3)) +
    L('connect(%d, 10.0.0.1:80, 16) returned 0' % (i + 3)),
    'same_handle': lambda i: L('socket(2, 1, 6) returned 7') +
    L('send(7, 0x1, 4, 0) returned 4') + dump(M, b'abcd'),
    'modules': lambda i: line('M%d' % i, 'send(3, 0x1, 4, 0) returned 4'),
    'waiting': lambda i: L('send(%d, 0x1, 99999, 0) returned 99999'
                           % (i % 100000 + 3)),
}


def write_hostile(name, path, size):
    with open(path, 'w', newline='') as f:
        n, i = 0, 0
        while n < size:
            s = HOSTILE[name](i)
            f.write(s)
            n += len(s)
            i += 1


def megabytes(text):
    return int(float(text) * 1000 * 1000)


KINDS = {
    'conversations': lambda a: conversations(a[0], megabytes(a[1])),
    'big-dump': lambda a: big_dump(a[0], megabytes(a[1])),
    'udp-dump': lambda a: udp_dump(a[0], int(a[1]) * 1024 * 1024),
    'waiting': lambda a: waiting(a[0], megabytes(a[1]), int(a[2])),
    'not-waiting': lambda a: waiting(a[0], megabytes(a[1]), int(a[2]),
                                     'sent'),
    'names': lambda a: names(a[0], megabytes(a[1])),
}


def main(argv):
    kind = argv[1] if len(argv) > 2 else ''
    if kind.startswith('hostile-') and kind[8:] in HOSTILE:
        write_hostile(kind[8:], argv[2], megabytes(argv[3]))
    elif kind in KINDS:
        KINDS[kind](argv[2:])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
