#!/usr/bin/env python3
"""Runs a program linked against wsock32 alone under Wine, first with the
system's library, then with the drop-in WSOCK32.DLL and NETQUILL.DLL beside
it (the drop-in preferred, as a user would run it), and checks that the
program sees the same results and error codes, and that the trace holds
every call, line for line, with its dumps."""
import argparse
import getpass
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tests", "support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402

MODULE = "NQ_LEGACY_CLIENT"
JSON = None  # netquill-json, the trace reader


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(args, directory, env_extra):
    env = dict(os.environ)
    for key in ("NETQUILL_FILE", "NETQUILL_FLAGS", "NETQUILL_TRACE",
                "NETQUILL_PER_PROCESS"):
        env.pop(key, None)
    env.update(env_extra)
    exe = os.path.join(directory, os.path.basename(args.program))
    proc = subprocess.run([args.wine, exe], cwd=directory, env=env,
                          capture_output=True, text=True, timeout=240)
    check(proc.returncode == 0, "%s exited %d" % (directory, proc.returncode))
    return proc.stdout, proc.stderr


def lay_out(args, name, with_dropin, with_netquill):
    directory = os.path.join(args.work, name)
    os.makedirs(directory)
    shutil.copy(args.program, directory)
    if with_dropin:
        shutil.copy(args.dropin, os.path.join(directory, "WSOCK32.DLL"))
    if with_netquill:
        shutil.copy(args.netquill, os.path.join(directory, "NETQUILL.DLL"))
    return directory


def dump(data):
    """A record's dump as nqtest.lines gives it."""
    return ["  dump " + data.hex()]


# A thread's first line; the version is filled in from the command line.
BANNER = "INF: started process 0x? trace on <date> [%s]"


def expected_trace(side, labelled=False):
    """The lines of the main thread and of the second one, with each
    socket's label after it as NETQUILL_SOCKET_LABELS=1 has them when
    labelled."""
    lst, cli, srv, port, cport = side["handles"]
    hello = b"hello, wsock32"
    reply = b"0123456789abcdef-reply"
    ref, rport = side["refused"]

    def tcp(handle, *ports):
        """A socket, labelled: its own address, then its peer's."""
        if not labelled:
            return "%d" % handle
        return "%d<TCP%s>" % (handle, ":[%s]" % "->".join(
            "127.0.0.1:%d" % p for p in ports) if ports else "")
    L, C, S = tcp(lst, port), tcp(cli, cport, port), tcp(srv, port, cport)
    R = tcp(ref, rport)
    lines = [
        BANNER,
        "INF: socket(2, 1, 0) returned %s" % tcp(lst),
        "INF: bind(%s, 127.0.0.1:0, 16) returned 0" % L,
        "INF: listen(%s, 5) returned 0" % L,
        "INF: getsockname(%s, 127.0.0.1:%d, 0x?) returned 0" % (L, port),
        "INF: socket(2, 1, 0) returned %s" % tcp(cli),
        "INF: connect(%s, 127.0.0.1:%d, 16) returned 0" % (C, port),
        "INF: accept(%s, 127.0.0.1:%d, 0x?) returned %s" % (L, cport, S),
        "INF: send(%s, 0x?, 14, 0) returned 14" % C, *dump(hello),
        "INF: select(0, 0x?, 0x?, 0x?, 5:0) returned 1",
        "INF: recv(%s, 0x?, 64, 0) returned 14" % S, *dump(hello),
        "INF: send(%s, 0x?, 22, 0) returned 22" % S, *dump(reply),
        "INF: recv(%s, 0x?, 64, 0) returned 22" % C, *dump(reply),
        "INF: setsockopt(%s, 65535, 4102, 0x?, 4) returned 0" % C,
        "ERR: recv(%s, 0x?, 64, 0) returned -1 [10060]" % C,
        "INF: setsockopt(%s, 0, 7, 0x?, 4) returned 0" % C,
        "INF: getsockopt(%s, 0, 7, 0x?, 0x?) returned 0" % C,
        "INF: shutdown(%s, 1) returned 0" % C,
        "INF: recv(%s, 0x?, 64, 0) returned 0" % S,
        # A closed socket's line has the label it had last, once.
        "INF: closesocket(%s) returned 0" % S,
        "INF: closesocket(%s) returned 0" % C,
        "INF: closesocket(%s) returned 0" % L,
        "ERR: closesocket(%d) returned -1 [10038]" % lst,
        "INF: socket(2, 1, 0) returned %s" % tcp(ref),
        "ERR: connect(%s, 127.0.0.1:1, 16) returned -1 [10061]" % R,
        "INF: getsockname(%s, 127.0.0.1:%d, 0x?) returned 0" % (R, rport),
        "INF: closesocket(%s) returned 0" % R,
        'INF: gethostbyname("localhost") returned 127.0.0.1 (localhost)',
        # The second thread's trace starts with its own first call.
        BANNER,
        'INF: gethostname(0x? ("%s"), 256) returned 0' % side["host"],
        "ERR: socket(2, 12345, 0) returned INVALID_SOCKET [10044]",
    ]
    return lines


