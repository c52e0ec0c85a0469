#!/usr/bin/env python3
"""Runs one socket program, built five ways, under 64-bit Wine: plainly,
through netquill-run, and built with netquill_wrap.h. Through the launcher
its output and exit code must be the plain run's, and its trace, line for
line, the wrapped build's (clock, elapsed time, pointers, handles and ports
masked). Also: a child process, one file per process, tracing switched
off, and a program of the other bitness."""
import argparse, glob, os, re, shutil, subprocess, sys

failures = []


def check(cond, message):
    if not cond:
        failures.append(message)


def mask(path):
    if not os.path.exists(path):
        check(False, "no trace " + path)
        return []
    lines = []
    for line in open(path, "rb").read().decode("latin-1").split("\r\n")[:-1]:
        line = re.sub(r"^(\S+) \d{6} \d{4,} ", r"\1 ", line)
        line = re.sub(r"0x[0-9a-fA-F]+", "0x?", line)
        line = re.sub(r"\d\d-\d\d-\d{4} \d\d:\d\d:\d\d", "<date>", line)
        line = re.sub(r"127\.0\.0\.1:\d\d+", "127.0.0.1:<port>", line)
        lines.append(re.sub(r"([(]|, |returned )\d{2,}\b(?! \()", r"\1<h>", line))
    return lines


def main():
    ap = argparse.ArgumentParser()
    for name in ("wine", "launcher", "inject", "netquill", "plain", "ordinal",
                 "late", "wsock32", "wrapped", "work"):
        ap.add_argument("--" + name, required=True)
    a = ap.parse_args()
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    env = {k: v for k, v in os.environ.items() if not k.startswith("NETQUILL")}
    env["WINEPREFIX"] = os.path.join(a.work, "prefix")
    # A wineserver of the test's own, with no pipe of the test's to hold.
    subprocess.Popen(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    app = os.path.join(a.work, "app")
    os.makedirs(app)
    for f in (a.launcher, a.inject, a.netquill):
        shutil.copy(f, app)
    exe = {}
    for kind in ("plain", "ordinal", "late", "wsock32", "wrapped"):
        os.makedirs(os.path.join(a.work, kind))
        exe[kind] = os.path.join(a.work, kind, "nqclient.exe")
        shutil.copy(getattr(a, kind), exe[kind])
    shutil.copy(a.netquill, os.path.join(a.work, "wrapped"))
    launcher = os.path.join(app, os.path.basename(a.launcher))

    def run(name, args, extra=None):
        out = os.path.join(a.work, name)
        with open(out + ".out", "wb") as o, open(out + ".err", "wb") as e:
            rc = subprocess.call([a.wine] + args, env=dict(env, **(extra or {})),
                                 stdin=subprocess.DEVNULL, stdout=o, stderr=e,
                                 timeout=60)
        return rc, open(out + ".out", "rb").read().decode("latin-1"), \
            open(out + ".err", "rb").read().decode("latin-1")

    def log(name):
        return "Z:" + os.path.join(a.work, name).replace("/", "\\")

    try:
        # The new prefix made whole before any program runs in it.
        run("wineboot", ["wineboot", "-i"])
        plain_out = {}
        for args, code in (([], 7), (["spawn"], 6)):
            tag = "".join(args)
            want_rc, want_out, _ = run("plain" + tag, [exe["plain"]] + args)
            plain_out[tag] = want_out
            check(want_rc == code and "refused: -1 10061 10061" in want_out,
                  "plain run %s: %d\n%s" % (tag, want_rc, want_out))
            run("wrapped" + tag, [exe["wrapped"]] + args,
                {"NETQUILL_FILE": log("wrapped%s.log" % tag),
                 "NETQUILL_FLAGS": "4"})
            want = mask(os.path.join(a.work, "wrapped%s.log" % tag))
            check(len(want) >= 8, "wrapped trace %s: %s" % (tag, want))
            for kind in (("plain", "ordinal", "late", "wsock32")
                         if not args else ("plain",)):
                name = kind + tag + "-traced"
                rc, out, err = run(name, [launcher, "-o", log(name + ".log"),
                                     "-f", "4", exe[kind]] + args)
                check(rc == code and out == want_out,
                      "%s: %d\n%s" % (name, rc, out))
                got = mask(os.path.join(a.work, name + ".log"))
                check(got == want, "%s trace:\n%s\nwanted\n%s" % (
                    name, "\n".join(got), "\n".join(want)))
        # One file per process: the two processes' lines split between two.
        rc, out, err = run("ff", [launcher, "-ff", "-f", "4", "-o", log("ff.log"),
                             exe["plain"], "spawn"])
        files = sorted(glob.glob(os.path.join(a.work, "ff.log.*")))
        split = [mask(f) for f in files]
        check(rc == 6 and len(files) == 2 and
              all(s and "started process" in s[0] for s in split) and
              sorted(sum(split, [])) == sorted(want),
              "-ff: %d, %s: %s" % (rc, files, split))
        # Loaded but tracing nothing.
        rc, out, err = run("off", [launcher, "-o", log("off.log"), exe["plain"]],
                      {"NETQUILL_TRACE": "0"})
        check(rc == 7 and out == plain_out[""],
              "NETQUILL_TRACE=0: %d\n%s" % (rc, out))
        check(not os.path.exists(os.path.join(a.work, "off.log")),
              "NETQUILL_TRACE=0 wrote a trace")
        # A 32-bit program: its header says so, and nothing is started.
        other = os.path.join(a.work, "old.exe")
        with open(other, "wb") as f:
            f.write(b"MZ" + b"\0" * 58 + b"\x40\0\0\0" + b"PE\0\0\x4c\x01" +
                    b"\0" * 256)
        rc, out, err = run("bitness", [launcher, other])
        check(rc == 126 and "old.exe is a 32-bit program; trace it with the "
              "32-bit netquill-run" in err, "bitness: %d %r" % (rc, err))
    finally:
        subprocess.call(["wineserver", "-k"], env=env)
    for f in failures:
        print("FAIL:", f)
    print("%s: %d checks failed" % ("FAILED" if failures else "OK",
                                    len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
