#!/usr/bin/env python3
"""netquill-run on real programs of the system: curl fetching a page from
python's http.server on 127.0.0.1, compared with strace watching the same
run; and what a user relies on: exit codes, errors, children, settings."""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trace_read  # noqa: E402
from trace_read import nqtest  # noqa: E402
from nqtest import SKIP, check  # noqa: E402

# A traced process's first line; the version is filled in from the command
# line.
BANNER = "INF: started process 0x? trace on <date> [%s]"
JSON = None  # netquill-json, from the command line


class Server:
    """python3 -m http.server on 127.0.0.1, on a port the system picks."""

    def __init__(self, directory, prefix=()):
        self.proc = subprocess.Popen(
            list(prefix) + [sys.executable, "-u", "-m", "http.server", "0",
                            "--bind", "127.0.0.1", "--directory", directory],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
            env=clean_env())
        line = self.proc.stdout.readline()
        m = re.search(r"port (\d+)", line)
        if m is None:
            self.proc.kill()
            raise RuntimeError("http.server did not start: %r" % line)
        self.url = "http://127.0.0.1:%s/" % m.group(1)

    def stop(self):
        # SIGTERM, which a launcher passes on and ends after, once the
        # records of the program are in its trace.
        self.proc.terminate()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def clean_env(**extra):
    env = dict(os.environ)
    for key in ("NETQUILL_FILE", "NETQUILL_FLAGS", "NETQUILL_TRACE",
                "LD_PRELOAD"):
        env.pop(key, None)
    env.update(extra)
    return env


def run(cmd, cwd, env=None):
    return subprocess.run(cmd, cwd=cwd, env=env or clean_env(),
                          capture_output=True, timeout=120)


def page_bytes():
    # Every byte value, so the dumps are compared on more than text.
    return bytes(range(256)) * 12 + b"end of page\n"


def compare_with_strace(args, work, server):
    probe = run(["strace", "-f", "-o", os.devnull, "true"], work)
    if probe.returncode != 0:
        print("SKIPPED: strace cannot trace here (ptrace not permitted?): %s"
              % probe.stderr.decode(errors="replace").strip())
        return SKIP
    trace = os.path.join(work, "curl.trace")
    slog = os.path.join(work, "curl.strace")
    out = os.path.join(work, "page.out")
    proc = run(["strace", "-f", "-o", slog, "-e", "trace=network,close",
                "-e", "read=all", "-e", "write=all", args.netquill_run,
                "-o", trace, "-f", "4", "curl", "-s", "-o", out,
                server.url + "page.bin"], work)
    check(proc.returncode == 0, "curl under both exited %d: %s"
          % (proc.returncode, proc.stderr))
    check(os.path.exists(out) and open(out, "rb").read() == page_bytes(),
          "curl did not fetch the page whole")
    ours = trace_read.read_netquill(JSON, trace)
    theirs = trace_read.read_strace(slog)
    check(len(ours) >= 1, "no socket in the trace")
    check(any(page_bytes() in bytes(s.received) for s in ours),
          "the page is not in the received stream of the trace")
    check(len(ours) == len(theirs), "%d sockets traced, strace saw %d"
          % (len(ours), len(theirs)))
    for i, (a, b) in enumerate(zip(ours, theirs)):
        check(a.fd == b.fd and a.family == b.family,
              "socket %d: fd %d %s against %d %s" % (i, a.fd, a.family, b.fd,
                                                      b.family))
        check(a.results == b.results, "socket %d results: %s against %s"
              % (i, a.results, b.results))
        check(a.sent == b.sent, "socket %d: %d bytes sent, strace saw %d"
              % (i, len(a.sent), len(b.sent)))
        check(a.received == b.received, "socket %d: %d bytes received, "
              "strace saw %d" % (i, len(a.received), len(b.received)))
    if args.probe:
        system_calls_per_record(args.netquill_run, args.probe, work)
    return 0


