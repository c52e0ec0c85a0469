#!/usr/bin/env python3
"""Records through the memory netquill-run shares with the processes it
traces (NETQUILL_SHARED_RECORDS=1): a traced process writes nothing to the
trace file itself; every record whose call returned reaches the file
whatever is killed; a stalled launcher costs nothing; a daemon that
outlives the launcher keeps its records. The traced program is python3,
sending numbered datagrams to itself and printing each number once its
call has returned."""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "../../../tests/support"))
from nqtest import (check, each_once, records, report,  # noqa: E402
                    run_scenarios, sent_heads, wait_for, SKIP)

SENDER = r"""
import os, resource, socket, sys, time
n, pause, size = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
daemon = len(sys.argv) > 4
if daemon:
    if os.fork():
        os._exit(0)
    os.setsid()
    if os.fork():
        os._exit(0)
    time.sleep(0.3)
print(os.getpid(), flush=True)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
to = s.getsockname()
limit_at = int(os.environ.get("LIMIT_AT", "-1"))
for i in range(n):
    if i == limit_at:
        resource.setrlimit(resource.RLIMIT_FSIZE, (
            1, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
    s.sendto(b"%06d" % i + b"x" * (size - 6), to)
    s.getsockname()
    print(i, flush=True)
    if pause:
        time.sleep(pause)
if daemon:
    open(sys.argv[4], "w").write("done")
time.sleep(float(os.environ.get("REST", "0")))
"""


# The system's own: a version manager's shim in front of it is a shell
# script, whose own processes would trace as well.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else \
    "python3"


def env(shared=True, rest=0.0):
    e = dict(os.environ)
    e["NETQUILL_SHARED_RECORDS"] = "1" if shared else "0"
    e["REST"] = str(rest)
    return e


def launch(a, trace, n, pause=0.0, size=16, extra=(), shared=True,
           prefix=(), rest=0.0):
    return subprocess.Popen(
        list(prefix) + [a.run, "-o", trace, "-f", "4", "--", PYTHON, "-c",
                        SENDER, str(n), str(pause), str(size)] + list(extra),
        stdout=subprocess.PIPE, text=True, env=env(shared, rest))


def sent(a, trace):
    """The numbers of the datagrams the trace shows sent, in its order."""
    return [int(h) for h in sent_heads(a.json, trace, 6)]


def exactly(numbers, n, what, ordered=True):
    each_once(numbers, list(range(n)), what, ordered)


def gone(pid, seconds=20.0):
    end = time.time() + seconds
    while os.path.exists("/proc/%d" % pid) and time.time() < end:
        try:
            if open("/proc/%d/stat" % pid).read().split(") ")[1][0] == "Z":
                return True
        except OSError:
            return True
        time.sleep(0.02)
    return not os.path.exists("/proc/%d" % pid)


def no_writes(a, work):
    """Under strace: writes to our descriptors (at three quarters of the
    limit and up) from the traced process, none with the ring, all without
    it (so that the count is known to see them); and no system call of the
    guard that reads getsockname's length (on the caller's stack) either
    way."""
    counts = []
    guard = re.compile(r"(\d+) +(getpid|process_vm_readv)\(")
    for shared in (True, False):
        trace = os.path.join(work, "nw-%d.log" % shared)
        st = os.path.join(work, "nw-%d.strace" % shared)
        p = launch(a, trace, 200, prefix=[
            "strace", "-f", "-qq", "-e",
            "trace=write,getpid,process_vm_readv", "-o", st], shared=shared)
        out = p.communicate(timeout=60)[0].split()
        python = int(out[0])
        ours = re.compile(r"%d +write\((\d+)," % python)
        writes = [m for m in map(ours.match, open(st))
                  if m and int(m.group(1)) >= 700]
        counts.append(len(writes))
        guards = [m for m in map(guard.match, open(st))
                  if m and int(m.group(1)) == python]
        names = [r for r in records(a.json, trace)
                 if r.get("call") == "getsockname"]
        check(len(names) >= 201 and len(guards) <= 5,
              "getsockname read its length directly", (len(names),
                                                        len(guards)))
        exactly(sent(a, trace), 200, "shared" if shared else "held")
        check(python > 0, "the sender said its pid")
    check(counts[0] == 0 and counts[1] >= 200,
          "records written by the traced process: none through the ring",
          counts)


def program_killed(a, work):
    """kill -9 of the program mid-stream: every datagram it said was sent
    (its call had returned) is in the trace."""
    trace = os.path.join(work, "pk.log")
    p = launch(a, trace, 1000000)
    python = int(p.stdout.readline())
    said = -1
    while said < 3000:
        said = int(p.stdout.readline())
    # What the program holds of ours: the trace file, no more; the ring is
    # mapped without a descriptor.
    fds = "/proc/%d/fd" % python
    ours = [link for link in (os.readlink(os.path.join(fds, f))
                              for f in os.listdir(fds))
            if link == trace or "netquill" in link]
    check(ours == [trace] and "netquill-records" in
          open("/proc/%d/maps" % python).read(),
          "one descriptor of ours, the ring mapped", ours)
    os.kill(python, signal.SIGKILL)
    p.wait(timeout=30)
    for line in p.stdout:
        said = int(line)
    numbers = sent(a, trace)
    check(numbers[:said + 1] == list(range(said + 1)),
          "every datagram said sent is traced, in order", (said, numbers[-3:]))
    check(len(numbers) <= said + 2, "and none past the one in flight",
          (said, len(numbers)))


