#!/usr/bin/env python3
"""Real Windows programs (libuv's echo server and resolver client, libuv as
a DLL, curl over IPv4 and IPv6, Go's echo client and HTTP client, which
reach ws2_32 through its own loader) under Wine, each untraced and through
netquill-run -f 4, against a loopback peer of this script's own: output and
exit code as untraced, the peer served alike, every connection's bytes in
the trace both ways on one socket whose lines name the peer's address as
the program saw it, and netquill-pcap's capture of the trace giving tshark
those streams with nothing flagged. Then the probe's servers of many
connections, which its own clients feed: every stream's bytes in the trace
as sent, each receive's on one line."""
import argparse, os, re, shutil, socket, subprocess, sys, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../../tests/support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402


class Peer:
    """The program's other end: each connection's bytes both ways and the
    address the program sees for it, (family, address, port)."""

    def __init__(self):
        self.conns = []
        self.lock = threading.Lock()
        self.listeners = []
        self.threads = []
        self.closing = False

    def record(self, seen_as, received, sent):
        with self.lock:
            self.conns.append((seen_as, bytes(received), bytes(sent)))

    def listen(self, family, host, port, answer):
        s = socket.socket(family)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((host, port))
        s.listen(8)
        s.settimeout(0.2)
        self.listeners.append(s)
        thread = threading.Thread(target=self.serve, args=(s, answer))
        thread.start()
        self.threads.append(thread)
        return s.getsockname()[1]

    def serve(self, s, answer):
        while not self.closing:
            try:
                c, _ = s.accept()
            except socket.timeout:
                continue
            c.settimeout(10)
            with c:
                name = c.getsockname()
                family = "AF_INET6" if c.family == socket.AF_INET6 else "AF_INET"
                received, sent = answer(c)
                self.record((family, name[0], name[1]), received, sent)

    def close(self):
        """Once the connections under way are served."""
        self.closing = True
        for thread in self.threads:
            thread.join()
        for s in self.listeners:
            s.close()


def text_answer(text):
    """Sends text and closes, as uv-dns's server is to."""
    def answer(c):
        c.sendall(text)
        c.shutdown(socket.SHUT_WR)
        return read_all(c), text
    return answer


def http_answer(c):
    request = b""
    while b"\r\n\r\n" not in request:
        more = c.recv(4096)
        if not more:
            break
        request += more
    body = bytes(range(256)) * 3
    reply = (b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close"
             b"\r\n\r\n" % len(body)) + body
    c.sendall(reply)
    return request, reply


def echo_answer(c):
    """Everything the program sends, back once it has shut down its
    sending."""
    data = read_all(c)
    c.sendall(data)
    return data, data


def read_all(c):
    data = b""
    while True:
        more = c.recv(65536)
        if not more:
            return data
        data += more


def echo_client(peer, size, seed):
    """One connection to uv-echo: size bytes out, the same back."""
    for _ in range(200):
        try:
            c = socket.create_connection(("127.0.0.1", 7000), timeout=10)
            break
        except OSError:
            time.sleep(0.05)
    else:
        return
    data = bytes((seed + i * 7) % 256 for i in range(size))
    with c:
        got = b""
        for at in range(0, size, 1000):  # the server's reads may split
            c.sendall(data[at:at + 1000])
        while len(got) < size:  # all back before the end, which it closes on
            more = c.recv(65536)
            got += more
            if not more:
                break
        c.shutdown(socket.SHUT_WR)
        got += read_all(c)
        local = c.getsockname()
    peer.record(("AF_INET", local[0], local[1]), got, data)


def uv_dns_peer(peer, port):
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        peer.listen(family, host, 6667, text_answer(b"hello from the peer\n"))


