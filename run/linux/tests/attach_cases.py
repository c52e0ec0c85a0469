"""netquill-run -p on running servers: the C echo server and redis-server,
traffic before, during and after the attach; the lines between attach and
detach carry exactly the bytes the peer sent and got, none come before or
after; the server answers and exits as it would untraced. Then attaching
twice, a server blocked in recv, and the refusals."""
import argparse
import os
import re
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "..", "tests", "support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402

ARGS = None
CHILDREN = []  # killed at the end, whatever happened


def calls(trace):
    """(text with 0x values masked, dump bytes) of each call record."""
    return [(re.sub(r"0x[0-9a-f]+", "0x", r["text"]),
             bytes.fromhex(r.get("dump", "")))
            for r in nqtest.records(ARGS.netquill_json, trace)
            if r["type"] == "call"]


def moved(trace, names):
    return b"".join(d for t, d in calls(trace) if t.split("(")[0] in names)


class Attached:
    """netquill-run -p PID ... from "attached" on, until SIGINT."""

    def __init__(self, pid, *options):
        self.run = subprocess.Popen([ARGS.netquill_run, "-p", str(pid)] +
                                    list(options), stderr=subprocess.PIPE,
                                    text=True)
        self.said = self.run.stderr.readline()

    def detach(self, how=signal.SIGINT):
        if how is not None:
            self.run.send_signal(how)
        rest = self.run.communicate(timeout=30)[1]
        return self.run.returncode, self.said + rest


def wait_in(pid, *numbers):
    """Until the process's main thread waits in one of these x86-64 system
    calls (accept 43, accept4 288, recvfrom 45), which a case needs it to be
    in at attach."""
    for _ in range(1000):
        with open("/proc/%d/syscall" % pid) as f:
            if f.read().split()[0] in {str(n) for n in numbers}:
                return
        time.sleep(0.01)
    check(False, "process %d never waited in %s" % (pid, numbers))


def exchange(port, data, conn=None, whole=None):
    """Sends data; the reply once whole(reply) holds (by default: as long
    as data, an echo)."""
    whole = whole or (lambda got: len(got) >= len(data))
    c = conn or socket.create_connection(("127.0.0.1", port), timeout=10)
    c.sendall(data)
    got = b""
    while not whole(got):
        part = c.recv(65536)
        if not part:
            break
        got += part
    if conn is None:
        c.close()
    return got


def echo_server():
    server = subprocess.Popen([ARGS.echo, "echo"], stdout=subprocess.PIPE)
    CHILDREN.append(server)
    return server, int(server.stdout.readline())


def quit_echo(server, port):
    socket.create_connection(("127.0.0.1", port)).sendall(b"quit")
    return server.wait(timeout=30)


def ring_held(pid):
    """(whether the process maps the launcher's ring of records, how many
    descriptors of it it holds)."""
    fds = "/proc/%d/fd" % pid
    links = []
    for f in os.listdir(fds):
        try:
            links.append(os.readlink(os.path.join(fds, f)))
        except FileNotFoundError:  # closed meanwhile
            pass
    return ("netquill-records" in open("/proc/%d/maps" % pid).read(),
            sum("netquill-records" in link for link in links))


def echo_window(work):
    """Before, during (two connections, one blocked in accept at attach),
    after; the lines of the window exact. The records go through the
    launcher's ring, mapped without a descriptor and gone at the detach."""
    server, port = echo_server()
    trace = os.path.join(work, "echo.log")
    check(exchange(port, b"before-1") == b"before-1", "echo before attach")
    wait_in(server.pid, 43, 288)
    run = Attached(server.pid, "-o", trace, "-f", "4")
    check(run.said == "netquill-run: attached to %d\n" % server.pid,
          "attached said", run.said)
    replies = [exchange(port, b"during-read"), exchange(port, b"during-recv")]
    during = ring_held(server.pid)
    code, said = run.detach()
    check((during, ring_held(server.pid)) == ((True, 0), (False, 0)),
          "the ring mapped while attached, no descriptor, nothing after",
          (during, ring_held(server.pid)))
    check(code == 0 and "detached from %d" % server.pid in said,
          "detach: exit 0, said", said)
    check(exchange(port, b"after-1") == b"after-1", "echo after detach")
    check(replies == [b"during-read", b"during-recv"], "replies", replies)
    check(quit_echo(server, port) == 0, "the server's exit code")
    timeout = "setsockopt(4, 1, 20, 0x, 16) returned 0"  # SO_RCVTIMEO
    want = [timeout, "read(4, 0x, 4096) returned 11",
            "write(4, 0x, 11) returned 11",
            "read(4, 0x, 4096) returned 0", "closesocket(4) returned 0",
            "accept(3, NULL, 0x) returned 4", timeout,
            "recv(4, 0x, 4096, 0) returned 11",
            "send(4, 0x, 11, 0) returned 11",
            "recv(4, 0x, 4096, 0) returned 0", "closesocket(4) returned 0"]
    got = calls(trace)
    check([t for t, _ in got] == want, "the window's lines",
          [t for t, _ in got])
    check(moved(trace, {"read", "recv"}) == b"during-readduring-recv" and
          moved(trace, {"write", "send"}) == b"during-readduring-recv",
          "the window's bytes")