def masked_trace(path):
    """The trace's records (nqtest.lines) with the module name checked and
    pointers and dates replaced."""
    out = []
    with open(path, "rb") as f:
        raw = f.read().split(b"\r\n")
    check(raw[-1] == b"" and not any(b"\n" in l for l in raw),
          "trace lines end in CR LF")
    dumps = [l for l in raw if l.startswith(b" ")]
    check(all(l.startswith(b" " * (len(MODULE) + 1) + b"0") for l in dumps),
          "dump lines indented to the clock column: %r" % dumps[:2])
    for line in nqtest.lines(JSON, path):
        if not line.startswith(" "):
            check(line.startswith(MODULE + " "), "module name in %r" % line)
            line = line[len(MODULE) + 1:]
        line = re.sub(r"0x[0-9a-fA-F]+", "0x?", line)
        out.append(re.sub(r"\d\d-\d\d-\d{4} \d\d:\d\d:\d\d", "<date>",
                          line))
    return out


def side_values(stderr):
    side = {}
    m = re.search(r"handles (-?\d+) (-?\d+) (-?\d+) port (\d+) client (\d+)",
                  stderr)
    side["handles"] = tuple(int(g) for g in m.groups()) if m else (0,) * 5
    m = re.search(r"refused (-?\d+) port (\d+)", stderr)
    side["refused"] = tuple(int(g) for g in m.groups()) if m else (0, 0)
    m = re.search(r"host (\S+)", stderr)
    side["host"] = m.group(1) if m else ""
    check(all(k in side for k in ("handles", "refused", "host")),
          "program's side values: %r" % stderr)
    return side


WORKERS = 8


def check_workers(got, what):
    """The lines of the threads that ran at once, in any order between the
    threads: each thread's banner, socket, close, failed socket and failed
    close, with its own error codes."""
    patterns = {
        "banner": re.escape(BANNER) + "$",
        "socket": r"INF: socket\(2, 1, 0\) returned (\d+)$",
        "close": r"INF: closesocket\((\d+)\) returned 0$",
        "bad": r"ERR: socket\(2, 12345, 0\) returned INVALID_SOCKET \[10044\]$",
        "again": r"ERR: closesocket\(-1\) returned -1 \[10038\]$",
    }
    counts = dict.fromkeys(patterns, 0)
    for line in got:
        kind = [k for k, p in patterns.items() if re.match(p, line)]
        check(len(kind) == 1, "%s: unexpected line %r" % (what, line))
        if kind:
            counts[kind[0]] += 1
    check(all(n == WORKERS for n in counts.values()),
          "%s: counts %s, expected %d each" % (what, counts, WORKERS))


def compare_lines(got, want, what):
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            check(False, "%s line %d:\n  got  %r\n  want %r" % (what, i + 1, g, w))
            return
    check(len(got) == len(want), "%s has %d lines, expected %d:\n%s" % (
        what, len(got), len(want), "\n".join(got[len(want):] or want[len(got):])))