def system_calls_per_record(nqr, probe, work):
    """2,000 sends traced cost at most two system calls each (the held
    file's fstat and the write, or the launcher's own passes over the
    ring of records), besides some 100 for the start."""
    trace, counts = os.path.join(work, "count.trace"), []
    for cmd in ([probe, "hostile", "c"],
                [nqr, "-o", trace, probe, "hostile", "c"]):
        out = os.path.join(work, "count.strace")
        run(["strace", "-f", "-c", "-o", out] + cmd, work)
        total = [l.split() for l in open(out) if l.rstrip().endswith("total")]
        counts.append(int(total[-1][3]) if total else 0)
    records = len(open(trace, "rb").read().split(b"\r\n")) - 1
    check(records == 2002 and 0 < counts[1] - counts[0] <= 2 * records + 300,
          "%d records cost %d system calls, %d without them" % (
              records, counts[1], counts[0]))


def lines_of(path, module=True):
    """The trace's records as lines, "MODULE TAG: text" (nqtest.lines)."""
    return nqtest.lines(JSON, path, module)


# behaviour: what a user relies on, one scenario each. Each takes the
# command line, the work directory and the server of page.bin.

def refused_connect(args, work, server):
    """A refused connect: curl's own exit code, the error in the trace."""
    nqr = args.netquill_run
    plain = run(["curl", "-s", "http://127.0.0.1:1/"], work)
    traced = run([nqr, "-o", "refused.trace", "curl", "-s",
                  "http://127.0.0.1:1/"], work)
    check(traced.returncode == plain.returncode == 7,
          "refused: curl exits %d, under netquill-run %d"
          % (plain.returncode, traced.returncode))
    text = "\n".join(lines_of(os.path.join(work, "refused.trace")))
    # curl's connect does not block: under way is a warning, not an error.
    check(re.search(r"WRN: connect\(\d+, 127\.0\.0\.1:1, 16\) returned -1 "
                    r"\[115\]", text), "refused connect line:\n" + text)


def children_in_one_file(args, work, server):
    """A relative -o is the launch directory's, also for children that
    change directory; each process has its own banner in one file."""
    nqr, url = args.netquill_run, server.url + "page.bin"
    sub = os.path.join(work, "sub")
    os.makedirs(sub)
    script = "cd / && curl -s %s >/dev/null && curl -s %s >/dev/null" % (
        url, url)
    proc = run([nqr, "-o", "children.trace", "--", "sh", "-c", script], sub)
    check(proc.returncode == 0, "sh -c exited %d" % proc.returncode)
    path = os.path.join(sub, "children.trace")
    lines = lines_of(path)
    banners = [l for l in lines if " INF: started process " in l]
    check(len(banners) == 2 and all(l.startswith("CURL ") for l in banners)
          and banners[0] != banners[1], "children: banners %s" % banners)
    check(len([l for l in lines if "INF: socket(2, 1, 6)" in l]) == 2,
          "children: two sockets expected:\n" + "\n".join(lines))


def fork_without_exec(args, work, server):
    """The child's calls are traced under its own banner into the same
    file."""
    code = ("import os, socket\n"
            "s = socket.socket()\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    socket.socket(socket.AF_INET, socket.SOCK_DGRAM).close()\n"
            "    os._exit(0)\n"
            "os.waitpid(pid, 0)\n"
            "s.close()\n")
    proc = run([args.netquill_run, "-o", "fork.trace", sys.executable, "-c",
                code], work)
    check(proc.returncode == 0, "fork program exited %d: %s"
          % (proc.returncode, proc.stderr))
    texts = lines_of(os.path.join(work, "fork.trace"), module=False)
    pids = [re.search(r"process (0x[0-9A-Fa-f]+)", t).group(1)
            for t in texts if "started process" in t]
    check(len(set(pids)) == 2, "fork: two processes expected: %s" % texts)
    # Python asks for close-on-exec in the type: 0x80000 | 1 or 2.
    check([t for t in texts if t.startswith("INF: socket(2, ")] ==
          [t for t in texts if re.match(r"INF: socket\(2, 5242(?:89|90), 0\) "
                                        r"returned \d+$", t)] and
          len([t for t in texts if t.startswith("INF: socket(")]) == 2,
          "fork: parent's and child's sockets: %s" % texts)
    check(len([t for t in texts if t.startswith("INF: closesocket(")]) == 2,
          "fork: both closes traced: %s" % texts)


