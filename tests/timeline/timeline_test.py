#!/usr/bin/env python3
"""netquill-timeline: exact output for small traces (a call of each kind, a
track per thread and per socket, counters, both kinds of flow, midnight, a
-ff file's process id, timed calls and socket labels), what must hold of
any output (check_timeline.py) on those and on the checked-in traces, the
command line's statuses, and, with --run, a real traced loopback HTTP
exchange, both ends traced with times and labels."""
import argparse
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "support"))
from nqtest import check, records, report, run_scenarios  # noqa: E402
import check_timeline  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

# (trace in data/, its expected timeline in data/)
EXACT = [
    ("loopback.trace", "loopback.json"),
    ("iocp.log.4242", "iocp.json"),
    # -T and -y: slices of their calls' durations across midnight, untimed
    # and half-timed lines as instants, a worker thread's first call on the
    # socket its server accepted, a call that overlaps its thread's busy
    # call on another thread or moved after it, tracks named by labels.
    ("timed.trace", "timed.json"),
]

# (arguments, exit status, what standard error says)
CLI = [
    ([], 2, r"no trace given"),
    (["-o"], 2, r"-o needs a file name"),
    (["-x", "loopback.trace"], 2, r"unknown option -x"),
    (["-"], 2, r"standard input as trace needs -o"),
    (["-o", "loopback.trace", "loopback.trace"], 2, r"is the trace"),
    (["-o", "./loopback.trace", "loopback.trace"], 2, r"is the trace"),
    (["-o", "OUT", "no-such.trace"], 1, r"cannot open no-such.trace"),
    (["-o", "OUT", "loopback.trace", "no-such.trace"], 1,
     r"cannot open no-such.trace(.|\n)*events to"),
    (["-o", "/nonexistent/dir/x.json", "loopback.trace"], 1,
     r"cannot write /nonexistent/dir/x.json"),
    (["--help"], 0, r"usage: netquill-timeline"),
]


def run(tool, args, cwd, stdin=None):
    return subprocess.run([tool] + args, cwd=cwd, capture_output=True,
                          stdin=stdin, timeout=120)


def exact(a):
    with tempfile.TemporaryDirectory() as work:
        for trace, expected in EXACT:
            out = os.path.join(work, expected)
            r = run(a.tool, ["-o", out, trace], DATA)
            check(r.returncode == 0, "%s: status %d" % (trace, r.returncode),
                  r.stderr)
            got = open(out, "rb").read()
            want = open(os.path.join(DATA, expected), "rb").read()
            check(got == want, "%s: timeline differs from %s" % (
                trace, expected), "\n".join(
                    "got  %s\nwant %s" % (g, w) for g, w in zip(
                        got.decode().splitlines(), want.decode().splitlines())
                    if g != w)[:2000])


def structure(a):
    """The checker on every trace of the tests' data that the library wrote
    (data/tricky.trace is made to break readers: its dumps stray from their
    calls, where netquill-json and the socket table read them differently)."""
    traces = [os.path.join(DATA, t) for t, _ in EXACT] + a.traces
    with tempfile.TemporaryDirectory() as work:
        for trace in traces:
            out = os.path.join(work, "t.json")
            r = run(a.tool, ["-o", out, trace], work)
            check(r.returncode == 0, "%s: status %d" % (trace, r.returncode))
            check_timeline.check_timeline(out, [trace], a.json_tool, a.calls)
        # Several files into one timeline: each keeps its processes apart.
        out = os.path.join(work, "all.json")
        r = run(a.tool, ["-o", out] + traces, work)
        check(r.returncode == 0, "all traces: status %d" % r.returncode)
        check_timeline.check_timeline(out, traces, a.json_tool, a.calls)