def blocked_in_recv_and_twice(work):
    """A connection open at attach, its server blocked in recv: the data
    after attach arrive without an error; that recv, made before the
    attach, is not traced, the socket's next calls are. A second attach
    traces into its own file, the thread's trace going on."""
    server, port = echo_server()
    conn = socket.create_connection(("127.0.0.1", port), timeout=10)
    check(exchange(port, b"open", conn) == b"open", "first echo")
    first, second, third = (os.path.join(work, n)
                            for n in ("one.log", "two.log", "three.log"))
    # SIGHUP is the terminal gone (a dropped ssh session): a detach too.
    for trace, data, how in ((first, b"in-one", signal.SIGINT),
                             (second, b"in-two", signal.SIGTERM),
                             (third, b"in-three", signal.SIGHUP)):
        wait_in(server.pid, 45)
        run = Attached(server.pid, "-o", trace, "-f", "4")
        check(exchange(port, b"first", conn) == b"first", "echo at attach")
        check(exchange(port, data, conn) == data, "echo while attached")
        check(run.detach(how)[0] == 0, "detach exit code")
        check(exchange(port, b"between", conn) == b"between", "echo between")
    with open("/proc/%d/maps" % server.pid) as maps:
        code = [m for m in maps if "r-xp" in m and "/libnetquill" in m]
    check(len(code) == 1 and "libnetquill-preload.so" in code[0],
          "the interposer, the library built in, loaded once", code)
    conn.close()
    # Attached at its end: the launcher ends with it, detaching nothing.
    run = Attached(server.pid, "-o", os.path.join(work, "end.log"))
    check(quit_echo(server, port) == 0, "the server's exit code")
    code, said = run.detach(None)
    check(code == 0 and "detached" not in said, "the end while attached",
          said)
    for trace, data in ((first, b"in-one"), (second, b"in-two"),
                        (third, b"in-three")):
        check(moved(trace, {"recv"}) == data and
              moved(trace, {"send"}) == b"first" + data,
              "the attach's bytes: " + trace, calls(trace))


def launcher_killed(work):
    """The launcher killed (SIGKILL: no detach): the program stops tracing
    by itself within moments, and goes on as it was."""
    server, port = echo_server()
    conn = socket.create_connection(("127.0.0.1", port), timeout=10)
    check(exchange(port, b"open", conn) == b"open", "killed: first echo")
    trace = os.path.join(work, "killed.log")
    wait_in(server.pid, 45)
    run = Attached(server.pid, "-o", trace, "-f", "4")
    check(exchange(port, b"during", conn) == b"during", "killed: echo")
    run.run.kill()
    run.run.wait()
    for data in (b"after-one", b"after-two", b"after-three"):
        time.sleep(0.25)
        check(exchange(port, data, conn) == data, "killed: echo after")
    sent = moved(trace, {"send"})
    check(sent.startswith(b"during") and b"after-three" not in sent and
          b"after-three" not in moved(trace, {"recv"}),
          "killed: the trace ends with its launcher", sent)
    conn.close()
    check(quit_echo(server, port) == 0, "killed: the server's exit code")


LATE_SOCKETS = """
import os, sys
print("_socket" in sys.modules, flush=True)
sys.stdin.readline()
import socket
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
c.sendall(b"from-parent")
if os.fork() == 0:
    c.sendall(b"from-child")
    os._exit(0)
os.wait()
"""


