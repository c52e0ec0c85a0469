#!/usr/bin/env python3
"""netquill-run.exe -p attached twice to running echo servers under Wine:
each trace holds exactly the bytes between attach and detach, the server
serves and ends as untraced. Refusals say why."""
import argparse, os, socket, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../../tests/support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402


def connect():
    for _ in range(200):  # until the server listens
        try:
            return socket.create_connection(("127.0.0.1", 7000), timeout=10)
        except ConnectionRefusedError:
            time.sleep(0.05)


def echo(c, data, shut=False):
    c.sendall(data)
    got = b""
    while len(got) < len(data) and (more := c.recv(65536)):
        got += more
    if shut:  # and read on to the server's close
        c.shutdown(socket.SHUT_WR)
        while more := c.recv(65536):
            got += more
    return got


def whole(data):
    with connect() as c:
        return echo(c, data, True)


class Attach:  # detached by closing its input

    def __init__(self, w, pid, log):
        self.w, self.pid, self.path = w, pid, os.path.join(w.work, log)
        self.proc = w.start(log, [w.a.launcher, "-p", str(pid), "-o",
                                  w.win_path(log), "-f", "4"],
                            stdin=subprocess.PIPE)
        check(w.wait_for(self.proc, b"attached"), "%s: not attached" % log)

    def detach(self):
        self.proc.stdin.close()
        self.result = self.w.finish(self.proc)


UNTRACED = type("Untraced", (), {"detach": lambda self: None})()


def drive(w, attach, image):
    """A stays open throughout, its read waiting at each attach; B, C, D
    whole. Returns the replies and the second attach."""
    a = connect()
    out = subprocess.run([w.wine, "wmic", "process", "get", "name,processid"],
                         env=w.env, capture_output=True).stdout
    pid = [int(x.split()[1]) for x in out.decode("utf-16").splitlines()
           if x.split()[:1] == [image]][0]
    replies = [echo(a, b"A before")]
    first = attach(pid, "first.log")
    replies += [echo(a, b"A during 1"), echo(a, b"A during 2"),
                whole(b"B during" * 100), whole(b"spawn")]
    first.detach()
    replies += [echo(a, b"A after"), whole(b"C after")]
    second = attach(pid, "second.log")
    replies += [whole(b"D second"), echo(a, b"", True)]
    return replies, second, pid


def c_server(w, attach, start_log=None):
    """Its threads wait in accept and recv; it ends with its last
    connection, A, and so does the second launcher."""
    launcher = [w.a.launcher, "-o", w.win_path(start_log or ""), "-f", "4"]
    server = w.start("ws2-echo", (launcher if start_log else []) +
                     [w.a.echo, "echo", "7000", "5", w.a.child])
    replies, second, _ = drive(w, attach, "nq_ws2_probe.exe")
    result = w.finish(server)
    second.detach()
    return result, replies


def held_server(w, attach):
    """Attached to while it waits in its first accept, with the addresses
    of accept, recv and send held from before; it ends after three
    connections, and so does the launcher."""
    server = w.start("ws2-held", [w.a.echo, "echo", "7000", "3", "held"])
    check(w.wait_for(server, b"listening"), "held: not listening")
    out = subprocess.run([w.wine, "wmic", "process", "get", "name,processid"],
                         env=w.env, capture_output=True).stdout
    pid = [int(x.split()[1]) for x in out.decode("utf-16").splitlines()
           if x.split()[:1] == ["nq_ws2_probe.exe"]][0]
    at = attach(pid, "held.log")
    replies = [whole(HELD[i]) for i in range(3)]
    result = w.finish(server)
    at.detach()
    return result, replies


def uv_echo(w, attach):
    server = w.start("uv-echo", [os.path.join(w.a.programs, "uv-echo.exe")])
    replies, second, pid = drive(w, attach, "uv-echo.exe")
    second.detach()
    w.taskkill("/PID", str(pid))
    return w.finish(server), replies


# (name, the server's run, per attach: the bytes its trace holds per socket
# (sent, received) and whether the launcher detached rather than ended with
# the server). A's "A during 1" came in a recv blocked at attach, untraced;
# libuv's zero-byte read completes and its read of the bytes is traced.
B, D = (b"B during" * 100,) * 2, (b"D second",) * 2
HELD = [b"first held", b"second held" * 50, b"third held"]
C_SERVER = [([(b"A during 1A during 2", b"A during 2"), B, (b"run 5", b"spawn")],
              True), ([D], False)]
CASES = [
    ("ws2-echo", c_server, C_SERVER),
    ("started", lambda w, attach: c_server(w, attach, "start.log"), C_SERVER),
    ("held", held_server, [([(x, x) for x in HELD], False)]),
    ("uv-echo", uv_echo, [([(b"A during 1A during 2",) * 2, B,
                            (b"spawn",) * 2], True),
                          ([D], True)]),
]


def sockets(w, path):
    talks = nqtest.conversations(w.a.netquill_json, path, w.a.table)
    return sorted((t.sent, t.received) for t in talks if t.sent or t.received)


def check_case(w, case):
    name, run, want = case
    untraced = run(w, lambda pid, log: UNTRACED) if name != "started" else None
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
    if name == "held":  # each later accept too, on the thread that waited
        calls = [r.get("call") for r in nqtest.records(
            w.a.netquill_json, attaches[0].path)]
        check(calls.count("accept") == 2 and calls.count("send") == 3,
              "held: %r" % calls)
    elif name != "uv-echo":  # the child it started while attached
        calls = [r.get("call") for r in nqtest.records(
            w.a.netquill_json, attaches[0].path) if "CLIENT" in r["module"]]
        check(calls == [None, "socket", "connect", "closesocket"],  # None: start
              "child %r" % calls)
    if name == "started":  # its own file: up to the attach, the blocked recv
        got = sockets(w, os.path.join(w.work, "start.log"))
        check(got == [(b"A before", b"A beforeA during 1")], "start: %r" % got)


REFUSALS = [(["-p", "999999"], b"no process 999999\n"),
            (["-p", "4", "-ff"], b"-ff needs -o FILE or NETQUILL_FILE\n")]


def main():
    ap = argparse.ArgumentParser()
    for name in ("wine", "launcher", "inject", "netquill-json",
                 "table", "echo", "child", "programs", "runtime", "work"):
        ap.add_argument("--" + name, required=True)
    a = ap.parse_args()
    nqtest.launcher_work(a)
    with nqtest.Wine(a.wine, a.work) as w:
        w.a = a
        for case in CASES[:None if a.programs else 3]:  # uv-echo's folder
            check_case(w, case)
        for args, says in REFUSALS:
            got = w.finish(w.start("refused", [a.launcher] + args))
            check(got == [2, b"", b"netquill-run: " + says], "%s: %r, want "
                  "2 and %r" % (args, got, says))
    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
