#!/usr/bin/env python3
"""netquill-run.exe -p under Wine: a Winsock echo server whose threads wait
in accept and recv, the same started traced, and libuv's uv-echo
(overlapped I/O), driven from here before, during and after two attaches.
Each attach's trace holds exactly the bytes of the calls between attach and
detach, the server serves and ends as untraced; refusals say why."""
import argparse, os, shutil, socket, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../../tests/support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402


def connect(tries=200):
    """To the server on port 7000, once it listens."""
    for _ in range(tries):
        try:
            return socket.create_connection(("127.0.0.1", 7000), timeout=10)
        except ConnectionRefusedError:
            time.sleep(0.05)
    return socket.create_connection(("127.0.0.1", 7000), timeout=10)


def echo(c, data):
    c.sendall(data)
    got = b""
    while len(got) < len(data) and (more := c.recv(65536)):
        got += more
    return got


def whole(data):
    """One connection: data out, its echo back, then the server's close."""
    with connect() as c:
        got = echo(c, data)
        c.shutdown(socket.SHUT_WR)
        while more := c.recv(65536):  # until the server's close
            got += more
        return got


class Attach:
    """netquill-run -p PID -o LOG -f 4, detached by closing its input."""

    def __init__(self, w, pid, log):
        self.w, self.pid, self.path = w, pid, os.path.join(w.work, log)
        self.proc = w.start(log, [w.a.launcher, "-p", str(pid), "-o",
                                  w.win_path(log), "-f", "4"],
                            stdin=subprocess.PIPE)
        check(w.wait_for(self.proc, b"attached"), "%s: not attached" % log)

    def detach(self):
        self.proc.stdin.close()
        self.result = self.w.finish(self.proc)


class Untraced:
    def __init__(self, *args):
        pass

    def detach(self):
        pass


def pid_of(w, image):
    out = subprocess.run([w.wine, w.a.pid_of, image], env=w.env,
                         capture_output=True, text=True).stdout.split()
    return int(out[0]) if len(out) == 1 else None


def c_server(w, attach, start_log=None):
    """Four connections; A lives through both attaches, its thread waiting
    in recv at each, the main thread in accept. The server ends with the
    last, and so does the second launcher. Started under netquill-run -o
    start_log when given."""
    launcher = [w.a.launcher, "-o", w.win_path(start_log or ""), "-f", "4"]
    server = w.start("ws2-echo", (launcher if start_log else []) +
                     [w.a.echo, "7000", "4"])
    w.wait_for(server, b"listening")
    pid, a = pid_of(w, "nq_ws2_echo.exe"), connect()
    replies = [echo(a, b"A before")]
    first = attach(pid, "first.log")
    replies += [echo(a, b"A during 1"), echo(a, b"A during 2"),
                whole(b"B during" * 100)]
    first.detach()
    replies += [echo(a, b"A after"), whole(b"C after")]
    second = attach(pid, "second.log")
    replies.append(whole(b"D second"))
    a.close()
    result = w.finish(server)
    second.detach()
    return result, replies


def uv_echo(w, attach):
    server = w.start("uv-echo", [w.a.uv_echo])
    replies = [whole(b"U before")]
    pid = pid_of(w, "uv-echo.exe")
    first = attach(pid, "first.log")
    replies += [whole(b"U during 1"), whole(b"U during 2" * 300)]
    first.detach()
    replies.append(whole(b"U after"))
    second = attach(pid, "second.log")
    replies.append(whole(b"U second"))
    second.detach()
    w.taskkill("/PID", str(pid))
    return w.finish(server), replies


# (name, the server's run, per attach: the bytes its trace holds per socket
# (sent, received) and whether the launcher detached rather than ended with
# the server). A's "A during 1" came in a recv blocked at attach, untraced.
C_SERVER = [([(b"A during 1A during 2", b"A during 2"),
              (b"B during" * 100,) * 2], True), ([(b"D second",) * 2], False)]
CASES = [
    ("ws2-echo", c_server, C_SERVER),
    # Its own file holds what came before the attach, A's blocked recv too.
    ("started", lambda w, attach: c_server(w, attach, "start.log"), C_SERVER),
    ("uv-echo", uv_echo, [([(b"U during 1",) * 2, (b"U during 2" * 300,) * 2],
                           True), ([(b"U second",) * 2], True)]),
]


def sockets(w, path):
    talks = nqtest.conversations(w.a.netquill_json, path, w.a.table)
    return sorted((t.sent, t.received) for t in talks if t.sent or t.received)


def check_case(w, case):
    name, run, want = case
    untraced = run(w, Untraced) if name != "started" else None
    attaches = []
    traced = run(w, lambda pid, log: attaches.append(
        Attach(w, pid, name + "-" + log)) or attaches[-1])
    check(untraced in (None, traced), "%s: served otherwise attached:\n%.300r"
          "\nuntraced:\n%.300r" % (name, traced, untraced))
    for at, (bytes_per_socket, detached) in zip(attaches, want):
        said = b"netquill-run: attached to %d\n" % at.pid
        said += b"netquill-run: detached from %d\n" % at.pid if detached else b""
        check(at.result == [0, b"", said], "%s: %r" % (at.path, at.result))
        got = sockets(w, at.path)
        check(got == sorted(bytes_per_socket), "%s: bytes per socket %r, want"
              " %r" % (at.path, got, bytes_per_socket))
    if name == "started":
        got = sockets(w, os.path.join(w.work, "start.log"))
        check(got == [(b"A before", b"A beforeA during 1")], "start.log: %r"
              % got)


REFUSALS = [(["-p", "999999"], b"no process 999999\n"),
            (["-p", "4", "-ff"], b"-ff needs -o FILE or NETQUILL_FILE\n")]


def main():
    ap = argparse.ArgumentParser()
    for name in ("wine", "launcher", "inject", "netquill", "netquill-json",
                 "table", "echo", "pid-of", "work"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--programs", help="the real programs of this bitness")
    ap.add_argument("--runtime", default="", help="DLLs they need, ;-separated")
    a = ap.parse_args()
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    for f in (a.launcher, a.inject, a.netquill):
        shutil.copy(f, a.work)
    a.launcher = os.path.join(a.work, os.path.basename(a.launcher))
    cases = CASES[:2]
    if a.programs and os.path.isdir(a.programs):
        programs = shutil.copytree(a.programs, os.path.join(a.work, "programs"))
        for dll in filter(None, a.runtime.split(";")):
            shutil.copy(dll, programs)
        a.uv_echo, cases = os.path.join(programs, "uv-echo.exe"), CASES
    with nqtest.Wine(a.wine, a.work) as w:
        w.a = a
        for case in cases:
            check_case(w, case)
        for args, says in REFUSALS:
            got = w.finish(w.start("refused", [a.launcher] + args))
            check(got == [2, b"", b"netquill-run: " + says], "%s: %r, want "
                  "2 and %r" % (args, got, says))
    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
