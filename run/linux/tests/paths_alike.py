#!/usr/bin/env python3
"""One program's socket calls traced through the interposer and at the
system calls: the lines and dumps are the same, but for the clock, the
ports and the pointers, which differ from run to run; the pointers each
path shows are the program's own. A static build of the program is traced
at the system calls by itself, with the same lines."""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "..", "tests", "support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402


def traced(run, program, work, name, options):
    """program: the command, the probe and its scenario."""
    path = os.path.join(work, name + ".log")
    if os.path.exists(path):
        os.remove(path)
    done = subprocess.run([run, "-o", path, "-f", "4"] + options + program,
                          capture_output=True, text=True, timeout=120)
    check(done.returncode == 0 and done.stderr == "", name + " ran",
          (done.returncode, done.stderr))
    text = open(path, "rb").read().decode("latin-1") if os.path.exists(
        path) else ""
    # Where the program's buffers lay, as it printed them.
    where = dict(re.findall(r"(\w+) (0x[0-9a-f]+)", done.stdout))
    for call, fd, rest in (("read", 5, ", 64)"), ("writev", 5, ", 2)"),
                           ("sendmsg", 4, ", NULL, 0)")):
        if "-e" in options and call == "read":
            continue
        line = "%s(%d, %s%s" % (call, fd, where.get(call, "?"), rest)
        check(line in text, name + ": " + call + "'s pointer", line)
    return text


def lines(text):
    """The lines without what differs between runs: the head of each call
    line (name, clock, elapsed time), the banner's process and date, ports
    and pointers."""
    out = []
    for line in text.splitlines():
        if line.startswith(" "):
            out.append(line.strip())  # a dump line, whole
            continue
        line = re.sub(r"^\S+ \d{6} \d{4} ", "", line)
        line = re.sub(r"process 0x[0-9A-F]+ trace on .*", "process", line)
        line = re.sub(r"0x[0-9a-f]+", "0x_", line)
        out.append(re.sub(r"(\d+\.\d+\.\d+\.\d+):\d+", r"\1:_", line))
    return out


def main():
    ap = argparse.ArgumentParser()
    for name in ("netquill-run", "program", "static-program", "work"):
        ap.add_argument("--" + name, required=True)
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    run = args.netquill_run
    program = [args.program, "every_call"]
    probe = subprocess.run([run, "-m", "syscalls", "-o", os.devnull, "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        print("SKIPPED: no system-call path here: " + probe.stderr.strip())
        return nqtest.SKIP
    for extra, name in (([], "all"), (["-e", "!read,recvmmsg", "-s", "3"],
                                      "some")):
        theirs = traced(run, program, args.work, name + "-preload",
                        ["-m", "preload"] + extra)
        ours = traced(run, program, args.work, name + "-syscalls",
                      ["-m", "syscalls"] + extra)
        check(len(lines(theirs)) > 40 and lines(ours) == lines(theirs),
              name + ": the same lines on both paths",
              "\n".join(lines(ours)) + "\n--\n" + "\n".join(lines(theirs)))
        if name == "all":
            static = traced(run, [args.static_program, "every_call"],
                            args.work, "static", [])
            check(lines(static) == lines(theirs), "static: the same lines",
                  "\n".join(lines(static)))
    # A receive done as another thread ends the process keeps its record,
    # though its thread dies before it returns (twenty tries at the race).
    for i in range(20):
        last = os.path.join(args.work, "lastword.log")
        if os.path.exists(last):
            os.remove(last)
        subprocess.run([run, "-m", "syscalls", "-f", "4", "-o", last,
                        args.program, "every_call", "lastword"], timeout=60)
        text = open(last).read() if os.path.exists(last) else ""
        if not check(re.search(r"recvfrom\(3, .*\) returned 4\n +0000  6C "
                               r"61 73 74 ", text), "the last word's record",
                     text):
            break
    # Under a file-size limit of 1 KiB both paths lose the same records,
    # and say how many.
    lost = []
    for path in ("preload", "syscalls"):
        limited = os.path.join(args.work, "limited.log")
        if os.path.exists(limited):
            os.remove(limited)
        done = subprocess.run(["sh", "-c", 'ulimit -f 1; exec "$@"', "sh", run,
                               "-m", path, "-f", "4", "-o", limited] + program,
                              capture_output=True, text=True,
                              timeout=60)
        lost.append(re.findall(r"(\d+) trace records could not be written",
                               done.stderr))
    check(lost[0] and lost[0] == lost[1], "the records lost, said alike", lost)
    said_of(run, program + ["io_uring"], "sets up io_uring: the "
            "socket operations it submits there are not traced")
    # A set-user-ID program a traced one starts runs without its rights,
    # as the launcher (here another user than the program's owner) says.
    chfn = "/usr/bin/chfn"
    if os.getuid() == 0 and os.path.exists(chfn) and \
            os.stat(chfn).st_mode & 0o4000:
        said_of(["setpriv", "--reuid=65534", "--regid=65534",
                 "--clear-groups", run],
                ["/bin/sh", "-c", chfn + " --help >/dev/null 2>&1"],
                "runs %s, set-user-ID, without its rights" % chfn)
    return nqtest.report()


def said_of(run, program, text):
    """What the launcher says of a program on the system-call path."""
    done = subprocess.run((run if isinstance(run, list) else [run]) +
                          ["-m", "syscalls", "-o", os.devnull] + program,
                          capture_output=True, text=True, timeout=60)
    check(text in done.stderr, "said: " + text, done.stderr)


if __name__ == "__main__":
    sys.exit(main())