# (name, program, its arguments, the peer's set-up on a port, 0 for any, that
# returns the arguments' port, the peer's work while the program runs).
CASES = [
    ("uv-echo", "uv-echo.exe", [], None,
     lambda peer: [echo_client(peer, 3200, 1), echo_client(peer, 1500, 9)]),
    ("uv-dns", "uv-dns.exe", [], uv_dns_peer, None),
    ("uv-dns-shared", "uv-dns-shared.exe", [], uv_dns_peer, None),
    ("curl-ipv4", "curl.exe", ["-s", "http://127.0.0.1:{port}/a"],
     lambda peer, port: peer.listen(socket.AF_INET, "127.0.0.1", port, http_answer),
     None),
    ("curl-ipv6", "curl.exe", ["-s", "-g", "http://[::1]:{port}/b"],
     lambda peer, port: peer.listen(socket.AF_INET6, "::1", port, http_answer),
     None),
    ("go-echo", "nq_go.exe", ["echo", "127.0.0.1", "{port}"],
     lambda peer, port: peer.listen(socket.AF_INET, "127.0.0.1", port,
                                    echo_answer), None),
    ("go-echo-file", "nq_go.exe", ["echo", "127.0.0.1", "{port}", "{file}"],
     lambda peer, port: peer.listen(socket.AF_INET, "127.0.0.1", port,
                                    echo_answer), None),
    ("go-get", "nq_go.exe", ["get", "http://127.0.0.1:{port}/c"],
     lambda peer, port: peer.listen(socket.AF_INET, "127.0.0.1", port,
                                    http_answer), None),
]
# What a case's program reads: from the file its arguments name ({file}),
# else on its standard input, through a pipe (Go sends a file it is handed
# with TransmitFile, anything else through a buffer: both ways are cases).
INPUT = {"go-echo": bytes(range(256)) * 40,
         "go-echo-file": bytes(range(255, -1, -1)) * 40}


# The probe's servers (its scenario modern's "iocp", "pool" and "bind",
# probe/servers.c):
# (name, its argument, its connections, lines the trace must hold, with
# the numbers the program printed after those words).
PROBES = [
    ("iocp", "iocp", 48, []),
    ("pool", "pool", 8, [
        r"WSARecv\(\d+, .*\) returned -1 \[{cancelled}\]",
        r"IoCompletionCallback\(\d+, 0x\w+, WSARecv\) returned -1 "
        r"\[{aborted}\]"]),
    ("bind", "bind", 8, [r"CompletionRoutine\(\d+, 0x\w+, WSARecv\) returned 7"]),
]
PROBE = "nq_ws2_probe.exe"


def probe_stream(connection):
    """What the probe's client sends on one connection."""
    return b"".join(b"%02d.%04d;" % (connection, k) for k in range(60))


RECEIVE = re.compile(r"WSARecv\(\d+, 0x\w+, 1, 0x\w+, 0x\w+, (0x\w+), "
                     r"0x0\) returned (-?\d+)( \[997\])?$")
COMPLETION = re.compile(r"\w+\(\d+, (0x\w+), WSARecv\) returned")


def once_each(text):
    """The lines that break the rule of one line per receive's bytes: on
    each OVERLAPPED, a receive left pending is followed by its completion
    before the next receive, and one done at once by none."""
    pending, broken = {}, []
    for line in text:
        issued, completed = RECEIVE.search(line), COMPLETION.search(line)
        ov = (issued or completed or [None, None])[1]
        if ov and pending.get(ov, False) == bool(issued):
            broken.append(line)
        if ov:
            pending[ov] = bool(issued and issued[3])
    return broken + ["still pending: " + ov for ov, p in pending.items() if p]


def check_probe(r, probe):
    name, arg, n, holds = probe
    exe = os.path.join(r.a.programs, PROBE)
    want = r.finish(r.start(name, [exe, "modern", arg]), 60)
    got = r.finish(r.start(name + "-traced", [
        r.a.launcher, "-o", r.win_path(name + ".log"), "-f", "4", exe,
        "modern", arg]), 60)
    said = want[1].decode("latin-1")
    check("%d of %d streams whole" % (n, n) in said and got[:2] == want[:2],
          "%s: %r traced, %r untraced" % (name, got, want))
    log = os.path.join(r.a.work, name + ".log")
    talks = nqtest.conversations(r.a.netquill_json, log, r.a.table)
    streams = sorted(probe_stream(i) for i in range(n))
    for way in ("received", "sent"):
        seen = sorted(getattr(t, way) for t in talks if getattr(t, way))
        check(seen == streams, "%s: the streams %s in the trace are not those "
              "sent, %d of %d wrong:\n%s" % (
                  name, way, len(set(seen) - set(streams)), n,
                  "\n".join(map(repr, sorted(set(seen) - set(streams))))))
    text = [l.split(": ", 1)[1] for l in nqtest.lines(r.a.netquill_json, log)
            if not l.startswith("  ")]
    broken = once_each(text)
    check(not broken, "%s: receives whose bytes are not on one line:\n%s" %
          (name, "\n".join(broken[:20])))
    numbers = dict(re.findall(r"([a-z]+) (\d+)", said))
    for pattern in holds:
        line = pattern.format(**numbers)
        check(any(re.fullmatch(line, l) for l in text),
              "%s: no line %s" % (name, line))


class Runner(nqtest.Wine):
    def __init__(self, a):
        super().__init__(a.wine, a.work)
        self.a = a