def errors_only_flags(args, work, server):
    """Errors only, flags in hex: a blocking connect refused is an error,
    a non-blocking one under way a warning that flags 1 leaves out."""
    refuse = ("import socket; socket.socket().connect_ex(('127.0.0.1', 1)); "
              "s = socket.socket(); s.setblocking(False); "
              "s.connect_ex(('127.0.0.1', 1))")
    for flags, want in (("0x1", ["ERR: connect"]),
                        ("2", ["ERR: connect", "WRN: connect"])):
        name = "errors%s.trace" % flags
        run([args.netquill_run, "-o", name, "-f", flags, sys.executable, "-c",
             refuse], work)
        got = [l[:12] for l in lines_of(os.path.join(work, name), False)
               if "connect(" in l]
        check(got == want, "flags %s wrote %s" % (flags, got))


def trace_off(args, work, server):
    """NETQUILL_TRACE=0: loaded, nothing written, same result."""
    off = os.path.join(work, "off.trace")
    proc = subprocess.run([args.netquill_run, "-o", off, "curl", "-s",
                           server.url + "page.bin"], cwd=work,
                          env=clean_env(NETQUILL_TRACE="0"),
                          capture_output=True, timeout=120)
    check(proc.returncode == 0 and proc.stdout == page_bytes(),
          "NETQUILL_TRACE=0 changed curl's output")
    check(not os.path.exists(off), "NETQUILL_TRACE=0 wrote a trace")


def errno_as_seen(args, work, server):
    """errno as the program sees it, traced, loaded idle, and untraced."""
    plain = run([args.probe, "errno"], work)
    for name, env in (("probe.trace", clean_env()),
                      ("probe-off.trace", clean_env(NETQUILL_TRACE="0"))):
        proc = subprocess.run([args.netquill_run, "-o", name, args.probe,
                               "errno"],
                              cwd=work, env=env, capture_output=True,
                              timeout=60)
        check(proc.stdout == plain.stdout and proc.returncode == 0,
              "%s: the program saw other results:\n%s\nagainst\n%s" % (
                  name, proc.stdout.decode(), plain.stdout.decode()))
    check(not os.path.exists(os.path.join(work, "probe-off.trace")),
          "NETQUILL_TRACE=0 wrote a trace")
    side = dict(re.findall(r"(\w+) (\S+)", plain.stderr.decode()))
    want = [BANNER,
            "INF: socket(2, 1, 0) returned %s" % side.get("socket"),
            "INF: getsockname(%s, 0.0.0.0:0, 0x?) returned 0" % side.get(
                "socket"),
            "INF: ioctlsocket(%s, 0x?, 0x?) returned 0" % side.get("socket"),
            "ERR: connect(%s, 127.0.0.1:1, 16) returned -1 [111]" % side.get(
                "socket"),
            "INF: closesocket(%s) returned 0" % side.get("socket"),
            BANNER,
            'INF: gethostname(0x? ("%s"), 256) returned 0' % side.get("host")]
    got = []
    for line in lines_of(os.path.join(work, "probe.trace"), module=False):
        text = re.sub(r"0x[0-9a-fA-F]+", "0x?", line)
        got.append(re.sub(r"\d\d-\d\d-\d{4} \d\d:\d\d:\d\d", "<date>",
                          text))
    check(got == want, "probe trace:\n  got  %s\n  want %s" % (got, want))


def installed(args, work, server):
    """Installed, the launcher finds its interposer in lib from bin."""
    if not args.build_dir:
        return SKIP
    prefix = os.path.join(work, "prefix")
    proc = run([args.cmake, "--install", args.build_dir, "--prefix", prefix,
                "--component", "library"], work)
    check(proc.returncode == 0, "install failed: %s" % proc.stderr)
    launcher = os.path.join(prefix, "bin", "netquill-run")
    proc = run([launcher, "-o", "installed.trace", "curl", "-s",
                server.url + "page.bin"], work)
    check(proc.returncode == 0 and proc.stdout == page_bytes(),
          "installed netquill-run: exit %d %s" % (proc.returncode,
                                                   proc.stderr))
    lines = lines_of(os.path.join(work, "installed.trace"))
    check(any(l.startswith("CURL INF: recv(") for l in lines),
          "installed netquill-run traced no recv: %s" % lines)


