#!/usr/bin/env python3
"""Programs whose socket calls never pass through the C library's
functions: Go's (dynamic, the default, and static) and a static C program.
Each runs untraced, under strace and under netquill-run -ff -f 4, in runs
of their own (netquill-run traces such a program from outside, as strace
does, and one process has one tracer): output and exit status as
untraced, and per process, in order of start, every socket's family,
addresses, results and bytes each way as strace saw them. Then -p on a Go
server while a client fetches. Loopback only."""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trace_read  # noqa: E402
from programs_vs_strace import STRACE, dns, echo, serve  # noqa: E402
from run_real_programs import clean_env, page_bytes  # noqa: E402
import nqtest  # noqa: E402
from nqtest import SKIP, check  # noqa: E402

A = None  # the command line
UDP_OUT = b"udp: reply to unconnected\nudp: reply to connected\n"
# What the client of -p sends nq_go serve; the reply is read to its end.
REQUEST = b"GET /300 HTTP/1.1\r\nHost: netprobe\r\nConnection: close\r\n\r\n"


def comparable(sockets, server=None, dns=False):
    """What two runs of a program share of its sockets, in order of
    creation. The ports the system picks differ from run to run, so each
    is named by its order of first appearance in the process; 0 and the
    port of this script's server stay as they are. So may descriptors
    differ: an accept4 that finds no peer holds the lowest free number
    while it looks, and a socket another thread makes meanwhile gets the
    next. A would-block result (EAGAIN) says when a peer came, not what
    the program did. With dns, the first two bytes each way of a socket
    that talks to the server, the query's id, are drawn at random."""
    ports = {"0": "0"}
    if server:
        ports[str(server)] = str(server)

    def port(m):
        return ":" + ports.setdefault(m.group(1), "p%d" % len(ports))

    out = []
    for s in sockets:
        results = [(c, re.sub(r":(\d+)$", port, a),
                    "fd" if c == "accept" and r >= 0 else r, e)
                   for c, a, r, e in s.results if e != "EAGAIN"]
        sent, received = bytes(s.sent), bytes(s.received)
        if dns and any(a.endswith(":%d" % server) for _, a, _, _ in results):
            sent, received = b"id" + sent[2:], b"id" + received[2:]
        out.append((s.family, results, sent, received))
    return out


def processes(sockets):
    """Sockets per process, processes in order of start: process ids rise
    as a short run starts them."""
    by_pid = {}
    for s in sockets:
        by_pid.setdefault(int(s.pid), []).append(s)
    return [by_pid[p] for p in sorted(by_pid)]


def netquill_processes(trace):
    """The sockets of each -ff file trace.PID that has any, in order of
    start."""
    folder, name = os.path.split(trace)
    pids = sorted(int(f[len(name) + 1:]) for f in os.listdir(folder)
                  if re.fullmatch(re.escape(name) + r"\.\d+", f))
    found = [trace_read.read_netquill(A.netquill_json, "%s.%d" % (trace, p))
             for p in pids]
    return [s for s in found if s]


def same_sockets(name, theirs, ours, server=None, dns=False):
    """strace's processes (theirs) against netquill-run's (ours)."""
    check(sum(map(len, theirs)) > 0, "%s: strace saw no socket" % name)
    check(sum(map(len, ours)) > 0, "%s: no socket in netquill-run's "
          "trace" % name)
    check(len(ours) == len(theirs), "%s: %d processes with sockets traced, "
          "strace saw %d" % (name, len(ours), len(theirs)))
    for i, (a, b) in enumerate(zip(theirs, ours)):
        a, b = comparable(a, server, dns), comparable(b, server, dns)
        check(a == b, "%s: process %d: sockets differ" % (name, i),
              "\n    ".join(["strace:"] + [repr(x)[:300] for x in a] +
                            ["netquill-run:"] + [repr(x)[:300] for x in b]))


def run_three(name, cmd, stdin):
    """cmd untraced, under strace, under netquill-run; per run its exit
    status and output, and strace's and netquill-run's sockets."""
    slog, trace = (os.path.join(A.work, name + x) for x in (".st", ".nq"))
    runs = []
    for prefix in ([], STRACE + ["-o", slog],
                   [A.netquill_run, "-ff", "-o", trace, "-f", "4"]):
        p = subprocess.run(prefix + cmd, input=stdin, capture_output=True,
                           env=clean_env(), cwd=A.work, timeout=120)
        runs.append((p.returncode, p.stdout, p.stderr[-500:]))
    theirs = processes(trace_read.read_strace(slog))
    return runs, theirs, netquill_processes(trace)


def program_case(name, cmd, stdin, want, server, dns=False):
    runs, theirs, ours = run_three(name, cmd, stdin)
    check(runs[0][:2] == (0, want), "%s: untraced: %.500r" % (name, runs[0]))
    for how, run in zip(("strace", "netquill-run"), runs[1:]):
        check(run[:2] == runs[0][:2], "%s: under %s: %.500r" % (name, how,
                                                                 run))
    same_sockets(name, theirs, ours, server, dns)


