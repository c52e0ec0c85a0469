#!/usr/bin/env python3
"""netquill-run.exe -p under Wine: a Winsock echo server of threads blocked
in accept and recv, and libuv's uv-echo (overlapped I/O), each driven from
here before, during and after an attach, and attached to twice. The trace
holds exactly the bytes of the calls between attach and detach, the server
serves and ends as untraced, and the refusals say why with exit code 2."""
import argparse, os, shutil, socket, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../../tests/support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402

PORT = 7000  # uv-echo's; the C server takes it too


class Wine:
    def __init__(self, a):
        self.a = a
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("NETQUILL")}
        self.env.update(WINEPREFIX=os.path.join(a.work, "prefix"),
                        WINEDEBUG="-all")

    def win_path(self, name):
        return "Z:" + os.path.join(self.a.work, name).replace("/", "\\")

    def start(self, name, args, stdin=subprocess.DEVNULL):
        out = [os.path.join(self.a.work, name + x) for x in (".out", ".err")]
        files = [open(f, "wb") for f in out]
        proc = subprocess.Popen([self.a.wine] + args, env=self.env, stdin=stdin,
                                stdout=files[0], stderr=files[1])
        for f in files:
            f.close()
        proc.out = out
        return proc

    def finish(self, proc, timeout=60):
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            rc = "timed out"
        return [rc] + [open(f, "rb").read() for f in proc.out]

    def wait_for(self, proc, which, text, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in open(proc.out[which], "rb").read():
                return True
            if proc.poll() is not None:
                break
            time.sleep(0.05)
        return False

    def pid_of(self, image):
        """The Windows process id of the running image."""
        out = subprocess.run([self.a.wine, self.a.pid_of, image], env=self.env,
                             stdin=subprocess.DEVNULL, capture_output=True,
                             text=True).stdout.split()
        return int(out[0]) if len(out) == 1 else None


def connect():
    for _ in range(200):
        try:
            return socket.create_connection(("127.0.0.1", PORT), timeout=10)
        except OSError:
            time.sleep(0.05)
    raise SystemExit("no server on port %d" % PORT)


def echo(c, data):
    """Sends data on c and reads as much back."""
    c.sendall(data)
    got = b""
    while len(got) < len(data):
        more = c.recv(65536)
        if not more:
            break
        got += more
    return got


def whole(data):
    """One connection: data out, its echo back, then the server's close."""
    with connect() as c:
        got = echo(c, data)
        c.shutdown(socket.SHUT_WR)
        while c.recv(65536):
            pass
    return got


class Attach:
    """netquill-run -p PID -o LOG -f 4, detached by closing its input."""

    def __init__(self, w, pid, log):
        self.w, self.pid, self.log = w, pid, w.win_path(log)
        self.path = os.path.join(w.a.work, log)
        self.proc = w.start(log, [w.a.launcher, "-p", str(pid), "-o", self.log,
                                  "-f", "4"], stdin=subprocess.PIPE)
        check(w.wait_for(self.proc, 1, b"attached to %d" % pid),
              "%s: not attached: %r" % (log, open(self.proc.out[1], "rb").read()))

    def detach(self):
        self.proc.stdin.close()
        self.result = self.w.finish(self.proc)


def c_server(w, attach, start_log=None):
    """The C server's four connections; A lives through both attaches and
    its thread waits in recv at each, the main thread in accept. Started
    under netquill-run -o start_log when given."""
    launcher = ([w.a.launcher, "-o", w.win_path(start_log), "-f", "4"]
                if start_log else [])
    server = w.start("ws2-echo", launcher + [w.a.echo, str(PORT), "4"])
    w.wait_for(server, 0, b"listening")
    pid, replies = w.pid_of(os.path.basename(w.a.echo)), []
    a = connect()
    replies.append(echo(a, b"A before"))
    first = attach and attach(pid, "first.log")
    replies += [echo(a, b"A during 1"), echo(a, b"A during 2"),
                whole(b"B during" * 100)]
    first and first.detach()
    replies += [echo(a, b"A after"), whole(b"C after")]
    second = attach and attach(pid, "second.log")
    replies.append(whole(b"D second"))
    a.close()  # the last connection: the server ends, and so the launcher
    result = w.finish(server)
    second and second.detach()
    return result, replies


def uv_echo(w, attach):
    """uv-echo's connections, each whole, its accepts and reads overlapped."""
    server = w.start("uv-echo", [w.a.uv_echo])
    replies = [whole(b"U before")]
    pid = w.pid_of("uv-echo.exe")
    first = attach and attach(pid, "first.log")
    replies += [whole(b"U during 1"), whole(b"U during 2" * 300)]
    first and first.detach()
    replies.append(whole(b"U after"))
    second = attach and attach(pid, "second.log")
    replies.append(whole(b"U second"))
    second and second.detach()
    subprocess.call([w.a.wine, "taskkill", "/F", "/PID", str(pid)], env=w.env,
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    return w.finish(server), replies


# (name, the server's run, per attach: the bytes its trace holds per socket
# (sent, received) and whether the launcher detached, rather than ended
# with the server). The C server's A received "A during 1" in a recv it was
# blocked in at attach, untraced, and sent it back traced.
CASES = [
    ("ws2-echo", c_server,
     [([(b"A during 1A during 2", b"A during 2"), (b"B during" * 100,) * 2],
       True),
      ([(b"D second",) * 2], False)]),
    # Started traced, then attached: its trace switched to the attach's
    # file and back off.
    ("started", lambda w, attach: c_server(w, attach, attach and "start.log"),
     [([(b"A during 1A during 2", b"A during 2"), (b"B during" * 100,) * 2],
       True),
      ([(b"D second",) * 2], False)]),
    ("uv-echo", uv_echo,
     [([(b"U during 1",) * 2, (b"U during 2" * 300,) * 2], True),
      ([(b"U second",) * 2], True)]),
]


def check_case(w, case):
    name, run, want = case
    untraced = run(w, None)
    attaches = []

    def attach(pid, log):
        attaches.append(Attach(w, pid, name + "-" + log))
        return attaches[-1]

    traced = run(w, attach)
    check(traced == untraced, "%s: served otherwise attached:\n%.300r\n"
          "untraced:\n%.300r" % (name, traced, untraced))
    for at, (sockets, detached) in zip(attaches, want):
        said = b"netquill-run: attached to %d\n" % at.pid
        if detached:
            said += b"netquill-run: detached from %d\n" % at.pid
        check(at.result == [0, b"", said],
              "%s: launcher %r" % (at.path, at.result))
        talks = nqtest.conversations(w.a.netquill_json, at.path, w.a.table)
        got = sorted((t.sent, t.received) for t in talks if t.sent or t.received)
        check(got == sorted(sockets), "%s: bytes per socket %r, want %r" % (
            at.path, got, sockets))
    if name == "started":
        # Until the attach; A's recv blocked then returned into it.
        talks = nqtest.conversations(w.a.netquill_json, os.path.join(
            w.a.work, "start.log"), w.a.table)
        got = [(t.sent, t.received) for t in talks if t.sent or t.received]
        check(got == [(b"A before", b"A beforeA during 1")],
              "start.log: bytes per socket %r" % got)


def check_refusals(w):
    """Each refusal: exit code 2 and its message. (A program of the other
    bitness runs under a Wine of its own, whose processes this one's
    launcher cannot see.)"""
    rows = [(["-p", "999999"], b"no process 999999\n"),
            (["-p", "4", "-ff"], b"-ff needs -o FILE or NETQUILL_FILE\n")]
    for args, says in rows:
        rc, out, err = w.finish(w.start("refused", [w.a.launcher] + args))
        check((rc, out, err) == (2, b"", b"netquill-run: " + says),
              "%s: %r, want 2 and %r" % (args, (rc, out, err), says))


def main():
    ap = argparse.ArgumentParser()
    for name in ("wine", "launcher", "inject", "netquill", "netquill-json",
                 "table", "echo", "pid-of", "work"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--programs", help="the real programs of this bitness")
    ap.add_argument("--runtime", default="",
                    help="DLLs the programs need beside them, ;-separated")
    a = ap.parse_args()
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    for f in (a.launcher, a.inject, a.netquill):
        shutil.copy(f, a.work)
    a.launcher = os.path.join(a.work, os.path.basename(a.launcher))
    w = Wine(a)
    a.uv_echo = None
    if a.programs and os.path.isdir(a.programs):
        programs = shutil.copytree(a.programs, os.path.join(a.work, "programs"))
        for dll in filter(None, a.runtime.split(";")):
            shutil.copy(dll, programs)
        a.uv_echo = os.path.join(programs, "uv-echo.exe")
    cases = [c for c in CASES if c[0] != "uv-echo" or a.uv_echo]
    # A wineserver of the test's own, with no pipe of the test's to hold.
    subprocess.Popen(["wineserver", "-p"], env=w.env, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        w.finish(w.start("wineboot", ["wineboot", "-i"]))
        for case in cases:
            check_case(w, case)
        check_refusals(w)
    finally:
        subprocess.call(["wineserver", "-k"], env=w.env)
    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