def default_file(args, work, server):
    """Nothing set: the library's default file in the temporary
    directory."""
    tmp = os.path.join(work, "tmpdir")
    os.makedirs(tmp)
    proc = subprocess.run([args.netquill_run, "curl", "-s",
                           server.url + "page.bin"], cwd=work,
                          env=clean_env(TMPDIR=tmp), capture_output=True,
                          timeout=120)
    lines = lines_of(os.path.join(tmp, "NQSPOOL.LOG"))
    check(proc.returncode == 0 and any(" INF: recv(" in l for l in lines),
          "no default trace in $TMPDIR: %s" % lines)


def static_program(args, work, server):
    """A static program is traced at its system calls without a word; made
    to take the preload (-m preload), which it cannot, it is said to run
    untraced, and runs all the same. A dynamic one runs without a word."""
    nqr = args.netquill_run
    static = shutil.which("ldconfig") or "/sbin/ldconfig"
    if os.path.exists(static):
        proc = run([nqr, "-o", "static.trace", static, "--version"], work)
        check(proc.returncode == 0 and proc.stderr == b"",
              "static program: exit %d, %r" % (proc.returncode, proc.stderr))
        proc = run([nqr, "-m", "preload", "-o", "static.trace", static,
                    "--version"], work)
        check(proc.returncode == 0 and b"statically linked" in proc.stderr
              and b"runs untraced" in proc.stderr,
              "static program, -m preload: exit %d, %r" %
              (proc.returncode, proc.stderr))
    proc = run([nqr, "-o", "dynamic.trace", "true"], work)
    check(proc.stderr == b"", "a dynamic program warned: %r" % proc.stderr)


def server_side(args, work, server):
    """The server side: python accepts with accept4, traced as accept."""
    traced_server = Server(work, (args.netquill_run, "-o",
                                  os.path.join(work, "server.trace")))
    try:
        proc = run(["curl", "-s", traced_server.url + "page.bin"], work)
    finally:
        traced_server.stop()
    check(proc.stdout == page_bytes(), "page from the traced server")
    text = "\n".join(lines_of(os.path.join(work, "server.trace")))
    m = re.search(r"INF: accept\((\d+), 127\.0\.0\.1:\d+, 0x[0-9a-f]+\) "
                  r"returned (\d+)", text)
    check(m is not None, "server: no accept line:\n" + text)
    if m:
        check(re.search(r"INF: recv\(%s, " % m.group(2), text) and
              re.search(r"INF: send\(%s, " % m.group(2), text),
              "server: no recv and send on the accepted socket:\n" + text)


def fortified_receives(args, work, server):
    """The checked receive functions of a fortified build."""
    if not args.probe:
        return SKIP
    proc = run([args.netquill_run, "-o", "fortified.trace", "-f", "4",
                args.probe, "fortified_recv"], work)
    check(proc.returncode == 0, "fortified program failed")
    text = "\n".join(lines_of(os.path.join(work, "fortified.trace")))
    check(re.search(r"INF: recv\(\d+, 0x[0-9a-f]+, 15, 0\) returned 7\n"
                    r"  dump %s" % b"checked".hex(), text) and
          re.search(r"INF: recvfrom\(\d+, 0x[0-9a-f]+, 15, 0, "
                    r"127\.0\.0\.1:\d+, 0x[0-9a-f]+\) returned 4\n"
                    r"  dump %s" % b"from".hex(), text),
          "fortified receives not traced:\n" + text)


def short_addresses(args, work, server):
    """Out-addresses of two bytes at the end of a page: the program runs as
    it does alone, and the lines show only what the calls wrote."""
    if not args.probe:
        return SKIP
    plain = run([args.probe, "short_address"], work)
    proc = run([args.netquill_run, "-o", "short.trace", args.probe,
                "short_address"], work)
    check(proc.returncode == plain.returncode == 0 and
          proc.stdout == plain.stdout,
          "short addresses: exit %d, %r against %r" % (
              proc.returncode, proc.stdout, plain.stdout))
    texts = lines_of(os.path.join(work, "short.trace"), module=False)
    for call in ("getsockname(5, ", "getpeername(5, ", "accept(3, ",
                 "recvfrom(4, 0x"):
        got = [t for t in texts if t.startswith("INF: " + call)]
        check(len(got) >= 1 and all(SHORT_ADDRESS.search(t) for t in got),
              "short address of %s: %s" % (call, got))


