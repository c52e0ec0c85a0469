#!/usr/bin/env python3
"""Records through the section netquill-run.exe shares with the processes
it traces (the default), under Wine: the probe's stream
scenario sends numbered datagrams from its threads and prints each number
once its call has returned; every such record reaches the trace once,
whatever is stopped or killed."""
import argparse
import os
import re
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "../../../tests/support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402


def ring_env(w):
    """The test's Wine, the ring as by default."""
    return {k: v for k, v in w.env.items() if k != "NETQUILL_SHARED_RECORDS"}


def numbers(count):
    return [(0, i) for i in range(count)]


def launch(w, name, threads, count, size, pause=0, end_at=0):
    """The launcher running the probe's stream, told to start; its
    process and the trace's path."""
    a = w.a
    trace = os.path.join(a.work, name + ".log")
    p = subprocess.Popen(
        [a.wine, a.launcher, "-o", w.win_path(name + ".log"), "-f", "4",
         a.probe, "stream", str(threads), str(count), str(size), str(pause),
         str(end_at)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, env=ring_env(w))
    check(p.stdout.readline().startswith("ready"), "%s: the probe ran" % name)
    return p, trace


def tell(p):
    p.stdin.write("go\n")
    p.stdin.flush()


def said(p, until=None):
    """The (thread, number) pairs the probe printed, up to until or its
    "done" or its end."""
    out = []
    for line in p.stdout:
        if line.strip() == "done":
            break
        out.append(tuple(map(int, line.split())))
        if out[-1] == until:
            break
    return out


def sent(w, trace):
    """The (thread, number) pairs of the datagrams the trace shows sent."""
    return [(int(h[:2]), int(h[2:])) for h in nqtest.sent_heads(w.a.json,
                                                               trace, 8)]


def wait_for(w, trace, n, seconds=30):
    return nqtest.wait_for(lambda: sent(w, trace), n, seconds)


def stalled(w):
    """A launcher stopped: the records stay in the ring until the ring is
    full, then the probe waits a little for each and appends it itself;
    once the launcher goes on, it writes the ring's records while the
    program still runs."""
    p, trace = launch(w, "stalled", 1, 300, 4096)
    os.kill(p.pid, signal.SIGSTOP)
    tell(p)
    first = said(p, until=(0, 20))
    check(len(first) == 21 and sent(w, trace) == [],
          "records wait in the ring for a stopped launcher",
          len(sent(w, trace)))
    said(p)
    own = len(sent(w, trace))
    check(0 < own < 300, "a full ring: the probe appended some itself", own)
    os.kill(p.pid, signal.SIGCONT)
    got = wait_for(w, trace, 300)
    check(p.poll() is None, "written while the program runs")
    nqtest.each_once(got, numbers(300), "stalled", ordered=False)
    tell(p)
    check(p.wait(timeout=30) == 0, "the probe's exit code")


def terminated(w):
    """TerminateProcess while four threads send: every record whose call
    returned is traced, at most one more a thread, none torn; the records
    the threads had begun and not finished, if any, reported lost."""
    p, trace = launch(w, "terminated", 4, 1000000, 16, end_at=4000)
    tell(p)
    out = said(p)
    check(p.wait(timeout=30) == 9, "the launcher gives the program's code")
    got = sent(w, trace)  # netquill-json reads every line whole
    nqtest.each_once([x for x in got if x in set(out)], out, "terminated")
    check(len(got) <= len(out) + 4, "none past the calls in flight",
          (len(got), len(out)))
    err = p.stderr.read()
    lost = re.findall(r"^netquill-run: (\d+) trace records? could not be "
                      r"written to .*terminated\.log$", err, re.M)
    check(err.count("could not be written") == len(lost) and
          sum(map(int, lost)) <= 4, "at most one lost a thread", err)


def launcher_killed(w):
    """The launcher stopped, then killed, with records in the ring that it
    had not written:
    running  the probe notices at a record, writes what the ring held and
             appends its later records itself;
    blocked  the probe has made its last call (said "done") and waits for
             a line: it writes them while it waits."""
    for case, count, kill_at in (("running", 300, (0, 100)),
                                 ("blocked", 100, None)):
        p, trace = launch(w, "killed-" + case, 1, count, 16, pause=2)
        tell(p)
        said(p, until=(0, 50))
        os.kill(p.pid, signal.SIGSTOP)
        said(p, until=kill_at)
        os.kill(p.pid, signal.SIGKILL)
        if kill_at:
            said(p)
        else:  # before the probe ends
            nqtest.each_once(wait_for(w, trace, count, 10), numbers(count),
                             "launcher killed, blocked, waiting")
        tell(p)
        p.stdout.read()
        p.wait(timeout=30)
        nqtest.each_once(wait_for(w, trace, count, 10), numbers(count),
                         "launcher killed, " + case)


def attached(w):
    """netquill-run -p: the process attached to hands its records to the
    launcher through its ring too (a stopped launcher leaves them there);
    detached   the launcher goes on, writes them, and detaches as before;
    killed     the process writes them itself once the launcher is gone."""
    a, env = w.a, ring_env(w)
    for ending in ("detached", "killed"):
        trace = os.path.join(a.work, "attached-%s.log" % ending)
        probe = subprocess.Popen(
            [a.wine, a.probe, "stream", "1", "50", "16", "0"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        pid = int(probe.stdout.readline().split()[1])
        launcher = subprocess.Popen(
            [a.wine, a.launcher, "-o", w.win_path(os.path.basename(trace)),
             "-f", "4", "-p", str(pid)],
            stdin=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        said_attached = launcher.stderr.readline()
        check(said_attached == "netquill-run: attached to %d\n" % pid,
              "attached", said_attached)
        os.kill(launcher.pid, signal.SIGSTOP)
        tell(probe)
        out = said(probe)
        check(len(out) == 50 and sent(w, trace) == [],
              "records wait in the ring for a stopped launcher",
              len(sent(w, trace)))
        if ending == "detached":
            os.kill(launcher.pid, signal.SIGCONT)
        else:
            os.kill(launcher.pid, signal.SIGKILL)
        nqtest.each_once(wait_for(w, trace, 50), out, "attached, " + ending)
        if ending == "detached":
            launcher.stdin.close()
            check(launcher.wait(timeout=30) == 0 and launcher.stderr.read() ==
                  "netquill-run: detached from %d\n" % pid, "detached")
        tell(probe)
        check(probe.wait(timeout=30) == 0, "the probe's exit code")
        launcher.wait(timeout=30)


def main():
    ap = argparse.ArgumentParser()
    for name in ("wine", "launcher", "inject", "json", "probe", "work"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--only", nargs="*")
    a = ap.parse_args()
    a.programs, a.runtime = "", ""
    nqtest.launcher_work(a)
    with nqtest.Wine(a.wine, a.work) as w:
        w.a = a
        nqtest.run_scenarios([("stalled", stalled),
                              ("terminated", terminated),
                              ("launcher killed", launcher_killed),
                              ("attached", attached)],
                             w, only=a.only)
    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