def cli(a):
    with tempfile.TemporaryDirectory() as work:
        for name in ("loopback.trace",):
            with open(os.path.join(DATA, name), "rb") as src, \
                    open(os.path.join(work, name), "wb") as dst:
                dst.write(src.read())
        for args, status, said in CLI:
            r = run(a.tool, args, work)
            err = r.stderr.decode()
            check(r.returncode == status and re.search(said, err),
                  "%s: status %d, said %r" % (args, r.returncode, err))
        check(open(os.path.join(work, "loopback.trace"), "rb").read() ==
              open(os.path.join(DATA, "loopback.trace"), "rb").read(),
              "a refused output changed its trace")
        # The same timeline on standard output, from standard input, and
        # beside the trace by default.
        with open(os.path.join(work, "loopback.trace"), "rb") as f:
            piped = run(a.tool, ["-o", "-", "-"], work, stdin=f).stdout
        run(a.tool, ["loopback.trace"], work)
        beside = open(os.path.join(work, "loopback.json"), "rb").read()
        want = open(os.path.join(DATA, "loopback.json"), "rb").read()
        check(beside == want, "the default output differs")
        check(piped == want.replace(b"loopback.trace", b"<stdin>"),
              "standard input to standard output differs")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def real_run(a):
    """curl fetches a page twice over one connection, half a second apart
    (--rate 2/s), from python3 -m http.server on loopback (HTTP/1.1, so
    that its worker thread waits in recv for the second request), each
    traced with dumps, times and labels (-T -y) into files of their own
    (-ff). The timeline of all of them holds both sides, its slices of
    the lines' durations, the socket tracks named by their labels, and
    each send joined to its receive."""
    if not a.run or not os.path.exists(a.run):
        print("SKIPPED: no netquill-run")
        return 77
    traced = [a.run, "-T", "-y", "-ff", "-f", "4", "-o"]
    with tempfile.TemporaryDirectory() as work:
        port = free_port()
        with open(os.path.join(work, "index.html"), "w") as f:
            f.write("hello from the traced server\n" * 20)
        server = subprocess.Popen(
            traced + [os.path.join(work, "srv.log"), "--", sys.executable,
                      "-m", "http.server", "-p", "HTTP/1.1", "--bind",
                      "127.0.0.1", str(port)], cwd=work,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(100):
                try:
                    socket.create_connection(("127.0.0.1", port), 0.1).close()
                    break
                except OSError:
                    time.sleep(0.1)
            url = "http://127.0.0.1:%d/" % port
            got = subprocess.run(
                traced + [os.path.join(work, "cli.log"), "--", "curl", "-s",
                          "--rate", "2/s", url, url],
                capture_output=True, timeout=60)
            check(got.stdout.count(b"hello from the traced server") == 40,
                  "curl fetched the page twice", got.stderr)
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)
        traces = sorted(os.path.join(work, f) for f in os.listdir(work)
                        if re.match(r"(srv|cli)\.log\.\d+$", f))
        check(len(traces) >= 2, "a trace file per process", traces)
        out = os.path.join(work, "run.json")
        r = run(a.tool, ["-o", out] + traces, work)
        check(r.returncode == 0, "status %d" % r.returncode, r.stderr)
        flows = check_timeline.check_timeline(out, traces, a.json_tool,
                                              a.calls)
        events = json.load(open(out))["traceEvents"]
        joined = [e for e in events if e["ph"] == "s" and
                  e["name"] == "bytes"]
        # Two requests, and the responses in one or more sends each.
        check(len(joined) >= 4 and flows >= 4,
              "sends joined to their receives: %d" % len(joined))
        timed = [e for e in events if e["ph"] == "X"]
        print("real run: %d events, %d flows, %d timed calls" % (
            len(events), flows, len(timed)))
        waited(a, events, traces, port)


def waited(a, events, traces, port):
    """The server's receive of the second request waited for curl's half
    second: its slice has the line's duration, on the worker thread that
    the accepted socket was handed to. The tracks of the listener and of
    both ends of the connection are named by their labels."""
    by_line = {(e["args"]["file"], e["args"]["line"]): e for e in events
               if e.get("cat") == "call" and e["ph"] in "Xi"}
    server = [t for t in traces if os.path.basename(t).startswith("srv")]
    calls = [(t, r) for t in server for r in records(a.json_tool, t)
             if r["type"] == "call"]
    accepts = [(t, r) for t, r in calls if r["call"] == "accept"]
    reads = [(t, r) for t, r in calls if r["call"] == "recv" and
             isinstance(r["result"], int) and r["result"] > 0]
    if not check(len(reads) == 2 and accepts,
                 "the two requests received: %d, %d accepts" % (
                     len(reads), len(accepts))):
        return
    trace, second = reads[1]
    wait = by_line.get((trace, second["line"]))
    # The connection's accept; the one before it is the check that the
    # server listens.
    accepted = [r for t, r in accepts if t == trace and
                r["line"] < reads[0][1]["line"]]
    accept = by_line.get((trace, accepted[-1]["line"])) if accepted else None
    check(second.get("duration_us", 0) >= 200000,
          "the second request's recv waited 0.2 s or more: %s us" %
          second.get("duration_us"))
    check(wait is not None and wait["ph"] == "X" and
          wait["dur"] == second.get("duration_us") and
          wait["ts"] % 86400000000 == second.get("start_us"),
          "its slice is the line's start and duration", wait)
    check(wait is not None and accept is not None and
          wait["tid"] != accept["tid"] and wait["pid"] == accept["pid"],
          "the recv is on another thread of the server than the accept",
          (wait, accept))
    names = [e["args"]["name"] for e in events
             if e["ph"] == "M" and e["name"] == "thread_name"]
    ends = r"127\.0\.0\.1:%d" % port
    client = [m.group(1) for m in (re.match(
        r"CURL socket \d+: TCP 127\.0\.0\.1:(\d+) -> %s$" % ends, n)
        for n in names) if m]
    check(len(client) == 1, "one track of curl's connection", names)
    for pattern in (r"PYTHON3 socket \d+: TCP %s$" % ends,
                    r"PYTHON3 socket \d+: TCP %s -> 127\.0\.0\.1:%s$" % (
                        ends, client[0] if client else "?")):
        check(sum(bool(re.match(pattern, n)) for n in names) == 1,
              "one track named %s" % pattern, names)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--json-tool", required=True)
    ap.add_argument("--calls", required=True)
    ap.add_argument("--run", help="netquill-run, for the real traced run")
    ap.add_argument("--only", nargs="*")
    ap.add_argument("traces", nargs="*")
    a = ap.parse_args()
    run_scenarios([("exact", exact), ("structure", structure), ("cli", cli),
                   ("real run", real_run)], a, only=a.only)
    return report()


if __name__ == "__main__":
    sys.exit(main())