def long_paths(args, work, server):
    """Paths the library would cut are refused before anything runs; with
    -ff the .PID must fit too."""
    nqr = args.netquill_run
    deep = os.path.join(work, "d" * max(1, 200 - len(work)))
    os.makedirs(deep)
    fits = "f" * (255 - len(deep) - 1)
    for cmd, env, want in (
            ([nqr, "-o", fits + "xx", "true"], {}, 2),
            ([nqr, "true"], {"NETQUILL_FILE": fits + "xx"}, 2),
            ([nqr, "-ff", "-o", fits[:-7], "true"], {}, 2),
            ([nqr, "-ff", "true"], {}, 2),
            ([nqr, "-o", fits, "true"], {}, 0)):
        proc = subprocess.run(cmd, cwd=deep, env=clean_env(**env),
                              capture_output=True, timeout=60)
        check(proc.returncode == want and
              (want == 0) == (proc.stderr == b""),
              "path %s %s: exit %d %r" % (cmd[1:3], env, proc.returncode,
                                          proc.stderr))
    # The accepted file is made at the start, empty: `true` made no call.
    check(os.listdir(deep) == [fits] and
          os.path.getsize(os.path.join(deep, fits)) == 0,
          "a refused path wrote: %s" % os.listdir(deep))
    proc = subprocess.run([sys.executable, "-c", "import socket; "
                           "socket.socket().close(); print('ran')"],
                          cwd=deep, capture_output=True, timeout=60,
                          env=clean_env(NETQUILL_FILE=os.path.join(
                              deep, fits + "xx"),
                                        LD_PRELOAD=preload_of(nqr)))
    check(proc.stdout == b"ran\n" and b"nothing is traced" in proc.stderr and
          os.listdir(deep) == [fits], "preload with a long NETQUILL_FILE: %r %r"
          % (proc.stdout, proc.stderr))


def usage_errors(args, work, server):
    """Usage errors and a program that is not there."""
    nqr = args.netquill_run
    for cmd, want in (([nqr], 2), ([nqr, "-f", "12x", "true"], 2),
                      ([nqr, "-o", "", "true"], 2),
                      ([nqr, "--bogus", "true"], 2),
                      ([nqr, "no-such-program-here"], 127),
                      ([nqr, "--", "false"], 1)):
        rc = run(cmd, work).returncode
        check(rc == want, "%s exited %d, expected %d" % (cmd[1:], rc, want))


def hostile_scenario(args, work, server):
    if not args.probe:
        return SKIP
    return hostile_calls(args.netquill_run, args.probe, work)