# NETQUILL_CALL_TIMES and NETQUILL_SOCKET_LABELS, alone and together, as
# netquill-run.exe -T and -y: (name, environment, timed, labelled).
VIEWS = (
    ("times", {"NETQUILL_CALL_TIMES": "1"}, True, False),
    ("labels", {"NETQUILL_SOCKET_LABELS": "1"}, False, True),
    ("both", {"NETQUILL_CALL_TIMES": "1", "NETQUILL_SOCKET_LABELS": "1"},
     True, True),
)
# A timed call line: the start to the microsecond in the clock's place, the
# duration at the end; and a label after a socket's number.
TIMED = re.compile(r"(%s \d{6})\.(\d{6})( \d{4,} (?:INF|ERR): .*) "
                   r"<(\d+\.\d{6})>" % MODULE)
LABEL = re.compile(r"(\d)<TCP(?::\[(?:(?!\]>).)*\])?>")


def seconds(clock):
    """HHMMSS as seconds of the day."""
    return int(clock[:2]) * 3600 + int(clock[2:4]) * 60 + int(clock[4:6])


def check_views(args, directory, env, want_out):
    """The lines as -T and -y write them: exact labels (the text as the
    trace reader gives it), every call line and no other timed, the receive
    that waits 200 ms said to, and less both, the trace of a plain run."""
    for name, extra, timed, labelled in VIEWS:
        log = os.path.join(directory, name + ".log")
        out, err = run(args, directory, dict(env, NETQUILL_FILE=wine_path(log),
                                             NETQUILL_FLAGS="4", **extra))
        compare_lines(out.splitlines(), want_out.splitlines(), name + " stdout")
        if not os.path.exists(log):
            check(False, "%s: no trace written" % name)
            continue
        side = side_values(err)
        want = expected_trace(side, labelled)
        compare_lines(masked_trace(log)[:len(want)], want, name)
        with open(log, "rb") as f:
            raw = f.read().decode("latin-1").split("\r\n")[:-1]
        plain, took, late, wrong = [], [], [], []
        started = seconds(raw[0][len(MODULE) + 1:][:6])
        for line in raw:
            m = TIMED.fullmatch(line)
            call = not line.startswith(" ") and " started process " not in line
            if bool(m) != (timed and call):
                wrong.append(line)
            if m:
                # Started after the first banner's second, within the run.
                if not 0 <= (seconds(m.group(1)[-6:]) - started) % 86400 < 60:
                    late.append(line)
                line = m.group(1) + m.group(3)
                took.append((m.group(3).split(": ", 1)[1], float(m.group(4))))
            plain.append(LABEL.sub(r"\1", line))
        check(not wrong, "%s: %d lines %s: %s" % (
            name, len(wrong), "untimed" if timed else "timed", wrong[:3]))
        check(not late, "%s: starts far from the banner's clock: %s" % (
            name, late[:3]))
        waited = [t for text, t in took if text.startswith("recv(")
                  and text.endswith("[10060]")]
        check(not timed or (len(waited) == 1 and waited[0] >= 0.2),
              "%s: the receive that waits 200 ms took %s" % (name, waited))
        stripped = os.path.join(directory, name + "-stripped.log")
        with open(stripped, "wb") as f:
            f.write("\r\n".join(plain + [""]).encode("latin-1"))
        lines = masked_trace(stripped)
        plain_want = expected_trace(side)
        compare_lines(lines[:len(plain_want)], plain_want, name + " less both")
        check_workers(lines[len(plain_want):], name + " workers")