def launcher_killed(a, work):
    """kill -9 of the launcher, each record once:
    running   the program notices at its next record, writes what the ring
              still held and appends its later records itself;
    idle      the launcher was stopped before it wrote the program's 100
              records, and the program sleeps after them: the launcher's
              keeper writes them before the program makes another call;
    writing   8 KiB dumps as fast as they come, the launcher stopped and
              killed while it writes them (thrice; stopped, it ends its
              write first): what it wrote and had not given back to the
              ring is not written again."""
    for case, n, kill_after, pause, rest, size in (
            ("running", 400, 100, 0.002, 0, 16),
            ("idle", 100, 99, 0, 4.0, 16),
            ("writing 1", 3000, 1500, 0, 0, 8192),
            ("writing 2", 3000, 1500, 0, 0, 8192),
            ("writing 3", 3000, 1500, 0, 0, 8192)):
        trace = os.path.join(work, "lk-%s.log" % case)
        p = launch(a, trace, n, pause=pause, rest=rest, size=size)
        python = int(p.stdout.readline())
        if rest:
            os.kill(p.pid, signal.SIGSTOP)
        while int(p.stdout.readline()) < kill_after:
            pass
        if size != 16:
            os.kill(p.pid, signal.SIGSTOP)
            time.sleep(0.05)
        p.kill()
        p.wait(timeout=30)
        if rest:
            wait_for(lambda: sent(a, trace), n, 3)
            check(not gone(python, 0), "%s: the program still sleeps" % case)
            os.kill(python, signal.SIGKILL)
        else:
            p.stdout.read()
            check(gone(python), "%s: the program ran to its end" % case)
            # The keeper may still be writing what the ring held.
            wait_for(lambda: sent(a, trace), n, 5)
        # Once the launcher is gone, its keeper and the program write at
        # the same time: the order holds up to the kill only.
        exactly(sent(a, trace), n, "launcher killed, %s" % case,
                ordered=size == 16)


def launcher_stalled(a, work):
    """A launcher stopped while the program fills the ring with 4 KiB
    dumps: the program waits a little for each record, then appends it
    itself; once the launcher goes on, the ring's records follow."""
    trace = os.path.join(work, "ls.log")
    p = launch(a, trace, 400, size=4096)
    python = int(p.stdout.readline())
    os.kill(p.pid, signal.SIGSTOP)
    last = -1
    while last < 399:
        last = int(p.stdout.readline())
    check(gone(python, 60), "the program ran to its end while the launcher "
          "was stopped")
    os.kill(p.pid, signal.SIGCONT)
    p.wait(timeout=60)
    exactly(sent(a, trace), 400, "launcher stalled", ordered=False)


def file_limit(a, work):
    """A file-size limit the program sets itself holds for its records as
    for its files: those after it are not written, and said lost."""
    trace = os.path.join(work, "fl.log")
    e = env()
    e["LIMIT_AT"] = "50"
    done = subprocess.run([a.run, "-o", trace, "-f", "4", "--", PYTHON, "-c",
                           SENDER, "200", "0", "16"], capture_output=True,
                          text=True, env=e, timeout=60)
    exactly(sent(a, trace), 50, "file limit")
    check(re.search(r"\b(29[89]|30[0-9]) trace records could not be",
                    done.stderr), "the records past the limit said lost",
          done.stderr)


def daemon(a, work):
    """A daemon (two forks) sending after the program has ended: the
    launcher stays until it has ended too, and has all its records."""
    trace = os.path.join(work, "dm.log")
    done = os.path.join(work, "dm.done")
    p = launch(a, trace, 200, pause=0.002, extra=[done])
    p.wait(timeout=30)
    check(os.path.exists(done), "the launcher ended after the daemon")
    end = time.time() + 30
    while not os.path.exists(done) and time.time() < end:
        time.sleep(0.05)
    time.sleep(0.1)
    exactly(sent(a, trace), 200, "daemon")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--run", required=True)
    ap.add_argument("--json", required=True)
    ap.add_argument("--only", nargs="*")
    a = ap.parse_args()
    if subprocess.run([PYTHON, "-c", ""]).returncode != 0:
        print("SKIPPED: no python3")
        return 77
    with tempfile.TemporaryDirectory() as work:
        run_scenarios([("no writes", no_writes),
                       ("program killed", program_killed),
                       ("launcher killed", launcher_killed),
                       ("launcher stalled", launcher_stalled),
                       ("file limit", file_limit),
                       ("daemon", daemon)], a, work, only=a.only)
    return report()


if __name__ == "__main__":
    sys.exit(main())
