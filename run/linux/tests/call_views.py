#!/usr/bin/env python3
"""netquill-run -T and -y on both paths: the lines of a program's sockets
(TCP, UDP on ::1, a UNIX socket) carry each call's start to the
microsecond and its duration, and each socket's protocol and addresses,
exactly; a receive that waits 200 ms for nothing says so; the lines of a
run without the options are the same lines without them."""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "..", "tests", "support"))
from nqtest import check, report, run_scenarios, split_views  # noqa: E402

PROGRAM = """import os, socket, struct, sys
srv = socket.socket(); srv.bind(("127.0.0.1", 0)); srv.listen(1)
c = socket.socket(); c.connect(srv.getsockname()); s, _ = srv.accept()
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO,
             struct.pack("ll", 0, 200000))
try:
    s.recv(16)
except OSError:
    pass
c.send(b"hi"); s.recv(16)
u6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM); u6.bind(("::1", 0))
u6.sendto(b"x", u6.getsockname())
un = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
un.bind(os.path.join(sys.argv[1], "u.sock"))
print(srv.fileno(), c.fileno(), s.fileno(), u6.fileno(), un.fileno(),
      srv.getsockname()[1], c.getsockname()[1], u6.getsockname()[1])
for x in (c, s, srv, u6, un): x.close()
"""

P = "0x[0-9a-f]+"  # a pointer: the program's own, different each run
LABELS = {
    "srv": "<TCP:[127.0.0.1:{port}]>",
    "c": "<TCP:[127.0.0.1:{cport}->127.0.0.1:{port}]>",
    "s": "<TCP:[127.0.0.1:{port}->127.0.0.1:{cport}]>",
    "u6": "<UDPv6:[[::1]:{p6}]>",
    "un": "<UNIX:[{dir}/u.sock]>",
}
# Each line the program's calls must leave, after its tag, in this order;
# {x!} is socket x with its label under -y. The second form is the
# system-call path's, where it differs.
LINES = [
    ("INF: socket(2, 524289, 0) returned {srv}<TCP>", None),
    ("INF: bind({srv!}, 127.0.0.1:0, 16) returned 0", None),
    ("INF: listen({srv!}, 1) returned 0", None),
    ("INF: connect({c!}, 127.0.0.1:{port}, 16) returned 0", None),
    ("INF: accept({srv!}, 127.0.0.1:{cport}, {P}) returned {s!}", None),
    ("WRN: recv({s!}, {P}, 16, 0) returned -1 [11]",
     "WRN: recvfrom({s!}, {P}, 16, 0, NULL, 0x0) returned -1 [11]"),
    ("INF: send({c!}, {P}, 2, 0) returned 2",
     "INF: sendto({c!}, {P}, 2, 0, NULL, 0) returned 2"),
    ("INF: recv({s!}, {P}, 16, 0) returned 2",
     "INF: recvfrom({s!}, {P}, 16, 0, NULL, 0x0) returned 2"),
    ("INF: socket(10, 524290, 0) returned {u6}<UDPv6>", None),
    ("INF: bind({u6!}, [::1]:0, 28) returned 0", None),
    ("INF: sendto({u6!}, {P}, 1, 0, [::1]:{p6}, 28) returned 1", None),
    ("INF: socket(1, 524290, 0) returned {un}<UNIX>", None),
    ('INF: bind({un!}, "{dir}/u.sock", {ulen}) returned 0', None),
    ("INF: closesocket({c!}) returned 0", None),
    ("INF: closesocket({s!}) returned 0", None),
    ("INF: closesocket({srv!}) returned 0", None),
    ("INF: closesocket({u6!}) returned 0", None),
    ("INF: closesocket({un!}) returned 0", None),
]
WAITS = 5  # the line of the receive that waits 200 ms for nothing


def expected(line, values, labelled):
    """The line as a pattern: values in, a socket's label where -y gives
    one (a new socket's, which has no address yet, only then)."""
    def socket(m):
        return "%s%s" % (values[m.group(1)], LABELS[m.group(1)].format(
            **values) if labelled else "")
    line = re.sub(r"\{(\w+)!\}", socket, line)
    if not labelled:
        line = re.sub(r"<(TCP|UDPv6|UNIX)>", "", line)
    parts = re.split(r"(\{P\})", line.format(**dict(values, P="{P}")))
    return "".join(P if p == "{P}" else re.escape(p) for p in parts)


def run(nqr, work, path, options):
    trace = os.path.join(work, "%s%s.log" % (path, "".join(options)))
    for old in (trace, os.path.join(work, "u.sock")):
        if os.path.exists(old):
            os.remove(old)
    before = time.time()
    proc = subprocess.run([nqr, "-m", path, "-o", trace] + options +
                          ["--", sys.executable, "-c", PROGRAM, work],
                          capture_output=True, text=True)
    after = time.time()
    check(proc.returncode == 0, "exit %d" % proc.returncode, proc.stderr)
    names = "srv c s u6 un port cport p6".split()
    values = dict(zip(names, proc.stdout.split()), dir=work,
                  ulen=len(work) + len("/u.sock") + 3)
    with open(trace, "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")
    return values, [l for l in lines if " started process " not in l and l
                    and not l.startswith(" ")], before, after


def check_run(nqr, work, path, timed, labelled):
    options = (["-T"] if timed else []) + (["-y"] if labelled else [])
    values, lines, before, after = run(nqr, work, path, options)
    if len(values) < 10:
        return
    calls = [split_views(l) for l in lines]
    texts = [c["text"] for c in calls]
    at = 0
    for i, (line, syscall_form) in enumerate(LINES):
        want = expected(syscall_form if path == "syscalls" and syscall_form
                        else line, values, labelled)
        found = next((j for j in range(at, len(texts))
                      if re.fullmatch(want, texts[j])), None)
        if not check(found is not None, "%s: no line %s" % (options, want),
                     "\n    ".join(texts)):
            continue
        at = found + 1
        if i == WAITS and timed:
            check(calls[found]["took"] >= 0.2, "%s: the receive that waits "
                  "200 ms took %s" % (options, calls[found]["took"]))
    for call in calls:
        check((call["start"] is not None) == timed and
              (call["took"] is not None) == timed,
              "%s: %s" % (options, call["line"]))
    if timed:
        day = time.mktime(time.localtime(before)[:3] + (0, 0, 0, 0, 0, -1))
        starts = [c["start"] for c in calls]
        check(starts == sorted(starts), "%s: starts run backwards" % options)
        check(before - day - 0.001 <= starts[0] and
              starts[-1] + calls[-1]["took"] <= after - day + 0.001,
              "%s: calls from %.6f to %.6f, the run from %.6f to %.6f" % (
                  options, starts[0], starts[-1], before - day, after - day))


def main():
    nqr, work = sys.argv[1:3]
    os.makedirs(work, exist_ok=True)
    table = [("%s %s" % (path, view), lambda p=path, v=view: check_run(
        nqr, work, p, "T" in v, "y" in v))
        for path in ("preload", "syscalls") for view in ("-", "T", "y", "Ty")]
    run_scenarios(table)
    return report()


if __name__ == "__main__":
    sys.exit(main())