def fetch(port):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as c:
        c.sendall(REQUEST)
        return b"".join(iter(lambda: c.recv(65536), b""))


def served(sockets, reply):
    return any(bytes(s.received) == REQUEST and bytes(s.sent) == reply
               for s in sockets)


def attach_run(how):
    """nq_go serve, a tracer attached (none, strace or netquill-run), one
    fetch; the reply, the server's exit status, the tracer's sockets."""
    server = subprocess.Popen([A.go, "serve"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, env=clean_env())
    port, pid = int(server.stdout.readline()), server.pid
    log = os.path.join(A.work, "attach." + how)
    tracer = None
    if how == "strace":
        tracer = subprocess.Popen(STRACE[:2] + ["-p", str(pid), "-o", log] +
                                  STRACE[2:], stderr=subprocess.PIPE)
    elif how == "netquill-run":
        tracer = subprocess.Popen([A.netquill_run, "-p", str(pid), "-ff", "-o",
                                   log, "-f", "4"], stderr=subprocess.PIPE)
    said = tracer.stderr.readline().decode() if tracer else "attached"
    check("attached" in said, "%s -p said %r" % (how, said))
    # The threads strace found at its attach, which its log sees made none.
    threads = {t: str(pid) for t in os.listdir("/proc/%d/task" % pid)}

    def sockets():
        if how == "strace":
            return trace_read.read_strace(log, threads)
        return sum(netquill_processes(log), []) if tracer else []

    try:
        reply = fetch(port)
        # A call's line may come after the client has the reply.
        deadline = time.time() + 10
        while tracer and not served(sockets(), reply) and \
                time.time() < deadline:
            time.sleep(0.1)
        if tracer:
            tracer.send_signal(signal.SIGINT)
            tracer.communicate(timeout=30)
        server.stdin.close()
        return reply, server.wait(timeout=30), sockets()
    finally:
        for p in (tracer, server):
            if p and p.poll() is None:
                p.kill()


def attach_case():
    """-p on nq_go serve: the reply and the exit as untraced; strace's and
    netquill-run's traces each hold the request and the reply on one
    socket, and agree on all sockets."""
    plain, traced = attach_run("plain"), [
        attach_run(how) for how in ("strace", "netquill-run")]
    check(plain[1] == 0 and plain[0].startswith(b"HTTP/1.1 200 OK"),
          "serve untraced: %r" % (plain[:2],))
    for how, run in zip(("strace", "netquill-run"), traced):
        check(run[:2] == plain[:2], "serve under %s -p: %r" % (how, run[:2]))
        check(served(run[2], plain[0]), "%s -p: no socket moved the request "
              "and the reply" % how)
    same_sockets("attach", [traced[0][2]], [traced[1][2]])


def main():
    ap = argparse.ArgumentParser()
    for arg in ("netquill-run", "netquill-json", "static-c", "work",
                "calls"):
        ap.add_argument("--" + arg, required=True)
    ap.add_argument("--go", default="")
    ap.add_argument("--go-static", default="")
    ap.add_argument("--only", help="one case by name")
    global A
    A = ap.parse_args()
    trace_read.read_calls(A.calls)
    if not (A.go and A.go_static):
        print("SKIPPED: the build has no Go programs (go was not found)")
        return SKIP
    if shutil.which("strace") is None or subprocess.run(
            ["strace", "-o", os.devnull, "true"],
            capture_output=True).returncode:
        print("SKIPPED: strace is missing or cannot trace here")
        return SKIP
    A.work = os.path.abspath(A.work)
    shutil.rmtree(A.work, ignore_errors=True)
    os.makedirs(A.work)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    dns_port = serve(udp, dns)
    echo_port = serve(socket.create_server(("127.0.0.1", 0)), echo)
    http = b"http: 40 requests, %d bytes\n" % sum(i + 1 for i in range(40))
    # (name, command, standard input, the output, the port of this
    # script's server it talks to, and whether that is the DNS server)
    resolve = b"resolve probe.test: 192.0.2.1\n"
    cases = [
        ("go-http", [A.go, "http", "40"], b"", http, None),
        ("go-static-http", [A.go_static, "http", "40"], b"", http, None),
        ("go-udp", [A.go, "udp"], b"", UDP_OUT, None),
        ("go-resolve", [A.go, "resolve", "probe.test", str(dns_port)], b"",
         resolve, dns_port, True),
        ("go-static-resolve", [A.go_static, "resolve", "probe.test",
                               str(dns_port)], b"", resolve, dns_port, True),
        ("go-forkexec", [A.go, "forkexec"], b"", UDP_OUT, None),
        ("go-static-forkexec", [A.go_static, "forkexec"], b"", UDP_OUT, None),
        ("go-echo", [A.go, "echo", "127.0.0.1", str(echo_port)],
         page_bytes(), page_bytes(), echo_port),
        ("static-c", [A.static_c, "exchange"], b"",
         b"child: reply\nchild: pong\nparent: request, ping\n", None),
    ]
    table = [(c[0], lambda c=c: program_case(*c)) for c in cases]
    table.append(("go-attach", attach_case))
    nqtest.run_scenarios(table, only=A.only and [A.only])
    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