def run_case(r, case, traced, port=0):
    """Runs the program once; the peer's port, output, exit code and the
    peer's connections. The traced run gets the untraced run's port, which
    the program may send (curl's Host)."""
    name, exe, args, setup, client = case
    peer = Peer()
    port = setup(peer, port) if setup else None
    given = os.path.join(r.a.work, name + ".in")
    if name in INPUT:
        with open(given, "wb") as f:
            f.write(INPUT[name])
    program = [os.path.join(r.a.programs, exe)] + [
        x.format(port=port, file=r.win_path(name + ".in")) for x in args]
    piped = name in INPUT and "{file}" not in args
    tag = name + ("-traced" if traced else "")
    log = os.path.join(r.a.work, tag + ".log")
    if traced:
        program = [r.a.launcher, "-o", r.win_path(tag + ".log"), "-f", "4"] + program
    proc = r.start(tag, program, subprocess.PIPE if piped else
                   subprocess.DEVNULL)
    if piped:
        proc.stdin.write(INPUT[name])
        proc.stdin.close()
    if client:
        client(peer)
        # The server is stopped once it has closed the peer's connections,
        # which it does after their last bytes went out.
        deadline = time.time() + 10
        while traced and time.time() < deadline and sum(
                1 for x in nqtest.records(r.a.netquill_json, log)
                if x.get("call") == "closesocket") < len(peer.conns):
            time.sleep(0.1)
        time.sleep(0.3)
        r.taskkill("/IM", exe)
    result = r.finish(proc)
    peer.close()
    return port, result, peer.conns, log


def check_case(r, case, table):
    name = case[0]
    port, (want_rc, want_out, want_err), want_conns, _ = run_case(r, case, False)
    _, (rc, out, err), conns, log = run_case(r, case, True, port)
    check(want_rc == rc and want_out == out and want_err == err,
          "%s: %r %r %r traced, %r %r %r untraced" %
          (name, rc, out, err, want_rc, want_out, want_err))
    check(conns and sorted(c[1:] for c in conns) ==
          sorted(c[1:] for c in want_conns),
          "%s: the peer was served otherwise traced:\n%.500s\nuntraced:\n%.500s"
          % (name, conns, want_conns))
    talks = nqtest.conversations(r.a.netquill_json, log, table)
    for seen_as, received, sent in conns:
        # The program's socket sent what the peer received and the other
        # way round, and one of its lines names the peer as it saw it.
        match = [t for t in talks if (t.sent, t.received) == (received, sent)]
        if check(len(match) == 1, "%s: not one socket moved %d bytes out, %d "
                 "in; the trace's:\n%s" % (name, len(received), len(sent),
                                           "\n".join(map(str, talks)))):
            check(seen_as in match[0].addresses, "%s: %s, not %s" %
                  (name, match[0], seen_as))
    if r.a.netquill_pcap:
        nqtest.check_capture(r.a.netquill_pcap, log, talks, name)


def main():
    ap = argparse.ArgumentParser()
    for name in ("wine", "launcher", "inject", "netquill-json",
                 "table", "programs", "work"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--netquill-pcap", help="the host build's; with tshark")
    ap.add_argument("--only", help="one case by name")
    ap.add_argument("--runtime", default="",
                    help="DLLs the programs need beside them, ;-separated")
    ap.add_argument("--go", default="", help="nq_go.exe, when built")
    ap.add_argument("--probe", default="", help=PROBE)
    ap.add_argument("--probe-dll", default="",
                    help="attachdll.dll, which the probe imports")
    a = ap.parse_args()
    nqtest.launcher_work(a)
    for built in filter(None, (a.go, a.probe, a.probe_dll)):
        a.programs = a.programs or os.path.join(a.work, "programs")
        os.makedirs(a.programs, exist_ok=True)
        shutil.copy(built, a.programs)
    cases = [c for c in CASES if a.only in (None, c[0])]
    probes = [p for p in PROBES if a.only in (None, p[0])]
    cases += [(p[0], PROBE) for p in probes]
    missing = [c[0] for c in cases
               if not (a.programs and os.path.exists(os.path.join(a.programs,
                                                                  c[1])))]
    if missing:
        print("SKIPPED, no program: %s" % " ".join(missing))
    if len(missing) == len(cases):
        return nqtest.SKIP
    if a.netquill_pcap and not shutil.which("tshark"):
        a.netquill_pcap = None
    with Runner(a) as r:
        for case in cases:
            if case[0] not in missing and len(case) > 2:
                check_case(r, case, a.table)
        for probe in probes:
            if probe[0] not in missing:
                check_probe(r, probe)
    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
