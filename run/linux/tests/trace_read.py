"""Reads the socket life stories out of a NETQUILL trace and out of an
strace log: per socket, the connect, bind and accept results and the bytes
sent and received, whatever the system calls are called."""
import errno
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "..", "tests", "support"))
import nqtest  # noqa: E402


class Socket:
    def __init__(self, fd, family, pid=None):
        self.fd = fd
        self.family = family
        self.pid = pid
        self.results = []  # (call, result, error name or "")
        self.sent = bytearray()
        self.received = bytearray()

    def key(self):
        return (self.fd, self.family, self.results, bytes(self.sent),
                bytes(self.received))


FAMILIES = {"2": "AF_INET", "10": "AF_INET6"}
# The calls whose bytes both a trace and strace dump, by read_calls.
SENDS, RECEIVES = set(), set()
ADDRESSED = ("connect", "bind")


def read_calls(table):
    """SENDS and RECEIVES from the build's list of calls: a Linux
    program's calls (the C library's and those it shares with Windows
    Sockets 1.1) that send or receive, but for sendfile, whose bytes come
    from a file, and splice, from a pipe: strace dumps neither's (and the
    trace none of splice's, whose socket is its third argument)."""
    for row in nqtest.calls_table(table):
        if row["list"] in ("traced", "posix") and \
                row["name"] not in ("sendfile", "splice"):
            {"sent": SENDS, "received": RECEIVES}.get(
                row["data"], set()).add(row["name"])


def strace_address(args):
    """An address of an strace line in the trace's text: 1.2.3.4:80 or
    [::1]:80, or "" when the line has none."""
    port = re.search(r"sin6?_port=htons\((\d+)\)", args)
    v4 = re.search(r'sin_addr=inet_addr\("([\d.]+)"\)', args)
    v6 = re.search(r'inet_pton\(AF_INET6, "([^"]+)"', args)
    if port and v4:
        return "%s:%s" % (v4.group(1), port.group(1))
    if port and v6:
        return "[%s]:%s" % (v6.group(1), port.group(1))
    return ""


def _hex_bytes(cells):
    return bytes(int(c, 16) for c in re.findall(r"[0-9a-fA-F]{2}", cells))


def read_netquill(tool, path):
    """Sockets the program opened, in order, from a trace with dumps, read
    through netquill-json (tool)."""
    sockets, live = [], {}
    for r in nqtest.records(tool, path):
        if r["type"] != "call" or not isinstance(r["args"][0], int):
            continue
        name, first, result = r["call"], r["args"][0], r["result"]
        error = errno.errorcode.get(r["code"], str(r["code"])) \
            if "code" in r else ""
        if name == "socket":
            family = FAMILIES.get(str(first))
            if family is not None and isinstance(result, int):
                sock = Socket(result, family)
                sockets.append(sock)
                live[sock.fd] = sock
            continue
        sock = live.get(first)
        if sock is None and name == "accept" and isinstance(result, int) \
                and result >= 0 and isinstance(r["args"][1], dict):
            sock = _adopt(sockets, live, first, first,
                          r["args"][1].get("family"))
        if sock is None:
            continue
        if name in ("connect", "bind", "accept", "listen"):
            address = _address(r["args"][1]) if name in ADDRESSED else ""
            sock.results.append((name, address, result, error))
            if name == "accept" and result >= 0:
                child = Socket(result, sock.family)
                sockets.append(child)
                live[child.fd] = child
        elif name in SENDS and not error:
            sock.sent += bytes.fromhex(r.get("dump", ""))
        elif name in RECEIVES and not error:
            # A peeked receive's bytes come again: they are read once.
            flags = r["args"][3:4]  # recv*'s flags, after fd
            if not (flags and isinstance(flags[0], int) and flags[0] & 2):
                sock.received += bytes.fromhex(r.get("dump", ""))
        elif name == "closesocket":
            del live[sock.fd]
    return sockets


def _adopt(sockets, live, key, fd, family, pid=None):
    """A listener made before the trace began (netquill-run -p, strace -p)
    is first seen accepting: it joins the sockets from there on, with the
    family of the peer it accepted, or None when that family is not one of
    FAMILIES."""
    if family not in FAMILIES.values():
        return None
    sock = Socket(fd, family, pid)
    sockets.append(sock)
    live[key] = sock
    return sock


def _address(a):
    """An address argument in the trace's text, as strace_address gives
    it: 1.2.3.4:80 or [::1]:80."""
    if not isinstance(a, dict) or "port" not in a:
        return ""
    if a["family"] == "AF_INET6":
        return "[%s]:%d" % (a["address"], a["port"])
    return "%s:%d" % (a["address"], a["port"])


def read_strace(path, threads=None):
    """Internet sockets from an strace -f log with read and write dumps;
    the threads of a process (clone with CLONE_THREAD) share its sockets.
    threads maps the ids of threads the log does not see made (strace -p)
    to their process's id."""
    sockets, live, last, pending, process = [], {}, None, {}, \
        dict(threads or {})
    call = re.compile(r"^(\d+) +(\w+)\((.*)\) += (-?\d+)(?: (\w+) .*)?$")
    for line in open(path, encoding="latin-1"):
        line = line.rstrip("\n")
        dump = re.match(r"^(?:\d+ +)? \| [0-9a-f]{5}  (.{49})", line)
        if dump:
            if last is not None:
                last += _hex_bytes(dump.group(1))
            continue
        if re.match(r"^(?:\d+ +)? (?:\* \d+ bytes in buffer|= \d+ buffers "
                    r"in vector)", line):
            continue  # the buffers of a gathered call, dumped one by one
        last = None
        # A call another thread interrupted comes in two pieces.
        m = re.match(r"^(\d+) +(.*) <unfinished \.\.\.>$", line)
        if m:
            pending[m.group(1)] = m.group(2)
            continue
        m = re.match(r"^(\d+) +<\.\.\. \w+ resumed>(.*)$", line)
        if m and m.group(1) in pending:
            line = m.group(1) + " " + pending.pop(m.group(1)) + m.group(2)
        m = call.match(line)
        if m is None:
            continue
        pid, name, args, result, error = m.groups()
        pid = process.get(pid, pid)
        result = int(result)
        if name in ("clone", "clone3") and result > 0:
            process[str(result)] = pid if "CLONE_THREAD" in args else \
                str(result)
        error = error or ""
        first = args.split(",")[0]
        if name == "socket":
            family = first if first in FAMILIES.values() else None
            if family is not None and result >= 0:
                sock = Socket(result, family, pid)
                sockets.append(sock)
                live[(pid, result)] = sock
            continue
        if not first.isdigit():
            continue
        sock = live.get((pid, int(first)))
        if sock is None and name in ("accept", "accept4") and result >= 0:
            family = re.search(r"sa_family=(\w+)", args)
            sock = _adopt(sockets, live, (pid, int(first)), int(first),
                          family and family.group(1), pid)
        if sock is None:
            continue
        if name in ("connect", "bind", "accept", "accept4", "listen"):
            call_name = "accept" if name == "accept4" else name
            address = strace_address(args) if name in ADDRESSED else ""
            sock.results.append((call_name, address, result, error))
            if call_name == "accept" and result >= 0:
                child = Socket(result, sock.family, pid)
                sockets.append(child)
                live[(pid, result)] = child
        elif name in SENDS and result >= 0:
            last = sock.sent
        elif name in RECEIVES and result >= 0:
            last = None if "MSG_PEEK" in args else sock.received
        elif name == "close":
            del live[(pid, int(first))]
    return sockets