EST = {"TZ": "EST5EDT,M3.2.0,M11.1.0"}
HOSTILE = [  # case, options, environment, lines wanted ({p} a pointer, {n}
    # no dump follows), unwanted: run as it runs alone, traced as it did
    ("t", "-f 4", {}, [r"recv\(5, {p}, 4, 32\) returned 4{n}",
     r"recvmsg\(5, {p}, NULL, 32\) returned 4{n}", r"recvfrom\(5, {p}, 4, "
     r"32, NULL, 0x0\) returned 4{n}", r"recvmmsg\(5, {p}, NULL, 32\) "
     r"returned 4{n}", r"recv\(6, {p}, 4, 32\) returned 10\n +0000  30 31 32 "
     r"33  +0123{n}"], "5A 5A"),
    ("f", "", {}, [r"accept\(3, <0 bytes>, {p}\) returned -1 \[11]",
     r"getpeername\(3, <0 bytes>, {p}\) returned -1", r"recvfrom\(4, {p}, 4,"
     r" 64, <0 bytes>, {p}\) returned -1", r"recvmsg\(4, {p}, <0 bytes>, 64\)",
     r"recvmmsg\(4, {p}, 2000, 64\) returned -1"], r"10\.1\.2\.3|^(?!NQ-S)"),
    ("e", "", {}, [r"bind\(4, <0 bytes>, 16\) returned -1 \[14]",
     r"connect\(5, <0 bytes>, 16\) returned -1 \[14]", r"sendmsg\(3, {p}, "
     r"<0 bytes>, 0\) returned -1 \[14]", r"sendto\(3, {p}, 1, 0, <0 bytes>, "
     r"16\) returned -1 \[14]", r"recvmsg\(3, {p}, <0 bytes>, 64\) returned "
     r"-1 \[14]", r"recvmmsg\(3, {p}, 1, 64\) returned -1 \[14]",
     r"getsockname\(3, <0 bytes>, {p}\) returned -1 \[14]", r"recvfrom\(3, {p}, "
     r"4, 64, <0 bytes>, {p}\) returned -1 \[11]", r"accept\(6, <0 bytes>, {p}\)"
     r" returned -1 \[11]\n.*accept\(6, <0 bytes>, {p}\) returned -1 \[11]",
     r"getpeername\(6, <0 bytes>, {p}\) returned -1 \[107]",
     r"connect\(-1, <0 bytes>, 16\) returned -1 \[9]", r"bind\(0, <0 bytes>, "
     r"16\) returned -1 \[88]", r"sendto\(-1, {p}, 1, 0, <0 bytes>, 16\) "
     r"returned -1 \[9]", r"sendmsg\(-1, {p}, <0 bytes>, 0\) returned -1 \[9]",
     r"recvmsg\(0, {p}, <0 bytes>, 0\) returned -1 \[88]",
     r"recvmmsg\(3, {p}, 66, 64\) returned -1 \[11]"], ""),
] + [("z", "", env, [], "") for env in (
    EST, dict(EST, NETQUILL_TRACE="0"), {"TZ": ":/dev/stdin"},
    {"TZ": "{work}/fifo"}, {"TZ": "fifo", "TZDIR": "{work}"})] + [
    ("a", "-f %d" % f, {}, [r"write\(3, {p}, 4\) returned 4" + dump], "")
    for f, dump in ((0, "{n}"), (4, r"\n +0000  5A 5A 5A 5A  "))] + [
    ("a", "-f %d" % f, {}, [r"ERR: send\(-1, {p}, 1, 0\)"], "") for f in (1, 7)] + [
    # Past the file-size limit: the banner and six lines lost, said once on
    # netquill-run's standard error; the program ends as it does alone.
    ("l" + end, opts, {}, [], "", "netquill-run: 7 trace records could not be "
     "written to {log}%s\n" % suffix) for end in ("0", "3", "-15", "-9")
    for opts, suffix in (("", ""), ("-ff", ".PID files"))]


def hostile_calls(nqr, probe, work):
    link = os.path.join(work, "nq-started-as")  # traced by this name
    os.symlink(probe, link), os.mkfifo(os.path.join(work, "fifo"))
    for i, (case, opts, env, wanted, unwanted, *said) in enumerate(HOSTILE):
        log, got = os.path.join(work, "hostile%d.trace" % i), []
        env = clean_env(**{k: v.format(work=work) for k, v in env.items()})
        for cmd in ([link, "hostile", case],
                    [nqr, "-o", log] + opts.split() + [link, "hostile", case]):
            try:
                p = subprocess.run(cmd, input=b"in\n", env=env, cwd=work,
                                   capture_output=True, timeout=20)
                got.append((p.returncode, p.stdout))
            except subprocess.TimeoutExpired:
                got.append("timed out")
        if said:
            check(p.stderr.decode() == said[0].format(log=log), "hostile %s "
                  "%s said %r" % (case, opts, p.stderr))
        lines = open(log, "rb").read().decode("latin-1").split("\r\n")[:-1] \
            if os.path.exists(log) else []  # as written, dump lines too
        text = "".join(re.sub(r"^\S+ \d{6} \d{4,} ", "", l) + "\n" for l in lines)
        missing = [w for w in wanted if not re.search(
            w.format(p="0x[0-9a-f]+", n=r"\n(?! )"), text)]
        check(got[0] == got[1] and not missing and not (unwanted and re.search(
            unwanted, "\n".join(lines), re.M)), "hostile %s %s: %s, %s in\n%s"
              % (case, env.get("TZ"), got, missing, text))
    # A signal sent to netquill-run reaches the program, once.
    p = subprocess.Popen([nqr, link, "hostile", "w"], stdout=subprocess.PIPE,
                         cwd=work, env=clean_env())
    ready = p.stdout.readline()
    p.send_signal(signal.SIGTERM)
    out = ready + p.communicate(timeout=30)[0]
    check((p.returncode, out) == (4, b"ready\ngot 15\n"),
          "SIGTERM to netquill-run: %s %r" % (p.returncode, out))
    # Started with SIGCHLD ignored, it still learns how the program ended.
    p = subprocess.run([nqr, link, "hostile", "l3"], cwd=work, env=clean_env(),
                       capture_output=True, preexec_fn=lambda: signal.signal(
                           signal.SIGCHLD, signal.SIG_IGN))
    check(p.returncode == 3, "SIGCHLD ignored: exit %d" % p.returncode)