def check_launched(args, directory, want_out, full):
    """The program beside the drop-in and NETQUILL.DLL, run through
    netquill-run.exe: the trace as the drop-in alone writes it, or as the
    launcher's -e and -s cut it, each record once."""
    launcher_dir = os.path.join(args.work, "launcher")
    os.makedirs(launcher_dir)
    for f in (args.launcher, args.inject):
        shutil.copy(f, launcher_dir)
    launcher = os.path.join(launcher_dir, os.path.basename(args.launcher))
    exe = os.path.join(directory, os.path.basename(args.program))
    env = dict(os.environ, WINEDLLOVERRIDES="wsock32=n,b;mscoree,mshtml=")
    for key in ("NETQUILL_FILE", "NETQUILL_FLAGS", "NETQUILL_TRACE",
                "NETQUILL_PER_PROCESS", "NETQUILL_DUMP_MAX", "NETQUILL_CALLS"):
        env.pop(key, None)
    for name, options, left_out, limit in (
            ("launched", [], (), 0),
            ("launched-cut", ["-s", "2", "-e", "!select,closesocket"],
             ("select", "closesocket"), 2)):
        log = os.path.join(directory, name + ".log")
        proc = subprocess.run(
            [args.wine, launcher, "-o", wine_path(log), "-f", "4"] + options +
            [exe], cwd=directory, env=env, capture_output=True, text=True,
            timeout=240)
        compare_lines(proc.stdout.splitlines(), want_out.splitlines(),
                      name + " stdout")
        if not os.path.exists(log):
            check(False, "%s: no trace written: %s" % (name, proc.stderr))
            continue
        recs = nqtest.records(JSON, log)
        want = nqtest.cut_view(full, left_out, limit)
        got = nqtest.cut_view(recs)
        check(got == want, "%s: %d calls and %d dumps, expected %d and %d" % (
            name, len(got[0]), len(got[1]), len(want[0]), len(want[1])))
        if not left_out:
            lines = masked_trace(log)
            want_lines = expected_trace(side_values(proc.stderr))
            compare_lines(lines[:len(want_lines)], want_lines, name)
            check_workers(lines[len(want_lines):], name + " workers")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--wine", required=True)
    ap.add_argument("--program", required=True)
    ap.add_argument("--dropin", required=True)
    ap.add_argument("--netquill", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--launcher", required=True,
                    help="netquill-run.exe, with NQINJECT.DLL")
    ap.add_argument("--inject", required=True)
    ap.add_argument("--prefix", default=os.environ.get(
        "WINEPREFIX", os.path.expanduser("~/.wine")),
        help="the Wine prefix the --wine wrapper runs in")
    ap.add_argument("--netquill-json", required=True,
                    help="the trace reader the checks read traces through")
    ap.add_argument("--version", required=True,
                    help="the version the library reports, as 4.0.4000")
    args = ap.parse_args()
    global BANNER, JSON
    BANNER = BANNER % args.version
    JSON = args.netquill_json
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    # The drop-in beside the program is chosen over the system's library:
    # it must reach ws2_32.dll by its full path, never back to itself.
    prefer = {"WINEDLLOVERRIDES": "wsock32=n,b;mscoree,mshtml="}

    plain = lay_out(args, "plain", False, False)
    want_out, _ = run(args, plain, {})
    check("done" in want_out, "plain run did not finish:\n" + want_out)
    check("connect refused: -1 10061" in want_out, "refused connect code")

    traced = lay_out(args, "traced", True, True)
    trace = os.path.join(traced, "trace.log")
    out, err = run(args, traced, dict(prefer, NETQUILL_FILE=wine_path(trace),
                                      NETQUILL_FLAGS="4"))
    compare_lines(out.splitlines(), want_out.splitlines(), "traced stdout")
    check(out.count(": 0 -1 10044 -1 10038") == WORKERS,
          "workers' results and error codes:\n" + out)
    if os.path.exists(trace):
        lines = masked_trace(trace)
        want = expected_trace(side_values(err))
        compare_lines(lines[:len(want)], want, "trace")
        check_workers(lines[len(want):], "workers' trace")
    else:
        check(False, "no trace written")

    check_views(args, traced, prefer, want_out)

    # Errors only, given in hexadecimal: no banners, no successful calls.
    errors = os.path.join(traced, "errors.log")
    out, err = run(args, traced, dict(prefer, NETQUILL_FILE=wine_path(errors),
                                      NETQUILL_FLAGS="0x1"))
    compare_lines(out.splitlines(), want_out.splitlines(), "flags 1 stdout")
    if os.path.exists(errors):
        want = [l for l in expected_trace(side_values(err))
                if l.startswith("ERR")]
        lines = masked_trace(errors)
        compare_lines(lines[:len(want)], want, "errors-only trace")
        tail = sorted(lines[len(want):])
        check(len(tail) == 2 * WORKERS and all(l.startswith("ERR: ")
                                               for l in tail),
              "workers' errors-only trace: %s" % tail)
    else:
        check(False, "no errors-only trace written")

    # Nothing set: traced with the defaults, to NQSPOOL.LOG in the
    # temporary directory, which under Wine lies in the prefix.
    temp = os.path.join(args.prefix, "drive_c", "users", getpass.getuser(), "Temp")
    if os.path.isdir(temp):
        default = os.path.join(temp, "NQSPOOL.LOG")

        def ours():
            if not os.path.exists(default):
                return 0
            with open(default, "rb") as f:
                return sum(1 for l in f if l.startswith(MODULE.encode()))
        before = ours()
        out, err = run(args, traced, prefer)
        compare_lines(out.splitlines(), want_out.splitlines(),
                      "defaults stdout")
        lines = [l for l in expected_trace(side_values(err))
                 if not l.startswith(" ")]
        check(ours() - before == len(lines) + 5 * WORKERS,
              "default trace grew by %d lines, expected %d" % (
                  ours() - before, len(lines) + 5 * WORKERS))
    else:
        print("default file not checked: no %s" % temp)

    # NETQUILL_DUMP_MAX and NETQUILL_CALLS, read by the drop-in itself: the
    # calls left out have no line, each dump its first 2 bytes and a count.
    if os.path.exists(trace):
        full = nqtest.records(JSON, trace)
        cut_log = os.path.join(traced, "cut.log")
        run(args, traced, dict(prefer, NETQUILL_FILE=wine_path(cut_log),
                               NETQUILL_FLAGS="4", NETQUILL_DUMP_MAX="2",
                               NETQUILL_CALLS="!select,closesocket"))
        want = nqtest.cut_view(full, ("select", "closesocket"), 2)
        check(nqtest.cut_view(nqtest.records(JSON, cut_log)) == want and
              want != nqtest.cut_view(full) and any(n for _, n in want[1]),
              "NETQUILL_DUMP_MAX=2, NETQUILL_CALLS: %r" % cut_log)

    # Loaded but tracing nothing.
    off = os.path.join(traced, "off.log")
    out, _ = run(args, traced, dict(prefer, NETQUILL_FILE=wine_path(off),
                                    NETQUILL_FLAGS="4", NETQUILL_TRACE="0"))
    compare_lines(out.splitlines(), want_out.splitlines(), "trace=0 stdout")
    check(not os.path.exists(off), "NETQUILL_TRACE=0 wrote a trace")

    # One file per process, as netquill-run -ff: FILE.PID, never FILE.
    split = os.path.join(traced, "split.log")
    run(args, traced, dict(prefer, NETQUILL_FILE=wine_path(split),
                           NETQUILL_PER_PROCESS="1"))
    split_files = [f for f in os.listdir(traced) if f.startswith("split.log")]
    check(len(split_files) == 1 and
          re.fullmatch(r"split\.log\.[1-9]\d*", split_files[0]),
          "NETQUILL_PER_PROCESS=1 wrote %s" % split_files)

    # Under netquill-run, beside the drop-in: each call once, as the
    # launcher's -o, -f, -e and -s ask, never once more by the drop-in.
    if os.path.exists(trace):
        check_launched(args, traced, want_out, nqtest.records(JSON, trace))

    # Without NETQUILL.DLL the drop-in only passes the calls on.
    alone = lay_out(args, "alone", True, False)
    out, _ = run(args, alone, dict(prefer, NETQUILL_FILE=wine_path(
        os.path.join(alone, "none.log"))))
    compare_lines(out.splitlines(), want_out.splitlines(), "no-library stdout")
    check(not os.listdir(alone) or "none.log" not in os.listdir(alone),
          "a trace without NETQUILL.DLL")

    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
