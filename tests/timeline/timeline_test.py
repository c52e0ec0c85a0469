#!/usr/bin/env python3
"""netquill-timeline: exact output for small traces (a call of each kind, a
track per thread and per socket, counters, both kinds of flow, midnight, a
-ff file's process id), what must hold of any output (check_timeline.py)
on those and on the checked-in traces, the command line's statuses, and,
with --run, a real traced loopback HTTP exchange, both ends traced."""
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
from nqtest import check, report, run_scenarios  # noqa: E402
import check_timeline  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

# (trace in data/, its expected timeline in data/)
EXACT = [
    ("loopback.trace", "loopback.json"),
    ("iocp.log.4242", "iocp.json"),
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
    """curl fetches a page from python3 -m http.server on loopback, each
    traced with dumps into files of their own (-ff); the timeline of all
    of them holds both sides and joins each send to its receive."""
    if not a.run or not os.path.exists(a.run):
        print("SKIPPED: no netquill-run")
        return 77
    with tempfile.TemporaryDirectory() as work:
        port = free_port()
        with open(os.path.join(work, "index.html"), "w") as f:
            f.write("hello from the traced server\n" * 20)
        server = subprocess.Popen(
            [a.run, "-ff", "-f", "4", "-o", os.path.join(work, "srv.log"),
             "--", sys.executable, "-m", "http.server", "--bind",
             "127.0.0.1", str(port)], cwd=work, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        try:
            for _ in range(100):
                try:
                    socket.create_connection(("127.0.0.1", port), 0.1).close()
                    break
                except OSError:
                    time.sleep(0.1)
            got = subprocess.run(
                [a.run, "-ff", "-f", "4", "-o", os.path.join(work, "cli.log"),
                 "--", "curl", "-s", "http://127.0.0.1:%d/index.html" % port],
                capture_output=True, timeout=60)
            check(b"hello from the traced server" in got.stdout,
                  "curl fetched the page", got.stderr)
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
        # The request, and the response in one or more sends.
        check(len(joined) >= 2 and flows >= 2,
              "sends joined to their receives: %d" % len(joined))
        timed = [e for e in events if e["ph"] == "X"]
        print("real run: %d events, %d flows, %d timed calls" % (
            len(events), flows, len(timed)))


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