SHORT_ADDRESS = re.compile(r"\(\d+, (?:0x[0-9a-f]+, 1, 0, )?<2 bytes>, 0x")


def preload_of(nqr):
    """The interposer: beside netquill-run, or at the build tree's top."""
    for place in (".", os.path.join("..", "..")):
        path = os.path.join(os.path.dirname(nqr), place,
                            "libnetquill-preload.so")
        if os.path.exists(path):
            return os.path.normpath(path)
    return None


MODERN = r"""
import ctypes, os, select, socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
select.select([s], [], [], 0.2)
a, b = socket.socketpair()
a.send(b"pair")
b.recv(4)
socket.socket(socket.AF_UNIX).bind("\0nq-abstract")
socket.socket(socket.AF_INET6).bind(("::1", 0))
socket.getaddrinfo("localhost", 80, socket.AF_INET, socket.SOCK_STREAM)
socket.getnameinfo(("127.0.0.1", 80), socket.NI_NUMERICHOST | 2)
for ask in (lambda: socket.getaddrinfo("nx.invalid", 80,
                                       flags=socket.AI_NUMERICHOST),
            lambda: socket.getservbyname("nq-no-such", "tcp")):
    try:
        ask()
    except OSError:
        pass
c, d = socket.socketpair()
with open("page.txt", "wb") as f:
    f.write(b"sent by sendfile")
with open("page.txt", "rb") as f:
    c.sendfile(f)
r, w = os.pipe()
os.write(w, b"spliced")
os.splice(r, c.fileno(), 7)
d.recv(64)
libc = ctypes.CDLL(None)
libc.fdopen.restype = ctypes.c_void_p
fd = socket.socket().detach()
libc.fclose(ctypes.c_void_p(libc.fdopen(fd, b"w")))
reused = os.open("reused.txt", os.O_WRONLY | os.O_CREAT, 0o600)
print(reused == fd, os.write(reused, b"file bytes, not socket data"))
"""


def modern_calls(args, work, server):
    """The calls of a modern program: select's timeout as passed, a
    socketpair's traffic, AF_UNIX and IPv6 addresses, name lookups and
    their codes, sendfile and splice into a socket (sendfile's dump read
    back from its file, none for splice),
    and a descriptor the C library reused for a file."""
    proc = run([args.netquill_run, "-o", "modern.trace", "-f", "4", sys.executable, "-c",
                MODERN], work)
    check(proc.stdout == b"True 27\n", "modern: %r %r" % (proc.stdout,
                                                          proc.stderr))
    text = "\n".join(lines_of(os.path.join(work, "modern.trace"), False))
    p = r"0x[0-9a-f]+"
    for want in (r"select\(\d+, %s, %s, %s, 0:200000\) returned" % (p, p, p),
                 r"socketpair\(1, 524289, 0, \[(\d+), (\d+)\]\) returned 0",
                 r"send\(\d+, %s, 4, 0\) returned 4\n  dump 70616972" % p,
                 r"recv\(\d+, %s, 4, 0\) returned 4\n  dump 70616972" % p,
                 r'bind\(\d+, "@nq-abstract", 14\) returned 0',
                 r"bind\(\d+, \[::1\]:0, 28\) returned 0",
                 r'getaddrinfo\("localhost", "80"\) returned 0 \(127\.0\.0\.1:80',
                 r'WRN: getaddrinfo\("nx\.invalid", "80"\) returned -2 \[11001\]',
                 r'getnameinfo\(127\.0\.0\.1:80, 16, 3\) returned 0 '
                 r'\("127\.0\.0\.1", "80"\)',
                 r"sendfile\((\d+), \d+, %s, 16\) returned 16\n"
                 r"  dump %s\n\S[\s\S]*"
                 r"splice\(\d+, 0x0, \1, 0x0, 7, 0\) returned 7\n\S" % (
                     p, b"sent by sendfile".hex()),
                 r'WRN: getservbyname\("nq-no-such", "tcp"\) returned NULL '
                 r"\[11004\]"):
        check(re.search(want, text), "modern: no %s in\n%s" % (want, text))
    check(b"file bytes".hex() not in text and "write(" not in text,
          "modern: a file's bytes traced as socket data:\n" + text)