def two_processes_late_module_child(work):
    """-p twice with -ff: a file per process. Python loads its socket module
    only after the attach (a dlopen) and forks a child, which is followed
    into a file of its own."""
    listener = socket.create_server(("127.0.0.1", 0))
    late = subprocess.Popen([sys.executable, "-c", LATE_SOCKETS,
                             str(listener.getsockname()[1])],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    CHILDREN.append(late)
    check(late.stdout.readline() == b"False\n", "no socket module at start")
    server, port = echo_server()
    trace = os.path.join(work, "ff.log")
    run = Attached(late.pid, "-p", str(server.pid), "-o", trace, "-ff",
                   "-f", "4")
    late.stdin.write(b"go\n")
    late.stdin.flush()
    peer = listener.accept()[0]
    got = b""
    while True:
        part = peer.recv(100)
        if not part:
            break
        got += part
    check(late.wait(timeout=30) == 0 and got == b"from-parentfrom-child",
          "the late program's bytes", got)
    check(exchange(port, b"second") == b"second", "the second process")
    check(run.detach()[0] == 0, "detach from both")
    files = {f for f in os.listdir(work) if f.startswith("ff.log.")}
    own = {"ff.log.%d" % late.pid, "ff.log.%d" % server.pid}
    check(len(files) == 3 and own < files, "a file per process", files)
    sent = sorted(moved(os.path.join(work, f), {"send"}) for f in files)
    check(sent == [b"from-child", b"from-parent", b"second"],
          "each process's own bytes", sent)


def redis(work):
    """redis-server: commands before, during and after; the replies of an
    untraced run, the window's requests and replies byte for byte."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    server = subprocess.Popen(
        ["redis-server", "--port", str(port), "--bind", "127.0.0.1",
         "--save", "", "--appendonly", "no"], stdout=subprocess.DEVNULL)
    CHILDREN.append(server)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            break
        except OSError:
            time.sleep(0.05)

    def command(*words):
        out = b"*%d\r\n" % len(words) + b"".join(
            b"$%d\r\n%s\r\n" % (len(w), w) for w in words)
        return out, exchange(port, out, whole=lambda got: got.endswith(
            b"\r\n") and got.count(b"\r\n") >= (2 if got[:1] == b"$" else 1))

    trace = os.path.join(work, "redis.log")
    sent = [command(b"SET", b"k", b"before")]
    run = Attached(server.pid, "-o", trace, "-f", "4")
    sent += [command(b"GET", b"k"), command(b"SET", b"k", b"during")]
    check(run.detach()[0] == 0, "redis detach exit code")
    sent.append(command(b"GET", b"k"))
    socket.create_connection(("127.0.0.1", port)).sendall(
        b"*2\r\n$8\r\nSHUTDOWN\r\n$6\r\nNOSAVE\r\n")
    check(server.wait(timeout=30) == 0, "redis's exit code")
    check([r for _, r in sent] == [b"+OK\r\n", b"$6\r\nbefore\r\n",
                                   b"+OK\r\n", b"$6\r\nduring\r\n"],
          "redis's replies", sent)
    check(moved(trace, {"read", "recv"}) == sent[1][0] + sent[2][0] and
          moved(trace, {"write", "send"}) == sent[1][1] + sent[2][1],
          "redis's window bytes", calls(trace))


def second_launcher(work):
    """A second netquill-run -p on a process attached to already is
    refused; the first one's trace goes on and ends with its detach."""
    server, port = echo_server()
    trace = os.path.join(work, "first.log")
    wait_in(server.pid, 43, 288)
    first = Attached(server.pid, "-o", trace)
    second = subprocess.run([ARGS.netquill_run, "-p", str(server.pid), "-o",
                             os.path.join(work, "second.log")],
                            capture_output=True, text=True, timeout=60)
    check(second.returncode == 2 and "process %d is attached to already, by "
          "another netquill-run -p" % server.pid in second.stderr,
          "second launcher refused", second.stderr)
    check(exchange(port, b"to-first") == b"to-first", "echo while attached")
    check(first.detach()[0] == 0, "first detach")
    check("send(4, 0x, 8, 0) returned 8" in [t for t, _ in calls(trace)],
          "the first launcher keeps its records", calls(trace))
    check(quit_echo(server, port) == 0, "the server's exit code")


def given_up(work):
    """Ctrl-C while the launcher looks for a thread waiting in a system
    call, where none ever waits: it ends at once, the process untouched."""
    spinner = subprocess.Popen([ARGS.echo, "echo", "spin"],
                               stdout=subprocess.PIPE)
    CHILDREN.append(spinner)
    spinner.stdout.readline()
    run = subprocess.Popen([ARGS.netquill_run, "-p", str(spinner.pid), "-o",
                            os.path.join(work, "spin.log")],
                           stderr=subprocess.PIPE, text=True)
    time.sleep(0.3)
    run.send_signal(signal.SIGINT)
    try:
        said = run.communicate(timeout=5)[1]
    except subprocess.TimeoutExpired:
        run.kill()
        said = run.communicate()[1] + " (still stopping after 5 s)"
    check(run.returncode == 1 and "attaching to process %d given up" %
          spinner.pid in said and spinner.poll() is None and
          tracer_of(spinner.pid) == 0, "Ctrl-C while stopping", said)


def undetachable(work):
    """A detach that finds no thread waiting in a system call (one computes
    and calls listen(), the other joins it) is said after a second, exit 1,
    and the process stops tracing by itself once the launcher has ended."""
    busy = subprocess.Popen([ARGS.echo, "echo", "busy"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    CHILDREN.append(busy)
    busy.stdout.readline()
    wait_in(busy.pid, 0)  # read
    trace = os.path.join(work, "busy.log")
    run = Attached(busy.pid, "-o", trace)
    busy.stdin.write(b"go\n")
    busy.stdin.flush()
    time.sleep(0.3)
    code, said = run.detach(signal.SIGTERM)
    time.sleep(0.3)
    grown = os.path.getsize(trace)
    time.sleep(0.5)
    check(code == 1 and "could not detach from %d: it stops tracing by "
          "itself once netquill-run has ended" % busy.pid in said and
          grown > 0 and os.path.getsize(trace) == grown,
          "an undetachable process said, and silent after", (code, said))


def tracer_of(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"TracerPid:\s+(\d+)", f.read()).group(1))


def refusals(work):
    gone = subprocess.Popen(["true"])
    gone.wait()
    traced = subprocess.Popen([ARGS.echo, "echo"], stdout=subprocess.PIPE,
                              preexec_fn=lambda: __import__("ctypes").CDLL(
                                  None).ptrace(0, 0, 0, 0))
    static = subprocess.Popen([ARGS.static_program, "pause"])
    preloaded = subprocess.Popen([ARGS.netquill_run, "-o",
                                  os.path.join(work, "pre.log"), ARGS.echo,
                                  "echo"],
                                 stdout=subprocess.PIPE)
    preloaded.stdout.readline()
    # The launcher stays as the program's parent: the program is its child.
    with open("/proc/%d/task/%d/children" % (preloaded.pid, preloaded.pid)) as f:
        program = int(f.read().split()[0])
    own, _ = echo_server()
    stopped, _ = echo_server()
    stopped.send_signal(signal.SIGSTOP)
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    table = [  # (case, launcher prefix, pid, exit code, message)
        ("gone", [], gone.pid, 2, "no process %d" % gone.pid),
        ("traced", [], traced.pid, 2, "process %d is traced already, by "
         "process %d" % (traced.pid, os.getpid())),
        ("preloaded", [], program, 2, "process %d runs under "
         "netquill-run already" % program),
        ("launcher", [], preloaded.pid, 2, "process %d is netquill-run "
         "itself" % preloaded.pid),
        ("not permitted", nobody, own.pid, 2, "not permitted to read "
         "process %d" % own.pid),
        ("stopped", [], stopped.pid, 2, "process %d is stopped: continue "
         "it first" % stopped.pid),
    ]
    for case, prefix, pid, code, text in table:
        run = subprocess.run(prefix + [ARGS.netquill_run, "-p", str(pid)],
                             capture_output=True, text=True, timeout=60)
        check(run.returncode == code and text in run.stderr,
              "refusal: " + case, (run.returncode, run.stderr))
    # A static program is taken at its system calls, and left as it was.
    on_calls = subprocess.Popen([ARGS.netquill_run, "-p", str(static.pid)],
                                stderr=subprocess.PIPE, text=True)
    said = on_calls.stderr.readline()
    on_calls.send_signal(signal.SIGINT)
    said += on_calls.stderr.read()
    check(on_calls.wait(timeout=60) == 0 and
          said == "netquill-run: attached to %d\nnetquill-run: detached "
          "from %d\n" % (static.pid, static.pid) and
          static.poll() is None and tracer_of(static.pid) == 0,
          "static program attached and left", said)
    for p in (traced, static):
        p.kill()
        p.wait()
    preloaded.terminate()  # passed on to the program, which ends with it
    preloaded.wait()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("netquill-run", "netquill-json", "echo", "static-program",
                 "work"):
        parser.add_argument("--" + name, required=True)
    ARGS = parser.parse_args()
    os.makedirs(ARGS.work, exist_ok=True)
    for f in os.listdir(ARGS.work):
        os.remove(os.path.join(ARGS.work, f))
    # A machine whose kernel refuses ptrace (a container without the right
    # to it) cannot run these cases.
    server, _ = echo_server()
    probe = Attached(server.pid)
    said = probe.detach()[1]
    server.kill()
    server.wait()
    CHILDREN.clear()
    if "not permitted to trace" in said:
        print("SKIP: " + said.strip())
        return nqtest.SKIP
    for case in (echo_window, blocked_in_recv_and_twice, launcher_killed,
                 second_launcher, given_up, undetachable,
                 two_processes_late_module_child, redis, refusals):
        try:
            case(ARGS.work)
        except (OSError, subprocess.SubprocessError, ValueError) as e:
            check(False, case.__name__ + " stopped", repr(e))
        finally:
            for child in CHILDREN:
                child.kill()
                child.wait()
            CHILDREN.clear()
    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