def file_capabilities(args, work, server):
    """A copy of curl with a file capability, run as nobody: the loader
    runs it in secure mode, so netquill-run says it runs untraced."""
    nqr = args.netquill_run
    tools = [shutil.which(t) for t in ("setcap", "setpriv", "curl")]
    if os.geteuid() != 0 or None in tools:
        print("skipped: file capabilities need root, setcap and setpriv")
        return SKIP
    place = tempfile.mkdtemp(prefix="nqcap-")
    try:
        os.chmod(place, 0o755)
        for f in (nqr, preload_of(nqr), tools[2]):
            shutil.copy(f, place)
        prog = os.path.join(place, "curl")
        proc = run([tools[0], "cap_net_bind_service+ep", prog], work)
        if proc.returncode != 0:
            print("skipped: setcap failed here: %r" % proc.stderr)
            return SKIP
        proc = run([tools[1], "--reuid=nobody", "--regid=nogroup",
                    "--clear-groups", os.path.join(place, "netquill-run"),
                    "-o", "/dev/null", prog, "--version"], place)
        check(proc.returncode == 0 and b"has file capabilities" in proc.stderr
              and b"runs untraced" in proc.stderr,
              "file capabilities: exit %d %r" % (proc.returncode, proc.stderr))
    finally:
        shutil.rmtree(place, ignore_errors=True)


BEHAVIOUR = [
    ("refused_connect", refused_connect),
    ("children_in_one_file", children_in_one_file),
    ("fork_without_exec", fork_without_exec),
    ("errors_only_flags", errors_only_flags),
    ("trace_off", trace_off),
    ("errno_as_seen", errno_as_seen),
    ("installed", installed),
    ("default_file", default_file),
    ("static_program", static_program),
    ("server_side", server_side),
    ("fortified_receives", fortified_receives),
    ("short_addresses", short_addresses),
    ("long_paths", long_paths),
    ("file_capabilities", file_capabilities),
    ("modern_calls", modern_calls),
    ("hostile_calls", hostile_scenario),
    ("usage_errors", usage_errors),
]
MODES = {"strace": [("curl_against_strace", compare_with_strace)],
         "behaviour": BEHAVIOUR}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--netquill-run", required=True)
    ap.add_argument("--netquill-json", required=True,
                    help="the trace reader the checks read traces through")
    ap.add_argument("--work", required=True)
    ap.add_argument("--probe", help="nq_probe: errno, fortified_recv, "
                    "short_address and hostile")
    ap.add_argument("--build-dir", help="a build to install and run from")
    ap.add_argument("--cmake", default="cmake")
    ap.add_argument("--version", required=True,
                    help="the version the library reports, as 4.0.4000")
    ap.add_argument("--scenario", action="append",
                    help="run only this scenario (repeatable)")
    ap.add_argument("--calls", required=True, help="netquill_calls.txt")
    ap.add_argument("mode", choices=sorted(MODES))
    args = ap.parse_args()
    trace_read.read_calls(args.calls)
    global BANNER, JSON
    BANNER = BANNER % args.version
    JSON = args.netquill_json
    for tool in ("curl",) + (("strace",) if args.mode == "strace" else ()):
        if shutil.which(tool) is None:
            print("SKIPPED: %s is not installed (scripts/install-deps.sh)"
                  % tool)
            return SKIP
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    with open(os.path.join(args.work, "page.bin"), "wb") as f:
        f.write(page_bytes())
    server = Server(args.work)
    try:
        status = nqtest.run_scenarios(MODES[args.mode], args, args.work,
                                      server, only=args.scenario)
    finally:
        server.stop()
    return SKIP if status == SKIP else nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
